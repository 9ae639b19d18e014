#include "flash/wait_drive_ready.h"

#include <cerrno>

#include "drive/cdb.h"
#include "flash/flash_commands.h"

namespace kfs {

namespace {
constexpr std::uint32_t kPollMs = 200;
constexpr std::uint32_t kHostNoConnect = 0x01;  // DID_NO_CONNECT
constexpr std::uint32_t kHostBadTarget = 0x04;  // DID_BAD_TARGET

// A device that has gone (unplugged, its logical unit deleted) never becomes ready: the system
// says so with ENODEV or ENXIO, the adapter with "no connection" or "bad target". Polling it
// would only repeat the failure until the limit.
bool DeviceGone(const CommandResult& r) {
    using Kind = CommandResult::CodeKind;
    if (r.outcome != CommandResult::Outcome::Error)
        return false;
    return (r.kind == Kind::Errno && (r.code == ENODEV || r.code == ENXIO)) ||
           (r.kind == Kind::HostStatus && (r.code == kHostNoConnect || r.code == kHostBadTarget));
}
}  // namespace

bool WaitDriveReady(Transport& transport, Clock& clock, DriveIndex drive, int limitSeconds) {
    const std::uint64_t start = clock.NowMs();
    const std::uint64_t limitMs = static_cast<std::uint64_t>(limitSeconds) * 1000;
    for (;;) {
        const CommandResult ready = TestUnitReady(transport, drive);
        if (ready)
            return true;
        if (DeviceGone(ready))
            return false;  // its failure stays the cause; there is no lock left to release
        if (clock.EscapePressed()) {
            SetMediumLock(transport, drive, false);
            clock.ExitProgram(0);
            return false;  // reached only when the clock's exit returns
        }
        if (clock.NowMs() - start > limitMs) {
            SetMediumLock(transport, drive, false);
            return false;
        }
        // A drive without a disc counts as ready; any other condition (2/04h becoming ready,
        // reset, programming) keeps the wait going.
        SenseData sense = transport.GetSenseData();
        if (SenseKey(sense) == 0x02 && SenseCode(sense) == 0x3A) {
            // "No disc" is the answer this wait accepts: it is no failure to report later as
            // the cause of an error that has nothing to do with it.
            transport.ForgetFailure();
            return true;
        }
        clock.Sleep(kPollMs);
    }
}

}  // namespace kfs
