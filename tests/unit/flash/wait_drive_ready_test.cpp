#include "flash/wait_drive_ready.h"

#include <gtest/gtest.h>

#include <cerrno>

#include "emulator/adapters/emulated_transport.h"
#include "emulator/adapters/emulator_clock.h"
#include "emulator/emulator.h"
#include "support/fake_transport.h"

namespace kfs {
namespace {

using test::FakeTransport;

const Cdb kUnlock = {0x1E, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};

emu::DriveSet OneDrive(const std::string& fields) {
    return emu::DriveSet::FromJson(R"({"drives":[{"product":"VRZ-3372BL")" + fields + "}]}");
}

TEST(WaitDriveReady, ReadyAtOnceSendsOneTestUnitReady) {
    FakeTransport t;
    VirtualClock clock;
    EXPECT_TRUE(WaitDriveReady(t, clock, 0, 120));
    EXPECT_EQ(t.sent.size(), 1u);
    EXPECT_EQ(clock.sleeps, 0);
}

TEST(WaitDriveReady, NoMediumCountsAsReadyAfterTheFirstPoll) {
    auto drives = OneDrive(R"(, "medium": false)");
    EmulatedTransport t(drives);
    EmulatorClock clock(drives);
    EXPECT_TRUE(WaitDriveReady(t, clock, 0, 120));
    EXPECT_EQ(drives.Now(), 0u);
}

TEST(WaitDriveReady, BecomingReadyKeepsPollingEvery200ms) {
    // The tray closes on a disc: the drive reports 2/04/01 while it spins up.
    auto drives = OneDrive(R"(, "medium": true, "tray_open": true)");
    EmulatedTransport t(drives);
    EmulatorClock clock(drives);
    drives.drive(0).trayOpen = false;
    drives.drive(0).SetBusy(1000, emu::MakeSense(2, 0x04, 0x01));
    EXPECT_TRUE(WaitDriveReady(t, clock, 0, 120));
    EXPECT_EQ(drives.Now(), 1000u);
}

TEST(WaitDriveReady, NotReadyUntilTheLimitFailsAndUnlocksTheMedium) {
    auto drives = OneDrive(R"(, "medium": true, "faults": [{"never_ready": true}])");
    EmulatedTransport t(drives);
    std::vector<std::string> trace;
    drives.SetTrace([&](const std::string& line) { trace.push_back(line); });
    EmulatorClock clock(drives);
    drives.drive(0).locked = true;
    EXPECT_FALSE(WaitDriveReady(t, clock, 0, 120));
    // More than 120 s: the poll at 120.0 s still waits, the one at 120.2 s gives up.
    EXPECT_EQ(drives.Now(), 120200u);
    EXPECT_FALSE(drives.drive(0).locked);
    ASSERT_GE(trace.size(), 2u);
    EXPECT_EQ(trace.back(), "1e0000000000000000000000 none 0");
    EXPECT_EQ(trace.size(), 120200u / 200 + 2);  // every poll, then the unlock
}

TEST(WaitDriveReady, OtherSenseKeepsWaitingOnlyTwoThreeAhEndsEarly) {
    FakeTransport t;
    VirtualClock clock;
    t.replies.push_back({false, {}, FakeTransport::Sense(6, 0x29)});        // power on reset
    t.replies.push_back({false, {}, FakeTransport::Sense(2, 0x04, 0x08)});  // programming
    t.replies.push_back({false, {}, FakeTransport::Sense(2, 0x3A, 0x01)});  // no medium
    EXPECT_TRUE(WaitDriveReady(t, clock, 0, 120));
    EXPECT_EQ(t.sent.size(), 3u);
    EXPECT_EQ(clock.NowMs(), 400u);
    // The "no disc" it accepted is not left behind as the cause of a later error.
    EXPECT_FALSE(t.LastFailure());
}

// Every TEST UNIT READY fails in the transport with the same error.
class FailingTransport : public FakeTransport {
  public:
    explicit FailingTransport(CommandResult failure) : failure_(failure) {}
    CommandResult Execute(DriveIndex drive, const Cdb& cdb, std::uint8_t* buffer,
                          std::uint16_t length, std::uint8_t direction,
                          std::uint32_t timeoutMs) override {
        FakeTransport::Execute(drive, cdb, buffer, length, direction, timeoutMs);
        return failure_;
    }

  private:
    CommandResult failure_;
};

TEST(WaitDriveReady, AGoneDeviceEndsTheWaitAtOnceOtherFailuresWaitOutTheLimit) {
    using Kind = CommandResult::CodeKind;
    struct Case {
        const char* what;
        Kind kind;
        std::uint32_t code;
        bool gone;
    };
    const Case cases[] = {
        {"ENODEV: the device was removed", Kind::Errno, ENODEV, true},
        {"ENXIO: no such device", Kind::Errno, ENXIO, true},
        {"DID_NO_CONNECT", Kind::HostStatus, 0x01, true},
        {"DID_BAD_TARGET", Kind::HostStatus, 0x04, true},
        {"EIO: may pass", Kind::Errno, EIO, false},
        {"DID_TIME_OUT: may pass", Kind::HostStatus, 0x03, false},
        {"a driver status", Kind::DriverStatus, 0x01, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        FailingTransport t(CommandResult::Error(c.kind, c.code));
        VirtualClock clock;
        EXPECT_FALSE(WaitDriveReady(t, clock, 0, 120));
        if (c.gone) {
            EXPECT_EQ(t.sent.size(), 1u);  // no unlock sent to a device that is not there
            EXPECT_EQ(clock.NowMs(), 0u);
        } else {
            EXPECT_GT(clock.NowMs(), 120000u);
            EXPECT_EQ(t.sent.back().cdb, kUnlock);
        }
    }
}

TEST(WaitDriveReady, EscapeUnlocksAndEndsTheProgramWithStatusZero) {
    FakeTransport t;
    VirtualClock clock;
    clock.escapeAfterPolls = 2;
    for (int i = 0; i < 5; ++i) t.replies.push_back({false, {}, FakeTransport::Sense(2, 0x04, 1)});
    try {
        WaitDriveReady(t, clock, 0, 120);
        FAIL() << "expected the program to end";
    } catch (const ProgramExit& e) {
        EXPECT_EQ(e.status, 0);
    }
    ASSERT_EQ(t.sent.size(), 4u);  // three polls, then the unlock
    EXPECT_EQ(t.sent.back().cdb, kUnlock);
}

}  // namespace
}  // namespace kfs
