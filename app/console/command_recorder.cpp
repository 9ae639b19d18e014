#include "app/console/command_recorder.h"

#include <cerrno>
#include <utility>

#include "emulator/emulator.h"

namespace kfs::console {

CommandRecorder::CommandRecorder(Transport& inner, std::FILE* trace,
                                 SystemErrorSource systemError)
    : inner_(inner), trace_(trace), system_error_(std::move(systemError)) {}

bool CommandRecorder::SendPacketCommand(DriveIndex drive, const Cdb& cdb, std::uint8_t* buffer,
                                        std::uint16_t length, std::uint8_t direction,
                                        std::uint32_t timeoutMs) {
    // A failed call leaves its errno; one that went through leaves the zero set here.
    errno = 0;
    const bool good = inner_.SendPacketCommand(drive, cdb, buffer, length, direction, timeoutMs);
    const int callError = system_error_ ? system_error_() : errno;
    const CommandOutcome outcome = OutcomeOf(good, good ? SenseData{} : inner_.GetSenseData(),
                                             good ? 0 : callError);
    if (!good)
        failure_ = FailedCommand{cdb, outcome};
    else if (failure_ && failure_->cdb == cdb)
        failure_.reset();
    if (trace_) {
        const std::string line = emu::DriveSet::TraceLine(cdb.data(), direction, length);
        std::fprintf(trace_, "%s%s\n", line.c_str(), TraceOutcome(outcome).c_str());
        std::fflush(trace_);  // a killed run keeps its trace up to the last command
    }
    return good;
}

std::optional<FailedCommand> CommandRecorder::TakeFailure() {
    return std::exchange(failure_, std::nullopt);
}

}  // namespace kfs::console
