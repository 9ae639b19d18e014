// The ALI family (type 2): the image arrives in 16 KB blocks, FD 07 "KEMO" s1 s0 w1 w0 j n, each
// with the 16-bit sum s of its own bytes, the sum w of the whole image, its number j (from 1) and
// the block count n. The drive checks every block's sum as it arrives, the image sum with the
// last block, and then programs the blocks from the start of the flash.
#include "container/byte_order.h"
#include "container/checksum.h"
#include "emulator/family_support.h"

namespace kfs::emu {

namespace {

constexpr std::size_t kBlock = 16384;
constexpr std::uint8_t kSignature[4] = {0x4B, 0x45, 0x4D, 0x4F};

class AliProtocol : public FlashProtocol {
  public:
    std::optional<Outcome> Handle(Drive& d, const Command& c, std::uint64_t now) override {
        if (programming_.active()) {
            if (c.opcode() == 0x00 || c.opcode() == 0xFD)
                return programming_.Busy(now);
            return std::nullopt;
        }
        if (c.opcode() != 0xFD)
            return std::nullopt;
        if (c.cdb[1] != 0x07 || !std::equal(kSignature, kSignature + 4, &c.cdb[2]) ||
            c.direction != kDirOut || c.data == nullptr || c.length != kBlock)
            return Refuse(InvalidCdbField());
        const std::uint8_t j = c.cdb[10], n = c.cdb[11];
        // Blocks come in order from 1; block 1 starts a new image.
        if (j == 1) {
            staging_ = StageFrom(d);
            count_ = n;
            next_ = 1;
        }
        if (staging_.empty() || j != next_ || n != count_ || n == 0 || j > n)
            return Refuse(SequenceError());
        if ((j - std::size_t{1}) * kBlock + kBlock > d.rom().size())
            return Refuse(OutOfRange());
        if (ByteSum16({c.data, kBlock}) != GetBe16(&c.cdb[6]))
            return Refuse(BadParameterData());
        std::copy_n(c.data, kBlock,
                    staging_.begin() + static_cast<std::ptrdiff_t>((j - 1) * kBlock));
        ++next_;
        if (j < n)
            return Outcome::Good(kBlock);

        const std::size_t extent = std::size_t{n} * kBlock;
        if (ByteSum16({staging_.data(), extent}) != GetBe16(&c.cdb[8]))
            return Refuse(BadParameterData());
        programming_.Start(d, now, 1000 + 60 * static_cast<std::uint32_t>(n), std::move(staging_),
                           extent, 0x07, 2);
        staging_.clear();
        return Outcome::Good(kBlock);
    }

    void Tick(Drive& d, std::uint64_t now) override { programming_.Tick(d, now); }

  private:
    Outcome Refuse(Outcome o) {
        staging_.clear();
        next_ = 0;
        return o;
    }

    Programming programming_;
    std::vector<std::uint8_t> staging_;
    std::uint8_t count_ = 0;
    std::uint8_t next_ = 0;
};

}  // namespace

std::unique_ptr<FlashProtocol> MakeAliProtocol() {
    return std::make_unique<AliProtocol>();
}

}  // namespace kfs::emu
