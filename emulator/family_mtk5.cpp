// Drives of the two-pass type. The firmware loader takes the image through standard WRITE BUFFER
// commands: mode 01h with buffer ID 1 opens a download (0 closes it), mode 06h stages data at a
// buffer offset (bank * 65536 + offset), and mode 07h programs one megabyte of the flash: the
// upper one when its buffer offset is 100000h, else the lower one. The drive programs bank by
// bank and reports its bank counter in byte 4 of the REQUEST SENSE data (2/04/07): 16 to 32 for
// the upper megabyte, 0 to 16 for the lower one. After the upper megabyte it is ready for the
// next download; after the lower one it waits to be acknowledged (REQUEST SENSE with byte 5 =
// 80h), or resets on its own after a short while, and boots the new firmware, reporting 6/29/00
// (power on or reset) first. Its INQUIRY data then come from the image it holds.
#include <algorithm>
#include <cstring>
#include <span>
#include <vector>

#include "container/byte_order.h"
#include "container/checksum.h"
#include "container/identity.h"
#include "emulator/emulator.h"

namespace kfs::emu {

namespace {

constexpr std::uint32_t kBankSize = 65536;
constexpr std::uint32_t kHalfSize = 16 * kBankSize;
// Staging is tracked in flash pages: downloads must start and end on page boundaries.
constexpr std::uint32_t kPageSize = 256;
constexpr std::uint32_t kBankProgramMs = 1000;
// Without an acknowledgement the drive resets by itself this long after programming.
constexpr std::uint32_t kAcknowledgeWaitMs = 5000;
constexpr std::uint32_t kBootMs = 2000;
// The last bytes of the image are not part of the header check sum.
constexpr std::size_t kUnsummedTail = 8;

constexpr std::uint8_t kWriteBuffer = 0x3B;
constexpr std::uint8_t kRequestSense = 0x03;
constexpr std::uint8_t kInquiry = 0x12;

Outcome InvalidFieldInCdb() {
    return Outcome::Check(0x05, 0x24, 0x00);
}
Outcome InvalidFieldInParameterList() {
    return Outcome::Check(0x05, 0x26, 0x00);
}
Outcome SequenceError() {
    return Outcome::Check(0x05, 0x2C, 0x00);
}

// The identity of the firmware now in the flash: the INQUIRY block of the image (the main one
// when a "BOOT" block stands ahead of it), with the date code where the image keeps it.
void TakeIdentity(Drive& drive, std::size_t extent) {
    const std::span<const std::uint8_t> image(drive.rom().data(), extent);
    const std::vector<std::size_t> blocks = FindInquiryBlocks(image);
    if (blocks.empty())
        return;
    std::size_t at = blocks[0];
    if (blocks.size() > 1 && at + 36 <= extent && std::memcmp(&image[at + 32], "BOOT", 4) == 0)
        at = blocks[1];
    std::array<std::uint8_t, kInquirySize> inquiry{};
    std::memcpy(inquiry.data(), image.data() + at, std::min(inquiry.size(), extent - at));
    const std::string date = GetImageDateCode(image, 6);
    std::memset(inquiry.data() + 40, 0, 6);
    std::memcpy(inquiry.data() + 40, date.data(), std::min<std::size_t>(date.size(), 6));
    drive.SetInquiry(inquiry.data(), inquiry.size());
}

class Mtk5Protocol : public FlashProtocol {
  public:
    std::optional<Outcome> Handle(Drive& drive, const Command& c, std::uint64_t now) override {
        if (staged_.empty()) {
            staging_.assign(drive.rom().size(), 0);
            staged_.assign(drive.rom().size() / kPageSize, false);
        }
        if (c.opcode() == kRequestSense)
            return RequestSense(drive, c);
        if (state_ == State::kProgramming || state_ == State::kAwaitAcknowledge ||
            state_ == State::kBooting) {
            // INQUIRY is answered at any time; everything else waits for the drive.
            if (c.opcode() == kInquiry)
                return std::nullopt;
            return Outcome{false, Status(), 0};
        }
        if (unitAttention_ && c.opcode() != kInquiry) {
            unitAttention_ = false;
            return Outcome::Check(0x06, 0x29, 0x00);
        }
        if (c.opcode() == kWriteBuffer)
            return WriteBuffer(drive, c, now);
        if (c.IsVendor(0x34) && c.cdb[5] == 0x0B && c.cdb[6] == 0x01)
            return SetCheckSum(drive, c);
        return std::nullopt;
    }

