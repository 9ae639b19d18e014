#pragma once
// A clock that is the drive emulator's own: sleeping moves the emulated drives' time along, so
// programming and spin-up finish while the flash engines wait, as with real drives.
#include "emulator/emulator.h"
#include "flash/clock.h"

namespace kfs {

class EmulatorClock : public Clock {
  public:
    explicit EmulatorClock(emu::DriveSet& drives) : drives_(drives) {}
    std::uint64_t NowMs() override { return drives_.Now(); }
    void Sleep(std::uint32_t ms) override { drives_.Advance(ms); }
    bool EscapePressed() override { return false; }
    void ExitProgram(int status) override { throw ProgramExit{status}; }

  private:
    emu::DriveSet& drives_;
};

}  // namespace kfs
