// The bridge between the kernel's target layer and an emulated drive: CDBs cut to the length the
// target layer keeps, the direction it does not say, and the kernel's own commands.
#include "emulator/linux/drive_bridge.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace kfs::emu::bridge {
namespace {

TEST(DriveBridgeTest, KeepsTheCdbBytesOfTheOperationCodesGroup) {
    const struct {
        std::uint8_t opcode;
        std::size_t kept;
    } cases[] = {{0x00, 6},  {0x12, 6},  {0x3B, 10}, {0x5A, 10}, {0xA8, 12},
                 {0x88, 16}, {0xC0, 10}, {0xFA, 10}, {0xFD, 10}};
    for (const auto& c : cases) EXPECT_EQ(KeptCdbLength(c.opcode), c.kept) << int{c.opcode};
}

TEST(DriveBridgeTest, InfersTheDirectionFromTheCommand) {
    using C = std::array<std::uint8_t, 12>;
    const struct {
        C cdb;
        std::uint8_t direction;
    } cases[] = {
        {{0x3B, 0x06}, kDirOut},
        {{0xFA}, kDirOut},
        {{0xFD, 0x07}, kDirOut},
        {{0x5A, 0, 0x38, 0x4B, 0x45, 0xA0, 0x05}, kDirOut},  // bank write
        {{0x5A, 0, 0x34, 0x4B, 0x45, 0x0B, 0x01}, kDirOut},  // set the check sum
        {{0x5A, 0, 0x34, 0x4B, 0x45, 0x0B, 0x00}, kDirIn},   // get the check sum
        {{0x5A, 0, 0x38, 0x4B, 0x45, 0x11}, kDirIn},         // ROM read
        {{0x12, 0, 0, 0, 0xFF}, kDirIn},
    };
    for (const auto& c : cases) EXPECT_EQ(DirectionOf(c.cdb), c.direction) << int{c.cdb[0]};
}

class BridgeRun : public ::testing::Test {
  protected:
    BridgeRun(const char* json = R"({"drives": [{"family": "mtk7", "seed": 7}]})")
        : set_(DriveSet::FromJson(json)), bridge_(set_, 0) {
        set_.SetTrace([this](const std::string& line) { trace_.push_back(line); });
    }
    DriveSet set_;
    DriveBridge bridge_;
    std::vector<std::string> trace_;
};

TEST_F(BridgeRun, RebuildsTheRomReadLengthTheTargetLayerDropped) {
    const std::uint8_t cdb[10] = {0x5A, 0, 0x38, 0x4B, 0x45, 0x11, 0x01, 0x00, 0, 0};
    std::vector<std::uint8_t> data(256);
    const Answer a = bridge_.Run(cdb, sizeof cdb, data.data(), 256);
    ASSERT_EQ(a.status, kStatusGood);
    EXPECT_EQ(a.dataIn, 256u);
    const auto& rom = set_.drive(0).rom();
    EXPECT_TRUE(std::equal(data.begin(), data.end(), rom.begin() + 0x100));
    ASSERT_EQ(trace_.size(), 1u);
    EXPECT_EQ(trace_[0], "5a00384b4511010000000100 in 256");
}

// The drive's clock follows the wall clock, times its time scale: a drive described with a scale
// passes its busy times that much sooner, one without keeps real time.
TEST(DriveBridgeClock, FollowsTheWallClockTimesTheTimeScale) {
    for (const std::uint64_t scale : {1u, 1000u}) {
        SCOPED_TRACE(scale);
        DriveSet set = DriveSet::FromJson(R"({"drives": [{"family": "mtk7", "time_scale": )" +
                                          std::to_string(scale) + "}]}");
        DriveBridge bridge(set, 0);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        const std::uint8_t tur[6] = {};
        bridge.Run(tur, sizeof tur, nullptr, 0);
        // At least the 50 ms slept, and less than the next scale would make of a slow second.
        EXPECT_GE(set.Now(), 50 * scale);
        EXPECT_LT(set.Now(), 1000 * scale);
    }
}

TEST_F(BridgeRun, AnswersTheKernelsOwnCommandsWithoutTheEmulator) {
    const struct {
        std::vector<std::uint8_t> cdb;
        std::uint8_t status;
        std::uint8_t key, asc;
    } cases[] = {
        {{0x1A, 0, 0x2A, 0, 0x80, 0}, kStatusGood, 0, 0},  // capabilities page
        {{0x1A, 0, 0x08, 0, 0x80, 0}, kStatusCheckCondition, 5, 0x24},
        {{0x46, 0, 0, 0, 0, 0, 0, 0, 0x20, 0}, kStatusGood, 0, 0},            // GET CONFIGURATION
        {{0x25, 0, 0, 0, 0, 0, 0, 0, 0, 0}, kStatusCheckCondition, 2, 0x3A},  // no disc
        {{0x43, 0, 0, 0, 0, 0, 0, 0, 0x20, 0}, kStatusCheckCondition, 2, 0x3A},
        {{0x12, 0x01, 0x00, 0, 0xFF, 0}, kStatusCheckCondition, 5, 0x24},  // VPD page
    };
    for (const auto& c : cases) {
        std::vector<std::uint8_t> data(128);
        const Answer a = bridge_.Run(c.cdb.data(), c.cdb.size(), data.data(), 128);
        EXPECT_TRUE(a.byBridge) << int{c.cdb[0]};
        EXPECT_EQ(a.status, c.status) << int{c.cdb[0]};
        EXPECT_EQ(a.sense[2], c.key) << int{c.cdb[0]};
        EXPECT_EQ(a.sense[12], c.asc) << int{c.cdb[0]};
        if (c.cdb[0] == 0x1A && a.status == kStatusGood) {
            EXPECT_EQ(data[4], 0x2A);
        }
    }
    EXPECT_TRUE(trace_.empty());
}

class ShortReplyRun : public BridgeRun {
  protected:
    ShortReplyRun()
        : BridgeRun(R"({"drives": [{"faults": [{"short_reply": "12", "bytes": 20}]}]})") {}
};

TEST_F(ShortReplyRun, ReportsHowMuchDataTheDriveSent) {
    const std::uint8_t cdb[6] = {0x12, 0, 0, 0, 96, 0};
    std::vector<std::uint8_t> data(96);
    const Answer a = bridge_.Run(cdb, sizeof cdb, data.data(), 96);
    EXPECT_EQ(a.status, kStatusGood);
    EXPECT_TRUE(a.reads);
    EXPECT_EQ(a.dataIn, 20u);
}

}  // namespace
}  // namespace kfs::emu::bridge
