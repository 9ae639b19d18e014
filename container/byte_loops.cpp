#include "container/byte_loops.h"

#include <algorithm>
#include <cstring>

#if defined(__i386__) || defined(__x86_64__)
#define KFS_X86 1
#include <immintrin.h>
#else
#define KFS_X86 0
#endif

namespace kfs {
namespace {

// ---- Portable bodies: plain C++ over 64-bit words, for any processor. ----

std::uint64_t LoadWord(const std::uint8_t* p) {
    std::uint64_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

std::uint32_t SumBytesPortable(const std::uint8_t* p, std::size_t n) {
    // Eight bytes at a time in four 16-bit lanes, folded before a lane can overflow: 128 words
    // add at most 128 * 2 * 255 to a lane.
    constexpr std::uint64_t kLowBytes = 0x00FF00FF00FF00FFull;
    std::uint32_t sum = 0;
    while (n >= 8) {
        const std::size_t words = std::min<std::size_t>(n / 8, 128);
        std::uint64_t lanes = 0;
        for (std::size_t w = 0; w < words; ++w, p += 8) {
            const std::uint64_t v = LoadWord(p);
            lanes += (v & kLowBytes) + ((v >> 8) & kLowBytes);
        }
        n -= words * 8;
        for (int shift = 0; shift < 64; shift += 16) {
            sum += static_cast<std::uint32_t>((lanes >> shift) & 0xFFFF);
        }
    }
    for (; n > 0; --n, ++p) sum += *p;
    return sum;
}

// dst[i] = key[(first + i) mod 512] - src[i] for i below n, one byte at a time.
void SubtractBytes(const std::uint8_t* key, std::size_t first, const std::uint8_t* src,
                   std::uint8_t* dst, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
        dst[i] = static_cast<std::uint8_t>(key[(first + i) % kKeyStreamPeriod] - src[i]);
    }
}

void SubtractFromKeyStreamPortable(const std::uint8_t* key, const std::uint8_t* src,
                                   std::uint8_t* dst, std::size_t n) {
    // Eight byte subtractions in one 64-bit one: with the top bit of every key byte set and that
    // of every source byte cleared no byte borrows from the next, and the true top bits are put
    // back by the exclusive or.
    constexpr std::uint64_t kTop = 0x8080808080808080ull;
    std::size_t done = 0;
    for (; n - done >= kKeyStreamPeriod; done += kKeyStreamPeriod) {
        for (std::size_t i = 0; i < kKeyStreamPeriod; i += 8) {
            const std::uint64_t k = LoadWord(key + i);
            const std::uint64_t s = LoadWord(src + done + i);
            const std::uint64_t d = ((k | kTop) - (s & ~kTop)) ^ ((k ^ ~s) & kTop);
            std::memcpy(dst + done + i, &d, sizeof d);
        }
    }
    SubtractBytes(key, 0, src + done, dst + done, n - done);
}

// The offset of the first difference among `n` bytes, one byte at a time.
std::size_t ScanForDifference(const std::uint8_t* a, const std::uint8_t* b, std::size_t n) {
    std::size_t i = 0;
    while (i < n && a[i] == b[i]) ++i;
    return i;
}

std::size_t FirstDifferencePortable(const std::uint8_t* a, const std::uint8_t* b, std::size_t n,
                                    PageCallback pageEqual, void* context) {
    // The C library's comparison is already as wide as the machine allows; only a page that
    // differs is searched byte by byte.
    std::size_t i = 0;
    for (; n - i >= kComparePage; i += kComparePage) {
        if (std::memcmp(a + i, b + i, kComparePage) != 0)
            return i + ScanForDifference(a + i, b + i, kComparePage);
        if (pageEqual != nullptr)
            pageEqual(context);
    }
    return i + ScanForDifference(a + i, b + i, n - i);
}

#if KFS_X86

// How far ahead of the loads the next lines are asked for. An image is larger than the second
// level cache, so its lines come from the third level or from memory; asking early keeps enough
// of them on the way to cover that latency.
constexpr std::size_t kPrefetchAhead = 2048;

// Asks for the line `kPrefetchAhead` bytes past `p + offset`. The address may lie past the end of
// the buffer (a caller working block by block gets the next block's lines early): a prefetch never
// faults, and the address is formed as an integer, not as a pointer beyond its object.
inline void PrefetchAhead(const std::uint8_t* p, std::size_t offset) {
    __builtin_prefetch(reinterpret_cast<const void*>(reinterpret_cast<std::uintptr_t>(p) + offset +
                                                     kPrefetchAhead));
}

// ---- SSE2 bodies. ----

[[gnu::target("sse2")]] inline __m128i Load16(const std::uint8_t* p) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}

// The low 32 bits of the sum of the two 64-bit lanes; the registers are never stored.
[[gnu::target("sse2")]] inline std::uint32_t FoldLanes(__m128i lanes) {
    lanes = _mm_add_epi64(lanes, _mm_unpackhi_epi64(lanes, lanes));
    return static_cast<std::uint32_t>(_mm_cvtsi128_si32(lanes));
}

[[gnu::target("sse2")]] std::uint32_t SumBytesSse2(const std::uint8_t* p, std::size_t n) {
    // psadbw adds 8 bytes into a 64-bit lane in one step; four accumulators keep four loads
    // in flight.
    const __m128i zero = _mm_setzero_si128();
    __m128i acc0 = zero, acc1 = zero, acc2 = zero, acc3 = zero;
    std::size_t i = 0;
    for (; n - i >= 64; i += 64) {
        PrefetchAhead(p, i);
        acc0 = _mm_add_epi64(acc0, _mm_sad_epu8(Load16(p + i), zero));
        acc1 = _mm_add_epi64(acc1, _mm_sad_epu8(Load16(p + i + 16), zero));
        acc2 = _mm_add_epi64(acc2, _mm_sad_epu8(Load16(p + i + 32), zero));
        acc3 = _mm_add_epi64(acc3, _mm_sad_epu8(Load16(p + i + 48), zero));
    }
    const __m128i acc = _mm_add_epi64(_mm_add_epi64(acc0, acc1), _mm_add_epi64(acc2, acc3));
    return FoldLanes(acc) + SumBytesPortable(p + i, n - i);
}

[[gnu::target("sse2")]] void SubtractFromKeyStreamSse2(const std::uint8_t* key,
                                                       const std::uint8_t* src, std::uint8_t* dst,
                                                       std::size_t n) {
    std::size_t i = 0;
    for (; n - i >= 16; i += 16) {
        const __m128i k = Load16(key + i % kKeyStreamPeriod);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + i), _mm_sub_epi8(k, Load16(src + i)));
    }
    SubtractBytes(key, i % kKeyStreamPeriod, src + i, dst + i, n - i);
}

