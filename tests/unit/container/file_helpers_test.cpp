// Whole-file helpers and the default parameter file.
#include "container/file_helpers.h"

#include <gtest/gtest.h>
#ifndef _WIN32
#include <sys/stat.h>
#endif

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "container/default_parameters.h"
#include "container/parameters.h"

namespace kfs {
namespace {

namespace fs = std::filesystem;

class FileHelpers : public testing::Test {
  protected:
    void SetUp() override {
        const auto* info = testing::UnitTest::GetInstance()->current_test_info();
        dir_ = fs::temp_directory_path() / (std::string("kfs_file_helpers_") + info->name() + "_" +
                                            std::to_string(reinterpret_cast<std::uintptr_t>(this)));
        fs::remove_all(dir_);
        fs::create_directories(dir_);
    }
    void TearDown() override {
        std::error_code ignored;
        for (const auto& entry : fs::directory_iterator(dir_, ignored)) {
            fs::permissions(entry.path(), fs::perms::owner_all, ignored);
        }
        fs::remove_all(dir_, ignored);
    }

    std::string Path(const std::string& name) const { return (dir_ / name).string(); }

    void Put(const std::string& name, const std::string& content) const {
        std::ofstream(Path(name), std::ios::binary) << content;
    }
    std::string Get(const std::string& name) const {
        std::ifstream file(Path(name), std::ios::binary);
        return {std::istreambuf_iterator<char>(file), {}};
    }

    fs::path dir_;
};

TEST_F(FileHelpers, GetFileLength) {
    Put("empty", "");
    Put("five", std::string("a\r\n\0b", 5));
    EXPECT_EQ(GetFileLength(Path("empty")), 0u);
    EXPECT_EQ(GetFileLength(Path("five")), 5u);
    EXPECT_EQ(GetFileLength(Path("missing")), 0u);
    EXPECT_EQ(GetFileLength(dir_.string() + "/missing/deeper"), 0u);
    EXPECT_EQ(GetFileLength(dir_.string()), 0u);  // a directory is no file
}

TEST_F(FileHelpers, ReadFileBinaryLeavesTheTailOfAShortReadAlone) {
    Put("short", "\x01\r\n");
    std::vector<std::uint8_t> buffer(8, 0xAA);
    ASSERT_TRUE(ReadFileBinary(Path("short"), 8, buffer.data()));
    EXPECT_EQ(buffer, (std::vector<std::uint8_t>{0x01, '\r', '\n', 0xAA, 0xAA, 0xAA, 0xAA, 0xAA}));

    // Only the requested length is read, even from a longer file.
    Put("long", "abcdef");
    std::vector<std::uint8_t> two(4, 0);
    ASSERT_TRUE(ReadFileBinary(Path("long"), 2, two.data()));
    EXPECT_EQ(two, (std::vector<std::uint8_t>{'a', 'b', 0, 0}));

    EXPECT_FALSE(ReadFileBinary(Path("missing"), 8, buffer.data()));
    EXPECT_FALSE(ReadFileBinary(dir_.string(), 8, buffer.data()));
}

TEST_F(FileHelpers, WriteFileBinaryReplacesTheWholeContent) {
    Put("target", "a much longer old content");
    const std::uint8_t bytes[] = {'n', 0, '\n'};
    ASSERT_TRUE(WriteFileBinary(Path("target"), bytes, 3));
    EXPECT_EQ(Get("target"), std::string("n\0\n", 3));

    ASSERT_TRUE(WriteFileBinary(Path("target"), nullptr, 0));
    EXPECT_TRUE(fs::exists(Path("target")));
    EXPECT_EQ(GetFileLength(Path("target")), 0u);

    EXPECT_FALSE(WriteFileBinary(Path("missing-dir/file"), bytes, 3));

    // A directory of that name, even an empty one, is neither removed nor replaced.
    fs::create_directory(Path("folder"));
    EXPECT_FALSE(WriteFileBinary(Path("folder"), bytes, 3));
    EXPECT_TRUE(fs::is_directory(Path("folder")));
}

TEST_F(FileHelpers, WriteLinesEndsEveryLineWithCrLf) {
    ASSERT_TRUE(WriteLines(Path("lines"), {"a", "", "b\n", " c "}));
    EXPECT_EQ(Get("lines"), "a\r\n\r\nb\n\r\n c \r\n");
    ASSERT_TRUE(WriteLines(Path("none"), {}));
    EXPECT_EQ(Get("none"), "");
}

TEST_F(FileHelpers, DefaultParameterFileIsTheBuiltInText) {
    Put("params.ini", std::string(2000, 'x'));  // replaced as a whole
    ASSERT_TRUE(WriteDefaultParameterFile(Path("params.ini")));
    const std::string text = Get("params.ini");

    EXPECT_EQ(text.size(), 713u);
    EXPECT_EQ(text.rfind("[Main]\r\nUpdater=0\r\nShowCaption=1\r\n", 0), 0u);
    EXPECT_TRUE(
        text.ends_with("[Title]\r\n"
                       "       -- Compatible with Kemo KFS3 Utility v1.13. 2005/11/29\r\n"
                       "       -- Compatible with Kemo Merge Utility v1.07. 2005/10/06\r\n"));
    EXPECT_NE(text.find("\r\nKEMO    VRD-E838P2      \r\nKEMO    VRC-1430        \r\n"),
              std::string::npos);
    std::size_t crlf = 0, lf = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\n')
            ++lf;
        if (text[i] == '\n' && i > 0 && text[i - 1] == '\r')
            ++crlf;
    }
    EXPECT_EQ(crlf, 57u);
    EXPECT_EQ(lf, 57u);

