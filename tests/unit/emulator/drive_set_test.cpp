#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <sstream>

#include "emulator/emulator.h"

namespace kfs::emu {
namespace {

using Bytes = std::vector<std::uint8_t>;
using Cdb12 = std::array<std::uint8_t, 12>;

// One small drive by default; `fields` adds or overrides keys.
DriveSet One(const std::string& fields = "") {
    return DriveSet::FromJson(
        R"({"drives":[{"vendor":"KEMO","product":"VRZ-3372BL","revision":"1.00",
        "hardware_id":"K1","date_code":"061122","flash_size":262144,"medium":true)" +
        fields + "}]}");
}

Bytes AsBytes(const Sense& s) {
    return Bytes(s.begin(), s.end());
}

struct Reply {
    Outcome outcome;
    Bytes data;
};

Reply In(DriveSet& set, const Cdb12& cdb, std::uint16_t length, std::uint8_t fill = 0xEE) {
    Bytes data(length, fill);
    Outcome o = set.Execute(0, cdb.data(), data.data(), length, kDirIn);
    return {o, data};
}

Outcome None(DriveSet& set, const Cdb12& cdb) {
    return set.Execute(0, cdb.data(), nullptr, 0, 0);
}

std::string Text(const Bytes& b, std::size_t at, std::size_t n) {
    return std::string(b.begin() + static_cast<long>(at), b.begin() + static_cast<long>(at + n));
}

void ExpectSense(const Outcome& o, std::uint8_t key, std::uint8_t asc, std::uint8_t ascq) {
    EXPECT_FALSE(o.good);
    EXPECT_EQ(o.sense, MakeSense(key, asc, ascq));
}

const Cdb12 kTur{};
const Cdb12 kRequestSense = {0x03, 0, 0, 0, 18, 0, 0, 0, 0, 0, 0, 0};
const Cdb12 kLoad = {0x1B, 1, 0, 0, 3, 0, 0, 0, 0, 0, 0, 0};
const Cdb12 kEject = {0x1B, 1, 0, 0, 2, 0, 0, 0, 0, 0, 0, 0};
const Cdb12 kLock = {0x1E, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0};
const Cdb12 kUnlock = {0x1E, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
const Cdb12 kTrayEvent = {0x4A, 1, 0, 0, 0x10, 0, 0, 0, 0x10, 0, 0, 0};
const Cdb12 kMediumEvent = {0x4A, 1, 0, 0, 0x50, 0, 0, 0, 0x10, 0, 0, 0};
const Cdb12 kVendorPage = {0x5A, 0, 0x38, 0x4B, 0x45, 0x10, 0, 0, 0, 4, 0, 0};
const Cdb12 kFeature = {0x5A, 0, 0x34, 0x4B, 0x45, 0x00, 0, 0, 0, 0, 0, 0};
const Cdb12 kGetSum = {0x5A, 0, 0x34, 0x4B, 0x45, 0x0B, 0, 0, 0, 0, 0, 0};

Cdb12 Inquiry(std::uint8_t length) {
    return {0x12, 0, 0, 0, length, 0, 0, 0, 0, 0, 0, 0};
}

TEST(DriveSet, InquiryRepliesCarryTheIdentityAtItsPlaces) {
    auto set = One();
    for (std::uint8_t length : {36, 50, 255}) {
        SCOPED_TRACE(int{length});
        Reply r = In(set, Inquiry(length), length);
        ASSERT_TRUE(r.outcome.good);
        EXPECT_EQ(r.outcome.transferred, std::min<std::uint32_t>(length, kInquirySize));
        EXPECT_EQ(r.data[0], kDeviceTypeCdRom);
        EXPECT_EQ(Text(r.data, 8, 24), "KEMO    VRZ-3372BL      ");
        EXPECT_EQ(Text(r.data, 32, 4), "1.00");
        if (length >= 46) {
            EXPECT_EQ(Text(r.data, 38, 2), "K1");
            EXPECT_EQ(Text(r.data, 40, 6), "061122");
        }
        if (length == 255) {
            EXPECT_EQ(r.data[96], 0xEE);  // beyond the reply: untouched
        }
    }
}

TEST(DriveSet, VendorIdentificationPageAnsweredOrRejected) {
    auto set = One();
    Reply r = In(set, kVendorPage, 20);
    ASSERT_TRUE(r.outcome.good);
    EXPECT_EQ(Text(r.data, 0, 4), "KEMO");
    EXPECT_EQ(Text(r.data, 18, 2), "K1");

    auto without = One(R"(, "vendor_page": false)");
    Reply rejected = In(without, kVendorPage, 20);
    ExpectSense(rejected.outcome, 5, 0x24, 0);
    EXPECT_EQ(rejected.data, Bytes(20, 0xEE));  // no data moved
    ExpectSense(In(without, kFeature, 10).outcome, 5, 0x24, 0);
}

TEST(DriveSet, ReadinessFollowsTrayAndMedium) {
    struct Case {
        const char* fields;
        bool ready;
        std::uint8_t asc, ascq;
    };
    const Case cases[] = {
        {"", true, 0, 0},
        {R"(, "medium": false)", false, 0x3A, 0x01},
        {R"(, "tray_open": true)", false, 0x3A, 0x02},
        {R"(, "faults": [{"never_ready": true}])", false, 0x04, 0x01},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fields);
        auto set = One(c.fields);
        Outcome o = None(set, kTur);
        if (c.ready) {
            EXPECT_TRUE(o.good);
            EXPECT_EQ(o.sense, Sense{});
        } else {
            ExpectSense(o, 2, c.asc, c.ascq);
        }
    }
}

TEST(DriveSet, ClosingTheTrayOnADiscSpinsUpOnTheVirtualClock) {
    auto set = One(R"(, "tray_open": true)");
    ASSERT_TRUE(None(set, kLoad).good);
    ExpectSense(None(set, kTur), 2, 0x04, 0x01);
    set.Advance(1499);
    EXPECT_FALSE(None(set, kTur).good);
    set.Advance(1);
    EXPECT_TRUE(None(set, kTur).good);
}

TEST(DriveSet, RequestSenseReportsTheLastFailureOnceThenThePresentState) {
    auto set = One(R"(, "medium": false)");
    ExpectSense(None(set, Cdb12{0xEE}), 5, 0x20, 0);  // unknown operation code
    Reply first = In(set, kRequestSense, 18);
    ASSERT_TRUE(first.outcome.good);
    EXPECT_EQ(first.outcome.transferred, 18u);
    EXPECT_EQ(first.data, AsBytes(MakeSense(5, 0x20, 0)));
    Reply second = In(set, kRequestSense, 18);
    EXPECT_EQ(second.data, AsBytes(MakeSense(2, 0x3A, 1)));
    set.drive(0).medium = true;
    Reply third = In(set, kRequestSense, 18);
    EXPECT_EQ(third.data, AsBytes(MakeSense(0, 0, 0)));
}

TEST(DriveSet, LockedMediumCannotBeEjectedAndEventsShowTrayAndMedium) {
    auto set = One();
    auto status = [&](const Cdb12& cdb) { return In(set, cdb, 16, 0).data[5]; };
    EXPECT_EQ(status(kTrayEvent), 0x02);  // closed, disc inside
    ASSERT_TRUE(None(set, kLock).good);
    ExpectSense(None(set, kEject), 5, 0x53, 0x02);
    EXPECT_FALSE(set.drive(0).trayOpen);
    ASSERT_TRUE(None(set, kUnlock).good);
    ASSERT_TRUE(None(set, kEject).good);
    EXPECT_EQ(status(kTrayEvent), 0x03);
    set.drive(0).medium = false;  // the user takes the disc
    EXPECT_EQ(status(kMediumEvent), 0x01);
    ASSERT_TRUE(None(set, kLoad).good);
    EXPECT_EQ(status(kMediumEvent), 0x00);
    Reply r = In(set, kMediumEvent, 16, 0);
    EXPECT_EQ(r.data[1], 6);     // event data length
    EXPECT_EQ(r.data[2], 0x04);  // media class
    EXPECT_EQ(r.outcome.transferred, 8u);
}

TEST(DriveSet, FeatureQueryAndCheckSumFollowKeepsChecksum) {
    auto keeps = One(R"(, "keeps_checksum": true, "checksum": 4660)");
    Reply f = In(keeps, kFeature, 10);
    ASSERT_TRUE(f.outcome.good);
    EXPECT_EQ(Text(f.data, 0, 2), "KE");
    EXPECT_EQ(f.data[6] & 0x40, 0x40);
    Reply s = In(keeps, kGetSum, 8);
    ASSERT_TRUE(s.outcome.good);
    EXPECT_EQ(Text(s.data, 0, 2), "KE");
    EXPECT_GE(s.data[2], 5);
    EXPECT_EQ(s.data[6] * 256 + s.data[7], 4660);
    // Set: p in bytes 7-8, q (the check sum the drive will report) in 9-10.
    const Cdb12 set = {0x5A, 0, 0x34, 0x4B, 0x45, 0x0B, 0x01, 0x11, 0x11, 0xAB, 0xCD, 0};
    Bytes ten(10);
    ASSERT_TRUE(keeps.Execute(0, set.data(), ten.data(), 10, kDirOut).good);
    s = In(keeps, kGetSum, 8);
    EXPECT_EQ(s.data[6] * 256 + s.data[7], 0xABCD);

    auto plain = One();
    EXPECT_EQ(In(plain, kFeature, 10).data[6] & 0x40, 0);
    ExpectSense(In(plain, kGetSum, 8).outcome, 5, 0x24, 0);
}

TEST(DriveSet, ReadRomAndVendorBlockReadTheFlash) {
    auto set = One();
    auto& rom = set.drive(0).rom();
    for (std::size_t i = 0; i < rom.size(); ++i) rom[i] = static_cast<std::uint8_t>(i ^ (i >> 16));
    const Cdb12 read = {0x5A, 0, 0x38, 0x4B, 0x45, 0x11, 0x01, 0x00, 0, 0x03, 0x01, 0x00};
    Reply r = In(set, read, 256);
    ASSERT_TRUE(r.outcome.good);
    EXPECT_TRUE(std::equal(r.data.begin(), r.data.end(), rom.begin() + 0x30100));
    const Cdb12 past = {0x5A, 0, 0x38, 0x4B, 0x45, 0x11, 0xFF, 0x80, 0, 0x03, 0x01, 0x00};
    ExpectSense(In(set, past, 256).outcome, 5, 0x21, 0);  // runs past the 256 KB ROM
    const Cdb12 a3 = {0x5A, 0, 0x38, 0x4B, 0x45, 0xA3, 0, 0, 0, 0, 0, 0};
    Reply block = In(set, a3, 65535);
    ASSERT_TRUE(block.outcome.good);
    EXPECT_TRUE(std::equal(block.data.begin(), block.data.end(), rom.begin()));
}

TEST(DriveSet, FaultsFailTheNthMatchingCommandOrEveryOne) {
    auto set = One(R"(, "faults": [{"command": "5a:10", "nth": 2, "sense": "02/04/07"},
                                   {"command": "1e", "nth": 0, "sense": "05/24/00"}])");
    EXPECT_TRUE(In(set, kVendorPage, 20).outcome.good);
    EXPECT_TRUE(In(set, kFeature, 10).outcome.good);  // byte 5 differs: not counted
    ExpectSense(In(set, kVendorPage, 20).outcome, 2, 0x04, 0x07);
    EXPECT_TRUE(In(set, kVendorPage, 20).outcome.good);
    for (int i = 0; i < 3; ++i) ExpectSense(None(set, kLock), 5, 0x24, 0);
    EXPECT_FALSE(set.drive(0).locked);
}

