#include "app/console/firmware_checks.h"

#include <cstdio>

#include "container/check_container.h"
#include "container/checksum.h"
#include "container/identity.h"
#include "flash/verify.h"

namespace kfs::console {

namespace {

std::string Hex4(std::uint32_t value) {
    char text[8];
    std::snprintf(text, sizeof text, "%04X", static_cast<unsigned>(value & 0xFFFF));
    return text;
}

}  // namespace

FirmwareFacts DescribeFirmware(const FirmwareState& firmware) {
    FirmwareFacts facts;
    const auto& image = firmware.CurrentImage;
    const auto& container = firmware.CurrentContainer;
    facts.headerCheckSum = container.HeaderCheckSum;
    facts.fixedDataCheckSum = ExpectedCheckSum(image, container, firmware.PhilipsImage);
    if (firmware.PhilipsImage)
        return facts;  // the form carries no INQUIRY identity
    facts.model = GetImageModelName(image);
    facts.version = GetImageVersion(image, container.AtapiFlashType);
    facts.hardwareId = GetImageHardwareId(image);
    facts.dateCode = GetImageDateCode(image, container.AtapiFlashType);
    facts.computedCheckSum = CalcCheckSum(image, container) & 0xFFFF;
    return facts;
}

CheckVerdict CheckFirmwareForDrive(const FirmwareState& firmware, const DriveIdentity& drive) {
    CheckVerdict verdict;
    // The Philips form names no model, and its check sum is the drive's own to judge: nothing in
    // it tells the drive it belongs to.
    if (firmware.PhilipsImage) {
        verdict.refusals.push_back(
            "the firmware is a Philips-form file, which carries no identity, so nothing shows "
            "that it is meant for the drive '" +
            drive.model + "'");
        return verdict;
    }
    const FirmwareFacts facts = DescribeFirmware(firmware);
    if (CheckContainer(firmware.CurrentImage, firmware.CurrentContainer, true, false, {}))
        verdict.refusals.push_back("the firmware's header check sum " + Hex4(facts.headerCheckSum) +
                                   " differs from the check sum of its image " +
                                   Hex4(facts.computedCheckSum) + ": the file is damaged");
    if (facts.model.empty()) {
        verdict.refusals.push_back(
            "the firmware carries no readable identity (no INQUIRY block), so nothing shows "
            "that it is meant for the drive '" +
            drive.model + "'");
        return verdict;
    }
    if (facts.model != drive.model)
        verdict.refusals.push_back("the firmware is for '" + facts.model + "' but the drive is '" +
                                   drive.model + "'");
    verdict.sameVersion = !facts.version.empty() && facts.version == drive.version;
    return verdict;
}

}  // namespace kfs::console
