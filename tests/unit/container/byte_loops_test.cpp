#include "container/byte_loops.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace kfs {
namespace {

using Bytes = std::vector<std::uint8_t>;

// Every body this machine can run: the wide ones give the same results as the portable one and
// the plain loops below, bit for bit.
std::vector<VectorUnit> Units() {
    std::vector<VectorUnit> units;
    for (VectorUnit unit : {VectorUnit::kPortable, VectorUnit::kSse2, VectorUnit::kAvx2}) {
        if (unit <= AvailableVectorUnit())
            units.push_back(unit);
    }
    return units;
}

std::string Name(VectorUnit unit) {
    switch (unit) {
        case VectorUnit::kPortable:
            return "portable";
        case VectorUnit::kSse2:
            return "SSE2";
        case VectorUnit::kAvx2:
            return "AVX2";
    }
    return "?";
}

Bytes RandomBytes(std::mt19937& random, std::size_t n) {
    Bytes b(n);
    for (auto& x : b) x = static_cast<std::uint8_t>(random());
    return b;
}

// Stretches of a buffer: every start within a few vectors (unaligned ones included) and lengths
// from empty through the tail sizes of each body up to several pages and key periods.
struct Stretch {
    std::size_t from, length;
};
std::vector<Stretch> Stretches(std::mt19937& random, std::size_t bufferSize) {
    std::vector<Stretch> s;
    for (std::size_t length : {0,  1,   7,   8,   15,  16,  17,  31,  32,  33,  63,       64,
                               65, 127, 128, 129, 255, 256, 257, 511, 512, 513, 4096 + 77}) {
        for (std::size_t from : {0, 1, 3, 8, 31, 33}) s.push_back({from, length});
    }
    for (int i = 0; i < 300; ++i) {
        const std::size_t from = random() % 97;
        s.push_back({from, random() % (bufferSize - from)});
    }
    return s;
}

constexpr std::size_t kBufferSize = 20000;

TEST(ByteLoops, SumBytesEqualsThePlainSum) {
    std::mt19937 random(1);
    const Bytes b = RandomBytes(random, kBufferSize);
    for (VectorUnit unit : Units()) {
        SCOPED_TRACE(Name(unit));
        for (const Stretch& s : Stretches(random, b.size())) {
            std::uint32_t plain = 0;
            for (std::size_t i = 0; i < s.length; ++i) plain += b[s.from + i];
            ASSERT_EQ(SumBytes(b.data() + s.from, s.length, unit), plain)
                << s.from << "+" << s.length;
        }
        // Bytes of FFh fill every lane as fast as anything can: 3 MB would overflow 16 bits, and
        // 32 bits wrap after 17 MB.
        const Bytes ff(0x1100003, 0xFF);
        EXPECT_EQ(SumBytes(ff.data() + 1, 0x300000, unit), 0x300000u * 0xFF);
        EXPECT_EQ(SumBytes(ff.data() + 3, 0x1100000, unit),
                  static_cast<std::uint32_t>(0x1100000ull * 0xFF));
    }
}

TEST(ByteLoops, SubtractFromKeyStreamEqualsThePlainLoop) {
    std::mt19937 random(2);
    const Bytes key = RandomBytes(random, kKeyStreamPeriod);
    const Bytes src = RandomBytes(random, kBufferSize);
    for (VectorUnit unit : Units()) {
        SCOPED_TRACE(Name(unit));
        for (const Stretch& s : Stretches(random, src.size())) {
            Bytes plain(s.length);
            for (std::size_t i = 0; i < s.length; ++i) {
                plain[i] = static_cast<std::uint8_t>(key[i % kKeyStreamPeriod] - src[s.from + i]);
            }
            // Into a buffer of its own, with a guard byte that must stay as it is...
            Bytes out(s.length + 1, 0xA5);
            SubtractFromKeyStream(key.data(), src.data() + s.from, out.data(), s.length, unit);
            ASSERT_EQ(Bytes(out.begin(), out.end() - 1), plain) << s.from << "+" << s.length;
            ASSERT_EQ(out.back(), 0xA5) << s.from << "+" << s.length;
            // ...and in place, as descrambling a bank does.
            Bytes inPlace = src;
            SubtractFromKeyStream(key.data(), inPlace.data() + s.from, inPlace.data() + s.from,
                                  s.length, unit);
            ASSERT_TRUE(std::equal(plain.begin(), plain.end(), inPlace.begin() + s.from));
            ASSERT_TRUE(std::equal(src.begin(), src.begin() + s.from, inPlace.begin()));
            ASSERT_TRUE(std::equal(src.begin() + s.from + s.length, src.end(),
                                   inPlace.begin() + s.from + s.length));
        }
    }
}

TEST(ByteLoops, FirstDifferenceFindsTheFirstOfTheDifferences) {
    std::mt19937 random(3);
    const Bytes a = RandomBytes(random, kBufferSize);
    for (VectorUnit unit : Units()) {
        SCOPED_TRACE(Name(unit));
        for (const Stretch& s : Stretches(random, a.size())) {
            // No difference, one, or two (the first one counts), anywhere in the stretch.
            for (int differences = 0; differences <= 2; ++differences) {
                Bytes b = a;
                std::size_t first = s.length;
                for (int d = 0; d < differences && s.length > 0; ++d) {
                    const std::size_t at = random() % s.length;
                    b[s.from + at] =
                        static_cast<std::uint8_t>(a[s.from + at] ^ (1u << (random() % 8)));
                    first = std::min(first, at);
                }
                long pages = 0;
                const std::size_t got = FirstDifference(
                    a.data() + s.from, b.data() + s.from, s.length,
                    [](void* context) { ++*static_cast<long*>(context); }, &pages, unit);
                ASSERT_EQ(got, first) << s.from << "+" << s.length;
                // One call per whole page before the difference (or in the stretch).
                ASSERT_EQ(pages, static_cast<long>(first / kComparePage))
                    << s.from << "+" << s.length;
                // Without a callback the answer is the same.
                ASSERT_EQ(FirstDifference(a.data() + s.from, b.data() + s.from, s.length, nullptr,
                                          nullptr, unit),
                          first);
            }
        }
    }
}

// A difference just past the end of the stretch is not seen.
TEST(ByteLoops, FirstDifferenceLooksOnlyAtTheStretch) {
    for (VectorUnit unit : Units()) {
        SCOPED_TRACE(Name(unit));
        for (std::size_t length : {0, 5, 255, 256, 1000}) {
            Bytes a(length + 1, 7), b(length + 1, 7);
            b[length] = 8;
            EXPECT_EQ(FirstDifference(a.data(), b.data(), length, nullptr, nullptr, unit), length);
        }
    }
}

}  // namespace
}  // namespace kfs
