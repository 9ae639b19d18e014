#pragma once
#include "flash/flash_job.h"

namespace kfs {

// Family ali: AtapiFlashType 2. The image in 16 KB blocks, each carrying its own sum and the sum of
// the whole image; the drive programs after the last block.
FlashResult FlashAliType(FlashJob& job);

}  // namespace kfs
