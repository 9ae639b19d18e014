// The procedures of the ali, mtk7 and philips families and the procedure selection, against
// emulated drives of their families.
#include <gtest/gtest.h>

#include <set>

#include "drive/cdb.h"
#include "emulator/emulator.h"
#include "flash/family_ali.h"
#include "flash/family_mtk7.h"
#include "flash/family_philips.h"
#include "flash/select_flash_procedure.h"
#include "procedure_rig.h"

namespace kfs {
namespace {

using test::Rig;

constexpr std::size_t kBlock = 16384;

TEST(FlashAliType, OneMegabyteGoesOutAs64NumberedBlocksWithTheirSums) {
    Rig rig(FlashFamily::Ali);
    rig.MakeImage(1024 * 1024, 2);
    auto job = rig.Job();
    std::vector<std::string> shown;
    EXPECT_EQ(FlashAliType(job), std::nullopt);

    const auto blocks = rig.Commands("fd074b454d4f");
    ASSERT_EQ(blocks.size(), 64u);
    std::uint32_t imageSum = 0;
    for (auto b : rig.image) imageSum += b;
    for (std::size_t j = 0; j < 64; ++j) {
        std::uint32_t s = 0;
        for (std::size_t k = 0; k < kBlock; ++k) s += rig.image[j * kBlock + k];
        char expected[64];
        std::snprintf(expected, sizeof expected, "fd074b454d4f%04x%04x%02x40 out 16384", s & 0xFFFF,
                      imageSum & 0xFFFF, static_cast<unsigned>(j + 1));
        EXPECT_EQ(blocks[j], expected);
    }
    EXPECT_EQ(rig.Flash(0, rig.image.size()), rig.image);
    EXPECT_EQ(rig.DriveIdentity(), Rig::ImageIdentity());

    // The list keeps three lines: the last block's line and the two before it.
    EXPECT_EQ(rig.view.lines, (std::vector<std::string>{"Flash Bank: 15 Address: 7FFFh",
                                                        "Flash Bank: 15 Address: BFFFh",
                                                        "Flash Bank: 15 Address: FFFFh"}));
    EXPECT_EQ(rig.view.deletions, 64);
    // The bar climbs within each 64 KB bank and starts again with the next one.
    ASSERT_EQ(rig.view.progress.size(), 64u);
    for (std::size_t j = 0; j < 64; ++j) EXPECT_EQ(rig.view.progress[j], (j % 4 + 1) * kBlock) << j;
}

TEST(FlashAliType, BankAndAddressLinesOfTheFirstBlocks) {
    Rig rig(FlashFamily::Ali);
    // The short tail is not sent; the drive holds the image sum against the blocks it gets, so
    // the tail adds nothing to it here.
    rig.MakeImage(5 * kBlock + 100, 2);
    std::fill(rig.image.begin() + 5 * kBlock, rig.image.end(), 0);
    std::vector<std::string> seen;
    struct Watch : test::RecordingView {
        std::vector<std::string>* seen;
        void AddLine(const std::string& line) override {
            seen->push_back(line);
            RecordingView::AddLine(line);
        }
    } view;
    view.seen = &seen;
    FlashJob job{rig.tampering, rig.clock, view, 0, rig.image, rig.container};
    EXPECT_EQ(FlashAliType(job), std::nullopt);
    EXPECT_EQ(seen, (std::vector<std::string>{
                        "WARNING !!!", "Please wait for at least one minute!",
                        "Flashing is processing...", "Flash Bank: 0 Address: 3FFFh",
                        "Flash Bank: 0 Address: 7FFFh", "Flash Bank: 0 Address: BFFFh",
                        "Flash Bank: 0 Address: FFFFh", "Flash Bank: 1 Address: 3FFFh"}));
    EXPECT_EQ(rig.Commands("fd074b454d4f").size(), 5u);
    EXPECT_EQ(rig.Flash(0, 5 * kBlock), rig.Image(0, 5 * kBlock));
    EXPECT_EQ(rig.Flash(5 * kBlock, 5 * kBlock + 100), rig.Old(5 * kBlock, 5 * kBlock + 100));
}

TEST(FlashMtk7Type, WritesTheUpperBankFirstAndSavesEachBank) {
    Rig rig(FlashFamily::Mtk7);
    rig.MakeImage(3 * 65536, 8);  // only the first 128 KB are written
    auto job = rig.Job();
    EXPECT_EQ(FlashMtk7Type(job), std::nullopt);
    EXPECT_EQ(std::vector<std::string>(rig.trace.begin(), rig.trace.begin() + 10),
              (std::vector<std::string>{
                  "3b0600010000004000000000 out 16384", "3b0600014000004000000000 out 16384",
                  "3b0600018000004000000000 out 16384", "3b060001c000004000000000 out 16384",
                  "3b0700010000000000000000 none 0", "3b0600000000004000000000 out 16384",
                  "3b0600004000004000000000 out 16384", "3b0600008000004000000000 out 16384",
                  "3b060000c000004000000000 out 16384", "3b0700000000000000000000 none 0"}));
    EXPECT_EQ(rig.Flash(0, 131072), rig.Image(0, 131072));
    EXPECT_EQ(rig.Flash(131072, 3 * 65536), rig.Old(131072, 3 * 65536));
    EXPECT_EQ(rig.DriveIdentity(), Rig::ImageIdentity());
    EXPECT_EQ(rig.view.progress, (std::vector<std::uint32_t>{0, 8192, 16384, 24576, 32768, 40960,
                                                             49152, 57344, 65536}));
    EXPECT_TRUE(rig.view.lines.empty());
}

TEST(FlashMtk7Type, ImageShorterThan128KBGoesOutWithZeros) {
    Rig rig(FlashFamily::Mtk7);
    rig.MakeImage(100000, 8);
    auto job = rig.Job();
    EXPECT_EQ(FlashMtk7Type(job), std::nullopt);
    EXPECT_EQ(rig.Flash(0, 100000), rig.image);
    EXPECT_EQ(rig.Flash(100000, 131072), std::vector<std::uint8_t>(31072));
}

TEST(FlashPhilipsForm, SendsTheBlocksWaitsForTheRestartAndLeavesTheImage) {
    Rig rig(FlashFamily::Philips);
    rig.MakeImage(3 * kBlock - 40, 0);  // a form of exactly three blocks
    auto job = rig.Job();
    const std::size_t n = PhilipsBlockCount(rig.image.size());
    ASSERT_EQ(n, 3u);
    EXPECT_EQ(FlashPhilipsForm(job, n, 0x1234, 0xABCD), std::nullopt);
    EXPECT_EQ(rig.Commands("fa"), (std::vector<std::string>{"fa3412cdab00013412cdab03 out 16384",
                                                            "fa3412cdab01013412cdab03 out 16384",
                                                            "fa3412cdab02013412cdab03 out 16384"}));
    // The last block reaches 40 bytes beyond the image: they go out as zeros.
    EXPECT_EQ(rig.Flash(0, rig.image.size()), rig.image);
    EXPECT_EQ(rig.Flash(rig.image.size(), 3 * kBlock), std::vector<std::uint8_t>(40));
    EXPECT_EQ(rig.DriveIdentity(), Rig::ImageIdentity());
    EXPECT_GE(rig.drives.Now(), 20000u);
    EXPECT_EQ(rig.view.progress, (std::vector<std::uint32_t>{65536 / 4, 65536 / 2}));
}

TEST(FlashPhilipsForm, BlockFailures) {
    struct Case {
        const char* faults;
        FlashResult expected;
        std::size_t blocksSent;
    } cases[] = {
        {R"({"command": "fa", "nth": 1, "sense": "05/24/00"})",
         "Firmware update failure (05:24:00)", 1},
        {R"({"command": "fa", "nth": 2, "sense": "03/0c/02"})",
         "Firmware update failure (03:0C:02)", 2},
        // The last block may fail while the drive restarts: still a success once it is ready.
        {R"({"command": "fa", "nth": 3, "sense": "06/29/00"})", std::nullopt, 3},
        {R"({"never_ready": true})", "Wait Drive Ready TimeOut !\n", 3},
    };
    for (const Case& c : cases) {
        Rig rig(FlashFamily::Philips, std::string(R"(, "faults": [)") + c.faults + "]");
        rig.MakeImage(3 * kBlock - 40, 0);
        auto job = rig.Job();
        EXPECT_EQ(FlashPhilipsForm(job, 3, 1, 2), c.expected) << c.faults;
        EXPECT_EQ(rig.Commands("fa").size(), c.blocksSent) << c.faults;
        EXPECT_TRUE(rig.view.boxes.empty());
        if (c.expected == std::nullopt) {
            EXPECT_GE(rig.drives.Now(), 20000u);
        }
    }
}

// A drive that takes every command but never becomes ready again: the wait decides. (Refused
// blocks, saves and triggers are in refused_writes_test.)
TEST(FlashAliAndMtk7, ADriveThatNeverComesBackEndsWithTheWaitsText) {
    struct Family {
        FlashFamily family;
        FlashResult (*procedure)(FlashJob&);
        std::uint8_t type;
        std::size_t length;
    } families[] = {
        {FlashFamily::Ali, &FlashAliType, 2, 4 * kBlock},
        {FlashFamily::Mtk7, &FlashMtk7Type, 8, 2 * 65536},
    };
    for (const Family& f : families) {
        Rig rig(f.family, R"(, "faults": [{"never_ready": true}])");
        rig.MakeImage(f.length, f.type);
        auto job = rig.Job();
        EXPECT_EQ(f.procedure(job), "Wait Drive Ready TimeOut !\n") << FlashFamilyName(f.family);
        EXPECT_GT(rig.drives.Now(), 120000u);
    }
}

// A WRITE BUFFER block the drive refuses ends the procedure at once: without it the saves would
// leave the old firmware in place and the update would read as done.
TEST(FlashMtk7Type, ARefusedBlockEndsWithWriteBufferFail) {
    for (int nth = 1; nth <= 8; ++nth) {
        SCOPED_TRACE(nth);
        // Blocks are the WRITE BUFFER commands 1 to 4 and 6 to 9; the 5th saves bank 1.
        const int command = nth + (nth > 4 ? 1 : 0);
        Rig rig(FlashFamily::Mtk7, R"(, "faults": [{"command": "3b", "nth": )" +
                                       std::to_string(command) + R"(, "sense": "05/24/00"}])");
        rig.MakeImage(2 * 65536, 8);
        auto job = rig.Job();
        EXPECT_EQ(FlashMtk7Type(job), "Write Buffer Fail !");
        // Nothing after the refused block: no further block, no save, no wait.
        EXPECT_EQ(rig.trace.size(), static_cast<std::size_t>(command));
        EXPECT_NE(rig.Flash(0, 2 * 65536), rig.image);
        // The cause stays with the transport for the front ends.
        ASSERT_TRUE(rig.tampering.LastFailure());
        const SentCommand& failed = *rig.tampering.LastFailure();
        EXPECT_EQ(failed.cdb[0], 0x3B);
        EXPECT_EQ(failed.result.outcome, CommandResult::Outcome::CheckCondition);
        EXPECT_EQ(SenseKey(failed.result.sense), 0x05);
        EXPECT_EQ(SenseCode(failed.result.sense), 0x24);
    }
}

TEST(ChooseFlashFamily, PhilipsFormFirstThenTheFlashType) {
    using F = FlashFamily;
    const F byType[] = {F::Mtk7, F::A0,   F::Ali,    F::A0,   F::A0Poll,
                        F::A0,   F::Mtk5, F::A0_32k, F::Mtk7, F::Mtk7};
    for (int type = 0; type < 10; ++type) {
        EXPECT_EQ(ChooseFlashFamily(false, static_cast<std::uint8_t>(type)), byType[type]) << type;
        EXPECT_EQ(ChooseFlashFamily(true, static_cast<std::uint8_t>(type)), F::Philips);
    }
    EXPECT_EQ(ChooseFlashFamily(false, 0xFF), F::Mtk7);
}

// A family's procedure is tested against the emulated drive of the same name: both sides must
// know the same families.
TEST(FlashFamilyName, NamesExactlyTheEmulatedFamilies) {
    std::set<std::string> named;
    for (FlashFamily family : kAllFlashFamilies) named.insert(std::string(FlashFamilyName(family)));
    const std::vector<std::string>& emulated = emu::KnownFamilies();
    EXPECT_EQ(named, std::set<std::string>(emulated.begin(), emulated.end()));
    EXPECT_EQ(named.size(), std::size(kAllFlashFamilies));
}

TEST(SelectFlashProcedure, RunsTheChosenProcedureOnTheJob) {
    Rig ali(FlashFamily::Ali);
    ali.MakeImage(2 * kBlock, 2);
    auto aliJob = ali.Job();
    EXPECT_EQ(SelectFlashProcedure(aliJob), std::nullopt);
    EXPECT_EQ(ali.Flash(0, 2 * kBlock), ali.image);

    // The Philips form takes its block count from the image and its words from the container.
    Rig philips(FlashFamily::Philips);
    philips.MakeImage(2 * kBlock - 40, 1);
    philips.philips = true;
    philips.container.HeaderCheckSum = 0x1234;
    philips.container.TrailerWord = 0xABCD;
    auto philipsJob = philips.Job();
    EXPECT_EQ(SelectFlashProcedure(philipsJob), std::nullopt);
    EXPECT_EQ(philips.Commands("fa").back(), "fa3412cdab01013412cdab02 out 16384");
    EXPECT_EQ(philips.Flash(0, philips.image.size()), philips.image);
}

}  // namespace
}  // namespace kfs