    void Tick(Drive& drive, std::uint64_t now) override {
        if (state_ == State::kProgramming && now >= programStart_ + programBanks_ * kBankProgramMs)
            FinishProgramming(drive, programStart_ + programBanks_ * kBankProgramMs);
        if (state_ == State::kAwaitAcknowledge && now >= resetAt_)
            Reset(drive, resetAt_);
        if (state_ == State::kBooting && now >= bootEnd_)
            state_ = State::kIdle;
        now_ = now;
    }

  private:
    enum class State { kIdle, kProgramming, kUpperDone, kAwaitAcknowledge, kBooting };

    // The sense that describes the loader's state; all zero when there is nothing to report.
    Sense Status() const {
        Sense s{};
        switch (state_) {
            case State::kProgramming: {
                const auto done =
                    static_cast<std::uint32_t>((now_ - programStart_) / kBankProgramMs);
                s = MakeSense(0x02, 0x04, 0x07);
                s[4] = static_cast<std::uint8_t>(programBase_ + std::min(done, programBanks_));
                break;
            }
            case State::kUpperDone:
            case State::kAwaitAcknowledge:
                s = MakeSense(0x02, 0x04, 0x07);
                s[4] = static_cast<std::uint8_t>(programBase_ + programBanks_);
                break;
            case State::kBooting:
                s = MakeSense(0x02, 0x04, 0x01);
                break;
            case State::kIdle:
                break;
        }
        return s;
    }

    std::optional<Outcome> RequestSense(Drive& drive, const Command& c) {
        Sense s;
        if (unitAttention_) {
            unitAttention_ = false;
            s = MakeSense(0x06, 0x29, 0x00);
        } else {
            s = Status();
            if (s[2] == 0)
                return std::nullopt;  // the common handler reports what the drive keeps
        }
        // The acknowledgement of the end of programming lets the drive reset into the new
        // firmware; the sense it answers with is the one it held.
        if ((c.cdb[5] & 0x80) && state_ == State::kAwaitAcknowledge)
            Reset(drive, now_);
        const std::size_t n = std::min<std::size_t>({s.size(), c.cdb[4], c.length});
        if (n > 0)  // a request without a buffer has nowhere to put the sense
            std::memcpy(c.data, s.data(), n);
        return Outcome::Good(static_cast<std::uint32_t>(n));
    }

    std::optional<Outcome> WriteBuffer(Drive& drive, const Command& c, std::uint64_t now) {
        switch (c.cdb[1] & 0x1F) {
            case 0x01:  // vendor mode: open (buffer ID 1) or close (0) a download
                if (c.cdb[2] > 1)
                    return InvalidFieldInCdb();
                if (c.cdb[2] == 1) {
                    std::fill(staged_.begin(), staged_.end(), false);
                    if (state_ == State::kUpperDone)
                        state_ = State::kIdle;
                }
                download_ = c.cdb[2] == 1;
                return Outcome::Good();
            case 0x06:
                return Stage(c);
            case 0x07:
                return Program(drive, c, now);
        }
        return InvalidFieldInCdb();
    }

    Outcome Stage(const Command& c) {
        if (!download_)
            return SequenceError();
        const std::uint32_t offset = GetBe24(&c.cdb[3]);
        const std::uint32_t length = GetBe24(&c.cdb[6]);
        if (c.direction != kDirOut || c.length != length || (length > 0 && c.data == nullptr))
            return InvalidFieldInCdb();
        if (offset % kPageSize != 0 || length % kPageSize != 0)
            return InvalidFieldInCdb();
        if (offset > staging_.size() || length > staging_.size() - offset)
            return Outcome::Check(0x05, 0x21, 0x00);  // beyond the flash
        std::memcpy(staging_.data() + offset, c.data, length);
        std::fill_n(staged_.begin() + offset / kPageSize, length / kPageSize, true);
        return Outcome::Good(length);
    }

