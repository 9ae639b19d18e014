#pragma once
// A transport wrapper that sees every command complete: it writes the trace line of each one as
// it completes (the three fields of the emulator's trace, and for a failed command its outcome),
// and keeps the last failure so that kfsflash can say under a failure text which command failed
// and why.
#include <cstdio>
#include <functional>
#include <optional>

#include "app/console/command_outcome.h"

namespace kfs::console {

struct FailedCommand {
    Cdb cdb{};
    CommandOutcome outcome;
};

class CommandRecorder : public Transport {
  public:
    // The errno of the last call of `inner` when it failed as a call; 0 when it went through.
    using SystemErrorSource = std::function<int()>;

    // `trace` may be null (no trace is written).
    CommandRecorder(Transport& inner, std::FILE* trace, SystemErrorSource systemError = {});

    bool SendPacketCommand(DriveIndex drive, const Cdb& cdb, std::uint8_t* buffer,
                           std::uint16_t length, std::uint8_t direction,
                           std::uint32_t timeoutMs = kDefaultTimeoutMs) override;
    SenseData GetSenseData() const override { return inner_.GetSenseData(); }
    int DriveCount() const override { return inner_.DriveCount(); }

    // The last failure not yet told, and forgets it. A failure counts as resolved once the same
    // command has since gone through (a drive that became ready while it was polled).
    std::optional<FailedCommand> TakeFailure();

  private:
    Transport& inner_;
    std::FILE* trace_;
    SystemErrorSource system_error_;
    std::optional<FailedCommand> failure_;
};

}  // namespace kfs::console
