// The Philips family: the image arrives in 16 KB blocks, FA p0 p1 q0 q1 i 01 p0 p1 q0 q1 n, the
// two trailer words of the container low byte first and repeated, i counted from 0 and n the
// block count. The drive takes the blocks in order from the start of the flash and programs
// them after the last one, restarting on the way. The trailer words travel with every block and
// must not change within an image; the drive has nothing to check them against.
#include <algorithm>

#include "emulator/family_support.h"

namespace kfs::emu {

namespace {

constexpr std::size_t kBlock = 16384;

class PhilipsProtocol : public FlashProtocol {
  public:
    std::optional<Outcome> Handle(Drive& d, const Command& c, std::uint64_t now) override {
        if (programming_.active()) {
            if (c.opcode() == 0x00 || c.opcode() == 0xFA)
                return programming_.Busy(now);
            return std::nullopt;
        }
        if (c.opcode() != 0xFA)
            return std::nullopt;
        if (c.cdb[6] != 0x01 || !std::equal(&c.cdb[1], &c.cdb[5], &c.cdb[7]) ||
            c.direction != kDirOut || c.data == nullptr || c.length != kBlock)
            return Refuse(InvalidCdbField());
        const std::uint8_t i = c.cdb[5], n = c.cdb[11];
        if (i == 0) {
            staging_ = StageFrom(d);
            std::copy_n(&c.cdb[1], 4, words_);
            count_ = n;
            next_ = 0;
        }
        if (staging_.empty() || i != next_ || n != count_ || i >= n ||
            !std::equal(words_, words_ + 4, &c.cdb[1]))
            return Refuse(SequenceError());
        if (std::size_t{i} * kBlock + kBlock > d.rom().size())
            return Refuse(OutOfRange());
        std::copy_n(c.data, kBlock, staging_.begin() + static_cast<std::ptrdiff_t>(i * kBlock));
        ++next_;
        if (i + 1 == n) {
            programming_.Start(d, now, 8000 + 100 * std::uint32_t{n}, std::move(staging_),
                               std::size_t{n} * kBlock, 0x07, 0);
            staging_.clear();
        }
        return Outcome::Good(kBlock);
    }

    void Tick(Drive& d, std::uint64_t now) override { programming_.Tick(d, now); }

  private:
    Outcome Refuse(Outcome o) {
        staging_.clear();
        return o;
    }

    Programming programming_;
    std::vector<std::uint8_t> staging_;
    std::uint8_t words_[4] = {};
    std::uint8_t count_ = 0;
    std::uint8_t next_ = 0;
};

}  // namespace

std::unique_ptr<FlashProtocol> MakePhilipsProtocol() {
    return std::make_unique<PhilipsProtocol>();
}

}  // namespace kfs::emu
