#include "app/drive_matching.h"

#include <gtest/gtest.h>

#include <cstdio>

#include "container/error_messages.h"
#include "emulator/adapters/emulated_transport.h"
#include "emulator/adapters/emulator_clock.h"
#include "support/firmware_fixtures.h"

namespace kfs {
namespace {

using test::Bytes;
using test::DriveJson;
using test::Identity;
using test::MakeDrives;
using test::MakeImage;

const Identity kMain{};
const Identity kOtherHw{"KEMO", "VRZ-3350A", "1.00", "K2", "060101"};
const Identity kOtherModel{"ACME", "DVD-9", "2.00", "K1", "050505"};
const Identity kPioneer{"PIONEER", "DVD-RW DVR-110", "1.10", "P1", "051010"};

std::string Entry(const Identity& id, bool withDate = true) {
    return id.Model() + " " + id.revision + " " + (withDate ? id.dateCode : "");
}

MatchSettings AllOff() {
    MatchSettings s;
    s.HardwareID = false;
    return s;
}

std::string Hex4(unsigned value) {
    char text[8];
    std::snprintf(text, sizeof text, "%04X", value & 0xFFFF);
    return text;
}

TEST(MatchDrives, EachEnabledTestRejectsDrivesThatDifferFromTheImage) {
    struct Case {
        const char* name;
        bool modelName, hardwareId, availableModel;
        std::vector<std::string> names;
        std::vector<DriveIndex> matched;
        MatchMessage message;
    };
    const std::string padded = kMain.Model();
    const std::vector<Case> cases = {
        {"all off", false, false, false, {}, {0, 1, 2}, std::nullopt},
        {"model name", true, false, false, {}, {0, 1}, std::nullopt},
        {"hardware id", false, true, false, {}, {0, 2}, std::nullopt},
        {"both", true, true, false, {}, {0}, std::nullopt},
        {"available padded", false, false, true, {padded}, {0, 1}, std::nullopt},
        {"available unpadded other",
         false,
         false,
         true,
         {"ACME    DVD-9", padded},
         {0, 1},
         std::nullopt},
        // The image's own model must be listed with its blanks, or the container is refused.
        {"available unpadded own",
         false,
         false,
         true,
         {"KEMO    VRZ-3350A"},
         {},
         "This drive is unavailble!"},
        {"nothing fits", true, false, false, {}, {}, "No matched devices !"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto drives =
            c.message == std::optional<std::string>("No matched devices !")
                ? MakeDrives({DriveJson(kOtherModel)})
                : MakeDrives({DriveJson(kMain), DriveJson(kOtherHw), DriveJson(kOtherModel)});
        EmulatedTransport t(drives);
        EmulatorClock clock(drives);
        FirmwareState firmware = test::LoadedState(MakeImage(kMain));
        MatchSettings s;
        s.ModelName = c.modelName;
        s.HardwareID = c.hardwareId;
        s.AvailableModel = c.availableModel;
        s.AvailableModelNames = c.names;
        DriveList list;
        EXPECT_EQ(MatchDrives(t, clock, s, firmware, list), c.message);
        EXPECT_EQ(list.MatchedDrives, c.matched);
        ASSERT_EQ(list.Items.size(), c.message ? 0u : c.matched.size());
        const Identity* ids[] = {&kMain, &kOtherHw, &kOtherModel};
        for (std::size_t i = 0; i < list.Items.size(); ++i)
            EXPECT_EQ(list.Items[i], Entry(*ids[c.matched[i]]));
        EXPECT_EQ(list.Enabled, !c.message);
    }
}

TEST(ListAllDrives, EveryDriveWithItsEntryAndNoDateCodeForPioneer) {
    auto drives = MakeDrives({DriveJson(kMain), DriveJson(kPioneer)});
    EmulatedTransport t(drives);
    EmulatorClock clock(drives);
    DriveList list;
    list.MatchedDrives = {7};
    EXPECT_EQ(ListAllDrives(t, list), std::nullopt);
    EXPECT_EQ(list.Items, (std::vector<std::string>{Entry(kMain), Entry(kPioneer, false)}));
    EXPECT_EQ(list.Items[1].back(), ' ');
    EXPECT_EQ(list.ItemIndex, 0);
    EXPECT_EQ(list.StatusText, Entry(kMain).substr(0, 36));
    EXPECT_TRUE(list.Enabled);
    EXPECT_TRUE(list.MatchedDrives.empty());
    EXPECT_EQ(list.SelectedDrive(), std::nullopt);
}

TEST(MatchDrives, AnEmptyDriveTableMatchesNothingWhateverTheFirmware) {
    auto none = MakeDrives({});
    EmulatedTransport t(none);
    EmulatorClock clock(none);
    DriveList list;
    EXPECT_EQ(ListAllDrives(t, list), "No Drive found !");
    for (bool philips : {false, true}) {
        FirmwareState firmware = test::LoadedState(MakeImage(kMain));
        firmware.PhilipsImage = philips;
        EXPECT_EQ(MatchDrives(t, clock, AllOff(), firmware, list), "No matched devices !");
    }
}

TEST(MatchDrives, UpdaterEntriesEndWithABlank) {
    auto drives = MakeDrives({DriveJson(kMain)});
    EmulatedTransport t(drives);
    EmulatorClock clock(drives);
    FirmwareState firmware = test::LoadedState(MakeImage(kMain));
    firmware.UpdaterRole = true;
    firmware.ContainerChosen = true;
    DriveList list;
    ASSERT_EQ(MatchDrives(t, clock, MatchSettings{}, firmware, list), std::nullopt);
    EXPECT_EQ(list.Items, std::vector<std::string>{Entry(kMain, false)});
}

TEST(MatchDrives, KeepsThePreviouslySelectedModelAcrossLoads) {
    struct Case {
        const char* name;
        std::vector<std::string> before;
        int selected;
        int expected;
    };
    const std::vector<Case> cases = {
        {"same model still listed", {Entry(kOtherModel), Entry(kOtherHw)}, 1, 1},
        {"model gone", {Entry(kPioneer)}, 0, 0},
        {"nothing selected", {Entry(kMain)}, -1, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto drives = MakeDrives({DriveJson(kOtherModel), DriveJson(kMain), DriveJson(kOtherHw)});
        EmulatedTransport t(drives);
        EmulatorClock clock(drives);
        FirmwareState firmware = test::LoadedState(MakeImage(kMain));
        DriveList list;
        list.Items = c.before;
        list.ItemIndex = c.selected;
        ASSERT_EQ(MatchDrives(t, clock, AllOff(), firmware, list), std::nullopt);
        EXPECT_EQ(list.ItemIndex, c.expected);
        EXPECT_EQ(list.StatusText,
                  list.Items[static_cast<std::size_t>(list.ItemIndex)].substr(0, 36));
        EXPECT_EQ(list.SelectedDrive(),
                  list.MatchedDrives[static_cast<std::size_t>(list.ItemIndex)]);
    }
}

TEST(MatchDrives, AFailureLeavesNoEntryThatPointsPastTheMatchedDrives) {
    // The second drive answers no INQUIRY, so its model name reads empty.
    auto drives =
        MakeDrives({DriveJson(kMain), DriveJson(kOtherModel, R"(,"faults":[{"command":"12"}])")});
    EmulatedTransport t(drives);
    EmulatorClock clock(drives);
    FirmwareState firmware = test::LoadedState(MakeImage(kMain));
    DriveList list;
    list.Items = {"a", "b", "c"};
    list.ItemIndex = 2;
    list.Enabled = true;
    EXPECT_EQ(MatchDrives(t, clock, AllOff(), firmware, list), "Get Drive Modelname error");
    EXPECT_EQ(list.MatchedDrives, std::vector<DriveIndex>{0});
    EXPECT_TRUE(list.Items.empty());
    EXPECT_EQ(list.ItemIndex, -1);
    EXPECT_FALSE(list.Enabled);
    EXPECT_EQ(list.SelectedDrive(), std::nullopt);
    // An entry selected beyond the drives behind the list never yields a drive either.
    DriveList stale;
    stale.Items = {"a", "b"};
    stale.MatchedDrives = {4};
    stale.ItemIndex = 1;
    EXPECT_EQ(stale.SelectedDrive(), std::nullopt);
}

TEST(MatchDrives, WaitsForPioneerDrivesOnly) {
    // The other drive never becomes ready: waiting for it would fail the matching.
    const std::string neverReady = R"(,"faults":[{"never_ready":true}])";
    for (bool ready : {true, false}) {
        SCOPED_TRACE(ready);
        auto drives = MakeDrives(
            {DriveJson(kMain, neverReady), DriveJson(kPioneer, ready ? "" : neverReady)});
        EmulatedTransport t(drives);
        EmulatorClock clock(drives);
        FirmwareState firmware = test::LoadedState(MakeImage(kMain));
        DriveList list;
        EXPECT_EQ(MatchDrives(t, clock, AllOff(), firmware, list),
                  ready ? MatchMessage{} : MatchMessage{"Wait For Ready error"});
        EXPECT_EQ(list.MatchedDrives,
                  ready ? (std::vector<DriveIndex>{0, 1}) : std::vector<DriveIndex>{0});
        // Only the wait for the drive that never became ready took time: 120 s and a little.
        EXPECT_EQ(drives.Now() / 1000, ready ? 0u : 120u);
    }
}

TEST(MatchDrives, RefusedFirmwareMessagesByRole) {
    auto drives = MakeDrives({DriveJson(kMain)});
    EmulatedTransport t(drives);
    EmulatorClock clock(drives);
    DriveList list;
    {
        FirmwareState none;
        EXPECT_EQ(MatchDrives(t, clock, AllOff(), none, list), "Load KFS Fail!");
        SetErrorMessages(true);
        EXPECT_EQ(MatchDrives(t, clock, AllOff(), none, list), std::string());
        SetErrorMessages(false);
    }
    FirmwareState badSum = test::LoadedState(MakeImage(kMain));
    badSum.CurrentContainer.HeaderCheckSum ^= 1;
    EXPECT_EQ(MatchDrives(t, clock, AllOff(), badSum, list), "Check Sum Error!");
    badSum.UpdaterRole = true;
    badSum.ContainerChosen = true;
    EXPECT_EQ(MatchDrives(t, clock, AllOff(), badSum, list), "Updater is corrupt !");

    FirmwareState slots;
    slots.UpdaterRole = true;
    for (EmbeddedContainer& slot : slots.EmbeddedContainers) {
        slot = test::MakeSlot(MakeImage(kMain));
        slot.Parameter.HeaderCheckSum ^= 1;
    }
    EXPECT_EQ(MatchDrives(t, clock, AllOff(), slots, list), "Updater is corrupt !");
    for (const EmbeddedContainer& slot : slots.EmbeddedContainers) {
        EXPECT_FALSE(slot.EmbeddedValid);
        EXPECT_TRUE(slot.Image.empty());
    }
}

TEST(MatchDrives, PhilipsImageListsEveryDriveAndShowsTheFixedModel) {
    auto drives = MakeDrives({DriveJson(kMain), DriveJson(kOtherModel)});
    EmulatedTransport t(drives);
    EmulatorClock clock(drives);
    FirmwareState firmware;
    firmware.PhilipsImage = true;
    firmware.CurrentImage.assign(300, 0xFF);  // sums to 12AD4h: only the low 16 bits count
    MatchSettings strict;
    strict.ModelName = true;
    DriveList list;
    FirmwareBoxes boxes{"old", "old"};
    ASSERT_EQ(MatchDrives(t, clock, strict, firmware, list), std::nullopt);
    EXPECT_EQ(list.MatchedDrives, (std::vector<DriveIndex>{0, 1}));
    ASSERT_EQ(SelectContainer(t, firmware, list, boxes), std::nullopt);
    EXPECT_EQ(boxes.Edit1, "KEMO    VRZ-3350A");
    EXPECT_EQ(boxes.Edit2, "2AD4");
    EXPECT_EQ(firmware.ExpectedCheckSum, 0x2AD4);
}

TEST(SelectContainer, ShowsIdentityAndFixedDataCheckSum) {
    struct Case {
        Identity id;
        bool updater;
        bool withDate;
    };
    for (const Case& c :
         {Case{kMain, false, true}, Case{kPioneer, false, false}, Case{kMain, true, false}}) {
        SCOPED_TRACE(c.id.vendor + (c.updater ? " updater" : ""));
        FirmwareState firmware = test::LoadedState(MakeImage(c.id));
        firmware.UpdaterRole = c.updater;
        firmware.ContainerChosen = c.updater;
        firmware.CurrentContainer.ReservedBlocks = {{0x100, 0x40}};
        unsigned sum = 0;
        for (std::size_t i = 0; i < firmware.CurrentImage.size(); ++i)
            if (i < 0x100 || i >= 0x140)
                sum += firmware.CurrentImage[i];
        auto none = MakeDrives({});
        EmulatedTransport t(none);
        EmulatorClock clock(none);
        FirmwareBoxes boxes{"", "stale"};
        ASSERT_EQ(SelectContainer(t, firmware, DriveList{}, boxes), std::nullopt);
        EXPECT_EQ(boxes.Edit1, Entry(c.id, c.withDate));
        EXPECT_EQ(boxes.Edit2, Hex4(sum));
        EXPECT_EQ(firmware.ExpectedCheckSum, sum & 0xFFFF);
    }
}

// Updater role: three identities for the embedded slots.
const Identity kSlotA{"KEMO", "VRZ-3350A", "1.00", "K1", "061122"};
const Identity kSlotA2{"KEMO", "VRZ-3350A", "1.10", "K1", "070101"};
const Identity kSlotC{"ACME", "DVD-9", "2.00", "K3", "050505"};

FirmwareState UpdaterWith(const std::vector<const Identity*>& slots) {
    FirmwareState firmware;
    firmware.UpdaterRole = true;
    for (std::size_t i = 0; i < 3; ++i) {
        if (i < slots.size() && slots[i])
            firmware.EmbeddedContainers[i] =
                test::MakeSlot(MakeImage(*slots[i], 0x1000, static_cast<std::uint8_t>(i)));
        else
            firmware.EmbeddedContainers[i].Release();
    }
    return firmware;
}

TEST(SelectContainer, ChoosesTheOneSlotThatFitsTheSelectedDrive) {
    struct Case {
        Identity drive;
        MatchMessage message;
        std::vector<bool> validAfter;
        int current;  // slot made current, -1: none
    };
    const std::vector<Case> cases = {
        {kSlotC, std::nullopt, {false, false, true}, 2},
        {kSlotA, "The number of conforming KFS are more than one.\n", {true, true, false}, -1},
        {Identity{"KEMO", "VRZ-3350A", "1.00", "K9", ""},
         "No conforming KFS",
         {false, false, false},
         -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.drive.Model() + c.drive.hardwareId);
        auto drives = MakeDrives({DriveJson(c.drive)});
        EmulatedTransport t(drives);
        EmulatorClock clock(drives);
        FirmwareState firmware = UpdaterWith({&kSlotA, &kSlotA2, &kSlotC});
        const Bytes slotImage = firmware.EmbeddedContainers[2].Image;
        DriveList list;
        ASSERT_EQ(MatchDrives(t, clock, AllOff(), firmware, list), std::nullopt);
        EXPECT_FALSE(firmware.ContainerChosen);
        EXPECT_EQ(firmware.ConformingCount, 3);
        FirmwareBoxes boxes;
        EXPECT_EQ(SelectContainer(t, firmware, list, boxes), c.message);
        for (std::size_t i = 0; i < 3; ++i) {
            EXPECT_EQ(firmware.EmbeddedContainers[i].EmbeddedValid, c.validAfter[i]) << i;
            if (!c.validAfter[i] || static_cast<int>(i) == c.current) {
                EXPECT_TRUE(firmware.EmbeddedContainers[i].Image.empty()) << i;
            }
        }
        EXPECT_FALSE(firmware.ContainerChosen);
        if (c.current >= 0) {
            EXPECT_EQ(firmware.CurrentImage, slotImage);
            EXPECT_EQ(boxes.Edit1, Entry(kSlotC, false));
        } else {
            EXPECT_TRUE(firmware.CurrentImage.empty());
        }
    }
}

TEST(MatchDrives, SlotsOneAndThreeMatchTheirTestsIndependently) {
    // Model name of slot 1, hardware identifier of slot 3.
    const Identity drive{"KEMO", "VRZ-3350A", "1.00", "K3", "061122"};
    auto drives = MakeDrives({DriveJson(drive), DriveJson(kOtherHw)});
    EmulatedTransport t(drives);
    EmulatorClock clock(drives);
    FirmwareState firmware = UpdaterWith({&kSlotA, nullptr, &kSlotC});
    MatchSettings s;
    s.ModelName = true;
    s.HardwareID = true;
    DriveList list;
    ASSERT_EQ(MatchDrives(t, clock, s, firmware, list), std::nullopt);
    EXPECT_EQ(list.MatchedDrives, std::vector<DriveIndex>{0});
    EXPECT_EQ(list.Items, std::vector<std::string>{Entry(drive, false)});
    FirmwareBoxes boxes;
    EXPECT_EQ(SelectContainer(t, firmware, list, boxes), "No conforming KFS");
}

TEST(MatchDrives, ASingleConformingSlotBecomesCurrentForGood) {
    auto drives = MakeDrives({DriveJson(kSlotA)});
    EmulatedTransport t(drives);
    EmulatorClock clock(drives);
    FirmwareState firmware = UpdaterWith({&kSlotA, &kSlotC});
    // Slot 2 fails the container check and is released; slot 1 is then the only one.
    firmware.EmbeddedContainers[1].Parameter.HeaderCheckSum ^= 1;
    const Bytes image = firmware.EmbeddedContainers[0].Image;
    const SKFSParameter parameter = firmware.EmbeddedContainers[0].Parameter;
    DriveList list;
    ASSERT_EQ(MatchDrives(t, clock, MatchSettings{}, firmware, list), std::nullopt);
    EXPECT_TRUE(firmware.ContainerChosen);
    EXPECT_EQ(firmware.ConformingCount, 1);
    EXPECT_EQ(firmware.CurrentImage, image);
    EXPECT_EQ(firmware.CurrentContainer, parameter);
    EXPECT_TRUE(firmware.EmbeddedContainers[0].Image.empty());
    EXPECT_FALSE(firmware.EmbeddedContainers[1].EmbeddedValid);
    FirmwareBoxes boxes;
    EXPECT_EQ(SelectContainer(t, firmware, list, boxes), std::nullopt);
    EXPECT_EQ(boxes.Edit1, Entry(kSlotA, false));
}

}  // namespace
}  // namespace kfs
