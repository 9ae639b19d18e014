#pragma once
// Building CDBs: a constant 12-byte template copied and patched with explicit byte-order helpers.
#include <cstdint>
#include <stdexcept>

#include "container/byte_order.h"
#include "drive/transport.h"

namespace kfs {

static_assert(sizeof(Cdb) == 12, "packet commands are 12 bytes");

// The `size` bytes of the field at `at`: a field that does not lie inside the 12 bytes throws
// std::out_of_range, as an index past them does.
inline std::uint8_t* CdbField(Cdb& cdb, std::size_t at, std::size_t size) {
    if (at > cdb.size() || size > cdb.size() - at)
        throw std::out_of_range("CDB field past byte 11");
    return cdb.data() + at;
}

// High byte first, as the vendor 5Ah and the WRITE BUFFER commands carry 16-bit values.
inline void PutBe16(Cdb& cdb, std::size_t at, std::uint16_t value) {
    PutBe16(CdbField(cdb, at, 2), value);
}

// Low byte first (the Philips block command).
inline void PutLe16(Cdb& cdb, std::size_t at, std::uint16_t value) {
    PutLe16(CdbField(cdb, at, 2), value);
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
