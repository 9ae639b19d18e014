// One emulated drive: identity (INQUIRY data), flash ROM and the effects of programming it.
#include <algorithm>
#include <cstring>

#include "emulator/emulator.h"

namespace kfs::emu {

Sense MakeSense(std::uint8_t key, std::uint8_t asc, std::uint8_t ascq) {
    Sense sense{};
    sense[0] = 0x70;  // current error, fixed format
    sense[2] = key;
    sense[7] = 10;  // additional sense length: bytes 8 to 17 follow
    sense[12] = asc;
    sense[13] = ascq;
    return sense;
}

bool Command::IsVendor(std::uint8_t page) const {
    return cdb[0] == 0x5A && cdb[2] == page && cdb[3] == 0x4B && cdb[4] == 0x45;
}

namespace {

void Put(std::array<std::uint8_t, kInquirySize>& inquiry, std::size_t at, const std::string& text,
         std::size_t width) {
    for (std::size_t i = 0; i < width && i < text.size(); ++i)
        inquiry[at + i] = static_cast<std::uint8_t>(text[i]);
}

}  // namespace

Drive::Drive(DriveDescription description)
    : tray_open(description.tray_open),
      medium(description.medium),
      checksum(description.checksum),
      description_(std::move(description)),
      rom_(description_.flash_size),
      fault_hits_(description_.faults.size(), 0) {
    // Erased flash would be all FFh; a seeded sequence makes read-back comparisons meaningful.
    std::uint32_t x = description_.seed ? description_.seed : 1;
    for (std::size_t i = 0; i < rom_.size(); i += 4) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        for (std::size_t k = 0; k < 4 && i + k < rom_.size(); ++k)
            rom_[i + k] = static_cast<std::uint8_t>(x >> (8 * k));
    }
    inquiry_[0] = description_.device_type;
    inquiry_[1] = 0x80;  // removable medium
    inquiry_[3] = 0x32;  // ATAPI version 3, response data format 2
    inquiry_[4] = kInquirySize - 5;
    Put(inquiry_, 8, description_.vendor, 8);
    Put(inquiry_, 16, description_.product, 16);
    Put(inquiry_, 32, description_.revision, 4);
    Put(inquiry_, 38, description_.hardware_id, 2);
    Put(inquiry_, 40, description_.date_code, 6);
}

std::array<std::uint8_t, kInquirySize> Drive::Inquiry() const {
    auto inquiry = inquiry_;
    if (boot_mode_)
        std::memcpy(inquiry.data() + 32, "BOOT", 4);
    return inquiry;
}

void Drive::SetInquiry(const std::uint8_t* data, std::size_t size) {
    std::memcpy(inquiry_.data(), data, std::min(size, inquiry_.size()));
}

void Drive::CompleteFlash(std::uint32_t offset, const std::uint8_t* image, std::size_t size) {
    if (offset < rom_.size()) {
        std::size_t n = std::min<std::size_t>(size, rom_.size() - offset);
        std::memcpy(rom_.data() + offset, image, n);
        for (const Fault& f : description_.faults)
            if (f.kind == Fault::Kind::FlipFlashByte && f.offset >= offset && f.offset - offset < n)
                rom_[f.offset] ^= 0xFF;
    }
    ++flash_count_;
    boot_mode_ = false;
    for (const Fault& f : description_.faults)
        if (f.kind == Fault::Kind::StayBoot && flash_count_ <= f.count)
            boot_mode_ = true;
}

}  // namespace kfs::emu
