#include "flash/tray.h"

#include "drive/cdb.h"
#include "flash/flash_commands.h"

namespace kfs {

namespace {
constexpr std::uint32_t kTrayMs = 5000;
constexpr const char* kCheckCaption = "Check";
}  // namespace

bool EnsureTrayClosedAndEmpty(Transport& transport, Clock& clock, FlashView& view,
                              DriveIndex drive) {
    // A drive that refuses to load its tray with 6/1Dh can still close it by command later;
    // any other refusal means the user has to push it in.
    bool automatic = LoadTray(transport, drive).good();
    if (!automatic) {
        const SenseData sense = transport.GetSenseData();
        automatic = sense[2] == 0x06 && SenseCode(sense) == 0x1D;
    }
    for (;;) {
        while (IsTrayOpen(transport, drive)) {
            if (automatic) {
                LoadTray(transport, drive);
            } else if (!view.AskOkCancel("Please close the tray and click OK to continue !",
                                         kCheckCaption)) {
                return false;
            }
            clock.Sleep(kTrayMs);
        }
        if (!IsMediumPresent(transport, drive))
            return true;
        EjectTray(transport, drive);
        clock.Sleep(kTrayMs);
        if (!view.AskOkCancel("Please remove your disc from the tray and click OK to continue !",
                              kCheckCaption))
            return false;
    }
}

}  // namespace kfs
