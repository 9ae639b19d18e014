#pragma once
// The backup file of a drive's flash: read the range an update is about to overwrite and write it
// as a container, named from the drive's identity and the time. The update (both front ends) and
// the terminal's --backup use it.
#include <cstdint>
#include <ctime>
#include <string>

#include "container/kfs_parameter.h"
#include "drive/transport.h"
#include "flash/clock.h"
#include "flash/flash_view.h"

namespace kfs {

// What a backup is made like: the range from the start of the flash and the container form.
struct BackupPlan {
    std::uint32_t length = 0;
    SKFSParameter like;  // flash types, reserved and kernel blocks of the image being flashed
    bool philips = false;
};

// The backup an update of this image needs: the range it overwrites, in its container's terms.
BackupPlan PlanBackupFor(const SKFSParameter& container, bool philipsImage,
                         std::size_t imageLength);

struct BackupOutcome {
    std::string path;     // the file written (empty when none was)
    std::string problem;  // why no file was written
    bool ok() const { return !path.empty(); }
};

// "<vendor>_<product>_<version>_<yyyymmdd>-<hhmmss>.kfs" (".zip" for a Philips file, which a
// file load takes only from an archive): runs of blanks and of characters a file name cannot
// carry become one "_".
std::string BackupFileName(const std::string& model, const std::string& version,
                           const std::tm& when, bool philips);

// Reads the planned range of the drive's flash and writes it to `path`: the container, or a zip
// archive holding the Philips file. The file is new: an existing `path` (a link included) is
// refused, and a file that cannot be written whole leaves nothing behind (WriteNewFile).
BackupOutcome WriteFlashBackup(Transport& transport, Clock& clock, FlashView& view,
                               DriveIndex drive, const BackupPlan& plan, const std::string& path);

// The same into `directory` (empty: the working directory) under BackupFileName with the local
// time now; an existing name (a dangling link too) is never replaced or followed, a counter is
// added to the name instead.
BackupOutcome BackUpDrive(Transport& transport, Clock& clock, FlashView& view, DriveIndex drive,
                          const BackupPlan& plan, const std::string& directory);

// The list line that names a backup, and the question asked when none could be made.
std::string BackupWrittenLine(const std::string& path);
std::string NoBackupQuestion(const std::string& problem);
inline constexpr char kBackupCaption[] = "Backup";

// The directory the program file lies in (where the Windows program writes its backups); empty
// where the platform does not tell.
std::string ProgramDirectory();

}  // namespace kfs
