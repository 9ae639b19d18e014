#pragma once
// Locates the five tagged buffer records in an executable file image by the sequence
// header-length byte, tag, capacity (the tag text alone also occurs elsewhere in the program).
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "container/buffer_layout.h"

namespace kfs {

struct RecordLocations {
    bool found = false;
    std::string error;  // why the records cannot be used, when !found
    // File offset of each record's data area, in the order of kBufferRecords.
    std::array<std::size_t, 5> dataOffset{};
};

// Every record must occur exactly once, with its whole data area inside the file, and no
// record may overlap another.
RecordLocations FindBufferRecords(std::span<const std::uint8_t> file);

}  // namespace kfs
