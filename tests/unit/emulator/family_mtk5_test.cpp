// The two-pass drive family on its own: what it refuses, how it reports programming, and how it
// comes back after it reset.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "emulator/emulator.h"

namespace kfs::emu {
namespace {

constexpr std::uint32_t kBank = 65536;

class Mtk5Drive : public ::testing::Test {
  protected:
    Mtk5Drive()
        : drives(DriveSet::FromJson(
              R"({"drives":[{"product":"VRZ-3372BL","revision":"OLD0","family":"mtk5",
                             "keeps_checksum":true}]})")) {}

    Outcome Send(std::array<std::uint8_t, 12> cdb, std::uint8_t* data = nullptr,
                 std::uint16_t length = 0, std::uint8_t direction = 0) {
        return drives.Execute(0, cdb.data(), data, length, direction);
    }
    Outcome DownloadMode(int id) { return Send({0x3B, 0x01, static_cast<std::uint8_t>(id)}); }
    Outcome Block(std::uint32_t offset, std::uint16_t length = 16384) {
        std::vector<std::uint8_t> data(length, static_cast<std::uint8_t>(offset >> 14));
        return Send({0x3B, 0x06, 0, static_cast<std::uint8_t>(offset >> 16),
                     static_cast<std::uint8_t>(offset >> 8), static_cast<std::uint8_t>(offset), 0,
                     static_cast<std::uint8_t>(length >> 8), static_cast<std::uint8_t>(length)},
                    data.data(), length, kDirOut);
    }
    Outcome Bank(int k) {
        for (std::uint32_t g = 0; g < 4; ++g) {
            Outcome o = Block(k * kBank + g * 16384);
            if (!o.good)
                return o;
        }
        return Outcome::Good();
    }
    Outcome Trigger(bool upper) {
        return Send({0x3B, 0x07, 0, static_cast<std::uint8_t>(upper ? 0x10 : 0), 0, 0, 0x10});
    }
    Sense RequestSense(bool acknowledge = false) {
        Sense s{};
        Send({0x03, 0, 0, 0, 18, static_cast<std::uint8_t>(acknowledge ? 0x80 : 0)}, s.data(), 18,
             kDirIn);
        return s;
    }
    static std::array<std::uint8_t, 3> Condition(const Sense& s) { return {s[2], s[12], s[13]}; }
    static std::array<std::uint8_t, 3> Condition(const Outcome& o) { return Condition(o.sense); }

    DriveSet drives;
};

TEST_F(Mtk5Drive, RefusesWhatItCannotProgram) {
    using C = std::array<std::uint8_t, 3>;
    const C invalidField{5, 0x24, 0}, beyond{5, 0x21, 0}, sequence{5, 0x2C, 0},
        parameterList{5, 0x26, 0};

    EXPECT_EQ(Condition(Block(0)), sequence);  // no download open
    ASSERT_TRUE(DownloadMode(1).good);
    EXPECT_EQ(Condition(Block(2 * 1024 * 1024 - 8192)), beyond);  // beyond the flash
    EXPECT_EQ(Condition(Block(100, 256)), invalidField);          // not on a page
    EXPECT_EQ(Condition(Send({0x3B, 0x06, 0, 0, 0, 0, 0, 0x40, 0}, nullptr, 0, kDirOut)),
              invalidField);                         // the data phase does not carry the length
    EXPECT_EQ(Condition(Trigger(false)), sequence);  // nothing staged
    ASSERT_TRUE(Bank(0).good);
    EXPECT_EQ(Condition(Trigger(true)), sequence);  // a lower bank for the upper megabyte
    EXPECT_EQ(Condition(Send({0x3B, 0x07, 0, 0x08, 0, 0, 0x10})), invalidField);
    EXPECT_EQ(Condition(Send({0x3B, 0x07, 0, 0, 0, 0, 0x08})), invalidField);
    ASSERT_TRUE(Block(kBank).good);  // half of bank 1
    EXPECT_EQ(Condition(Trigger(false)), parameterList);
}

TEST_F(Mtk5Drive, RequestSenseWithoutABufferWhileProgrammingMovesNothing) {
    ASSERT_TRUE(DownloadMode(1).good);
    ASSERT_TRUE(Bank(0).good);
    ASSERT_TRUE(Trigger(false).good);
    const Outcome o = Send({0x03, 0, 0, 0, 18}, nullptr, 18, kDirIn);
    EXPECT_TRUE(o.good);
    EXPECT_EQ(o.transferred, 0u);
}