    // Mode 07h: the buffer offset names the megabyte, the parameter list length is always one
    // megabyte. Every staged page must lie in that megabyte and make up whole banks from its
    // start on.
    Outcome Program(Drive& drive, const Command& c, std::uint64_t now) {
        const std::uint32_t offset = GetBe24(&c.cdb[3]);
        if ((offset != 0 && offset != kHalfSize) || GetBe24(&c.cdb[6]) != kHalfSize ||
            offset + kHalfSize > drive.rom().size())
            return InvalidFieldInCdb();
        const std::size_t pagesPerBank = kBankSize / kPageSize;
        const std::size_t first = offset / kPageSize, last = first + kHalfSize / kPageSize;
        std::size_t end = first;
        while (end < last && staged_[end]) ++end;
        const bool outside =
            std::find(staged_.begin(), staged_.begin() + static_cast<std::ptrdiff_t>(first),
                      true) != staged_.begin() + static_cast<std::ptrdiff_t>(first) ||
            std::find(staged_.begin() + static_cast<std::ptrdiff_t>(end), staged_.end(), true) !=
                staged_.end();
        if (end == first || outside)
            return SequenceError();
        if ((end - first) % pagesPerBank != 0)
            return InvalidFieldInParameterList();
        download_ = false;
        state_ = State::kProgramming;
        programStart_ = now;
        programOffset_ = offset;
        programBase_ = offset / kBankSize;
        programBanks_ = static_cast<std::uint32_t>((end - first) / pagesPerBank);
        return Outcome::Good();
    }

    void FinishProgramming(Drive& drive, std::uint64_t at) {
        const std::uint32_t size = programBanks_ * kBankSize;
        std::memcpy(drive.rom().data() + programOffset_, staging_.data() + programOffset_, size);
        std::fill(staged_.begin(), staged_.end(), false);
        extent_ = std::max<std::size_t>(extent_, programOffset_ + size);
        if (programOffset_ != 0) {
            state_ = State::kUpperDone;
        } else {
            state_ = State::kAwaitAcknowledge;
            resetAt_ = at + kAcknowledgeWaitMs;
        }
    }

    // The drive restarts on what it now holds.
    void Reset(Drive& drive, std::uint64_t at) {
        std::vector<std::uint8_t> image(drive.rom().begin(),
                                        drive.rom().begin() + static_cast<std::ptrdiff_t>(extent_));
        drive.CompleteFlash(0, image.data(), image.size());
        TakeIdentity(drive, extent_);
        flashed_ = extent_;
        extent_ = 0;
        state_ = State::kBooting;
        bootEnd_ = at + kBootMs;
        unitAttention_ = true;
    }

    // The header check sum handed over with the expected one must be that of the image in the
    // flash; a drive whose flash does not hold what it was sent refuses it.
    std::optional<Outcome> SetCheckSum(Drive& drive, const Command& c) {
        // What it knows of the image: the one it booted, or the one programmed since.
        const std::size_t extent = std::max(flashed_, extent_);
        if (!drive.description().keepsChecksum || extent == 0)
            return std::nullopt;
        const std::size_t summed = extent > kUnsummedTail ? extent - kUnsummedTail : 0;
        const auto sum = ByteSum16({drive.rom().data(), summed});
        if (sum != GetBe16(&c.cdb[7]))
            return InvalidFieldInCdb();
        return std::nullopt;
    }

    State state_ = State::kIdle;
    std::uint64_t now_ = 0;
    bool download_ = false;
    bool unitAttention_ = false;
    std::vector<std::uint8_t> staging_;
    std::vector<bool> staged_;  // per flash page
    std::uint64_t programStart_ = 0;
    std::uint32_t programOffset_ = 0;
    std::uint32_t programBase_ = 0;
    std::uint32_t programBanks_ = 0;
    std::uint64_t resetAt_ = 0;
    std::uint64_t bootEnd_ = 0;
    std::size_t extent_ = 0;   // flash bytes programmed since the last reset
    std::size_t flashed_ = 0;  // extent of the image the drive last booted
};

}  // namespace

std::unique_ptr<FlashProtocol> MakeMtk5Protocol() {
    return std::make_unique<Mtk5Protocol>();
}

}  // namespace kfs::emu
