#include "container/buffer_layout.h"

namespace kfs {

static_assert([] {
    for (const BufferRecordLayout& layout : kBufferRecords) {
        if (layout.headerLength != layout.tag.size() + 4)
            return false;
    }
    return true;
}());

std::vector<std::uint8_t> RecordSignature(const BufferRecordLayout& layout) {
    std::vector<std::uint8_t> signature;
    signature.reserve(1 + layout.headerLength);
    signature.push_back(layout.headerLength);
    signature.insert(signature.end(), layout.tag.begin(), layout.tag.end());
    for (int shift = 0; shift < 32; shift += 8) {
        signature.push_back(static_cast<std::uint8_t>(layout.capacity >> shift));
    }
    return signature;
}

}  // namespace kfs
