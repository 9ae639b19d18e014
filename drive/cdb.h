#pragma once
// Building CDBs: a constant 12-byte template copied and patched with explicit byte-order helpers.
#include <cstdint>

#include "drive/transport.h"

namespace kfs {

static_assert(sizeof(Cdb) == 12, "packet commands are 12 bytes");

// High byte first, as the vendor 5Ah and the WRITE BUFFER commands carry 16-bit values.
inline void PutBe16(Cdb& cdb, std::size_t at, std::uint16_t value) {
    cdb.at(at) = static_cast<std::uint8_t>(value >> 8);
    cdb.at(at + 1) = static_cast<std::uint8_t>(value);
}

// Low byte first (the Philips block command).
inline void PutLe16(Cdb& cdb, std::size_t at, std::uint16_t value) {
    cdb.at(at) = static_cast<std::uint8_t>(value);
    cdb.at(at + 1) = static_cast<std::uint8_t>(value >> 8);
}

// Sense condition of a sense record: key (byte 2 & 0Fh), code (byte 12), qualifier (byte 13).
inline std::uint8_t SenseKey(const SenseData& s) {
    return s[2] & 0x0F;
}
inline std::uint8_t SenseCode(const SenseData& s) {
    return s[12];
}
inline std::uint8_t SenseQualifier(const SenseData& s) {
    return s[13];
}

}  // namespace kfs
