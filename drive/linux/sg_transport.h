#pragma once
// The transport contract on Linux: the machine's CD-ROM devices (/dev/srN, in ascending N) make
// up the drive table, and every command goes to the kernel with the SG_IO ioctl, carrying the
// caller's direction and time-out and bringing back the drive's sense data.
#include <scsi/sg.h>

#include <memory>
#include <string>
#include <vector>

#include "drive/transport.h"

namespace kfs {

// The system calls the transport makes, so that tests can stand in for the kernel.
class SgSystem {
  public:
    virtual ~SgSystem() = default;
    virtual std::vector<std::string> ListDeviceNames() = 0;  // entry names in /dev
    virtual int Open(const std::string& path) = 0;           // file descriptor, or -1
    virtual void Close(int fd) = 0;
    virtual int Io(int fd, sg_io_hdr_t& request) = 0;  // ioctl(fd, SG_IO, &request)
};

std::unique_ptr<SgSystem> MakeLinuxSgSystem();

// The CD-ROM device paths among /dev entry names: "srN" only, ordered by N as a number, so that
// sr2 comes before sr10 whatever order the directory listed them in.
std::vector<std::string> OrderCdromDevices(const std::vector<std::string>& names);

// The SG_IO request for one command. Data in and out need a buffer and a length; any other
// direction byte, or no data, is sent without a data phase.
sg_io_hdr_t BuildSgIoRequest(const Cdb& cdb, std::uint8_t* buffer, std::uint16_t length,
                             std::uint8_t direction, std::uint32_t timeoutMs, std::uint8_t* sense,
                             std::uint8_t senseLength);

class SgTransport : public Transport {
  public:
    static constexpr int kMaxDrives = 20;

    explicit SgTransport(std::unique_ptr<SgSystem> system = MakeLinuxSgSystem());
    ~SgTransport() override;
    SgTransport(const SgTransport&) = delete;
    SgTransport& operator=(const SgTransport&) = delete;

    SenseData GetSenseData() const override { return sense_; }
    int DriveCount() const override { return static_cast<int>(paths_.size()); }

    const std::string& DevicePath(DriveIndex drive) const { return paths_.at(drive); }
    // The devices that were not looked at because the table was full.
    int LeftOut() const { return leftOut_; }

  protected:
    // A device that does not open or an ioctl that fails is an errno; a command the kernel ran
    // is judged by its SCSI status (check condition with sense), then the host adapter's and
    // the driver's status.
    CommandResult Execute(DriveIndex drive, const Cdb& cdb, std::uint8_t* buffer,
                          std::uint16_t length, std::uint8_t direction,
                          std::uint32_t timeoutMs) override;

  private:
    bool Select(DriveIndex drive);

    std::unique_ptr<SgSystem> system_;
    std::vector<std::string> paths_;
    int fd_ = -1;
    int current_ = -1;
    int leftOut_ = 0;
    SenseData sense_{};
    std::vector<std::uint8_t> before_;  // a data-in buffer before the command
};

}  // namespace kfs
