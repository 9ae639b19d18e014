#include "container/checksum.h"

#include <algorithm>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace kfs {
namespace {

// The end of the summed range: the image, less its last 8 bytes for AtapiFlashType 6.
std::size_t SummedLength(std::size_t length, const SKFSParameter& parameter) {
    if (parameter.AtapiFlashType != kAtapiFlashTypeTailExcluded)
        return length;
    return length > 8 ? length - 8 : 0;
}

std::uint32_t SumBlock(std::span<const std::uint8_t> image, std::size_t limit,
                       const SKFSReserveBlock& block) {
    const std::size_t begin = block.Address;
    if (begin >= limit)
        return 0;
    const std::size_t end = begin + std::min<std::size_t>(block.Length, limit - begin);
    return ByteSum(image.subspan(begin, end - begin));
}

}  // namespace

std::uint32_t ByteSum(std::span<const std::uint8_t> bytes) {
    const std::uint8_t* p = bytes.data();
    std::size_t n = bytes.size();
    std::uint32_t sum = 0;
#if defined(__SSE2__)
    // psadbw adds 16 bytes into two 64-bit lanes in one instruction.
    const __m128i zero = _mm_setzero_si128();
    __m128i acc0 = _mm_setzero_si128();
    __m128i acc1 = _mm_setzero_si128();
    for (; n >= 32; n -= 32, p += 32) {
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16));
        acc0 = _mm_add_epi64(acc0, _mm_sad_epu8(a, zero));
        acc1 = _mm_add_epi64(acc1, _mm_sad_epu8(b, zero));
    }
    const __m128i acc = _mm_add_epi64(acc0, acc1);
    std::uint64_t lanes[2];
    _mm_storeu_si128(reinterpret_cast<__m128i*>(lanes), acc);
    sum = static_cast<std::uint32_t>(lanes[0] + lanes[1]);
#else
    // Eight bytes at a time in four 16-bit lanes, folded before a lane can overflow.
    constexpr std::uint64_t kLowBytes = 0x00FF00FF00FF00FFull;
    while (n >= 8) {
        const std::size_t words = std::min<std::size_t>(n / 8, 128);
        std::uint64_t lanes = 0;
        for (std::size_t w = 0; w < words; ++w, p += 8) {
            std::uint64_t v;
            std::memcpy(&v, p, 8);
            lanes += (v & kLowBytes) + ((v >> 8) & kLowBytes);
        }
        n -= words * 8;
        for (int shift = 0; shift < 64; shift += 16) {
            sum += static_cast<std::uint32_t>((lanes >> shift) & 0xFFFF);
        }
    }
#endif
    for (; n > 0; --n, ++p) sum += *p;
    return sum;
}

std::uint32_t CalcCheckSum(std::span<const std::uint8_t> image, const SKFSParameter& parameter) {
    return ByteSum(image.first(SummedLength(image.size(), parameter)));
}

std::uint16_t CalcFixDataCheckSum(std::span<const std::uint8_t> image,
                                  const SKFSParameter& parameter) {
    const std::size_t limit = SummedLength(image.size(), parameter);
    std::uint32_t sum = ByteSum(image.first(limit));
    sum -= SumBlock(image, limit, parameter.KernelBlock);
    for (const SKFSReserveBlock& block : parameter.ReservedBlocks) {
        sum -= SumBlock(image, limit, block);
    }
    return static_cast<std::uint16_t>(sum);
}

}  // namespace kfs
