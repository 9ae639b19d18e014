#include "container/identity.h"

#include <gtest/gtest.h>

#include "container_fixtures.h"

namespace kfs {
namespace {

using test::Bytes;

// Writes an INQUIRY block at p: 05 80 00, vendor and product, revision, hardware id, date code.
void PutInquiry(Bytes& image, std::size_t p, const std::string& model, const std::string& rev,
                const std::string& hwid, const std::string& date) {
    image[p] = 0x05, image[p + 1] = 0x80, image[p + 2] = 0x00;
    std::copy(model.begin(), model.end(), image.begin() + p + 8);
    std::copy(rev.begin(), rev.end(), image.begin() + p + 32);
    std::copy(hwid.begin(), hwid.end(), image.begin() + p + 38);
    std::copy(date.begin(), date.end(), image.begin() + p + 40);
}

const std::string kMain = "KEMO    VRZ-3372BL      ";
const std::string kBoot = "KEMO    BOOTLOADER      ";

TEST(FindInquiryBlocks, EveryOffsetUpToTheEnd) {
    Bytes image{5, 0x80, 0, 5, 0x80, 0, 0, 5, 5, 0x80, 1, 5, 0x80, 0};
    EXPECT_EQ(FindInquiryBlocks(image), (std::vector<std::size_t>{0, 3, 11}));
    Bytes cut{0, 5, 0x80};
    EXPECT_TRUE(FindInquiryBlocks(cut).empty());
    EXPECT_TRUE(FindInquiryBlocks(Bytes{}).empty());
}

TEST(ImageIdentity, BootBlockAndSecondBlockRules) {
    Bytes two(0x200, 0);
    PutInquiry(two, 0x20, kBoot, "BOOT", "B0", "000000");
    PutInquiry(two, 0x100, kMain, "1.10", "K1", "061122");
    Bytes oneBoot(0x100, 0);
    PutInquiry(oneBoot, 0x20, kBoot, "BOOT", "B0", "000000");
    Bytes twoPlain(0x200, 0);
    PutInquiry(twoPlain, 0x20, kMain, "1.00", "K1", "050101");
    PutInquiry(twoPlain, 0x100, kBoot, "2.00", "K2", "070707");

    const struct {
        const char* name;
        const Bytes& image;
        std::uint8_t type;
        std::string hwid, model, version, date;
    } cases[] = {
        {"BOOT first: main block second", two, 1, "K1", kMain, "1.10", "061122"},
        {"BOOT first, type 7", two, 7, "K1", kMain, "1.10", "061122"},
        {"one BOOT block only", oneBoot, 1, "B0", kBoot, "BOOT", "000000"},
        {"one block, type 7: no second block", oneBoot, 7, "B0", kBoot, "", ""},
        {"first block not BOOT", twoPlain, 1, "K1", kMain, "1.00", "050101"},
        {"first block not BOOT, type 7", twoPlain, 7, "K1", kMain, "2.00", "070707"},
        {"no block", Bytes(64, 0), 1, "", "", "", ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(GetImageHardwareId(c.image), c.hwid) << c.name;
        EXPECT_EQ(GetImageModelName(c.image), c.model) << c.name;
        EXPECT_EQ(GetImageVersion(c.image, c.type), c.version) << c.name;
        EXPECT_EQ(GetImageDateCode(c.image, c.type), c.date) << c.name;
    }
}

TEST(ImageIdentity, DateCodeInFrontOfTheBlockAfterDC) {
    Bytes image(0x100, 0);
    PutInquiry(image, 0x40, kMain, "1.10", "K1", "999999");
    std::string front = "DC061122";
    std::copy(front.begin(), front.end(), image.begin() + 0x40 - 12);
    EXPECT_EQ(GetImageDateCode(image, 1), "061122");
    image[0x40 - 11] = 'c';
    EXPECT_EQ(GetImageDateCode(image, 1), "999999");
    // A block at offset 11 has no room for "DC" in front of it.
    Bytes early(0x80, 0);
    early[0] = 'D', early[1] = 'C';
    PutInquiry(early, 11, kMain, "1.10", "K1", "123456");
    EXPECT_EQ(GetImageDateCode(early, 1), "123456");
}

TEST(ImageIdentity, TextsEndAtZeroByteOrImageEnd) {
    Bytes image(0x40, 0);
    PutInquiry(image, 0, "KEMO", "1.", "K", "0611");
    EXPECT_EQ(GetImageModelName(image), "KEMO");
    EXPECT_EQ(GetImageVersion(image, 1), "1.");
    EXPECT_EQ(GetImageHardwareId(image), "K");
    EXPECT_EQ(GetImageDateCode(image, 1), "0611");
    // The image ends inside the model name: the text stops there, nothing is read beyond.
    Bytes cut(20, 0);
    PutInquiry(cut, 0, "KEMO    VRZ-", "", "", "");
    EXPECT_EQ(GetImageModelName(cut), "KEMO    VRZ-");
    EXPECT_EQ(GetImageVersion(cut, 1), "");
    EXPECT_EQ(GetImageDateCode(cut, 1), "");
}

}  // namespace
}  // namespace kfs
