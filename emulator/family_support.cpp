#include "emulator/family_support.h"

#include <algorithm>
#include <cstring>
#include <span>

#include "container/byte_order.h"
#include "container/checksum.h"
#include "container/identity.h"

namespace kfs::emu {

std::vector<std::uint8_t> StageFrom(const Drive& drive) {
    return drive.rom();
}

void Programming::Start(Drive& drive, std::uint64_t now, std::uint32_t durationMs,
                        std::vector<std::uint8_t> content, std::size_t extent,
                        std::uint8_t qualifier, std::uint8_t atapiFlashType) {
    active_ = true;
    never_ = drive.HasFault(Fault::Kind::NeverReady);
    start_ = now;
    duration_ = std::max<std::uint32_t>(durationMs, 1);
    content_ = std::move(content);
    extent_ = std::min(extent, content_.size());
    qualifier_ = qualifier;
    type_ = atapiFlashType;
}

void Programming::Tick(Drive& drive, std::uint64_t now) {
    if (!active_ || never_ || now - start_ < duration_)
        return;
    active_ = false;
    drive.CompleteFlash(0, content_.data(), extent_);
    AdoptImageIdentity(drive, extent_, type_);
    if (drive.description().keepsChecksum)
        drive.checksum = ByteSum16({drive.rom().data(), extent_});
    content_.clear();
}

Outcome Programming::Busy(std::uint64_t now) const {
    // Progress climbs with the time spent; a drive that never finishes stalls just short of the
    // end.
    const std::uint64_t elapsed = std::min<std::uint64_t>(now - start_, duration_);
    std::uint32_t progress = static_cast<std::uint32_t>(elapsed * 0xFFFF / duration_);
    if (never_)
        progress = std::min<std::uint32_t>(progress, 0xF000);
    Outcome busy = Outcome::Check(0x02, 0x04, qualifier_);
    PutBe16(&busy.sense[5], static_cast<std::uint16_t>(progress));
    return busy;
}

void AdoptImageIdentity(Drive& drive, std::size_t extent, std::uint8_t atapiFlashType) {
    std::span<const std::uint8_t> image(drive.rom().data(), std::min(extent, drive.rom().size()));
    const auto blocks = FindInquiryBlocks(image);
    if (blocks.empty())
        return;
    // The block the identity comes from: the main one when a "BOOT" block stands ahead of it.
    std::size_t at = blocks[0];
    if (blocks.size() > 1 && at + 36 <= image.size() &&
        std::memcmp(image.data() + at + 32, "BOOT", 4) == 0)
        at = blocks[1];
    std::array<std::uint8_t, kInquirySize> inquiry = drive.Inquiry();
    const std::size_t n = std::min(inquiry.size(), image.size() - at);
    std::memcpy(inquiry.data(), image.data() + at, n);
    auto put = [&](std::size_t pos, const std::string& text, std::size_t width) {
        // A text cut short at a zero byte leaves the block's own bytes after it.
        for (std::size_t i = 0; i < width && i < text.size(); ++i)
            inquiry[pos + i] = static_cast<std::uint8_t>(text[i]);
    };
    put(8, GetImageModelName(image), 24);
    put(32, GetImageVersion(image, atapiFlashType), 4);
    put(38, GetImageHardwareId(image), 2);
    put(40, GetImageDateCode(image, atapiFlashType), 6);
    drive.SetInquiry(inquiry.data(), inquiry.size());
}

}  // namespace kfs::emu
