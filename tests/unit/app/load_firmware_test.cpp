#include "app/load_firmware.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>

#include "emulator/adapters/emulated_transport.h"
#include "emulator/adapters/emulator_clock.h"
#include "support/firmware_fixtures.h"
#include "zip.h"

namespace kfs {
namespace {

namespace fs = std::filesystem;
using test::Bytes;
using test::Identity;
using test::MakeImage;

struct Member {
    std::string name;
    Bytes data;
};

// Each test runs in a fresh working directory, where "temp.kfs" is made.
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

    // A zip archive with the members in this order; `zeros` appends a member of that many zero
    // bytes written in pieces (for members larger than any container).
    static std::string WriteZip(const std::string& name, const std::vector<Member>& members,
                                std::size_t zeros = 0) {
        zipFile zip = zipOpen(name.c_str(), APPEND_STATUS_CREATE);
        EXPECT_NE(zip, nullptr);
        for (const Member& m : members) {
            zipOpenNewFileInZip(zip, m.name.c_str(), nullptr, nullptr, 0, nullptr, 0, nullptr,
                                Z_DEFLATED, Z_DEFAULT_COMPRESSION);
            if (!m.data.empty())
                zipWriteInFileInZip(zip, m.data.data(), static_cast<unsigned>(m.data.size()));
            zipCloseFileInZip(zip);
        }
        if (zeros) {
            zipOpenNewFileInZip(zip, "huge.kfs", nullptr, nullptr, 0, nullptr, 0, nullptr,
                                Z_DEFLATED, 1);
            const Bytes piece(1 << 20, 0);
            for (std::size_t done = 0; done < zeros; done += piece.size())
                zipWriteInFileInZip(zip, piece.data(), static_cast<unsigned>(piece.size()));
            zipCloseFileInZip(zip);
        }
        zipClose(zip, nullptr);
        return name;
    }

    fs::path previous_, dir_;
};

const Identity kA{};
const Identity kB{"ACME", "DVD-9", "2.00", "K3", "050505"};

Bytes PhilipsFile(const Bytes& image) {
    return PhilipsFileFromForm(test::MakePhilipsForm(image));
}

TEST_F(LoadFirmwareTest, ReadsEachFileFormAndLeavesNoTemporaryFile) {
    const Bytes imageA = MakeImage(kA), imageB = MakeImage(kB, 0x1800, 7);
    const Bytes philipsImage = MakeImage(kA, 0x4000, 3);
    Bytes philips40 = PhilipsFile(philipsImage);
    philips40.resize(40);
    Bytes notKe = test::MakeKfs(imageA);
    notKe[1] = 'X';

    struct Case {
        const char* name;
        std::function<std::string()> make;
        std::optional<Bytes> image;  // the decoded image on success
        bool philips;
        std::string message;
        bool startDisabled;
    };
    const std::vector<Case> cases = {
        {"container file", [&] { return WriteFile("a.kfs", test::MakeKfs(imageA)); }, imageA, false,
         "", false},
        {"zip: the second member wins",
         [&] {
             return WriteZip("two.zip",
                             {{"b.kfs", test::MakeKfs(imageB)}, {"a.kfs", test::MakeKfs(imageA)}});
         },
         imageA, false, "", false},
        {"zip: the order decides",
         [&] {
             return WriteZip("two.zip",
                             {{"a.kfs", test::MakeKfs(imageA)}, {"b.kfs", test::MakeKfs(imageB)}});
         },
         imageB, false, "", false},
        {"Philips file from a zip",
         [&] {
             return WriteZip("p.zip", {{"fw.bin", PhilipsFile(philipsImage)}});
         },
         philipsImage, true, "", false},
        {"bare Philips file", [&] { return WriteFile("p.bin", PhilipsFile(philipsImage)); },
         std::nullopt, false, "Not Valid KFS !", false},
        {"neither container nor archive", [&] { return WriteFile("x.kfs", notKe); }, std::nullopt,
         false, "Not Valid KFS !", false},
        {"archive without members", [&] { return WriteZip("empty.zip", {}); }, std::nullopt, false,
         "Not Valid KFS !", false},
        {"member larger than any container",
         [&] { return WriteZip("huge.zip", {}, kMaxFirmwareFileSize + (1u << 20)); }, std::nullopt,
         false, "Not Valid KFS !", false},
        {"missing file", [] { return std::string("missing.kfs"); }, std::nullopt, false,
         "Get KFS File Length Fail !", false},
        {"empty file", [&] { return WriteFile("empty.kfs", {}); }, std::nullopt, false,
         "Get KFS File Length Fail !", false},
        {"folder as last member",
         [&] {
             return WriteZip("dir.zip", {{"a.kfs", test::MakeKfs(imageA)}, {"dir/", {}}});
         },
         std::nullopt, false, "GetFileLength Error!", true},
        {"Philips file of 40 bytes",
         [&] {
             return WriteZip("p40.zip", {{"fw.bin", philips40}});
         },
         std::nullopt, false, "GetKFSLength Error!", true},
        {"member that is no container",
         [&] {
             return WriteZip("text.zip", {{"readme.txt", Bytes{'h', 'i'}}});
         },
         std::nullopt, false, "GetKFSLength Error!", true},
        {"container file without a layout",
         [&] {
             return WriteFile("ke.kfs", {'K', 'E', '?'});
         },
         std::nullopt, false, "GetKFSLength Error!", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = c.make();
        FirmwareFileResult result = ReadFirmwareFile(path);
        EXPECT_FALSE(fs::exists(kTempFirmwareFile));
        ASSERT_EQ(result.firmware.has_value(), c.image.has_value()) << result.message;
        EXPECT_EQ(result.startDisabled, c.startDisabled);
        if (c.image) {
            EXPECT_EQ(result.firmware->Image, *c.image);
            EXPECT_EQ(result.firmware->PhilipsImage, c.philips);
        } else {
            EXPECT_EQ(result.message, c.message);
        }
    }
}

TEST_F(LoadFirmwareTest, ATemporaryFileLeftByEarlierRunsIsReplacedAndRemoved) {
    WriteFile(kTempFirmwareFile, test::MakeKfs(MakeImage(kB)));
    const Bytes image = MakeImage(kA);
    const auto result = ReadFirmwareFile(WriteZip("a.zip", {{"a.kfs", test::MakeKfs(image)}}));
    ASSERT_TRUE(result.firmware);
    EXPECT_EQ(result.firmware->Image, image);
    EXPECT_FALSE(fs::exists(kTempFirmwareFile));
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
    EXPECT_FALSE(fs::exists(kTempFirmwareFile));
}

}  // namespace
}  // namespace kfs