    // Read back as a parameter buffer it yields the built-in settings.
    std::vector<std::uint8_t> buffer(text.begin(), text.end());
    buffer.push_back(0);
    SParameter p;
    ReadParameters(p, buffer);
    EXPECT_EQ(p, ParametersFromLines(DefaultParameterLines()));
}

TEST_F(FileHelpers, ReadOnlyTargetIsNeitherDeletedNorReplaced) {
    Put("locked.ini", "keep me");
    fs::permissions(Path("locked.ini"),
                    fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                    fs::perm_options::remove);
    EXPECT_FALSE(WriteDefaultParameterFile(Path("locked.ini")));
    EXPECT_EQ(Get("locked.ini"), "keep me");
}

TEST_F(FileHelpers, WriteNewFileNeverReplacesAnythingAndLeavesNothingBehind) {
    const std::vector<std::uint8_t> bytes = {'n', 'e', 'w'};
    Put("existing.kfs", "an earlier backup");
    fs::create_directories(Path("folder"));
    std::vector<std::string> expected = {"existing.kfs", "folder", "fresh.kfs"};
    struct Case {
        const char* name;
        bool written, exists;
    };
    std::vector<Case> cases = {{"fresh.kfs", true, false},
                               {"existing.kfs", false, true},
                               {"folder", false, true},
                               {"absent/new.kfs", false, false}};
#ifndef _WIN32
    // Links are taken names too, wherever they point: nothing is written through them.
    Put("victim.kfs", "someone's file");
    fs::create_symlink(Path("victim.kfs"), Path("link.kfs"));
    fs::create_symlink(Path("nowhere.kfs"), Path("dangling.kfs"));
    cases.push_back({"link.kfs", false, true});
    cases.push_back({"dangling.kfs", false, true});
    expected.insert(expected.end(), {"dangling.kfs", "link.kfs", "victim.kfs"});
#endif
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const NewFileOutcome outcome = WriteNewFile(Path(c.name), bytes);
        EXPECT_EQ(outcome.written, c.written) << outcome.reason;
        EXPECT_EQ(outcome.exists, c.exists) << outcome.reason;
        EXPECT_EQ(outcome.reason.empty(), c.written);
    }
    EXPECT_EQ(Get("fresh.kfs"), "new");
    EXPECT_EQ(Get("existing.kfs"), "an earlier backup");
#ifndef _WIN32
    EXPECT_EQ(Get("victim.kfs"), "someone's file");
    EXPECT_FALSE(fs::exists(Path("nowhere.kfs")));
    EXPECT_EQ(WriteNewFile(Path("absent/new.kfs"), bytes).reason, "No such file or directory");
#endif
    // Nothing else is left in the folder: no temporary name survives any outcome.
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir_))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(names, expected);
}

#ifndef _WIN32
TEST_F(FileHelpers, ReadRegularFileTakesOnlyRegularFilesUpToTheLimit) {
    Put("small.ini", "abc");
    fs::create_directories(Path("folder"));
    ASSERT_EQ(mkfifo(Path("fifo").c_str(), 0600), 0);
    const struct {
        std::string path;
        std::uint64_t limit;
        const char* reason;  // empty: read
    } cases[] = {
        {Path("small.ini"), 3, ""},
        {Path("small.ini"), 2, "larger than 2 bytes"},
        {Path("folder"), 100, "a folder, not a regular file"},
        {Path("fifo"), 100, "a FIFO, not a regular file"},  // no writer: must not wait for one
        {"/dev/zero", 100, "a device, not a regular file"},
        {Path("absent"), 100, "No such file or directory"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        const InputFile read = ReadRegularFile(c.path, c.limit);
        EXPECT_EQ(read.reason, c.reason);
        EXPECT_EQ(read.bytes.has_value(), std::string(c.reason).empty());
    }
    EXPECT_EQ(*ReadRegularFile(Path("small.ini"), 3).bytes,
              (std::vector<std::uint8_t>{'a', 'b', 'c'}));
}
#endif

}  // namespace
}  // namespace kfs
