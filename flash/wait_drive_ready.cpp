#include "flash/wait_drive_ready.h"

#include "drive/cdb.h"
#include "flash/flash_commands.h"

namespace kfs {

namespace {
constexpr std::uint32_t kPollMs = 200;
}

bool WaitDriveReady(Transport& transport, Clock& clock, DriveIndex drive, int limitSeconds) {
    const std::uint64_t start = clock.NowMs();
    const std::uint64_t limitMs = static_cast<std::uint64_t>(limitSeconds) * 1000;
    for (;;) {
        if (TestUnitReady(transport, drive))
            return true;
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
        if (SenseKey(sense) == 0x02 && SenseCode(sense) == 0x3A)
            return true;
        clock.Sleep(kPollMs);
    }
}

}  // namespace kfs
