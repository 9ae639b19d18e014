#pragma once
#include "flash/flash_job.h"

namespace kfs {

// Family mtk7: AtapiFlashType 8 and every unlisted type. The first 128 KB with WRITE BUFFER, the
// upper bank first, each bank saved to flash with its own WRITE BUFFER save. A block the drive
// refuses ends it with "Write Buffer Fail !".
FlashResult FlashMtk7Type(FlashJob& job);

}  // namespace kfs
