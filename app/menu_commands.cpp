// The handlers of the window's controls and menu commands, and the load behind "&Load KFS".
#include <string>

#include "app/load_firmware.h"
#include "app/presenter.h"
#include "container/default_parameters.h"

namespace kfs {

void Presenter::OnSelDeviceChange(int index) {
    DriveList& list = state_.SelDevice;
    if (list.Items.empty())
        return;
    list.Select(index);
    view_.SetStatusText(list.StatusText);
}

void Presenter::OnVerifyClick(bool checked) {
    state_.Verify = checked;
}

void Presenter::OnStatusBarDoubleClick() {
    state_.ShowCheckSumDetail = !state_.ShowCheckSumDetail;
}

void Presenter::OnMenuCommand(MenuCommand command) {
    // The toggles change only their flag; the check mark keeps its start-up state.
    const auto toggle = [this](bool& flag, const char* onText, const char* offText) {
        view_.ShowInformation(flag ? offText : onText, state_.Title);
        flag = !flag;
    };
    switch (command) {
        case MenuCommand::kSilent:
            toggle(state_.Silent, "Silent now", "Not Silent now");
            break;
        case MenuCommand::kKeepUnusedBlocks:
            toggle(state_.EraseUnusedBlocks, "Erase Unused Blocks now",
                   "Not Erase Unused Blocks now");
            break;
        case MenuCommand::kOverwriteReservedBlocks:
            toggle(state_.OverwriteReservedBlocks, "Erase Resrved Blocks now",
                   "Not Erase Reserved Blocks now");
            break;
        case MenuCommand::kDrive: {
            const DriveList& list = state_.SelDevice;
            std::string text;
            if (list.MatchedDrives.empty()) {
                text = "Default Drive Index : " + std::to_string(state_.DefaultDriveIndex);
            } else {
                // An entry without a drive behind it (the list and MatchedDrives out of step)
                // shows the default rather than reading past MatchedDrives.
                const auto drive = list.SelectedDrive();
                text = drive ? "Selected Drive Index : " + std::to_string(*drive)
                             : "Default Drive Index : " + std::to_string(state_.DefaultDriveIndex);
            }
            view_.ShowInformation(text, state_.Title);
            break;
        }
        case MenuCommand::kOutputDefaultParameterFile:
            if (const auto path = view_.RunSaveDialog())
                WriteDefaultParameterFile(*path);
            break;
        default:
            // The remaining commands are shown according to the settings but do nothing.
            break;
    }
}

bool Presenter::OnExitClick() {
    if (busy_)
        return false;
    view_.CloseWindow();
    return true;
}

LoadClickOutcome Presenter::OnLoadClick() {
    if (busy_)
        return LoadClickOutcome::kRefused;
    busy_ = true;
    const auto path = view_.RunOpenDialog();
    const LoadClickOutcome outcome = RunLoad(path);
    busy_ = false;
    return outcome;
}

LoadClickOutcome Presenter::LoadFile(const std::string& path) {
    if (busy_)
        return LoadClickOutcome::kRefused;
    busy_ = true;
    const LoadClickOutcome outcome = RunLoad(path);
    busy_ = false;
    return outcome;
}

LoadClickOutcome Presenter::RunLoad(const std::optional<std::string>& path) {
    const LoadResult result = LoadFirmware(path, transport_, clock_, state_.Matching,
                                           state_.Firmware, state_.SelDevice, boxes_);
    switch (result.outcome) {
        case LoadOutcome::kCancelled:
            return LoadClickOutcome::kCancelled;
        case LoadOutcome::kRefused:
            ShowError(result.message.value_or(""));
            return LoadClickOutcome::kFailed;
        case LoadOutcome::kFailed:
            view_.SetControlEnabled(Control::kStart, false);
            SyncDriveList();
            SyncBoxes();
            ShowError(result.message.value_or(""));
            return LoadClickOutcome::kFailed;
        case LoadOutcome::kLoaded:
            SyncDriveList();
            SyncBoxes();
            view_.SetControlEnabled(Control::kStart, true);
            view_.SetEdit1Visible(true);
            return LoadClickOutcome::kLoaded;
    }
    return LoadClickOutcome::kFailed;
}

}  // namespace kfs
