#pragma once
// The two check sums over a firmware image.
#include <cstdint>
#include <span>

#include "container/kfs_parameter.h"

namespace kfs {

// The 32-bit sum of the unsigned image bytes (wrapping); with AtapiFlashType 6 the last 8 bytes
// are left out. Callers compare its low 16 bits with HeaderCheckSum.
std::uint32_t CalcCheckSum(std::span<const std::uint8_t> image, const SKFSParameter& parameter);

// The 16-bit sum of the fixed data: CalcCheckSum less every byte of the kernel block and of each
// reserved block (a byte covered by several blocks is subtracted once per block). Bytes already
// left out by the AtapiFlashType 6 rule, and block bytes beyond the image, are not subtracted.
std::uint16_t CalcFixDataCheckSum(std::span<const std::uint8_t> image,
                                  const SKFSParameter& parameter);

// The plain 32-bit wrapping sum of the bytes: the one byte sum behind every firmware check sum.
std::uint32_t ByteSum(std::span<const std::uint8_t> bytes);

// Its low 16 bits: the sum a drive keeps, an ALI block carries and a Philips file's header holds.
inline std::uint16_t ByteSum16(std::span<const std::uint8_t> bytes) {
    return static_cast<std::uint16_t>(ByteSum(bytes));
}

}  // namespace kfs
