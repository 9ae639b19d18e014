#pragma once
// The drives kfsflash offers: every optical drive it can open, as a transport whose indices are
// the list indices the user sees, plus the devices it found but could not open, with the reason.
// Real drives are the machine's /dev/srN devices (through SG_IO); emulated ones come from an
// emulator description.
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "drive/linux/sg_transport.h"
#include "drive/transport.h"
#include "emulator/emulator.h"

namespace kfs::console {

// A drive's identity as it reports it; fields keep their trailing blanks.
struct DriveIdentity {
    std::string model;  // 24 characters: vendor (8) and product (16)
    std::string version, hardwareId, dateCode;

    std::string Vendor() const;   // the vendor field without trailing blanks
    std::string Product() const;  // the product field without trailing blanks
};
DriveIdentity ReadDriveIdentity(Transport& transport, DriveIndex drive);

// A device that exists but could not be opened.
struct UnopenedDevice {
    std::string path;
    int error = 0;      // errno of the open
    std::string group;  // the group owning the device, when known
};

// The reason and one line of advice for a device that could not be opened.
std::string OpenFailureReason(const UnopenedDevice& device);
std::string OpenFailureAdvice(const UnopenedDevice& device);

class DriveTable : public Transport {
  public:
    // The machine's drives: /dev/srN, or the sr entries of `devDir` when it is not "/dev" (a
    // directory of stand-ins for tests).
    static std::unique_ptr<DriveTable> ForMachine(const std::string& devDir = "/dev");
    static std::unique_ptr<DriveTable> ForEmulator(emu::DriveSet& drives);
    ~DriveTable() override;

    CommandResult Execute(DriveIndex drive, const Cdb& cdb, std::uint8_t* buffer,
                          std::uint16_t length, std::uint8_t direction,
                          std::uint32_t timeoutMs) override;
    SenseData GetSenseData() const override;
    int DriveCount() const override { return static_cast<int>(paths_.size()); }

    const std::string& Path(DriveIndex drive) const { return paths_.at(drive); }
    const std::vector<UnopenedDevice>& unopened() const { return unopened_; }
    // Devices beyond the most a drive table holds, which were not looked at.
    int leftOut() const { return leftOut_; }
    // The list index of a device path or of an index text; nullopt when it names no drive.
    std::optional<DriveIndex> Find(const std::string& pathOrIndex) const;

    // Reopens `drive` for the update, exclusively (O_EXCL) and with write access; every other
    // drive becomes unreachable. nullopt on success, else a sentence saying why not.
    std::optional<std::string> OpenExclusive(DriveIndex drive);

  private:
    DriveTable() = default;
    // Keeps only the optical drives among the base transport's drives.
    void KeepOpticalDrives(const std::vector<std::string>& basePaths);

    class System;
    std::string devDir_;
    System* system_ = nullptr;  // owned by base_ when on the machine
    std::unique_ptr<Transport> base_;
    std::unique_ptr<Transport> exclusive_;
    int exclusiveDrive_ = -1;
    std::vector<int> baseIndex_;  // list index -> base transport index
    std::vector<std::string> paths_;
    std::vector<UnopenedDevice> unopened_;
    int leftOut_ = 0;
};

}  // namespace kfs::console
