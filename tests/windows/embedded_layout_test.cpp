// The five tagged records as they sit in a built Windows program: found in the .exe file by their
// header-length byte, tag and capacity, in their fixed order, with zero data, inside a writable
// initialised-data section of the PE image (a record in uninitialised data would not be in the
// file at all, and one in read-only data could be assumed constant).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "container/buffer_layout.h"
#include "container/embedded_buffers.h"

namespace kfs {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes ReadFile(const std::string& name) {
    std::ifstream in(name, std::ios::binary);
    return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

std::uint32_t Le(const Bytes& bytes, std::size_t at, int size) {
    std::uint32_t value = 0;
    for (int i = size - 1; i >= 0; --i) value = (value << 8) | bytes.at(at + i);
    return value;
}

struct PeSection {
    std::string name;
    std::uint32_t raw_offset;
    std::uint32_t raw_size;
    std::uint32_t characteristics;
};

std::vector<PeSection> ReadSections(const Bytes& file) {
    std::vector<PeSection> sections;
    const std::size_t pe = Le(file, 0x3C, 4);
    if (file.size() < pe + 24 || Le(file, pe, 4) != 0x00004550)
        return sections;  // "PE\0\0"
    const std::size_t count = Le(file, pe + 6, 2);
    const std::size_t table = pe + 24 + Le(file, pe + 20, 2);
    for (std::size_t i = 0; i < count; ++i) {
        const std::size_t at = table + 40 * i;
        std::string name(file.begin() + at, file.begin() + at + 8);
        name.erase(name.find_last_not_of('\0') + 1);
        sections.push_back(
            {name, Le(file, at + 20, 4), Le(file, at + 16, 4), Le(file, at + 36, 4)});
    }
    return sections;
}

constexpr std::uint32_t kInitialisedData = 0x00000040;
constexpr std::uint32_t kUninitialisedData = 0x00000080;
constexpr std::uint32_t kWritable = 0x80000000;

void ExpectRecordsInFile(const std::string& program) {
    const Bytes file = ReadFile(program);
    ASSERT_GT(file.size(), 0x840000u) << program;
    const std::vector<PeSection> sections = ReadSections(file);
    ASSERT_FALSE(sections.empty()) << program << " is no PE file";

    std::size_t expected_at = 0;
    for (std::size_t r = 0; r < kBufferRecords.size(); ++r) {
        const BufferRecordLayout& layout = kBufferRecords[r];
        SCOPED_TRACE(std::string(layout.tag));
        Bytes signature = {static_cast<std::uint8_t>(layout.tag.size() + 4)};
        signature.insert(signature.end(), layout.tag.begin(), layout.tag.end());
        for (int i = 0; i < 4; ++i)
            signature.push_back(static_cast<std::uint8_t>(layout.capacity >> (8 * i)));

        const auto hit = std::search(file.begin(), file.end(), signature.begin(), signature.end());
        ASSERT_NE(hit, file.end());
        EXPECT_EQ(std::search(hit + 1, file.end(), signature.begin(), signature.end()), file.end())
            << "record appears twice";
        const std::size_t at = static_cast<std::size_t>(hit - file.begin());
        if (r > 0) {
            EXPECT_EQ(at, expected_at) << "records out of order or apart";
        }
        EXPECT_EQ(file[at], layout.headerLength);

        const std::size_t data = at + 1 + layout.headerLength;
        ASSERT_LE(data + layout.capacity, file.size());
        EXPECT_TRUE(std::all_of(file.begin() + data, file.begin() + data + layout.capacity,
                                [](std::uint8_t b) { return b == 0; }))
            << "shipped data not empty";
        expected_at = data + layout.capacity;

        const auto section =
            std::find_if(sections.begin(), sections.end(), [&](const PeSection& s) {
                return at >= s.raw_offset && expected_at <= std::size_t{s.raw_offset} + s.raw_size;
            });
        ASSERT_NE(section, sections.end()) << "record not inside one section's file data";
        EXPECT_EQ(section->characteristics & (kInitialisedData | kUninitialisedData | kWritable),
                  kInitialisedData | kWritable)
            << "in section " << section->name;
    }
}

TEST(EmbeddedLayout, RecordsSitInTheInitialisedDataOfTheBuiltProgram) {
    ExpectRecordsInFile(KFS_PARAM_PROBE);
#ifdef KFS_FLASH_PROGRAM
    ExpectRecordsInFile(KFS_FLASH_PROGRAM);
#endif
}

// The accessors address the data area that follows each record's own header.
TEST(EmbeddedLayout, AccessorsPointBehindTheirOwnRecordHeader) {
    const std::span<const std::uint8_t> areas[] = {CvtBufferData(), KfsBufferData(1),
                                                   KfsBufferData(2), KfsBufferData(3),
                                                   ParameterBufferData()};
    for (std::size_t r = 0; r < kBufferRecords.size(); ++r) {
        const BufferRecordLayout& layout = kBufferRecords[r];
        SCOPED_TRACE(std::string(layout.tag));
        ASSERT_EQ(areas[r].size(), layout.capacity);
        const std::uint8_t* header = areas[r].data() - 1 - layout.headerLength;
        EXPECT_EQ(header[0], layout.headerLength);
        EXPECT_EQ(std::string(header + 1, header + 1 + layout.tag.size()), layout.tag);
        if (r + 1 < kBufferRecords.size()) {
            EXPECT_EQ(areas[r].data() + areas[r].size() + 1 + kBufferRecords[r + 1].headerLength,
                      areas[r + 1].data());
        }
    }
    EXPECT_TRUE(KfsBufferData(0).empty());
    EXPECT_TRUE(KfsBufferData(4).empty());
}

}  // namespace
}  // namespace kfs
