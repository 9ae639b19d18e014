#pragma once
// Building firmware containers from a raw image: the KFS1 and KFS3 layouts and the Philips form.
// What is built decodes with LoadKFS to the image, padded with zeros to its bank slots.
#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "container/kfs_decode.h"
#include "container/kfs_parameter.h"

namespace kfs {

struct KfsEncodeOptions {
    KfsForm form = KfsForm::kKfs3;
    std::uint8_t versionByte = '1';      // KFS1: " ", "1" or "2" (others make an undecodable file)
    std::uint8_t scrambleMode = 0;       // stored as given; KFS3 scrambles with 2, KFS1 with 1
    std::array<std::uint8_t, 4> seed{};  // KFS3 ScrambleSeed; KFS1 bank i key is seed[0] + i
    std::uint8_t ideFlashType = 0;       // KFS3 only; KFS1 implies 1, 1, 0
    std::uint8_t atapiFlashType = 0;
    std::uint8_t atapiFlashKernelType = 0;
    std::uint32_t maxBankSize = 0;  // KFS3 bank stride; 0: the whole image in one bank
    // Explicit bank sizes; empty: the image is cut into slots of the stride (KFS1: 64 KB slots,
    // each stored without its trailing zero bytes, since a 16-bit size holds at most 0xFFFF).
    std::vector<std::uint32_t> bankSizes;
    std::vector<SKFSReserveBlock> reservedBlocks;      // KFS3 only
    SKFSReserveBlock kernelBlock;                      // KFS3 only
    std::uint16_t trailerWord = 0;                     // Philips only
    std::optional<std::uint16_t> headerCheckSum;       // default: computed over the decoded image
    std::string philipsIdentification = kPhilipsMark;  // up to 36 characters
};

// Builds the container; for the Philips form the form itself, length prefix first. Throws
// std::invalid_argument for options that cannot be encoded (a bank larger than its slot, blocks
// outside the image, too many KFS1 banks, a scrambled KFS1 bank not starting with 02h...).
std::vector<std::uint8_t> EncodeKfs(std::span<const std::uint8_t> image,
                                    const KfsEncodeOptions& options);

// The Philips firmware file is the form without its 4-byte length prefix.
std::vector<std::uint8_t> PhilipsFileFromForm(std::span<const std::uint8_t> form);

}  // namespace kfs
