#pragma once
// The identity of a firmware image, read from the INQUIRY reply data that it carries: one block,
// or two when a "BOOT" block stands ahead of the main one. A text is cut at its length or at the
// first zero byte; an image without a suitable block yields an empty text, which matches no drive.
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace kfs {

// Ascending offsets of every 05h 80h 00h sequence in the image.
std::vector<std::size_t> FindInquiryBlocks(std::span<const std::uint8_t> image);

std::string GetImageHardwareId(std::span<const std::uint8_t> image);  // 2 characters at p + 38
std::string GetImageModelName(std::span<const std::uint8_t> image);   // 24 characters at p + 8
// 4 characters at p + 32; with AtapiFlashType 7 always from the second block.
std::string GetImageVersion(std::span<const std::uint8_t> image, std::uint8_t atapiFlashType);
// 6 characters at p - 10 when p - 12 reads "DC", else at p + 40; AtapiFlashType 7 as above.
std::string GetImageDateCode(std::span<const std::uint8_t> image, std::uint8_t atapiFlashType);

}  // namespace kfs
