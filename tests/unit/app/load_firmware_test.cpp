#include "app/load_firmware.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>

#include "emulator/adapters/emulated_transport.h"
#include "emulator/adapters/emulator_clock.h"
#include "support/firmware_fixtures.h"
#include "support/zip_builder.h"

namespace kfs {
namespace {

namespace fs = std::filesystem;
using test::Bytes;
using test::Identity;
using test::MakeImage;

// Each test runs in a fresh working directory.
class LoadFirmwareTest : public ::testing::Test {
  protected:
    void SetUp() override {
        previous_ = fs::current_path();
        dir_ = fs::temp_directory_path() /
               ("kfs_load_" + std::to_string(::getpid()) + "_" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        fs::current_path(dir_);
    }
    void TearDown() override {
        fs::current_path(previous_);
        fs::remove_all(dir_);
    }

    static std::string WriteFile(const std::string& name, const Bytes& data) {
        std::ofstream(name, std::ios::binary)
            .write(reinterpret_cast<const char*>(data.data()),
                   static_cast<std::streamsize>(data.size()));
        return name;
    }

    static std::string WriteZip(const std::string& name, const std::vector<test::ZipMember>& m) {
        return WriteFile(name, test::MakeZip(m));
    }

    fs::path previous_, dir_;
};

const Identity kA{};
const Identity kB{"ACME", "DVD-9", "2.00", "K3", "050505"};

Bytes PhilipsFile(const Bytes& image) {
    return PhilipsFileFromForm(test::MakePhilipsForm(image));
}

TEST_F(LoadFirmwareTest, LoadReplacesTheFirmwareAndMatchesTheDrivesAgain) {
    auto drives = test::MakeDrives({test::DriveJson(kB), test::DriveJson(kA)});
    EmulatedTransport t(drives);
    EmulatorClock clock(drives);
    MatchSettings settings;
    settings.ModelName = true;
    FirmwareState firmware;
    DriveList list;
    FirmwareBoxes boxes;
    auto load = [&](const std::optional<std::string>& path) {
        return LoadFirmware(path, t, clock, settings, firmware, list, boxes);
    };

    EXPECT_EQ(load(std::nullopt).outcome, LoadOutcome::kCancelled);
    EXPECT_TRUE(firmware.CurrentImage.empty());

    const Bytes imageA = MakeImage(kA);
    LoadResult r = load(WriteFile("a.kfs", test::MakeKfs(imageA)));
    ASSERT_EQ(r.outcome, LoadOutcome::kLoaded) << r.message.value_or("");
    EXPECT_EQ(firmware.CurrentImage, imageA);
    EXPECT_EQ(list.MatchedDrives, std::vector<DriveIndex>{1});
    EXPECT_EQ(boxes.Edit1, kA.Model() + " 1.00 061122");

    const Bytes philipsImage = MakeImage(kB, 0x4000, 5);
    r = load(WriteZip("p.zip", {{"fw.bin", PhilipsFile(philipsImage)}}));
    ASSERT_EQ(r.outcome, LoadOutcome::kLoaded);
    EXPECT_TRUE(firmware.PhilipsImage);
    EXPECT_EQ(firmware.ImageLength(), philipsImage.size());
    EXPECT_EQ(list.MatchedDrives, (std::vector<DriveIndex>{0, 1}));
    EXPECT_EQ(boxes.Edit1, "KEMO    VRZ-3350A");

    // Cancelling and refused files keep what was loaded.
    EXPECT_EQ(load(std::nullopt).outcome, LoadOutcome::kCancelled);
    r = load(WriteFile("bare.bin", PhilipsFile(philipsImage)));
    EXPECT_EQ(r.outcome, LoadOutcome::kRefused);
    EXPECT_EQ(r.message, "Not Valid KFS !");
    EXPECT_TRUE(firmware.PhilipsImage);
    EXPECT_EQ(firmware.CurrentImage, philipsImage);

    r = load(WriteFile("a.kfs", test::MakeKfs(imageA)));
    ASSERT_EQ(r.outcome, LoadOutcome::kLoaded);
    EXPECT_FALSE(firmware.PhilipsImage);
    EXPECT_EQ(list.MatchedDrives, std::vector<DriveIndex>{1});

    // A container no drive fits is current afterwards, but Start stays off.
    const Bytes other = MakeImage(Identity{"NONE", "AT-ALL", "1.00", "K1", ""});
    r = load(WriteFile("o.kfs", test::MakeKfs(other)));
    EXPECT_EQ(r.outcome, LoadOutcome::kFailed);
    EXPECT_EQ(r.message, "No matched devices !");
    EXPECT_EQ(firmware.CurrentImage, other);
    EXPECT_EQ(list.SelectedDrive(), std::nullopt);

    // A container the decoding refuses never becomes current, whatever came before.
    Bytes truncated = test::MakeKfs(imageA);
    truncated.pop_back();
    r = load(WriteFile("t.kfs", truncated));
    EXPECT_EQ(r.outcome, LoadOutcome::kFailed);
    EXPECT_EQ(r.message, "Not Valid KFS !");
    EXPECT_EQ(firmware.CurrentImage, other);
}

}  // namespace
}  // namespace kfs
