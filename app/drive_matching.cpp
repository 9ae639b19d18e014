#include "app/drive_matching.h"

#include <algorithm>
#include <cstdio>

#include "container/check_container.h"
#include "container/checksum.h"
#include "container/error_messages.h"
#include "container/identity.h"
#include "drive/identification.h"
#include "flash/wait_drive_ready.h"

namespace kfs {

namespace {

std::string Hex4(std::uint16_t value) {
    char text[8];
    std::snprintf(text, sizeof text, "%04X", static_cast<unsigned>(value));
    return text;
}

// An empty list: nothing to select, so nothing can point past MatchedDrives.
void ClearList(DriveList& list) {
    list.Items.clear();
    list.ItemIndex = -1;
    list.Enabled = false;
}

std::string Prefix(const std::string& text, std::size_t length) {
    return text.substr(0, std::min(length, text.size()));
}

}  // namespace

void FirmwareState::MakeSlotCurrent(std::size_t index) {
    EmbeddedContainer& slot = EmbeddedContainers.at(index);
    CurrentContainer = slot.Parameter;
    CurrentImage = slot.Image;
    slot.Image.clear();
    slot.Image.shrink_to_fit();
}

std::string DriveList::SelectedText() const {
    if (ItemIndex < 0 || static_cast<std::size_t>(ItemIndex) >= Items.size())
        return {};
    return Items[static_cast<std::size_t>(ItemIndex)];
}

std::optional<DriveIndex> DriveList::SelectedDrive() const {
    if (ItemIndex < 0 || static_cast<std::size_t>(ItemIndex) >= Items.size() ||
        static_cast<std::size_t>(ItemIndex) >= MatchedDrives.size())
        return std::nullopt;
    return MatchedDrives[static_cast<std::size_t>(ItemIndex)];
}

void DriveList::Select(int index) {
    if (index < 0 || static_cast<std::size_t>(index) >= Items.size())
        return;
    ItemIndex = index;
    StatusText = Prefix(Items[static_cast<std::size_t>(index)], kStatusTextLength);
}

MatchSettings MatchSettings::From(const SParameter& p) {
    MatchSettings s;
    s.CheckSum = p.CheckSum;
    s.HardwareID = p.HardwareID;
    s.ModelName = p.ModelName;
    s.AvailableModel = p.AvailableModel;
    s.AvailableModelNames = p.AvailableModelNames;
    return s;
}

bool IsPioneerModel(const std::string& modelName) {
    return modelName.compare(0, 7, "PIONEER") == 0;
}

std::string DriveEntryText(const std::string& modelName, const std::string& version,
                           const std::string& dateCode) {
    return modelName + " " + version + " " + dateCode;
}

std::string ReadDriveEntry(Transport& transport, DriveIndex drive, bool updaterRole) {
    const std::string model = GetDriveModelName(transport, drive);
    const std::string version = GetDriveVersion(transport, drive);
    std::string dateCode;
    if (!updaterRole && !IsPioneerModel(model))
        dateCode = GetDriveDateCode(transport, drive);
    return DriveEntryText(model, version, dateCode);
}

MatchMessage ListAllDrives(Transport& transport, DriveList& list) {
    const std::vector<DriveIndex> drives = transport.GetDriveIndexList();
    if (drives.empty())
        return std::string(kNoDriveFound);
    list.Items.clear();
    for (DriveIndex d : drives) list.Items.push_back(ReadDriveEntry(transport, d, false));
    list.MatchedDrives.clear();
    list.Select(0);
    list.Enabled = true;
    return std::nullopt;
}

MatchMessage MatchDrives(Transport& transport, Clock& clock, const MatchSettings& settings,
                         FirmwareState& firmware, DriveList& list) {
    const bool hadSelection =
        list.ItemIndex >= 0 && static_cast<std::size_t>(list.ItemIndex) < list.Items.size();
    const std::string remembered = Prefix(list.SelectedText(), kStatusTextLength);
    list.MatchedDrives.clear();

    auto fail = [&list](std::string message) -> MatchMessage {
        ClearList(list);
        return message;
    };

    if (!firmware.UpdaterRole && firmware.CurrentImage.empty())
        return fail(ErrorMessages(kLoadKfsFail));

    auto& slots = firmware.EmbeddedContainers;
    const bool perSlot = firmware.UpdaterRole && !firmware.ContainerChosen;
    if (!firmware.PhilipsImage) {
        if (perSlot) {
            firmware.ConformingCount = 0;
            for (EmbeddedContainer& slot : slots) {
                if (!slot.EmbeddedValid)
                    continue;
                if (CheckContainer(slot.Image, slot.Parameter, settings.CheckSum,
                                   settings.AvailableModel, settings.AvailableModelNames))
                    slot.Release();
                else
                    ++firmware.ConformingCount;
            }
            if (firmware.ConformingCount == 0)
                return fail(kUpdaterCorrupt);
            if (firmware.ConformingCount == 1) {
                for (std::size_t i = 0; i < slots.size(); ++i)
                    if (slots[i].EmbeddedValid)
                        firmware.MakeSlotCurrent(i);
                firmware.ContainerChosen = true;
            }
        } else if (auto refused = CheckContainer(firmware.CurrentImage, firmware.CurrentContainer,
                                                 settings.CheckSum, settings.AvailableModel,
                                                 settings.AvailableModelNames)) {
            return fail(firmware.UpdaterRole ? std::string(kUpdaterCorrupt) : *refused);
        }
    }

    if (firmware.PhilipsImage) {
        list.MatchedDrives = transport.GetDriveIndexList();
    } else {
        // The identities the drives are compared with: the current image alone, or every slot
        // still valid when the updater has not settled on one container yet.
        std::vector<std::string> models, hardwareIds;
        if (firmware.UpdaterRole && !firmware.ContainerChosen) {
            for (const EmbeddedContainer& slot : slots) {
                if (!slot.EmbeddedValid)
                    continue;
                models.push_back(GetImageModelName(slot.Image));
                hardwareIds.push_back(GetImageHardwareId(slot.Image));
            }
        } else {
            models.push_back(GetImageModelName(firmware.CurrentImage));
            hardwareIds.push_back(GetImageHardwareId(firmware.CurrentImage));
        }
        auto listed = [](const std::vector<std::string>& texts, const std::string& text) {
            return std::find(texts.begin(), texts.end(), text) != texts.end();
        };

        for (DriveIndex d : transport.GetDriveIndexList()) {
            const std::string model = GetDriveModelName(transport, d);
            if (model.empty())
                return fail(kModelNameReadError);
            if (IsPioneerModel(model) && !WaitDriveReady(transport, clock, d, 120))
                return fail(kWaitForReadyError);
            if (settings.ModelName && !listed(models, GetDriveModelName(transport, d)))
                continue;
            if (settings.HardwareID && !listed(hardwareIds, GetDriveHardwareId(transport, d)))
                continue;
            if (settings.AvailableModel &&
                !listed(settings.AvailableModelNames, GetDriveModelName(transport, d)))
                continue;
            list.MatchedDrives.push_back(d);
        }
    }

    if (list.MatchedDrives.empty())
        return fail(kNoMatchedDevices);

    list.Items.clear();
    for (DriveIndex d : list.MatchedDrives)
        list.Items.push_back(ReadDriveEntry(transport, d, firmware.UpdaterRole));

    int select = 0;
    if (hadSelection) {
        const std::string model = Prefix(remembered, kModelNameLength);
        for (std::size_t i = 0; i < list.Items.size(); ++i) {
            if (Prefix(list.Items[i], kModelNameLength) == model) {
                select = static_cast<int>(i);
                break;
            }
        }
    }
    list.Select(select);
    list.Enabled = true;
    return std::nullopt;
}

MatchMessage SelectContainer(Transport& transport, FirmwareState& firmware, const DriveList& list,
                             FirmwareBoxes& boxes) {
    boxes.Edit2.clear();

    if (firmware.PhilipsImage) {
        boxes.Edit1 = kPhilipsModelText;
        firmware.ExpectedCheckSum = ByteSum16(firmware.CurrentImage);
        boxes.Edit2 = Hex4(firmware.ExpectedCheckSum);
        return std::nullopt;
    }

    if (firmware.UpdaterRole && !firmware.ContainerChosen) {
        const std::optional<DriveIndex> drive = list.SelectedDrive();
        if (!drive)
            return std::string(kNoConformingKfs);
        auto& slots = firmware.EmbeddedContainers;
        firmware.ConformingCount = 0;
        for (EmbeddedContainer& slot : slots) {
            if (!slot.EmbeddedValid)
                continue;
            // The hardware identifier is asked only of a drive whose model name fits.
            const bool conforms =
                GetDriveModelName(transport, *drive) == GetImageModelName(slot.Image) &&
                GetDriveHardwareId(transport, *drive) == GetImageHardwareId(slot.Image);
            if (conforms)
                ++firmware.ConformingCount;
            else
                slot.Release();
        }
        if (firmware.ConformingCount > 1)
            return std::string(kMoreThanOneConforming);
        if (firmware.ConformingCount == 0)
            return std::string(kNoConformingKfs);
        for (std::size_t i = 0; i < slots.size(); ++i)
            if (slots[i].EmbeddedValid)
                firmware.MakeSlotCurrent(i);
    }

    const std::uint8_t flashType = firmware.CurrentContainer.AtapiFlashType;
    const std::string model = GetImageModelName(firmware.CurrentImage);
    std::string dateCode;
    if (!firmware.UpdaterRole && !IsPioneerModel(model))
        dateCode = GetImageDateCode(firmware.CurrentImage, flashType);
    boxes.Edit1 = model + " " + GetImageVersion(firmware.CurrentImage, flashType) + " " + dateCode;

    firmware.ExpectedCheckSum =
        CalcFixDataCheckSum(firmware.CurrentImage, firmware.CurrentContainer);
    boxes.Edit2 = Hex4(firmware.ExpectedCheckSum);
    return std::nullopt;
}

}  // namespace kfs
