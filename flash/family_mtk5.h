#pragma once
// The two-pass flash procedure of the mtk5 family, the largest controllers: standard WRITE
// BUFFER downloads in 16 KB blocks with a retry budget, the upper megabyte first for images of
// more than 16 banks, programming followed through the bank counter in the sense data, up to
// three attempts while the drive comes back as "BOOT", and the check-sum handshake.
#include "flash/flash_job.h"

namespace kfs {

// Family mtk5: AtapiFlashType 6. Null on success, otherwise the text to show. An image of 17 to 31
// whole banks, or of no whole bank at all, is refused with "Write Buffer Fail !" before anything is
// sent.
FlashResult FlashMtk5Type(FlashJob& job);

}  // namespace kfs
