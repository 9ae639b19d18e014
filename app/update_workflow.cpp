// The update behind "&Start": version check, the Windows 95/98/ME auto-insert branch, tray check,
// flashing, verification, re-identification and the restart question.
#include <cctype>
#include <cstdlib>
#include <functional>
#include <string>
#include <utility>

#include "app/flash_backup.h"
#include "app/presenter.h"
#include "container/error_messages.h"
#include "container/identity.h"
#include "drive/auto_insert.h"
#include "drive/identification.h"
#include "flash/flash_commands.h"
#include "flash/select_flash_procedure.h"
#include "flash/tray.h"
#include "flash/verify.h"

namespace kfs {
namespace {

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

// A version text as a number, the way the C library's atof reads it: leading blanks skipped, the
// longest prefix that forms a decimal number, 0 when there is none. Only the decimal form counts:
// strtold alone would also take "0x1A", "INF" or "NAN" and ask about a downgrade that is none.
// Compared in extended precision.
long double VersionNumber(const std::string& version) {
    const char* text = version.c_str();  // ends at the first zero byte, as a C text does
    std::size_t start = 0;
    while (std::isspace(static_cast<unsigned char>(text[start]))) ++start;
    std::size_t end = start;
    if (text[end] == '+' || text[end] == '-')
        ++end;
    std::size_t digits = 0;
    for (; IsDigit(text[end]); ++end) ++digits;
    if (text[end] == '.')
        for (++end; IsDigit(text[end]); ++end) ++digits;
    if (digits == 0)
        return 0;
    if (text[end] == 'e' || text[end] == 'E') {
        std::size_t exponent = end + 1;
        if (text[exponent] == '+' || text[exponent] == '-')
            ++exponent;
        if (IsDigit(text[exponent])) {
            while (IsDigit(text[exponent])) ++exponent;
            end = exponent;
        }
    }
    return std::strtold(std::string(text + start, end - start).c_str(), nullptr);
}

// The window as the flash procedures and the verification see it: everything passes through,
// and an error box is reported as a failure of the update first.
class FailureReportingView final : public FlashView {
  public:
    FailureReportingView(FlashView& view, std::function<void(const std::string&)> report)
        : view_(view), report_(std::move(report)) {}
    void AddLine(const std::string& line) override { view_.AddLine(line); }
    void ClearLines() override { view_.ClearLines(); }
    void DeleteFirstLine() override { view_.DeleteFirstLine(); }
    void ClearSelection() override { view_.ClearSelection(); }
    void SetProgress(std::uint32_t position) override { view_.SetProgress(position); }
    void ProcessMessages() override { view_.ProcessMessages(); }
    void ShowError(const std::string& text, const std::string& caption) override {
        report_(text);
        view_.ShowError(text, caption);
    }
    void ShowInformation(const std::string& text, const std::string& caption) override {
        view_.ShowInformation(text, caption);
    }
    bool AskOkCancel(const std::string& text, const std::string& caption) override {
        return view_.AskOkCancel(text, caption);
    }

