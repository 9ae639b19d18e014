#include "app/prepare_firmware.h"

#include <gtest/gtest.h>

#include "container/byte_order.h"
#include "emulator/adapters/emulated_transport.h"
#include "emulator/adapters/emulator_clock.h"
#include "support/firmware_fixtures.h"

namespace kfs {
namespace {

using test::Bytes;
using test::DriveJson;
using test::Identity;
using test::MakeImage;

const Identity kA{};
const Identity kA2{"KEMO", "VRZ-3350A", "1.10", "K1", "070101"};
const Identity kB{"ACME", "DVD-9", "2.00", "K3", "050505"};
const Identity kPioneer{"PIONEER", "DVD-RW DVR-110", "1.10", "P1", "051010"};

// Buffers of a fixed capacity, zero where unused, as the program carries them.
struct Buffers {
    static constexpr std::size_t kCapacity = 0x8000;
    Bytes cvt = Bytes(kCapacity, 0);
    std::array<Bytes, 3> kfs = {Bytes(kCapacity, 0), Bytes(kCapacity, 0), Bytes(kCapacity, 0)};

    static void Put(Bytes& buffer, const Bytes& content) {
        std::copy(content.begin(), content.end(), buffer.begin());
    }
    EmbeddedFirmware Spans() const { return {cvt, {kfs[0], kfs[1], kfs[2]}}; }
};

struct Prepared {
    PrepareResult result;
    FirmwareState firmware;
    DriveList list;
    FirmwareBoxes boxes;
};

Prepared Prepare(const Buffers& buffers, const std::vector<Identity>& drives, bool updater = true,
                 MatchSettings settings = MatchSettings{}) {
    std::vector<std::string> json;
    for (const Identity& d : drives) json.push_back(DriveJson(d));
    auto set = test::MakeDrives(json);
    EmulatedTransport t(set);
    EmulatorClock clock(set);
    Prepared run;
    run.firmware.UpdaterRole = updater;
    run.result =
        PrepareFirmware(buffers.Spans(), t, clock, settings, run.firmware, run.list, run.boxes);
    return run;
}

TEST(PrepareFirmware, UpdaterChoosesTheContainerForTheDrive) {
    const Bytes imageA = MakeImage(kA), imageA2 = MakeImage(kA2, 0x1000, 1);
    const Bytes imageB = MakeImage(kB, 0x1000, 2);
    MatchSettings off;
    off.HardwareID = false;
    struct Case {
        const char* name;
        std::vector<const Bytes*> slots;  // nullptr: empty buffer
        Identity drive;
        MatchSettings settings;
        PrepareOutcome outcome;
        std::string message;
        const Bytes* current;
        bool chosen;
    };
    const std::vector<Case> cases = {
        {"one container", {&imageA}, kA, {}, PrepareOutcome::kReady, "", &imageA, true},
        {"one container in slot 3",
         {nullptr, nullptr, &imageB},
         kB,
         {},
         PrepareOutcome::kReady,
         "",
         &imageB,
         true},
        {"two containers, the drive fits slot 2",
         {&imageA, &imageB},
         kB,
         {},
         PrepareOutcome::kReady,
         "",
         &imageB,
         false},
        {"three containers, two fit",
         {&imageA, &imageB, &imageA2},
         kA,
         {},
         PrepareOutcome::kFail,
         "The number of conforming KFS are more than one.\n",
         nullptr,
         false},
        {"two containers, none fits",
         {&imageA, &imageB},
         Identity{"ACME", "DVD-9", "2.00", "K1", ""},
         off,
         PrepareOutcome::kFail,
         "No conforming KFS",
         nullptr,
         false},
        {"one container, no drive fits",
         {&imageA},
         kB,
         {},
         PrepareOutcome::kFail,
         "No matched devices !",
         nullptr,
         true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Buffers buffers;
        for (std::size_t i = 0; i < c.slots.size(); ++i)
            if (c.slots[i])
                Buffers::Put(buffers.kfs[i], test::MakeKfs(*c.slots[i]));
        Prepared run = Prepare(buffers, {c.drive}, true, c.settings);
        EXPECT_EQ(run.result.outcome, c.outcome);
        EXPECT_EQ(run.result.message, c.message);
        EXPECT_EQ(run.result.startEnabled, c.outcome == PrepareOutcome::kReady);
        EXPECT_EQ(run.firmware.ContainerChosen, c.chosen);
        EXPECT_FALSE(run.firmware.PhilipsImage);
        if (c.current) {
            EXPECT_EQ(run.firmware.CurrentImage, *c.current);
            EXPECT_EQ(run.list.Items,
                      std::vector<std::string>{c.drive.Model() + " " + c.drive.revision + " "});
            EXPECT_EQ(run.list.SelectedDrive(), DriveIndex{0});
            EXPECT_TRUE(run.list.Enabled);
            EXPECT_FALSE(run.boxes.Edit2.empty());
        }
    }
}

Bytes ConvertBuffer(std::uint32_t declaredLength, const Bytes& form) {
    Bytes cvt(Buffers::kCapacity, 0);
    Buffers::Put(cvt, form);
    PutBe32(cvt.data(), declaredLength);
    return cvt;
}

TEST(PrepareFirmware, TheConvertBufferWinsOverTheContainers) {
    const Bytes image = MakeImage(kB, 0x2000, 9);
    const Bytes form = test::MakePhilipsForm(image);
    Buffers buffers;
    buffers.cvt = ConvertBuffer(GetBe32(form.data()), form);
    Buffers::Put(buffers.kfs[0], test::MakeKfs(MakeImage(kA)));
    Prepared run = Prepare(buffers, {kA, kPioneer});
    ASSERT_EQ(run.result.outcome, PrepareOutcome::kReady) << run.result.message;
    EXPECT_TRUE(run.result.startEnabled);
    EXPECT_TRUE(run.firmware.PhilipsImage);
    EXPECT_EQ(run.firmware.CurrentImage, image);
    EXPECT_TRUE(run.firmware.EmbeddedContainers[0].Image.empty());  // never decoded
    EXPECT_EQ(run.list.MatchedDrives, (std::vector<DriveIndex>{0, 1}));
    EXPECT_EQ(run.boxes.Edit1, "KEMO    VRZ-3350A");
}

TEST(PrepareFirmware, ACorruptUpdaterGivesUpWithTheWindowShown) {
    const Bytes form = test::MakePhilipsForm(MakeImage(kA, 0x2000));
    Bytes badMagic = test::MakeKfs(MakeImage(kA));
    badMagic[15] = 'X';
    struct Case {
        const char* name;
        Bytes cvt;
        Bytes kfs1;
    };
    const std::vector<Case> cases = {
        {"convert length 0", ConvertBuffer(0, form), test::MakeKfs(MakeImage(kA))},
        {"convert length 40", ConvertBuffer(40, form), {}},
        {"convert length beyond the buffer", ConvertBuffer(Buffers::kCapacity - 3, form), {}},
        {"convert length far beyond the buffer", ConvertBuffer(0xFFFFFFF0u, form), {}},
        {"no container at all", Bytes(Buffers::kCapacity, 0), {}},
        {"the only container does not decode", Bytes(Buffers::kCapacity, 0), badMagic},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Buffers buffers;
        buffers.cvt = c.cvt;
        Buffers::Put(buffers.kfs[0], c.kfs1);
        Prepared run = Prepare(buffers, {kA});
        EXPECT_EQ(run.result.outcome, PrepareOutcome::kGiveUp);
        EXPECT_EQ(run.result.message, "Updater is corrupt !");
        EXPECT_FALSE(run.result.startEnabled);
        EXPECT_TRUE(run.list.Items.empty());
        EXPECT_FALSE(run.list.Enabled);
        EXPECT_TRUE(run.firmware.CurrentImage.empty());
    }
}

TEST(PrepareFirmware, FlashUtilityListsEveryDrive) {
    Prepared run = Prepare(Buffers{}, {kA, kPioneer}, false);
    EXPECT_EQ(run.result.outcome, PrepareOutcome::kReady);
    EXPECT_FALSE(run.result.startEnabled);
    EXPECT_EQ(run.list.Items,
              (std::vector<std::string>{kA.Model() + " 1.00 061122", kPioneer.Model() + " 1.10 "}));
    EXPECT_EQ(run.list.ItemIndex, 0);
    EXPECT_EQ(run.list.StatusText, run.list.Items[0].substr(0, 36));
    EXPECT_TRUE(run.list.Enabled);
    EXPECT_TRUE(run.list.MatchedDrives.empty());
    EXPECT_TRUE(run.firmware.CurrentImage.empty());

    Prepared none = Prepare(Buffers{}, {}, false);
    EXPECT_EQ(none.result.outcome, PrepareOutcome::kFail);
    EXPECT_EQ(none.result.message, "No Drive found !");
}

}  // namespace
}  // namespace kfs
