#include "container/checksum.h"

#include <gtest/gtest.h>

#include <numeric>

#include "container_fixtures.h"

namespace kfs {
namespace {

using test::Bytes;

std::uint32_t SlowSum(const Bytes& b, std::size_t from, std::size_t to) {
    return std::accumulate(b.begin() + from, b.begin() + to, std::uint32_t{0});
}

TEST(ByteSum, EqualsThePlainSumAtEveryAlignment) {
    Bytes b(300);
    for (std::size_t i = 0; i < b.size(); ++i) b[i] = static_cast<std::uint8_t>(255 - i * 7);
    for (std::size_t from : {0, 1, 5, 16}) {
        for (std::size_t to : {from, from + 1, from + 31, from + 32, from + 33, std::size_t{300}}) {
            EXPECT_EQ(ByteSum(std::span(b).subspan(from, to - from)), SlowSum(b, from, to))
                << from << ".." << to;
        }
    }
    // The 32-bit sum wraps: 17 MB of FFh bytes exceed 2^32.
    Bytes ff(0x1100000, 0xFF);
    EXPECT_EQ(ByteSum(ff), static_cast<std::uint32_t>(0x1100000ull * 0xFF));
}

// Image of 0x40 bytes, byte i = i + 1; the last 8 bytes sum to 0x39 + ... + 0x40 = 0x1E4.
TEST(CalcCheckSum, LastEightBytesOnlyForFlashType6) {
    Bytes image(0x40);
    std::iota(image.begin(), image.end(), std::uint8_t{1});
    const std::uint32_t all = SlowSum(image, 0, 0x40);
    SKFSParameter p;
    for (std::uint8_t type : {0, 1, 5, 7, 8}) {
        p.AtapiFlashType = type;
        EXPECT_EQ(CalcCheckSum(image, p), all) << int(type);
    }
    p.AtapiFlashType = 6;
    EXPECT_EQ(CalcCheckSum(image, p), all - 0x1E4);
    Bytes tiny{1, 2, 3};
    EXPECT_EQ(CalcCheckSum(tiny, p), 0u);
}

TEST(CalcFixDataCheckSum, SubtractsKernelAndReservedBytes) {
    Bytes image(0x40);
    std::iota(image.begin(), image.end(), std::uint8_t{1});
    const std::uint32_t all = SlowSum(image, 0, 0x40);
    const std::uint32_t tail = SlowSum(image, 0x38, 0x40);
    const struct {
        const char* name;
        std::uint8_t type;
        SKFSReserveBlock kernel;
        std::vector<SKFSReserveBlock> reserved;
        std::uint32_t expected;
    } cases[] = {
        {"no blocks", 1, {0, 0}, {}, all},
        {"kernel and one block", 1, {0, 4}, {{0x10, 2}}, all - (1 + 2 + 3 + 4) - (0x11 + 0x12)},
        {"overlap counted per block",
         1,
         {0x10, 2},
         {{0x10, 2}, {0x11, 1}},
         all - 2 * (0x11 + 0x12) - 0x12},
        {"type 6: block into the tail", 6, {0, 0}, {{0x36, 6}}, all - tail - (0x37 + 0x38)},
        {"type 6: kernel in the tail", 6, {0x3C, 4}, {}, all - tail},
        {"not type 6: block into the tail",
         4,
         {0, 0},
         {{0x36, 6}},
         all - SlowSum(image, 0x36, 0x3C)},
        {"block past the image", 1, {0, 0}, {{0x3E, 0x1000}, {0x80, 4}}, all - 0x3F - 0x40},
    };
    for (const auto& c : cases) {
        SKFSParameter p;
        p.AtapiFlashType = c.type;
        p.KernelBlock = c.kernel;
        p.ReservedBlocks = c.reserved;
        EXPECT_EQ(CalcFixDataCheckSum(image, p), static_cast<std::uint16_t>(c.expected)) << c.name;
    }
}

}  // namespace
}  // namespace kfs
