// The WRITE BUFFER family (type 8): WRITE BUFFER mode 06h stages data at a buffer offset of the
// drive's two 64 KB banks (offset = bank * 65536 + offset within the bank), mode 07h with the
// bank's offset saves that bank to flash once all of it has arrived. The drive programs after
// each save; a save while it programs is queued behind the first, and the drive comes back once
// every saved bank is in the flash.
#include <algorithm>

#include "container/byte_order.h"
#include "emulator/family_support.h"

namespace kfs::emu {

namespace {

constexpr std::size_t kBank = 65536;
constexpr std::size_t kBanks = 2;
constexpr std::uint32_t kProgramMs = 1500;  // per bank

class Mtk7Protocol : public FlashProtocol {
  public:
    std::optional<Outcome> Handle(Drive& d, const Command& c, std::uint64_t now) override {
        if (c.opcode() == 0x00 && programming_.active())
            return programming_.Busy(now);
        if (c.opcode() != 0x3B)
            return std::nullopt;
        const std::uint8_t mode = c.cdb[1] & 0x1F;
        const std::size_t offset = GetBe24(&c.cdb[3]);
        const std::size_t length = GetBe24(&c.cdb[6]);
        if (mode == 0x06) {
            if (c.direction != kDirOut || c.data == nullptr || length != c.length || length == 0)
                return InvalidCdbField();
            if (offset + length > kBanks * kBank || offset + length > d.rom().size())
                return OutOfRange();
            if (staging_.empty())
                staging_ = StageFrom(d);
            std::copy_n(c.data, length, staging_.begin() + static_cast<std::ptrdiff_t>(offset));
            std::fill_n(got_.begin() + static_cast<std::ptrdiff_t>(offset), length, true);
            return Outcome::Good(static_cast<std::uint32_t>(length));
        }
        if (mode == 0x07) {
            const std::size_t bank = offset / kBank;
            if (offset % kBank != 0 || bank >= kBanks || length != 0 || c.length != 0)
                return InvalidCdbField();
            // Only a bank that arrived whole is saved.
            const auto first = got_.begin() + static_cast<std::ptrdiff_t>(bank * kBank);
            if (staging_.empty() || !std::all_of(first, first + kBank, [](bool b) { return b; }))
                return SequenceError();
            std::fill_n(first, kBank, false);
            saved_.push_back(bank);
            // Programming starts with the first save and lasts until every saved bank is done.
            std::size_t extent = 0;
            for (std::size_t b : saved_) extent = std::max(extent, (b + 1) * kBank);
            const std::uint64_t start = programming_.active() ? start_ : now;
            start_ = start;
            programming_.Start(d, start, kProgramMs * static_cast<std::uint32_t>(saved_.size()),
                               Saved(d), extent, 0x07, 8);
            return Outcome::Good();
        }
        return InvalidCdbField();
    }

    void Tick(Drive& d, std::uint64_t now) override {
        programming_.Tick(d, now);
        if (!programming_.active() && !saved_.empty()) {
            saved_.clear();
            if (std::none_of(got_.begin(), got_.end(), [](bool b) { return b; }))
                staging_.clear();
        }
    }

  private:
    // The flash as it will be once the saved banks are programmed.
    std::vector<std::uint8_t> Saved(const Drive& d) const {
        std::vector<std::uint8_t> content = d.rom();
        for (std::size_t b : saved_)
            std::copy_n(staging_.begin() + static_cast<std::ptrdiff_t>(b * kBank), kBank,
                        content.begin() + static_cast<std::ptrdiff_t>(b * kBank));
        return content;
    }

    Programming programming_;
    std::vector<std::uint8_t> staging_;
    std::vector<bool> got_ = std::vector<bool>(kBanks * kBank);  // staged since the bank's save
    std::vector<std::size_t> saved_;
    std::uint64_t start_ = 0;
};

}  // namespace

std::unique_ptr<FlashProtocol> MakeMtk7Protocol() {
    return std::make_unique<Mtk7Protocol>();
}

}  // namespace kfs::emu
