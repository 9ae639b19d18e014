#include "flash/family_mtk5.h"

#include <algorithm>
#include <cstdio>

#include "container/byte_order.h"
#include "drive/cdb.h"
#include "drive/identification.h"
#include "flash/flash_commands.h"
#include "flash/procedure_support.h"
#include "flash/verify.h"
#include "flash/wait_drive_ready.h"

namespace kfs {

namespace {

constexpr std::uint32_t kBlockSize = 16384;
constexpr std::uint32_t kBlocksPerBank = kFlashBankSize / kBlockSize;
// One pass programs one megabyte: sixteen banks.
constexpr int kPassBanks = 16;
constexpr int kFullBanks = 2 * kPassBanks;

constexpr int kRetryBudget = 10;
constexpr std::uint32_t kRetrySleepMs = 500;
constexpr std::uint32_t kPollSleepMs = 500;
constexpr std::uint64_t kPollLimitMs = 120000;
// The drive acknowledges the end of the second pass within moments; the limit only keeps a
// drive that never answers from holding the program forever. Longer than the poll's limit.
constexpr std::uint64_t kAcknowledgeLimitMs = 180000;
constexpr std::uint32_t kSettleMs = 3000;
constexpr int kReadyLimitSeconds = 120;
constexpr int kMaxAttempts = 3;
constexpr std::size_t kReplySize = 256;

const char kFlashError[] = "Flash Error!";
const char kSetCheckSumFail[] = "flash fail !\n";
const char kGetCheckSumError[] = "Get CheckSum Error!";
const char kCheckSumError[] = "CheckSum Error!";

class Mtk5Flash {
  public:
    explicit Mtk5Flash(FlashJob& job)
        : job_(job),
          banks_(static_cast<int>(job.image.size() / kFlashBankSize)),
          upper_(banks_ > kPassBanks) {}

    FlashResult Run() {
        // Only one megabyte or the whole two megabytes can be programmed; anything in between
        // would make the upper pass read banks the image does not have, and a padded image
        // would put zeros where the firmware's tail belongs.
        if (banks_ == 0 || (banks_ > kPassBanks && banks_ != kFullBanks))
            return kWriteBufferFail;
        for (int attempt = 1;; ++attempt) {
            if (FlashResult failure = FlashOnce())
                return failure;
            job_.view.ProcessMessages();
            job_.view.SetProgress(kProgressMax);
            job_.clock.Sleep(kSettleMs);
            // A drive that still answers with its boot loader's revision did not take the image.
            if (GetDriveVersion(job_.transport, job_.drive) != "BOOT")
                break;
            if (attempt >= kMaxAttempts)
                return kFlashError;
            char retry[64];
            std::snprintf(retry, sizeof retry, "retrying flash %d time(s)\n", attempt);
            job_.view.ClearLines();
            job_.view.AddLine("Last flash fail !");
            job_.view.AddLine(retry);
        }
        if (!WaitReady())
            return kWaitDriveReadyTimeOut;
        return CheckSumHandshake();
    }

  private:
    FlashResult FlashOnce() {
        job_.view.ProcessMessages();
        job_.view.SetProgress(0);
        AddOpeningLines(job_.view, "Please wait for the accomplishment!");

        const int firstBank = upper_ ? kPassBanks : 0;
        const int firstCount = upper_ ? kPassBanks : banks_;
        if (FlashResult failure = WritePass(firstBank, firstCount))
            return failure;
        if (TriggerRefused(StartFlashWrite(job_.transport, job_.drive, upper_)))
            return kTriggerFail;
        if (FlashResult failure = PollFirstPass())
            return failure;
        if (!upper_)
            return std::nullopt;

        if (FlashResult failure = WritePass(0, kPassBanks))
            return failure;
        if (TriggerRefused(StartFlashWrite(job_.transport, job_.drive, false)))
            return kTriggerFail;
        return PollSecondPass();
    }

    // Download mode on, each bank as four 16 KB blocks, download mode off. A failed block is sent
    // again after a pause while the budget lasts; every block that gets through refills it. A
    // block the system would not send at all is not tried again: it would refuse it every time.
    // The mode switches carry nothing to the flash; a download the drive did not open shows in
    // the blocks it refuses.
    FlashResult WritePass(int firstBank, int count) {
        SetDownloadMode(job_.transport, job_.drive, 1);
        for (int k = firstBank; k < firstBank + count; ++k) {
            for (std::uint32_t g = 0; g < kBlocksPerBank; ++g) {
                const std::uint8_t* block = job_.image.data() + k * kFlashBankSize + g * kBlockSize;
                for (;;) {
                    const CommandResult written = WriteBufferAt(
                        job_.transport, job_.drive, block, kBlockSize, static_cast<std::uint8_t>(k),
                        static_cast<std::uint16_t>(g * kBlockSize));
                    if (written)
                        break;
                    if (retryBudget_ == 0 || written.NeverSent())
                        return kWriteBufferFail;
                    --retryBudget_;
                    job_.clock.Sleep(kRetrySleepMs);
                }
                retryBudget_ = kRetryBudget;
            }
        }
        SetDownloadMode(job_.transport, job_.drive, 0);
        return std::nullopt;
    }

    enum class Poll { kComplete, kRunning, kTriggerFail, kUnreadable };

