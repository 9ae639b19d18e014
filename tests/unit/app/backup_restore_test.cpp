// Backup before the update and restore from it, through the presenter on an emulated drive of
// every family: the backup holds the drive's flash as it was, and an ordinary update from the
// backup file (with its downgrade question) leaves the drive exactly as it was.
#include <gtest/gtest.h>
#include <minizip/zip.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "app/flash_backup.h"
#include "app/presenter.h"
#include "container/file_helpers.h"
#include "container/kfs_decode.h"
#include "container/kfs_encode.h"
#include "drive/auto_insert.h"
#include "emulator/adapters/emulated_transport.h"
#include "emulator/adapters/emulator_clock.h"
#include "emulator/emulator.h"
#include "support/firmware_fixtures.h"
#include "support/recording_view.h"

namespace kfs {
namespace {

using Bytes = std::vector<std::uint8_t>;
namespace fs = std::filesystem;

constexpr std::size_t kBank = 65536;
constexpr std::size_t kBlock = 16384;
constexpr char kBackupLine[] = "Backup of the drive's flash: ";

struct Family {
    const char* name;
    std::uint8_t type;  // AtapiFlashType of the images; unused for the Philips form
    bool philips;
    std::size_t image;
};

const Family kFamilies[] = {
    {"a0", 1, false, 2 * kBank + 0x8000},  {"a0-poll", 4, false, 2 * kBank},
    {"a0-32k", 7, false, 2 * kBank},       {"ali", 2, false, 8 * kBlock},
    {"mtk5", 6, false, 16 * kBank},        {"mtk7", 8, false, 2 * kBank},
    {"philips", 0, true, 2 * kBlock - 40},
};

// A firmware file of the family: a pattern without stray INQUIRY signatures, a boot block and
// the main block with `revision`; the bytes an A0 drive never receives (the last two of each
// full bank) hold what its flash holds there, as its trigger sum covers them.
Bytes FirmwareFile(const Family& f, const std::string& revision, const Bytes& flash) {
    Bytes image(f.image);
    for (std::size_t i = 0; i < image.size(); ++i)
        image[i] = static_cast<std::uint8_t>((i * 13 + revision[0]) % 249);
    test::RemoveInquirySignatures(image);
    test::PutInquiry(image, 0x40, {"KEMO", "VRZ-3372BL", "BOOT", "K1", "061122"});
    test::PutInquiry(image, 0x1000, {"KEMO", "VRZ-3372BL", revision, "K1", "061122"});
    if (f.type == 1 || f.type == 4)
        for (std::size_t bank = 0; bank + kBank <= image.size(); bank += kBank)
            std::copy_n(flash.begin() + bank + 0xFFFE, 2, image.begin() + bank + 0xFFFE);
    KfsEncodeOptions o;
    o.form = f.philips ? KfsForm::kPhilips : KfsForm::kKfs3;
    o.atapiFlashType = f.type;
    const Bytes container = EncodeKfs(image, o);
    return f.philips ? PhilipsFileFromForm(container) : container;
}

struct Bench {
    explicit Bench(const Family& f)
        : drives(emu::DriveSet::FromJson(
              R"({"drives": [{"vendor": "KEMO", "product": "VRZ-3372BL", "revision": "0.90",
                  "hardware_id": "K1", "date_code": "061001", "family": ")" +
              std::string(f.name) + R"("}]})")),
          transport(drives),
          clock(drives),
          presenter(view, transport, clock, registry, restart, PlatformInfo{false, "Kfsflash"}) {
        const ::testing::TestInfo* test = ::testing::UnitTest::GetInstance()->current_test_info();
        directory = fs::path(::testing::TempDir()) /
                    (std::string(test->test_suite_name()) + "." + test->name() + "." + f.name);
        fs::remove_all(directory);
        fs::create_directories(directory);
    }

