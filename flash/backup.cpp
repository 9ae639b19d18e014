#include "flash/backup.h"

#include <algorithm>

#include "container/kfs_decode.h"
#include "container/kfs_encode.h"
#include "flash/family_philips.h"
#include "flash/flash_commands.h"
#include "flash/flash_job.h"
#include "flash/select_flash_procedure.h"
#include "flash/verify.h"

namespace kfs {

namespace {

constexpr std::uint32_t kBlock = 16384;
// An A0 bank write stops two bytes short of a bank; the drive programs the bank whole.
constexpr std::uint32_t kMaxA0BankWrite = 0xFFFE;
// The mtk7 procedure always writes the two lowest banks.
constexpr std::uint32_t kMtk7Extent = 2 * kFlashBankSize;

std::uint32_t EvenUp(std::uint32_t n) {
    return n + (n & 1);
}

// End of the furthest A0 bank write; a write of FFFEh bytes programs its whole bank.
std::uint32_t A0BankEnd(std::size_t bank, std::uint32_t sent) {
    const auto start = static_cast<std::uint32_t>(bank * kFlashBankSize);
    return start + (sent >= kMaxA0BankWrite ? kFlashBankSize : sent);
}

std::uint32_t A0Extent(const SKFSParameter& container, std::size_t imageLength) {
    std::uint32_t end = 0;
    if (container.MaxBankSize == kFlashBankSize) {
        for (std::size_t i = 0; i < container.BankSizes.size(); ++i) {
            const std::uint32_t sent = EvenUp(container.BankSizes[i]);
            if (sent > 0)
                end = std::max(end, A0BankEnd(i, std::min(sent, kMaxA0BankWrite)));
        }
        return end;
    }
    if (imageLength == 0)
        return 0;
    const std::size_t last = (imageLength - 1) / kFlashBankSize;
    const auto rest = static_cast<std::uint32_t>(imageLength - last * kFlashBankSize);
    return A0BankEnd(last, EvenUp(std::min(rest, kMaxA0BankWrite)));
}

std::uint32_t WholeUnits(std::size_t length, std::uint32_t unit) {
    return static_cast<std::uint32_t>(length / unit * unit);
}

std::uint32_t UnitsUp(std::size_t length, std::uint32_t unit) {
    return static_cast<std::uint32_t>((length + unit - 1) / unit * unit);
}

// A block cut to the first `length` bytes; nothing when it starts beyond them.
std::optional<SKFSReserveBlock> CutBlock(const SKFSReserveBlock& block, std::size_t length) {
    if (block.Length == 0 || block.Address >= length)
        return std::nullopt;
    const auto room = static_cast<std::uint32_t>(length - block.Address);
    return SKFSReserveBlock{block.Address, std::min(block.Length, room)};
}

}  // namespace

std::uint32_t FlashWriteExtent(const SKFSParameter& container, bool philipsImage,
                               std::size_t imageLength) {
    switch (ChooseFlashFamily(philipsImage, container.AtapiFlashType)) {
        case FlashFamily::A0:
        case FlashFamily::A0Poll:
            return A0Extent(container, imageLength);
        case FlashFamily::A0_32k:
            return UnitsUp(imageLength, kFlashBankSize);
        case FlashFamily::Ali:
            return WholeUnits(imageLength, kBlock);
        case FlashFamily::Mtk5:
            return WholeUnits(imageLength, kFlashBankSize);
        case FlashFamily::Mtk7:
            return kMtk7Extent;
        case FlashFamily::Philips:
            return static_cast<std::uint32_t>(PhilipsBlockCount(imageLength) * kBlock);
    }
    return kMtk7Extent;
}

FlashReadout ReadFlash(Transport& transport, Clock& clock, FlashView& view, DriveIndex drive,
                       std::uint32_t length) {
    // ReadRomImage plans its commands from an image's length; a stand-in of the backup's length
    // gives the very sequence verification sends.
    std::vector<std::uint8_t> range(length);
    const SKFSParameter none;
    FlashJob job{transport, clock, view, drive, range, none};
    const std::size_t size = PlanReadBack(length).bufferSize;
    std::vector<std::uint8_t> first(size, 0x00), second(size, 0xFF);
    FlashReadout out;
    if (!ReadRomImage(job, first.data(), 0) || !ReadRomImage(job, second.data(), 0)) {
        out.refusal = transport.GetSenseData();
        return out;
    }
    view.SetProgress(0);
    const auto differ = std::mismatch(first.begin(), first.begin() + length, second.begin());
    if (differ.first != first.begin() + length) {
        out.unsteadyAt = static_cast<std::uint32_t>(differ.first - first.begin());
        return out;
    }
    first.resize(length);
    out.bytes = std::move(first);
    return out;
}

std::vector<std::uint8_t> EncodeBackup(std::span<const std::uint8_t> flash,
                                       const SKFSParameter& like, bool philipsImage) {
    KfsEncodeOptions o;
    if (philipsImage) {
        o.form = KfsForm::kPhilips;
        o.trailerWord = like.TrailerWord;
        return PhilipsFileFromForm(EncodeKfs(flash, o));
    }
    o.form = KfsForm::kKfs3;
    o.ideFlashType = like.IdeFlashType;
    o.atapiFlashType = like.AtapiFlashType;
    o.atapiFlashKernelType = like.AtapiFlashKernelType;
    for (const SKFSReserveBlock& block : like.ReservedBlocks)
        if (const auto cut = CutBlock(block, flash.size()))
            o.reservedBlocks.push_back(*cut);
    if (const auto kernel = CutBlock(like.KernelBlock, flash.size()))
        o.kernelBlock = *kernel;
    return EncodeKfs(flash, o);
}

}  // namespace kfs
