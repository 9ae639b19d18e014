#pragma once
// The three A0 families: banks sent with the vendor A0 bank write, then one A0 trigger that makes
// the drive program them.
#include "flash/flash_job.h"

namespace kfs {

// Family a0: AtapiFlashType 1, 3 and 5. Per-bank lengths when MaxBankSize is 65536, wait for
// readiness after the trigger.
FlashResult FlashMtkType(FlashJob& job);
// Family a0-poll: AtapiFlashType 4. The same banks, trigger 05h, then the drive's programming
// progress is followed through sense 2/04/08.
FlashResult FlashMtk3Type(FlashJob& job);
// Family a0-32k: AtapiFlashType 7. Every bank as two 32 KB halves, trigger 04h, progress through
// sense 2/04/xx.
FlashResult FlashMtk6Type(FlashJob& job);

}  // namespace kfs
