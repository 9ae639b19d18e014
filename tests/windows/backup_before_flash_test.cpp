// The Windows program's backup before an update (BackupBeforeFlash=1): written next to the
// program under a name Windows can take, and named in one list line.
#include <gtest/gtest.h>
#include <windows.h>

#include <filesystem>
#include <string>
#include <vector>

#include "app/flash_backup.h"
#include "app/presenter.h"
#include "container/file_helpers.h"
#include "container/kfs_encode.h"
#include "drive/auto_insert.h"
#include "emulator/adapters/emulated_transport.h"
#include "emulator/adapters/emulator_clock.h"
#include "emulator/emulator.h"
#include "support/firmware_fixtures.h"
#include "support/recording_view.h"

namespace kfs {
namespace {

namespace fs = std::filesystem;

TEST(BackupBeforeFlash, ProgramDirectoryIsWhereThisProgramLies) {
    char path[MAX_PATH] = {};
    ASSERT_GT(GetModuleFileNameA(nullptr, path, MAX_PATH), 0u);
    EXPECT_EQ(fs::path(ProgramDirectory()), fs::path(path).parent_path());
}

TEST(BackupBeforeFlash, UpdateWritesTheBackupNextToTheProgramAndListsIt) {
    emu::DriveSet drives = emu::DriveSet::FromJson(
        R"({"drives": [{"product": "VRZ-3372BL", "revision": "1.00", "hardware_id": "K1",
                        "family": "mtk7"}]})");
    EmulatedTransport transport(drives);
    EmulatorClock clock(drives);
    MemoryRegistry registry;
    RecordingRestart restart;
    test::RecordingView view;
    Presenter presenter(view, transport, clock, registry, restart, PlatformInfo{false, "Kfsflash"});
    const std::string text = "[Other settings]\r\nBackupBeforeFlash=1\r\n";
    std::vector<std::uint8_t> parameters(text.begin(), text.end());
    parameters.push_back(0);
    ASSERT_EQ(presenter.Startup({parameters, {}}), StartupOutcome::kReady);

    const auto image = test::MakeImage({"KEMO", "VRZ-3372BL", "1.10", "K1", "061122"}, 0x20000);
    const fs::path firmware = fs::temp_directory_path() / "backup_before_flash_fw.kfs";
    ASSERT_TRUE(WriteWholeFile(firmware.string(), test::MakeKfs(image, 8)));
    ASSERT_EQ(presenter.LoadFile(firmware.string()), LoadClickOutcome::kLoaded);
    const std::vector<std::uint8_t> before(drives.drive(0).rom().begin(),
                                           drives.drive(0).rom().begin() + 0x20000);
    view.answers = {false};  // the restart question
    ASSERT_EQ(presenter.OnStartClick(), UpdateOutcome::kCompleted);

    const std::string prefix = "Backup of the drive's flash: ";
    std::string named;
    for (const std::string& line : view.lines)
        if (line.rfind(prefix, 0) == 0)
            named = line.substr(prefix.size());
    ASSERT_FALSE(named.empty());
    EXPECT_EQ(fs::path(named).parent_path(), fs::path(ProgramDirectory()));
    const auto written = ReadWholeFile(named);
    ASSERT_TRUE(written.has_value());
    std::vector<std::uint8_t> decoded(GetImageLength(*written));
    SKFSParameter container;
    ASSERT_TRUE(LoadKFS(*written, container, decoded));
    EXPECT_EQ(decoded, before);
    fs::remove(named);
    fs::remove(firmware);
}

}  // namespace
}  // namespace kfs
