#include "container/kfs_encode.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "container/byte_order.h"
#include "container/checksum.h"

namespace kfs {
namespace {

[[noreturn]] void Fail(const std::string& text) {
    throw std::invalid_argument(text);
}

std::uint32_t TrimmedLength(std::span<const std::uint8_t> bytes) {
    std::size_t n = bytes.size();
    while (n > 0 && bytes[n - 1] == 0) --n;
    return static_cast<std::uint32_t>(n);
}

// Bank sizes and the decoded image (the banks laid into their slots, zero elsewhere).
struct Layout {
    std::uint32_t stride = 0;
    std::vector<std::uint32_t> sizes;
    std::vector<std::uint8_t> decoded;
};

Layout MakeLayout(std::span<const std::uint8_t> image, std::uint32_t stride,
                  const std::vector<std::uint32_t>& explicitSizes, bool trimTrailingZeros) {
    Layout layout;
    layout.stride = stride;
    if (!explicitSizes.empty()) {
        layout.sizes = explicitSizes;
    } else if (stride > 0) {
        for (std::size_t at = 0; at < image.size(); at += stride) {
            auto slot = image.subspan(at, std::min<std::size_t>(stride, image.size() - at));
            layout.sizes.push_back(trimTrailingZeros ? TrimmedLength(slot)
                                                     : static_cast<std::uint32_t>(slot.size()));
        }
    }
    const std::uint64_t length = std::uint64_t{stride} * layout.sizes.size();
    if (length > 0xFFFFFFFFu)
        Fail("the image would exceed 32 bits");
    layout.decoded.assign(static_cast<std::size_t>(length), 0);
    for (std::size_t i = 0; i < layout.sizes.size(); ++i) {
        const std::uint64_t at = std::uint64_t{i} * stride;
        const std::uint32_t size = layout.sizes[i];
        if (size > stride)
            Fail("bank " + std::to_string(i) + " is larger than its slot");
        if (at + size > image.size())
            Fail("bank " + std::to_string(i) + " reaches past the image");
        std::memcpy(layout.decoded.data() + at, image.data() + at, size);
    }
    return layout;
}

void CheckBlock(const SKFSReserveBlock& block, std::size_t imageLength, const char* what) {
    if (std::uint64_t{block.Address} + block.Length > imageLength) {
        Fail(std::string(what) + " lies outside the image");
    }
}

std::vector<std::uint8_t> EncodeKfs1(std::span<const std::uint8_t> image,
                                     const KfsEncodeOptions& o) {
    if (o.bankSizes.empty() && image.size() > std::size_t{kKfs1MaxBanks} * kKfs1BankStride) {
        Fail("a KFS1 image holds at most 38 banks of 64 KB");
    }
    Layout layout = MakeLayout(image, kKfs1BankStride, o.bankSizes, true);
    const std::size_t banks = layout.sizes.size();
    if (banks > kKfs1MaxBanks)
        Fail("a KFS1 container holds at most 38 banks");
    for (std::size_t i = 0; i < banks; ++i) {
        if (layout.sizes[i] > 0xFFFF) {
            Fail("KFS1 bank " + std::to_string(i) +
                 " needs more than 0xFFFF bytes (its last slot byte is not zero)");
        }
    }
    const bool scrambled = o.scrambleMode == 1;

    SKFSParameter p;
    p.AtapiFlashType = 1;
    const std::uint16_t checkSum =
        o.headerCheckSum.value_or(static_cast<std::uint16_t>(CalcCheckSum(layout.decoded, p)));

    const std::size_t dataStart = banks > 8 ? 112 : 64;
    std::vector<std::uint8_t> out(dataStart, 0);
    std::memcpy(out.data(), kKfsMagic, 16);
    out[24] = o.versionByte;
    out[25] = o.scrambleMode;
    PutLe16(&out[32], checkSum);
    PutLe16(&out[34], static_cast<std::uint16_t>(banks));
    for (std::size_t i = 0; i < banks; ++i) {
        PutLe16(&out[36 + 2 * i], static_cast<std::uint16_t>(layout.sizes[i]));
    }
    for (std::size_t i = 0; i < banks; ++i) {
        const std::size_t size = layout.sizes[i];
        const std::size_t at = out.size();
        out.insert(out.end(), layout.decoded.begin() + i * kKfs1BankStride,
                   layout.decoded.begin() + i * kKfs1BankStride + size);
        if (scrambled && size > 0) {
            // The decoder takes the stored first byte plus 2 as the key, so a scrambled bank
            // always decodes to a first byte of 02h; any key reproduces that.
            if (out[at] != 0x02) {
                Fail("scrambled KFS1 bank " + std::to_string(i) + " must begin with 02h");
            }
            const auto key = static_cast<std::uint8_t>(o.seed[0] + i);
            DescrambleBank(std::span<std::uint8_t>(out).subspan(at, size), key);
        }
    }
    return out;
}

std::vector<std::uint8_t> EncodeKfs3(std::span<const std::uint8_t> image,
                                     const KfsEncodeOptions& o) {
    std::uint32_t stride = o.maxBankSize;
    if (stride == 0) {
        if (image.size() > 0xFFFFFFFFu)
            Fail("the image exceeds 32 bits");
        stride = static_cast<std::uint32_t>(image.size());
    }
    Layout layout = MakeLayout(image, stride, o.bankSizes, false);
    for (const SKFSReserveBlock& block : o.reservedBlocks) {
        CheckBlock(block, layout.decoded.size(), "a reserved block");
    }
    CheckBlock(o.kernelBlock, layout.decoded.size(), "the kernel block");

    SKFSParameter p;
    p.AtapiFlashType = o.atapiFlashType;
    const std::uint16_t checkSum =
        o.headerCheckSum.value_or(static_cast<std::uint16_t>(CalcCheckSum(layout.decoded, p)));

    const std::size_t banks = layout.sizes.size();
    const std::size_t reserved = o.reservedBlocks.size();
    std::vector<std::uint8_t> out(56 + 4 * banks + 8 * reserved, 0);
    std::memcpy(out.data(), kKfsMagic, 16);
    out[24] = '3';
    out[25] = o.scrambleMode;
    out[26] = o.ideFlashType;
    out[27] = o.atapiFlashType;
    std::memcpy(&out[28], o.seed.data(), 4);
    PutLe16(&out[32], checkSum);
    out[34] = o.atapiFlashKernelType;
    PutLe32(&out[36], static_cast<std::uint32_t>(banks));
    PutLe32(&out[40], stride);
    PutLe32(&out[44], static_cast<std::uint32_t>(reserved));
    PutLe32(&out[48], o.kernelBlock.Address);
    PutLe32(&out[52], o.kernelBlock.Length);
    for (std::size_t j = 0; j < banks; ++j) PutLe32(&out[56 + 4 * j], layout.sizes[j]);
    for (std::size_t r = 0; r < reserved; ++r) {
        PutLe32(&out[56 + 4 * banks + 8 * r], o.reservedBlocks[r].Address);
        PutLe32(&out[56 + 4 * banks + 8 * r + 4], o.reservedBlocks[r].Length);
    }
    const std::uint8_t key = Kfs3BankKey(o.seed.data());
    for (std::size_t j = 0; j < banks; ++j) {
        const std::size_t at = out.size();
        const std::size_t slot = j * std::size_t{stride};
        out.insert(out.end(), layout.decoded.begin() + slot,
                   layout.decoded.begin() + slot + layout.sizes[j]);
        if (o.scrambleMode == 2) {
            DescrambleBank(std::span<std::uint8_t>(out).subspan(at, layout.sizes[j]), key);
        }
    }
    return out;
}

std::vector<std::uint8_t> EncodePhilips(std::span<const std::uint8_t> image,
                                        const KfsEncodeOptions& o) {
    const std::string& id = o.philipsIdentification;
    if (id.size() > 36 || id.compare(0, 7, kPhilipsMark) != 0) {
        Fail("the Philips identification must begin with \"Philips\" and fit in 36 bytes");
    }
    if (image.empty())
        Fail("a Philips image needs at least one byte");
    const std::uint64_t l = std::uint64_t{kPhilipsHeaderLength} + image.size();
    if (l + 4 > 0xFFFFFFFFu)
        Fail("the image exceeds 32 bits");
    const std::uint16_t checkSum = o.headerCheckSum.value_or(ByteSum16(image));
    std::vector<std::uint8_t> out(static_cast<std::size_t>(l) + 4, 0);
    PutBe32(out.data(), static_cast<std::uint32_t>(l));
    std::memcpy(&out[4], id.data(), id.size());
    std::memcpy(&out[kPhilipsHeaderLength], image.data(), image.size());
    PutBe16(&out[l], checkSum);
    PutBe16(&out[l + 2], o.trailerWord);
    return out;
}

}  // namespace

std::vector<std::uint8_t> EncodeKfs(std::span<const std::uint8_t> image,
                                    const KfsEncodeOptions& options) {
    switch (options.form) {
        case KfsForm::kKfs1:
            return EncodeKfs1(image, options);
        case KfsForm::kKfs3:
            return EncodeKfs3(image, options);
        case KfsForm::kPhilips:
            return EncodePhilips(image, options);
        case KfsForm::kNone:
            break;
    }
    Fail("no container form chosen");
}

std::vector<std::uint8_t> PhilipsFileFromForm(std::span<const std::uint8_t> form) {
    if (form.size() < 4)
        return {};
    return std::vector<std::uint8_t>(form.begin() + 4, form.end());
}

}  // namespace kfs
