#include "app/console/backup_command.h"

#include "app/flash_backup.h"
#include "flash/backup.h"

namespace kfs::console {

namespace {
// The bank of a ReadRom travels in one CDB byte.
constexpr std::uint64_t kMaxBackupSize = 256ull * 65536;

// The drive behind the selected entry. Before any firmware is loaded the list holds every drive
// in table order and nothing is matched yet: entry i is drive i.
std::optional<DriveIndex> SelectedDrive(const DriveList& list, const Transport& transport) {
    if (const auto matched = list.SelectedDrive())
        return matched;
    if (!list.MatchedDrives.empty() || !transport.IsValidDriveIndex(list.ItemIndex))
        return std::nullopt;
    return static_cast<DriveIndex>(list.ItemIndex);
}
}  // namespace

std::optional<std::string> CheckBackupOptions(const BackupOptions& o) {
    if (o.size && (*o.size == 0 || *o.size > kMaxBackupSize))
        return "--size needs a byte count from 1 to " + std::to_string(kMaxBackupSize);
    if (o.flashType && (*o.flashType < 1 || *o.flashType > 8))
        return "--flash-type needs a flash type from 1 to 8";
    if (o.file && o.none)
        return "--backup and --no-backup exclude each other";
    if (!o.file && (o.size || o.flashType))
        return "--size and --flash-type belong to --backup FILE";
    return std::nullopt;
}

void ApplyBackupOptions(Presenter& presenter, const BackupOptions& o) {
    MainState& state = presenter.state();
    state.BackupBeforeFlash = !o.none;
    state.BackupDirectory = o.directory.value_or("");
}

bool RunBackupCommand(Presenter& presenter, Transport& transport, Clock& clock, MainView& view,
                      const BackupOptions& o) {
    const MainState& state = presenter.state();
    const std::optional<DriveIndex> drive = SelectedDrive(state.SelDevice, transport);
    if (!drive) {
        view.ShowError("no drive selected to back up", "Backup");
        return false;
    }
    const FirmwareState& firmware = state.Firmware;
    BackupPlan plan;
    if (!firmware.CurrentImage.empty()) {
        plan = PlanBackupFor(firmware.CurrentContainer, firmware.PhilipsImage,
                             firmware.CurrentImage.size());
    } else {
        plan.length = kDefaultBackupSize;
        plan.like.AtapiFlashType = o.flashType.value_or(0);
        if (!o.flashType)
            view.AddLine(
                "No flash type given (--flash-type or --load): the backup can be read "
                "and inspected, but not written back as it is.");
    }
    if (o.flashType)
        plan.like.AtapiFlashType = *o.flashType;
    if (o.size)
        plan.length = *o.size;
    const BackupOutcome backup = WriteFlashBackup(transport, clock, view, *drive, plan, *o.file);
    if (!backup.ok()) {
        view.ShowError("No backup of the drive's flash was made: " + backup.problem, "Backup");
        return false;
    }
    view.AddLine(BackupWrittenLine(backup.path));
    return true;
}

}  // namespace kfs::console
