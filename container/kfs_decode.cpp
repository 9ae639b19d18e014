#include "container/kfs_decode.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "container/byte_loops.h"
#include "container/byte_order.h"

namespace kfs {
namespace {

// The key advances by a factor of 35 every 8 bytes. Every odd factor has an order dividing 64
// modulo 256, so the key stream repeats after 64 groups of 8 bytes (kKeyStreamPeriod) whatever
// the starting key.
using KeyStream = std::array<std::uint8_t, kKeyStreamPeriod>;

KeyStream MakeKeyStream(std::uint8_t key) {
    KeyStream stream{};
    for (std::size_t i = 0; i < kKeyStreamPeriod; ++i) {
        stream[i] = static_cast<std::uint8_t>(key + (i % 8) * 57);
        if (i % 8 == 7)
            key = static_cast<std::uint8_t>(key * 35);
    }
    return stream;
}

// dst[i] = stream[i] - src[i]; dst may equal src.
void ApplyKeyStream(const KeyStream& stream, const std::uint8_t* src, std::uint8_t* dst,
                    std::size_t count) {
    SubtractFromKeyStream(stream.data(), src, dst, count);
}

bool Refuse(std::string* reason, const char* text) {
    if (reason != nullptr)
        *reason = text;
    return false;
}

bool BlockInImage(const SKFSReserveBlock& block, std::uint64_t imageLength) {
    return std::uint64_t{block.Address} + block.Length <= imageLength;
}

bool HasMagic(std::span<const std::uint8_t> container) {
    // Compared as a zero-terminated text: the 16 characters and then the terminator.
    constexpr std::size_t n = sizeof(kKfsMagic);  // includes the terminator
    return container.size() >= n && std::memcmp(container.data(), kKfsMagic, n) == 0;
}

bool LoadKfs1(std::span<const std::uint8_t> c, SKFSParameter& p, std::span<std::uint8_t> image,
              std::string* reason) {
    const std::uint8_t* b = c.data();
    if (c.size() < 36)
        return Refuse(reason, "KFS1 header is truncated");
    const std::uint32_t totalBank = GetLe16(b + 34);
    if (totalBank > kKfs1MaxBanks)
        return Refuse(reason, "KFS1 header declares more than 38 banks");
    const std::size_t dataStart = totalBank > 8 ? 112 : 64;
    if (c.size() < dataStart)
        return Refuse(reason, "KFS1 header is truncated");

    p.HeaderCheckSum = GetLe16(b + 32);
    p.IdeFlashType = 1;
    p.AtapiFlashType = 1;
    p.AtapiFlashKernelType = 0;
    p.ReservedBlocks = {{0x1FD00, 0x300}, {0x2F800, 0x800}};
    p.KernelBlock = {0, 0};
    p.MaxBankSize = kKfs1BankStride;
    p.BankSizes.assign(totalBank, 0);
    for (std::uint32_t i = 0; i < totalBank; ++i) p.BankSizes[i] = GetLe16(b + 36 + 2 * i);

    const std::uint64_t imageLength = std::uint64_t{totalBank} * kKfs1BankStride;
    if (image.size() < imageLength)
        return Refuse(reason, "image buffer is too small");
    const bool scrambled = b[25] == 1;
    std::size_t pos = dataStart;
    for (std::uint32_t i = 0; i < totalBank; ++i) {
        const std::size_t size = p.BankSizes[i];  // 16 bits: always within its 64 KB slot
        if (size > c.size() - pos)
            return Refuse(reason, "bank data reaches past the container");
        std::uint8_t* dst = image.data() + std::size_t{i} * kKfs1BankStride;
        if (scrambled && size > 0) {
            // The key of a KFS1 bank is its stored first byte plus 2.
            const auto key = static_cast<std::uint8_t>(b[pos] + 2);
            ApplyKeyStream(MakeKeyStream(key), b + pos, dst, size);
        } else if (size > 0) {
            std::memcpy(dst, b + pos, size);
        }
        pos += size;
    }
    return true;
}

bool LoadKfs3(std::span<const std::uint8_t> c, SKFSParameter& p, std::span<std::uint8_t> image,
              std::string* reason) {
    const std::uint8_t* b = c.data();
    if (c.size() < 56)
        return Refuse(reason, "KFS3 header is truncated");
    p.HeaderCheckSum = GetLe16(b + 32);
    p.IdeFlashType = b[26];
    p.AtapiFlashType = b[27];
    p.AtapiFlashKernelType = b[34];
    const std::uint32_t totalBank = GetLe32(b + 36);
    p.MaxBankSize = GetLe32(b + 40);
    const std::uint32_t totalReserved = GetLe32(b + 44);
    p.KernelBlock = {GetLe32(b + 48), GetLe32(b + 52)};

    const std::uint64_t imageLength = std::uint64_t{totalBank} * p.MaxBankSize;
    if (imageLength > 0xFFFFFFFFu)
        return Refuse(reason, "KFS3 image size overflows 32 bits");
    const std::uint64_t dataStart =
        56 + 4 * std::uint64_t{totalBank} + 8 * std::uint64_t{totalReserved};
    if (dataStart > c.size())
        return Refuse(reason, "KFS3 tables reach past the container");

    p.BankSizes.assign(totalBank, 0);
    for (std::uint32_t j = 0; j < totalBank; ++j) p.BankSizes[j] = GetLe32(b + 56 + 4 * j);
    const std::uint8_t* table = b + 56 + 4 * std::size_t{totalBank};
    p.ReservedBlocks.assign(totalReserved, SKFSReserveBlock{});
    for (std::uint32_t r = 0; r < totalReserved; ++r) {
        p.ReservedBlocks[r] = {GetLe32(table + 8 * r), GetLe32(table + 8 * r + 4)};
    }

    // Check the whole layout before writing anything into the image.
    if (image.size() < imageLength)
        return Refuse(reason, "image buffer is too small");
    std::uint64_t dataLength = 0;
    for (std::uint32_t size : p.BankSizes) {
        if (size > p.MaxBankSize)
            return Refuse(reason, "a bank is larger than MaxBankSize");
        dataLength += size;
    }
    if (dataLength > c.size() - dataStart) {
        return Refuse(reason, "bank data reaches past the container");
    }
    for (const SKFSReserveBlock& block : p.ReservedBlocks) {
        if (!BlockInImage(block, imageLength)) {
            return Refuse(reason, "a reserved block lies outside the image");
        }
    }
    if (!BlockInImage(p.KernelBlock, imageLength)) {
        return Refuse(reason, "the kernel block lies outside the image");
    }

    const bool scrambled = b[25] == 2;
    KeyStream stream{};
    if (scrambled)
        stream = MakeKeyStream(Kfs3BankKey(b + 28));
    std::size_t pos = static_cast<std::size_t>(dataStart);
    for (std::uint32_t j = 0; j < totalBank; ++j) {
        const std::size_t size = p.BankSizes[j];
        std::uint8_t* dst = image.data() + std::size_t{j} * p.MaxBankSize;
        if (scrambled) {
            ApplyKeyStream(stream, b + pos, dst, size);
        } else if (size > 0) {
            std::memcpy(dst, b + pos, size);
        }
        pos += size;
    }
    return true;
}

// Bounds of a Philips form: L > 40 and the 4-byte trailer at L within the container.
bool PhilipsBoundsOk(std::span<const std::uint8_t> c) {
    if (c.size() < 4)
        return false;
    const std::uint64_t l = GetBe32(c.data());
    return l > kPhilipsHeaderLength && l + 4 <= c.size();
}

bool LoadPhilips(std::span<const std::uint8_t> c, SKFSParameter& p, std::span<std::uint8_t> image,
                 std::string* reason) {
    if (!PhilipsBoundsOk(c)) {
        return Refuse(reason,
                      "Philips length is 40 or less or its trailer lies past the container");
    }
    const std::uint32_t l = GetBe32(c.data());
    const std::size_t imageLength = l - kPhilipsHeaderLength;
    if (image.size() < imageLength)
        return Refuse(reason, "image buffer is too small");
    p.HeaderCheckSum = GetBe16(c.data() + l);
    p.TrailerWord = GetBe16(c.data() + l + 2);
    std::memcpy(image.data(), c.data() + kPhilipsHeaderLength, imageLength);
    return true;
}

}  // namespace

bool IsPhilipsForm(std::span<const std::uint8_t> container) {
    return container.size() >= 11 && std::memcmp(container.data() + 4, kPhilipsMark, 7) == 0;
}

KfsForm GetKfsForm(std::span<const std::uint8_t> container) {
    if (IsPhilipsForm(container))
        return KfsForm::kPhilips;
    if (container.size() < 25)
        return KfsForm::kNone;
    switch (container[24]) {
        case ' ':
        case '1':
        case '2':
            return KfsForm::kKfs1;
        case '3':
            return KfsForm::kKfs3;
        default:
            return KfsForm::kNone;
    }
}

std::uint32_t GetKFSLength(std::span<const std::uint8_t> container) {
    const std::uint8_t* b = container.data();
    switch (GetKfsForm(container)) {
        case KfsForm::kPhilips:
            return PhilipsBoundsOk(container) ? GetBe32(b) : 0;
        case KfsForm::kKfs3: {
            if (container.size() < 44)
                return 0;
            const std::uint64_t size = std::uint64_t{GetLe32(b + 36)} * GetLe32(b + 40);
            return size > 0xFFFFFFFFu ? 0 : static_cast<std::uint32_t>(size);
        }
        case KfsForm::kKfs1: {
            if (container.size() < 36)
                return 0;
            const std::uint32_t totalBank = GetLe16(b + 34);
            return totalBank > kKfs1MaxBanks ? 0 : totalBank * kKfs1BankStride;
        }
        case KfsForm::kNone:
            break;
    }
    return 0;
}

std::uint32_t GetImageLength(std::span<const std::uint8_t> container) {
    const std::uint32_t length = GetKFSLength(container);
    if (length != 0 && IsPhilipsForm(container))
        return length - kPhilipsHeaderLength;
    return length;
}

bool LoadKFS(std::span<const std::uint8_t> container, SKFSParameter& parameter,
             std::span<std::uint8_t> image, std::string* reason) {
    if (IsPhilipsForm(container))
        return LoadPhilips(container, parameter, image, reason);
    if (!HasMagic(container))
        return Refuse(reason, "no \"KEMO FILE SYSTEM\" magic");
    switch (GetKfsForm(container)) {
        case KfsForm::kKfs1:
            return LoadKfs1(container, parameter, image, reason);
        case KfsForm::kKfs3:
            return LoadKfs3(container, parameter, image, reason);
        default:
            return Refuse(reason, "unrecognised format version byte");
    }
}

bool IsPhilipsFile(std::span<const std::uint8_t> file) {
    return file.size() >= 7 && std::memcmp(file.data(), kPhilipsMark, 7) == 0;
}

std::vector<std::uint8_t> PhilipsFormFromFile(std::span<const std::uint8_t> file) {
    std::vector<std::uint8_t> form(4 + file.size());
    PutBe32(form.data(), static_cast<std::uint32_t>(file.size()));
    if (!file.empty())
        std::memcpy(form.data() + 4, file.data(), file.size());
    return form;
}

void DescrambleBank(std::span<std::uint8_t> bytes, std::uint8_t key) {
    ApplyKeyStream(MakeKeyStream(key), bytes.data(), bytes.data(), bytes.size());
}

std::uint8_t Kfs3BankKey(const std::uint8_t seed[4]) {
    return static_cast<std::uint8_t>((seed[1] - seed[2]) * seed[0] + seed[3]);
}

}  // namespace kfs
