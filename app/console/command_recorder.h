#pragma once
// A transport wrapper that sees every command complete: it writes the trace line of each one as
// it completes (the three fields of the emulator's trace, and for a failed command its outcome),
// and keeps the last failure so that kfsflash can say under a failure text which command failed
// and why.
#include <cstdio>
#include <optional>

#include "app/console/command_outcome.h"

namespace kfs::console {

class CommandRecorder : public Transport {
  public:
    // `trace` may be null (no trace is written).
    CommandRecorder(Transport& inner, std::FILE* trace) : inner_(inner), trace_(trace) {}

    SenseData GetSenseData() const override { return inner_.GetSenseData(); }
    int DriveCount() const override { return inner_.DriveCount(); }

    // The last failure not yet told, and forgets it. A failure counts as resolved once the same
    // command has since gone through (a drive that became ready while it was polled).
    std::optional<SentCommand> TakeFailure();

    // The system's error of the first trace line that could not be written (a full disk,
    // /dev/full); 0 while every line went out.
    int traceError() const { return traceError_; }

  protected:
    CommandResult Execute(DriveIndex drive, const Cdb& cdb, std::uint8_t* buffer,
                          std::uint16_t length, std::uint8_t direction,
                          std::uint32_t timeoutMs) override;

  private:
    Transport& inner_;
    std::FILE* trace_;
    int traceError_ = 0;
};

}  // namespace kfs::console
