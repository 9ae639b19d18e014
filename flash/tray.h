#pragma once
#include "flash/flash_job.h"

namespace kfs {

// Makes sure that the tray is closed with no disc inside before the drive is flashed or
// verified: closes it by command when the drive can, otherwise asks the user to; asks the user
// to take a disc out. True when the tray is closed and empty, false when the user cancels.
bool EnsureTrayClosedAndEmpty(Transport& transport, Clock& clock, FlashView& view,
                              DriveIndex drive);
inline bool EnsureTrayClosedAndEmpty(FlashJob& job) {
    return EnsureTrayClosedAndEmpty(job.transport, job.clock, job.view, job.drive);
}

}  // namespace kfs
