// The A0 family: the vendor A0 bank write stages a bank, the A0 trigger makes the drive program
// what it staged. Three controllers answer it:
//   a0      (types 1, 3, 5)  trigger 04h, banks of up to 65534 bytes, waits are plain not-ready;
//   a0-poll (type 4)         trigger 05h, same banks, progress through 2/04/08;
//   a0-32k  (type 7)         trigger 04h, each bank as two 32 KB halves at offset 0000h/8000h,
//                            progress through 2/04/07.
// A bank write never covers the last two bytes of a full bank (the length field stops at
// FFFEh): those bytes, like every byte that is not sent, keep what the flash held before.
#include <set>

#include "container/byte_order.h"
#include "container/checksum.h"
#include "emulator/family_support.h"

namespace kfs::emu {

namespace {

constexpr std::size_t kBank = 65536;
constexpr std::size_t kHalf = 32768;
constexpr std::uint16_t kTriggerData = 128;

struct A0Variant {
    std::uint8_t trigger;    // CDB byte 6 of the trigger
    bool halves;             // banks come as two 32 KB halves
    std::uint8_t qualifier;  // of the not-ready sense while programming
    std::uint8_t atapiFlashType;
};

class A0Protocol : public FlashProtocol {
  public:
    explicit A0Protocol(A0Variant v) : v_(v) {}

    std::optional<Outcome> Handle(Drive& d, const Command& c, std::uint64_t now) override {
        if (programming_.active()) {
            if (c.opcode() == 0x00 || IsA0(c))
                return programming_.Busy(now);
            return std::nullopt;
        }
        if (!IsA0(c))
            return std::nullopt;
        if (IsTrigger(c))
            return Trigger(d, c, now);
        if (c.cdb[6] != 0x05)
            return InvalidCdbField();
        return v_.halves ? HalfWrite(d, c) : BankWrite(d, c);
    }

    void Tick(Drive& d, std::uint64_t now) override { programming_.Tick(d, now); }

  private:
    static bool IsA0(const Command& c) { return c.IsVendor(0x38) && c.cdb[5] == 0xA0; }

    std::uint8_t CountByte() const { return static_cast<std::uint8_t>((Banks() + 0xE0) & 0xFF); }

    // The trigger reads 00 80 in bytes 8 and 9. Where the trigger shares byte 6 with the bank
    // write (05h), a bank write of 128 bytes looks the same; the count byte tells them apart.
    bool IsTrigger(const Command& c) const {
        if (c.cdb[6] != v_.trigger || c.cdb[8] != 0x00 || c.cdb[9] != 0x80)
            return false;
        return v_.trigger != 0x05 || c.cdb[7] == CountByte();
    }

    std::size_t Banks() const { return v_.halves ? wholeBanks_ : banks_.size(); }

    bool Fits(const Drive& d, std::size_t end) const { return end <= d.rom().size(); }

    void Stage(const Drive& d, std::size_t at, const Command& c) {
        if (staging_.empty())
            staging_ = StageFrom(d);
        std::copy_n(c.data, c.length, staging_.begin() + static_cast<std::ptrdiff_t>(at));
    }

    Outcome Refuse(Outcome o) {
        Reset();
        return o;
    }

    void Reset() {
        staging_.clear();
        banks_.clear();
        halves_.clear();
        wholeBanks_ = 0;
        extent_ = 0;
    }

    Outcome BankWrite(Drive& d, const Command& c) {
        const std::size_t bank = c.cdb[7];
        const std::uint16_t length = GetBe16(&c.cdb[8]);
        if (c.direction != kDirOut || c.data == nullptr || length != c.length || length == 0 ||
            (length & 1) != 0 || c.cdb[10] != 0 || c.cdb[11] != 0)
            return Refuse(InvalidCdbField());
        if (!Fits(d, bank * kBank + length))
            return Refuse(OutOfRange());
        Stage(d, bank * kBank, c);
        banks_.insert(bank);
        // A write of FFFEh bytes fills its bank; the two bytes it cannot carry keep their value.
        extent_ = std::max(extent_, bank * kBank + (length == 0xFFFE ? kBank : length));
        return Outcome::Good(length);
    }

    Outcome HalfWrite(Drive& d, const Command& c) {
        const std::size_t bank = c.cdb[7];
        const std::uint16_t offset = GetBe16(&c.cdb[8]);
        if (c.direction != kDirOut || c.data == nullptr || c.length != kHalf ||
            (offset != 0x0000 && offset != 0x8000))
            return Refuse(InvalidCdbField());
        if (!Fits(d, bank * kBank + offset + kHalf))
            return Refuse(OutOfRange());
        Stage(d, bank * kBank + offset, c);
        halves_.insert(bank * 2 + offset / kHalf);
        wholeBanks_ = 0;
        for (std::size_t h : halves_)
            if (h % 2 == 1 && halves_.count(h - 1))
                ++wholeBanks_;
        extent_ = std::max(extent_, bank * kBank + offset + kHalf);
        return Outcome::Good(kHalf);
    }

    Outcome Trigger(Drive& d, const Command& c, std::uint64_t now) {
        if (c.direction != kDirOut || c.data == nullptr || c.length != kTriggerData)
            return Refuse(InvalidCdbField());
        if (staging_.empty() || c.cdb[7] != CountByte() ||
            (v_.halves && halves_.size() != 2 * wholeBanks_))
            return Refuse(SequenceError());
        // The trigger repeats the image's first 128 bytes and its check sum: both must agree
        // with what the drive is about to program (a flash shorter than that cannot agree).
        if (staging_.size() < kTriggerData ||
            !std::equal(c.data, c.data + kTriggerData, staging_.begin()) ||
            GetBe16(&c.cdb[10]) != ByteSum16({staging_.data(), extent_}))
            return Refuse(BadParameterData());
        const std::uint32_t duration = 1000 + 250 * static_cast<std::uint32_t>(Banks());
        programming_.Start(d, now, duration, std::move(staging_), extent_, v_.qualifier,
                           v_.atapiFlashType);
        Reset();
        return Outcome::Good(kTriggerData);
    }

    A0Variant v_;
    Programming programming_;
    std::vector<std::uint8_t> staging_;
    std::set<std::size_t> banks_;
    std::set<std::size_t> halves_;  // bank * 2 + half
    std::size_t wholeBanks_ = 0;
    std::size_t extent_ = 0;  // end of the programmed range
};

}  // namespace

std::unique_ptr<FlashProtocol> MakeA0Protocol() {
    return std::make_unique<A0Protocol>(A0Variant{0x04, false, 0x07, 1});
}
std::unique_ptr<FlashProtocol> MakeA0PollProtocol() {
    return std::make_unique<A0Protocol>(A0Variant{0x05, false, 0x08, 4});
}
std::unique_ptr<FlashProtocol> MakeA0_32kProtocol() {
    return std::make_unique<A0Protocol>(A0Variant{0x04, true, 0x07, 7});
}

}  // namespace kfs::emu
