#pragma once
// One emulated drive of a given family with everything a flash procedure needs around it (the
// transport, the drive's clock, a recording view, the command trace), and firmware images whose
// identity the tests can recognise in the drive afterwards.
#include <cstring>
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
#include "flash/flash_type_table.h"
#include "support/recording_view.h"

namespace kfs::test {

// The identity every test image carries in its INQUIRY block.
inline constexpr char kImageProduct[] = "NEWFIRM-9000    ";
inline constexpr char kImageVersion[] = "9.87";
inline constexpr char kImageHardwareId[] = "HX";
inline constexpr char kImageDateCode[] = "250704";
inline constexpr std::size_t kInquiryAt = 0x40;

// A transport in front of the emulator that can rewrite a command on its way to the drive, the
// way a faulty procedure would send it.
class TamperingTransport : public Transport {
  public:
    explicit TamperingTransport(Transport& inner) : inner_(inner) {}
    // Called for every command with its position (from 0); may change the CDB and the data.
    std::function<void(int, Cdb&, std::vector<std::uint8_t>&)> tamper;

    CommandResult Execute(DriveIndex drive, const Cdb& cdb, std::uint8_t* buffer,
                          std::uint16_t length, std::uint8_t direction,
                          std::uint32_t timeoutMs) override {
        Cdb copy = cdb;
        if (tamper && direction == kDirOut && buffer) {
            std::vector<std::uint8_t> data(buffer, buffer + length);
            tamper(count_++, copy, data);
            return inner_.SendPacketCommand(drive, copy, data.data(), length, direction, timeoutMs);
        }
        if (tamper) {
            std::vector<std::uint8_t> none;
            tamper(count_++, copy, none);
        }
        return inner_.SendPacketCommand(drive, copy, buffer, length, direction, timeoutMs);
    }
    SenseData GetSenseData() const override { return inner_.GetSenseData(); }
    int DriveCount() const override { return inner_.DriveCount(); }

  private:
    Transport& inner_;
    int count_ = 0;
};

class Rig {
  public:
    // `fields` are further JSON members of the drive, e.g. R"(, "faults": [...])".
    explicit Rig(FlashFamily family, const std::string& fields = "")
        : drives(emu::DriveSet::FromJson(
              R"({"drives":[{"product":"OLDFIRM-1000","revision":"1.00",)"
              R"("hardware_id":"OL","date_code":"990101","family":")" +
              std::string(FlashFamilyName(family)) + "\"" + fields + "}]}")),
          emulated(drives),
          tampering(emulated),
          clock(drives),
          old_rom(drives.drive(0).rom()) {
        drives.SetTrace([this](const std::string& line) { trace.push_back(line); });
    }

    // An image of `length` bytes: a pseudo-random pattern that differs from the drive's flash
    // everywhere, with an INQUIRY block near the start. The container's check sum is its sum.
    void MakeImage(std::size_t length, std::uint8_t atapiFlashType) {
        image.assign(length, 0);
        std::uint32_t x = 0x12345678;
        for (auto& b : image) {
            x = x * 1103515245u + 12345u;
            b = static_cast<std::uint8_t>(x >> 16);
        }
        for (std::size_t i = 0; i < length; ++i)
            if (i < old_rom.size() && image[i] == old_rom[i])
                image[i] ^= 0x5A;
        if (length >= kInquiryAt + 96) {
            std::uint8_t* p = image.data() + kInquiryAt;
            std::memset(p, ' ', 96);
            p[0] = 0x05;
            p[1] = 0x80;
            p[2] = 0x00;
            std::memcpy(p + 8, "KEMO    ", 8);
            std::memcpy(p + 16, kImageProduct, 16);
            std::memcpy(p + 32, kImageVersion, 4);
            std::memcpy(p + 38, kImageHardwareId, 2);
            std::memcpy(p + 40, kImageDateCode, 6);
        }
        container = {};
        container.AtapiFlashType = atapiFlashType;
    }

    // Image bytes that the procedure never sends take the flash's old value, as the drive keeps
    // it there; then the check sum is taken.
    void KeepOld(std::size_t from, std::size_t to) {
        for (std::size_t i = from; i < to && i < image.size(); ++i) image[i] = old_rom[i];
    }
    void SealCheckSum() {
        container.HeaderCheckSum = static_cast<std::uint16_t>(CalcCheckSum(image, container));
    }

    FlashJob Job() { return FlashJob{tampering, clock, view, 0, image, container, philips}; }

    const emu::Drive& drive() const { return drives.drive(0); }
    std::vector<std::uint8_t> Flash(std::size_t from, std::size_t to) const {
        return {drive().rom().begin() + static_cast<std::ptrdiff_t>(from),
                drive().rom().begin() + static_cast<std::ptrdiff_t>(to)};
    }
    std::vector<std::uint8_t> Image(std::size_t from, std::size_t to) const {
        return {image.begin() + static_cast<std::ptrdiff_t>(from),
                image.begin() + static_cast<std::ptrdiff_t>(to)};
    }
    std::vector<std::uint8_t> Old(std::size_t from, std::size_t to) const {
        return {old_rom.begin() + static_cast<std::ptrdiff_t>(from),
                old_rom.begin() + static_cast<std::ptrdiff_t>(to)};
    }
    // The identity texts of the drive's INQUIRY data: product, version, hardware id, date code.
    std::string DriveIdentity() const {
        auto inq = drive().Inquiry();
        auto text = [&](std::size_t at, std::size_t n) {
            return std::string(reinterpret_cast<const char*>(inq.data() + at), n);
        };
        return text(16, 16) + "|" + text(32, 4) + "|" + text(38, 2) + "|" + text(40, 6);
    }
    static std::string ImageIdentity() {
        return std::string(kImageProduct) + "|" + kImageVersion + "|" + kImageHardwareId + "|" +
               kImageDateCode;
    }
    // Trace lines whose CDB starts with `prefix` (lower-case hex).
    std::vector<std::string> Commands(const std::string& prefix) const {
        std::vector<std::string> out;
        for (const auto& line : trace)
            if (line.compare(0, prefix.size(), prefix) == 0)
                out.push_back(line);
        return out;
    }

    emu::DriveSet drives;
    EmulatedTransport emulated;
    TamperingTransport tampering;
    EmulatorClock clock;
    RecordingView view;
    std::vector<std::string> trace;
    std::vector<std::uint8_t> old_rom;
    std::vector<std::uint8_t> image;
    SKFSParameter container;
    bool philips = false;
};

// True when no value in `progress` is below the one before it.
inline bool NeverBackwards(const std::vector<std::uint32_t>& progress) {
    for (std::size_t i = 1; i < progress.size(); ++i)
        if (progress[i] < progress[i - 1])
            return false;
    return true;
}

}  // namespace kfs::test