[[gnu::target("sse2")]] std::size_t FirstDifferenceSse2(const std::uint8_t* a,
                                                        const std::uint8_t* b, std::size_t n,
                                                        PageCallback pageEqual, void* context) {
    std::size_t i = 0;
    for (; n - i >= kComparePage; i += kComparePage) {
        for (std::size_t line = 0; line < kComparePage; line += 64) {
            PrefetchAhead(a, i + line);
            PrefetchAhead(b, i + line);
        }
        __m128i equal = _mm_cmpeq_epi8(Load16(a + i), Load16(b + i));
        for (std::size_t j = 16; j < kComparePage; j += 16) {
            equal = _mm_and_si128(equal, _mm_cmpeq_epi8(Load16(a + i + j), Load16(b + i + j)));
        }
        if (_mm_movemask_epi8(equal) != 0xFFFF)
            return i + ScanForDifference(a + i, b + i, kComparePage);
        if (pageEqual != nullptr)
            pageEqual(context);
    }
    return i + ScanForDifference(a + i, b + i, n - i);
}

// ---- AVX2 bodies. They keep every vector in a register: a 64-bit Windows compiler cannot align
// the stack for a 32-byte spill. ----

[[gnu::target("avx2")]] inline __m256i Load32(const std::uint8_t* p) {
    return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
}

[[gnu::target("avx2")]] std::uint32_t SumBytesAvx2(const std::uint8_t* p, std::size_t n) {
    const __m256i zero = _mm256_setzero_si256();
    __m256i acc0 = zero, acc1 = zero;
    std::size_t i = 0;
    for (; n - i >= 128; i += 128) {
        PrefetchAhead(p, i);
        PrefetchAhead(p, i + 64);
        // Two 32-byte sums of sums fit a 64-bit lane many times over.
        const __m256i s01 = _mm256_add_epi64(_mm256_sad_epu8(Load32(p + i), zero),
                                             _mm256_sad_epu8(Load32(p + i + 32), zero));
        const __m256i s23 = _mm256_add_epi64(_mm256_sad_epu8(Load32(p + i + 64), zero),
                                             _mm256_sad_epu8(Load32(p + i + 96), zero));
        acc0 = _mm256_add_epi64(acc0, s01);
        acc1 = _mm256_add_epi64(acc1, s23);
    }
    const __m256i acc = _mm256_add_epi64(acc0, acc1);
    const __m128i half =
        _mm_add_epi64(_mm256_castsi256_si128(acc), _mm256_extracti128_si256(acc, 1));
    return FoldLanes(half) + SumBytesPortable(p + i, n - i);
}

