#pragma once
// The terminal front end's backups: the one every update makes first (into the working directory
// or --backup-dir, off with --no-backup), and --backup FILE, which only reads the drive's flash.
#include <optional>
#include <string>

#include "app/console/options.h"
#include "app/presenter.h"

namespace kfs::console {

// Checks the values and how they combine; a text on error.
std::optional<std::string> CheckBackupOptions(const BackupOptions& options);

// --backup FILE before anything is read from the drive: the name must be new (a link counts as
// taken) and must not be the firmware file; the reason otherwise.
std::optional<std::string> CheckBackupTarget(const std::string& file,
                                             const std::optional<std::string>& firmware);

// After start-up: every update backs the drive up first unless --no-backup.
void ApplyBackupOptions(Presenter& presenter, const BackupOptions& options);

// --backup FILE from `drive`. The firmware at hand (empty image: none) gives the range (unless
// --size) and the container parameters; otherwise --size (2 MB) and --flash-type. Names the file
// on the view; false, with the reason in an error box, when none was written.
bool WriteBackupFile(Transport& transport, Clock& clock, MainView& view, DriveIndex drive,
                     const FirmwareState& firmware, const BackupOptions& options);

}  // namespace kfs::console
