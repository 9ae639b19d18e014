#include "flash/tray.h"

#include <string>

#include "drive/cdb.h"
#include "flash/flash_commands.h"

namespace kfs {

namespace {
constexpr std::uint32_t kTrayMs = 5000;
constexpr const char* kCheckCaption = "Check";
// Closing by command is tried for a minute; then the user is asked, who can push the tray in or
// give up. Without a bound a tray that does not close kept the update waiting for ever.
constexpr int kAutomaticCloseAttempts = 12;

bool RefusedWithTrayBlocked(const SenseData& sense) {
    return sense[2] == 0x06 && SenseCode(sense) == 0x1D;
}
}  // namespace

bool EnsureTrayClosedAndEmpty(Transport& transport, Clock& clock, FlashView& view, DriveIndex drive,
                              int maxRounds) {
    int rounds = 0;
    const auto giveUp = [&] {
        if (maxRounds <= 0 || ++rounds <= maxRounds)
            return false;
        view.ShowError("The tray is still open or a disc is still inside after " +
                           std::to_string(maxRounds) +
                           " attempts: giving up. Close the tray with no disc inside and "
                           "start again.",
                       "Error");
        return true;
    };
    // A drive that refuses to load its tray with 6/1Dh can still close it by command later;
    // any other refusal means the user has to push it in.
    bool automatic = LoadTray(transport, drive).good();
    if (!automatic) {
        const SenseData sense = transport.GetSenseData();
        automatic = RefusedWithTrayBlocked(sense);
    }
    int attempts = 0;
    for (;;) {
        while (IsTrayOpen(transport, drive)) {
            if (giveUp())
                return false;
            // A load refused for another reason than 6/1Dh, or a tray that stays open, turns
            // the closing over to the user.
            if (automatic && (++attempts > kAutomaticCloseAttempts ||
                              (!LoadTray(transport, drive) &&
                               !RefusedWithTrayBlocked(transport.GetSenseData()))))
                automatic = false;
            if (!automatic && !view.AskOkCancel(kCloseTrayPrompt, kCheckCaption))
                return false;
            clock.Sleep(kTrayMs);
        }
        if (!IsMediumPresent(transport, drive))
            return true;
        if (giveUp())
            return false;
        EjectTray(transport, drive);
        clock.Sleep(kTrayMs);
        if (!view.AskOkCancel(kRemoveDiscPrompt, kCheckCaption))
            return false;
    }
}

}  // namespace kfs