// A command the host's system refuses never reaches the drive: it fails with the errno and no
// sense, and the drive neither acts on it nor keeps sense for REQUEST SENSE. A command carried
// out before it fails does take effect.
TEST(DriveSet, SystemRefusalsAndFailuresAfterTheCommandWasCarriedOut) {
    auto set = One(R"(, "faults": [{"command": "1e", "nth": 1, "errno": 1},
                                   {"command": "1e", "nth": 2, "sense": "06/29/00",
                                    "carried_out": true}])");
    const Outcome refused = None(set, kLock);
    EXPECT_FALSE(refused.good);
    EXPECT_EQ(refused.systemError, 1);
    EXPECT_EQ(refused.sense, Sense{});
    EXPECT_FALSE(set.drive(0).locked);
    EXPECT_EQ(set.drive(0).pendingSense, Sense{});
    ExpectSense(None(set, kLock), 6, 0x29, 0);
    EXPECT_TRUE(set.drive(0).locked);
}

// A hung command: no answer, nothing carried out, no sense left for REQUEST SENSE; the next one
// is answered as usual.
TEST(DriveSet, CommandNeverAnsweredIsNotCarriedOut) {
    auto set = One(R"(, "faults": [{"command": "1e", "nth": 1, "no_answer": true}])");
    const Outcome hung = None(set, kLock);
    EXPECT_FALSE(hung.good);
    EXPECT_TRUE(hung.unanswered);
    EXPECT_EQ(hung.systemError, 0);
    EXPECT_FALSE(set.drive(0).locked);
    EXPECT_EQ(set.drive(0).pendingSense, Sense{});
    EXPECT_TRUE(None(set, kLock).good);
    EXPECT_TRUE(set.drive(0).locked);
}

