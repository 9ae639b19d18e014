// One emulated drive: identity (INQUIRY data), flash ROM and the effects of programming it.
#include <algorithm>
#include <cstring>
#include <fstream>

#include "container/byte_order.h"
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

// Erased flash would be all FFh; a seeded sequence makes read-back comparisons meaningful. One
// xorshift word per four bytes, least significant byte first, stored a whole word at a time.
void FillSeeded(std::vector<std::uint8_t>& rom, std::uint32_t x) {
    const auto next = [&x] {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        return x;
    };
    const std::size_t whole = rom.size() & ~std::size_t{3};
    std::uint8_t* out = rom.data();
    for (std::size_t i = 0; i < whole; i += 4) {
        PutLe32(out + i, next());
    }
    if (whole < rom.size()) {
        const std::uint32_t word = next();
        for (std::size_t k = 0; whole + k < rom.size(); ++k)
            out[whole + k] = static_cast<std::uint8_t>(word >> (8 * k));
    }
}

}  // namespace

Drive::Drive(DriveDescription description)
    : trayOpen(description.trayOpen),
      medium(description.medium),
      checksum(description.checksum),
      description_(std::move(description)),
      faultHits_(description_.faults.size(), 0) {
    inquiry_[0] = description_.deviceType;
    inquiry_[1] = 0x80;  // removable medium
    inquiry_[3] = 0x32;  // ATAPI version 3, response data format 2
    inquiry_[4] = kInquirySize - 5;
    Put(inquiry_, 8, description_.vendor, 8);
    Put(inquiry_, 16, description_.product, 16);
    Put(inquiry_, 32, description_.revision, 4);
    Put(inquiry_, 38, description_.hardwareId, 2);
    Put(inquiry_, 40, description_.dateCode, 6);
}

std::vector<std::uint8_t>& Drive::Rom() const {
    if (!romMade_) {
        rom_.resize(description_.flashSize);
        FillSeeded(rom_, description_.seed ? description_.seed : 1);
        if (!description_.romFile.empty()) {
            std::ifstream kept(description_.romFile, std::ios::binary);
            kept.read(reinterpret_cast<char*>(rom_.data()),
                      static_cast<std::streamsize>(rom_.size()));
        }
        romMade_ = true;
    }
    return rom_;
}

std::array<std::uint8_t, kInquirySize> Drive::Inquiry() const {
    auto inquiry = inquiry_;
    if (bootMode_)
        std::memcpy(inquiry.data() + 32, "BOOT", 4);
    return inquiry;
}

void Drive::SetInquiry(const std::uint8_t* data, std::size_t size) {
    std::memcpy(inquiry_.data(), data, std::min(size, inquiry_.size()));
}

bool Drive::HasFault(Fault::Kind kind) const {
    return std::any_of(description_.faults.begin(), description_.faults.end(),
                       [&](const Fault& f) { return f.kind == kind && FaultHolds(f); });
}

void Drive::CompleteFlash(std::uint32_t offset, const std::uint8_t* image, std::size_t size) {
    std::vector<std::uint8_t>& rom = Rom();
    if (offset < rom.size()) {
        std::size_t n = std::min<std::size_t>(size, rom.size() - offset);
        std::memcpy(rom.data() + offset, image, n);
        for (const Fault& f : description_.faults)
            if (f.kind == Fault::Kind::FlipFlashByte && FaultHolds(f) && f.offset >= offset &&
                f.offset - offset < n)
                rom[f.offset] ^= 0xFF;
    }
    ++flashCount_;
    bootMode_ = false;
    for (const Fault& f : description_.faults)
        if (f.kind == Fault::Kind::StayBoot && FaultHolds(f) && flashCount_ <= f.count)
            bootMode_ = true;
}

}  // namespace kfs::emu