    // Loads the file and runs the update; every question is answered by `answers`, the restart
    // question last with Cancel.
    UpdateOutcome Update(const std::string& path, std::deque<bool> answers = {}) {
        view.boxes.clear();
        if (presenter.LoadFile(path) != LoadClickOutcome::kLoaded) {
            ADD_FAILURE() << path << ": " << (view.boxes.empty() ? "" : view.boxes.back().text);
            return UpdateOutcome::kRefused;
        }
        answers.push_back(false);
        view.answers = answers;
        return presenter.OnStartClick();
    }
    // A firmware file; a Philips file goes into a zip archive, the only way a load takes one.
    std::string Write(const std::string& name, const Bytes& bytes) {
        const std::string path = (directory / name).string();
        if (!IsPhilipsFile(bytes)) {
            WriteWholeFile(path, bytes);
            return path;
        }
        zipFile zip = zipOpen(path.c_str(), APPEND_STATUS_CREATE);
        zipOpenNewFileInZip(zip, "firmware.bin", nullptr, nullptr, 0, nullptr, 0, nullptr,
                            Z_DEFLATED, Z_DEFAULT_COMPRESSION);
        zipWriteInFileInZip(zip, bytes.data(), static_cast<unsigned>(bytes.size()));
        zipCloseFileInZip(zip);
        zipClose(zip, nullptr);
        return path;
    }
    // The latest backup's name. Its line is shown before the flash; a rolling progress display
    // may have scrolled it out of the list since.
    std::string BackupPath() const {
        std::string path;
        for (const std::string& line : view.added)
            if (line.rfind(kBackupLine, 0) == 0)
                path = line.substr(std::strlen(kBackupLine));
        return path;
    }
    std::string DriveRevision() const {
        const auto inquiry = drives.drive(0).Inquiry();
        return std::string(reinterpret_cast<const char*>(&inquiry[32]), 4);
    }

    emu::DriveSet drives;
    EmulatedTransport transport;
    EmulatorClock clock;
    MemoryRegistry registry;
    RecordingRestart restart;
    test::RecordingView view;
    Presenter presenter;
    fs::path directory;
};

TEST(BackupAndRestore, EveryFamilyGetsItsFlashBackThroughAnOrdinaryUpdate) {
    for (const Family& f : kFamilies) {
        SCOPED_TRACE(f.name);
        Bench bench(f);
        ASSERT_EQ(bench.presenter.Startup({}), StartupOutcome::kReady);
        bench.presenter.OnVerifyClick(true);
        const Bytes initial = bench.drives.drive(0).rom();
        ASSERT_EQ(bench.Update(bench.Write("old.kfs", FirmwareFile(f, "1.00", initial))),
                  UpdateOutcome::kCompleted);
        const Bytes asItWas = bench.drives.drive(0).rom();
        ASSERT_EQ(bench.DriveRevision(), "1.00");

        // The update to 2.00 backs the drive up first.
        bench.presenter.state().BackupBeforeFlash = true;
        bench.presenter.state().BackupDirectory = bench.directory.string();
        ASSERT_EQ(bench.Update(bench.Write("new.kfs", FirmwareFile(f, "2.00", asItWas))),
                  UpdateOutcome::kCompleted)
            << (bench.view.boxes.empty() ? "" : bench.view.boxes.front().text);
        ASSERT_EQ(bench.DriveRevision(), "2.00");
        const std::string backup = bench.BackupPath();
        ASSERT_FALSE(backup.empty());
        EXPECT_EQ(fs::path(backup).parent_path(), bench.directory);
        EXPECT_EQ(fs::path(backup).filename().string().rfind("KEMO_VRZ-3372BL_1.00_", 0), 0u);
        EXPECT_EQ(fs::path(backup).extension(), f.philips ? ".zip" : ".kfs");

        // Restoring is an update from the backup: 1.00 is older, so it asks first.
        ASSERT_EQ(bench.Update(backup, {true}), UpdateOutcome::kCompleted)
            << (bench.view.boxes.empty() ? "" : bench.view.boxes.back().text);
        ASSERT_FALSE(bench.view.boxes.empty());
        EXPECT_EQ(bench.view.boxes.front().text, "2.00 is newer than 1.00 !! Update the drive ?");
        EXPECT_TRUE(bench.view.Texts("error").empty());
        EXPECT_TRUE(bench.drives.drive(0).rom() == asItWas);
        EXPECT_EQ(bench.DriveRevision(), "1.00");
        EXPECT_FALSE(bench.drives.drive(0).locked);
    }
}

