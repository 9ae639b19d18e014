#include "container/record_finder.h"

#include <cstring>
#include <vector>

namespace kfs {
namespace {

// memchr on the header-length byte keeps the scan over several megabytes of mostly zero data
// fast; the rest of the signature is compared only where that byte occurs.
std::vector<std::size_t> FindAll(std::span<const std::uint8_t> file,
                                 const std::vector<std::uint8_t>& signature) {
    std::vector<std::size_t> offsets;
    if (file.size() < signature.size())
        return offsets;
    const std::uint8_t* const begin = file.data();
    const std::uint8_t* const last = begin + (file.size() - signature.size());
    const std::uint8_t* at = begin;
    while (at <= last) {
        const void* hit =
            std::memchr(at, signature.front(), static_cast<std::size_t>(last - at) + 1);
        if (hit == nullptr)
            break;
        at = static_cast<const std::uint8_t*>(hit);
        if (std::memcmp(at, signature.data(), signature.size()) == 0) {
            offsets.push_back(static_cast<std::size_t>(at - begin));
        }
        ++at;
    }
    return offsets;
}

std::string Quoted(std::string_view tag) {
    std::string quoted;
    quoted.reserve(tag.size() + 2);
    quoted.append(1, '"').append(tag).append(1, '"');
    return quoted;
}

}  // namespace

RecordLocations FindBufferRecords(std::span<const std::uint8_t> file) {
    RecordLocations result;
    std::array<std::size_t, 5> header_offset{};
    for (std::size_t i = 0; i < kBufferRecords.size(); ++i) {
        const BufferRecordLayout& layout = kBufferRecords[i];
        const std::vector<std::size_t> hits = FindAll(file, RecordSignature(layout));
        if (hits.empty()) {
            result.error = "buffer record " + Quoted(layout.tag) + " not found";
            return result;
        }
        if (hits.size() > 1) {
            result.error = "buffer record " + Quoted(layout.tag) + " appears " +
                           std::to_string(hits.size()) + " times";
            return result;
        }
        header_offset[i] = hits.front();
        result.dataOffset[i] = hits.front() + 1 + layout.headerLength;
        if (file.size() - result.dataOffset[i] < layout.capacity) {
            result.error =
                "buffer record " + Quoted(layout.tag) + " is cut short by the end of the file";
            return result;
        }
    }
    for (std::size_t i = 0; i < kBufferRecords.size(); ++i) {
        for (std::size_t j = 0; j < kBufferRecords.size(); ++j) {
            const std::size_t end = result.dataOffset[i] + kBufferRecords[i].capacity;
            if (i != j && header_offset[j] >= header_offset[i] && header_offset[j] < end) {
                result.error = "buffer records " + Quoted(kBufferRecords[i].tag) + " and " +
                               Quoted(kBufferRecords[j].tag) + " overlap";
                return result;
            }
        }
    }
    result.found = true;
    return result;
}

}  // namespace kfs
