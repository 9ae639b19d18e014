#pragma once
#include "flash/flash_job.h"

namespace kfs {

// The two questions the tray check asks; a front end that answers questions on the user's behalf
// must not answer these, since only a person can push a tray in or take a disc out.
inline constexpr char kCloseTrayPrompt[] = "Please close the tray and click OK to continue !";
inline constexpr char kRemoveDiscPrompt[] =
    "Please remove your disc from the tray and click OK to continue !";

// Makes sure that the tray is closed with no disc inside before the drive is flashed or
// verified: closes it by command when the drive can, otherwise asks the user to; asks the user
// to take a disc out. True when the tray is closed and empty, false when the user cancels.
// `maxRounds` > 0 bounds the attempts (each close attempt or question is one round): past it the
// check gives up with an "Error" box, so that a drive that never closes, or a disc that is put
// back each time, cannot keep it going. 0 repeats for as long as the user answers OK.
bool EnsureTrayClosedAndEmpty(Transport& transport, Clock& clock, FlashView& view, DriveIndex drive,
                              int maxRounds = 0);
inline bool EnsureTrayClosedAndEmpty(FlashJob& job, int maxRounds = 0) {
    return EnsureTrayClosedAndEmpty(job.transport, job.clock, job.view, job.drive, maxRounds);
}

}  // namespace kfs