TEST(DriveSet, ShortReplyMovesFewerBytesAndLeavesTheRestOfTheBuffer) {
    auto half = One(R"(, "faults": [{"short_reply": "12"}])");
    Reply r = In(half, Inquiry(36), 36);
    EXPECT_TRUE(r.outcome.good);
    EXPECT_EQ(r.outcome.transferred, 18u);
    EXPECT_EQ(r.data[17], 'R');
    EXPECT_EQ(r.data[18], 0xEE);
    auto four = One(R"(, "faults": [{"short_reply": "5a:10", "bytes": 4}])");
    Reply page = In(four, kVendorPage, 20);
    EXPECT_EQ(Text(page.data, 0, 4), "KEMO");
    EXPECT_EQ(page.data[18], 0xEE);
    EXPECT_EQ(In(four, Inquiry(36), 36).outcome.transferred, 36u);
}

// A fault with "from" strikes only once the drive has received that many commands: what came
// before goes through untouched and counts towards no "nth".
TEST(DriveSet, FaultsHoldFromTheirStartingCommandOn) {
    auto set = One(R"(, "faults": [{"command": "12", "nth": 2, "sense": "03/0c/00", "from": 3},
                                   {"short_reply": "5a:10", "bytes": 4, "from": 5},
                                   {"never_ready": true, "from": 7}])");
    EXPECT_TRUE(In(set, Inquiry(36), 36).outcome.good);  // 1: the fault does not hold yet
    EXPECT_TRUE(In(set, Inquiry(36), 36).outcome.good);  // 2
    EXPECT_TRUE(In(set, Inquiry(36), 36).outcome.good);  // 3: first match from the start point
    ExpectSense(In(set, Inquiry(36), 36).outcome, 3, 0x0C, 0);  // 4: second match
    EXPECT_EQ(set.drive(0).commandCount(), 4u);
    EXPECT_EQ(In(set, kVendorPage, 20).outcome.transferred, 4u);  // 5: short from here on
    EXPECT_TRUE(None(set, kTur).good);                            // 6: still ready
    ExpectSense(None(set, kTur), 2, 0x04, 0x01);                  // 7: never ready again
    ExpectSense(None(set, kTur), 2, 0x04, 0x01);

    // Flash faults count the commands too: a flash completed before the start point is clean.
    auto flash =
        One(R"(, "faults": [{"flip_flash_byte": 16, "from": 2}, {"stay_boot": 5, "from": 2}])");
    Bytes image(64, 0x5A);
    flash.drive(0).CompleteFlash(0, image.data(), image.size());
    EXPECT_EQ(flash.drive(0).rom()[16], 0x5A);
    EXPECT_FALSE(flash.drive(0).bootMode());
    In(flash, Inquiry(36), 36);
    In(flash, Inquiry(36), 36);
    flash.drive(0).CompleteFlash(0, image.data(), image.size());
    EXPECT_EQ(flash.drive(0).rom()[16], 0xA5);
    EXPECT_TRUE(flash.drive(0).bootMode());
}

