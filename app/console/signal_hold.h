#pragma once
// Holds the signals that would end kfsflash while the drive's flash is being written: a drive
// whose programming is cut off may not start again. Between Begin and End, SIGINT, SIGTERM,
// SIGHUP and SIGQUIT are noted (the first one prints a line saying so) instead of ending the
// program; the caller ends it once programming is over.
#include <csignal>

namespace kfs::console {

class SignalHold {
  public:
    SignalHold() = default;
    SignalHold(const SignalHold&) = delete;
    SignalHold& operator=(const SignalHold&) = delete;
    ~SignalHold() { End(); }

    void Begin();
    void End();
    // A held signal arrived since Begin (it stays set after End).
    bool Received() const;

    static constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

  private:
    bool active_ = false;
    struct sigaction previous_[4] = {};
};

}  // namespace kfs::console
