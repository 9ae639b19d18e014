#pragma once
// One emulated drive answering the commands a kernel's SCSI target layer hands to user space.
//
// Two things differ from the in-process path. The target layer keeps only as many CDB bytes as
// the operation code's group implies (6, 10, 12 or 16; 10 for the vendor groups C0h-FFh), so
// bytes 10 and 11 of a 12-byte 5Ah or vendor command never arrive; and it does not say which way
// the data moves. The bridge therefore infers the direction from the operation code, takes the
// transfer length from the data area, and rebuilds the dropped bytes where the transfer length
// fixes them (the length of a ROM read). The kernel also sends commands of its own while it
// attaches and opens the device; the ones the drive's command set lacks (MODE SENSE, GET
// CONFIGURATION, READ TOC, READ CAPACITY, READ(10), VPD pages) are answered here as a CD-ROM
// drive answers them, and never reach the emulator or its trace.
#include <chrono>
#include <cstddef>
#include <cstdint>

#include "emulator/emulator.h"

namespace kfs::emu::bridge {

constexpr std::uint8_t kStatusGood = 0x00;
constexpr std::uint8_t kStatusCheckCondition = 0x02;

// CDB bytes the target layer keeps for an operation code.
std::size_t KeptCdbLength(std::uint8_t opcode);

// Direction of the data phase of a command of the drive's command set: kDirOut for the commands
// that carry data to the drive, kDirIn for every other command with a data phase.
std::uint8_t DirectionOf(const std::array<std::uint8_t, 12>& cdb);

struct Answer {
    std::uint8_t status = kStatusGood;
    Sense sense{};             // fixed format, when status is CHECK CONDITION
    std::uint32_t dataIn = 0;  // bytes of data-in actually returned
    bool byBridge = false;     // answered here for the kernel, not by the emulator
    bool reads = true;         // the data phase (if any) moves data in
    // The drive never answers: a target that can leave a command open sends no status for it
    // (the initiator's time-out and task management end it); one that cannot ends it as a
    // check condition without sense.
    bool unanswered = false;
};

class DriveBridge {
  public:
    // `set` holds the drive at position `device`; its virtual clock follows the wall clock (times
    // the drive's time scale).
    DriveBridge(DriveSet& set, int device);

    // Runs a command as the target layer delivered it: `cdb_length` bytes of CDB, a data area
    // of `length` bytes (filled for data-out, to be filled for data-in).
    Answer Run(const std::uint8_t* cdb, std::size_t cdb_length, std::uint8_t* data,
               std::uint32_t length);

  private:
    void FollowWallClock();

    DriveSet& set_;
    int device_;
    std::chrono::steady_clock::time_point last_;
};

}  // namespace kfs::emu::bridge
