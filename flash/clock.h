#pragma once
// Time as the flash engines see it: the present moment, sleeping, and the console's Escape key
// (the user's way out of a drive that never becomes ready). The real clock is the wall clock;
// tests use a virtual one, so that a two-minute time-out runs in microseconds.
#include <cstdint>
#include <functional>

namespace kfs {

class Clock {
  public:
    virtual ~Clock() = default;
    virtual std::uint64_t NowMs() = 0;
    virtual void Sleep(std::uint32_t ms) = 0;
    // True when a key press waits on the console and it is Escape; the key is consumed. A
    // program without a console never sees one.
    virtual bool EscapePressed() = 0;
    // Ends the program with `status`.
    virtual void ExitProgram(int status) = 0;
};

// Steady wall clock, real sleeps, the console keyboard, std::exit.
class RealClock : public Clock {
  public:
    std::uint64_t NowMs() override;
    void Sleep(std::uint32_t ms) override;
    bool EscapePressed() override;
    void ExitProgram(int status) override;
};

// Thrown by VirtualClock::ExitProgram: a test sees the exit without the process ending.
struct ProgramExit {
    int status;
};

// Time moves only when slept; an optional hook follows every sleep (e.g. to move the drive
// emulator's clock along).
class VirtualClock : public Clock {
  public:
    explicit VirtualClock(std::function<void(std::uint32_t)> onSleep = nullptr)
        : onSleep_(std::move(onSleep)) {}
    std::uint64_t NowMs() override { return now_; }
    void Sleep(std::uint32_t ms) override {
        now_ += ms;
        ++sleeps;
        if (onSleep_)
            onSleep_(ms);
    }
    bool EscapePressed() override {
        if (escapeAfterPolls < 0 || polls++ < escapeAfterPolls)
            return false;
        return true;
    }
    void ExitProgram(int status) override { throw ProgramExit{status}; }

    // Escape is "pressed" at the (n+1)-th check; -1: never.
    int escapeAfterPolls = -1;
    int polls = 0;
    int sleeps = 0;

  private:
    std::uint64_t now_ = 0;
    std::function<void(std::uint32_t)> onSleep_;
};

}  // namespace kfs
