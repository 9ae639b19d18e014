#include "app/console/session.h"

#include <nlohmann/json.hpp>

#include "app/console/backup_command.h"
#include "app/console/exit_status.h"
#include "app/console/firmware_checks.h"
#include "app/console/signal_hold.h"
#include "app/console/visible_text.h"
#include "drive/auto_insert.h"
#include "drive/identification.h"
#include "drive/linux/sg_transport.h"
#include "flash/wait_drive_ready.h"

namespace kfs::console {

namespace {

std::string Labelled(const char* label, const std::string& raw) {
    const std::string value = Visible(raw);
    const bool quote = value.empty() || value.find(' ') != std::string::npos;
    return std::string(label) + "=" + (quote ? "\"" + value + "\"" : value);
}

std::string TrimRight(std::string text) {
    const auto end = text.find_last_not_of(' ');
    text.erase(end == std::string::npos ? 0 : end + 1);
    return text;
}

std::string IdentityText(const DriveIdentity& id) {
    return Labelled("vendor", id.Vendor()) + " " + Labelled("product", id.Product()) + " " +
           Labelled("version", TrimRight(id.version)) + " " +
           Labelled("hardware-id", id.hardwareId) + " " + Labelled("date-code", id.dateCode);
}

void Say(const Streams& io, const std::string& text) {
    std::fprintf(io.err, "kfsflash: %s\n", Visible(text).c_str());
    std::fflush(io.err);
}

// The terminal never restarts the machine.
class ConsoleRestart : public RestartService {
  public:
    explicit ConsoleRestart(std::FILE* out) : out_(out) {}
    void RequestRestart() override {
        std::fprintf(out_, "Restart the machine to complete the update.\n");
        std::fflush(out_);
    }

  private:
    std::FILE* out_;
};

struct Interrupted {};

// Follows the update: holds the signals while the flash is written and remembers how far the
// update went.
class StageFollower : public UpdateListener {
  public:
    void OnUpdateStage(UpdateStage stage) override {
        last = stage;
        reached = true;
        if (stage == UpdateStage::kWriting) {
            hold_.Begin();
            return;
        }
        if (stage == UpdateStage::kWritten || stage == UpdateStage::kWriteFailed) {
            hold_.End();
            hold_.StopIfAsked();
            // After a failed write the failure is what the status tells (the run ends there
            // anyway); after a good one the signal ends the run before verification.
            if (hold_.Received() && stage == UpdateStage::kWritten)
                throw Interrupted{};
        }
    }
    bool reached = false;
    UpdateStage last = UpdateStage::kWriting;

