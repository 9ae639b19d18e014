#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>

#include "emulator/emulator.h"

namespace kfs::emu {
namespace {

TEST(Description, ReadsTheDocumentedExampleAndPadsIdentityFields) {
    auto drives = ParseDescription(R"({ "drives": [ { "vendor": "KEMO", "product": "VRZ-3372BL",
        "revision": "1.00", "hardware_id": "K1", "date_code": "061122", "vendor_page": true,
        "family": "mtk5", "flash_size": 2097152, "keeps_checksum": true,
        "tray_open": false, "medium": false, "faults": [] } ] })");
    ASSERT_EQ(drives.size(), 1u);
    const DriveDescription& d = drives[0];
    EXPECT_EQ(d.vendor, "KEMO    ");
    EXPECT_EQ(d.product, "VRZ-3372BL      ");
    EXPECT_EQ(d.revision, "1.00");
    EXPECT_EQ(d.hardwareId, "K1");
    EXPECT_EQ(d.dateCode, "061122");
    EXPECT_EQ(d.family, "mtk5");
    EXPECT_EQ(d.flashSize, 2097152u);
    EXPECT_TRUE(d.keepsChecksum);
    EXPECT_TRUE(d.vendorPage);
    EXPECT_FALSE(d.medium);
    EXPECT_TRUE(d.faults.empty());
}

TEST(Description, ReadsEveryKindOfFault) {
    auto drives = ParseDescription(R"({"drives":[{"faults":[
        {"command": "5a:a0", "nth": 2, "sense": "05/24/00"},
        {"command": "3B"},
        {"stay_boot": 2},
        {"never_ready": true},
        {"never_ready": false},
        {"flip_flash_byte": 4660},
        {"short_reply": "12"},
        {"short_reply": "5a:10", "bytes": 4, "from": 40}]}]})");
    const auto& f = drives.at(0).faults;
    ASSERT_EQ(f.size(), 7u);
    EXPECT_EQ(f[0].kind, Fault::Kind::FailCommand);
    EXPECT_EQ(f[0].opcode, 0x5A);
    EXPECT_EQ(f[0].subcode, 0xA0);
    EXPECT_EQ(f[0].nth, 2);
    EXPECT_EQ(f[0].sense, MakeSense(5, 0x24, 0));
    EXPECT_EQ(f[1].opcode, 0x3B);
    EXPECT_EQ(f[1].subcode, -1);
    EXPECT_EQ(f[1].nth, 0);  // every one
    EXPECT_EQ(f[2].kind, Fault::Kind::StayBoot);
    EXPECT_EQ(f[2].count, 2);
    EXPECT_EQ(f[3].kind, Fault::Kind::NeverReady);
    EXPECT_EQ(f[4].kind, Fault::Kind::FlipFlashByte);
    EXPECT_EQ(f[4].offset, 4660u);
    EXPECT_EQ(f[5].kind, Fault::Kind::ShortReply);
    EXPECT_EQ(f[5].opcode, 0x12);
    EXPECT_EQ(f[5].bytes, -1);
    EXPECT_EQ(f[6].subcode, 0x10);
    EXPECT_EQ(f[6].bytes, 4);
    EXPECT_EQ(f[0].from, 0u);  // from the start
    EXPECT_EQ(f[6].from, 40u);
}

TEST(Description, DefaultsPlaceDrivesOnSuccessiveTargets) {
    auto drives = ParseDescription(R"({"drives":[{}, {"host_adapter":1,"target":3,"lun":2}, {}]})");
    ASSERT_EQ(drives.size(), 3u);
    EXPECT_EQ(drives[0].target, 0);
    EXPECT_EQ(drives[1].hostAdapter, 1);
    EXPECT_EQ(drives[1].target, 3);
    EXPECT_EQ(drives[1].lun, 2);
    EXPECT_EQ(drives[2].target, 2);
    EXPECT_EQ(drives[2].family, "a0");
    EXPECT_EQ(drives[2].deviceType, kDeviceTypeCdRom);
}

