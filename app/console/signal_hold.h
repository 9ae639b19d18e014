#pragma once
// Holds the signals that would end or stop kfsflash while the drive's flash is being written: a
// drive whose programming is cut off may not start again. Between Begin and End, SIGINT, SIGTERM,
// SIGHUP and SIGQUIT are noted (the first one prints a line saying so) instead of ending the
// program; the caller ends it once programming is over. A job-control stop (Ctrl-Z, SIGTSTP) is
// noted the same way and carried out once programming is over (StopIfAsked); SIGTTOU and SIGTTIN
// are ignored meanwhile, so that a program moved to the background keeps writing its lines (the
// terminal lets a process that ignores SIGTTOU write) instead of stopping with the flash
// half-written.
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
    // A held signal that ends the program arrived since Begin (it stays set after End).
    bool Received() const;
    // After End: stops the process now when a stop was held, and clears it; true when it did.
    bool StopIfAsked();

    static constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
    static constexpr int kStopSignals[] = {SIGTSTP, SIGTTIN, SIGTTOU};

  private:
    bool active_ = false;
    struct sigaction previous_[4] = {};
    struct sigaction previousStop_[3] = {};
};

// For the whole run: a pipe the reader has closed is no reason to end the program (a write to it
// fails instead, and the program carries on), and standard input, output and error are open, on
// /dev/null where they were closed, so that no file the program opens later takes their numbers.
void PrepareProcess();

}  // namespace kfs::console
