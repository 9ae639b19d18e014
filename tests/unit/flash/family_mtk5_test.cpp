#include "flash/family_mtk5.h"

#include <gtest/gtest.h>

#include "drive/identification.h"
#include "flash/verify.h"
#include "mtk5_rig.h"
#include "support/fake_transport.h"

namespace kfs {
namespace {

using test::FailRule;
using test::FakeTransport;
using test::Mtk5Rig;

constexpr std::size_t kMB = 1024 * 1024;
const char kWriteBufferFail[] = "Write Buffer Fail !";
const char kTriggerFail[] = "Trigger Fail !\n";

// The 3Bh commands of a run, in order, as (mode, byte 2, byte 3, offset within the bank).
struct WriteCommand {
    int mode, id, bank, offset;
    bool operator==(const WriteCommand&) const = default;
};

std::vector<WriteCommand> Writes(const std::vector<Cdb>& sent) {
    std::vector<WriteCommand> out;
    for (const Cdb& c : sent)
        if (c[0] == 0x3B)
            out.push_back({c[1], c[2], c[3], c[4] << 8 | c[5]});
    return out;
}

std::vector<WriteCommand> Pass(int firstBank, bool upper) {
    std::vector<WriteCommand> out{{1, 1, 0, 0}};
    for (int k = firstBank; k < firstBank + 16; ++k)
        for (int g = 0; g < 4; ++g) out.push_back({6, 0, k, g * 0x4000});
    out.push_back({1, 0, 0, 0});
    out.push_back({7, 0, upper ? 0x10 : 0, 0});
    return out;
}

TEST(FlashMtk5Type, TwoMegabytesGoInTwoPassesUpperFirstAndVerify) {
    Mtk5Rig rig(2 * kMB);
    ASSERT_EQ(FlashMtk5Type(rig.job), std::nullopt);

    std::vector<WriteCommand> expected = Pass(16, true);
    for (const WriteCommand& w : Pass(0, false)) expected.push_back(w);
    EXPECT_EQ(Writes(rig.transport.sent), expected);
    for (const Cdb& c : rig.transport.sent) {
        if (c[0] == 0x3B && c[1] == 0x07) {
            EXPECT_EQ(c[6], 0x10);  // parameter list length 100000h
        }
        if (c[0] == 0x03) {
            EXPECT_EQ(c[3], 0x10);  // every sense request of a two-pass flash asks the upper half
        }
    }
    int acknowledgements = 0;
    for (const Cdb& c : rig.transport.sent) acknowledgements += test::IsAcknowledge(c);
    EXPECT_EQ(acknowledgements, 1);

    EXPECT_TRUE(rig.FlashHoldsImage());
    EXPECT_EQ(GetDriveVersion(rig.transport, 0), "K9Z1");
    EXPECT_EQ(GetDriveModelName(rig.transport, 0), "KEMO    VRZ-3372BL      ");
    EXPECT_EQ(GetDriveDateCode(rig.transport, 0), "250101");
    EXPECT_TRUE(VerifyFlash(rig.job, ExpectedCheckSum(rig.job), false));
    EXPECT_TRUE(rig.view.boxes.empty());
}

TEST(FlashMtk5Type, OneMegabyteGoesInOnePassAndIsAcknowledgedOnce) {
    Mtk5Rig rig(kMB);
    ASSERT_EQ(FlashMtk5Type(rig.job), std::nullopt);
    EXPECT_EQ(Writes(rig.transport.sent), Pass(0, false));

    // Sense requests ask the lower half; the one after the counter reached 16 acknowledges.
    std::vector<Cdb> requests;
    for (const Cdb& c : rig.transport.sent)
        if (c[0] == 0x03)
            requests.push_back(c);
    ASSERT_GE(requests.size(), 2u);
    for (std::size_t i = 0; i < requests.size(); ++i) {
        EXPECT_EQ(requests[i][3], 0x00);
        EXPECT_EQ(requests[i][5], i + 1 == requests.size() ? 0x80 : 0x00) << i;
    }
    EXPECT_EQ(rig.view.lines,
              (std::vector<std::string>{"WARNING !!!", "Please wait for the accomplishment!",
                                        "Flashing is processing..."}));
    EXPECT_TRUE(rig.FlashHoldsImage());
    EXPECT_EQ(GetDriveVersion(rig.transport, 0), "K9Z1");
    EXPECT_TRUE(VerifyFlash(rig.job, ExpectedCheckSum(rig.job), false));
}

TEST(FlashMtk5Type, ProgressFollowsTheBankCounterAndNeverMovesBack) {
    Mtk5Rig rig(2 * kMB);
    ASSERT_EQ(FlashMtk5Type(rig.job), std::nullopt);
    const std::vector<std::uint32_t>& p = rig.view.progress;
    ASSERT_FALSE(p.empty());
    EXPECT_EQ(p.front(), 0u);
    EXPECT_EQ(p.back(), kProgressMax);
    for (std::size_t i = 1; i < p.size(); ++i) EXPECT_LE(p[i - 1], p[i]) << i;
    // Counter 24 in the upper pass, counter 8 in the lower one.
    EXPECT_NE(std::find(p.begin(), p.end(), 16384u), p.end());
    EXPECT_NE(std::find(p.begin(), p.end(), 49152u), p.end());
}

TEST(FlashMtk5Type, ImagesThatAreNeitherOneNorTwoMegabytesOfBanksAreRefusedUntouched) {
    for (std::size_t length : {std::size_t{17} * 65536, std::size_t{31} * 65536 + 100,
                               std::size_t{33} * 65536, std::size_t{60000}}) {
        FakeTransport t;
        VirtualClock clock;
        test::RecordingView view;
        std::vector<std::uint8_t> image(length);
        SKFSParameter container;
        FlashJob job{t, clock, view, 0, image, container};
        EXPECT_EQ(FlashMtk5Type(job), kWriteBufferFail) << length;
        EXPECT_TRUE(t.sent.empty()) << length;
    }
}

TEST(FlashMtk5Type, ATailShorterThanABankIsNotWritten) {
    Mtk5Rig rig(2 * kMB + 300);
    ASSERT_EQ(FlashMtk5Type(rig.job), std::nullopt);
    EXPECT_EQ(Writes(rig.transport.sent).size(), 2 * (16 * 4 + 3u));
    EXPECT_TRUE(
        std::equal(rig.image.begin(), rig.image.begin() + 2 * kMB, rig.drive().rom().begin()));
}

// A block that fails costs 500 ms before it is sent again; the budget of ten retries is refilled
// by every block that gets through.
TEST(FlashMtk5Type, RetryBudgetOfTheBlockWrites) {
    Mtk5Rig clean(kMB);
    ASSERT_EQ(FlashMtk5Type(clean.job), std::nullopt);
    const std::uint64_t cleanTime = clean.drives.Now();

    struct Case {
        std::vector<std::pair<int, int>> failing;  // ranges of block-write attempts that fail
        std::optional<std::string> result;
        std::uint64_t extraMs;
    };
    const Case cases[] = {
        {{{1, 2}}, std::nullopt, 1000},
        {{{1, 10}}, std::nullopt, 5000},
        {{{1, 10}, {12, 21}}, std::nullopt, 10000},  // refilled after the first block
        {{{1, 11}}, kWriteBufferFail, 0},
        {{{40, 50}}, kWriteBufferFail, 0},
    };
    for (const Case& c : cases) {
        Mtk5Rig rig(kMB);
        for (auto [from, to] : c.failing)
            rig.transport.rules.push_back(test::FailRule(test::IsBlockWrite, from, to));
        EXPECT_EQ(FlashMtk5Type(rig.job), c.result) << c.failing.front().first;
        if (!c.result) {
            EXPECT_EQ(rig.drives.Now() - cleanTime, c.extraMs);
            EXPECT_TRUE(rig.FlashHoldsImage());
        }
    }
}

// A view that keeps every line, also those cleared away.
struct LoggingView : test::RecordingView {
    void AddLine(const std::string& line) override {
        RecordingView::AddLine(line);
        log.push_back(line);
    }
    std::vector<std::string> log;
};

TEST(FlashMtk5Type, ADriveThatStaysInBootIsFlashedThreeTimesAtMost) {
    const std::vector<std::string> opening = {"WARNING !!!", "Please wait for the accomplishment!",
                                              "Flashing is processing..."};
    for (int stays : {2, 3}) {
        Mtk5Rig rig(2 * kMB, R"(, "faults":[{"stay_boot":)" + std::to_string(stays) + "}]");
        LoggingView view;
        FlashJob job{rig.transport, rig.clock, view, 0, rig.image, rig.container};
        const FlashResult result = FlashMtk5Type(job);
        EXPECT_EQ(rig.drive().flashCount(), 3);
        EXPECT_EQ(view.clears, 2);
        std::vector<std::string> expected = opening;
        for (const char* n : {"1", "2"}) {
            expected.push_back("Last flash fail !");
            expected.push_back(std::string("retrying flash ") + n + " time(s)\n");
            expected.insert(expected.end(), opening.begin(), opening.end());
        }
        EXPECT_EQ(view.log, expected);
        if (stays == 3) {
            EXPECT_EQ(result, "Flash Error!");
        } else {
            EXPECT_EQ(result, std::nullopt);
            EXPECT_EQ(GetDriveVersion(rig.transport, 0), "K9Z1");
        }
    }
}

TEST(FlashMtk5Type, ADriveThatNeverBecomesReadyTimesOutAfterTwoMinutes) {
    Mtk5Rig rig(2 * kMB, R"(, "faults":[{"never_ready":true}])");
    EXPECT_EQ(FlashMtk5Type(rig.job), "Wait Drive Ready TimeOut !\n");
    // Sixteen banks of programming, then more than 120 s of waiting.
    EXPECT_GT(rig.drives.Now(), 120000u + 16000u);
    EXPECT_LT(rig.drives.Now(), 150000u);
}

// REQUEST SENSE replies that come short while the drive programs: what did not arrive must not
// read as "no sense", the end of programming. An unreadable reply is asked again after the poll's
// pause, so the poll runs into its time limit; a reply that carries the key but not the code is
// no progress.
TEST(FlashMtk5Type, ShortSenseRepliesNeverReadAsTheEndOfProgramming) {
    const std::pair<int, const char*> cases[] = {
        {0, "Flash progress TimeOut !\n"},
        {2, "Flash progress TimeOut !\n"},
        {7, "Flash progress TimeOut !\n"},
        {11, "Trigger Fail !\n"},
    };
    for (const auto& [bytes, result] : cases) {
        SCOPED_TRACE(bytes);
        Mtk5Rig rig(kMB,
                    R"(, "faults":[{"short_reply":"03", "bytes":)" + std::to_string(bytes) + "}]");
        EXPECT_EQ(FlashMtk5Type(rig.job), result);
    }
}

TEST(FlashMtk5Type, ADriveThatKeepsACheckSumIsGivenTheImagesSums) {
    Mtk5Rig rig(2 * kMB, R"(, "keeps_checksum":true)");
    ASSERT_EQ(FlashMtk5Type(rig.job), std::nullopt);
    EXPECT_EQ(rig.drive().checksum, ExpectedCheckSum(rig.job));
    EXPECT_TRUE(VerifyFlash(rig.job, ExpectedCheckSum(rig.job), false));

    // The drive checks the header sum against what its flash holds.
    Mtk5Rig flipped(2 * kMB, R"(, "keeps_checksum":true, "faults":[{"flip_flash_byte":4096}])");
    EXPECT_EQ(FlashMtk5Type(flipped.job), "flash fail !\n");
}

TEST(FlashMtk5Type, AFlippedFlashByteFailsReadBackVerification) {
    Mtk5Rig rig(2 * kMB, R"(, "faults":[{"flip_flash_byte":1500000}])");
    ASSERT_EQ(FlashMtk5Type(rig.job), std::nullopt);
    EXPECT_FALSE(VerifyFlash(rig.job, ExpectedCheckSum(rig.job), false));
    ASSERT_EQ(rig.view.boxes.size(), 1u);
    EXPECT_EQ(rig.view.boxes[0].text, "Flash Verify Error!");
    EXPECT_EQ(rig.view.boxes[0].caption, "Error");
}

// Sense answers a drive can give while programming, and where they lead.
TEST(FlashMtk5Type, PollingJudgesTheSenseData) {
    struct Case {
        SenseData sense;
        std::optional<std::string> result;
    };
    const Case cases[] = {
        {FakeTransport::Sense(0x03, 0x11, 0x00), "Trigger Fail !\n"},
        {FakeTransport::Sense(0x02, 0x04, 0x01), "Trigger Fail !\n"},
        // Still programming at bank 20 of 32 and never further.
        {[] {
             SenseData s = FakeTransport::Sense(0x02, 0x04, 0x08);
             s[4] = 20;
             return s;
         }(),
         "Flash progress TimeOut !\n"},
        // The drive has reset: both passes count as finished.
        {FakeTransport::Sense(0x06, 0x29, 0x00), std::nullopt},
        {FakeTransport::Sense(0x02, 0x3A, 0x00), std::nullopt},
    };
    // A drive that answers every REQUEST SENSE with the same sense data.
    struct SameSense : FakeTransport {
        SenseData reply{};
        CommandResult Execute(DriveIndex drive, const Cdb& cdb, std::uint8_t* buffer,
                              std::uint16_t length, std::uint8_t direction,
                              std::uint32_t timeoutMs) override {
            const CommandResult ok =
                FakeTransport::Execute(drive, cdb, buffer, length, direction, timeoutMs);
            if (cdb[0] == 0x03 && buffer)
                std::memcpy(buffer, reply.data(), std::min<std::size_t>(length, reply.size()));
            return ok;
        }
    };
    for (const Case& c : cases) {
        SameSense t;
        t.reply = c.sense;
        VirtualClock clock;
        test::RecordingView view;
        std::vector<std::uint8_t> image(2 * kMB);
        SKFSParameter container;
        FlashJob job{t, clock, view, 0, image, container};
        EXPECT_EQ(FlashMtk5Type(job), c.result) << int(c.sense[2]) << " " << int(c.sense[12]);
        if (c.result == "Flash progress TimeOut !\n") {
            EXPECT_GT(clock.NowMs(), 120000u);
            EXPECT_LE(clock.NowMs(), 121000u);
        }
    }
}

// Every command of the procedure failing in turn, on a drive that keeps a check sum.
TEST(FlashMtk5Type, FaultMatrix) {
    using namespace test;
    auto readFeatureReplyWithoutCheckSum = [](std::uint8_t* reply) { reply[6] = 0; };
    auto otherCheckSum = [](std::uint8_t* reply) { reply[7] ^= 0x01; };
    struct Case {
        const char* name;
        FailRule rule;
        std::optional<std::string> result;
        bool flashHoldsImage;
    };
    const Case cases[] = {
        {"download mode on",
         {[](const Cdb& c) { return IsDownloadMode(c, 1); }},
         kWriteBufferFail,
         false},
        {"download mode off",
         {[](const Cdb& c) { return IsDownloadMode(c, 0); }},
         std::nullopt,
         true},
        {"one block", {IsBlockWrite, 70, 70}, std::nullopt, true},
        {"every block", {IsBlockWrite, 1, 0}, kWriteBufferFail, false},
        // A start of programming the drive refuses ends the update there.
        {"first trigger", {IsStartFlashWrite, 1, 1}, kTriggerFail, false},
        {"second trigger", {IsStartFlashWrite, 2, 2}, kTriggerFail, false},
        {"one sense request", {IsFlashSense, 3, 3}, std::nullopt, true},
        {"one acknowledgement", {IsAcknowledge, 1, 1}, std::nullopt, true},
        {"every acknowledgement", {IsAcknowledge, 1, 0}, "Flash progress TimeOut !\n", true},
        {"every ready test",
         {[](const Cdb& c) { return c[0] == 0x00; }, 1, 0},
         "Wait Drive Ready TimeOut !\n",
         false},
        {"version read", {[](const Cdb& c) { return c[0] == 0x12; }}, std::nullopt, true},
        {"feature query",
         {[](const Cdb& c) { return IsVendor(c, 0x34, 0x00); }},
         std::nullopt,
         true},
        {"feature query without check sum",
         {[](const Cdb& c) { return IsVendor(c, 0x34, 0x00); }, 1, 1,
          readFeatureReplyWithoutCheckSum},
         std::nullopt,
         true},
        {"set check sum",
         {[](const Cdb& c) { return IsVendor(c, 0x34, 0x0B, 1); }},
         "flash fail !\n",
         true},
        {"get check sum",
         {[](const Cdb& c) { return IsVendor(c, 0x34, 0x0B, 0); }},
         "Get CheckSum Error!",
         true},
        {"other check sum",
         {[](const Cdb& c) { return IsVendor(c, 0x34, 0x0B, 0); }, 1, 1, otherCheckSum},
         "CheckSum Error!",
         true},
    };
    for (const Case& c : cases) {
        Mtk5Rig rig(2 * kMB, R"(, "keeps_checksum":true, "medium":true)");
        rig.transport.rules.push_back(c.rule);
        EXPECT_EQ(FlashMtk5Type(rig.job), c.result) << c.name;
        EXPECT_EQ(rig.FlashHoldsImage(), c.flashHoldsImage) << c.name;
        EXPECT_TRUE(rig.view.boxes.empty()) << c.name;
    }
}

}  // namespace
}  // namespace kfs
