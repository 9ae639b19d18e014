#include "container/kfs_encode.h"

#include <gtest/gtest.h>

#include <stdexcept>

#include "container/checksum.h"
#include "container_fixtures.h"

namespace kfs {
namespace {

using test::Bytes;
using test::Pattern;

// Builds, decodes, and checks that the image and the description come back.
TEST(EncodeKfs, RoundTripsEveryForm) {
    Bytes kfs1Image = Pattern(0x28000, 1);
    for (std::size_t at = 0; at < kfs1Image.size(); at += 0x10000) {
        kfs1Image[at] = 0x02;  // scrambled KFS1 banks always decode to 02h first
        kfs1Image[std::min(at + 0xFFFF, kfs1Image.size() - 1)] = 0;
    }
    Bytes nineBanks = Pattern(9 * 0x10000 - 0x100, 4);
    for (std::size_t at = 0xFFFF; at < nineBanks.size(); at += 0x10000) nineBanks[at] = 0;

    KfsEncodeOptions kfs3;
    kfs3.form = KfsForm::kKfs3;
    kfs3.scrambleMode = 2;
    kfs3.seed = {1, 7, 3, 5};
    kfs3.ideFlashType = 4;
    kfs3.atapiFlashType = 6;
    kfs3.atapiFlashKernelType = 1;
    kfs3.maxBankSize = 0x1000;
    kfs3.reservedBlocks = {{0x100, 0x40}, {0x2F00, 0x100}};
    kfs3.kernelBlock = {0x10, 0x20};
    KfsEncodeOptions kfs3Banks = kfs3;
    kfs3Banks.scrambleMode = 0;
    kfs3Banks.bankSizes = {0x1000, 0x800, 0};
    KfsEncodeOptions kfs3OneBank;
    KfsEncodeOptions kfs1;
    kfs1.form = KfsForm::kKfs1;
    kfs1.scrambleMode = 1;
    kfs1.seed = {0x77, 0, 0, 0};
    KfsEncodeOptions kfs1Plain = kfs1;
    kfs1Plain.scrambleMode = 0;
    kfs1Plain.versionByte = ' ';
    KfsEncodeOptions philips;
    philips.form = KfsForm::kPhilips;
    philips.trailerWord = 0xA55A;
    philips.philipsIdentification = "Philips firmware";

    const struct {
        const char* name;
        KfsEncodeOptions options;
        Bytes image;
        std::size_t imageLength;
    } cases[] = {
        {"KFS3 scrambled, cut into slots", kfs3, Pattern(0x2F80, 5), 0x3000},
        {"KFS3 explicit banks", kfs3Banks, Pattern(0x3000, 6), 0x3000},
        {"KFS3 one bank", kfs3OneBank, Pattern(0x123, 7), 0x123},
        {"KFS1 scrambled", kfs1, kfs1Image, 0x30000},
        {"KFS1 nine banks", kfs1Plain, nineBanks, 0x90000},
        {"Philips", philips, Pattern(0x99, 8), 0x99},
    };
    for (const auto& c : cases) {
        const Bytes container = EncodeKfs(c.image, c.options);
        ASSERT_EQ(GetImageLength(container), c.imageLength) << c.name;
        SKFSParameter p;
        Bytes image(c.imageLength, 0);
        ASSERT_TRUE(LoadKFS(container, p, image)) << c.name;
        Bytes expected = c.image;
        expected.resize(c.imageLength, 0);
        if (!c.options.bankSizes.empty()) {
            std::fill(expected.begin() + 0x1800, expected.end(), 0);
        }
        EXPECT_EQ(image, expected) << c.name;
        EXPECT_EQ(p.HeaderCheckSum, static_cast<std::uint16_t>(CalcCheckSum(image, p))) << c.name;
        if (c.options.form == KfsForm::kKfs3) {
            EXPECT_EQ(p.ReservedBlocks, c.options.reservedBlocks) << c.name;
            EXPECT_EQ(p.KernelBlock, c.options.kernelBlock) << c.name;
            EXPECT_EQ(p.IdeFlashType, c.options.ideFlashType) << c.name;
            EXPECT_EQ(p.AtapiFlashType, c.options.atapiFlashType) << c.name;
            EXPECT_EQ(p.AtapiFlashKernelType, c.options.atapiFlashKernelType) << c.name;
        }
        if (c.options.form == KfsForm::kPhilips) {
            EXPECT_EQ(p.TrailerWord, 0xA55A);
            const Bytes file = PhilipsFileFromForm(container);
            EXPECT_TRUE(IsPhilipsFile(file));
            EXPECT_EQ(PhilipsFormFromFile(file), container);
        }
    }
}

TEST(EncodeKfs, RefusesWhatCannotBeEncoded) {
    auto with = [](KfsForm form, auto change) {
        KfsEncodeOptions o;
        o.form = form;
        change(o);
        return o;
    };
    const Bytes image = Pattern(0x100, 1);
    Bytes kfs1Full(0x10000, 1);  // a 64 KB bank whose last byte is set needs a 17-bit size
    const struct {
        const char* name;
        KfsEncodeOptions options;
        const Bytes& image;
    } cases[] = {
        {"bank larger than its slot",
         with(KfsForm::kKfs3, [](auto& o) { o.maxBankSize = 0x80, o.bankSizes = {0x81}; }), image},
        {"bank past the image",
         with(KfsForm::kKfs3,
              [](auto& o) {
                  o.maxBankSize = 0x80, o.bankSizes = {0x80, 0x81};
              }),
         image},
        {"reserved block outside the image",
         with(KfsForm::kKfs3,
              [](auto& o) {
                  o.reservedBlocks = {{0xF0, 0x11}};
              }),
         image},
        {"kernel block outside the image",
         with(KfsForm::kKfs3,
              [](auto& o) {
                  o.kernelBlock = {0x100, 1};
              }),
         image},
        {"scrambled KFS1 bank not starting with 02h",
         with(KfsForm::kKfs1, [](auto& o) { o.scrambleMode = 1; }), image},
        {"KFS1 bank of 64 KB", with(KfsForm::kKfs1, [](auto&) {}), kfs1Full},
        {"KFS1 with 39 banks", with(KfsForm::kKfs1, [](auto& o) { o.bankSizes.assign(39, 0); }),
         image},
        {"Philips identification",
         with(KfsForm::kPhilips, [](auto& o) { o.philipsIdentification = "philips"; }), image},
    };
    for (const auto& c : cases) {
        EXPECT_THROW(EncodeKfs(c.image, c.options), std::invalid_argument) << c.name;
    }
}

}  // namespace
}  // namespace kfs
