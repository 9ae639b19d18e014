#pragma once
// Verification after flashing: by the check sum a drive keeps, or by reading the flash ROM back
// and comparing it with the image byte for byte.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "flash/flash_job.h"

namespace kfs {

// The check sum the drive must report for an image: the low 16 bits of the byte sum for a
// Philips-form image, the fixed-data check sum (CalcFixDataCheckSum) for every other one.
std::uint16_t ExpectedCheckSum(std::span<const std::uint8_t> image, const SKFSParameter& container,
                               bool philipsImage);
inline std::uint16_t ExpectedCheckSum(const FlashJob& job) {
    return ExpectedCheckSum(job.image, job.container, job.philipsImage);
}

// The detail line verification by check sum shows while ShowCheckSumDetail is on.
std::string CheckSumDetailLine(std::uint16_t expected, std::uint16_t device);

// How the flash is read back for an image of `imageLength` bytes: the length rounded up to whole
// 256-byte pages, and the ReadRom chunk (4096 bytes from 2 MB on, else 256).
struct ReadBackPlan {
    std::uint32_t total = 0;     // T
    std::uint32_t chunk = 0;     // d
    std::uint32_t banks = 0;     // (T + 65535) / 65536
    std::size_t bufferSize = 0;  // bytes the read-back buffer must hold
    std::uint32_t commands = 0;  // ReadRom commands the read-back sends
};
ReadBackPlan PlanReadBack(std::size_t imageLength);

// Reads the flash ROM into `buffer` (at least PlanReadBack(...).bufferSize bytes) with ReadRom,
// bank by bank, stepping the progress bar by the chunk size and wrapping it at Max. `barAtStart`
// is where the bar stands when the read begins. False as soon as a ReadRom fails.
bool ReadRomImage(FlashJob& job, std::uint8_t* buffer, std::uint32_t barAtStart = kProgressMax);

// The comparison step of read-back verification: image against read-back, one bar step of 256
// per 256 bytes compared, wrapping at Max; pending messages are let through once per 64 KB
// compared (one turn of the bar). The bar must stand at 0 on entry. Returns the position of the
// first difference, or -1.
std::ptrdiff_t CompareReadBack(FlashView& view, std::span<const std::uint8_t> image,
                               const std::uint8_t* readBack);

// Read-back verification of a Philips-form image: the flash must hold what the Philips procedure
// sent, the image in whole 16 KB blocks (zeros beyond its end). The check sum a drive may keep
// is not asked: the form's sums are the drive's own to judge. On false an "Error" box has
// already been shown.
bool VerifyPhilipsForm(FlashJob& job);

// True when the drive holds the image. On false an "Error" box has already been shown.
// `showCheckSumDetail` is the program-wide switch that lists both check sums.
bool VerifyFlash(FlashJob& job, std::uint16_t expectedCheckSum, bool showCheckSumDetail);

}  // namespace kfs
