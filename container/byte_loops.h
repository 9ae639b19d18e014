#pragma once
// The loops that run over a whole firmware image and so decide how long a check sum, a decode or
// a read-back comparison takes: the byte sum, the key-stream subtraction of descrambling and the
// search for the first difference between two buffers.
//
// Each loop has a portable body that the compiler can widen for any processor. On x86 a body for
// SSE2 and one for AVX2 are compiled beside it and chosen at run time: the shipped 32-bit program
// is built for processors without SSE2, so no instruction set beyond the plain i686 one may be
// assumed when it is compiled. Every body gives the same result, bit for bit, as the plain loop.
#include <cstddef>
#include <cstdint>

namespace kfs {

// The instruction sets the loops can use, narrowest first.
enum class VectorUnit { kPortable, kSse2, kAvx2 };

// The widest unit this processor supports and the system saves across task switches; found out
// at the first call.
VectorUnit AvailableVectorUnit();

// The key stream repeats after this many bytes whatever its starting key.
inline constexpr std::size_t kKeyStreamPeriod = 512;

// Each loop runs on `unit`, or on the widest available one below it when the machine lacks it.

// The 32-bit wrapping sum of `n` unsigned bytes.
std::uint32_t SumBytes(const std::uint8_t* bytes, std::size_t n,
                       VectorUnit unit = AvailableVectorUnit());

// dst[i] = key[i mod 512] - src[i], modulo 256, for i below `n`; `key` holds 512 bytes. `dst` is
// either `src` itself or a buffer that does not overlap it.
void SubtractFromKeyStream(const std::uint8_t* key, const std::uint8_t* src, std::uint8_t* dst,
                           std::size_t n, VectorUnit unit = AvailableVectorUnit());

// The comparison goes a page of 256 bytes at a time. After each whole page found equal it calls
// `pageEqual(context)` (when given): a caller that shows progress per page does so while the next
// pages are on their way from memory.
inline constexpr std::size_t kComparePage = 256;
using PageCallback = void (*)(void* context);

// The offset of the first byte where `a` and `b` differ, or `n` when their first `n` bytes are
// equal. The page that holds the difference and a last page shorter than 256 bytes get no call.
std::size_t FirstDifference(const std::uint8_t* a, const std::uint8_t* b, std::size_t n,
                            PageCallback pageEqual = nullptr, void* context = nullptr,
                            VectorUnit unit = AvailableVectorUnit());

}  // namespace kfs
