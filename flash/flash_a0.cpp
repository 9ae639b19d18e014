#include "flash/flash_a0.h"

#include <array>
#include <optional>
#include <vector>

#include "drive/cdb.h"
#include "flash/flash_commands.h"
#include "flash/procedure_support.h"
#include "flash/wait_drive_ready.h"

namespace kfs {

namespace {

constexpr Cdb kBankWrite = {0x5A, 0x00, 0x38, 0x4B, 0x45, 0xA0, 0x05, 0, 0, 0, 0, 0};
constexpr Cdb kTrigger = {0x5A, 0x00, 0x38, 0x4B, 0x45, 0xA0, 0, 0, 0x00, 0x80, 0, 0};
constexpr std::uint32_t kBankStride = 65536;
// The two length bytes of the bank write and the transport's 16-bit length both stop short of a
// whole bank; an even length of at most FFFEh is what the drive takes.
constexpr std::uint32_t kMaxBankWrite = 0xFFFE;
constexpr std::uint16_t kHalfBank = 32768;
constexpr std::uint16_t kTriggerLength = 128;
constexpr std::uint32_t kPollMs = 500;
constexpr std::uint64_t kProgressLimitMs = 120000;

struct BankWrite {
    std::uint8_t bank;
    std::size_t offset;    // into the image
    std::uint16_t length;  // bytes sent, even
    std::size_t zeroAt;    // image byte cleared before sending (per-bank lengths only)
    bool clearsByte;
};

std::uint32_t MakeEven(std::uint32_t n) {
    return n + (n & 1);
}

// The bank writes of types 1, 3, 4 and 5, worked out before anything is sent so that a bank that
// does not fit the command is refused without touching the drive.
std::optional<std::vector<BankWrite>> PlanBankWrites(const FlashJob& job) {
    std::vector<BankWrite> plan;
    const std::size_t length = job.image.size();
    if (job.container.MaxBankSize == kBankStride) {
        for (std::size_t i = 0; i < job.container.BankSizes.size(); ++i) {
            const std::uint32_t size = job.container.BankSizes[i];
            const std::uint32_t sent = MakeEven(size);
            if (size > kMaxBankWrite || sent > kMaxBankWrite)
                return std::nullopt;
            plan.push_back({static_cast<std::uint8_t>(i), i * kBankStride,
                            static_cast<std::uint16_t>(sent), i * kBankStride + size, true});
        }
        return plan;
    }
    const std::size_t banks = (length + kBankStride - 1) / kBankStride;
    for (std::size_t i = 0; i < banks; ++i) {
        const std::size_t rest = std::min<std::size_t>(length - i * kBankStride, kMaxBankWrite);
        plan.push_back({static_cast<std::uint8_t>(i), i * kBankStride,
                        static_cast<std::uint16_t>(MakeEven(static_cast<std::uint32_t>(rest))), 0,
                        false});
    }
    return plan;
}

bool SendBank(FlashJob& job, const BankWrite& w) {
    // The drive expects the byte after a bank's data to be zero; only a byte that lies inside
    // the image is cleared.
    if (w.clearsByte && w.zeroAt < job.image.size())
        job.image[w.zeroAt] = 0;
    Cdb cdb = kBankWrite;
    cdb[7] = w.bank;
    PutBe16(cdb, 8, w.length);
    ImagePiece piece(job.image, w.offset, w.length);
    return job.transport.SendPacketCommand(job.drive, cdb, piece.data(), w.length, kDirOut,
                                           kDefaultTimeoutMs);
}

// Writes the planned banks; false at the first bank the drive refuses.
bool SendBanks(FlashJob& job, const std::vector<BankWrite>& plan) {
    for (const BankWrite& w : plan)
        if (!SendBank(job, w))
            return false;
    return true;
}

void SendReadVendorBlockA3(FlashJob& job) {
    std::vector<std::uint8_t> reply(kVendorBlockA3Length);
    ReadVendorBlockA3(job.transport, job.drive, reply.data());
}

// The trigger carries the bank count less 32 (modulo 256), the container's check sum and the
// first 128 image bytes. Its result is left to the wait or poll that follows.
void SendTrigger(FlashJob& job, std::uint8_t kind, std::size_t banks) {
    Cdb cdb = kTrigger;
    cdb[6] = kind;
    cdb[7] = static_cast<std::uint8_t>((banks + 0xE0) & 0xFF);
    PutBe16(cdb, 10, job.container.HeaderCheckSum);
    ImagePiece head(job.image, 0, kTriggerLength);
    job.transport.SendPacketCommand(job.drive, cdb, head.data(), kTriggerLength, kDirOut,
                                    kLongTimeoutMs);
}

// Follows the programming after a trigger through TEST UNIT READY and its sense: progress is
// 2/04h (qualifier 08h only when `onlyQualifier08`) with the value in sense bytes 5 and 6.
FlashResult PollProgress(FlashJob& job, bool onlyQualifier08) {
    const std::uint64_t trigger = job.clock.NowMs();
    for (;;) {
        if (TestUnitReady(job.transport, job.drive))
            return std::nullopt;
        if (job.clock.NowMs() - trigger > kProgressLimitMs)
            return kFlashProgressTimeOut;
        job.sense = job.transport.GetSenseData();
        if (SenseKey(job.sense) == 0x02 && SenseCode(job.sense) == 0x3A)
            return std::nullopt;  // reset without a disc: programming is over
        const bool progress = SenseKey(job.sense) == 0x02 && SenseCode(job.sense) == 0x04 &&
                              (!onlyQualifier08 || SenseQualifier(job.sense) == 0x08);
        if (!progress)
            return kTriggerFail;
        job.view.ProcessMessages();
        job.view.SetProgress(job.sense[5] * 256u + job.sense[6] + 1);
        job.clock.Sleep(kPollMs);
    }
}

}  // namespace

FlashResult FlashMtkType(FlashJob& job) {
    auto plan = PlanBankWrites(job);
    if (!plan)
        return kWriteBufferFail;
    job.view.ProcessMessages();
    job.view.SetProgress(kProgressMax / 3);
    SendReadVendorBlockA3(job);
    AddOpeningLines(job.view);
    if (!SendBanks(job, *plan))
        return kWriteBufferFail;
    job.view.ProcessMessages();
    job.view.SetProgress(2 * kProgressMax / 3);
    SendTrigger(job, 0x04, plan->size());
    if (!WaitDriveReady(job.transport, job.clock, job.drive, 120))
        return kWaitDriveReadyTimeOut;
    job.view.ProcessMessages();
    job.view.SetProgress(kProgressMax);
    return std::nullopt;
}

FlashResult FlashMtk3Type(FlashJob& job) {
    auto plan = PlanBankWrites(job);
    if (!plan)
        return kWriteBufferFail;
    SendReadVendorBlockA3(job);
    AddOpeningLines(job.view);
    if (!SendBanks(job, *plan))
        return kWriteBufferFail;
    SendTrigger(job, 0x05, plan->size());
    job.view.SetProgress(kProgressMax / 4);
    return PollProgress(job, true);
}

FlashResult FlashMtk6Type(FlashJob& job) {
    SendReadVendorBlockA3(job);
    AddOpeningLines(job.view);
    const std::size_t banks = (job.image.size() + kBankStride - 1) / kBankStride;
    for (std::size_t i = 0; i < banks; ++i) {
        for (std::uint16_t half : {std::uint16_t{0x0000}, std::uint16_t{0x8000}}) {
            Cdb cdb = kBankWrite;
            cdb[7] = static_cast<std::uint8_t>(i);
            PutBe16(cdb, 8, half);
            // The last bank goes out whole as well; what lies beyond the image is sent as zeros.
            ImagePiece piece(job.image, i * kBankStride + half, kHalfBank);
            const bool ok = job.transport.SendPacketCommand(job.drive, cdb, piece.data(), kHalfBank,
                                                            kDirOut, kDefaultTimeoutMs);
            if (!ok && half == 0x8000)
                return kWriteBufferFail;
        }
    }
    SendTrigger(job, 0x04, banks);
    job.view.SetProgress(kProgressMax / 4);
    return PollProgress(job, false);
}

}  // namespace kfs
