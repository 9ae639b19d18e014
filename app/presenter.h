#pragma once
// The main window's logic without the window: start-up for the role, the update behind "&Start",
// the load behind "&Load KFS", and every menu and control handler. It owns the application state
// and talks only to the view, the transport, the clock, the registry and the restart service, so
// the Win32 window, the terminal front end and the tests drive the same code.
#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "app/main_state.h"
#include "app/main_view.h"
#include "app/prepare_firmware.h"
#include "app/restart.h"
#include "app/update_log.h"
#include "drive/transport.h"
#include "flash/clock.h"

namespace kfs {

class Registry;

// The tagged buffers the program carries: the parameter text and the firmware of an updater copy.
// Empty spans stand for empty records.
struct EmbeddedData {
    std::span<const std::uint8_t> parameters;  // "PARAMETER BUFFER" data area
    EmbeddedFirmware firmware;                 // convert buffer and the three KFS buffers
};

// What the platform tells the presenter.
struct PlatformInfo {
    // Windows 95/98/ME: drives through ASPI, auto-insert notification handled around an update.
    bool windows9x = false;
    // The application title: caption of the information boxes.
    std::string title;
    // Bound on the tray check's attempts (see EnsureTrayClosedAndEmpty); 0: the window's
    // behaviour, asking for as long as the user answers OK.
    int trayRounds = 0;
    // Read a Philips-form drive's flash back after writing and compare it with what was sent.
    // The window does not: it never verifies that form.
    bool verifyPhilipsForm = false;
};

// How far an update has gone, for a front end that must know when the flash is being written
// (a terminal holds its signals then, a window refuses to let the session end) and what a run
// that ended early left behind.
enum class UpdateStage {
    kWriting,       // the medium is locked and the flash procedure is about to send its commands
    kWritten,       // the flash procedure succeeded (the medium lock is released)
    kWriteFailed,   // the flash procedure returned a message (the medium lock is released)
    kVerifying,     // verification is about to begin
    kVerifyFailed,  // verification failed, or its tray check was given up
    kVerified,      // verification succeeded
};

class UpdateListener {
  public:
    virtual ~UpdateListener() = default;
    virtual void OnUpdateStage(UpdateStage stage) = 0;
};

enum class StartupOutcome {
    kReady,   // window shown, ready for the user
    kGaveUp,  // window shown, drive list and "&Start" disabled (a corrupt updater)
    kFailed,  // the window is not shown; the program ends
};

enum class UpdateOutcome {
    kCompleted,   // the update ran to its end (whatever the answer to the restart question)
    kEndedEarly,  // a refused check, an error box or a Cancel ended it; nothing or not all done
    kRefused,     // another update or a load was running: nothing done
};

enum class LoadClickOutcome {
    kLoaded,     // new firmware current, drives matched, "&Start" enabled
    kCancelled,  // the open dialog was cancelled: nothing changed
    kFailed,     // an error box was shown
    kRefused,    // an update or another load was running: nothing done
};

// The release date and version that the caption may show.
inline constexpr char kProgramVersion[] = "v.5.11";
inline constexpr char kProgramDate[] = "Dec 22 2006";

// The application title from the program file name: without its directory, cut at its first
// ".", every character after the first in lower case.
std::string ApplicationTitle(const std::string& programPath);

class Presenter {
  public:
    Presenter(MainView& view, Transport& transport, Clock& clock, Registry& registry,
              RestartService& restart, PlatformInfo platform);

    // Steps from the error texts to the notice: settings, menu, layout, caption, firmware and
    // drives for the role, notice.
    StartupOutcome Startup(const EmbeddedData& embedded);

    // "&Start": the update of the selected drive.
    UpdateOutcome OnStartClick();
    // "&Load KFS": the open dialog, then the load of the chosen file.
    LoadClickOutcome OnLoadClick();
    // The load of a file chosen by other means (the terminal front end's --load).
    LoadClickOutcome LoadFile(const std::string& path);
    // "&Exit" and the close box: false when refused because an update or load is running.
    bool OnExitClick();

    void OnSelDeviceChange(int index);
    void OnVerifyClick(bool checked);
    void OnStatusBarDoubleClick();
    void OnMenuCommand(MenuCommand command);

    // Where each update's start, failures with their causes, and outcome are reported; none by
    // default. The log must outlive the presenter or be reset first.
    void SetUpdateLog(UpdateLog* log) { log_ = log; }
    // The listener told about the stages of each update; nullptr: none.
    void SetUpdateListener(UpdateListener* listener) { listener_ = listener; }

    // After an update: whether a write command it sent may have changed the flash (see
    // FailedCommandRecorder::FlashMayHaveChanged). False when every one was refused or never
    // sent: the drive holds what it held.
    bool FlashMayHaveChanged() const { return recorder_.FlashMayHaveChanged(); }

    const MainState& state() const { return state_; }
    MainState& state() { return state_; }
    bool busy() const { return busy_; }

  private:
    void ReadSettings(const EmbeddedData& embedded);
    void BuildCaption();
    StartupOutcome Prepare(const EmbeddedData& embedded);
    UpdateOutcome RunUpdate();
    // The backup before the first write: the list line naming it (empty when none was made and
    // the user goes on), or nothing when the user would not go on without one.
    std::optional<std::string> BackUpBeforeWriting(DriveIndex drive);
    LoadClickOutcome RunLoad(const std::optional<std::string>& path);
    void ShowError(const std::string& text);
    // Copies the drive list and the two boxes to the view.
    void SyncDriveList();
    void SyncBoxes();
    void Unlock();
    // An error shown while an update runs is a failure of that update: to the log with its cause.
    void ReportFailure(const std::string& text);
    void ReportUpdateStart();
    void Tell(UpdateStage stage) {
        if (listener_)
            listener_->OnUpdateStage(stage);
    }

    // Every command goes through the recorder, which keeps the cause of the last failure.
    FailedCommandRecorder recorder_;
    MainView& view_;
    Transport& transport_;
    Clock& clock_;
    Registry& registry_;
    RestartService& restart_;
    PlatformInfo platform_;
    MainState state_;
    FirmwareBoxes boxes_;
    bool busy_ = false;
    bool updating_ = false;
    int failuresReported_ = 0;
    UpdateLog* log_ = nullptr;
    UpdateListener* listener_ = nullptr;
    // Settings read at start-up that only start-up uses.
    struct {
        bool showCaption = true, showVersion = true, showDate = true;
        std::string programName;
    } caption_;
};

}  // namespace kfs
