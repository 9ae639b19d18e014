// The backup of a drive's flash: the range each procedure overwrites, the ReadRom read of it, and
// the container it is packed as.
#include "flash/backup.h"

#include <gtest/gtest.h>

#include "container/kfs_decode.h"
#include "drive/cdb.h"
#include "flash/select_flash_procedure.h"
#include "flash/verify.h"
#include "procedure_rig.h"

namespace kfs {
namespace {

using test::Rig;

constexpr std::size_t kBank = 65536;
constexpr std::size_t kBlock = 16384;

struct Family {
    FlashFamily family;
    std::uint8_t type;
    bool philips;
    std::size_t image;   // image length
    std::size_t extent;  // bytes from the flash's start the update programs
};

// One row per procedure, each with an image length that shows how its range is rounded.
const Family kFamilies[] = {
    {FlashFamily::A0, 1, false, 2 * kBank + 0x8000, 2 * kBank + 0x8000},  // last bank partly
    {FlashFamily::A0Poll, 4, false, 2 * kBank, 2 * kBank},         // FFFEh writes: whole banks
    {FlashFamily::A0_32k, 7, false, kBank + 0x8000, 2 * kBank},    // whole banks, zeros beyond
    {FlashFamily::Ali, 2, false, 5 * kBlock + 100, 5 * kBlock},    // only whole blocks
    {FlashFamily::Mtk5, 6, false, 16 * kBank, 16 * kBank},         // one megabyte pass
    {FlashFamily::Mtk7, 8, false, 100000, 2 * kBank},              // always the two lowest banks
    {FlashFamily::Philips, 0, true, 3 * kBlock - 40, 3 * kBlock},  // blocks of the form
};

// An image the family's drive takes: bytes it never sends hold the flash's old value, and the
// check sum is taken over what it programs.
void PrepareImage(Rig& rig, const Family& f) {
    rig.MakeImage(f.image, f.type);
    rig.philips = f.philips;
    if (f.type == 1 || f.type == 4)
        for (std::size_t bank = 0; bank + kBank <= f.image; bank += kBank)
            rig.KeepOld(bank + 0xFFFE, bank + kBank);
    if (f.type == 2)
        std::fill(rig.image.begin() + 5 * kBlock, rig.image.end(), 0);
    rig.SealCheckSum();
}

TEST(FlashWriteExtent, CoversEveryByteTheUpdateChangesAndNoMore) {
    for (const Family& f : kFamilies) {
        SCOPED_TRACE(FlashFamilyName(f.family));
        Rig rig(f.family);
        PrepareImage(rig, f);
        const std::uint32_t extent = FlashWriteExtent(rig.container, f.philips, rig.image.size());
        EXPECT_EQ(extent, f.extent);
        auto job = rig.Job();
        ASSERT_EQ(SelectFlashProcedure(job), std::nullopt);
        const auto& rom = rig.drive().rom();
        std::size_t last = 0;
        for (std::size_t i = 0; i < rom.size(); ++i)
            if (rom[i] != rig.old_rom[i])
                last = i;
        EXPECT_LT(last, extent);
        EXPECT_GE(last + 256, extent);
    }
}

TEST(FlashWriteExtent, PerBankLengthsOfTheA0TypesEndWithTheFurthestBank) {
    SKFSParameter container;
    container.AtapiFlashType = 3;
    container.MaxBankSize = kBank;
    container.BankSizes = {0x8000, 0xFFFE, 0x1001};
    // The odd length goes out one byte longer.
    EXPECT_EQ(FlashWriteExtent(container, false, 3 * kBank), 2 * kBank + 0x1002);
    container.BankSizes = {0xFFFE, 0};
    EXPECT_EQ(FlashWriteExtent(container, false, 2 * kBank), kBank);
}

TEST(ReadFlash, ReadsTheRangeWithTheReadBackSequenceAndPacksIt) {
    for (const Family& f : kFamilies) {
        SCOPED_TRACE(FlashFamilyName(f.family));
        Rig rig(f.family);
        const FlashReadout read =
            ReadFlash(rig.tampering, rig.clock, rig.view, 0, static_cast<std::uint32_t>(f.extent));
        ASSERT_TRUE(read.ok());
        EXPECT_EQ(read.bytes, rig.Old(0, f.extent));
        EXPECT_EQ(rig.trace.size(), 2 * PlanReadBack(f.extent).commands);
        EXPECT_EQ(rig.Commands("5a00384b4511").size(), rig.trace.size());

        SKFSParameter like;
        like.IdeFlashType = 4;
        like.AtapiFlashType = f.type;
        like.AtapiFlashKernelType = 2;
        like.TrailerWord = 0xBEEF;
        const std::vector<std::uint8_t> file = EncodeBackup(read.bytes, like, f.philips);
        ASSERT_EQ(IsPhilipsFile(file), f.philips);
        const std::vector<std::uint8_t> container = f.philips ? PhilipsFormFromFile(file) : file;
        SKFSParameter decoded;
        std::vector<std::uint8_t> image(GetImageLength(container));
        ASSERT_TRUE(LoadKFS(container, decoded, image));
        EXPECT_EQ(image, read.bytes);
        if (f.philips) {
            EXPECT_EQ(decoded.TrailerWord, 0xBEEF);
        } else {
            EXPECT_EQ(decoded.IdeFlashType, 4);
            EXPECT_EQ(decoded.AtapiFlashType, f.type);
            EXPECT_EQ(decoded.AtapiFlashKernelType, 2);
        }
        // The restore writes the same range back.
        EXPECT_EQ(FlashWriteExtent(decoded, f.philips, image.size()), f.extent);
    }
}

TEST(ReadFlash, RefusedReadRomCarriesItsSense) {
    Rig rig(FlashFamily::A0,
            R"(, "faults": [{"command": "5a:11", "nth": 3, "sense": "05/24/00"}])");
    const FlashReadout read = ReadFlash(rig.tampering, rig.clock, rig.view, 0, 4096);
    EXPECT_FALSE(read.ok());
    EXPECT_EQ(rig.trace.size(), 3u);
    EXPECT_EQ(SenseKey(read.refusal), 0x05);
    EXPECT_EQ(SenseCode(read.refusal), 0x24);
    EXPECT_EQ(SenseQualifier(read.refusal), 0x00);
}

TEST(ReadFlash, ShortRepliesAreCaughtByTheSecondRead) {
    // The transport reports a short reply as a success: only the fill left behind tells.
    Rig rig(FlashFamily::A0, R"(, "faults": [{"short_reply": "5a:11", "bytes": 200}])");
    const FlashReadout read = ReadFlash(rig.tampering, rig.clock, rig.view, 0, 4096);
    EXPECT_FALSE(read.ok());
    EXPECT_EQ(read.unsteadyAt, 200u);
}

TEST(EncodeBackup, ReservedAndKernelBlocksAreCutToTheBackup) {
    const std::vector<std::uint8_t> flash(0x8000, 0x11);
    SKFSParameter like;
    like.AtapiFlashType = 1;
    like.ReservedBlocks = {{0x100, 0x10}, {0x7FF0, 0x20}, {0x9000, 0x10}};
    like.KernelBlock = {0x8000, 0x2000};
    SKFSParameter decoded;
    const std::vector<std::uint8_t> file = EncodeBackup(flash, like, false);
    std::vector<std::uint8_t> image(GetImageLength(file));
    ASSERT_TRUE(LoadKFS(file, decoded, image));
    EXPECT_EQ(decoded.ReservedBlocks,
              (std::vector<SKFSReserveBlock>{{0x100, 0x10}, {0x7FF0, 0x10}}));
    EXPECT_EQ(decoded.KernelBlock, SKFSReserveBlock{});
    like.KernelBlock = {0x7000, 0x2000};
    const std::vector<std::uint8_t> again = EncodeBackup(flash, like, false);
    ASSERT_TRUE(LoadKFS(again, decoded, image));
    EXPECT_EQ(decoded.KernelBlock, (SKFSReserveBlock{0x7000, 0x1000}));
}

}  // namespace
}  // namespace kfs
