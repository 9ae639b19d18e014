#include "flash/family_a0.h"

#include <gtest/gtest.h>

#include "flash/flash_type_table.h"
#include "procedure_rig.h"

namespace kfs {
namespace {

using test::Rig;

constexpr std::size_t kBank = 65536;

std::string BankWrite(int bank, std::uint16_t length) {
    char text[64];
    std::snprintf(text, sizeof text, "5a00384b45a005%02x%04x0000 out %u", bank, length, length);
    return text;
}

std::vector<std::string> FullBanks(int count) {
    std::vector<std::string> writes;
    for (int i = 0; i < count; ++i) writes.push_back(BankWrite(i, 65534));
    return writes;
}

// FlashMtkType against an emulated drive of its family: the bank writes and the trigger it sends
// for the layouts that matter, and the drive it leaves behind.
struct A0Case {
    const char* name;
    std::size_t length;
    std::vector<std::uint32_t> bankSizes;  // empty: MaxBankSize 0, banks from the length
    std::vector<std::string> writes;       // the bank writes, in order
    std::uint8_t count;                    // trigger byte 7
};

class FlashMtkTypeLayouts : public testing::TestWithParam<A0Case> {};

TEST_P(FlashMtkTypeLayouts, SendsTheBanksAndTheTriggerAndLeavesTheImageInTheDrive) {
    const A0Case& c = GetParam();
    Rig rig(FlashFamily::A0);
    rig.MakeImage(c.length, 1);
    std::vector<std::pair<std::size_t, std::size_t>> sent;  // image ranges the banks carry
    if (c.bankSizes.empty()) {
        for (std::size_t at = 0; at < c.length; at += kBank) {
            const std::size_t end = std::min(at + 65534, c.length);
            sent.push_back({at, end});
            rig.KeepOld(end, at + kBank);  // the two bytes a full bank never carries
        }
    } else {
        rig.container.MaxBankSize = 65536;
        rig.container.BankSizes = c.bankSizes;
        for (std::size_t i = 0; i < c.bankSizes.size(); ++i) {
            const std::size_t at = i * kBank, end = at + c.bankSizes[i];
            sent.push_back({at, end});
            // An odd bank goes out with the byte after it, which the procedure clears; the rest
            // of the bank is never sent.
            const std::size_t odd = c.bankSizes[i] & 1;
            if (odd && end < rig.image.size())
                rig.image[end] = 0;
            rig.KeepOld(end + odd, at + kBank);
        }
    }
    rig.SealCheckSum();
    const auto before = rig.image;

    auto job = rig.Job();
    EXPECT_EQ(FlashMtkType(job), std::nullopt);

    EXPECT_EQ(rig.trace.front(), "5a00384b45a3000000000000 in 65535");
    EXPECT_EQ(rig.Commands("5a00384b45a005"), c.writes);
    char trigger[64];
    std::snprintf(trigger, sizeof trigger, "5a00384b45a004%02x0080%04x out 128", c.count,
                  rig.container.HeaderCheckSum);
    EXPECT_EQ(rig.Commands("5a00384b45a004"), std::vector<std::string>{trigger});

    for (auto [from, to] : sent) EXPECT_EQ(rig.Flash(from, to), rig.Image(from, to)) << from;
    EXPECT_EQ(rig.DriveIdentity(), Rig::ImageIdentity());
    EXPECT_EQ(rig.view.lines,
              (std::vector<std::string>{"WARNING !!!", "Please wait for at least one minute!",
                                        "Flashing is processing..."}));
    EXPECT_EQ(rig.view.progress, (std::vector<std::uint32_t>{65536 / 3, 2 * 65536 / 3, 65536}));
    if (!c.bankSizes.empty())  // the bytes cleared after the banks were zero already
        for (std::size_t i = 0; i < before.size(); ++i)
            if (rig.image[i] != before[i])
                ADD_FAILURE() << "image byte " << i << " changed";
}

INSTANTIATE_TEST_SUITE_P(
    Examples, FlashMtkTypeLayouts,
    testing::Values(
        // Per-bank size 40001: the zero byte after it goes out as the even length's last byte.
        A0Case{"PerBank40001",
               kBank + 30000,
               {40001, 30000},
               {BankWrite(0, 0x9C42), BankWrite(1, 30000)},
               0xE2},
        A0Case{"TwoFullBanks", 131072, {}, {BankWrite(0, 65534), BankWrite(1, 65534)}, 0xE2},
        A0Case{"PartialLastBank", 70000, {}, {BankWrite(0, 65534), BankWrite(1, 4464)}, 0xE2},
        // An odd last bank is sent one byte longer: that byte lies beyond the image.
        A0Case{"OddLastBank", 70001, {}, {BankWrite(0, 65534), BankWrite(1, 4466)}, 0xE2},
        A0Case{"SixteenBanks", 16 * kBank, {}, FullBanks(16), 0xF0},
        A0Case{"ThirtyTwoBanks", 32 * kBank, {}, FullBanks(32), 0x00}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(FlashMtkType, OddLastBankGoesOutWithAZeroBeyondTheImage) {
    Rig rig(FlashFamily::A0);
    rig.MakeImage(70001, 1);
    rig.KeepOld(65534, 65536);
    rig.SealCheckSum();
    auto job = rig.Job();
    ASSERT_EQ(FlashMtkType(job), std::nullopt);
    EXPECT_EQ(rig.drive().rom()[70001], 0);
    EXPECT_EQ(rig.Flash(65536, 70001), rig.Image(65536, 70001));
}

TEST(FlashMtkType, BankTooLongForTheCommandIsRefusedBeforeAnythingIsSent) {
    for (std::uint32_t size : {65535u, 65536u, 70000u}) {
        Rig rig(FlashFamily::A0);
        rig.MakeImage(2 * kBank, 1);
        rig.container.MaxBankSize = 65536;
        rig.container.BankSizes = {1000, size};
        for (auto* procedure : {&FlashMtkType, &FlashMtk3Type}) {
            auto job = rig.Job();
            EXPECT_EQ(procedure(job), "Write Buffer Fail !") << size;
        }
        EXPECT_TRUE(rig.trace.empty());
        EXPECT_TRUE(rig.view.lines.empty());
    }
    Rig rig(FlashFamily::A0);  // 65534 is the longest bank that fits
    rig.MakeImage(kBank, 1);
    rig.container.MaxBankSize = 65536;
    rig.container.BankSizes = {65534};
    // A write of FFFEh bytes makes the drive program its whole bank: the two bytes it cannot
    // carry keep the flash's value, and the trigger's sum covers them.
    rig.KeepOld(65534, kBank);
    rig.container.HeaderCheckSum = ByteSum16(rig.image);
    auto job = rig.Job();
    EXPECT_EQ(FlashMtkType(job), std::nullopt);
    EXPECT_EQ(rig.Commands("5a00384b45a005"), std::vector<std::string>{BankWrite(0, 65534)});
}

TEST(FlashMtkType, ZeroByteAfterTheLastBankStaysInsideTheImage) {
    // The last bank ends exactly at the image's end: there is no byte after it to clear.
    Rig rig(FlashFamily::A0);
    rig.MakeImage(kBank + 1001, 1);
    rig.container.MaxBankSize = 65536;
    rig.container.BankSizes = {65534, 1001};
    rig.image[65534] = rig.old_rom[65534];
    rig.image[65535] = rig.old_rom[65535];
    rig.SealCheckSum();
    auto job = rig.Job();
    EXPECT_EQ(FlashMtkType(job), std::nullopt);
    EXPECT_EQ(rig.image.size(), kBank + 1001);
    EXPECT_EQ(rig.Commands("5a00384b45a005").back(), BankWrite(1, 1002));
    EXPECT_EQ(rig.drive().rom()[kBank + 1001], 0);
}

// The polling members of the family: their bank layout, trigger and the progress they show.
struct PollCase {
    const char* name;
    FlashFamily family;
    FlashResult (*procedure)(FlashJob&);
    std::uint8_t type;
    std::size_t length;
    std::vector<std::string> writes;
    std::string trigger;  // CDB bytes 0 to 7
};

class PollingProcedures : public testing::TestWithParam<PollCase> {};

TEST_P(PollingProcedures, FlashTheImageAndFollowTheProgress) {
    const PollCase& c = GetParam();
    Rig rig(c.family);
    rig.MakeImage(c.length, c.type);
    const bool halves = c.type == 7;
    if (!halves)
        for (std::size_t at = 0; at + 65534 < c.length; at += kBank)
            rig.KeepOld(at + 65534, at + kBank);
    rig.SealCheckSum();
    auto job = rig.Job();
    EXPECT_EQ(c.procedure(job), std::nullopt);

    EXPECT_EQ(rig.trace.front(), "5a00384b45a3000000000000 in 65535");
    std::vector<std::string> writes;
    for (const auto& line : rig.Commands("5a00384b45a0"))
        if (line.compare(0, 16, c.trigger) != 0)
            writes.push_back(line);
    EXPECT_EQ(writes, c.writes);
    ASSERT_EQ(rig.Commands(c.trigger).size(), 1u);

    if (halves) {
        // Every half goes out whole, the bytes beyond the image as zeros.
        EXPECT_EQ(rig.Flash(0, c.length), rig.Image(0, c.length));
        EXPECT_EQ(rig.Flash(c.length, 2 * kBank), std::vector<std::uint8_t>(2 * kBank - c.length));
    } else {
        EXPECT_EQ(rig.Flash(0, 65534), rig.Image(0, 65534));
        EXPECT_EQ(rig.Flash(kBank, c.length), rig.Image(kBank, c.length));
    }
    EXPECT_EQ(rig.DriveIdentity(), Rig::ImageIdentity());

    // Max / 4 after the trigger; then the poll shows the drive's own progress + 1 every 500 ms
    // (a phase of its own, starting from the drive's 0), never backwards.
    ASSERT_GE(rig.view.progress.size(), 3u);
    EXPECT_EQ(rig.view.progress.front(), 65536u / 4);
    EXPECT_EQ(rig.view.progress[1], 1u);
    EXPECT_TRUE(test::NeverBackwards({rig.view.progress.begin() + 1, rig.view.progress.end()}));
    EXPECT_GT(rig.view.progress.back(), 65536u / 2);
    EXPECT_EQ(rig.view.lines.size(), 3u);
}

std::string HalfWrite(int bank, std::uint16_t offset) {
    char text[64];
    std::snprintf(text, sizeof text, "5a00384b45a005%02x%04x0000 out 32768", bank, offset);
    return text;
}

INSTANTIATE_TEST_SUITE_P(
    Families, PollingProcedures,
    testing::Values(PollCase{"A0Poll",
                             FlashFamily::A0Poll,
                             &FlashMtk3Type,
                             4,
                             70000,
                             {BankWrite(0, 65534), BankWrite(1, 4464)},
                             "5a00384b45a005e2"},
                    // The last bank is partial: its second half lies wholly beyond the image.
                    PollCase{"A0_32k",
                             FlashFamily::A0_32k,
                             &FlashMtk6Type,
                             7,
                             70000,
                             {HalfWrite(0, 0), HalfWrite(0, 0x8000), HalfWrite(1, 0),
                              HalfWrite(1, 0x8000)},
                             "5a00384b45a004e2"}),
    [](const auto& info) { return std::string(info.param.name); });

// Every command of every A0 procedure failing in turn, and the drives that never finish: the
// procedure returns exactly the text for that failure and shows nothing else.
struct FaultCase {
    const char* name;
    FlashFamily family;
    FlashResult (*procedure)(FlashJob&);
    std::string faults;
    FlashResult expected;
    bool flashed;  // the drive ends up holding the image
};

const char kTriggerFails[] = R"({"command": "5a:a0", "nth": 3, "sense": "03/0c/00"})";

class A0Faults : public testing::TestWithParam<FaultCase> {};

TEST_P(A0Faults, ReturnTheTextOfTheFailure) {
    const FaultCase& c = GetParam();
    Rig rig(c.family, R"(, "faults": [)" + c.faults + "]");
    const std::uint8_t type = c.family == FlashFamily::A0       ? 1
                              : c.family == FlashFamily::A0Poll ? 4
                                                                : 7;
    rig.MakeImage(2 * kBank, type);
    if (type != 7) {
        rig.KeepOld(65534, kBank);
        rig.KeepOld(kBank + 65534, 2 * kBank);
    }
    rig.SealCheckSum();
    auto job = rig.Job();
    const std::uint64_t start = rig.drives.Now();
    EXPECT_EQ(c.procedure(job), c.expected);
    EXPECT_TRUE(rig.view.boxes.empty());
    EXPECT_EQ(rig.Flash(0, 1000) == rig.Image(0, 1000), c.flashed);
    // Nothing is sent after a refused bank, half or trigger.
    if (c.expected == "Write Buffer Fail !" ||
        (c.expected == "Trigger Fail !\n" && c.faults == kTriggerFails)) {
        EXPECT_EQ(rig.trace.back().substr(0, 12), "5a00384b45a0");
    }
    if (c.expected == "Wait Drive Ready TimeOut !\n" ||
        c.expected == "Flash progress TimeOut !\n") {
        EXPECT_GT(rig.drives.Now() - start, 120000u);
    }
}

const char kBankFails1[] = R"({"command": "5a:a0", "nth": 1, "sense": "03/0c/00"})";
const char kBankFails2[] = R"({"command": "5a:a0", "nth": 2, "sense": "03/0c/00"})";
const char kVendorA3Fails[] = R"({"command": "5a:a3", "sense": "05/24/00"})";
const char kNeverReady[] = R"({"never_ready": true})";
const char kPollMedium[] = R"({"command": "00", "nth": 1, "sense": "03/02/00"})";
const char kPoll0407[] = R"({"command": "00", "nth": 1, "sense": "02/04/07"})";

INSTANTIATE_TEST_SUITE_P(
    Matrix, A0Faults,
    testing::Values(
        FaultCase{"A0A3", FlashFamily::A0, &FlashMtkType, kVendorA3Fails, std::nullopt, true},
        FaultCase{"A0Bank1", FlashFamily::A0, &FlashMtkType, kBankFails1, "Write Buffer Fail !",
                  false},
        FaultCase{"A0Bank2", FlashFamily::A0, &FlashMtkType, kBankFails2, "Write Buffer Fail !",
                  false},
        // A refused trigger: the drive was told nothing to program.
        FaultCase{"A0Trigger", FlashFamily::A0, &FlashMtkType, kTriggerFails, "Trigger Fail !\n",
                  false},
        // A failed wait poll is only a poll: the wait goes on.
        FaultCase{"A0WaitPoll", FlashFamily::A0, &FlashMtkType, kPollMedium, std::nullopt, true},
        FaultCase{"A0NeverReady", FlashFamily::A0, &FlashMtkType, kNeverReady,
                  "Wait Drive Ready TimeOut !\n", false},
        FaultCase{"A0PollA3", FlashFamily::A0Poll, &FlashMtk3Type, kVendorA3Fails, std::nullopt,
                  true},
        FaultCase{"A0PollBank1", FlashFamily::A0Poll, &FlashMtk3Type, kBankFails1,
                  "Write Buffer Fail !", false},
        FaultCase{"A0PollBank2", FlashFamily::A0Poll, &FlashMtk3Type, kBankFails2,
                  "Write Buffer Fail !", false},
        FaultCase{"A0PollTrigger", FlashFamily::A0Poll, &FlashMtk3Type, kTriggerFails,
                  "Trigger Fail !\n", false},
        FaultCase{"A0PollPollOtherSense", FlashFamily::A0Poll, &FlashMtk3Type, kPollMedium,
                  "Trigger Fail !\n", false},
        // a0-poll takes only 2/04/08 as progress.
        FaultCase{"A0PollPollQualifier07", FlashFamily::A0Poll, &FlashMtk3Type, kPoll0407,
                  "Trigger Fail !\n", false},
        FaultCase{"A0PollNeverReady", FlashFamily::A0Poll, &FlashMtk3Type, kNeverReady,
                  "Flash progress TimeOut !\n", false},
        FaultCase{"A0_32kA3", FlashFamily::A0_32k, &FlashMtk6Type, kVendorA3Fails, std::nullopt,
                  true},
        // Either half refused leaves a hole in its bank.
        FaultCase{"A0_32kFirstHalf", FlashFamily::A0_32k, &FlashMtk6Type, kBankFails1,
                  "Write Buffer Fail !", false},
        FaultCase{"A0_32kSecondHalf", FlashFamily::A0_32k, &FlashMtk6Type, kBankFails2,
                  "Write Buffer Fail !", false},
        FaultCase{"A0_32kSecondBankFirstHalf", FlashFamily::A0_32k, &FlashMtk6Type,
                  R"({"command": "5a:a0", "nth": 3, "sense": "03/0c/00"})", "Write Buffer Fail !",
                  false},
        FaultCase{"A0_32kSecondBankSecondHalf", FlashFamily::A0_32k, &FlashMtk6Type,
                  R"({"command": "5a:a0", "nth": 4, "sense": "03/0c/00"})", "Write Buffer Fail !",
                  false},
        FaultCase{"A0_32kTrigger", FlashFamily::A0_32k, &FlashMtk6Type,
                  R"({"command": "5a:a0", "nth": 5, "sense": "03/0c/00"})", "Trigger Fail !\n",
                  false},
        FaultCase{"A0_32kPollOtherSense", FlashFamily::A0_32k, &FlashMtk6Type, kPollMedium,
                  "Trigger Fail !\n", false},
        // a0-32k takes 2/04 with any qualifier.
        FaultCase{"A0_32kPollQualifier07", FlashFamily::A0_32k, &FlashMtk6Type, kPoll0407,
                  std::nullopt, true},
        FaultCase{"A0_32kNeverReady", FlashFamily::A0_32k, &FlashMtk6Type, kNeverReady,
                  "Flash progress TimeOut !\n", false}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace kfs
