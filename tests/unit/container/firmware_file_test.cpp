// Reading a firmware file as "&Load KFS" does: each file form, each refusal, and the temporary
// file of an archive member, which lives only in the system's temporary folder and never outlives
// the load. Built natively and for Windows (run under Wine), where the temporary folder comes
// from GetTempPath.
#include "container/firmware_file.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#endif

#include "container/kfs_encode.h"
#include "container/temporary_file.h"
#include "container_fixtures.h"
#include "support/zip_builder.h"

namespace kfs {
namespace {

namespace fs = std::filesystem;
using test::Bytes;
using test::MakeZip;
using test::Pattern;
using test::ZipMember;

// Points the system's temporary folder at `folder` for this process.
void SetTemporaryFolder(const std::string& folder) {
#ifdef _WIN32
    SetEnvironmentVariableA("TMP", folder.c_str());
    SetEnvironmentVariableA("TEMP", folder.c_str());
#else
    ::setenv("TMPDIR", folder.c_str(), 1);
#endif
}

// Each test works in a fresh working directory with a temporary folder of its own beside it;
// the working directory holds a file of the user's named "temp.kfs".
class FirmwareFileTest : public ::testing::Test {
  protected:
    void SetUp() override {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        previousDir_ = fs::current_path();
        root_ =
            fs::temp_directory_path() / ("kfs_firmware_file_" + std::string(info->name()) + "_" +
                                         std::to_string(reinterpret_cast<std::uintptr_t>(this)));
        fs::remove_all(root_);
        fs::create_directories(root_ / "work");
        fs::create_directories(root_ / "tmp");
        fs::current_path(root_ / "work");
        previousTmp_ = TemporaryFolder();
        SetTemporaryFolder((root_ / "tmp").string());
        Write("temp.kfs", kUsersFile);
    }
    void TearDown() override {
        SetTemporaryFolder(previousTmp_);
        fs::current_path(previousDir_);
        std::error_code ignored;
        fs::remove_all(root_, ignored);
    }

    static std::string Write(const std::string& name, const Bytes& data) {
        std::ofstream(name, std::ios::binary)
            .write(reinterpret_cast<const char*>(data.data()),
                   static_cast<std::streamsize>(data.size()));
        return name;
    }
    static std::string Read(const std::string& name) {
        std::ifstream file(name, std::ios::binary);
        return {std::istreambuf_iterator<char>(file), {}};
    }
    std::vector<std::string> TemporaryFolderContent() const {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(root_ / "tmp"))
            names.push_back(entry.path().filename().string());
        return names;
    }