TEST_F(Mtk5Drive, CountsBanksWhileProgrammingAndResetsIntoTheNewImage) {
    // Bank 0 carries an INQUIRY block with a date code ahead of it.
    std::vector<std::uint8_t> bank(kBank, 0x11);
    const char dc[] = "DC240615";
    std::memcpy(&bank[0x200 - 12], dc, 8);
    const std::uint8_t header[] = {0x05, 0x80, 0x00, 0x32};
    std::memcpy(&bank[0x200], header, 4);
    std::memcpy(&bank[0x208], "KEMO    VRZ-3380        NEW1", 28);
    ASSERT_TRUE(DownloadMode(1).good);
    for (std::uint16_t g = 0; g < 4; ++g) {
        std::array<std::uint8_t, 12> cdb = {0x3B, 0x06, 0,    0, static_cast<std::uint8_t>(g << 6),
                                            0,    0,    0x40, 0};
        ASSERT_TRUE(Send(cdb, &bank[g * 16384u], 16384, kDirOut).good);
    }
    ASSERT_TRUE(Trigger(false).good);

    Sense s = RequestSense();
    EXPECT_EQ(Condition(s), (std::array<std::uint8_t, 3>{2, 4, 7}));
    EXPECT_EQ(s[4], 0);
    EXPECT_FALSE(Send({0x00}).good);  // busy while it programs
    drives.Advance(1000);
    s = RequestSense();
    EXPECT_EQ(s[4], 1);  // one bank, finished: the counter stays until acknowledged
    drives.Advance(3000);
    EXPECT_EQ(RequestSense()[4], 1);

    // Nobody acknowledges: it resets by itself and reports the reset once.
    drives.Advance(2000);
    EXPECT_EQ(Condition(RequestSense()), (std::array<std::uint8_t, 3>{6, 0x29, 0}));
    drives.Advance(2000);
    EXPECT_EQ(Condition(Send({0x00})), (std::array<std::uint8_t, 3>{2, 0x3A, 1}));  // no disc
    std::uint8_t inquiry[96] = {};
    ASSERT_TRUE(Send({0x12, 0, 0, 0, 96}, inquiry, 96, kDirIn).good);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(inquiry + 16), 8), "VRZ-3380");
    EXPECT_EQ(std::string(reinterpret_cast<char*>(inquiry + 32), 4), "NEW1");
    EXPECT_EQ(std::string(reinterpret_cast<char*>(inquiry + 40), 6), "240615");
    EXPECT_TRUE(std::equal(bank.begin(), bank.end(), drives.drive(0).rom().begin()));
    EXPECT_EQ(drives.drive(0).flashCount(), 1);
}

TEST_F(Mtk5Drive, UpperMegabyteThenLowerWithAcknowledgementAndCheckSums) {
    ASSERT_TRUE(DownloadMode(1).good);
    for (int k = 16; k < 32; ++k) ASSERT_TRUE(Bank(k).good);
    ASSERT_TRUE(DownloadMode(0).good);
    ASSERT_TRUE(Trigger(true).good);
    EXPECT_EQ(RequestSense()[4], 16);
    drives.Advance(8000);
    EXPECT_EQ(RequestSense()[4], 24);
    drives.Advance(8000);
    EXPECT_EQ(RequestSense()[4], 32);
    EXPECT_TRUE(Send({0x00}).good || Send({0x00}).sense[12] == 0x3A);  // ready for the next pass

    ASSERT_TRUE(DownloadMode(1).good);
    for (int k = 0; k < 16; ++k) ASSERT_TRUE(Bank(k).good);
    ASSERT_TRUE(Trigger(false).good);
    drives.Advance(16000);
    EXPECT_EQ(RequestSense()[4], 16);
    EXPECT_EQ(RequestSense(true)[4], 16);  // the acknowledgement still reads the counter
    EXPECT_EQ(Condition(Send({0x00})), (std::array<std::uint8_t, 3>{2, 4, 1}));  // booting
    drives.Advance(2000);
    EXPECT_EQ(Condition(Send({0x00})), (std::array<std::uint8_t, 3>{6, 0x29, 0}));
    EXPECT_EQ(drives.drive(0).flashCount(), 1);

    // The header sum must be that of the flash (all but its last 8 bytes); the expected sum is
    // then kept and reported.
    std::uint32_t sum = 0;
    const auto& rom = drives.drive(0).rom();
    for (std::size_t i = 0; i + 8 < rom.size(); ++i) sum += rom[i];
    const auto setCheckSum = [&](std::uint16_t header) {
        std::uint8_t data[10] = {};
        return Send({0x5A, 0, 0x34, 0x4B, 0x45, 0x0B, 0x01, static_cast<std::uint8_t>(header >> 8),
                     static_cast<std::uint8_t>(header), 0xBE, 0xEF},
                    data, 10, kDirOut);
    };
    EXPECT_EQ(Condition(setCheckSum(static_cast<std::uint16_t>(sum + 1))),
              (std::array<std::uint8_t, 3>{5, 0x24, 0}));
    ASSERT_TRUE(setCheckSum(static_cast<std::uint16_t>(sum)).good);
    std::uint8_t reply[8] = {};
    Send({0x5A, 0, 0x34, 0x4B, 0x45, 0x0B}, reply, 8, kDirIn);
    EXPECT_EQ(reply[6] << 8 | reply[7], 0xBEEF);
}

}  // namespace
}  // namespace kfs::emu
