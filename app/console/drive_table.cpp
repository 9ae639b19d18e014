#include "app/console/drive_table.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>

#include "drive/identification.h"
#include "emulator/adapters/emulated_transport.h"

namespace kfs::console {

namespace {

constexpr std::uint8_t kPeripheralTypeMask = 0x1F;
constexpr std::uint8_t kPeripheralCdDvd = 0x05;

std::string TrimRight(std::string text) {
    const auto end = text.find_last_not_of(' ');
    text.erase(end == std::string::npos ? 0 : end + 1);
    return text;
}

// INQUIRY's peripheral device type: 05h is a CD/DVD device. Anything else behind an sr node (or
// a stand-in that does not answer at all) is not a drive this program can flash.
bool IsOpticalDrive(Transport& transport, DriveIndex drive) {
    std::uint8_t reply[256] = {};
    if (!transport.SendPacketCommand(drive, kInquiryCdb, reply, 255, kDirIn))
        return false;
    return (reply[0] & kPeripheralTypeMask) == kPeripheralCdDvd;
}

std::string GroupOf(const std::string& path) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0)
        return "";
    if (const group* g = getgrgid(st.st_gid))
        return g->gr_name;
    return std::to_string(st.st_gid);
}

}  // namespace

// The system calls behind the SG transport: /dev (or a stand-in directory), with every failed
// open remembered for the listing, and exclusive opens for the update.
class DriveTable::System : public SgSystem {
  public:
    System(std::string devDir, std::string only, bool exclusive)
        : devDir_(std::move(devDir)), only_(std::move(only)), exclusive_(exclusive) {}

    std::vector<std::string> ListDeviceNames() override {
        std::vector<std::string> names;
        if (DIR* dir = opendir(devDir_.c_str())) {
            while (dirent* entry = readdir(dir))
                if (only_.empty() || only_ == entry->d_name)
                    names.emplace_back(entry->d_name);
            closedir(dir);
        }
        return names;
    }
    int Open(const std::string& path) override {
        const std::string real = RealPath(path);
        // Non-blocking, so that a drive without a disc opens at all. Identification works on
        // a read-only descriptor; the update needs write access and excludes other programs.
        int fd = open(real.c_str(), O_RDWR | O_NONBLOCK | (exclusive_ ? O_EXCL : 0));
        if (fd < 0 && !exclusive_)
            fd = open(real.c_str(), O_RDONLY | O_NONBLOCK);
        if (fd < 0)
            failures_[path] = UnopenedDevice{path, errno, GroupOf(real)};
        else
            failures_.erase(path);
        return fd;
    }
    void Close(int fd) override { close(fd); }
    int Io(int fd, sg_io_hdr_t& request) override { return ioctl(fd, SG_IO, &request); }

    const std::map<std::string, UnopenedDevice>& failures() const { return failures_; }

  private:
    // Device paths are named as under /dev; a stand-in directory takes their place.
    std::string RealPath(const std::string& path) const {
        constexpr char kDev[] = "/dev/";
        if (path.rfind(kDev, 0) == 0)
            return devDir_ + "/" + path.substr(sizeof kDev - 1);
        return path;
    }

    std::string devDir_, only_;
    bool exclusive_;
    std::map<std::string, UnopenedDevice> failures_;
};

std::string DriveIdentity::Vendor() const {
    return TrimRight(model.substr(0, std::min<std::size_t>(8, model.size())));
}

std::string DriveIdentity::Product() const {
    return model.size() > 8 ? TrimRight(model.substr(8)) : "";
}

DriveIdentity ReadDriveIdentity(Transport& transport, DriveIndex drive) {
    return {GetDriveModelName(transport, drive), GetDriveVersion(transport, drive),
            GetDriveHardwareId(transport, drive), GetDriveDateCode(transport, drive)};
}

std::string OpenFailureReason(const UnopenedDevice& device) {
    return std::strerror(device.error);
}

std::string OpenFailureAdvice(const UnopenedDevice& device) {
    switch (device.error) {
        case EACCES:
        case EPERM:
            if (!device.group.empty() && device.group != "root")
                return "run as root, or join the group '" + device.group +
                       "' that owns the device (then log in again)";
            return "run as root, or give your user access to the device";
        case EBUSY:
            return "another program holds the drive: unmount its disc and close programs "
                   "that use it";
        case ENOMEDIUM:
        case ENXIO:
        case ENODEV:
            return "the device does not answer: check that the drive is connected";
        default:
            return "check that the device is an optical drive and that it is connected";
    }
}

