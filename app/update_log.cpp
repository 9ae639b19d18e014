#include "app/update_log.h"

#include <cstdio>
#include <ctime>
#include <fstream>
#include <utility>

#include "app/sense_names.h"

namespace kfs {

std::string DescribeCause(const FailureCause& cause) {
    if (!cause.opcode)
        return "no command failed";
    std::string text = "command " + DescribeCommand(*cause.opcode) + " failed: sense " +
                       DescribeSense(cause.sense);
    if (cause.commandsSince > 0)
        text += " (" + std::to_string(cause.commandsSince) + " command" +
                (cause.commandsSince == 1 ? "" : "s") + " completed after it)";
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
    if (!ok)
        last_ = {cdb[0], inner_.GetSenseData(), 0};
    else if (last_.opcode)
        ++last_.commandsSince;
    return ok;
}

}  // namespace kfs
