#include "container/embedded_buffers.h"

#include <cstddef>

#include "container/byte_order.h"

namespace kfs::detail {

// One record, packed so that the data follows the capacity bytes without padding.
template <std::size_t TagLength>
struct [[gnu::packed]] RecordHeader {
    unsigned char headerLength;
    char tag[TagLength];
    unsigned char capacity[4];
};

template <std::size_t TagLength, std::uint32_t Capacity>
struct [[gnu::packed]] Record {
    RecordHeader<TagLength> header;
    unsigned char data[Capacity];
};

template <std::size_t N>
constexpr RecordHeader<N - 1> MakeHeader(const char (&tag)[N], std::uint32_t capacity) {
    RecordHeader<N - 1> header{};
    header.headerLength = static_cast<unsigned char>(N - 1 + 4);
    for (std::size_t i = 0; i + 1 < N; ++i) header.tag[i] = tag[i];
    PutLe32(header.capacity, capacity);
    return header;
}

// All five records in one object, in their fixed order, so that the linker cannot reorder or
// separate them. The non-zero headers keep the whole object in initialised data (.data), which
// is what lets the merge tool find and patch the records in the executable file.
struct [[gnu::packed]] EmbeddedRecords {
    Record<15, 0x110000> cvt;
    Record<16, 0x210000> kfs1;
    Record<17, 0x210000> kfs2;
    Record<17, 0x210000> kfs3;
    Record<16, 0x100000> parameters;
};

// Not const and with external linkage: the content is replaced in the file after linking, so the
// compiler must treat it as unknown. constinit: the headers are in the file as built, never
// written by start-up code.
constinit EmbeddedRecords gEmbeddedRecords = {
    {MakeHeader("CVT FILE BUFFER", 0x110000), {}},
    {MakeHeader("KFS3 FILE BUFFER", 0x210000), {}},
    {MakeHeader("KFS3 FILE BUFFER2", 0x210000), {}},
    {MakeHeader("KFS3 FILE BUFFER3", 0x210000), {}},
    {MakeHeader("PARAMETER BUFFER", 0x100000), {}},
};

static_assert(sizeof(EmbeddedRecords) == [] {
    std::size_t total = 0;
    for (const BufferRecordLayout& layout : kBufferRecords) {
        total += 1 + layout.headerLength + layout.capacity;
    }
    return total;
}());
static_assert(offsetof(EmbeddedRecords, kfs1) == 1 + 19 + 0x110000);

}  // namespace kfs::detail

namespace kfs {
namespace {

// Hides the origin of the pointer from the optimiser: whatever is read through the result is
// loaded from memory, never folded from the zero initialiser seen at compile time.
const std::uint8_t* Opaque(const void* address) {
    auto pointer = static_cast<const std::uint8_t*>(address);
    asm volatile("" : "+r"(pointer)::"memory");
    return pointer;
}

const void* HeaderAddress(BufferId id) {
    auto& records = detail::gEmbeddedRecords;
    switch (id) {
        case BufferId::kCvt:
            return &records.cvt;
        case BufferId::kKfs1:
            return &records.kfs1;
        case BufferId::kKfs2:
            return &records.kfs2;
        case BufferId::kKfs3:
            return &records.kfs3;
        case BufferId::kParameters:
            return &records.parameters;
    }
    return nullptr;
}

}  // namespace

std::span<const std::uint8_t> EmbeddedBufferData(BufferId id) {
    const void* header = HeaderAddress(id);
    if (header == nullptr)
        return {};
    const BufferRecordLayout& layout = RecordLayout(id);
    return {Opaque(header) + 1 + layout.headerLength, layout.capacity};
}

std::span<const std::uint8_t> CvtBufferData() {
    return EmbeddedBufferData(BufferId::kCvt);
}

std::span<const std::uint8_t> KfsBufferData(int slot) {
    if (slot < 1 || slot > 3)
        return {};
    return EmbeddedBufferData(static_cast<BufferId>(slot));
}

std::span<const std::uint8_t> ParameterBufferData() {
    return EmbeddedBufferData(BufferId::kParameters);
}

}  // namespace kfs
