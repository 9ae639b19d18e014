// A signal sent while the flash is written does not cut programming off: the run ends after it
// with status 130, the drive holds the whole image, and the signals are theirs again afterwards.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <fstream>

#include "app/console/drive_table.h"
#include "app/console/exit_status.h"
#include "app/console/session.h"
#include "emulator/adapters/emulator_clock.h"
#include "support/firmware_fixtures.h"

namespace kfs::console {
namespace {

// Sends `signal` to the process with the n-th command after the medium is locked for flashing.
class SignalingTransport : public Transport {
  public:
    SignalingTransport(Transport& inner, int signal, int nth)
        : inner_(inner), signal_(signal), nth_(nth) {}
    CommandResult Execute(DriveIndex drive, const Cdb& cdb, std::uint8_t* buffer,
                          std::uint16_t length, std::uint8_t direction,
                          std::uint32_t timeoutMs) override {
        if (locked_ && ++after_lock_ == nth_)
            std::raise(signal_);
        const bool lockCommand = cdb[0] == 0x1E && (cdb[4] & 1) != 0;
        const CommandResult ok =
            inner_.SendPacketCommand(drive, cdb, buffer, length, direction, timeoutMs);
        if (lockCommand && !locked_)
            locked_ = true;
        return ok;
    }
    SenseData GetSenseData() const override { return inner_.GetSenseData(); }
    int DriveCount() const override { return inner_.DriveCount(); }

  private:
    Transport& inner_;
    int signal_, nth_;
    bool locked_ = false;
    int after_lock_ = 0;
};

class SignalHoldCases : public testing::TestWithParam<int> {};

TEST_P(SignalHoldCases, EndsAfterProgrammingWith130AndTheFlashHoldsTheImage) {
    const test::Identity id;
    const test::Bytes image = test::MakeImage(id, 0x8000);
    const std::string file =
        testing::TempDir() + "signal_hold_" + std::to_string(GetParam()) + ".kfs";
    {
        const test::Bytes kfs = test::MakeKfs(image);
        std::ofstream(file, std::ios::binary)
            .write(reinterpret_cast<const char*>(kfs.data()), static_cast<long>(kfs.size()));
    }
    test::Identity older = id;
    older.revision = "0.90";
    emu::DriveSet drives = test::MakeDrives({test::DriveJson(older)});
    auto table = DriveTable::ForEmulator(drives);
    SignalingTransport transport(*table, GetParam(), 3);
    EmulatorClock clock(drives);

    Options options;
    options.firmware = file;
    options.answers = Answers::kYes;
    // The automatic backup would land in the working directory (the source tree under ctest
    // runs from a checkout); the signals are what this case is about.
    options.backup.none = true;
    Streams io;
    io.out = std::tmpfile();
    io.err = std::tmpfile();
    io.in = nullptr;

    testing::internal::CaptureStderr();
    const int status = RunUpdate(options, {}, *table, transport, clock, io, "kfsflash");
    const std::string said = testing::internal::GetCapturedStderr();

    EXPECT_EQ(status, kExitInterrupted);
    const auto& rom = drives.drive(0).rom();
    ASSERT_GE(rom.size(), image.size());
    EXPECT_TRUE(std::equal(image.begin(), image.end(), rom.begin()));
    EXPECT_EQ(drives.drive(0).flashCount(), 1);
    EXPECT_FALSE(drives.drive(0).locked);
    const std::string held = "the signal takes effect when programming has ended";
    ASSERT_NE(said.find(held), std::string::npos) << said;
    EXPECT_EQ(said.find(held, said.find(held) + 1), std::string::npos) << "printed once";

    struct sigaction now {};
    sigaction(GetParam(), nullptr, &now);
    EXPECT_EQ(now.sa_handler, SIG_DFL);
    std::fclose(io.out);
    std::fclose(io.err);
}

INSTANTIATE_TEST_SUITE_P(Signals, SignalHoldCases,
                         testing::Values(SIGINT, SIGTERM, SIGHUP, SIGQUIT));

}  // namespace
}  // namespace kfs::console