[[gnu::target("avx2")]] void SubtractFromKeyStreamAvx2(const std::uint8_t* key,
                                                       const std::uint8_t* src, std::uint8_t* dst,
                                                       std::size_t n) {
    std::size_t i = 0;
    for (; n - i >= 64; i += 64) {
        const std::size_t k = i % kKeyStreamPeriod;
        const __m256i d0 = _mm256_sub_epi8(Load32(key + k), Load32(src + i));
        const __m256i d1 = _mm256_sub_epi8(Load32(key + k + 32), Load32(src + i + 32));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + i), d0);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + i + 32), d1);
    }
    SubtractBytes(key, i % kKeyStreamPeriod, src + i, dst + i, n - i);
}

[[gnu::target("avx2")]] std::size_t FirstDifferenceAvx2(const std::uint8_t* a,
                                                        const std::uint8_t* b, std::size_t n,
                                                        PageCallback pageEqual, void* context) {
    std::size_t i = 0;
    for (; n - i >= kComparePage; i += kComparePage) {
        for (std::size_t line = 0; line < kComparePage; line += 64) {
            PrefetchAhead(a, i + line);
            PrefetchAhead(b, i + line);
        }
        __m256i equal = _mm256_cmpeq_epi8(Load32(a + i), Load32(b + i));
        for (std::size_t j = 32; j < kComparePage; j += 32) {
            equal =
                _mm256_and_si256(equal, _mm256_cmpeq_epi8(Load32(a + i + j), Load32(b + i + j)));
        }
        if (_mm256_movemask_epi8(equal) != -1)
            return i + ScanForDifference(a + i, b + i, kComparePage);
        if (pageEqual != nullptr)
            pageEqual(context);
    }
    return i + ScanForDifference(a + i, b + i, n - i);
}

#endif  // KFS_X86

VectorUnit DetectVectorUnit() {
#if KFS_X86
    __builtin_cpu_init();
    // The run-time library reports AVX and AVX2 only when the system has enabled the saving of
    // the vector registers (XSAVE with the SSE and AVX state).
    if (__builtin_cpu_supports("avx2"))
        return VectorUnit::kAvx2;
#if defined(__x86_64__)
    return VectorUnit::kSse2;  // part of every x86-64 processor and system
#else
    // A 32-bit system may run on a processor with SSE2 and still not save the XMM registers
    // across task switches (Windows 95 does not): the processor's flag alone is no proof. A system
    // that enables AVX saves them.
    if (__builtin_cpu_supports("sse2") && __builtin_cpu_supports("avx"))
        return VectorUnit::kSse2;
#endif
#endif
    return VectorUnit::kPortable;
}

VectorUnit Usable(VectorUnit wanted) {
    return std::min(wanted, AvailableVectorUnit());
}

}  // namespace

VectorUnit AvailableVectorUnit() {
    static const VectorUnit unit = DetectVectorUnit();
    return unit;
}

std::uint32_t SumBytes(const std::uint8_t* bytes, std::size_t n, VectorUnit unit) {
    switch (Usable(unit)) {
#if KFS_X86
        case VectorUnit::kAvx2:
            return SumBytesAvx2(bytes, n);
        case VectorUnit::kSse2:
            return SumBytesSse2(bytes, n);
#endif
        default:
            return SumBytesPortable(bytes, n);
    }
}

void SubtractFromKeyStream(const std::uint8_t* key, const std::uint8_t* src, std::uint8_t* dst,
                           std::size_t n, VectorUnit unit) {
    switch (Usable(unit)) {
#if KFS_X86
        case VectorUnit::kAvx2:
            return SubtractFromKeyStreamAvx2(key, src, dst, n);
        case VectorUnit::kSse2:
            return SubtractFromKeyStreamSse2(key, src, dst, n);
#endif
        default:
            return SubtractFromKeyStreamPortable(key, src, dst, n);
    }
}

std::size_t FirstDifference(const std::uint8_t* a, const std::uint8_t* b, std::size_t n,
                            PageCallback pageEqual, void* context, VectorUnit unit) {
    switch (Usable(unit)) {
#if KFS_X86
        case VectorUnit::kAvx2:
            return FirstDifferenceAvx2(a, b, n, pageEqual, context);
        case VectorUnit::kSse2:
            return FirstDifferenceSse2(a, b, n, pageEqual, context);
#endif
        default:
            return FirstDifferencePortable(a, b, n, pageEqual, context);
    }
}

}  // namespace kfs
