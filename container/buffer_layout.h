#pragma once
// The five tagged buffer records that the program carries in its initialised data and that the
// merge tool fills after linking. Each record is, byte for byte:
//   header length (1 byte, tag length + 4), tag (no terminator), capacity (32-bit little-endian),
//   data (capacity bytes, zero where unused).
// The table is header-only so that tools which locate records in a file image do not link the
// 8.5 MB of records themselves.
#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace kfs {

enum class BufferId : int { kCvt = 0, kKfs1 = 1, kKfs2 = 2, kKfs3 = 3, kParameters = 4 };

struct BufferRecordLayout {
    std::string_view tag;
    std::uint8_t headerLength;  // bytes between the header-length byte and the data
    std::uint32_t capacity;     // size of the data area
};

// In the order the records sit in the executable.
inline constexpr std::array<BufferRecordLayout, 5> kBufferRecords = {{
    {"CVT FILE BUFFER", 19, 0x110000},
    {"KFS3 FILE BUFFER", 20, 0x210000},
    {"KFS3 FILE BUFFER2", 21, 0x210000},
    {"KFS3 FILE BUFFER3", 21, 0x210000},
    {"PARAMETER BUFFER", 20, 0x100000},
}};

constexpr const BufferRecordLayout& RecordLayout(BufferId id) {
    return kBufferRecords[static_cast<std::size_t>(id)];
}

// The byte sequence that identifies a record in a file: header-length byte, tag, capacity.
std::vector<std::uint8_t> RecordSignature(const BufferRecordLayout& layout);

}  // namespace kfs
