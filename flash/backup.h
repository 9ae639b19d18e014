#pragma once
// A copy of a drive's flash taken before an update: the range the update is about to overwrite,
// read with ReadRom in the read-back sequence of verification, and packed as a container that an
// ordinary update writes back.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "container/kfs_parameter.h"
#include "drive/transport.h"
#include "flash/clock.h"
#include "flash/flash_view.h"

namespace kfs {

// What a backup reads when no image tells the range.
inline constexpr std::uint32_t kDefaultBackupSize = 2 * 1024 * 1024;

// The bytes from the start of the flash that the procedure for this container programs: every
// byte it sends, and the bytes between them that the drive programs with their old content.
std::uint32_t FlashWriteExtent(const SKFSParameter& container, bool philipsImage,
                               std::size_t imageLength);

// The outcome of reading the flash: its bytes, or why there are none.
struct FlashReadout {
    std::vector<std::uint8_t> bytes;  // empty when the read failed
    SenseData refusal{};              // the sense of a ReadRom the drive refused
    // The two reads disagree from this flash offset: replies came back short (the transport
    // cannot tell how many bytes arrived) or the flash does not read the same twice.
    std::optional<std::uint32_t> unsteadyAt;
    bool ok() const { return !bytes.empty(); }
};

// Reads `length` bytes (at least 1) from the start of the flash, the progress bar following. The
// range is read twice, into buffers filled with different bytes, and must come back the same: a
// byte a short reply left out keeps its fill and gives itself away.
FlashReadout ReadFlash(Transport& transport, Clock& clock, FlashView& view, DriveIndex drive,
                       std::uint32_t length);

// The container a backup is written as. A KFS3 container with the flash types, the reserved
// blocks and the kernel block of `like` (cut to the backup where they reach past it), one bank
// for the whole image so that the bank-writing procedures take their plain path; for a
// Philips-form image the Philips file, whose procedure is chosen by its form. Either decodes to
// `flash` and writes it back over the same range.
std::vector<std::uint8_t> EncodeBackup(std::span<const std::uint8_t> flash,
                                       const SKFSParameter& like, bool philipsImage);

}  // namespace kfs