  private:
    SignalHold hold_;
};

void PrintSummary(const Streams& io, const std::string& path, const DriveIdentity& drive,
                  const std::string& file, const FirmwareState& firmware) {
    const FirmwareFacts f = DescribeFirmware(firmware);
    const SKFSParameter& c = firmware.CurrentContainer;
    auto row = [&](const char* label, const std::string& value) {
        std::fprintf(io.out, "  %-12s %s\n", label, Visible(value).c_str());
    };
    char sums[96];
    std::fprintf(io.out, "Drive %s\n", Visible(path).c_str());
    row("vendor", drive.Vendor());
    row("product", drive.Product());
    row("version", drive.version);
    row("hardware id", drive.hardwareId);
    row("date code", drive.dateCode);
    std::fprintf(io.out, "Firmware %s\n", Visible(file).c_str());
    if (!firmware.Member.empty())
        row("zip member", firmware.Member);
    if (firmware.PhilipsImage) {
        row("form", "Philips (no identity inside)");
        std::snprintf(sums, sizeof sums, "trailer %04X, image %04X", f.headerCheckSum,
                      f.fixedDataCheckSum);
    } else {
        const DriveIdentity image{f.model, f.version, f.hardwareId, f.dateCode};
        row("vendor", image.Vendor());
        row("product", image.Product());
        row("version", f.version);
        row("hardware id", f.hardwareId);
        row("date code", f.dateCode);
        row("flash type", "IDE " + std::to_string(c.IdeFlashType) + ", ATAPI " +
                              std::to_string(c.AtapiFlashType));
        std::snprintf(sums, sizeof sums, "header %04X, image %04X, drive after writing %04X",
                      f.headerCheckSum, f.computedCheckSum, f.fixedDataCheckSum);
    }
    row("image size", std::to_string(firmware.CurrentImage.size()) + " bytes");
    row("check sums", sums);
    std::fflush(io.out);
}

// The drive the update goes to, as a position in the presenter's drive list; nullopt after
// saying why there is none.
std::optional<int> ChooseDrive(const Options& o, DriveTable& table, Transport& transport,
                               const FirmwareState& firmware, const DriveList& list,
                               const Streams& io) {
    const auto& matched = list.MatchedDrives;
    if (o.drive) {
        const auto drive = table.Find(*o.drive);
        if (!drive) {
            Say(io, "there is no drive " + *o.drive + " (kfsflash --list shows the drives)");
            return std::nullopt;
        }
        for (std::size_t i = 0; i < matched.size(); ++i)
            if (matched[i] == *drive)
                return static_cast<int>(i);
        Say(io, table.Path(*drive) + " is not among the drives this firmware may go to");
        return std::nullopt;
    }
    if (matched.size() == 1)
        return 0;
    // Several drives: the one of the firmware's model, when exactly one is.
    const std::string model = DescribeFirmware(firmware).model;
    std::optional<int> only;
    int count = 0;
    for (std::size_t i = 0; i < matched.size(); ++i) {
        if (!model.empty() && GetDriveModelName(transport, matched[i]) == model) {
            only = static_cast<int>(i);
            ++count;
        }
    }
    if (count == 1)
        return only;
    Say(io, "there are " + std::to_string(matched.size()) +
                " drives: choose one with --drive PATH or --drive N (kfsflash --list shows "
                "them)");
    return std::nullopt;
}

// --backup FILE: the drive named by --drive, or the only one; nothing is written to it.
int BackupOnly(const Options& o, DriveTable& table, Transport& transport, Clock& clock,
               ConsoleView& view, const FirmwareState& firmware, const Streams& io) {
    std::optional<DriveIndex> drive;
    if (o.drive)
        drive = table.Find(*o.drive);
    else if (table.DriveCount() == 1)
        drive = 0;
    if (!drive) {
        Say(io, o.drive ? "there is no drive " + *o.drive + " (kfsflash --list shows the drives)"
                        : "choose the drive to back up with --drive PATH or --drive N "
                          "(kfsflash --list shows them)");
        return kExitNothingWritten;
    }
    if (const auto problem = CheckBackupTarget(*o.backup.file, o.firmware)) {
        Say(io, *problem);
        return kExitNothingWritten;
    }
    if (const auto problem = table.OpenExclusive(*drive)) {
        Say(io, *problem);
        return kExitNothingWritten;
    }
    return WriteBackupFile(transport, clock, view, *drive, firmware, o.backup)
               ? kExitSuccess
               : kExitNothingWritten;
}

// A failure met before this point (an identification question a drive declined) is not the
// cause of anything reported after it.
void ForgetFailures(const Streams& io) {
    if (io.failures)
        io.failures();
}

int ExitAfterEndedEarly(const StageFollower& follower, const Presenter& presenter,
                        ConsoleView& view, const Streams& io) {
    view.PrintFailureCause();
    if (!follower.reached) {
        Say(io, "nothing was written");
        return kExitNothingWritten;
    }
    if (follower.last == UpdateStage::kWriteFailed || follower.last == UpdateStage::kWriting) {
        // Told by the results of the write commands themselves: every one refused by the drive
        // or never sent by the system.
        if (!presenter.FlashMayHaveChanged()) {
            Say(io,
                "nothing was written: the drive took none of the write commands (refused, "
                "or not sent); it keeps the firmware it had");
            return kExitNothingWritten;
        }
        Say(io,
            "the write failed: the drive may need recovery; write the firmware again "
            "before you restart the machine or power the drive off");
        return kExitWriteFailed;
    }
    Say(io, "the firmware was written, but the update could not be confirmed");
    return kExitNotConfirmed;
}

}  // namespace

int ListDrives(DriveTable& table, Transport& transport, bool json, const Streams& io) {
    nlohmann::json array = nlohmann::json::array();
    for (int i = 0; i < table.DriveCount(); ++i) {
        const auto drive = static_cast<DriveIndex>(i);
        const DriveIdentity id = ReadDriveIdentity(transport, drive);
        if (json)
            array.push_back({{"index", i},
                             {"path", NameForJson(table.Path(drive))},
                             {"vendor", Latin1ToUtf8(id.Vendor())},
                             {"product", Latin1ToUtf8(id.Product())},
                             {"model", Latin1ToUtf8(id.model)},
                             {"version", Latin1ToUtf8(id.version)},
                             {"hardware_id", Latin1ToUtf8(id.hardwareId)},
                             {"date_code", Latin1ToUtf8(id.dateCode)}});
        else
            std::fprintf(io.out, "%d: %s  %s\n", i, Visible(table.Path(drive)).c_str(),
                         IdentityText(id).c_str());
    }
    for (const UnopenedDevice& device : table.unopened()) {
        if (json)
            array.push_back({{"index", nullptr},
                             {"path", NameForJson(device.path)},
                             {"error", OpenFailureReason(device)},
                             {"advice", OpenFailureAdvice(device)}});
        else
            std::fprintf(io.out, "-: %s  cannot open: %s\n   %s\n", Visible(device.path).c_str(),
                         OpenFailureReason(device).c_str(), OpenFailureAdvice(device).c_str());
    }
    if (json)
        std::fprintf(io.out, "%s\n", array.dump(2).c_str());
    else if (table.DriveCount() == 0 && table.unopened().empty() && table.leftOut() == 0)
        std::fprintf(io.out, "No optical drive found.\n");
    if (table.leftOut() > 0)
        Say(io, std::to_string(table.leftOut()) + " more device" +
                    (table.leftOut() == 1 ? " was" : "s were") +
                    " left out: kfsflash takes at most " + std::to_string(SgTransport::kMaxDrives) +
                    " devices");
    std::fflush(io.out);
    return table.DriveCount() > 0 ? kExitSuccess : kExitNothingWritten;
}

void PrintHowToGoOn(const Streams& io) {
    std::fprintf(io.out,
                 "\nTo write firmware to a drive: kfsflash --drive PATH|N FILE\n"
                 "(FILE is a KFS container or a zip archive; kfsflash --help shows more)\n");
    std::fflush(io.out);
}

int RunUpdate(const Options& o, const EmbeddedData& embedded, DriveTable& table,
              Transport& transport, Clock& clock, const Streams& io,
              const std::string& programPath) {
    ConsoleView view(io.out, io.err, io.in, o.answers, io.terminal);
    view.SetFailureSource(io.failures);
    MemoryRegistry registry;  // no Windows 95/98/ME registry here
    ConsoleRestart restart(io.out);
    PlatformInfo platform{false, ApplicationTitle(programPath), kTrayRounds};
    platform.verifyPhilipsForm = true;
    Presenter presenter(view, transport, clock, registry, restart, platform);
    StageFollower follower;
    presenter.SetUpdateListener(&follower);
    if (table.DriveCount() == 0 && !table.unopened().empty()) {
        for (const UnopenedDevice& device : table.unopened())
            Say(io, "cannot open " + device.path + ": " + OpenFailureReason(device) + "; " +
                        OpenFailureAdvice(device));
        Say(io, "nothing was written");
        return kExitNothingWritten;
    }
    try {
        // The window's notice speaks of Windows privileges: not shown here.
        view.SetMuted(true);
        const StartupOutcome started = presenter.Startup(embedded);
        view.SetMuted(false);
        if (started != StartupOutcome::kReady)
            return kExitNothingWritten;
        const bool updater = presenter.state().Firmware.UpdaterRole;
        if (o.firmware && updater) {
            Say(io, "this program carries its firmware (an updater copy): give no firmware file");
            return kExitUsage;
        }
        if (!o.firmware && !updater && !o.backup.file) {
            Say(io, "no firmware file given (kfsflash --help shows how)");
            return kExitUsage;
        }
        ForgetFailures(io);
        if (o.firmware && presenter.LoadFile(*o.firmware) != LoadClickOutcome::kLoaded)
            return kExitNothingWritten;
        if (o.backup.file)
            return BackupOnly(o, table, transport, clock, view, presenter.state().Firmware, io);
        ApplyBackupOptions(presenter, o.backup);

        const FirmwareState& firmware = presenter.state().Firmware;
        const auto chosen =
            ChooseDrive(o, table, transport, firmware, presenter.state().SelDevice, io);
        if (!chosen)
            return kExitNothingWritten;
        presenter.OnSelDeviceChange(*chosen);
        const DriveIndex drive =
            presenter.state().SelDevice.MatchedDrives[static_cast<std::size_t>(*chosen)];
        if (const auto problem = table.OpenExclusive(drive)) {
            Say(io, *problem);
            return kExitNothingWritten;
        }
        const DriveIdentity before = ReadDriveIdentity(transport, drive);
        if (before.model.empty()) {
            Say(io, "cannot read the identity of " + table.Path(drive));
            view.PrintFailureCause();
            return kExitNothingWritten;
        }
        PrintSummary(io, table.Path(drive), before,
                     o.firmware ? *o.firmware : std::string("carried by this program"), firmware);

        const CheckVerdict verdict = CheckFirmwareForDrive(firmware, before);
        for (const std::string& refusal : verdict.refusals)
            Say(io, (o.force ? "writing despite --force: " : "refusing to write: ") + refusal +
                        (o.force ? "" : " (--force writes it anyway)"));
        if (!verdict.refusals.empty() && !o.force)
            return kExitNothingWritten;
        if (verdict.sameVersion &&
            !view.Ask("The drive already has version " + Visible(TrimRight(before.version)) +
                      ". Write it again?")) {
            Say(io, "nothing was written");
            return kExitNothingWritten;
        }
        if (!view.Ask("Write this firmware to this drive?")) {
            Say(io, "nothing was written");
            return kExitNothingWritten;
        }

        // A drive that never becomes ready would get its backup and the first blocks before the
        // procedure's own wait gave up: it stops here, with nothing written.
        if (!WaitDriveReady(transport, clock, drive, kReadyLimitSeconds)) {
            Say(io, "the drive did not become ready within " + std::to_string(kReadyLimitSeconds) +
                        " seconds; nothing was written");
            view.PrintFailureCause();
            return kExitNothingWritten;
        }
        presenter.OnVerifyClick(o.verify);
        if (o.silent)
            presenter.OnMenuCommand(MenuCommand::kSilent);
        ForgetFailures(io);
        const UpdateOutcome outcome = presenter.OnStartClick();
        if (outcome == UpdateOutcome::kRefused)
            return kExitNothingWritten;
        if (outcome == UpdateOutcome::kEndedEarly)
            return ExitAfterEndedEarly(follower, presenter, view, io);

        const DriveIdentity after = ReadDriveIdentity(transport, drive);
        std::fprintf(io.out, "The drive now reports: %s\n", IdentityText(after).c_str());
        std::fflush(io.out);
        if (!o.verify)
            Say(io, "written; not verified (--no-verify)");
        return kExitSuccess;
    } catch (const Interrupted&) {
        Say(io, "programming has ended; stopping as the signal asked (nothing verified)");
        return kExitInterrupted;
    } catch (const ProgramExit& exit) {
        return exit.status;
    }
}

}  // namespace kfs::console
