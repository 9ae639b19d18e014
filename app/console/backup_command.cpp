#include "app/console/backup_command.h"

#include <filesystem>
#include <system_error>

#include "app/flash_backup.h"
#include "container/file_helpers.h"
#include "flash/backup.h"

namespace kfs::console {

namespace {
// The bank of a ReadRom travels in one CDB byte.
constexpr std::uint64_t kMaxBackupSize = 256ull * 65536;
}  // namespace

std::optional<std::string> CheckBackupOptions(const BackupOptions& o) {
    if (o.size && (*o.size == 0 || *o.size > kMaxBackupSize))
        return "--size needs a byte count from 1 to " + std::to_string(kMaxBackupSize);
    if (o.flashType && (*o.flashType < 1 || *o.flashType > 8))
        return "--flash-type needs a flash type from 1 to 8";
    if (o.file && o.none)
        return "--backup and --no-backup exclude each other";
    if (o.directory && o.none)
        return "--backup-dir and --no-backup exclude each other";
    if (!o.file && (o.size || o.flashType))
        return "--size and --flash-type belong to --backup FILE";
    return std::nullopt;
}

std::optional<std::string> CheckBackupTarget(const std::string& file,
                                             const std::optional<std::string>& firmware) {
    if (firmware && SameFile(file, *firmware))
        return file + " is the firmware file: a backup never replaces it";
    std::error_code error;
    // symlink_status: a link counts as taken, wherever it points (or whether it points at all).
    if (std::filesystem::exists(std::filesystem::symlink_status(file, error)))
        return file + " exists: a backup never replaces a file (name a new one)";
    return std::nullopt;
}

void ApplyBackupOptions(Presenter& presenter, const BackupOptions& o) {
    MainState& state = presenter.state();
    state.BackupBeforeFlash = !o.none;
    state.BackupDirectory = o.directory.value_or("");
}

bool WriteBackupFile(Transport& transport, Clock& clock, MainView& view, DriveIndex drive,
                     const FirmwareState& firmware, const BackupOptions& o) {
    BackupPlan plan;
    if (!firmware.CurrentImage.empty()) {
        plan = PlanBackupFor(firmware.CurrentContainer, firmware.PhilipsImage,
                             firmware.CurrentImage.size());
    } else {
        plan.length = kDefaultBackupSize;
        if (!o.flashType)
            view.AddLine(
                "No flash type given (--flash-type or a firmware file): the backup can "
                "be inspected, but not written back as it is.");
    }
    if (o.flashType)
        plan.like.AtapiFlashType = static_cast<std::uint8_t>(*o.flashType);
    if (o.size)
        plan.length = static_cast<std::uint32_t>(*o.size);
    const BackupOutcome backup = WriteFlashBackup(transport, clock, view, drive, plan, *o.file);
    if (!backup.ok()) {
        view.ShowError("No backup of the drive's flash was made: " + backup.problem,
                       kBackupCaption);
        return false;
    }
    view.AddLine(BackupWrittenLine(backup.path));
    return true;
}

}  // namespace kfs::console
