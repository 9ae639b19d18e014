#include "flash/family_a0.h"

#include <array>
#include <optional>
#include <span>
#include <vector>

#include "drive/cdb.h"
#include "flash/flash_commands.h"
#include "flash/procedure_support.h"
#include "flash/wait_drive_ready.h"

namespace kfs {

namespace {

// The two length bytes of the bank write and the transport's 16-bit length both stop short of a
// whole bank; an even length of at most FFFEh is what the drive takes.
constexpr std::uint32_t kMaxBankWrite = 0xFFFE;
constexpr std::uint16_t kHalfBank = 32768;
constexpr std::uint32_t kPollMs = 500;
constexpr std::uint64_t kProgressLimitMs = 120000;

struct BankWrite {
    std::uint8_t bank;
    std::size_t offset;    // into the image
    std::uint16_t length;  // bytes sent, even
};

// The bank writes, and the image positions that go out as zeros: with per-bank lengths the drive
// expects the byte after a bank's data to be zero.
struct BankPlan {
    std::vector<BankWrite> writes;
    std::vector<std::size_t> cleared;
};

std::uint32_t MakeEven(std::uint32_t n) {
    return n + (n & 1);
}

// The bank writes of the a0 and a0-poll families, worked out before anything is sent so that a bank
// that does not fit the command is refused without touching the drive.
std::optional<BankPlan> PlanBankWrites(const FlashJob& job) {
    BankPlan plan;
    const std::size_t length = job.image.size();
    if (job.container.MaxBankSize == kFlashBankSize) {
        for (std::size_t i = 0; i < job.container.BankSizes.size(); ++i) {
            const std::uint32_t size = job.container.BankSizes[i];
            const std::uint32_t sent = MakeEven(size);
            if (size > kMaxBankWrite || sent > kMaxBankWrite)
                return std::nullopt;
            plan.writes.push_back({static_cast<std::uint8_t>(i), i * kFlashBankSize,
                                   static_cast<std::uint16_t>(sent)});
            plan.cleared.push_back(i * kFlashBankSize + size);
        }
        return plan;
    }
    const std::size_t banks = (length + kFlashBankSize - 1) / kFlashBankSize;
    for (std::size_t i = 0; i < banks; ++i) {
        const std::size_t rest = std::min<std::size_t>(length - i * kFlashBankSize, kMaxBankWrite);
        plan.writes.push_back(
            {static_cast<std::uint8_t>(i), i * kFlashBankSize,
             static_cast<std::uint16_t>(MakeEven(static_cast<std::uint32_t>(rest)))});
    }
    return plan;
}

// Writes the planned banks; false at the first bank the drive refuses.
bool SendBanks(FlashJob& job, const BankPlan& plan) {
    for (const BankWrite& w : plan.writes) {
        ImagePiece piece(job.image, w.offset, w.length, plan.cleared);
        if (!WriteA0Bank(job.transport, job.drive, piece.data(), w.length, w.bank, w.length))
            return false;
    }
    return true;
}

void SendReadVendorBlockA3(FlashJob& job) {
    std::vector<std::uint8_t> reply(kVendorBlockA3Length);
    ReadVendorBlockA3(job.transport, job.drive, reply.data());
}

// False when the drive refused the trigger: it was told nothing to program, and the wait or poll
// that follows would take its old firmware, ready again (or without a disc), for a finished
// update. A status lost while the drive restarts into programming is left to that wait or poll.
bool SendTrigger(FlashJob& job, std::uint8_t kind, std::size_t banks,
                 std::span<const std::size_t> cleared = {}) {
    ImagePiece head(job.image, 0, kA0TriggerLength, cleared);
    return !TriggerRefused(TriggerA0(job.transport, job.drive, head.data(), kind, banks,
                                     job.container.HeaderCheckSum));
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
        if (SenseKey(job.sense) == 0x02 && SenseCode(job.sense) == 0x3A) {
            job.transport.ForgetFailure();  // an answer, not a failure
            return std::nullopt;            // reset without a disc: programming is over
        }
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
    if (!SendTrigger(job, 0x04, plan->writes.size(), plan->cleared))
        return kTriggerFail;
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
    if (!SendTrigger(job, 0x05, plan->writes.size(), plan->cleared))
        return kTriggerFail;
    job.view.SetProgress(kProgressMax / 4);
    return PollProgress(job, true);
}

FlashResult FlashMtk6Type(FlashJob& job) {
    SendReadVendorBlockA3(job);
    AddOpeningLines(job.view);
    const std::size_t banks = (job.image.size() + kFlashBankSize - 1) / kFlashBankSize;
    for (std::size_t i = 0; i < banks; ++i) {
        for (std::uint16_t half : {std::uint16_t{0x0000}, std::uint16_t{0x8000}}) {
            // The last bank goes out whole as well; what lies beyond the image is sent as zeros.
            ImagePiece piece(job.image, i * kFlashBankSize + half, kHalfBank);
            // Either half refused leaves a hole in the bank the trigger would program.
            if (!WriteA0Bank(job.transport, job.drive, piece.data(), kHalfBank,
                             static_cast<std::uint8_t>(i), half))
                return kWriteBufferFail;
        }
    }
    if (!SendTrigger(job, 0x04, banks))
        return kTriggerFail;
    job.view.SetProgress(kProgressMax / 4);
    return PollProgress(job, false);
}

}  // namespace kfs