    // One REQUEST SENSE of a poll, judged. Nullopt when the command itself failed.
    std::optional<Poll> Ask(bool upper) {
        // A reply that comes short leaves the rest of the buffer as it was: cleared, a sense
        // without its response code and length reads as nothing, where stale or zero bytes would
        // read as "no sense", the end of programming, while the drive is still at it.
        job_.sense.fill(0);
        if (!RequestFlashSense(job_.transport, job_.drive, job_.sense.data(), upper, false))
            return std::nullopt;
        const SenseData& s = job_.sense;
        const bool fixedFormat = (s[0] & 0x7F) == 0x70 || (s[0] & 0x7F) == 0x71;
        if (!fixedFormat || s[7] < 6)
            return Poll::kUnreadable;
        if (s[2] == 0 || (SenseKey(s) == 0x02 && SenseCode(s) == 0x3A))
            return Poll::kComplete;
        const bool programming = SenseKey(s) == 0x02 && SenseCode(s) == 0x04 &&
                                 (SenseQualifier(s) == 0x07 || SenseQualifier(s) == 0x08);
        const bool reset = s[2] == 0x06 && SenseCode(s) == 0x29;
        if (!programming && !reset)
            return Poll::kTriggerFail;
        return Poll::kRunning;
    }

    // The drive's bank counter (sense byte 4) shown on the bar: `shift` banks ahead of the
    // counter, over the image's banks.
    void ShowBanks(int shift) {
        const long banks = static_cast<long>(job_.sense[4]) + shift;
        const long position = static_cast<long>(kProgressMax) * banks / banks_;
        job_.view.SetProgress(
            static_cast<std::uint32_t>(std::clamp<long>(position, 0, kProgressMax)));
    }

    // Polls one pass until the drive reports the end of programming, or the pass's last bank
    // (`lastBank`) or a reset, which `finish` then completes; `shift` places the bank counter on
    // the bar.
    template <typename Finish>
    FlashResult PollPass(bool upper, int lastBank, int shift, Finish finish) {
        const std::uint64_t trigger = job_.clock.NowMs();
        for (;;) {
            if (job_.clock.NowMs() - trigger > kPollLimitMs)
                return kFlashProgressTimeOut;
            const std::optional<Poll> poll = Ask(upper);
            if (!poll)
                continue;
            if (*poll == Poll::kUnreadable) {
                job_.clock.Sleep(kPollSleepMs);
                continue;
            }
            if (*poll == Poll::kComplete)
                return std::nullopt;
            if (*poll == Poll::kTriggerFail)
                return kTriggerFail;
            if (job_.sense[2] == 0x06 || job_.sense[4] == lastBank)
                return finish();
            job_.view.ProcessMessages();
            ShowBanks(shift);
            job_.clock.Sleep(kPollSleepMs);
        }
    }

    FlashResult PollFirstPass() {
        // In two passes the counter of the upper pass runs from 16 to 32.
        const int shift = upper_ ? -kPassBanks : 0;
        return PollPass(upper_, banks_, shift, [&]() -> FlashResult {
            if (!upper_)
                RequestFlashSense(job_.transport, job_.drive, job_.sense.data(), false, true);
            if (!WaitReady())
                return kWaitDriveReadyTimeOut;
            if (upper_)
                ShowBanks(shift);
            return std::nullopt;
        });
    }

    FlashResult PollSecondPass() {
        // The lower pass completes the image: its counter runs from 0 to 16 on top of the
        // sixteen banks already programmed.
        return PollPass(true, kPassBanks, kPassBanks, [&]() -> FlashResult {
            if (FlashResult failure = Acknowledge())
                return failure;
            if (!WaitReady())
                return kWaitDriveReadyTimeOut;
            return std::nullopt;
        });
    }

    // The drive holds back its reset until it is told that the end was seen.
    FlashResult Acknowledge() {
        const std::uint64_t start = job_.clock.NowMs();
        while (!RequestFlashSense(job_.transport, job_.drive, job_.sense.data(), true, true)) {
            if (job_.clock.NowMs() - start > kAcknowledgeLimitMs)
                return kFlashProgressTimeOut;
            job_.clock.Sleep(kPollSleepMs);
        }
        return std::nullopt;
    }

    bool WaitReady() {
        return WaitDriveReady(job_.transport, job_.clock, job_.drive, kReadyLimitSeconds);
    }

    // A drive that keeps a firmware check sum is told the image's sums and must report the
    // expected one back.
    FlashResult CheckSumHandshake() {
        std::uint8_t reply[kReplySize] = {};
        if (!QueryFlashFeature(job_.transport, job_.drive, reply, FeatureCheckSum))
            return std::nullopt;
        const std::uint16_t expected = ExpectedCheckSum(job_);
        if (!WaitReady())
            return kWaitDriveReadyTimeOut;
        if (!SetDriveCheckSum(job_.transport, job_.drive, job_.container.HeaderCheckSum, expected))
            return kSetCheckSumFail;
        if (!WaitReady())
            return kWaitDriveReadyTimeOut;
        if (!GetDriveCheckSum(job_.transport, job_.drive, reply))
            return kGetCheckSumError;
        if (GetBe16(&reply[6]) != expected)
            return kCheckSumError;
        return std::nullopt;
    }

    FlashJob& job_;
    const int banks_;   // whole 64 KB banks of the image
    const bool upper_;  // two passes, the upper megabyte first
    int retryBudget_ = kRetryBudget;
};

}  // namespace

FlashResult FlashMtk5Type(FlashJob& job) {
    return Mtk5Flash(job).Run();
}

}  // namespace kfs
