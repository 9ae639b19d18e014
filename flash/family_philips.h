#pragma once
#include <cstddef>
#include <cstdint>

#include "flash/flash_job.h"

namespace kfs {

// Length of the Philips-form header that precedes the image.
inline constexpr std::size_t kPhilipsHeaderSize = 40;

// The number of 16 KB blocks the Philips procedure sends for an image: it counts the form's
// header too, so the last block reaches 40 bytes beyond the image.
std::size_t PhilipsBlockCount(std::size_t imageLength);

// Family philips: Philips-form images, whatever their AtapiFlashType: `blockCount` blocks of 16 KB
// with the container's two trailer values
// (`p` = HeaderCheckSum, `q` = TrailerWord); the drive programs after the last block.
FlashResult FlashPhilipsForm(FlashJob& job, std::size_t blockCount, std::uint16_t p,
                             std::uint16_t q);

}  // namespace kfs
