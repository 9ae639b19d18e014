#pragma once
// Zip archives for the loading tests, built byte by byte with zlib's raw deflate, so that the
// same fixtures serve the native and the mingw build and a test can make a hostile archive (a
// member whose header lies about its size, a damaged check sum).
#include <zlib.h>

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace kfs::test {

struct ZipMember {
    ZipMember(std::string name, std::vector<std::uint8_t> data, bool deflated = true)
        : name(std::move(name)), data(std::move(data)), deflated(deflated) {}

    std::string name;  // a name ending in "/" is a folder
    std::vector<std::uint8_t> data;
    bool deflated = true;
    std::optional<std::uint32_t> declaredSize;  // the uncompressed size the headers claim
    bool damagedCheckSum = false;
};

namespace zip_detail {

inline void Put16(std::vector<std::uint8_t>& out, std::uint32_t v) {
    out.push_back(static_cast<std::uint8_t>(v));
    out.push_back(static_cast<std::uint8_t>(v >> 8));
}
inline void Put32(std::vector<std::uint8_t>& out, std::uint32_t v) {
    Put16(out, v & 0xFFFF);
    Put16(out, v >> 16);
}

inline std::vector<std::uint8_t> RawDeflate(const std::vector<std::uint8_t>& data) {
    z_stream z{};
    deflateInit2(&z, Z_DEFAULT_COMPRESSION, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY);
    std::vector<std::uint8_t> out(deflateBound(&z, static_cast<uLong>(data.size())));
    z.next_in = const_cast<Bytef*>(data.data());
    z.avail_in = static_cast<uInt>(data.size());
    z.next_out = out.data();
    z.avail_out = static_cast<uInt>(out.size());
    deflate(&z, Z_FINISH);
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}

}  // namespace zip_detail

// The archive's bytes, members in the given order.
inline std::vector<std::uint8_t> MakeZip(const std::vector<ZipMember>& members) {
    using namespace zip_detail;
    std::vector<std::uint8_t> out, directory;
    for (const ZipMember& m : members) {
        const auto stored = m.deflated ? RawDeflate(m.data) : m.data;
        std::uint32_t crc =
            static_cast<std::uint32_t>(crc32(0, m.data.data(), static_cast<uInt>(m.data.size())));
        if (m.damagedCheckSum)
            crc ^= 1;
        const std::uint32_t size =
            m.declaredSize.value_or(static_cast<std::uint32_t>(m.data.size()));
        const std::uint32_t offset = static_cast<std::uint32_t>(out.size());
        const bool folder = !m.name.empty() && m.name.back() == '/';
        auto common = [&](std::vector<std::uint8_t>& b) {
            Put16(b, 20);                  // version needed
            Put16(b, 0);                   // flags
            Put16(b, m.deflated ? 8 : 0);  // method
            Put16(b, 0);                   // time
            Put16(b, 0x21);                // date: 1980-01-01
            Put32(b, crc);
            Put32(b, static_cast<std::uint32_t>(stored.size()));
            Put32(b, size);
            Put16(b, static_cast<std::uint32_t>(m.name.size()));
            Put16(b, 0);  // extra field
        };
        Put32(out, 0x04034B50);
        common(out);
        out.insert(out.end(), m.name.begin(), m.name.end());
        out.insert(out.end(), stored.begin(), stored.end());

        Put32(directory, 0x02014B50);
        Put16(directory, 20);  // version made by
        common(directory);
        Put16(directory, 0);  // comment
        Put16(directory, 0);  // disk
        Put16(directory, 0);  // internal attributes
        Put32(directory, folder ? 0x10 : 0);
        Put32(directory, offset);
        directory.insert(directory.end(), m.name.begin(), m.name.end());
    }
    const std::uint32_t directoryOffset = static_cast<std::uint32_t>(out.size());
    out.insert(out.end(), directory.begin(), directory.end());
    Put32(out, 0x06054B50);
    Put16(out, 0);
    Put16(out, 0);
    Put16(out, static_cast<std::uint32_t>(members.size()));
    Put16(out, static_cast<std::uint32_t>(members.size()));
    Put32(out, static_cast<std::uint32_t>(directory.size()));
    Put32(out, directoryOffset);
    Put16(out, 0);  // comment
    return out;
}

}  // namespace kfs::test
