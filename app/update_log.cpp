#include "app/update_log.h"

#include <cstdio>
#include <ctime>
#include <fstream>
#include <utility>

#include "app/sense_names.h"
#include "flash/flash_commands.h"

namespace kfs {

namespace {

std::string DescribeError(const FailureCause& cause) {
    using Kind = CommandResult::CodeKind;
    const char* what = "error";
    switch (cause.errorKind) {
        case Kind::None:
        case Kind::ScsiStatus:
            what = "SCSI status";
            break;
        case Kind::InvalidDrive:
            what = "no drive";
            break;
        case Kind::Errno:
            what = "system error";
            break;
        case Kind::Win32Error:
            what = "Windows error";
            break;
        case Kind::AspiStatus:
            what = "ASPI status";
            break;
        case Kind::HostStatus:
            what = "host status";
            break;
        case Kind::DriverStatus:
            what = "driver status";
            break;
    }
    return std::string(what) + " " + std::to_string(cause.errorCode);
}

}  // namespace

namespace {

// "3B WRITE BUFFER failed: sense ..." without the commands that followed.
std::string DescribeFailedCommand(const FailureCause& cause) {
    return DescribeCommand(*cause.opcode) + " failed: " +
           (cause.errorKind == CommandResult::CodeKind::None ? "sense " + DescribeSense(cause.sense)
                                                             : DescribeError(cause));
}

}  // namespace

FailureCause CauseOf(const SentCommand& failed, int commandsSince) {
    FailureCause cause{failed.cdb[0], failed.result.sense, commandsSince};
    if (failed.result.outcome == CommandResult::Outcome::Error) {
        cause.errorKind = failed.result.kind;
        cause.errorCode = failed.result.code;
    }
    return cause;
}

std::string DescribeCause(const FailureCause& cause) {
    std::string text = "no command failed";
    std::string failed;
    if (cause.opcode) {
        failed = DescribeFailedCommand(cause);
        text = "command " + failed;
        if (cause.commandsSince > 0)
            text += " (" + std::to_string(cause.commandsSince) + " command" +
                    (cause.commandsSince == 1 ? "" : "s") + " completed after it)";
    }
    if (cause.failedWrite) {
        const std::string write = DescribeFailedCommand(CauseOf(*cause.failedWrite));
        if (failed.empty())
            text = "command " + write;  // nothing failed since: the failed write is the cause
        else if (write != failed)
            text += "; before it, write command " + write;
    }
    return text;
}

std::string LocalTimeText() {
    const std::time_t now = std::time(nullptr);
    const std::tm* local = std::localtime(&now);
    if (local == nullptr)
        return "unknown time";
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", local);
    return text;
}

FileUpdateLog::FileUpdateLog(std::string path, Clock now)
    : path_(std::move(path)), now_(std::move(now)) {}

void FileUpdateLog::Append(const std::string& line) const {
    // Text mode: the Windows program's log reads in any editor there.
    std::ofstream file(path_, std::ios::app);
    file << line << '\n';
}

void FileUpdateLog::UpdateStarted(const UpdateStart& start) {
    Append("=== update started " + now_());
    Append("drive: " + std::to_string(start.driveIndex) + " \"" + start.drive + "\"");
    Append("image: \"" + start.image + "\", " + std::to_string(start.imageLength) +
           " bytes, check sum " + (start.checkSum.empty() ? "-" : start.checkSum));
}

void FileUpdateLog::Failure(const std::string& text, const FailureCause& cause) {
    Append("failure: " + text + " -- " + DescribeCause(cause));
}

void FileUpdateLog::UpdateEnded(const std::string& outcome) {
    Append("outcome: " + outcome + " " + now_());
    Append("");
}

CommandResult FailedCommandRecorder::Execute(DriveIndex drive, const Cdb& cdb, std::uint8_t* buffer,
                                             std::uint16_t length, std::uint8_t direction,
                                             std::uint32_t timeoutMs) {
    const CommandResult ok =
        inner_.SendPacketCommand(drive, cdb, buffer, length, direction, timeoutMs);
    if (IsFlashWrite(cdb)) {
        // Only a result that shows the command undone leaves the flash as it was: a status lost
        // on the way, or an error the drive met while carrying the command out, may not.
        if (!ok.NotTaken())
            flashMayHaveChanged_ = true;
        if (!ok)
            failedWrite_ = SentCommand{cdb, ok};
        else if (failedWrite_ && failedWrite_->cdb == cdb)
            failedWrite_.reset();  // sent again and taken
    }
    // SendPacketCommand records a failure as this returns; a good command counts only while a
    // failure is on record.
    if (!ok)
        commandsSince_ = 0;
    else if (LastFailure())
        ++commandsSince_;
    return ok;
}

FailureCause FailedCommandRecorder::Cause() const {
    const std::optional<SentCommand>& failure = LastFailure();
    FailureCause cause = failure ? CauseOf(*failure, commandsSince_) : FailureCause{};
    cause.failedWrite = failedWrite_;
    return cause;
}

void FailedCommandRecorder::BeginUpdate() {
    ForgetFailure();
    commandsSince_ = 0;
    failedWrite_.reset();
    flashMayHaveChanged_ = false;
}

}  // namespace kfs
