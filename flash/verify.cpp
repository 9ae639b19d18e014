#include "flash/verify.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

#include "container/byte_loops.h"
#include "container/byte_order.h"
#include "container/checksum.h"
#include "flash/family_philips.h"
#include "flash/flash_commands.h"

namespace kfs {

namespace {

constexpr std::uint32_t kPageSize = 256;
constexpr std::uint32_t kLargeChunk = 4096;
// From this many banks on the flash is read in large chunks.
constexpr std::uint32_t kLargeImageBanks = 32;
// Reply buffers of the feature query and the check-sum read.
constexpr std::size_t kReplySize = 256;

const char kCaption[] = "Error";
const char kVerifyError[] = "Flash Verify Error!";
const char kGetCheckSumError[] = "Get Checksum Error!";
const char kReadRomError[] = "ReadROM Error!";
const char kGettingCheckSum[] = "Getting CheckSum from drive !";
const char kReadRomData[] = "Read ROM Data";
const char kVerifying[] = "Checksum verifying";
const char kFinished[] = "Verification finished";

bool VerifyByCheckSum(FlashJob& job, std::uint16_t expected, bool showDetail) {
    job.view.AddLine(kGettingCheckSum);
    std::uint8_t reply[kReplySize] = {};
    if (!GetDriveCheckSum(job.transport, job.drive, reply)) {
        job.view.ShowError(job.updaterRole ? kVerifyError : kGetCheckSumError, kCaption);
        return false;
    }
    const std::uint16_t device = GetBe16(&reply[6]);
    if (showDetail)
        job.view.AddLine(CheckSumDetailLine(expected, device));
    if (device != expected) {
        job.view.ShowError(kVerifyError, kCaption);
        return false;
    }
    job.view.AddLine(kFinished);
    return true;
}

bool VerifyByReadBack(FlashJob& job) {
    const std::span<const std::uint8_t> image(job.image);
    const ReadBackPlan plan = PlanReadBack(image.size());
    // Zero-filled: a short reply leaves zeros, never stale bytes.
    std::vector<std::uint8_t> readBack(plan.bufferSize, 0);
    if (!job.silent)
        job.view.AddLine(kReadRomData);
    if (!ReadRomImage(job, readBack.data())) {
        job.view.ShowError(job.updaterRole ? kVerifyError : kReadRomError, kCaption);
        return false;
    }
    // Reserved blocks hold data of the individual drive (serial number, calibration), so they are
    // not compared: they take the image's bytes whatever the drive keeps. Zeroing them instead
    // would fail a correct write of an image that carries data there (a backup of a drive does).
    for (const SKFSReserveBlock& block : job.container.ReservedBlocks) {
        if (block.Address >= image.size())
            continue;  // only the image's bytes are compared
        const std::size_t n = std::min<std::size_t>(block.Length, image.size() - block.Address);
        std::memcpy(readBack.data() + block.Address, image.data() + block.Address, n);
    }
    job.view.SetProgress(0);
    if (!job.silent)
        job.view.AddLine(kVerifying);
    if (CompareReadBack(job.view, image, readBack.data()) >= 0) {
        job.view.ShowError(kVerifyError, kCaption);
        return false;
    }
    if (!job.silent)
        job.view.AddLine(kFinished);
    return true;
}

}  // namespace

std::uint16_t ExpectedCheckSum(std::span<const std::uint8_t> image, const SKFSParameter& container,
                               bool philipsImage) {
    if (philipsImage)
        return static_cast<std::uint16_t>(ByteSum(image));
    return CalcFixDataCheckSum(image, container);
}

std::string CheckSumDetailLine(std::uint16_t expected, std::uint16_t device) {
    char line[64];
    std::snprintf(
        line, sizeof line,
        expected == device ? "f/W Sum[0x%x]== Dev Sum[0x%x]" : "f/W Sum[0x%x]!= Dev Sum[0x%x]",
        static_cast<unsigned>(expected), static_cast<unsigned>(device));
    return line;
}

ReadBackPlan PlanReadBack(std::size_t imageLength) {
    ReadBackPlan plan;
    const std::size_t total = (imageLength + kPageSize - 1) / kPageSize * kPageSize;
    plan.total = static_cast<std::uint32_t>(total);
    plan.banks = static_cast<std::uint32_t>((total + kFlashBankSize - 1) / kFlashBankSize);
    plan.chunk = total / kFlashBankSize >= kLargeImageBanks ? kLargeChunk : kPageSize;
    plan.bufferSize = total + plan.chunk;
    for (std::uint32_t b = 0; b < plan.banks; ++b) {
        const std::uint32_t count = std::min(plan.total - b * kFlashBankSize, kFlashBankSize);
        plan.commands += (count + plan.chunk - 1) / plan.chunk;
    }
    return plan;
}

bool ReadRomImage(FlashJob& job, std::uint8_t* buffer, std::uint32_t barAtStart) {
    const ReadBackPlan plan = PlanReadBack(job.image.size());
    // The bank travels in one CDB byte: a flash beyond 256 banks cannot be addressed.
    if (plan.banks > 256)
        return false;
    std::uint32_t bar = barAtStart;
    for (std::uint32_t b = 0; b < plan.banks; ++b) {
        const std::uint32_t count = std::min(plan.total - b * kFlashBankSize, kFlashBankSize);
        for (std::uint32_t a = 0; a < count; a += plan.chunk) {
            job.view.ProcessMessages();
            // The bar wraps every bank: it shows the progress within the bank being read.
            bar = bar >= kProgressMax ? plan.chunk : bar + plan.chunk;
            job.view.SetProgress(bar);
            if (!ReadRom(job.transport, job.drive, buffer + b * kFlashBankSize + a,
                         static_cast<std::uint16_t>(a), static_cast<std::uint8_t>(b),
                         static_cast<std::uint16_t>(plan.chunk)))
                return false;
        }
    }
    return true;
}

std::ptrdiff_t CompareReadBack(FlashView& view, std::span<const std::uint8_t> image,
                               const std::uint8_t* readBack) {
    // The bar moves exactly as in a byte-by-byte comparison: at a page's first byte a full bar
    // goes back to 0, at its last byte the bar steps by a page, and the comparison stops at the
    // first byte that differs. Pending messages are let through once per turn of the bar (64 KB);
    // within a turn the bar is stepped from inside the comparison, page by page.
    static_assert(kComparePage == kPageSize);
    struct Bar {
        FlashView& view;
        std::uint32_t position = 0;
        void Wrap() {
            if (position >= kProgressMax) {
                position = 0;
                view.SetProgress(position);
            }
        }
        void Step() {
            position += kPageSize;
            view.SetProgress(position);
        }
    } bar{view};
    const auto pageEqual = [](void* context) {
        auto& b = *static_cast<Bar*>(context);
        b.Wrap();
        b.Step();
    };
    constexpr std::size_t kTurn = kProgressMax;
    const std::size_t length = image.size();
    for (std::size_t start = 0; start < length; start += kTurn) {
        const std::size_t n = std::min(kTurn, length - start);
        view.ProcessMessages();
        const std::size_t same =
            FirstDifference(image.data() + start, readBack + start, n, pageEqual, &bar);
        if (same % kPageSize != 0 || same < n) {
            // The page with the difference, or a last page shorter than a page: its first byte
            // was looked at, and its last one too when that is where the difference lies.
            bar.Wrap();
            if (same < n && same % kPageSize == kPageSize - 1)
                bar.Step();
        }
        if (same < n)
            return static_cast<std::ptrdiff_t>(start + same);
    }
    return -1;
}

bool VerifyPhilipsForm(FlashJob& job) {
    const std::size_t length = PhilipsBlockCount(job.image.size()) * kPhilipsBlockLength;
    std::vector<std::uint8_t> sent(length, 0);
    std::copy_n(job.image.begin(), std::min(length, job.image.size()), sent.begin());
    FlashJob readBack{job.transport, job.clock, job.view, job.drive, sent, job.container};
    readBack.philipsImage = true;
    readBack.updaterRole = job.updaterRole;
    readBack.silent = job.silent;
    const bool verified = VerifyByReadBack(readBack);
    job.sense = readBack.sense;
    return verified;
}

bool VerifyFlash(FlashJob& job, std::uint16_t expectedCheckSum, bool showCheckSumDetail) {
    std::uint8_t reply[kReplySize] = {};
    if (QueryFlashFeature(job.transport, job.drive, reply, FeatureCheckSum))
        return VerifyByCheckSum(job, expectedCheckSum, showCheckSumDetail);
    return VerifyByReadBack(job);
}

}  // namespace kfs
