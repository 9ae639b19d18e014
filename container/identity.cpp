#include "container/identity.h"

#include <cstring>
#include <optional>

#include "container/kfs_parameter.h"

namespace kfs {
namespace {

bool BytesRead(std::span<const std::uint8_t> image, std::size_t at, const char* text,
               std::size_t n) {
    return at <= image.size() && image.size() - at >= n &&
           std::memcmp(image.data() + at, text, n) == 0;
}

// Up to `length` characters from `at`, ending early at a zero byte or at the end of the image.
std::string TextAt(std::span<const std::uint8_t> image, std::size_t at, std::size_t length) {
    std::string text;
    for (std::size_t i = 0; i < length && at + i < image.size() && image[at + i] != 0; ++i) {
        text.push_back(static_cast<char>(image[at + i]));
    }
    return text;
}

// The main block: the second when the first one's revision field reads "BOOT".
std::optional<std::size_t> MainBlock(const std::vector<std::size_t>& blocks,
                                     std::span<const std::uint8_t> image) {
    if (blocks.empty())
        return std::nullopt;
    if (blocks.size() > 1 && BytesRead(image, blocks[0] + 32, "BOOT", 4))
        return blocks[1];
    return blocks[0];
}

std::optional<std::size_t> RevisionBlock(std::span<const std::uint8_t> image,
                                         std::uint8_t atapiFlashType) {
    const std::vector<std::size_t> blocks = FindInquiryBlocks(image);
    if (atapiFlashType == kAtapiFlashTypeSecondInquiry) {
        if (blocks.size() < 2)
            return std::nullopt;
        return blocks[1];
    }
    return MainBlock(blocks, image);
}

}  // namespace

std::vector<std::size_t> FindInquiryBlocks(std::span<const std::uint8_t> image) {
    std::vector<std::size_t> blocks;
    if (image.size() < 3)
        return blocks;
    const std::uint8_t* begin = image.data();
    const std::uint8_t* last = begin + image.size() - 2;  // a block start needs two bytes after it
    for (const std::uint8_t* p = begin; p < last;) {
        const void* hit = std::memchr(p, 0x05, static_cast<std::size_t>(last - p));
        if (hit == nullptr)
            break;
        p = static_cast<const std::uint8_t*>(hit);
        if (p[1] == 0x80 && p[2] == 0x00)
            blocks.push_back(static_cast<std::size_t>(p - begin));
        ++p;
    }
    return blocks;
}

std::string GetImageHardwareId(std::span<const std::uint8_t> image) {
    const auto p = MainBlock(FindInquiryBlocks(image), image);
    return p ? TextAt(image, *p + 38, 2) : std::string();
}

std::string GetImageModelName(std::span<const std::uint8_t> image) {
    const auto p = MainBlock(FindInquiryBlocks(image), image);
    return p ? TextAt(image, *p + 8, 24) : std::string();
}

std::string GetImageVersion(std::span<const std::uint8_t> image, std::uint8_t atapiFlashType) {
    const auto p = RevisionBlock(image, atapiFlashType);
    return p ? TextAt(image, *p + 32, 4) : std::string();
}

std::string GetImageDateCode(std::span<const std::uint8_t> image, std::uint8_t atapiFlashType) {
    const auto p = RevisionBlock(image, atapiFlashType);
    if (!p)
        return std::string();
    if (*p >= 12 && BytesRead(image, *p - 12, "DC", 2))
        return TextAt(image, *p - 10, 6);
    return TextAt(image, *p + 40, 6);
}

}  // namespace kfs
