#include "flash/flash_commands.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "support/fake_transport.h"

namespace kfs {
namespace {

using test::FakeTransport;

struct CdbCase {
    std::string name;
    std::function<void(Transport&, std::vector<std::uint8_t>&)> run;
    Cdb cdb;
    std::uint8_t direction;
    std::uint16_t length;
    std::uint32_t timeoutMs = kDefaultTimeoutMs;
};

TEST(FlashCommands, EachOperationSendsItsCdbDirectionLengthAndTimeout) {
    const std::vector<CdbCase> cases = {
        {"TestUnitReady",
         [](Transport& t, auto&) { TestUnitReady(t, 0); },
         {0x00, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0},
         kDirNone,
         0},
        {"RequestFlashSense upper",
         [](Transport& t, auto& b) { RequestFlashSense(t, 0, b.data(), true, false); },
         {0x03, 0, 0, 0x10, 0x12, 0x00, 0, 0, 0, 0, 0, 0},
         kDirIn,
         18},
        {"RequestFlashSense acknowledge",
         [](Transport& t, auto& b) { RequestFlashSense(t, 0, b.data(), false, true); },
         {0x03, 0, 0, 0x00, 0x12, 0x80, 0, 0, 0, 0, 0, 0},
         kDirIn,
         18},
        {"QueryFlashFeature",
         [](Transport& t, auto& b) { QueryFlashFeature(t, 0, b.data(), FeatureCheckSum); },
         {0x5A, 0, 0x34, 0x4B, 0x45, 0x00, 0, 0, 0, 0, 0, 0},
         kDirIn,
         10},
        {"GetDriveCheckSum",
         [](Transport& t, auto& b) { GetDriveCheckSum(t, 0, b.data()); },
         {0x5A, 0, 0x34, 0x4B, 0x45, 0x0B, 0x00, 0, 0, 0, 0, 0},
         kDirIn,
         8},
        {"SetDriveCheckSum",
         [](Transport& t, auto&) { SetDriveCheckSum(t, 0, 0x1234, 0xABCD); },
         {0x5A, 0, 0x34, 0x4B, 0x45, 0x0B, 0x01, 0x12, 0x34, 0xAB, 0xCD, 0},
         kDirOut,
         10},
        {"SetMediumLock on",
         [](Transport& t, auto&) { SetMediumLock(t, 0, true); },
         {0x1E, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0},
         kDirNone,
         0},
        {"SetMediumLock off",
         [](Transport& t, auto&) { SetMediumLock(t, 0, false); },
         {0x1E, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0},
         kDirNone,
         0},
        {"SendPhilipsBlock",
         [](Transport& t, auto& b) { SendPhilipsBlock(t, 0, b.data(), 2, 5, 0x1234, 0xABCD); },
         {0xFA, 0x34, 0x12, 0xCD, 0xAB, 0x02, 0x01, 0x34, 0x12, 0xCD, 0xAB, 0x05},
         kDirOut,
         16384},
        {"LoadTray",
         [](Transport& t, auto&) { LoadTray(t, 0); },
         {0x1B, 0x01, 0, 0, 0x03, 0, 0, 0, 0, 0, 0, 0},
         kDirNone,
         0},
        {"EjectTray",
         [](Transport& t, auto&) { EjectTray(t, 0); },
         {0x1B, 0x01, 0, 0, 0x02, 0, 0, 0, 0, 0, 0, 0},
         kDirNone,
         0},
        {"IsTrayOpen",
         [](Transport& t, auto&) { IsTrayOpen(t, 0); },
         {0x4A, 0x01, 0, 0, 0x10, 0, 0, 0, 0x10, 0, 0, 0},
         kDirIn,
         16},
        {"IsMediumPresent",
         [](Transport& t, auto&) { IsMediumPresent(t, 0); },
         {0x4A, 0x01, 0, 0, 0x50, 0, 0, 0, 0x10, 0, 0, 0},
         kDirIn,
         16},
        {"ReadRom 256 bytes at 0100h of bank 3",
         [](Transport& t, auto& b) { ReadRom(t, 0, b.data(), 0x0100, 3, 256); },
         {0x5A, 0, 0x38, 0x4B, 0x45, 0x11, 0x01, 0x00, 0x00, 0x03, 0x01, 0x00},
         kDirIn,
         256},
        {"ReadVendorBlockA3",
         [](Transport& t, auto& b) { ReadVendorBlockA3(t, 0, b.data()); },
         {0x5A, 0, 0x38, 0x4B, 0x45, 0xA3, 0, 0, 0, 0, 0, 0},
         kDirIn,
         65535},
        {"WriteBufferAt 4000h bytes, bank 17, offset C000h",
         [](Transport& t, auto& b) { WriteBufferAt(t, 0, b.data(), 0x4000, 17, 0xC000); },
         {0x3B, 0x06, 0, 0x11, 0xC0, 0x00, 0, 0x40, 0x00, 0, 0, 0},
         kDirOut,
         0x4000},
        {"StartFlashWrite upper",
         [](Transport& t, auto&) { StartFlashWrite(t, 0, true); },
         {0x3B, 0x07, 0, 0x10, 0, 0, 0x10, 0, 0, 0, 0, 0},
         kDirNone,
         0,
         kLongTimeoutMs},
        {"StartFlashWrite lower",
         [](Transport& t, auto&) { StartFlashWrite(t, 0, false); },
         {0x3B, 0x07, 0, 0x00, 0, 0, 0x10, 0, 0, 0, 0, 0},
         kDirNone,
         0,
         kLongTimeoutMs},
        {"SetDownloadMode 1",
         [](Transport& t, auto&) { SetDownloadMode(t, 0, 1); },
         {0x3B, 0x01, 0x01, 0, 0, 0, 0, 0, 0, 0, 0, 0},
         kDirNone,
         0},
        {"SaveBufferToFlash bank 1",
         [](Transport& t, auto&) { SaveBufferToFlash(t, 0, 1); },
         {0x3B, 0x07, 0, 0x01, 0, 0, 0, 0, 0, 0, 0, 0},
         kDirNone,
         0},
        {"WriteA0Bank 9C42h bytes of bank 2",
         [](Transport& t, auto& b) { WriteA0Bank(t, 0, b.data(), 0x9C42, 2, 0x9C42); },
         {0x5A, 0, 0x38, 0x4B, 0x45, 0xA0, 0x05, 0x02, 0x9C, 0x42, 0, 0},
         kDirOut,
         0x9C42},
        {"WriteA0Bank upper half of bank 1",
         [](Transport& t, auto& b) { WriteA0Bank(t, 0, b.data(), 0x8000, 1, 0x8000); },
         {0x5A, 0, 0x38, 0x4B, 0x45, 0xA0, 0x05, 0x01, 0x80, 0x00, 0, 0},
         kDirOut,
         0x8000},
        {"TriggerA0 05h after 3 banks",
         [](Transport& t, auto& b) { TriggerA0(t, 0, b.data(), 0x05, 3, 0xBEEF); },
         {0x5A, 0, 0x38, 0x4B, 0x45, 0xA0, 0x05, 0xE3, 0x00, 0x80, 0xBE, 0xEF},
         kDirOut,
         128,
         kLongTimeoutMs},
        {"SendAliBlock 2 of 7",
         [](Transport& t, auto& b) { SendAliBlock(t, 0, b.data(), 0x1234, 0xABCD, 2, 7); },
         {0xFD, 0x07, 0x4B, 0x45, 0x4D, 0x4F, 0x12, 0x34, 0xAB, 0xCD, 0x02, 0x07},
         kDirOut,
         16384,
         kLongTimeoutMs},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FakeTransport t;
        std::vector<std::uint8_t> buffer(65536);
        c.run(t, buffer);
        ASSERT_EQ(t.sent.size(), 1u);
        EXPECT_EQ(t.sent[0].cdb, c.cdb);
        EXPECT_EQ(t.sent[0].direction, c.direction);
        EXPECT_EQ(t.sent[0].length, c.length);
        EXPECT_EQ(t.sent[0].timeoutMs, c.timeoutMs);
    }
}

TEST(FlashCommands, QueryFlashFeatureReadsTheBitOfItsFeature) {
    struct Case {
        int feature;
        std::vector<std::uint8_t> reply;
        bool ok;
        bool expected;
    };
    const std::vector<std::uint8_t> ke = {0x4B, 0x45};
    const std::vector<Case> cases = {
        {13, {0x4B, 0x45, 0, 0, 0, 0, 0x40}, true, true},
        {13, {0x4B, 0x45, 0, 0, 0, 0xFF, 0x3F}, true, false},
        {13, {0x4B, 0x44, 0, 0, 0, 0, 0x40}, true, false},   // no "KE" signature
        {13, {0x4B, 0x45, 0, 0, 0, 0, 0x40}, false, false},  // command failed
        {0, {0x4B, 0x45}, true, true},
        {0, {}, true, false},  // nothing transferred: the cleared buffer has no signature
        {1, {0x4B, 0x45, 0, 0, 0, 0x01, 0}, true, true},
        {8, {0x4B, 0x45, 0, 0, 0, 0x80, 0}, true, true},
        {8, {0x4B, 0x45, 0, 0, 0, 0x7F, 0xFF}, true, false},
        {9, {0x4B, 0x45, 0, 0, 0, 0, 0x01}, true, true},
        {12, {0x4B, 0x45, 0, 0, 0, 0, 0x08}, true, true},
        {12, {0x4B, 0x45, 0, 0, 0, 0xFF, 0xF7}, true, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("feature " + std::to_string(c.feature));
        FakeTransport t;
        t.replies.push_back({c.ok, c.reply, {}});
        std::vector<std::uint8_t> reply(256, 0xEE);  // stale content must not count
        EXPECT_EQ(QueryFlashFeature(t, 0, reply.data(), c.feature), c.expected);
    }
}

TEST(FlashCommands, QueryFlashFeatureOutsideZeroToThirteenSendsNothing) {
    for (int feature : {-1, 14, 255}) {
        FakeTransport t;
        std::uint8_t reply[10];
        EXPECT_FALSE(QueryFlashFeature(t, 0, reply, feature));
        EXPECT_TRUE(t.sent.empty());
    }
}

TEST(FlashCommands, GetDriveCheckSumNeedsSignatureAndByteTwoAtLeastFive) {
    struct Case {
        std::vector<std::uint8_t> reply;
        bool ok;
        bool expected;
    };
    const std::vector<Case> cases = {
        {{0x4B, 0x45, 5, 0, 0, 0, 0x12, 0x34}, true, true},
        {{0x4B, 0x45, 9, 0, 0, 0, 0x12, 0x34}, true, true},
        {{0x4B, 0x45, 4, 0, 0, 0, 0x12, 0x34}, true, false},
        {{0x4B, 0x00, 5, 0, 0, 0, 0x12, 0x34}, true, false},
        {{0x4B, 0x45, 5, 0, 0, 0, 0x12, 0x34}, false, true},  // only the reply counts
        {{}, false, false},
    };
    for (const Case& c : cases) {
        FakeTransport t;
        t.replies.push_back({c.ok, c.reply, {}});
        std::uint8_t reply[8];
        std::memset(reply, 0xFF, sizeof reply);
        EXPECT_EQ(GetDriveCheckSum(t, 0, reply), c.expected);
        if (c.expected) {
            EXPECT_EQ(reply[6] * 256 + reply[7], 0x1234);
        }
    }
}

TEST(FlashCommands, TrayAndMediumComeFromByteFiveOfTheEventReply) {
    struct Case {
        std::uint8_t status;
        bool open;
        bool medium;
    };
    for (const Case& c : {Case{0x00, false, false}, Case{0x01, true, false},
                          Case{0x02, false, true}, Case{0x03, true, true}}) {
        FakeTransport t;
        std::vector<std::uint8_t> reply = {0, 6, 4, 0x50, 0, c.status, 0, 0};
        t.replies.push_back({true, reply, {}});
        t.replies.push_back({true, reply, {}});
        EXPECT_EQ(IsTrayOpen(t, 0), c.open);
        EXPECT_EQ(IsMediumPresent(t, 0), c.medium);
    }
}

TEST(FlashCommands, OperationsReportTheTransportResultAndInvalidIndexSendsNothing) {
    FakeTransport t;
    t.replies.push_back({false, {}, FakeTransport::Sense(2, 0x3A)});
    EXPECT_FALSE(TestUnitReady(t, 0));
    EXPECT_TRUE(LoadTray(t, 0));
    EXPECT_FALSE(EjectTray(t, 1));
    EXPECT_EQ(t.sent.size(), 2u);
}

TEST(FlashCommands, WriteBufferAtAndPhilipsBlockSendTheCallersBytes) {
    FakeTransport t;
    std::vector<std::uint8_t> data(16384);
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i * 7);
    WriteBufferAt(t, 0, data.data(), 16384, 0, 0x4000);
    SendPhilipsBlock(t, 0, data.data(), 0, 1, 0, 0);
    ASSERT_EQ(t.sent.size(), 2u);
    EXPECT_EQ(t.sent[0].dataOut, data);
    EXPECT_EQ(t.sent[1].dataOut, data);
}

}  // namespace
}  // namespace kfs
