#pragma once
// Decoding of firmware containers: the KFS1 layout (version byte " ", "1" or "2"), the KFS3
// layout (version byte "3") and the Philips form (length prefix, "Philips" text, image, trailer).
//
// Every operation takes the container as a bounded span. A container whose header, tables or
// banks reach past the end of that span, or whose blocks lie outside the image, is refused and
// never read past its end; the image is never written past its end.
//
// Calling order: GetKFSLength (0: no usable container); allocate a zero-filled image of
// GetImageLength bytes (the Philips form carries L - 40 image bytes); LoadKFS.
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "container/kfs_parameter.h"

namespace kfs {

enum class KfsForm { kNone, kKfs1, kKfs3, kPhilips };

inline constexpr char kKfsMagic[] = "KEMO FILE SYSTEM";
inline constexpr char kPhilipsMark[] = "Philips";
inline constexpr std::uint32_t kKfs1BankStride = 0x10000;
inline constexpr std::uint32_t kKfs1MaxBanks = 38;  // the 112-byte header holds 38 sizes
inline constexpr std::uint32_t kPhilipsHeaderLength = 40;

// True when container bytes 4 to 10 read "Philips".
bool IsPhilipsForm(std::span<const std::uint8_t> container);

// Which layout the container declares: the Philips mark first, then the version byte at offset
// 24. The magic is not examined here.
KfsForm GetKfsForm(std::span<const std::uint8_t> container);

// The 32-bit size the caller allocates for the image; for the Philips form the trailer offset L
// (the image is L - 40 bytes). 0: no usable container (unknown layout, header shorter than the
// fields read, a KFS3 size that overflows 32 bits, more KFS1 banks than the header holds, a
// Philips length of 40 or less or a trailer beyond the container).
std::uint32_t GetKFSLength(std::span<const std::uint8_t> container);

// The image size to allocate: GetKFSLength, less the 40 header bytes for the Philips form.
std::uint32_t GetImageLength(std::span<const std::uint8_t> container);

// Decodes the container into `parameter` and the zero-filled `image` (at least GetImageLength
// bytes). False for a wrong magic, an unrecognised version byte or a container that breaks the
// layout's limits; `parameter` and `image` may then be partly filled. When `reason` is given it
// receives a one-line explanation of a refusal.
bool LoadKFS(std::span<const std::uint8_t> container, SKFSParameter& parameter,
             std::span<std::uint8_t> image, std::string* reason = nullptr);

// True when a firmware file is a Philips file: it begins with "Philips".
bool IsPhilipsFile(std::span<const std::uint8_t> file);

// The Philips form of a Philips file: the file's length, 4 bytes big-endian, then the file.
std::vector<std::uint8_t> PhilipsFormFromFile(std::span<const std::uint8_t> file);

// Scrambles or descrambles bytes in place with a one-byte starting key; its own inverse.
void DescrambleBank(std::span<std::uint8_t> bytes, std::uint8_t key);

// The KFS3 bank key built from the four ScrambleSeed bytes: ((s1 - s2) * s0 + s3) mod 256.
std::uint8_t Kfs3BankKey(const std::uint8_t seed[4]);

}  // namespace kfs
