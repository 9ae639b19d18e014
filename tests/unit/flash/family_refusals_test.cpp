// The emulated drives check what they receive where the protocol gives them the means: a
// procedure that sends a wrong byte leaves the drive's flash as it was.
#include <gtest/gtest.h>

#include "flash/family_a0.h"
#include "flash/family_ali.h"
#include "flash/family_mtk7.h"
#include "flash/family_philips.h"
#include "flash/flash_commands.h"
#include "flash/flash_type_table.h"
#include "procedure_rig.h"

namespace kfs {
namespace {

using test::Rig;
using Tamper = std::function<void(Cdb&, std::vector<std::uint8_t>&)>;

FlashResult Philips(FlashJob& job) {
    return FlashPhilipsForm(job, PhilipsBlockCount(job.image.size()), 0x1234, 0x5678);
}

struct RefusalCase {
    const char* name;
    FlashFamily family;
    FlashResult (*procedure)(FlashJob&);
    std::uint8_t type;
    std::size_t length;
    std::string prefix;  // the CDB bytes (hex) of the command to spoil
    int nth;             // its position among those commands, from 1
    Tamper tamper;
};

class FamilyRefusals : public testing::TestWithParam<RefusalCase> {};

TEST_P(FamilyRefusals, SpoiledCommandLeavesTheFlashAsItWas) {
    const RefusalCase& c = GetParam();
    Rig rig(c.family);
    rig.MakeImage(c.length, c.type);
    for (std::size_t at = 0; c.type != 7 && at + 65534 < c.length; at += 65536)
        rig.KeepOld(at + 65534, at + 65536);
    rig.SealCheckSum();
    int seen = 0;
    rig.tampering.tamper = [&](int, Cdb& cdb, std::vector<std::uint8_t>& data) {
        std::string hex;
        char b[3];
        for (auto x : cdb) {
            std::snprintf(b, sizeof b, "%02x", x);
            hex += b;
        }
        if (hex.compare(0, c.prefix.size(), c.prefix) == 0 && ++seen == c.nth)
            c.tamper(cdb, data);
    };
    auto job = rig.Job();
    c.procedure(job);
    ASSERT_EQ(seen >= c.nth, true) << "the command was never sent";
    EXPECT_EQ(rig.Flash(0, c.length), rig.Old(0, c.length));
    EXPECT_NE(rig.DriveIdentity(), Rig::ImageIdentity());
}

const Tamper kFlipData = [](Cdb&, std::vector<std::uint8_t>& data) { data[100] ^= 0x01; };
auto FlipCdb(int at) {
    return Tamper([at](Cdb& cdb, std::vector<std::uint8_t>&) { cdb[at] ^= 0x01; });
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FamilyRefusals,
    testing::Values(
        RefusalCase{"A0TriggerCheckSum", FlashFamily::A0, &FlashMtkType, 1, 131072,
                    "5a00384b45a004", 1, FlipCdb(11)},
        RefusalCase{"A0TriggerCount", FlashFamily::A0, &FlashMtkType, 1, 131072, "5a00384b45a004",
                    1, FlipCdb(7)},
        RefusalCase{"A0TriggerData", FlashFamily::A0, &FlashMtkType, 1, 131072, "5a00384b45a004", 1,
                    kFlipData},
        RefusalCase{"A0BankData", FlashFamily::A0, &FlashMtkType, 1, 131072, "5a00384b45a005", 2,
                    kFlipData},
        RefusalCase{"A0BankBeyondFlash", FlashFamily::A0, &FlashMtkType, 1, 131072,
                    "5a00384b45a005", 2,
                    [](Cdb& cdb, std::vector<std::uint8_t>&) { cdb[7] = 0x40; }},
        RefusalCase{"A0PollTriggerKind", FlashFamily::A0Poll, &FlashMtk3Type, 4, 131072,
                    "5a00384b45a005e2", 1,
                    [](Cdb& cdb, std::vector<std::uint8_t>&) { cdb[6] = 0x04; }},
        RefusalCase{"A0HalfOffset", FlashFamily::A0_32k, &FlashMtk6Type, 7, 131072,
                    "5a00384b45a005", 4,
                    [](Cdb& cdb, std::vector<std::uint8_t>&) { cdb[8] = 0x40; }},
        RefusalCase{"AliBlockData", FlashFamily::Ali, &FlashAliType, 2, 65536, "fd07", 2,
                    kFlipData},
        RefusalCase{"AliImageSum", FlashFamily::Ali, &FlashAliType, 2, 65536, "fd07", 4,
                    FlipCdb(9)},
        RefusalCase{"AliBlockOrder", FlashFamily::Ali, &FlashAliType, 2, 65536, "fd07", 3,
                    FlipCdb(10)},
        // Bank 0 (sent second) loses a block: the procedure stops there; bank 1 is programmed.
        RefusalCase{"Mtk7OffsetBeyondTheBanks", FlashFamily::Mtk7, &FlashMtk7Type, 8, 65536, "3b06",
                    5, [](Cdb& cdb, std::vector<std::uint8_t>&) { cdb[3] = 0x02; }},
        RefusalCase{"PhilipsRepeatedWords", FlashFamily::Philips, &Philips, 0, 3 * 16384 - 40, "fa",
                    2, FlipCdb(8)},
        RefusalCase{"PhilipsBlockOrder", FlashFamily::Philips, &Philips, 0, 3 * 16384 - 40, "fa", 2,
                    FlipCdb(5)}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(EmulatedCheckSum, DriveThatKeepsOneReportsTheSumOfTheProgrammedImage) {
    Rig rig(FlashFamily::A0, R"(, "keeps_checksum": true, "checksum": 4660)");
    rig.MakeImage(70000, 1);
    rig.KeepOld(65534, 65536);
    rig.SealCheckSum();
    auto job = rig.Job();
    ASSERT_EQ(FlashMtkType(job), std::nullopt);
    std::uint8_t reply[8];
    ASSERT_TRUE(GetDriveCheckSum(rig.tampering, 0, reply));
    EXPECT_EQ(reply[6] * 256 + reply[7], rig.container.HeaderCheckSum);
}

}  // namespace
}  // namespace kfs