TEST(BackupAndRestore, DriveThatWillNotReadItsFlashAsksBeforeWriting) {
    struct Case {
        bool goOn;
        UpdateOutcome outcome;
        int flashes;
    };
    for (const Case& c :
         {Case{false, UpdateOutcome::kEndedEarly, 0}, Case{true, UpdateOutcome::kCompleted, 1}}) {
        SCOPED_TRACE(c.goOn);
        Bench bench(kFamilies[5]);
        bench.drives = emu::DriveSet::FromJson(
            R"({"drives": [{"product": "VRZ-3372BL", "revision": "0.90", "family": "mtk7",
                "faults": [{"command": "5a:11", "sense": "05/20/00"}]}]})");
        ASSERT_EQ(bench.presenter.Startup({}), StartupOutcome::kReady);
        bench.presenter.state().BackupBeforeFlash = true;
        bench.presenter.state().BackupDirectory = bench.directory.string();
        const Bytes firmware = FirmwareFile(kFamilies[5], "1.00", bench.drives.drive(0).rom());
        EXPECT_EQ(bench.Update(bench.Write("fw.kfs", firmware), {c.goOn}), c.outcome);
        ASSERT_FALSE(bench.view.boxes.empty());
        EXPECT_EQ(bench.view.boxes.front().text,
                  "No backup of the drive's flash was made: the drive refused to read its flash "
                  "(ReadROM, sense 05/20/00).\nGo on and write the drive without a backup?");
        EXPECT_EQ(bench.view.boxes.front().caption, "Backup");
        EXPECT_EQ(bench.drives.drive(0).flashCount(), c.flashes);
        EXPECT_TRUE(bench.BackupPath().empty());
        EXPECT_EQ(std::distance(fs::directory_iterator(bench.directory), {}), 1);
        EXPECT_TRUE(bench.view.windowEnabled);
    }
}

TEST(BackupAndRestore, SettingComesFromTheParameterTextOnly) {
    Bench bench(kFamilies[5]);
    ASSERT_EQ(bench.presenter.Startup({}), StartupOutcome::kReady);
    EXPECT_FALSE(bench.presenter.state().BackupBeforeFlash);
    const std::string text = "[Other settings]\r\nBackupBeforeFlash=1\r\n";
    Bytes buffer(text.begin(), text.end());
    buffer.push_back(0);
    Bench on(kFamilies[5]);
    ASSERT_EQ(on.presenter.Startup({buffer, {}}), StartupOutcome::kReady);
    EXPECT_TRUE(on.presenter.state().BackupBeforeFlash);
}

TEST(BackupFileName, IdentityAndTimeMakeAPortableName) {
    std::tm when{};
    when.tm_year = 126;
    when.tm_mon = 11;
    when.tm_mday = 10;
    when.tm_hour = 9;
    when.tm_min = 5;
    when.tm_sec = 7;
    EXPECT_EQ(BackupFileName("KEMO    VRZ-3372BL      ", "1.00", when, false),
              "KEMO_VRZ-3372BL_1.00_20261210-090507.kfs");
    EXPECT_EQ(BackupFileName("A/B:C*  D", " 1 ", when, true), "A_B_C_D_1_20261210-090507.zip");
    EXPECT_EQ(BackupFileName("", "", when, false), "drive_drive_20261210-090507.kfs");
}

}  // namespace
}  // namespace kfs