TEST(DriveSet, CompletedFlashAppliesStayBootAndFlipFaults) {
    auto set = One(R"(, "faults": [{"stay_boot": 2}, {"flip_flash_byte": 4660}])");
    Drive& d = set.drive(0);
    Bytes image(0x10000, 0x5A);
    for (int flash = 1; flash <= 3; ++flash) {
        d.CompleteFlash(0, image.data(), image.size());
        EXPECT_EQ(Text(In(set, Inquiry(36), 36).data, 32, 4), flash <= 2 ? "BOOT" : "1.00");
    }
    EXPECT_EQ(d.flashCount(), 3);
    EXPECT_EQ(d.rom()[4660], 0xA5);
    EXPECT_EQ(d.rom()[4661], 0x5A);
    // Programming a range that does not hold the byte leaves it alone.
    d.CompleteFlash(0x20000, image.data(), image.size());
    EXPECT_EQ(d.rom()[4660], 0xA5);
}

TEST(DriveSet, TheFallbackProtocolRejectsFlashCommandsOnly) {
    auto set = One();
    auto protocol = MakeFlashProtocol("");  // no family of that name: the fallback
    Bytes block(16384);
    auto handle = [&](const Cdb12& cdb, std::uint8_t direction) {
        Command c;
        c.cdb = cdb;
        c.data = block.data();
        c.length = 16384;
        c.direction = direction;
        return protocol->Handle(set.drive(0), c, 0);
    };
    const Cdb12 flashCommands[] = {
        {0x3B, 0x06, 0, 0, 0, 0, 0, 0x40, 0, 0, 0, 0},
        {0x5A, 0, 0x38, 0x4B, 0x45, 0xA0, 5, 0, 0x40, 0, 0, 0},
        {0xFA, 0x34, 0x12, 0xCD, 0xAB, 0x02, 0x01, 0x34, 0x12, 0xCD, 0xAB, 0x05},
    };
    for (const Cdb12& cdb : flashCommands) {
        auto o = handle(cdb, kDirOut);
        ASSERT_TRUE(o.has_value());
        ExpectSense(*o, 5, 0x20, 0);
    }
    EXPECT_FALSE(handle(Inquiry(36), kDirIn).has_value());
    EXPECT_FALSE(handle(kVendorPage, kDirIn).has_value());
}

