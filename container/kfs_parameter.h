#pragma once
// The decoded description of a firmware container: flash type codes, check sum, banks, reserved
// blocks and kernel block. The firmware image itself is a separate byte buffer.
#include <cstdint>
#include <vector>

namespace kfs {

// An image range: `Address` is an offset into the firmware image, `Length` a byte count.
struct SKFSReserveBlock {
    std::uint32_t Address = 0;
    std::uint32_t Length = 0;

    friend bool operator==(const SKFSReserveBlock&, const SKFSReserveBlock&) = default;
};

struct SKFSParameter {
    std::uint16_t HeaderCheckSum = 0;  // expected low 16 bits of CalcCheckSum over the image
    std::uint16_t TrailerWord = 0;     // set only by the Philips form
    std::uint8_t IdeFlashType = 0;
    std::uint8_t AtapiFlashType = 0;
    std::uint8_t AtapiFlashKernelType = 0;
    std::vector<SKFSReserveBlock> ReservedBlocks;
    std::uint32_t MaxBankSize = 0;         // bank stride in the image
    std::vector<std::uint32_t> BankSizes;  // one per bank; its size is TotalBank
    SKFSReserveBlock KernelBlock;

    friend bool operator==(const SKFSParameter&, const SKFSParameter&) = default;
};

// The flash type codes that change what the container operations do.
inline constexpr std::uint8_t kAtapiFlashTypeTailExcluded = 6;   // last 8 image bytes not summed
inline constexpr std::uint8_t kAtapiFlashTypeSecondInquiry = 7;  // version/date from block 2

}  // namespace kfs
