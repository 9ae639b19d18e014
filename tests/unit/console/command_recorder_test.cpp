// The recorder between kfsflash and the drives: trace lines written as commands complete, the
// outcome appended to failed ones only, and the failure kept for the text that reports it.
#include "app/console/command_recorder.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <string>

#include "support/fake_transport.h"

namespace kfs::console {
namespace {

using test::FakeTransport;

constexpr Cdb kTur{};
constexpr Cdb kWriteBlock = {0x3B, 0x06, 0, 0, 0, 0, 0, 0xFF, 0xFE, 0, 0, 0};

// Fails every command as a call, with the errno the kernel would leave.
class FailingCall : public FakeTransport {
  public:
    explicit FailingCall(int error) : error_(error) {}
    CommandResult Execute(DriveIndex, const Cdb&, std::uint8_t*, std::uint16_t, std::uint8_t,
                          std::uint32_t) override {
        return CommandResult::Error(CommandResult::CodeKind::Errno,
                                    static_cast<std::uint32_t>(error_));
    }

  private:
    int error_;
};

std::string Contents(std::FILE* file) {
    std::fflush(file);
    std::rewind(file);
    std::string text;
    for (int c; (c = std::fgetc(file)) != EOF;) text.push_back(static_cast<char>(c));
    return text;
}

TEST(CommandRecorder, TraceKeepsThreeFieldsForGoodCommandsAndAppendsTheOutcomeOfFailedOnes) {
    FakeTransport fake;
    fake.replies = {{}, {false, {}, FakeTransport::Sense(5, 0x24, 0)}};
    std::FILE* trace = std::tmpfile();
    CommandRecorder recorder(fake, trace);
    std::uint8_t block[65534] = {};
    EXPECT_TRUE(recorder.SendPacketCommand(0, kTur, nullptr, 0, kDirNone));
    EXPECT_FALSE(recorder.SendPacketCommand(0, kWriteBlock, block, sizeof block, kDirOut));
    EXPECT_EQ(Contents(trace),
              "000000000000000000000000 none 0\n"
              "3b060000000000fffe000000 out 65534 sense 05/24/00\n");
    std::fclose(trace);

    FailingCall denied(EIO);
    trace = std::tmpfile();
    CommandRecorder byCall(denied, trace);
    EXPECT_FALSE(byCall.SendPacketCommand(0, kWriteBlock, block, sizeof block, kDirOut));
    EXPECT_EQ(Contents(trace), "3b060000000000fffe000000 out 65534 error 5\n");
    const auto failed = byCall.TakeFailure();
    ASSERT_TRUE(failed.has_value());
    EXPECT_EQ(failed->result.kind, CommandResult::CodeKind::Errno);
    EXPECT_EQ(failed->result.code, static_cast<std::uint32_t>(EIO));
    std::fclose(trace);
}

TEST(CommandRecorder, KeepsTheLastFailureUntilTakenOrUntilTheSameCommandGoesThrough) {
    FakeTransport fake;
    const SenseData notReady = FakeTransport::Sense(2, 0x04, 1);
    const SenseData invalid = FakeTransport::Sense(5, 0x24, 0);
    // A drive polled until ready, then a block write refused, then a good unlock.
    fake.replies = {{false, {}, notReady}, {}, {false, {}, invalid}, {}};
    CommandRecorder recorder(fake, nullptr);
    recorder.SendPacketCommand(0, kTur, nullptr, 0, kDirNone);
    recorder.SendPacketCommand(0, kTur, nullptr, 0, kDirNone);
    EXPECT_FALSE(recorder.TakeFailure().has_value()) << "the drive became ready";

    std::uint8_t block[16] = {};
    recorder.SendPacketCommand(0, kWriteBlock, block, sizeof block, kDirOut);
    recorder.SendPacketCommand(0, {0x1E}, nullptr, 0, kDirNone);
    const auto failed = recorder.TakeFailure();
    ASSERT_TRUE(failed.has_value());
    EXPECT_EQ(failed->cdb, kWriteBlock);
    EXPECT_EQ(CauseText(failed->result), "05/24/00 ILLEGAL REQUEST, INVALID FIELD IN CDB");
    EXPECT_FALSE(recorder.TakeFailure().has_value()) << "told once";
}

}  // namespace
}  // namespace kfs::console
