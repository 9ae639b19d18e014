#include "app/prepare_firmware.h"

#include "container/byte_order.h"
#include "container/kfs_decode.h"

namespace kfs {

namespace {

PrepareResult GiveUp() {
    return {PrepareOutcome::kGiveUp, kUpdaterCorrupt, false};
}

PrepareResult Fail(std::string message) {
    return {PrepareOutcome::kFail, std::move(message), false};
}

// The convert buffer's Philips form: its length L (the file's length) must leave an image
// behind the 40-byte header and keep the 4-byte trailer at L inside the buffer.
bool LoadConvertBuffer(std::span<const std::uint8_t> cvt, FirmwareState& firmware) {
    const std::uint64_t length = GetBe32(cvt.data());
    if (length <= kPhilipsHeaderLength || length + 4 > cvt.size())
        return false;
    firmware.PhilipsImage = true;
    firmware.CurrentImage.assign(static_cast<std::size_t>(length - kPhilipsHeaderLength), 0);
    if (!LoadKFS(cvt, firmware.CurrentContainer, firmware.CurrentImage)) {
        firmware.CurrentImage.clear();
        firmware.CurrentImage.shrink_to_fit();
        return false;
    }
    return true;
}

// Decodes the three KFS buffers into the slots; true when at least one decoded.
bool LoadKfsBuffers(const EmbeddedFirmware& embedded, FirmwareState& firmware) {
    firmware.ConformingCount = 0;
    for (std::size_t i = 0; i < firmware.EmbeddedContainers.size(); ++i) {
        EmbeddedContainer& slot = firmware.EmbeddedContainers[i];
        const std::uint32_t size = GetKFSLength(embedded.Kfs[i]);
        if (size == 0) {
            slot.Release();
            continue;
        }
        slot.Image.assign(size, 0);
        if (LoadKFS(embedded.Kfs[i], slot.Parameter, slot.Image))
            ++firmware.ConformingCount;
        else
            slot.Release();
    }
    if (firmware.ConformingCount == 0)
        return false;
    if (firmware.ConformingCount == 1) {
        for (std::size_t i = 0; i < firmware.EmbeddedContainers.size(); ++i)
            if (firmware.EmbeddedContainers[i].EmbeddedValid)
                firmware.MakeSlotCurrent(i);
        firmware.ContainerChosen = true;
    }
    return true;
}

}  // namespace

PrepareResult PrepareFirmware(const EmbeddedFirmware& embedded, Transport& transport, Clock& clock,
                              const MatchSettings& settings, FirmwareState& firmware,
                              DriveList& list, FirmwareBoxes& boxes) {
    if (!firmware.UpdaterRole) {
        if (MatchMessage message = ListAllDrives(transport, list))
            return Fail(*message);
        return {PrepareOutcome::kReady, {}, false};
    }

    if (IsPhilipsForm(embedded.Cvt)) {
        if (!LoadConvertBuffer(embedded.Cvt, firmware))
            return GiveUp();
    } else if (!LoadKfsBuffers(embedded, firmware)) {
        return GiveUp();
    }

    if (MatchMessage message = MatchDrives(transport, clock, settings, firmware, list))
        return Fail(*message);
    if (MatchMessage message = SelectContainer(transport, firmware, list, boxes))
        return Fail(*message);
    return {PrepareOutcome::kReady, {}, true};
}

}  // namespace kfs
