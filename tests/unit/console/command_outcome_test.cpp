// What kfsflash says about a failed command: its name, the cause in the drive's or the system's
// words, advice for the common causes, and the outcome its trace line carries.
#include "app/console/command_outcome.h"

#include <gtest/gtest.h>

#include <cerrno>

#include "support/fake_transport.h"

namespace kfs::console {
namespace {

using test::FakeTransport;

struct CauseCase {
    const char* name;
    CommandResult result;
    const char* cause;
    const char* trace;
    const char* advice;  // a word the advice must contain; nullptr for none
};

CommandResult Sensed(std::uint8_t key, std::uint8_t asc, std::uint8_t ascq) {
    return CommandResult::Check(FakeTransport::Sense(key, asc, ascq));
}

CommandResult Failed(CommandResult::CodeKind kind, std::uint32_t code) {
    return CommandResult::Error(kind, code);
}

CommandResult SystemError(int error) {
    return Failed(CommandResult::CodeKind::Errno, static_cast<std::uint32_t>(error));
}

TEST(CommandOutcome, CauseTraceAndAdviceForEachCommonCause) {
    const CauseCase cases[] = {
        {"invalid field", Sensed(5, 0x24, 0), "05/24/00 ILLEGAL REQUEST, INVALID FIELD IN CDB",
         " sense 05/24/00", nullptr},
        {"no medium", Sensed(2, 0x3A, 0), "02/3A/00 NOT READY, MEDIUM NOT PRESENT",
         " sense 02/3a/00", "no medium"},
        {"no medium, tray open", Sensed(2, 0x3A, 2),
         "02/3A/02 NOT READY, MEDIUM NOT PRESENT - TRAY OPEN", " sense 02/3a/02", "no medium"},
        {"becoming ready", Sensed(2, 0x04, 1),
         "02/04/01 NOT READY, LOGICAL UNIT IS IN PROCESS OF BECOMING READY", " sense 02/04/01",
         "not ready"},
        {"medium locked", Sensed(5, 0x53, 2), "05/53/02 ILLEGAL REQUEST, MEDIUM REMOVAL PREVENTED",
         " sense 05/53/02", "locked"},
        {"write error", Sensed(3, 0x0C, 0), "03/0C/00 MEDIUM ERROR, WRITE ERROR", " sense 03/0c/00",
         nullptr},
        // A code the tables do not know is shown by its numbers and the key's name alone.
        {"vendor code", Sensed(4, 0x99, 0x12), "04/99/12 HARDWARE ERROR", " sense 04/99/12",
         nullptr},
        {"unknown qualifier", Sensed(5, 0x24, 0x77), "05/24/77 ILLEGAL REQUEST", " sense 05/24/77",
         nullptr},
        {"permission denied", SystemError(EACCES), "error 13: Permission denied", " error 13",
         "run as root"},
        // The kernel's refusal of a command, not of the device: the group does not help.
        {"not permitted", SystemError(EPERM), "error 1: Operation not permitted", " error 1",
         "root or a program with CAP_SYS_RAWIO"},
        {"input/output error", SystemError(EIO), "error 5: Input/output error", " error 5",
         nullptr},
        {"device busy", SystemError(EBUSY), "error 16: Device or resource busy", " error 16",
         "unmount"},
        {"host status", Failed(CommandResult::CodeKind::HostStatus, 7),
         "host status 7: the adapter or its driver gave up on the command", " host-status 7",
         nullptr},
        {"driver status", Failed(CommandResult::CodeKind::DriverStatus, 8),
         "driver status 8: the driver gave up on the command", " driver-status 8", nullptr},
        {"SCSI busy", Failed(CommandResult::CodeKind::ScsiStatus, 8), "SCSI status 08h BUSY",
         " scsi-status 8", nullptr},
        {"unreachable drive", Failed(CommandResult::CodeKind::InvalidDrive, 3),
         "drive 3 is out of reach (not opened for this update)", " no-drive 3", nullptr},
    };
    for (const CauseCase& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(CauseText(c.result), c.cause);
        EXPECT_EQ(TraceOutcome(c.result), c.trace);
        const auto advice = AdviceFor(c.result);
        if (c.advice) {
            ASSERT_TRUE(advice.has_value());
            EXPECT_NE(advice->find(c.advice), std::string::npos) << *advice;
        } else {
            EXPECT_FALSE(advice.has_value()) << *advice;
        }
    }
}

TEST(CommandOutcome, AGoodCommandCarriesNothing) {
    EXPECT_EQ(TraceOutcome(CommandResult::Good()), "");
    EXPECT_FALSE(AdviceFor(CommandResult::Good()).has_value());
}

TEST(CommandOutcome, CommandTextNamesVendorAndStandardCommands) {
    const struct {
        Cdb cdb;
        const char* text;
    } cases[] = {
        {{0x3B, 0x06, 0, 0x01, 0x40, 0, 0, 0x40, 0, 0, 0, 0}, "3B WRITE BUFFER (flash block)"},
        {{0x3B, 0x07, 0, 0x10, 0, 0, 0x10, 0, 0, 0, 0, 0}, "3B WRITE BUFFER (start programming)"},
        {{0x3B, 0x07, 0, 0x02, 0, 0, 0, 0, 0, 0, 0, 0}, "3B WRITE BUFFER (save bank to flash)"},
        {{0x3B, 0x01, 0x01, 0, 0, 0, 0, 0, 0, 0, 0, 0}, "3B WRITE BUFFER (download mode)"},
        {{0x5A, 0, 0x38, 0x4B, 0x45, 0x11, 0, 0, 0, 0x02, 0x80, 0}, "5A READ ROM"},
        {{0x5A, 0, 0x34, 0x4B, 0x45, 0x0B, 0x01, 0x12, 0x34, 0, 0, 0}, "5A SET DRIVE CHECK SUM"},
        {{0x5A, 0, 0x38, 0x4B, 0x45, 0xA0, 0x05, 0x03, 0x80, 0x00, 0, 0}, "5A A0 BANK WRITE"},
        {{0x5A, 0, 0x38, 0x4B, 0x45, 0xA0, 0x04, 0xE2, 0x00, 0x80, 0x12, 0x34},
         "5A A0 PROGRAM TRIGGER"},
        {{0xFA, 0x34, 0x12, 0, 0, 1, 1, 0, 0, 0, 0, 2}, "FA PHILIPS BLOCK WRITE"},
        {{0xFD, 0x07, 0x4B, 0x45, 0x4D, 0x4F, 0, 0, 0, 0, 1, 8}, "FD ALI BLOCK WRITE"},
        // A MODE SENSE without the vendor signature is the standard command.
        {{0x5A, 0, 0x2A, 0, 0, 0, 0, 0, 0x20, 0, 0, 0}, "5A MODE SENSE(10)"},
        {{0x12, 0, 0, 0, 0x60, 0, 0, 0, 0, 0, 0, 0}, "12 INQUIRY"},
        {{0x00, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, "00 TEST UNIT READY"},
        {{0x1E, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0}, "1E PREVENT ALLOW MEDIUM REMOVAL"},
        {{0xD8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, "D8"},
    };
    for (const auto& c : cases) EXPECT_EQ(CommandText(c.cdb), c.text);
}

}  // namespace
}  // namespace kfs::console
