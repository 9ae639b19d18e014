#pragma once
// What the flash protocols of the families share: the senses they refuse data with, and the
// programming phase that follows a trigger (progress through sense, time on the drive's clock,
// the identity and check sum of the new image afterwards).
#include <cstdint>
#include <vector>

#include "emulator/emulator.h"

namespace kfs::emu {

// Refusals: a CDB field the drive does not take, an address beyond the flash, data that does
// not agree with its sums, a command out of sequence.
inline Outcome InvalidCdbField() {
    return Outcome::Check(0x05, 0x24, 0x00);
}
inline Outcome OutOfRange() {
    return Outcome::Check(0x05, 0x21, 0x00);
}
inline Outcome BadParameterData() {
    return Outcome::Check(0x05, 0x26, 0x00);
}
inline Outcome SequenceError() {
    return Outcome::Check(0x05, 0x2C, 0x00);
}

// The programming phase: from Start until the time is up the drive is not ready; TEST UNIT
// READY answers 2/04/<qualifier> with the progress (0 to FFFFh) in sense bytes 5 and 6. Then the
// new content lands in the flash, the drive restarts with the identity of the image it holds and,
// when it keeps a check sum, the 16-bit sum of the programmed range. A never_ready drive never
// finishes.
class Programming {
  public:
    // `content` is the whole new flash from offset 0; `extent` bytes of it are programmed.
    void Start(Drive& drive, std::uint64_t now, std::uint32_t durationMs,
               std::vector<std::uint8_t> content, std::size_t extent, std::uint8_t qualifier,
               std::uint8_t atapiFlashType);
    bool active() const { return active_; }
    // Finishes when the time is up.
    void Tick(Drive& drive, std::uint64_t now);
    // The answer to a command while programming: TEST UNIT READY and everything else.
    Outcome Busy(std::uint64_t now) const;

  private:
    bool active_ = false;
    bool never_ = false;
    std::uint64_t start_ = 0;
    std::uint32_t duration_ = 0;
    std::vector<std::uint8_t> content_;
    std::size_t extent_ = 0;
    std::uint8_t qualifier_ = 0x07;
    std::uint8_t type_ = 0;
};

// A staging copy of the flash: starts as the flash holds it, so that bytes a procedure never
// sends keep their old value when the staging is programmed.
std::vector<std::uint8_t> StageFrom(const Drive& drive);

// Takes the drive's INQUIRY data from the image now at the start of the flash (`extent` bytes):
// the INQUIRY block it carries, with model, version, hardware id and date code read the way the
// program reads them from an image of `atapiFlashType`.
void AdoptImageIdentity(Drive& drive, std::size_t extent, std::uint8_t atapiFlashType);

}  // namespace kfs::emu