std::unique_ptr<DriveTable> DriveTable::ForMachine(const std::string& devDir) {
    std::unique_ptr<DriveTable> table(new DriveTable());
    table->devDir_ = devDir;
    auto system = std::make_unique<System>(devDir, "", false);
    table->system_ = system.get();
    auto sg = std::make_unique<SgTransport>(std::move(system));
    std::vector<std::string> paths;
    for (int i = 0; i < sg->DriveCount(); ++i)
        paths.push_back(sg->DevicePath(static_cast<DriveIndex>(i)));
    table->leftOut_ = sg->LeftOut();
    table->base_ = std::move(sg);
    for (const auto& [path, failure] : table->system_->failures())
        table->unopened_.push_back(failure);
    table->KeepOpticalDrives(paths);
    return table;
}

std::unique_ptr<DriveTable> DriveTable::ForEmulator(emu::DriveSet& drives) {
    std::unique_ptr<DriveTable> table(new DriveTable());
    auto emulated = std::make_unique<EmulatedTransport>(drives);
    std::vector<std::string> paths;
    for (int i = 0; i < emulated->DriveCount(); ++i)
        paths.push_back("emulated:" +
                        std::to_string(emulated->DeviceOf(static_cast<DriveIndex>(i))));
    table->base_ = std::move(emulated);
    table->KeepOpticalDrives(paths);
    return table;
}

DriveTable::~DriveTable() = default;

void DriveTable::KeepOpticalDrives(const std::vector<std::string>& basePaths) {
    for (int i = 0; i < base_->DriveCount(); ++i) {
        if (!IsOpticalDrive(*base_, static_cast<DriveIndex>(i)))
            continue;
        baseIndex_.push_back(i);
        paths_.push_back(basePaths.at(static_cast<std::size_t>(i)));
    }
}

std::optional<DriveIndex> DriveTable::Find(const std::string& pathOrIndex) const {
    for (std::size_t i = 0; i < paths_.size(); ++i)
        if (paths_[i] == pathOrIndex)
            return static_cast<DriveIndex>(i);
    if (pathOrIndex.empty() || pathOrIndex.size() > 3 ||
        pathOrIndex.find_first_not_of("0123456789") != std::string::npos)
        return std::nullopt;
    const int index = std::stoi(pathOrIndex);
    if (!IsValidDriveIndex(index))
        return std::nullopt;
    return static_cast<DriveIndex>(index);
}

CommandResult DriveTable::Execute(DriveIndex drive, const Cdb& cdb, std::uint8_t* buffer,
                                  std::uint16_t length, std::uint8_t direction,
                                  std::uint32_t timeoutMs) {
    if (exclusive_) {
        if (drive != exclusiveDrive_)
            return CommandResult::Error(CommandResult::CodeKind::InvalidDrive, drive);
        return exclusive_->SendPacketCommand(0, cdb, buffer, length, direction, timeoutMs);
    }
    if (!base_)  // a failed exclusive open left no descriptor
        return CommandResult::Error(CommandResult::CodeKind::Errno, EBADF);
    return base_->SendPacketCommand(static_cast<DriveIndex>(baseIndex_[drive]), cdb, buffer, length,
                                    direction, timeoutMs);
}

SenseData DriveTable::GetSenseData() const {
    if (exclusive_)
        return exclusive_->GetSenseData();
    return base_ ? base_->GetSenseData() : SenseData{};
}

std::optional<std::string> DriveTable::OpenExclusive(DriveIndex drive) {
    if (!IsValidDriveIndex(drive))
        return "there is no drive " + std::to_string(drive);
    if (!system_)
        return std::nullopt;  // emulated drives belong to this process alone
    const std::string& path = paths_[drive];
    // The shared descriptor goes first, so that only the exclusive one stays open.
    base_.reset();
    system_ = nullptr;
    auto system = std::make_unique<System>(devDir_, path.substr(path.rfind('/') + 1), true);
    System* exclusiveSystem = system.get();
    auto sg = std::make_unique<SgTransport>(std::move(system));
    if (sg->DriveCount() != 1) {
        const auto failure = exclusiveSystem->failures().find(path);
        if (failure == exclusiveSystem->failures().end()) {
            // Not even listed any more: the device node went away with the drive.
            struct stat st {};
            const std::string node = devDir_ + "/" + path.substr(path.rfind('/') + 1);
            if (stat(node.c_str(), &st) != 0)
                return "cannot open " + path + " again: " + std::strerror(errno) +
                       " (the drive was removed)";
            return "cannot open " + path + " again: it no longer answers as an optical drive";
        }
        if (failure->second.error == EBUSY)
            return path +
                   " is held by another program (a mounted disc, a burning program or a "
                   "disc monitor): close it and try again";
        return "cannot open " + path + " for writing: " + OpenFailureReason(failure->second) +
               "; " + OpenFailureAdvice(failure->second);
    }
    exclusive_ = std::move(sg);
    exclusiveDrive_ = drive;
    return std::nullopt;
}

}  // namespace kfs::console
