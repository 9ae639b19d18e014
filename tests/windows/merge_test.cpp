// kfsmerge.exe fills a copy of a built Windows program, and the copy, run under Windows, reads
// the new content: the compiler has not folded the buffers' shipped zeros into the code.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "tools/kfsmerge_fixtures.h"
#include "win_process.h"

namespace kfs {
namespace {

namespace fs = std::filesystem;
using testing::RunProcess;
using testing::WinPath;

class MergeTest : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = fs::path(KFS_BINARY_DIR) / "tests/windows/merge_test" /
               ::testing::UnitTest::GetInstance()->current_test_info()->name();
        fs::remove_all(dir_);
        fs::create_directories(dir_);
    }

    std::string Write(const std::string& name, const testing::Bytes& bytes) {
        const fs::path path = dir_ / name;
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()),
                   static_cast<std::streamsize>(bytes.size()));
        return WinPath(path.string());
    }

    std::string Out(const std::string& name) const { return WinPath((dir_ / name).string()); }

    static testing::ProcessResult Merge(const std::string& arguments) {
        return RunProcess("\"" + WinPath(KFS_MERGE_TOOL) + "\" " + arguments);
    }

    fs::path dir_;
};

TEST_F(MergeTest, MergedProgramPrintsTheMergedParameterText) {
    const std::string probe = WinPath(KFS_PARAM_PROBE);
    const testing::ProcessResult original = RunProcess("\"" + probe + "\"");
    ASSERT_TRUE(original.started);
    EXPECT_EQ(original.output,
              "ProgramName=Kemo Flash KFS3 Utility\nUpdater=0\nCVT=0\nKFS1=0\nKFS2=0\nKFS3=0\n");

    const std::string text =
        Write("params.txt", testing::Text("[Main]\r\nProgramName=Merged Name\r\n"));
    const std::string merged = Out("merged.exe");
    const testing::ProcessResult merge =
        Merge("\"" + probe + "\" -o \"" + merged + "\" --parameters \"" + text + "\"");
    ASSERT_EQ(merge.exit_code, 0u) << merge.output;

    const testing::ProcessResult patched = RunProcess("\"" + merged + "\"");
    ASSERT_TRUE(patched.started);
    EXPECT_EQ(patched.output,
              "ProgramName=Merged Name\nUpdater=0\nCVT=0\nKFS1=0\nKFS2=0\nKFS3=0\n");
}

TEST_F(MergeTest, UpdaterCopyReadsItsContainerAndTheShippedText) {
    const std::string kfs = Write("one.kfs", testing::TinyKfs3());
    const std::string updater = Out("updater.exe");
    const testing::ProcessResult merge =
        Merge("\"" + WinPath(KFS_PARAM_PROBE) + "\" -o \"" + updater + "\" --kfs3 \"" + kfs + "\"");
    ASSERT_EQ(merge.exit_code, 0u) << merge.output;

    const testing::ProcessResult patched = RunProcess("\"" + updater + "\"");
    EXPECT_EQ(patched.output,
              "ProgramName=Kemo Flash KFS3 Utility\nUpdater=1\nCVT=0\nKFS1=0\nKFS2=0\nKFS3=64\n");

    const testing::ProcessResult list = Merge("--list \"" + updater + "\"");
    EXPECT_EQ(list.exit_code, 0u);
    EXPECT_NE(list.output.find("KFS3 FILE BUFFER3  KFS3 container, 124 bytes, image 64 bytes"),
              std::string::npos)
        << list.output;
}

TEST_F(MergeTest, RefusedMergeWritesNoFile) {
    const std::string bad = Write("bad.kfs", testing::Text("not a container"));
    const std::string out = Out("refused.exe");
    const testing::ProcessResult merge =
        Merge("\"" + WinPath(KFS_PARAM_PROBE) + "\" -o \"" + out + "\" --kfs1 \"" + bad + "\"");
    EXPECT_EQ(merge.exit_code, 1u);
    EXPECT_NE(merge.output.find("KFS container 1"), std::string::npos) << merge.output;
    EXPECT_FALSE(fs::exists(dir_ / "refused.exe"));
}

}  // namespace
}  // namespace kfs