  private:
    FlashView& view_;
    std::function<void(const std::string&)> report_;
};

const char* OutcomeText(UpdateOutcome outcome, int failures) {
    switch (outcome) {
        case UpdateOutcome::kCompleted:
            return "completed";
        case UpdateOutcome::kEndedEarly:
            return failures > 0 ? "failed" : "ended early, no failure reported";
        case UpdateOutcome::kRefused:
            break;
    }
    return "refused";
}

}  // namespace

void Presenter::ReportFailure(const std::string& text) {
    if (!updating_)
        return;
    ++failuresReported_;
    if (log_)
        log_->Failure(text, recorder_.Cause());
}

void Presenter::ReportUpdateStart() {
    recorder_.BeginUpdate();
    failuresReported_ = 0;
    if (!log_)
        return;
    UpdateStart start;
    const std::optional<DriveIndex> drive = state_.SelDevice.SelectedDrive();
    start.driveIndex = drive ? *drive : -1;
    start.drive = state_.SelDevice.SelectedText();
    start.image = boxes_.Edit1;
    start.imageLength = state_.Firmware.ImageLength();
    start.checkSum = boxes_.Edit2;
    log_->UpdateStarted(start);
}

UpdateOutcome Presenter::OnStartClick() {
    if (busy_)
        return UpdateOutcome::kRefused;
    busy_ = true;
    // Cleared however the update ends: a session end refused for good would be worse than one
    // allowed after an exception left the update.
    struct UpdateRunning {
        MainView& view;
        explicit UpdateRunning(MainView& v) : view(v) { view.SetUpdateRunning(true); }
        ~UpdateRunning() { view.SetUpdateRunning(false); }
    } running(view_);
    updating_ = true;
    ReportUpdateStart();
    const UpdateOutcome outcome = RunUpdate();
    updating_ = false;
    if (log_)
        log_->UpdateEnded(OutcomeText(outcome, failuresReported_));
    busy_ = false;
    return outcome;
}

void Presenter::Unlock() {
    view_.SetControlEnabled(Control::kLoadKfs, true);
    view_.SetControlEnabled(Control::kStart, true);
    view_.SetControlEnabled(Control::kExit, true);
    view_.SetWindowEnabled(true);
}

std::optional<std::string> Presenter::BackUpBeforeWriting(DriveIndex drive) {
    const FirmwareState& firmware = state_.Firmware;
    const BackupPlan plan = PlanBackupFor(firmware.CurrentContainer, firmware.PhilipsImage,
                                          firmware.CurrentImage.size());
    view_.ProcessMessages();
    const BackupOutcome backup =
        BackUpDrive(transport_, clock_, view_, drive, plan, state_.BackupDirectory);
    if (backup.ok())
        return BackupWrittenLine(backup.path);
    if (view_.AskOkCancel(NoBackupQuestion(backup.problem), kBackupCaption))
        return std::string();
    return std::nullopt;
}

UpdateOutcome Presenter::RunUpdate() {
    FirmwareState& firmware = state_.Firmware;
    const bool silent = state_.Silent;
    const bool updater = firmware.UpdaterRole;
    const bool philips = firmware.PhilipsImage;
    SetErrorMessages(silent);

    if (!philips && firmware.CurrentContainer.AtapiFlashType == 0) {
        // Silent mode shows no box here, but the log still says why nothing happened.
        ReportFailure("Flash Type is not supported!");
        if (!silent)
            view_.ShowError("Flash Type is not supported!", "Error");
        return UpdateOutcome::kEndedEarly;
    }
    // Start is enabled only with a drive behind the selected entry; should the list and
    // MatchedDrives ever be out of step, nothing is sent to any drive.
    const std::optional<DriveIndex> selected = state_.SelDevice.SelectedDrive();
    if (!selected || firmware.CurrentImage.empty())
        return UpdateOutcome::kEndedEarly;
    const DriveIndex drive = *selected;

    view_.SetWindowEnabled(false);
    view_.ClearLines();
    view_.SetProgress(0);
    view_.SetControlEnabled(Control::kLoadKfs, false);
    view_.SetControlEnabled(Control::kStart, false);
    view_.SetControlEnabled(Control::kExit, false);
    const auto endEarly = [this] {
        Unlock();
        return UpdateOutcome::kEndedEarly;
    };

    // Downgrade question: asked in silent mode too.
    const std::string driveVersion = GetDriveVersion(transport_, drive);
    const std::string imageVersion =
        GetImageVersion(firmware.CurrentImage, firmware.CurrentContainer.AtapiFlashType);
    if (VersionNumber(driveVersion) > VersionNumber(imageVersion)) {
        const std::string question =
            driveVersion + " is newer than " + imageVersion + " !! Update the drive ?";
        if (!view_.AskOkCancel(question, "Warning!"))
            return endEarly();
    }

    // Windows 95/98/ME keeps the drive's auto-insert notification in the registry; with it on,
    // the update has to wait for a restart with it off.
    std::string driveKey;
    if (platform_.windows9x) {
        driveKey = AutoInsertDriveKey(GetDriveModelName(transport_, drive),
                                      GetDriveVersion(transport_, drive));
        if (ReadAutoInsertNotification(registry_, driveKey) == 1) {
            Unlock();
            if (view_.AskOkCancel(
                    "Because of the distinction of Windows 95/98/ME operating system, it is "
                    "necessary to reboot before updating. After rebooting, execute again to "
                    "complete the updating process.\nAre you sure to continue?",
                    "Check")) {
                WriteAutoInsertNotification(registry_, driveKey, 0);
                restart_.RequestRestart();
            }
            return UpdateOutcome::kEndedEarly;
        }
    }

    FailureReportingView reportingView(view_,
                                       [this](const std::string& text) { ReportFailure(text); });
    FlashJob job{
        transport_, clock_, reportingView, drive, firmware.CurrentImage, firmware.CurrentContainer};
    job.philipsImage = philips;
    job.updaterRole = updater;
    job.silent = silent;

    if (state_.NoDisc && !philips) {
        view_.ProcessMessages();
        view_.AddLine("Updating will not be executed until the tray is closed");
        view_.AddLine(" without any media inside !");
        if (!EnsureTrayClosedAndEmpty(job, platform_.trayRounds))
            return endEarly();
    }

    // The list line naming the backup is shown once the list has been cleared for flashing.
    std::string backupLine;
    if (state_.BackupBeforeFlash) {
        const std::optional<std::string> made = BackUpBeforeWriting(drive);
        if (!made)
            return endEarly();
        backupLine = *made;
    }

    SetMediumLock(transport_, drive, true);
    Tell(UpdateStage::kWriting);
    view_.ProcessMessages();
    view_.ClearLines();
    if (!backupLine.empty())
        view_.AddLine(backupLine);

    if (philips) {
        view_.ProcessMessages();
        view_.AddLine("Please wait for at least one minute!");
    } else if (!silent) {
        view_.AddLine("Updating");
    }
    const FlashResult result = SelectFlashProcedure(job);
    if (philips) {
        view_.ProcessMessages();
        view_.SetProgress(kProgressMax);
    }
    if (result) {
        // The procedure's own text goes to the log in either role, with the cause as it stood
        // when the procedure gave up; the updater role's box only says that it failed.
        ReportFailure(updater ? *result + " (shown as \"Flash Fail!\")" : *result);
    }
    SetMediumLock(transport_, drive, false);
    Tell(result ? UpdateStage::kWriteFailed : UpdateStage::kWritten);
    if (result) {
        view_.ShowError(updater ? std::string("Flash Fail!") : *result, "Error");
        return endEarly();
    }
    if (!silent) {
        view_.ProcessMessages();
        view_.AddLine("Flashing finished !");
    }

    // The window never verifies a Philips-form image; a front end may read its flash back.
    if (state_.Verify && (!philips || platform_.verifyPhilipsForm)) {
        if (state_.NoDisc && !philips) {
            view_.ClearSelection();
            view_.ProcessMessages();
            view_.AddLine("Verifying will not be executed until the tray is closed");
            view_.AddLine(" without any media inside !");
            if (!EnsureTrayClosedAndEmpty(job, platform_.trayRounds)) {
                Tell(UpdateStage::kVerifyFailed);
                return endEarly();
            }
        }
        Tell(UpdateStage::kVerifying);
        SetMediumLock(transport_, drive, true);
        // Flashing went well: a command that failed on the way (a drive polled while it
        // restarted) is no cause of what verification may find. A write command that failed
        // stays on record beside it.
        recorder_.ForgetFailure();
        const bool verified =
            philips ? VerifyPhilipsForm(job)
                    : VerifyFlash(job, firmware.ExpectedCheckSum, state_.ShowCheckSumDetail);
        SetMediumLock(transport_, drive, false);
        Tell(verified ? UpdateStage::kVerified : UpdateStage::kVerifyFailed);
        if (!verified)
            return endEarly();
    }

    view_.SetProgress(0);
    if (!silent) {
        view_.ProcessMessages();
        view_.AddLine("All Completed!");
        view_.ClearSelection();
    }

    // Re-identify the drive: it now reports the new firmware's identity.
    recorder_.ForgetFailure();
    const std::string model = GetDriveModelName(transport_, drive);
    if (model.empty()) {
        ShowError("Get Drive ModelName Error!");
        return endEarly();
    }
    const std::string version = GetDriveVersion(transport_, drive);
    if (version.empty()) {
        ShowError("Get Drive Version Error!");
        return endEarly();
    }
    std::string dateCode;
    if (!IsPioneerModel(model) && !updater) {
        dateCode = GetDriveDateCode(transport_, drive);
        if (dateCode.empty()) {
            ShowError("Get Drive DateCode Error!");
            return endEarly();
        }
    }
    DriveList& list = state_.SelDevice;
    list.Items[static_cast<std::size_t>(list.ItemIndex)] = DriveEntryText(model, version, dateCode);
    list.Select(list.ItemIndex);
    view_.SetDriveEntries(list.Items);
    view_.SelectDriveEntry(list.ItemIndex);
    view_.SetStatusText(list.StatusText);

    if (platform_.windows9x) {
        view_.ProcessMessages();
        if (view_.AskOkCancel("Would you like to activate the auto-insert notification ?", "Check"))
            WriteAutoInsertNotification(registry_, driveKey, 1);
    }
    view_.ProcessMessages();
    if (view_.AskOkCancel(
            "After updating, the system must be restarted.\nClick Yes to reboot your system.",
            "Check"))
        restart_.RequestRestart();
    Unlock();
    return UpdateOutcome::kCompleted;
}

}  // namespace kfs
