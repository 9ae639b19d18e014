#include "app/console/command_recorder.h"

#include "emulator/emulator.h"

namespace kfs::console {

CommandResult CommandRecorder::Execute(DriveIndex drive, const Cdb& cdb, std::uint8_t* buffer,
                                       std::uint16_t length, std::uint8_t direction,
                                       std::uint32_t timeoutMs) {
    const CommandResult result =
        inner_.SendPacketCommand(drive, cdb, buffer, length, direction, timeoutMs);
    if (result.good() && LastFailure() && LastFailure()->cdb == cdb)
        ForgetFailure();
    if (trace_) {
        const std::string line = emu::DriveSet::TraceLine(cdb.data(), direction, length);
        std::fprintf(trace_, "%s%s\n", line.c_str(), TraceOutcome(result).c_str());
        std::fflush(trace_);  // a killed run keeps its trace up to the last command
    }
    return result;
}

std::optional<SentCommand> CommandRecorder::TakeFailure() {
    std::optional<SentCommand> failure = LastFailure();
    ForgetFailure();
    return failure;
}

}  // namespace kfs::console