// A flash smaller than the trigger's 128 data bytes cannot hold what the trigger repeats: the
// drive refuses it instead of comparing past its staging.
TEST(DriveSet, A0TriggerOnAFlashSmallerThanItsDataIsRefused) {
    auto set = One(R"(, "flash_size": 64)");
    Bytes bank = {0x12, 0x34};
    const Cdb12 write = {0x5A, 0, 0x38, 0x4B, 0x45, 0xA0, 0x05, 0, 0x00, 0x02, 0, 0};
    ASSERT_TRUE(set.Execute(0, write.data(), bank.data(), 2, kDirOut).good);
    Bytes head(128, 0);
    head[0] = 0x12;
    head[1] = 0x34;
    const Cdb12 trigger = {0x5A, 0, 0x38, 0x4B, 0x45, 0xA0, 0x04, 0xE1, 0x00, 0x80, 0x00, 0x46};
    ExpectSense(set.Execute(0, trigger.data(), head.data(), 128, kDirOut), 5, 0x26, 0);
}

// Only data in comes back: a reply to a command sent with another direction stays in the drive.
TEST(DriveSet, CommandsWithoutDataInLeaveTheCallersBufferAlone) {
    auto set = One();
    for (std::uint8_t direction : {kDirOut, std::uint8_t{0}}) {
        Bytes data(96, 0xEE);
        set.Execute(0, Inquiry(96).data(), data.data(), 96, direction);
        set.Execute(0, kRequestSense.data(), data.data(), 18, direction);
        EXPECT_EQ(data, Bytes(96, 0xEE)) << int{direction};
    }
}

