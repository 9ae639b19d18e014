#pragma once
// A two-pass drive on the emulator with everything a flash procedure needs around it, and a
// transport wrapper that makes chosen commands fail on their way to the drive.
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "container/checksum.h"
#include "container/kfs_parameter.h"
#include "emulator/adapters/emulated_transport.h"
#include "emulator/adapters/emulator_clock.h"
#include "emulator/emulator.h"
#include "flash/flash_job.h"
#include "support/firmware_fixtures.h"
#include "support/recording_view.h"

namespace kfs::test {

// Fails the matching commands from the `from`-th to the `to`-th (0: every later one) without
// passing them to the drive; `patch` rewrites the reply of a matching command that got through.
struct FailRule {
    using Match = std::function<bool(const Cdb&)>;
    using Patch = std::function<void(std::uint8_t*)>;
    FailRule(Match m, int f = 1, int t = 1, Patch p = nullptr)
        : match(std::move(m)), from(f), to(t), patch(std::move(p)) {}

    Match match;
    int from;
    int to;
    Patch patch;
    SenseData sense = {0x70, 0, 0x05, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x24, 0};  // 5/24/00
    int seen = 0;
};

class FaultyTransport : public Transport {
  public:
    explicit FaultyTransport(Transport& inner) : inner_(inner) {}

    CommandResult Execute(DriveIndex drive, const Cdb& cdb, std::uint8_t* buffer,
                          std::uint16_t length, std::uint8_t direction,
                          std::uint32_t timeoutMs) override {
        sent.push_back(cdb);
        lengths.push_back(length);
        FailRule* patcher = nullptr;
        for (FailRule& rule : rules) {
            if (!rule.match(cdb))
                continue;
            ++rule.seen;
            if (rule.seen >= rule.from && (rule.to == 0 || rule.seen <= rule.to) && !rule.patch) {
                failedSense_ = rule.sense;
                failed_ = true;
                return CommandResult::Check(rule.sense);
            }
            if (rule.patch)
                patcher = &rule;
        }
        failed_ = false;
        const CommandResult result =
            inner_.SendPacketCommand(drive, cdb, buffer, length, direction, timeoutMs);
        if (result && patcher)
            patcher->patch(buffer);
        return result;
    }
    SenseData GetSenseData() const override {
        return failed_ ? failedSense_ : inner_.GetSenseData();
    }
    int DriveCount() const override { return inner_.DriveCount(); }

    std::vector<FailRule> rules;
    std::vector<Cdb> sent;
    std::vector<std::uint16_t> lengths;

  private:
    Transport& inner_;
    bool failed_ = false;
    SenseData failedSense_{};
};

// Matchers for the commands of the two-pass procedure and of the verification.
inline bool IsDownloadMode(const Cdb& c, int mode) {
    return c[0] == 0x3B && c[1] == 0x01 && c[2] == mode;
}
inline bool IsBlockWrite(const Cdb& c) {
    return c[0] == 0x3B && c[1] == 0x06;
}
inline bool IsStartFlashWrite(const Cdb& c) {
    return c[0] == 0x3B && c[1] == 0x07;
}
inline bool IsFlashSense(const Cdb& c) {
    return c[0] == 0x03;
}
inline bool IsAcknowledge(const Cdb& c) {
    return c[0] == 0x03 && c[5] == 0x80;
}
inline bool IsVendor(const Cdb& c, std::uint8_t page, std::uint8_t sub, int byte6 = -1) {
    return c[0] == 0x5A && c[2] == page && c[3] == 0x4B && c[4] == 0x45 && c[5] == sub &&
           (byte6 < 0 || c[6] == byte6);
}

// An image of `length` bytes: pseudo-random, with the INQUIRY block of its firmware near the
// start ("KEMO    VRZ-3372BL", revision "K9Z1", hardware id "KE", date code "250101").
inline std::vector<std::uint8_t> MakeImage(std::size_t length, std::uint32_t seed = 7) {
    std::vector<std::uint8_t> image(length);
    std::uint32_t x = seed;
    for (auto& b : image) {
        x = x * 1103515245u + 12345u;
        b = static_cast<std::uint8_t>(x >> 16);
    }
    std::fill(image.begin(), image.begin() + std::min<std::size_t>(length, 0x40), 0);
    if (length >= 0x40 + 48)
        test::PutInquiry(image, 0x40, {"KEMO", "VRZ-3372BL", "K9Z1", "KE", "250101"});
    return image;
}

inline SKFSParameter Mtk5Container(const std::vector<std::uint8_t>& image) {
    SKFSParameter p;
    p.AtapiFlashType = 6;
    p.MaxBankSize = 65536;
    p.HeaderCheckSum = static_cast<std::uint16_t>(CalcCheckSum(image, p));
    return p;
}

struct Mtk5Rig {
    // `extra`: further JSON fields of the drive, each starting with a comma.
    explicit Mtk5Rig(std::size_t imageLength, const std::string& extra = "")
        : drives(emu::DriveSet::FromJson(
              R"({"drives":[{"product":"VRZ-3372BL","revision":"OLD0","family":"mtk5")" + extra +
              "}]}")),
          emulated(drives),
          transport(emulated),
          clock(drives),
          image(MakeImage(imageLength)),
          container(Mtk5Container(image)),
          job{transport, clock, view, 0, image, container} {}

    emu::Drive& drive() { return drives.drive(0); }
    bool FlashHoldsImage() { return std::equal(image.begin(), image.end(), drive().rom().begin()); }

    emu::DriveSet drives;
    EmulatedTransport emulated;
    FaultyTransport transport;
    EmulatorClock clock;
    RecordingView view;
    std::vector<std::uint8_t> image;
    SKFSParameter container;
    FlashJob job;
};

}  // namespace kfs::test
