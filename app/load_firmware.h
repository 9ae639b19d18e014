#pragma once
// Loading a firmware file picked with "&Load KFS". LoadFirmware does the whole load, the drive
// matching and the container selection included (through app/drive_matching.h), and tells the
// caller what to do with "&Start" and which box to show. The file part alone, ReadFirmwareFile,
// is shared with the tools (container/firmware_file.h).
#include <optional>
#include <string>

#include "app/drive_matching.h"
#include "container/firmware_file.h"
#include "drive/transport.h"

namespace kfs {

enum class LoadOutcome {
    kCancelled,  // the dialog was cancelled: nothing changes
    kRefused,    // refused before the file to use was settled: nothing changes, "&Start" included
    kFailed,     // "&Start" disabled; from the matching on, the new firmware is current already
    kLoaded,  // firmware current, drives matched, container selected: enable "&Start", show Edit1
};

struct LoadResult {
    LoadOutcome outcome = LoadOutcome::kCancelled;
    // Box to show (caption "Error", also in silent mode); may be an empty text. Set for kRefused
    // and kFailed.
    std::optional<std::string> message;
};

// The "&Load KFS" action after the dialog: `path` is the picked file, nullopt when the dialog
// was cancelled. On success (and on a matching or selection failure) the new firmware replaces
// CurrentImage, CurrentContainer and PhilipsImage, and MatchDrives and SelectContainer have run
// on `list` and `boxes`.
LoadResult LoadFirmware(const std::optional<std::string>& path, Transport& transport, Clock& clock,
                        const MatchSettings& settings, FirmwareState& firmware, DriveList& list,
                        FirmwareBoxes& boxes);

}  // namespace kfs
