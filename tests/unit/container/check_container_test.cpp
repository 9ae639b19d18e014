#include "container/check_container.h"

#include <gtest/gtest.h>

#include "container/checksum.h"
#include "container/error_messages.h"
#include "container_fixtures.h"

namespace kfs {
namespace {

using test::Bytes;

Bytes ImageWithModel(const std::string& model) {
    Bytes image(0x80, 0x11);
    image[0x10] = 0x05, image[0x11] = 0x80, image[0x12] = 0x00;
    std::fill(image.begin() + 0x18, image.begin() + 0x30, 0);
    std::copy(model.begin(), model.end(), image.begin() + 0x18);
    return image;
}

TEST(CheckContainer, FlagsCheckSumAndModelList) {
    SetErrorMessages(false);
    const std::string model = "KEMO    VRZ-3372BL      ";
    const Bytes image = ImageWithModel(model);
    SKFSParameter good;
    good.HeaderCheckSum = static_cast<std::uint16_t>(CalcCheckSum(image, good));
    SKFSParameter bad = good;
    bad.HeaderCheckSum ^= 1;
    const std::vector<std::string> listed = {"KEMO    OTHER", model};
    const std::vector<std::string> trimmed = {"KEMO    VRZ-3372BL"};
    const std::vector<std::string> longer = {model + "EXTRA"};
    const std::vector<std::string> otherCase = {"kemo    VRZ-3372BL      "};

    const std::optional<std::string> accepted;
    const std::optional<std::string> checkSumError = "Check Sum Error!";
    const std::optional<std::string> unavailable = "This drive is unavailble!";
    const struct {
        const char* name;
        const SKFSParameter& parameter;
        bool checkSum, availableModel;
        const std::vector<std::string>& names;
        std::optional<std::string> result;
    } cases[] = {
        {"both off, bad sum, unlisted", bad, false, false, {}, accepted},
        {"sum checked, good", good, true, false, {}, accepted},
        {"sum checked, bad", bad, true, true, listed, checkSumError},
        {"model listed second", bad, false, true, listed, accepted},
        {"model with trailing blanks cut", good, true, true, trimmed, unavailable},
        {"entry longer than 24 characters", good, false, true, longer, accepted},
        {"case differs", good, false, true, otherCase, unavailable},
        {"empty list", good, false, true, {}, unavailable},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(CheckContainer(image, c.parameter, c.checkSum, c.availableModel, c.names),
                  c.result)
            << c.name;
    }
}

TEST(CheckContainer, SilentEmptyTextStillRefuses) {
    SetErrorMessages(true);
    const Bytes image = ImageWithModel("KEMO    VRZ-3372BL      ");
    SKFSParameter p;
    p.HeaderCheckSum = 1;
    EXPECT_EQ(CheckContainer(image, p, true, false, {}), std::optional<std::string>(""));
    EXPECT_EQ(CheckContainer(image, p, false, true, {"NONE"}), std::optional<std::string>(""));
    SetErrorMessages(false);
}

// The texts are shown to users as they are, odd spellings and line breaks included.
TEST(ErrorMessages, NormalTextsAndSilentBlanks) {
    const char* const normal[] = {
        "Load KFS Fail!",
        "Check Sum Error!",
        "Hardware ID Error!",
        "Model Name Error!",
        "Drive firmware version is newer!",
        "This drive is unavailble!",
        "Atapi error!",
        "New firmware error!",
        "Atapi Flash Type is not supported!",
        "IDE Flash Type is not supported!",
        "Flash Verify Error!",
        "\n\nUnable to update firmware! The action might be corrupt by other ODD drives.\n"
        "Please disconnect other ODD drives and then execute again.\n",
    };
    SetErrorMessages(true);
    for (int entry = 1; entry <= 12; ++entry) {
        EXPECT_EQ(ErrorMessages(static_cast<ErrorMessage>(entry)), "") << entry;
    }
    SetErrorMessages(false);
    for (int entry = 1; entry <= 12; ++entry) {
        EXPECT_EQ(ErrorMessages(static_cast<ErrorMessage>(entry)), normal[entry - 1]) << entry;
    }
}

}  // namespace
}  // namespace kfs
