#pragma once
// The transport contract over the drive emulator: the emulated CD-ROM devices, in the order of
// the description, make up the drive table (at most 20 entries, like every back end).
#include "drive/transport.h"
#include "emulator/emulator.h"

namespace kfs {

class EmulatedTransport : public Transport {
  public:
    static constexpr int kMaxDrives = 20;

    explicit EmulatedTransport(emu::DriveSet& drives);

    SenseData GetSenseData() const override { return sense_; }
    int DriveCount() const override { return static_cast<int>(table_.size()); }

    // Position of a drive-table entry in the emulator's device list.
    int DeviceOf(DriveIndex drive) const { return table_.at(drive); }

  protected:
    // The emulated drive answers: good, or a check condition with its sense; a command an
    // `errno` fault keeps from it fails with that errno, as the system's refusal; one it never
    // answers fails with the host's time-out.
    CommandResult Execute(DriveIndex drive, const Cdb& cdb, std::uint8_t* buffer,
                          std::uint16_t length, std::uint8_t direction,
                          std::uint32_t timeoutMs) override;

  private:
    emu::DriveSet& drives_;
    std::vector<int> table_;
    SenseData sense_{};
};

}  // namespace kfs
