#include "container/checksum.h"

#include <algorithm>

#include "container/byte_loops.h"

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
    return SumBytes(bytes.data(), bytes.size());
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
