#pragma once
// The program-wide table of the twelve error texts that container checks, drive matching and
// verification return. In silent mode every entry is empty; an empty text still refuses.
#include <array>
#include <string>

namespace kfs {

enum ErrorMessage : int {
    kLoadKfsFail = 1,
    kCheckSumError = 2,
    kHardwareIdError = 3,
    kModelNameError = 4,
    kDriveFirmwareNewer = 5,
    kDriveUnavailable = 6,
    kAtapiError = 7,
    kNewFirmwareError = 8,
    kAtapiFlashTypeNotSupported = 9,
    kIdeFlashTypeNotSupported = 10,
    kFlashVerifyError = 11,
    kOtherDrivesCorrupt = 12,
};

// Fills the table: the normal texts, or twelve empty texts when silent.
void SetErrorMessages(bool silent);

// Entry 1 to 12 of the table as it was last filled (normal texts before the first call).
const std::string& ErrorMessages(ErrorMessage entry);

}  // namespace kfs
