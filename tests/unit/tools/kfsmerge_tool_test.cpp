// kfsmerge as a user runs it, on a real program that carries the buffers: the merged copy must
// read the new content at run time, which also proves the compiler did not fold the buffers'
// zero initialiser into the code.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "tools/kfsmerge_fixtures.h"

namespace kfs {
namespace {

namespace fs = std::filesystem;
using testing::Bytes;

struct RunResult {
    int status = -1;
    std::string output;  // standard output and standard error
};

RunResult Execute(const std::string& command) {
    RunResult run;
    FILE* pipe = popen((command + " 2>&1").c_str(), "r");
    if (pipe == nullptr)
        return run;
    char chunk[4096];
    std::size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, pipe)) > 0) run.output.append(chunk, n);
    const int status = pclose(pipe);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

std::string Quote(const fs::path& path) {
    return "'" + path.string() + "'";
}

class KfsmergeTool : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = fs::path(::testing::TempDir()) /
               ("kfsmerge_" +
                std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
        fs::remove_all(dir_);
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }

    fs::path Write(const std::string& name, const Bytes& bytes) {
        const fs::path path = dir_ / name;
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()),
                   static_cast<std::streamsize>(bytes.size()));
        return path;
    }

    RunResult Merge(const std::string& arguments) {
        return Execute(std::string(KFS_MERGE_TOOL) + " " + arguments);
    }

    fs::path dir_;
};

TEST_F(KfsmergeTool, MergedProgramReadsTheNewContentAndTheOriginalKeepsItsDefaults) {
    const fs::path probe = KFS_PARAM_PROBE;
    const fs::path merged = dir_ / "merged";
    const fs::path text =
        Write("params.txt", testing::Text("[Main]\r\nProgramName=Merged Name\r\n"));
    const fs::path kfs = Write("one.kfs", testing::TinyKfs3());

    const RunResult original = Execute(Quote(probe));
    ASSERT_EQ(original.status, 0) << original.output;
    EXPECT_EQ(original.output,
              "ProgramName=Kemo Flash KFS3 Utility\nUpdater=0\nCVT=0\nKFS1=0\nKFS2=0\nKFS3=0\n");

    const RunResult merge = Merge(Quote(probe) + " -o " + Quote(merged) + " --kfs2 " + Quote(kfs) +
                                  " --parameters " + Quote(text));
    ASSERT_EQ(merge.status, 0) << merge.output;
    const RunResult patched = Execute(Quote(merged));
    EXPECT_EQ(patched.output,
              "ProgramName=Merged Name\nUpdater=0\nCVT=0\nKFS1=0\nKFS2=64\nKFS3=0\n");
    EXPECT_EQ(fs::file_size(merged), fs::file_size(probe));
}

TEST_F(KfsmergeTool, AnUpdaterWithoutParametersGetsTheShippedText) {
    const fs::path merged = dir_ / "updater";
    const fs::path philips = Write("fw.bin", testing::TinyPhilipsFile());
    // Options take their values after "=" as well.
    ASSERT_EQ(
        Merge(Quote(KFS_PARAM_PROBE) + " --output=" + Quote(merged) + " --cvt=" + Quote(philips))
            .status,
        0);
    const RunResult patched = Execute(Quote(merged));
    EXPECT_EQ(patched.output,
              "ProgramName=Kemo Flash KFS3 Utility\nUpdater=1\nCVT=56\nKFS1=0\nKFS2=0\nKFS3=0\n");

    std::ifstream shipped(fs::path(KFS_SOURCE_DIR) / "data/shipped-parameters.txt",
                          std::ios::binary);
    const std::string shipped_text((std::istreambuf_iterator<char>(shipped)),
                                   std::istreambuf_iterator<char>());
    const RunResult list = Merge("--list " + Quote(merged));
    ASSERT_EQ(list.status, 0) << list.output;
    EXPECT_EQ(list.output,
              "CVT FILE BUFFER    Philips form, length 56\n"
              "KFS3 FILE BUFFER   empty\n"
              "KFS3 FILE BUFFER2  empty\n"
              "KFS3 FILE BUFFER3  empty\n"
              "PARAMETER BUFFER   parameter text, " +
                  std::to_string(shipped_text.size()) + " bytes, first line \"[Main]\"\n");
}

TEST_F(KfsmergeTool, HelpAndVersion) {
    for (const char* option : {"--help", "-h"}) {
        const RunResult help = Merge(std::string(option) + " 2>/dev/null");
        EXPECT_EQ(help.status, 0);
        EXPECT_EQ(help.output.rfind("usage: kfsmerge", 0), 0u) << help.output;
        EXPECT_NE(help.output.find("--version"), std::string::npos);
    }
    const RunResult version = Merge("--version");
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.output.rfind("kfsmerge ", 0), 0u) << version.output;
}

TEST_F(KfsmergeTool, RefusalsWriteNothing) {
    const fs::path out = dir_ / "out";
    const fs::path bad = Write("bad.kfs", testing::Text("KEMO FILE SYSTEM but not a container"));
    const fs::path not_program = Write("not_program", testing::Text("MZ"));
    struct Case {
        std::string arguments;
        int status;
        std::string message;
    };
    const Case cases[] = {
        {Quote(KFS_PARAM_PROBE) + " -o " + Quote(out) + " --kfs1 " + Quote(bad), 1,
         "KFS container 1"},
        {Quote(not_program) + " -o " + Quote(out) + " --kfs1 " + Quote(bad), 1, "not found"},
        {Quote(KFS_PARAM_PROBE) + " -o " + Quote(out) + " --kfs1 " + Quote(dir_ / "missing"), 1,
         "cannot read"},
        // A directory opens like a file but cannot be read.
        {Quote(KFS_PARAM_PROBE) + " -o " + Quote(out) + " --kfs1 " + Quote(dir_), 1, "cannot read"},
        {Quote(dir_) + " -o " + Quote(out) + " --kfs1 " + Quote(bad), 1, "cannot read"},
        {"--list " + Quote(dir_), 1, "cannot read"},
        {Quote(KFS_PARAM_PROBE) + " --kfs1 " + Quote(bad), 2, "usage"},
        {Quote(KFS_PARAM_PROBE) + " -o " + Quote(out) + " --kfs1 " + Quote(bad) + " --kfs1 " +
             Quote(bad),
         2, "usage"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.arguments);
        const RunResult run = Merge(c.arguments);
        EXPECT_EQ(run.status, c.status);
        EXPECT_NE(run.output.find(c.message), std::string::npos) << run.output;
        EXPECT_FALSE(fs::exists(out));
    }
}

}  // namespace
}  // namespace kfs
