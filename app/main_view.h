#pragma once
// The main window as the presenter sees it: the controls it sets, the dialogs it runs, and (from
// FlashView) the message list, the progress bar and the message boxes. The Win32 window, the
// terminal front end and the tests' recording view implement it.
#include <array>
#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "flash/flash_view.h"

namespace kfs {

// The sixteen commands of the menu bar, in their order on the bar.
enum class MenuCommand : int {
    kSilent,
    kCheckKfsFile,
    kCheckKfsBuffer,
    kHelp,
    kVersionInformation,
    kEraseFlashRom,
    kDrive,
    kOverwriteReservedBlocks,
    kKeepUnusedBlocks,
    kOutputDefaultParameterFile,
    kOutputParameterBuffer,
    kOutputKfsBuffer,
    kGetFixDataCheckSum,
    kGetTestParameterFile,
    kIgnoreAskingQuestions,
    kDisable98AutoDetectDrive,
};
inline constexpr int kMenuCommandCount = 16;

// The command's text on the menu bar.
const char* MenuCommandText(MenuCommand command);

// The controls that can be enabled and disabled one by one.
enum class Control : int {
    kSelDevice,  // the drive drop-down list
    kLoadKfs,    // "&Load KFS"
    kStart,      // "&Start"
    kExit,       // "&Exit"
};

class MainView : public FlashView {
  public:
    // Window caption.
    virtual void SetCaption(const std::string& caption) = 0;
    // Flash utility role: the "Selected File : " panel is shown; updater role: it is hidden and
    // the window is lower by the panel's height.
    virtual void SetUpdaterLayout(bool updaterRole) = 0;

    virtual void SetMenuVisible(MenuCommand command, bool visible) = 0;
    // Every command's visibility at once, indexed by MenuCommand: a window that lays its bar out
    // anew for each change does so once. By default one SetMenuVisible per command, in order.
    virtual void SetMenuVisibility(const std::array<bool, kMenuCommandCount>& visible) {
        for (std::size_t i = 0; i < visible.size(); ++i)
            SetMenuVisible(static_cast<MenuCommand>(i), visible[i]);
    }
    virtual void SetMenuChecked(MenuCommand command, bool checked) = 0;

    virtual void SetControlEnabled(Control control, bool enabled) = 0;
    // The main window as a whole (disabled while an update runs).
    virtual void SetWindowEnabled(bool enabled) = 0;

    // The drive list SelDevice: its entries and the selected one (-1: none).
    virtual void SetDriveEntries(const std::vector<std::string>& entries) = 0;
    virtual void SelectDriveEntry(int index) = 0;

    // The "Verify" box's tick, set by the program (the presenter updates Verify itself).
    virtual void SetVerifyChecked(bool checked) = 0;
    // Edit1 (the selected firmware), its visibility, and Edit2 (its check sum).
    virtual void SetEdit1Text(const std::string& text) = 0;
    virtual void SetEdit1Visible(bool visible) = 0;
    virtual void SetEdit2Text(const std::string& text) = 0;
    // The status bar's only text panel.
    virtual void SetStatusText(const std::string& text) = 0;

    // OpenDialog1 (firmware files) and SaveDialog1 (parameter files): the chosen path, or
    // nothing when the user cancels.
    virtual std::optional<std::string> RunOpenDialog() = 0;
    virtual std::optional<std::string> RunSaveDialog() = 0;

    // Closes the main window, which ends the program.
    virtual void CloseWindow() = 0;

    // An update starts (true) or has ended (false). A window refuses to let the session end
    // meanwhile: a drive switched off while its flash is written may not start again. Views the
    // session cannot end ignore it.
    virtual void SetUpdateRunning(bool /*running*/) {}
};

}  // namespace kfs