    static inline const Bytes kUsersFile = {'m', 'i', 'n', 'e'};
    fs::path root_, previousDir_;
    std::string previousTmp_;
};

Bytes Kfs(const Bytes& image, std::uint8_t atapiType = 1) {
    KfsEncodeOptions o;
    o.form = KfsForm::kKfs3;
    o.atapiFlashType = atapiType;
    return EncodeKfs(image, o);
}

Bytes PhilipsFile(const Bytes& image) {
    KfsEncodeOptions o;
    o.form = KfsForm::kPhilips;
    return PhilipsFileFromForm(EncodeKfs(image, o));
}

TEST_F(FirmwareFileTest, EachFormAndRefusalLeavesNoTemporaryFileAndTheUsersFileAlone) {
    const Bytes imageA = Pattern(0x1000, 1), imageB = Pattern(0x1800, 7);
    const Bytes philipsImage = Pattern(0x4000, 3);
    Bytes philips40 = PhilipsFile(philipsImage);
    philips40.resize(40);
    Bytes notKe = Kfs(imageA);
    notKe[1] = 'X';
    Bytes truncated = Kfs(imageA);
    truncated.pop_back();
    // A KFS3 header whose one empty bank lies in a 256 MB slot.
    test::Kfs3Raw huge;
    huge.maxBankSize = 0x10000000;
    huge.bankSizes = {0};
    const Bytes zeros(kMaxFirmwareFileSize + (1u << 20), 0);

    struct Case {
        const char* name;
        std::function<std::string()> make;
        std::optional<Bytes> image;  // the decoded image on success
        bool philips;
        std::string message;
        bool startDisabled;
    };
    const std::vector<Case> cases = {
        {"container file", [&] { return Write("a.kfs", Kfs(imageA)); }, imageA, false, "", false},
        {"zip: the second member wins",
         [&] {
             return Write("two.zip", MakeZip({{"b.kfs", Kfs(imageB)}, {"a.kfs", Kfs(imageA)}}));
         },
         imageA, false, "", false},
        {"zip: the order decides, stored members too",
         [&] {
             return Write("two.zip",
                          MakeZip({{"a.kfs", Kfs(imageA), false}, {"b.kfs", Kfs(imageB), false}}));
         },
         imageB, false, "", false},
        {"Philips file from a zip",
         [&] {
             return Write("p.zip", MakeZip({{"fw.bin", PhilipsFile(philipsImage)}}));
         },
         philipsImage, true, "", false},
        {"bare Philips file", [&] { return Write("p.bin", PhilipsFile(philipsImage)); },
         std::nullopt, false, "Not Valid KFS !", false},
        {"neither container nor archive", [&] { return Write("x.kfs", notKe); }, std::nullopt,
         false, "Not Valid KFS !", false},
        {"archive without members", [&] { return Write("empty.zip", MakeZip({})); }, std::nullopt,
         false, "Not Valid KFS !", false},
        {"member larger than any container",
         [&] {
             return Write("huge.zip", MakeZip({{"huge.kfs", zeros}}));
         },
         std::nullopt, false, "Not Valid KFS !", false},
        {"missing file", [] { return std::string("missing.kfs"); }, std::nullopt, false,
         "Get KFS File Length Fail !", false},
        {"empty file", [&] { return Write("empty.kfs", {}); }, std::nullopt, false,
         "Get KFS File Length Fail !", false},
        // From here on the file to use was settled: "&Start" goes off.
        {"truncated container file", [&] { return Write("t.kfs", truncated); }, std::nullopt, false,
         "Not Valid KFS !", true},
        {"truncated container in a zip",
         [&] {
             return Write("t.zip", MakeZip({{"t.kfs", truncated}}));
         },
         std::nullopt, false, "Not Valid KFS !", true},
        {"member that lies about its size",
         [&] {
             ZipMember m{"a.kfs", Kfs(imageA)};
             m.declaredSize = 100;
             return Write("lie.zip", MakeZip({m}));
         },
         std::nullopt, false, "GetFileLength Error!", true},
        {"member with a damaged check sum",
         [&] {
             ZipMember m{"a.kfs", Kfs(imageA)};
             m.damagedCheckSum = true;
             return Write("crc.zip", MakeZip({m}));
         },
         std::nullopt, false, "GetFileLength Error!", true},
        {"folder as last member",
         [&] {
             return Write("dir.zip", MakeZip({{"a.kfs", Kfs(imageA)}, {"dir/", {}}}));
         },
         std::nullopt, false, "GetFileLength Error!", true},
        {"Philips file of 40 bytes",
         [&] {
             return Write("p40.zip", MakeZip({{"fw.bin", philips40}}));
         },
         std::nullopt, false, "GetKFSLength Error!", true},
        {"member that is no container",
         [&] {
             return Write("text.zip", MakeZip({{"readme.txt", Bytes{'h', 'i'}}}));
         },
         std::nullopt, false, "GetKFSLength Error!", true},
        {"container file without a layout",
         [&] {
             return Write("ke.kfs", {'K', 'E', '?'});
         },
         std::nullopt, false, "GetKFSLength Error!", true},
        {"image larger than any flash", [&] { return Write("big.kfs", huge.Header()); },
         std::nullopt, false, "GetKFSLength Error!", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const FirmwareFileResult result = ReadFirmwareFile(c.make());
        EXPECT_TRUE(TemporaryFolderContent().empty());
        EXPECT_EQ(Read("temp.kfs"), std::string(kUsersFile.begin(), kUsersFile.end()));
        ASSERT_EQ(result.firmware.has_value(), c.image.has_value()) << result.message;
        EXPECT_EQ(result.startDisabled, c.startDisabled);
        if (c.image) {
            EXPECT_EQ(result.firmware->Image, *c.image);
            EXPECT_EQ(result.firmware->PhilipsImage, c.philips);
        } else {
            EXPECT_EQ(result.message, c.message);
            EXPECT_FALSE(result.reason.empty());
        }
    }
}

TEST_F(FirmwareFileTest, AMemberIsNeverExtractedOutsideTheTemporaryFolder) {
    const Bytes image = Pattern(0x1000, 5);
    const std::string archive = Write("a.zip", MakeZip({{"a.kfs", Kfs(image)}}));

    // Without a temporary folder nothing is extracted, and nothing lands in the working folder.
    SetTemporaryFolder((root_ / "missing").string());
    const FirmwareFileResult refused = ReadFirmwareFile(archive);
    EXPECT_EQ(refused.message, "GetFileLength Error!");
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(root_ / "work"))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"a.zip", "temp.kfs"}));
    EXPECT_FALSE(fs::exists(root_ / "missing"));

    SetTemporaryFolder((root_ / "tmp").string());
    const FirmwareFileResult loaded = ReadFirmwareFile(archive);
    ASSERT_TRUE(loaded.firmware) << loaded.reason;
    EXPECT_EQ(loaded.firmware->Image, image);
    EXPECT_EQ(loaded.firmware->Member, "a.kfs");
    EXPECT_EQ(loaded.firmware->Form, KfsForm::kKfs3);
    EXPECT_TRUE(TemporaryFolderContent().empty());
}

TEST_F(FirmwareFileTest, TemporaryFilesAreNewAndTheirOwn) {
    // Two at once get two names; each is empty, readable and writable, and gone when released.
    auto first = TemporaryFile::Create();
    auto second = TemporaryFile::Create();
    ASSERT_TRUE(first && second);
    EXPECT_NE(first->path(), second->path());
    EXPECT_EQ(fs::path(first->path()).parent_path(), root_ / "tmp");
#ifdef _WIN32
    EXPECT_EQ(fs::file_size(first->path()), 0u);
#else
    // Nameless from the start: Ctrl-C during an extraction cannot leave it behind.
    EXPECT_FALSE(fs::exists(first->path()));
    EXPECT_TRUE(TemporaryFolderContent().empty());
#endif
    // Read back through the file's own stream: on Windows it is opened without sharing, so
    // nobody else (this test included) can open it by name while it is held.
    std::fputs("kfs", first->stream());
    std::rewind(first->stream());
    char back[4] = {};
    EXPECT_EQ(std::fread(back, 1, 3, first->stream()), 3u);
    EXPECT_STREQ(back, "kfs");
    const std::string path = first->path();
    first.reset();
    EXPECT_FALSE(fs::exists(path));
    second.reset();
    EXPECT_TRUE(TemporaryFolderContent().empty());
}

}  // namespace
}  // namespace kfs
