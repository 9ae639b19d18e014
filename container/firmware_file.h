#pragma once
// Reading a firmware file as the program loads it: a KFS container file, or a zip archive whose
// last member holds the firmware (a KFS container or a Philips file). The member is extracted to
// a file of the program's own in the system's temporary folder (never a name in the working
// directory that a user's file could have) and that file is removed again in every outcome.
//
// Shared by the programs' "&Load KFS" and by kfstool, so that both agree on what a file is.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "container/kfs_decode.h"
#include "container/kfs_parameter.h"

namespace kfs {

// No container is this large: a zip member, a file to use or an image beyond it is refused
// before it is read or allocated.
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
    KfsForm Form = KfsForm::kNone;
    std::string Member;            // the archive member it came from; empty for a plain file
    std::uint32_t FileLength = 0;  // bytes of the file used (the picked file or the member)
};

struct FirmwareFileResult {
    std::optional<LoadedFirmware> firmware;  // set on success
    std::string message;                     // the box text on failure
    std::string reason;                      // on failure, one line on why, for tools and logs
    // The failure came after the file to use was settled: "&Start" is to be disabled. False
    // for a failure that leaves everything as it was.
    bool startDisabled = false;
};

// Reads, unpacks and decodes the file. A container that LoadKFS refuses is refused with
// "Not Valid KFS !", as a file that is no container at all: a partly decoded image is never
// handed on. A file whose image length is 0 is refused with "GetKFSLength Error!", a Philips
// file of 40 bytes or less among them. `sizeLimit` bounds the file to use (an archive member
// whatever its header claims) and the image.
FirmwareFileResult ReadFirmwareFile(const std::string& path,
                                    std::uint32_t sizeLimit = kMaxFirmwareFileSize);

}  // namespace kfs
