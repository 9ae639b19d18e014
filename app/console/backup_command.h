#pragma once
// The terminal front end's backup options: the backup every update makes first (into the working
// directory or --backup-dir, off with --no-backup), and --backup FILE, which only reads the
// drive's flash into FILE.
#include <cstdint>
#include <optional>
#include <string>

#include "app/presenter.h"

namespace kfs::console {

struct BackupOptions {
    std::optional<std::string> file;        // --backup FILE: back up, write nothing
    std::optional<std::string> directory;   // --backup-dir DIR
    std::optional<std::uint32_t> size;      // --size N: bytes to read from the flash's start
    std::optional<std::uint8_t> flashType;  // --flash-type T: AtapiFlashType without firmware
    bool none = false;                      // --no-backup
};

// Checks the values and how they combine; a text on error.
std::optional<std::string> CheckBackupOptions(const BackupOptions& options);

// After start-up: every update backs the drive up first unless --no-backup.
void ApplyBackupOptions(Presenter& presenter, const BackupOptions& options);

// --backup FILE on the selected drive. The firmware at hand, if any, gives the range (unless
// --size) and the container parameters; otherwise --size (2 MB) and --flash-type. Prints the
// file's name; false (with the reason on the view) when no file was written.
bool RunBackupCommand(Presenter& presenter, Transport& transport, Clock& clock, MainView& view,
                      const BackupOptions& options);

}  // namespace kfs::console
