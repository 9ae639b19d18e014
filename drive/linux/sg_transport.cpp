#include "drive/linux/sg_transport.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace kfs {

namespace {

class LinuxSgSystem : public SgSystem {
  public:
    std::vector<std::string> ListDeviceNames() override {
        std::vector<std::string> names;
        if (DIR* dir = opendir("/dev")) {
            while (dirent* entry = readdir(dir)) names.emplace_back(entry->d_name);
            closedir(dir);
        }
        return names;
    }
    int Open(const std::string& path) override {
        // Non-blocking, so that a drive without a disc can be opened at all; write access is
        // needed for the flash commands, but read-only still allows identification.
        int fd = open(path.c_str(), O_RDWR | O_NONBLOCK);
        if (fd < 0)
            fd = open(path.c_str(), O_RDONLY | O_NONBLOCK);
        return fd;
    }
    void Close(int fd) override { close(fd); }
    int Io(int fd, sg_io_hdr_t& request) override { return ioctl(fd, SG_IO, &request); }
};

}  // namespace

std::unique_ptr<SgSystem> MakeLinuxSgSystem() {
    return std::make_unique<LinuxSgSystem>();
}

std::vector<std::string> OrderCdromDevices(const std::vector<std::string>& names) {
    std::vector<std::pair<unsigned long, std::string>> found;
    for (const std::string& name : names) {
        if (name.size() < 3 || name.size() > 8 || name.compare(0, 2, "sr") != 0)
            continue;
        std::string digits = name.substr(2);
        if (digits.find_first_not_of("0123456789") != std::string::npos)
            continue;
        found.emplace_back(std::stoul(digits), "/dev/" + name);
    }
    std::sort(found.begin(), found.end());
    std::vector<std::string> paths;
    for (auto& f : found) paths.push_back(std::move(f.second));
    return paths;
}

sg_io_hdr_t BuildSgIoRequest(const Cdb& cdb, std::uint8_t* buffer, std::uint16_t length,
                             std::uint8_t direction, std::uint32_t timeoutMs, std::uint8_t* sense,
                             std::uint8_t senseLength) {
    sg_io_hdr_t request;
    std::memset(&request, 0, sizeof request);
    request.interface_id = 'S';
    request.cmd_len = static_cast<unsigned char>(cdb.size());
    request.cmdp = const_cast<unsigned char*>(cdb.data());  // the kernel only reads it
    request.mx_sb_len = senseLength;
    request.sbp = sense;
    request.timeout = timeoutMs;
    request.dxfer_direction = SG_DXFER_NONE;
    if (buffer && length > 0 && (direction == kDirIn || direction == kDirOut)) {
        request.dxfer_direction = direction == kDirIn ? SG_DXFER_FROM_DEV : SG_DXFER_TO_DEV;
        request.dxfer_len = length;
        request.dxferp = buffer;
    }
    return request;
}

SgTransport::SgTransport(std::unique_ptr<SgSystem> system) : system_(std::move(system)) {
    // Only devices that can be opened take an index; the table never holds more than 20.
    for (const std::string& path : OrderCdromDevices(system_->ListDeviceNames())) {
        if (DriveCount() == kMaxDrives) {
            ++leftOut_;
            continue;
        }
        int fd = system_->Open(path);
        if (fd < 0)
            continue;
        system_->Close(fd);
        paths_.push_back(path);
    }
}

SgTransport::~SgTransport() {
    if (fd_ >= 0)
        system_->Close(fd_);
}

bool SgTransport::Select(DriveIndex drive) {
    if (current_ == drive && fd_ >= 0)
        return true;
    if (fd_ >= 0)
        system_->Close(fd_);
    fd_ = system_->Open(paths_[drive]);
    current_ = drive;
    return fd_ >= 0;
}

CommandResult SgTransport::Execute(DriveIndex drive, const Cdb& cdb, std::uint8_t* buffer,
                                   std::uint16_t length, std::uint8_t direction,
                                   std::uint32_t timeoutMs) {
    using Kind = CommandResult::CodeKind;
    sense_ = SenseData{};
    if (!Select(drive))
        return CommandResult::Error(Kind::Errno, static_cast<std::uint32_t>(errno));
    std::uint8_t sense[32] = {};
    sg_io_hdr_t request =
        BuildSgIoRequest(cdb, buffer, length, direction, timeoutMs, sense, sizeof sense);
    // A drive may send less than asked for; the kernel may still have written the rest of the
    // buffer (a bounce buffer is copied back whole). What the drive did not send must not pass
    // for data: the caller's bytes beyond the residual count are put back as they were.
    const bool dataIn = request.dxfer_direction == SG_DXFER_FROM_DEV;
    if (dataIn)
        before_.assign(buffer, buffer + length);
    if (system_->Io(fd_, request) != 0)
        return CommandResult::Error(Kind::Errno, static_cast<std::uint32_t>(errno));
    if (dataIn && request.resid > 0) {
        const std::size_t sent = length - std::min<std::size_t>(request.resid, length);
        std::copy(before_.begin() + static_cast<std::ptrdiff_t>(sent), before_.end(),
                  buffer + sent);
    }
    std::memcpy(sense_.data(), sense, std::min<std::size_t>(request.sb_len_wr, sense_.size()));
    // Good only when the SCSI status, the host adapter's status and the driver's status all are.
    if ((request.info & SG_INFO_OK_MASK) == SG_INFO_OK)
        return CommandResult::Good();
    constexpr unsigned char kCheckCondition = 0x02;
    if (request.status == kCheckCondition || request.sb_len_wr > 0)
        return CommandResult::Check(sense_);
    if (request.host_status != 0)
        return CommandResult::Error(Kind::HostStatus, request.host_status);
    if (request.driver_status != 0)
        return CommandResult::Error(Kind::DriverStatus, request.driver_status);
    return CommandResult::Error(Kind::ScsiStatus, request.status);
}

}  // namespace kfs
