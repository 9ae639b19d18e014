#pragma once
// What kfsflash checks before it writes, whatever the parameter text's check switches say: the
// image is meant for this model, its header check sum holds, it carries a readable identity;
// and whether the drive already has the image's version (a question, not a refusal).
#include <string>
#include <vector>

#include "app/console/drive_table.h"
#include "app/drive_matching.h"

namespace kfs::console {

struct FirmwareFacts {
    std::string model, version, hardwareId, dateCode;        // from the image's INQUIRY block
    std::uint32_t headerCheckSum = 0, computedCheckSum = 0;  // low 16 bits compared
    std::uint16_t fixedDataCheckSum = 0;  // what the drive reports after the update
};
FirmwareFacts DescribeFirmware(const FirmwareState& firmware);

struct CheckVerdict {
    // Sentences naming both sides; --force overrides them.
    std::vector<std::string> refusals;
    bool sameVersion = false;
};
CheckVerdict CheckFirmwareForDrive(const FirmwareState& firmware, const DriveIdentity& drive);

}  // namespace kfs::console
