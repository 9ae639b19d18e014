#pragma once
// Read access to the five tagged buffers inside the program's own executable. The records are
// filled after linking by kfsmerge; at run time the program only reads them.
#include <cstdint>
#include <span>

#include "container/buffer_layout.h"

namespace kfs {

// The data area of a record: its address is the header-length byte's address + 1 + header
// length, its size the record's capacity. The content is read at run time, never assumed.
std::span<const std::uint8_t> EmbeddedBufferData(BufferId id);

// The buffer tagged "CVT FILE BUFFER": a Philips-form container, length first.
std::span<const std::uint8_t> CvtBufferData();

// KFS container buffer `slot`, 1 to 3; any other slot gives an empty span.
std::span<const std::uint8_t> KfsBufferData(int slot);

// The buffer tagged "PARAMETER BUFFER": the parameter text, zero-terminated unless it is full.
std::span<const std::uint8_t> ParameterBufferData();

}  // namespace kfs
