// ReadParameters: the choice between the buffer's text and the built-in default text, and the
// settings that particular texts yield.
#include "container/parameters.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include "container/default_parameters.h"

namespace kfs {
namespace {

// A zero-filled parameter buffer of the real capacity holding the text.
std::vector<std::uint8_t> BufferWith(std::string_view text) {
    std::vector<std::uint8_t> buffer(kParameterTextCapacity, 0);
    std::copy(text.begin(), text.end(), buffer.begin());
    return buffer;
}

SParameter Read(std::span<const std::uint8_t> buffer) {
    SParameter p;
    p.ProgramName = "stale";  // every member must be overwritten
    p.AvailableModelNames = {"stale"};
    ReadParameters(p, buffer);
    return p;
}

SParameter ReadText(std::string_view text) {
    return Read(BufferWith(text));
}

TEST(ReadParameters, EmptyBufferMeansTheBuiltInText) {
    SParameter expected;  // the fallbacks, then what the built-in text changes
    expected.ArgumentDefault.d = false;
    // The built-in text has no Disable98AutoInsertNotification under [Argument default value];
    // the lookup runs on into [Argument enabled] and finds the one there.
    expected.ArgumentDefault.Disable98AutoInsertNotification = true;
    expected.ArgumentEnabled.g = true;
    expected.CheckSum = false;
    expected.HardwareID = false;
    expected.ImmediateAtapi = true;
    expected.AvailableModelNames = {"KEMO    VRD-E838P2      ", "KEMO    VRC-1430        "};
    expected.Title = {"       -- Compatible with Kemo KFS3 Utility v1.13. 2005/11/29",
                      "       -- Compatible with Kemo Merge Utility v1.07. 2005/10/06"};

    std::vector<std::uint8_t> buffer = BufferWith("");
    buffer[1] = 'x';  // only the first byte decides
    EXPECT_EQ(Read(buffer), expected);
    EXPECT_EQ(Read({}), expected);
    EXPECT_EQ(ParametersFromLines(DefaultParameterLines()), expected);
}

TEST(ReadParameters, ShippedText) {
    std::ifstream file(KFS_SOURCE_DIR "/data/shipped-parameters.txt", std::ios::binary);
    ASSERT_TRUE(file);
    const std::string text{std::istreambuf_iterator<char>(file), {}};
    const SParameter p = ReadText(text);

    SParameter expected;  // keys absent from the shipped text keep the fallbacks (k 0, d 1, g 0)
    expected.Updater = true;
    expected.CheckSum = false;
    expected.HardwareID = false;
    expected.ModelName = true;
    expected.ImmediateAtapi = true;
    expected.AvailableModelNames = {"KEMO    VRZ-3372BL", "KEMO    VRZ-3372BLT",
                                    "KEMO    VRZ-3394BL", "KEMO    VRZ-3394BLT"};
    expected.Title = {"", ""};
    expected.FlashHelp = p.FlashHelp;
    expected.UpdaterHelp = p.UpdaterHelp;
    EXPECT_EQ(p, expected);

    ASSERT_EQ(p.FlashHelp.size(), 22u);
    EXPECT_EQ(p.FlashHelp.front(), "");
    EXPECT_EQ(p.FlashHelp[1], "trelvo.exe [KFS3 File]");
    EXPECT_EQ(p.FlashHelp.back(),
              "  [KFS3 File]           Requisite parameter, the KFS3 file name.");
    ASSERT_EQ(p.UpdaterHelp.size(), 20u);
    EXPECT_EQ(p.UpdaterHelp[1], "Update.exe");
    // The updater help repeats the eleven switch lines of the flash help, "/s" to "/y".
    EXPECT_TRUE(std::equal(p.UpdaterHelp.end() - 11, p.UpdaterHelp.end(), p.FlashHelp.end() - 12));
}

TEST(ReadParameters, TextQuirks) {
    using Field = std::function<std::int64_t(const SParameter&)>;
    struct Case {
        const char* text;
        Field field;
        std::int64_t expected;
    };
    const Field updater = [](const SParameter& p) { return p.Updater; };
    const Field verify = [](const SParameter& p) { return p.Verify; };
    const Field erasePadChar = [](const SParameter& p) { return p.ErasePadChar; };
    const Field backup = [](const SParameter& p) { return p.BackupBeforeFlash; };
    const Case cases[] = {
        // Only a text that sets the backup key turns the backup on.
        {"[Other settings]\r\nBackupBeforeFlash=1", backup, 1},
        {"[Other settings]\r\nVerify=1", backup, 0},
        {"[Main] settings\r\nUpdater=1", updater, 1},
        {"[Main]\r\nUpdater=0\r\nUpdater=1", updater, 0},
        {"[Other settings]\r\nVerify = 1", verify, 0},
        {"[Other settings]\r\nVerify=yes", verify, 0},
        {"[Other settings]\r\nVerify=0", verify, 0},
        {"[Other settings]\r\nErasePadChar=300", erasePadChar, 44},
        {"[Other settings]\r\nErasePadChar=-1", erasePadChar, 255},
        {"[Other settings]\r\nErasePadChar=256", erasePadChar, 0},
        {"[Other settings]\r\nErasePadChar=65", erasePadChar, 65},
        // A key missing in its own section is taken from a later line.
        {"[Argument default value]\r\ns=0\r\n[Argument enabled]\r\ng=1",
         [](const SParameter& p) { return p.ArgumentDefault.g; }, 1},
        // Key "s" is a prefix of "silent": the value read is "lent=1".
        {"[Argument enabled]\r\nsilent=1\r\ns=1",
         [](const SParameter& p) { return p.ArgumentEnabled.s; }, 0},
        {"[Argument default value]\r\nn=-5x\r\na=  +42",
         [](const SParameter& p) { return p.ArgumentDefault.n + 1000 * p.ArgumentDefault.a; },
         -5 + 42000},
        {"[Main]\r\nProgramName=First\r\nProgramName=Second",
         [](const SParameter& p) { return p.ProgramName == "First"; }, 1},
        {"[Main]\r\nProgramName=  padded  ",
         [](const SParameter& p) { return p.ProgramName == "  padded  "; }, 1},
        // Only the first [Title] header counts.
        {"[Title]\r\nA\r\n[X]\r\n[Title]\r\nB",
         [](const SParameter& p) { return p.Title == std::vector<std::string>{"A"}; }, 1},
        // The last section runs to the end of the text, empty lines included.
        {"[AvailableModelNames]\r\nM1\r\n\r\nM2\r\n\r\n",
         [](const SParameter& p) {
             return p.AvailableModelNames == std::vector<std::string>{"M1", "", "M2", ""};
         },
         1},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.field(ReadText(c.text)), c.expected) << testing::PrintToString(c.text);
    }
}

TEST(ReadParameters, TextWithoutCrLfTakesEveryDefault) {
    EXPECT_EQ(ReadText("[Main]\nUpdater=1\nShowCaption=0\n[Other settings]\nVerify=0\n"),
              SParameter{});
    EXPECT_EQ(ReadText("[Main]\rUpdater=1\r"), SParameter{});
}

TEST(ReadParameters, TextWithoutZeroByteEndsAtTheCapacity) {
    // The area is exactly as long as the text: nothing after it may be read. The stretch past the
    // capacity would change ProgramName if it were.
    const std::string text = "[Main]\r\nUpdater=1\r\nProgramName=Cut here, not later";
    const std::vector<std::uint8_t> bytes(text.begin(), text.end());
    const std::size_t capacity = text.find(", not");
    const SParameter p = Read(std::span(bytes).first(capacity));
    EXPECT_TRUE(p.Updater);
    EXPECT_EQ(p.ProgramName, "Cut here");

    EXPECT_EQ(Read(bytes).ProgramName, "Cut here, not later");
}

TEST(ReadParameters, TextEndsAtTheFirstZeroByte) {
    std::vector<std::uint8_t> buffer = BufferWith("[Main]\r\nUpdater=1");
    const std::string_view after = "\r\nShowDate=0";
    std::copy(after.begin(), after.end(), buffer.begin() + 20);  // beyond the zero at 17
    const SParameter p = Read(buffer);
    EXPECT_TRUE(p.Updater);
    EXPECT_TRUE(p.ShowDate);
}

}  // namespace
}  // namespace kfs
