#pragma once
#include "drive/transport.h"
#include "flash/clock.h"

namespace kfs {

// Polls TEST UNIT READY every 200 ms until the drive is ready or reports no medium (true), or
// until more than `limitSeconds` have passed (false, after releasing the medium lock), or at
// once (false) when the transport says the device has gone. Escape on
// the console releases the lock and ends the program with status 0.
bool WaitDriveReady(Transport& transport, Clock& clock, DriveIndex drive, int limitSeconds);

}  // namespace kfs