TEST(Description, RefusesBrokenDescriptionsWithAMessage) {
    const char* bad[] = {
        "",
        "{}",
        R"({"drives": {}})",
        R"({"drives":[{"family":"zz"}]})",
        R"({"drives":[{"vendor":"TOOLONGVENDOR"}]})",
        R"({"drives":[{"flash_size":-1}]})",
        R"({"drives":[{"flash_size":0}]})",
        R"({"drives":[{"medium":"yes"}]})",
        R"({"drives":[{"faults":[{"command":"5g"}]}]})",
        R"({"drives":[{"faults":[{"command":"5a","sense":"05/24"}]}]})",
        R"({"drives":[{"faults":[{"wobble":1}]}]})",
        R"({"drives":[{"faults":{}}]})",
        R"({"drives":[{"time_scale":0}]})",
        R"({"drives":[{"time_scale":1001}]})",
        // A command never answered has no status to carry a sense or an errno.
        R"({"drives":[{"faults":[{"command":"3b","no_answer":true,"errno":1}]}]})",
        R"({"drives":[{"faults":[{"command":"3b","no_answer":true,"sense":"03/0c/00"}]}]})",
    };
    for (const char* text : bad) {
        SCOPED_TRACE(text);
        try {
            ParseDescription(text);
            ADD_FAILURE() << "accepted";
        } catch (const DescriptionError& e) {
            EXPECT_STRNE(e.what(), "");
        }
    }
}

TEST(Description, RefusesKeysItDoesNotKnowAndNamesThem) {
    const struct {
        const char* text;
        const char* message;
    } cases[] = {
        {R"({"drives":[{"famly":"mtk5"}]})", "drive 0: unknown key \"famly\""},
        {R"({"drives":[{"never_ready":true}]})", "drive 0: unknown key \"never_ready\""},
        {R"({"drives":[{},{"faults":[{"never_ready":true,"form":3}]}]})",
         "drive 1: unknown key \"form\" in a fault"},
        {R"({"drives":[{"faults":[{"command":"12","bytes":4}]}]})",
         "drive 0: unknown key \"bytes\" in a fault"},
        {R"({"drives":[], "drive":[]})", "unknown key \"drive\" beside \"drives\""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        try {
            ParseDescription(c.text);
            ADD_FAILURE() << "accepted";
        } catch (const DescriptionError& e) {
            EXPECT_STREQ(e.what(), c.message);
        }
    }
}

TEST(Description, LoadsFromAFileAndReportsAMissingOne) {
    std::string path = std::string(KFS_BINARY_DIR) + "/emulator_description_test.json";
    std::ofstream(path) << R"({"drives":[{"product":"VRZ-1"},{"product":"VRZ-2"}]})";
    EXPECT_EQ(DriveSet::FromFile(path).Count(), 2);
    std::remove(path.c_str());
    EXPECT_THROW(LoadDescriptionFile(path), DescriptionError);
}

}  // namespace
}  // namespace kfs::emu

namespace kfs::emu {
namespace {

TEST(RomFile, FlashIsReadAtStartAndWrittenBackOnlyWhenMade) {
    const std::string path = ::testing::TempDir() + "RomFile.kept.rom";
    std::remove(path.c_str());
    const std::string json =
        R"({"drives": [{"flash_size": 4096, "seed": 7, "rom_file": ")" + path + R"("}]})";
    {
        DriveSet untouched = DriveSet::FromJson(json);
        EXPECT_TRUE(untouched.SaveRomFiles());
    }
    EXPECT_FALSE(std::ifstream(path).good());  // a flash never made is not written

    const std::vector<std::uint8_t> seeded = DriveSet::FromJson(json).drive(0).rom();
    {
        DriveSet first = DriveSet::FromJson(json);
        first.drive(0).rom()[10] ^= 0xFF;
        EXPECT_TRUE(first.SaveRomFiles());
    }
    std::vector<std::uint8_t> expected = seeded;
    expected[10] ^= 0xFF;
    EXPECT_EQ(DriveSet::FromJson(json).drive(0).rom(), expected);

    // A shorter file fills the start; the seed the rest.
    std::ofstream(path, std::ios::binary | std::ios::trunc).write("\x01\x02", 2);
    expected = seeded;
    expected[0] = 1;
    expected[1] = 2;
    EXPECT_EQ(DriveSet::FromJson(json).drive(0).rom(), expected);
    std::remove(path.c_str());
}

}  // namespace
}  // namespace kfs::emu
