// The update log's texts: sense and command names, the cause of a failure, and the blocks the
// log file gets, appended update after update.
#include "app/update_log.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>

#include "app/sense_names.h"

namespace kfs {
namespace {

SenseData Sense(std::uint8_t byte2, std::uint8_t code, std::uint8_t qualifier) {
    SenseData sense{};
    sense[0] = 0x70;
    sense[2] = byte2;
    sense[7] = 10;
    sense[12] = code;
    sense[13] = qualifier;
    return sense;
}

TEST(UpdateLogText, CausesNameTheCommandAndTheSense) {
    struct Case {
        FailureCause cause;
        const char* text;
    };
    const Case cases[] = {
        {{0x3B, Sense(0x05, 0x24, 0x00), 0},
         "command 3B WRITE BUFFER failed: sense 05/24/00 ILLEGAL REQUEST, INVALID FIELD IN CDB"},
        {{0x00, Sense(0x02, 0x3A, 0x01), 0},
         "command 00 TEST UNIT READY failed: sense 02/3A/01 NOT READY, MEDIUM NOT PRESENT - "
         "TRAY CLOSED"},
        {{0x00, Sense(0x02, 0x04, 0x01), 0},
         "command 00 TEST UNIT READY failed: sense 02/04/01 NOT READY, LOGICAL UNIT IS IN "
         "PROCESS OF BECOMING READY"},
        {{0x1E, Sense(0x05, 0x53, 0x02), 0},
         "command 1E PREVENT ALLOW MEDIUM REMOVAL failed: sense 05/53/02 ILLEGAL REQUEST, "
         "MEDIUM REMOVAL PREVENTED"},
        {{0x12, Sense(0x06, 0x29, 0x00), 1},
         "command 12 INQUIRY failed: sense 06/29/00 UNIT ATTENTION, POWER ON, RESET, OR BUS "
         "DEVICE RESET OCCURRED (1 command completed after it)"},
        // Filemark, end-of-medium and length bits are not part of the key; an unknown code is
        // named by its key; a vendor's command by its number.
        {{0xD8, Sense(0xE4, 0x99, 0x07), 3},
         "command D8 failed: sense 04/99/07 HARDWARE ERROR (3 commands completed after it)"},
        // A command that failed without sense (the call itself failed).
        {{0x3B, SenseData{}, 0},
         "command 3B WRITE BUFFER failed: sense 00/00/00 NO SENSE, NO "
         "ADDITIONAL SENSE INFORMATION"},
        // A command that never reached the drive is named by the code the system gave.
        {{0x3B, SenseData{}, 0, CommandResult::CodeKind::Win32Error, 5},
         "command 3B WRITE BUFFER failed: Windows error 5"},
        {{0x00, SenseData{}, 0, CommandResult::CodeKind::AspiStatus, 4},
         "command 00 TEST UNIT READY failed: ASPI status 4"},
        {{std::nullopt, Sense(0x05, 0x24, 0x00), 0}, "no command failed"},
        // A write that failed before: named beside a later cause, or as the cause when no
        // command failed since; not twice when it is the cause itself.
        {{0x5A, Sense(0x05, 0x21, 0x00), 0, CommandResult::CodeKind::None, 0,
          SentCommand{{0xFD}, CommandResult::Check(Sense(0x05, 0x26, 0x00))}},
         "command 5A MODE SENSE(10) failed: sense 05/21/00 ILLEGAL REQUEST, LOGICAL BLOCK ADDRESS "
         "OUT OF RANGE; "
         "before it, write command FD failed: sense 05/26/00 ILLEGAL REQUEST, INVALID FIELD IN "
         "PARAMETER LIST"},
        {{std::nullopt, SenseData{}, 0, CommandResult::CodeKind::None, 0,
          SentCommand{{0x3B}, CommandResult::Error(CommandResult::CodeKind::HostStatus, 7)}},
         "command 3B WRITE BUFFER failed: host status 7"},
        {{0x3B, Sense(0x05, 0x24, 0x00), 2, CommandResult::CodeKind::None, 0,
          SentCommand{{0x3B}, CommandResult::Check(Sense(0x05, 0x24, 0x00))}},
         "command 3B WRITE BUFFER failed: sense 05/24/00 ILLEGAL REQUEST, INVALID FIELD IN CDB "
         "(2 commands completed after it)"},
    };
    for (const Case& c : cases) EXPECT_EQ(DescribeCause(c.cause), c.text);
}

TEST(UpdateLogText, EveryKeyHasAName) {
    for (int key = 0; key < 16; ++key) {
        EXPECT_NE(SenseKeyName(static_cast<std::uint8_t>(key)), nullptr);
        EXPECT_STRNE(SenseKeyName(static_cast<std::uint8_t>(key)), "");
    }
    EXPECT_STREQ(SenseKeyName(0x15), "ILLEGAL REQUEST");
}

// Two updates, each a block appended to what the file held: a user's earlier log survives.
TEST(UpdateLogFile, BlocksAreAppended) {
    const std::string path = ::testing::TempDir() + "update_log_test.kfsflash.log";
    std::remove(path.c_str());
    { std::ofstream(path) << "earlier\n"; }
    int tick = 0;
    FileUpdateLog log(path, [&] { return "T" + std::to_string(++tick); });

    log.UpdateStarted({0, "KEMO VRZ-3372BL 1.00 061001", "fw.kfs", 131072, "1A2B"});
    log.Failure("Write Buffer Fail !", {0x3B, Sense(0x05, 0x24, 0x00), 1});
    log.UpdateEnded("failed");
    log.UpdateStarted({1, "KEMO VRZ-3372BL 1.10 061122", "fw.kfs", 131072, ""});
    log.UpdateEnded("completed");

    std::ifstream in(path);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(text,
              "earlier\n"
              "=== update started T1\n"
              "drive: 0 \"KEMO VRZ-3372BL 1.00 061001\"\n"
              "image: \"fw.kfs\", 131072 bytes, check sum 1A2B\n"
              "failure: Write Buffer Fail ! -- command 3B WRITE BUFFER failed: sense 05/24/00 "
              "ILLEGAL REQUEST, INVALID FIELD IN CDB (1 command completed after it)\n"
              "outcome: failed T2\n"
              "\n"
              "=== update started T3\n"
              "drive: 1 \"KEMO VRZ-3372BL 1.10 061122\"\n"
              "image: \"fw.kfs\", 131072 bytes, check sum -\n"
              "outcome: completed T4\n"
              "\n");
    std::remove(path.c_str());
}

// A log that cannot be written leaves the update alone.
TEST(UpdateLogFile, UnwritablePathIsSkipped) {
    FileUpdateLog log(::testing::TempDir() + "no-such-folder/x/kfsflash.log", [] { return ""; });
    log.UpdateStarted({});
    log.Failure("x", {});
    log.UpdateEnded("failed");
    SUCCEED();
}

TEST(UpdateLogText, LocalTimeHasDateAndTime) {
    const std::string text = LocalTimeText();
    ASSERT_EQ(text.size(), 19u) << text;
    EXPECT_EQ(text[4], '-');
    EXPECT_EQ(text[10], ' ');
    EXPECT_EQ(text[13], ':');
}

}  // namespace
}  // namespace kfs
