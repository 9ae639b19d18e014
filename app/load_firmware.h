#pragma once
// Loading a firmware file picked with "&Load KFS": a KFS container file, or a zip archive whose
// last member holds the firmware (a KFS container or a Philips file). The member is extracted to
// "temp.kfs" in the working directory, which is removed again in every outcome.
//
// LoadFirmware does the whole load, the drive matching and the container selection included
// (through app/drive_matching.h), and tells the caller what to do with "&Start" and which box
// to show. ReadFirmwareFile is the file part alone.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "app/drive_matching.h"
#include "container/kfs_parameter.h"
#include "drive/transport.h"

namespace kfs {

inline constexpr char kTempFirmwareFile[] = "temp.kfs";

// No container is this large: a zip member or a file to use beyond it is refused before it is
// read into memory.
inline constexpr std::uint32_t kMaxFirmwareFileSize = 64u * 1024 * 1024;

// Box texts (caption "Error").
inline constexpr char kGetKfsFileLengthFail[] = "Get KFS File Length Fail !";
inline constexpr char kReadFileBinaryFail[] = "ReadFileBinary Fail !";
inline constexpr char kNotValidKfs[] = "Not Valid KFS !";
inline constexpr char kGetFileLengthError[] = "GetFileLength Error!";
inline constexpr char kReadFileBinaryError[] = "ReadFileBinary";
inline constexpr char kGetKfsLengthError[] = "GetKFSLength Error!";

// A decoded firmware file.
struct LoadedFirmware {
    std::vector<std::uint8_t> Image;  // its size is the image length
    SKFSParameter Container;
    bool PhilipsImage = false;
};

struct FirmwareFileResult {
    std::optional<LoadedFirmware> firmware;  // set on success
    std::string message;                     // the box text on failure
    // The failure came after the file to use was settled: "&Start" is to be disabled. False
    // for a failure that leaves everything as it was.
    bool startDisabled = false;
};

// Reads, unpacks and decodes the file. The decoding's own result is not judged here (the
// matching does that); a file whose image length is 0 is refused with "GetKFSLength Error!",
// a Philips file of 40 bytes or less among them. `tempFile` is where an archive member is
// extracted; it does not exist afterwards.
FirmwareFileResult ReadFirmwareFile(const std::string& path,
                                    const std::string& tempFile = kTempFirmwareFile);

enum class LoadOutcome {
    kCancelled,  // the dialog was cancelled: nothing changes
    kRefused,    // refused before the file to use was settled: nothing changes, "&Start" included
    kFailed,     // "&Start" disabled; from the decoding on, the new firmware is current already
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
                        FirmwareBoxes& boxes, const std::string& tempFile = kTempFirmwareFile);

}  // namespace kfs
