#include "emulator/linux/tcmu_ring.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <vector>

#include "emulator/linux/tcmu_abi.h"

namespace kfs::emu::bridge {

namespace {

std::runtime_error Failure(const std::string& what) {
    return std::runtime_error(what + ": " + std::strerror(errno));
}

// Size of map 0 of a uio device, from sysfs ("0x..." in hexadecimal).
std::size_t MapSize(const std::string& uio_path) {
    const std::string name = uio_path.substr(uio_path.find_last_of('/') + 1);
    std::ifstream in("/sys/class/uio/" + name + "/maps/map0/size");
    std::string text;
    if (!(in >> text))
        throw std::runtime_error("cannot read the map size of " + name);
    return static_cast<std::size_t>(std::stoull(text, nullptr, 0));
}

}  // namespace

TcmuRing::TcmuRing(const std::string& uio_path) {
    size_ = MapSize(uio_path);
    fd_ = open(uio_path.c_str(), O_RDWR | O_CLOEXEC);
    if (fd_ < 0)
        throw Failure("cannot open " + uio_path);
    map_ = mmap(nullptr, size_, PROT_READ | PROT_WRITE, MAP_SHARED, fd_, 0);
    if (map_ == MAP_FAILED) {
        close(fd_);
        throw Failure("cannot map " + uio_path);
    }
    readLen_ = kfs_tcmu_takes_read_len(map_) != 0;
}

TcmuRing::~TcmuRing() {
    munmap(map_, size_);
    close(fd_);
}

bool TcmuRing::Wait(int timeout_ms) {
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, timeout_ms) <= 0)
        return false;
    std::uint32_t events = 0;
    return read(fd_, &events, sizeof events) == sizeof events;
}

int TcmuRing::Serve(const Handler& handler) {
    const std::uint32_t head = kfs_tcmu_head(map_);
    std::uint32_t tail = kfs_tcmu_tail(map_);
    int served = 0;
    std::vector<std::uint8_t> data;
    struct Area {
        std::uint8_t* at;
        std::size_t length;
    };
    std::vector<Area> areas;
    while (tail != head) {
        std::uint32_t length = 0;
        int isCommand = 0;
        void* entry = kfs_tcmu_entry(map_, tail, &length, &isCommand);
        if (isCommand) {
            std::uint8_t cdb[16] = {};
            const std::uint8_t* at = kfs_tcmu_cdb(map_, entry);
            const std::size_t cdbLength = std::min(KeptCdbLength(at[0]), sizeof cdb);
            std::memcpy(cdb, at, cdbLength);
            areas.clear();
            data.clear();
            for (std::uint32_t i = 0; i < kfs_tcmu_area_count(entry); ++i) {
                Area a{};
                a.at = kfs_tcmu_area(map_, entry, i, &a.length);
                areas.push_back(a);
                data.insert(data.end(), a.at, a.at + a.length);
            }
            const Answer answer =
                handler(cdb, cdbLength, data.data(), static_cast<std::uint32_t>(data.size()));
            std::size_t left = std::min<std::size_t>(answer.dataIn, data.size()), done = 0;
            for (const Area& a : areas) {
                const std::size_t n = std::min(left, a.length);
                std::memcpy(a.at, data.data() + done, n);
                done += n;
                left -= n;
            }
            const bool good = answer.status == kStatusGood;
            kfs_tcmu_complete(
                entry, answer.status, answer.sense.data(), good ? 0 : answer.sense.size(),
                good && readLen_ && answer.reads && answer.dataIn < data.size(), answer.dataIn);
            ++served;
        }
        tail += length;
        kfs_tcmu_set_tail(map_, tail);
        tail = kfs_tcmu_tail(map_);
    }
    if (served > 0) {
        const std::uint32_t done = 0;
        if (write(fd_, &done, sizeof done) != sizeof done)
            throw Failure("cannot complete commands");
    }
    return served;
}

}  // namespace kfs::emu::bridge
