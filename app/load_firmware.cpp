#include "app/load_firmware.h"

namespace kfs {

LoadResult LoadFirmware(const std::optional<std::string>& path, Transport& transport, Clock& clock,
                        const MatchSettings& settings, FirmwareState& firmware, DriveList& list,
                        FirmwareBoxes& boxes) {
    if (!path)
        return {LoadOutcome::kCancelled, std::nullopt};

    FirmwareFileResult file = ReadFirmwareFile(*path);
    if (!file.firmware)
        return {file.startDisabled ? LoadOutcome::kFailed : LoadOutcome::kRefused, file.message};

    firmware.CurrentImage = std::move(file.firmware->Image);
    firmware.CurrentContainer = std::move(file.firmware->Container);
    firmware.PhilipsImage = file.firmware->PhilipsImage;
    firmware.Member = file.firmware->Member;

    if (MatchMessage message = MatchDrives(transport, clock, settings, firmware, list))
        return {LoadOutcome::kFailed, message};
    if (MatchMessage message = SelectContainer(transport, firmware, list, boxes))
        return {LoadOutcome::kFailed, message};
    return {LoadOutcome::kLoaded, std::nullopt};
}

}  // namespace kfs
