#include "flash/verify.h"

#include <gtest/gtest.h>

#include "container/checksum.h"
#include "mtk5_rig.h"
#include "support/fake_transport.h"

namespace kfs {
namespace {

using test::FakeTransport;
using test::RecordingView;

constexpr std::size_t kMB = 1024 * 1024;

struct FakeRig {
    explicit FakeRig(std::size_t length) : image(length) {}
    FakeTransport transport;
    VirtualClock clock;
    RecordingView view;
    std::vector<std::uint8_t> image;
    SKFSParameter container;
    FlashJob job{transport, clock, view, 0, image, container};
};

TEST(ReadRomImage, ChunksFollowTheImageLength) {
    struct Case {
        std::size_t length;
        std::size_t commands;
        std::uint16_t chunk;
        int lastBank;
        int lastAddress;
    };
    const Case cases[] = {
        // 15 full banks and 17 152 bytes of the sixteenth (the length rounded up to 1 000 192).
        {1000000, 3907, 256, 15, 17152 - 256},
        {2 * kMB, 512, 4096, 31, 65536 - 4096},
        {2 * kMB - 256, 8191, 256, 31, 65536 - 512},
        {2 * kMB + 1, 513, 4096, 32, 0},
    };
    for (const Case& c : cases) {
        FakeRig rig(c.length);
        const ReadBackPlan plan = PlanReadBack(c.length);
        std::vector<std::uint8_t> buffer(plan.bufferSize);
        ASSERT_TRUE(ReadRomImage(rig.job, buffer.data())) << c.length;
        const auto& sent = rig.transport.sent;
        ASSERT_EQ(sent.size(), c.commands) << c.length;
        EXPECT_EQ(plan.commands, c.commands);
        for (const auto& s : sent) ASSERT_EQ(s.length, c.chunk);
        const Cdb& last = sent.back().cdb;
        EXPECT_EQ(last[9], c.lastBank) << c.length;
        EXPECT_EQ(last[6] << 8 | last[7], c.lastAddress) << c.length;
        EXPECT_EQ(last[10] << 8 | last[11], c.chunk);
        // The bar counts the bytes of the bank being read and wraps to the next bank.
        EXPECT_EQ(rig.view.progress[0], c.chunk);
        EXPECT_EQ(rig.view.progress[65536 / c.chunk - 1], kProgressMax);
        if (c.length > 65536) {
            EXPECT_EQ(rig.view.progress[65536 / c.chunk], c.chunk);
        }
        EXPECT_EQ(rig.view.dispatches, static_cast<long>(c.commands));
    }
}

TEST(ReadRomImage, StopsAtTheFirstFailedRead) {
    FakeRig rig(kMB);
    for (int i = 0; i < 5; ++i) rig.transport.replies.push_back({});
    rig.transport.replies.push_back({false, {}, {}});
    std::vector<std::uint8_t> buffer(PlanReadBack(kMB).bufferSize);
    EXPECT_FALSE(ReadRomImage(rig.job, buffer.data()));
    EXPECT_EQ(rig.transport.sent.size(), 6u);
}

// The comparison as it reads byte by byte: messages, wrap, step, compare.
struct Reference {
    std::vector<std::uint32_t> progress;
    std::ptrdiff_t mismatch = -1;
};
Reference CompareByteByByte(const std::vector<std::uint8_t>& a,
                            const std::vector<std::uint8_t>& b) {
    Reference r;
    std::uint32_t bar = 0;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (bar == kProgressMax) {
            bar = 0;
            r.progress.push_back(bar);
        }
        if ((i & 0xFF) == 0xFF) {
            bar += 256;
            r.progress.push_back(bar);
        }
        if (a[i] != b[i]) {
            r.mismatch = static_cast<std::ptrdiff_t>(i);
            return r;
        }
    }
    return r;
}

TEST(CompareReadBack, ShowsTheSameProgressAsAByteByByteComparison) {
    struct Case {
        std::size_t length;
        std::ptrdiff_t difference;  // -1: none
    };
    const Case cases[] = {
        {0, -1},        {255, -1},      {256, -1},     {70000, -1},           {131072, -1},
        {131072, 0},    {70000, 255},   {70000, 256},  {70000, 65535},        {70000, 65536},
        {70000, 65791}, {70000, 69999}, {2 * kMB, -1}, {2 * kMB, 2 * kMB - 1}};
    for (const Case& c : cases) {
        const std::vector<std::uint8_t> image = test::MakeImage(c.length);
        std::vector<std::uint8_t> readBack = image;
        if (c.difference >= 0)
            readBack[static_cast<std::size_t>(c.difference)] ^= 0x10;
        RecordingView view;
        const std::ptrdiff_t at = CompareReadBack(view, image, readBack.data());
        const Reference expected = CompareByteByByte(image, readBack);
        EXPECT_EQ(at, c.difference) << c.length;
        EXPECT_EQ(view.progress, expected.progress) << c.length << " " << c.difference;
        // Messages are let through at most once per bar step, never once per byte.
        EXPECT_LE(view.dispatches, static_cast<long>(c.length / 256 + 1));
    }
}

// Verification by the check sum the drive keeps.
TEST(VerifyFlash, ByCheckSum) {
    const std::vector<std::uint8_t> keepsCheckSum = {'K', 'E', 5, 0, 0, 0, 0x40, 0, 0, 0};
    struct Case {
        std::vector<std::uint8_t> checkSumReply;
        bool detail, updater, verified;
        std::vector<std::string> lines;
        std::string box;
    };
    const std::string getting = "Getting CheckSum from drive !";
    const Case cases[] = {
        {{'K', 'E', 5, 0, 0, 0, 0x1A, 0x2B},
         true,
         false,
         true,
         {getting, "f/W Sum[0x1a2b]== Dev Sum[0x1a2b]", "Verification finished"},
         ""},
        {{'K', 'E', 5, 0, 0, 0, 0x1A, 0x2B},
         false,
         false,
         true,
         {getting, "Verification finished"},
         ""},
        {{'K', 'E', 5, 0, 0, 0, 0x00, 0x2B},
         true,
         false,
         false,
         {getting, "f/W Sum[0x1a2b]!= Dev Sum[0x2b]"},
         "Flash Verify Error!"},
        {{'K', 'E', 5, 0, 0, 0, 0x00, 0x2B}, false, false, false, {getting}, "Flash Verify Error!"},
        {{'K', 'E', 4, 0, 0, 0, 0x1A, 0x2B}, true, false, false, {getting}, "Get Checksum Error!"},
        {{'K', 'E', 4, 0, 0, 0, 0x1A, 0x2B}, true, true, false, {getting}, "Flash Verify Error!"},
    };
    for (const Case& c : cases) {
        FakeRig rig(1024);
        rig.job.updaterRole = c.updater;
        rig.job.silent = true;  // the check-sum lines show in silent mode as well
        rig.transport.replies = {{true, keepsCheckSum, {}}, {true, c.checkSumReply, {}}};
        EXPECT_EQ(VerifyFlash(rig.job, 0x1A2B, c.detail), c.verified);
        EXPECT_EQ(rig.view.lines, c.lines);
        if (c.box.empty()) {
            EXPECT_TRUE(rig.view.boxes.empty());
        } else {
            ASSERT_EQ(rig.view.boxes.size(), 1u);
            EXPECT_EQ(rig.view.boxes[0].text, c.box);
            EXPECT_EQ(rig.view.boxes[0].caption, "Error");
        }
    }
}

// Read-back on an emulated drive whose flash is set by hand. Reserved blocks are not compared,
// whatever the image or the drive holds there.
TEST(VerifyFlash, ByReadBack) {
    constexpr std::uint32_t kReserved = 0x9000;
    struct Case {
        const char* name;
        bool imageZeroInReserved;
        bool driveDiffersInReserved;
        bool driveDiffersOutside;
        bool silent;
        bool verified;
    };
    const Case cases[] = {
        {"equal", true, false, false, false, true},
        {"drive data in a reserved block", true, true, false, false, true},
        {"image data in a reserved block", false, false, false, false, true},
        {"image and drive data differ in a reserved block", false, true, false, false, true},
        {"one byte differs", true, false, true, false, false},
        {"silent", true, true, false, true, true},
        {"silent, differs", true, false, true, true, false},
    };
    for (const Case& c : cases) {
        test::Mtk5Rig rig(kMB + 100);
        rig.container.ReservedBlocks = {{kReserved, 0x100}, {kMB + 90, 0x1000}};
        if (c.imageZeroInReserved) {
            std::fill_n(rig.image.begin() + kReserved, 0x100, 0);
            std::fill(rig.image.begin() + kMB + 90, rig.image.end(), 0);
        }
        std::copy(rig.image.begin(), rig.image.end(), rig.drive().rom().begin());
        if (c.driveDiffersInReserved)
            rig.drive().rom()[kReserved + 0x80] ^= 0xFF;
        if (c.driveDiffersOutside)
            rig.drive().rom()[kMB + 50] ^= 0x01;
        rig.job.silent = c.silent;
        EXPECT_EQ(VerifyFlash(rig.job, 0, false), c.verified) << c.name;
        std::vector<std::string> lines;
        if (!c.silent) {
            lines = {"Read ROM Data", "Checksum verifying"};
            if (c.verified)
                lines.push_back("Verification finished");
        }
        EXPECT_EQ(rig.view.lines, lines) << c.name;
        EXPECT_EQ(rig.view.boxes.size(), c.verified ? 0u : 1u) << c.name;
        if (!c.verified) {
            EXPECT_EQ(rig.view.boxes[0].text, "Flash Verify Error!") << c.name;
        }
    }
}

// Every command of the verification failing in turn.
TEST(VerifyFlash, FaultMatrix) {
    using namespace test;
    struct Case {
        const char* name;
        bool keepsCheckSum;
        FailRule rule;
        bool updater;
        bool verified;
        std::string box;
    };
    auto isFeature = [](const Cdb& c) { return IsVendor(c, 0x34, 0x00); };
    auto isGetCheckSum = [](const Cdb& c) { return IsVendor(c, 0x34, 0x0B, 0); };
    auto isReadRom = [](const Cdb& c) { return IsVendor(c, 0x38, 0x11); };
    const Case cases[] = {
        // Without the feature the flash is read back, which a right flash passes.
        {"feature query", true, {isFeature}, false, true, ""},
        {"get check sum", true, {isGetCheckSum}, false, false, "Get Checksum Error!"},
        {"get check sum, updater", true, {isGetCheckSum}, true, false, "Flash Verify Error!"},
        {"first read", false, {isReadRom, 1, 1}, false, false, "ReadROM Error!"},
        {"last read", false, {isReadRom, 256, 256}, false, false, "ReadROM Error!"},
        {"a read, updater", false, {isReadRom, 100, 100}, true, false, "Flash Verify Error!"},
    };
    for (const Case& c : cases) {
        Mtk5Rig rig(kMB, c.keepsCheckSum ? R"(, "keeps_checksum":true)" : "");
        std::copy(rig.image.begin(), rig.image.end(), rig.drive().rom().begin());
        rig.drive().checksum = ExpectedCheckSum(rig.job);
        rig.job.updaterRole = c.updater;
        rig.transport.rules.push_back(c.rule);
        EXPECT_EQ(VerifyFlash(rig.job, ExpectedCheckSum(rig.job), false), c.verified) << c.name;
        if (c.box.empty()) {
            EXPECT_TRUE(rig.view.boxes.empty()) << c.name;
        } else {
            ASSERT_EQ(rig.view.boxes.size(), 1u) << c.name;
            EXPECT_EQ(rig.view.boxes[0].text, c.box) << c.name;
            EXPECT_EQ(rig.view.boxes[0].caption, "Error") << c.name;
        }
    }
}

TEST(ExpectedCheckSum, PhilipsFormSumsEveryByteOthersTheFixedData) {
    std::vector<std::uint8_t> image = test::MakeImage(70000);
    SKFSParameter p;
    p.AtapiFlashType = 6;
    p.ReservedBlocks = {{0x100, 0x40}};
    p.KernelBlock = {0x1000, 0x800};
    EXPECT_EQ(ExpectedCheckSum(image, p, true), static_cast<std::uint16_t>(ByteSum(image)));
    EXPECT_EQ(ExpectedCheckSum(image, p, false), CalcFixDataCheckSum(image, p));
    EXPECT_NE(ExpectedCheckSum(image, p, true), ExpectedCheckSum(image, p, false));
}

}  // namespace
}  // namespace kfs
