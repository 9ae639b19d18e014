#include "app/console/command_recorder.h"

#include <cerrno>

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
        errno = 0;
        const bool written =
            std::fprintf(trace_, "%s%s\n", line.c_str(), TraceOutcome(result).c_str()) >= 0;
        // A killed run keeps its trace up to the last command.
        if ((std::fflush(trace_) != 0 || !written) && traceError_ == 0)
            traceError_ = errno != 0 ? errno : EIO;
    }
    return result;
}

std::optional<SentCommand> CommandRecorder::TakeFailure() {
    std::optional<SentCommand> failure = LastFailure();
    ForgetFailure();
    return failure;
}

}  // namespace kfs::console
