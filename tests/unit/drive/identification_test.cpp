#include "drive/identification.h"

#include <gtest/gtest.h>

#include "emulator/adapters/emulated_transport.h"
#include "emulator/emulator.h"
#include "support/fake_transport.h"

namespace kfs {
namespace {

using test::FakeTransport;

emu::DriveSet Drives(const std::string& drives) {
    return emu::DriveSet::FromJson(R"({"drives":[)" + drives + "]}");
}

TEST(Identification, CommandsAreTheInquiryAndVendorPageTemplates) {
    FakeTransport t;
    GetDriveHardwareId(t, 0);  // vendor page (no "KEMO" reply), then INQUIRY
    ASSERT_EQ(t.sent.size(), 2u);
    EXPECT_EQ(t.sent[0].cdb, (Cdb{0x5A, 0x00, 0x38, 0x4B, 0x45, 0x10, 0, 0, 0, 0x04, 0, 0}));
    EXPECT_EQ(t.sent[0].length, 20);
    EXPECT_EQ(t.sent[0].direction, kDirIn);
    EXPECT_EQ(t.sent[1].cdb, (Cdb{0x12, 0, 0, 0, 0xFF, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(t.sent[1].length, 255);
    EXPECT_EQ(t.sent[1].direction, kDirIn);
}

TEST(Identification, ReadsEveryFieldOfAnEmulatedDriveWithItsBlanks) {
    auto drives = Drives(R"({"vendor":"KEMO","product":"VRZ-3350A","revision":"1.0",
                             "hardware_id":"K7","date_code":"061122"})");
    EmulatedTransport t(drives);
    EXPECT_EQ(GetDriveModelName(t, 0), "KEMO    VRZ-3350A       ");
    EXPECT_EQ(GetDriveModelName(t, 0).size(), 24u);
    EXPECT_EQ(GetDriveVersion(t, 0), "1.0 ");
    EXPECT_EQ(GetDriveDateCode(t, 0), "061122");
    EXPECT_EQ(GetDriveHardwareId(t, 0), "K7");
}

TEST(Identification, HardwareIdComesFromTheVendorPageWhenAnsweredElseFromInquiry) {
    // The vendor page carries "K1"; INQUIRY carries "Q9" at bytes 38-39 after SetInquiry.
    for (bool page : {true, false}) {
        SCOPED_TRACE(page ? "answers the page" : "rejects the page");
        auto drives = Drives(std::string(R"({"product":"X","hardware_id":"K1","vendor_page":)") +
                             (page ? "true" : "false") + "}");
        const std::uint8_t q9[2] = {'Q', '9'};
        auto inquiry = drives.drive(0).Inquiry();
        std::copy(q9, q9 + 2, inquiry.begin() + 38);
        drives.drive(0).SetInquiry(inquiry.data(), inquiry.size());
        std::vector<std::string> trace;
        drives.SetTrace([&](const std::string& line) { trace.push_back(line); });
        EmulatedTransport t(drives);
        // The page reply holds the description's id; INQUIRY the patched one.
        EXPECT_EQ(GetDriveHardwareId(t, 0), page ? "K1" : "Q9");
        EXPECT_EQ(trace.size(), page ? 1u : 2u);  // no INQUIRY after a "KEMO" answer
    }
}

TEST(Identification, ARejectedVendorPageThatLeftNoDataIsNotTakenForKemo) {
    // The page fails without a data phase; INQUIRY answers. A buffer that was not cleared could
    // still hold "KEMO" from an earlier reply.
    FakeTransport t;
    std::vector<std::uint8_t> inquiry(46, ' ');
    inquiry[38] = 'A';
    inquiry[39] = 'B';
    t.replies.push_back({false, {}, FakeTransport::Sense(5, 0x24)});
    t.replies.push_back({true, inquiry, {}});
    EXPECT_EQ(GetDriveHardwareId(t, 0), "AB");
}

TEST(Identification, AFieldStartingWithZeroIsEmptyLikeAFailure) {
    FakeTransport t;
    std::vector<std::uint8_t> inquiry(96, ' ');
    inquiry[38] = 0;  // hardware id
    inquiry[40] = 0;  // date code
    inquiry[34] = 0;  // version cut after two characters
    for (int i = 0; i < 4; ++i) t.replies.push_back({true, inquiry, {}});
    t.replies.push_front({false, {}, {}});  // vendor page rejected
    EXPECT_EQ(GetDriveHardwareId(t, 0), "");
    EXPECT_EQ(GetDriveDateCode(t, 0), "");
    EXPECT_EQ(GetDriveVersion(t, 0), "  ");
}

TEST(Identification, FailedCommandsAndOutOfRangeIndexGiveEmptyTexts) {
    FakeTransport t(1);
    using Get = std::string (*)(Transport&, DriveIndex);
    for (Get get : {Get{GetDriveHardwareId}, Get{GetDriveModelName}, Get{GetDriveVersion},
                    Get{GetDriveDateCode}}) {
        EXPECT_EQ(get(t, 1), "");
        EXPECT_EQ(get(t, 255), "");
        EXPECT_TRUE(t.sent.empty());
        t.replies = {{false, {'K', 'E', 'M', 'O'}, {}}, {false, {}, {}}};
        EXPECT_EQ(get(t, 0), "");
        t.sent.clear();
    }
}

TEST(Identification, ShortInquiryReplyReadsZeroBeyondWhatArrived) {
    // The drive sends only 36 bytes: no hardware id or date code, but the model and version.
    auto drives = Drives(R"({"product":"VRZ-1","hardware_id":"K1","date_code":"061122",
        "vendor_page":false, "faults":[{"short_reply":"12","bytes":36}]})");
    EmulatedTransport t(drives);
    EXPECT_EQ(GetDriveModelName(t, 0), "KEMO    VRZ-1           ");
    EXPECT_EQ(GetDriveVersion(t, 0), "1.00");
    EXPECT_EQ(GetDriveDateCode(t, 0), "");
    EXPECT_EQ(GetDriveHardwareId(t, 0), "");
}

TEST(EmulatedTransport, TableHoldsOnlyCdRomDevicesInDescriptionOrder) {
    auto drives = Drives(R"({"product":"A"}, {"product":"DISK","device_type":0},
                            {"product":"B"})");
    EmulatedTransport t(drives);
    ASSERT_EQ(t.DriveCount(), 2);
    EXPECT_EQ(GetDriveModelName(t, 1), "KEMO    B               ");
    EXPECT_FALSE(t.SendPacketCommand(2, kInquiryCdb, nullptr, 0, kDirNone));
    EXPECT_EQ(t.GetDriveIndexList(), (std::vector<DriveIndex>{0, 1}));
}

TEST(EmulatedTransport, StopsAtTwentyDrives) {
    std::string list;
    for (int i = 0; i < 25; ++i)
        list += std::string(i ? "," : "") + R"({"product":"D","flash_size":65536})";
    auto drives = Drives(list);
    EmulatedTransport t(drives);
    EXPECT_EQ(t.DriveCount(), 20);
}

TEST(EmulatedTransport, SenseOfAFailedCommandIsKept) {
    auto drives = Drives(R"({"product":"A","tray_open":true})");
    EmulatedTransport t(drives);
    const Cdb testUnitReady{};
    EXPECT_FALSE(t.SendPacketCommand(0, testUnitReady, nullptr, 0, kDirNone));
    SenseData s = t.GetSenseData();
    EXPECT_EQ(s[0], 0x70);
    EXPECT_EQ(s[2], 0x02);
    EXPECT_EQ(s[7], 10);
    EXPECT_EQ(s[12], 0x3A);
    EXPECT_EQ(s[13], 0x02);
}

}  // namespace
}  // namespace kfs
