// Every write command of every family is examined: a block, a half bank or a trigger the drive
// refuses ends the procedure with its failure text at once, the refused command stays the
// transport's last failure, and the drive keeps its old flash. A trigger whose status is lost
// while the drive restarts into programming is left to the wait that follows.
#include <gtest/gtest.h>

#include "drive/cdb.h"
#include "flash/family_a0.h"
#include "flash/family_ali.h"
#include "flash/family_mtk5.h"
#include "flash/family_mtk7.h"
#include "flash/family_philips.h"
#include "flash/flash_commands.h"
#include "flash/procedure_support.h"
#include "procedure_rig.h"

namespace kfs {
namespace {

using test::Rig;

constexpr std::size_t kBlock = 16384;
constexpr std::size_t kBank = 65536;

FlashResult Philips(FlashJob& job) {
    return FlashPhilipsForm(job, PhilipsBlockCount(job.image.size()), 0x1234, 0x5678);
}

struct WriteCase {
    const char* name;
    FlashFamily family;
    FlashResult (*procedure)(FlashJob&);
    std::uint8_t type;
    std::size_t length;
    std::string fault;     // one emulator fault
    FlashResult expected;  // the procedure's result
    std::string last;      // refusals: the CDB (hex) the trace must end with
    bool flashAsBefore;    // the drive kept its old flash
};

class RefusedWrites : public testing::TestWithParam<WriteCase> {};

TEST_P(RefusedWrites, EndTheProcedureWithTheFamilysText) {
    const WriteCase& c = GetParam();
    Rig rig(c.family, R"(, "faults": [)" + c.fault + "]");
    rig.MakeImage(c.length, c.type);
    // The last two bytes of a whole A0 bank are never sent: the image holds what the drive keeps.
    for (std::size_t at = 0; c.type != 7 && at + 65534 < c.length; at += kBank)
        rig.KeepOld(at + 65534, at + kBank);
    rig.SealCheckSum();
    auto job = rig.Job();
    EXPECT_EQ(c.procedure(job), c.expected);
    if (c.expected) {
        ASSERT_FALSE(rig.trace.empty());
        EXPECT_EQ(rig.trace.back().substr(0, c.last.size()), c.last) << "sent after the refusal";
        ASSERT_TRUE(rig.tampering.LastFailure());
        EXPECT_TRUE(IsFlashWrite(rig.tampering.LastFailure()->cdb));
    } else {
        EXPECT_EQ(rig.Flash(0, c.length), rig.image);
    }
    if (c.flashAsBefore) {
        EXPECT_EQ(rig.Flash(0, c.length), rig.Old(0, c.length));
    }
    EXPECT_TRUE(rig.view.boxes.empty());
}

const std::string kLost = R"(, "sense": "06/29/00", "carried_out": true})";

INSTANTIATE_TEST_SUITE_P(
    Cases, RefusedWrites,
    testing::Values(
        // ALi: every block goes into the image the last one makes the drive program.
        WriteCase{"AliFirstBlock", FlashFamily::Ali, &FlashAliType, 2, 4 * kBlock,
                  R"({"command": "fd", "nth": 1, "sense": "05/26/00"})", "Write Buffer Fail !",
                  "fd07", true},
        WriteCase{"AliMiddleBlockMediumError", FlashFamily::Ali, &FlashAliType, 2, 4 * kBlock,
                  R"({"command": "fd", "nth": 3, "sense": "03/0c/00"})", "Write Buffer Fail !",
                  "fd07", true},
        WriteCase{"AliLastBlock", FlashFamily::Ali, &FlashAliType, 2, 4 * kBlock,
                  R"({"command": "fd", "nth": 4, "sense": "05/26/00"})", "Write Buffer Fail !",
                  "fd07", true},
        WriteCase{"AliLastBlockStatusLost", FlashFamily::Ali, &FlashAliType, 2, 4 * kBlock,
                  R"({"command": "fd", "nth": 4)" + kLost, std::nullopt, "", false},
        // A0 (refused banks, halves and triggers are in family_a0_test): a trigger whose status
        // is lost goes on to the wait; one refused while the drive reports no disc does not take
        // the "no disc" of the poll that would follow for the end of programming.
        WriteCase{"A0TriggerStatusLost", FlashFamily::A0, &FlashMtkType, 1, 2 * kBank,
                  R"({"command": "5a:a0", "nth": 3)" + kLost, std::nullopt, "", false},
        WriteCase{"A0PollTrigger", FlashFamily::A0Poll, &FlashMtk3Type, 4, 2 * kBank,
                  R"({"command": "5a:a0", "nth": 3, "sense": "02/3a/01"})", "Trigger Fail !\n",
                  "5a00384b45a005e2", true},
        WriteCase{"Mtk7SaveOfTheUpperBank", FlashFamily::Mtk7, &FlashMtk7Type, 8, 2 * kBank,
                  R"({"command": "3b", "nth": 5, "sense": "05/2c/00"})", "Write Buffer Fail !",
                  "3b070001", true},
        WriteCase{"Mtk7SaveStatusLost", FlashFamily::Mtk7, &FlashMtk7Type, 8, 2 * kBank,
                  R"({"command": "3b", "nth": 10)" + kLost, std::nullopt, "", false},
        // mtk5: the start of programming; a block the system will not send is not retried.
        WriteCase{"Mtk5StartOfProgramming", FlashFamily::Mtk5, &FlashMtk5Type, 6, 16 * kBank,
                  R"({"command": "3b", "nth": 67, "sense": "05/24/00"})", "Trigger Fail !\n",
                  "3b0700000000100000", true},
        WriteCase{"Mtk5BlockNeverSent", FlashFamily::Mtk5, &FlashMtk5Type, 6, 16 * kBank,
                  R"({"command": "3b", "nth": 2, "errno": 1})", "Write Buffer Fail !",
                  "3b0600000000004000", true},
        // Philips: the last block makes the drive program.
        WriteCase{"PhilipsLastBlock", FlashFamily::Philips, &Philips, 0, 3 * kBlock - 40,
                  R"({"command": "fa", "nth": 3, "sense": "05/2c/00"})",
                  "Firmware update failure (05:2C:00)", "fa", true},
        WriteCase{"PhilipsLastBlockStatusLost", FlashFamily::Philips, &Philips, 0, 3 * kBlock - 40,
                  R"({"command": "fa", "nth": 3)" + kLost, std::nullopt, "", false}),
    [](const auto& info) { return std::string(info.param.name); });

// What a trigger's result says about programming: only a lost status or a restart may hide a
// drive that started.
TEST(TriggerRefused, OnlyALostStatusOrARestartMayHaveStartedProgramming) {
    auto check = [](std::uint8_t key) {
        SenseData sense{};
        sense[0] = 0x70;
        sense[2] = key;
        return CommandResult::Check(sense);
    };
    using Kind = CommandResult::CodeKind;
    struct Case {
        CommandResult result;
        bool refused;
    } cases[] = {
        {CommandResult::Good(), false},
        {check(0x05), true},
        {check(0x02), true},
        {check(0x04), true},
        {check(0x06), false},                                            // a restart
        {check(0x01), false},                                            // recovered: carried out
        {CommandResult::Check(SenseData{0x70, 0, 0x05}, false), false},  // status not trusted
        {CommandResult::Error(Kind::HostStatus, 7), false},
        {CommandResult::Error(Kind::ScsiStatus, 0x08), false},
        {CommandResult::Error(Kind::Errno, 1), true},  // the system never sent it
        {CommandResult::Error(Kind::Win32Error, 5), true},
        {CommandResult::Error(Kind::Win32Error, 121, false), false},
        {CommandResult::Error(Kind::InvalidDrive, 3), true},
    };
    for (std::size_t i = 0; i < std::size(cases); ++i)
        EXPECT_EQ(TriggerRefused(cases[i].result), cases[i].refused) << i;
}

}  // namespace
}  // namespace kfs