TEST(DriveSet, IndexOutOfRangeFailsWithoutTrace) {
    auto set = One();
    int lines = 0;
    set.SetTrace([&](const std::string&) { ++lines; });
    ExpectSense(set.Execute(1, kTur.data(), nullptr, 0, 0), 5, 0x25, 0);
    ExpectSense(set.Execute(-1, kTur.data(), nullptr, 0, 0), 5, 0x25, 0);
    EXPECT_EQ(lines, 0);
}

TEST(DriveSet, TraceOfAScriptedSequenceMatchesTheCommandsLineForLine) {
    auto set = One(R"(, "keeps_checksum": true)");
    struct Step {
        Cdb12 cdb;
        std::uint8_t direction;
        std::uint16_t length;
    };
    const Step script[] = {
        {kVendorPage, kDirIn, 20},
        {Inquiry(255), kDirIn, 255},
        {kTur, 0, 0},
        {kLock, 0, 0},
        {kEject, 0, 0},  // fails (locked): still traced
        {{0x5A, 0, 0x34, 0x4B, 0x45, 0x0B, 0x01, 0x12, 0x34, 0xAB, 0xCD, 0}, kDirOut, 10},
        {{0x5A, 0, 0x38, 0x4B, 0x45, 0x11, 0x01, 0x00, 0, 0x03, 0x01, 0x00}, kDirIn, 256},
        {kTur, 0x18, 0},  // neither in nor out
    };
    std::string path = std::string(KFS_BINARY_DIR) + "/emulator_trace_test.txt";
    std::remove(path.c_str());
    ASSERT_TRUE(set.SetTraceFile(path));
    Bytes buffer(256);
    for (const Step& s : script) set.Execute(0, s.cdb.data(), buffer.data(), s.length, s.direction);
    ASSERT_TRUE(set.SetTraceFile(""));

    std::ifstream in(path);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    std::remove(path.c_str());
    const std::vector<std::string> expected = {
        "5a00384b4510000000040000 in 20",  "12000000ff00000000000000 in 255",
        "000000000000000000000000 none 0", "1e0000000100000000000000 none 0",
        "1b0100000200000000000000 none 0", "5a00344b450b011234abcd00 out 10",
        "5a00384b4511010000030100 in 256", "000000000000000000000000 none 0",
    };
    EXPECT_EQ(lines, expected);
}

TEST(DriveSet, RunsAreReproducible) {
    const char* text = R"({"drives":[{"flash_size":4096,"seed":7},{"flash_size":4096,"seed":8}]})";
    auto a = DriveSet::FromJson(text), b = DriveSet::FromJson(text);
    EXPECT_EQ(a.drive(0).rom(), b.drive(0).rom());
    EXPECT_NE(a.drive(0).rom(), a.drive(1).rom());
}

// The unprogrammed ROM is the xorshift sequence of the seed, least significant byte first; a size
// that is no multiple of four ends with the first bytes of the next word.
TEST(DriveSet, UnprogrammedRomFollowsTheSeed) {
    auto set = DriveSet::FromJson(R"({"drives":[{"flash_size":6,"seed":1}]})");
    const std::vector<std::uint8_t> expected = {0x21, 0x20, 0x04, 0x00, 0x01, 0x06};
    EXPECT_EQ(set.drive(0).rom(), expected);
}

}  // namespace
}  // namespace kfs::emu
