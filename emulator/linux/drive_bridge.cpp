#include "emulator/linux/drive_bridge.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "container/byte_order.h"

namespace kfs::emu::bridge {

namespace {

// Size of the blank disc the bridge shows when the description puts a medium in the drive.
constexpr std::uint32_t kDiscBlocks = 0x4000;
constexpr std::uint32_t kBlockSize = 2048;

using Cdb12 = std::array<std::uint8_t, 12>;

bool IsVendor(const Cdb12& c, std::uint8_t page, std::uint8_t sub) {
    return c[0] == 0x5A && c[2] == page && c[3] == 0x4B && c[4] == 0x45 && c[5] == sub;
}

Answer Good(std::uint8_t* data, std::uint32_t length, const std::uint8_t* reply, std::size_t size) {
    const auto n = static_cast<std::uint32_t>(std::min<std::size_t>(size, length));
    if (n > 0)
        std::memcpy(data, reply, n);
    return {kStatusGood, Sense{}, n, true, true};
}

Answer Check(std::uint8_t key, std::uint8_t asc, std::uint8_t ascq) {
    return {kStatusCheckCondition, MakeSense(key, asc, ascq), 0, true, true};
}

Answer NoMedium(const Drive& d) {
    return Check(0x02, 0x3A, d.trayOpen ? 0x02 : 0x01);
}

// MODE SENSE(6), the CD capabilities and mechanical status page only: reads CD-R/RW, no
// writing, a tray that locks and ejects.
Answer ModeSense6(const Cdb12& c, std::uint8_t* data, std::uint32_t length) {
    const std::uint8_t page = c[2] & 0x3F;
    if (page != 0x2A && page != 0x3F)
        return Check(0x05, 0x24, 0x00);
    std::uint8_t reply[4 + 28] = {};
    reply[0] = sizeof reply - 1;
    std::uint8_t* p = reply + 4;
    p[0] = 0x2A;
    p[1] = 26;
    p[2] = 0x03;            // reads CD-R and CD-RW
    p[4] = 0x71;            // audio play, mode 2 form 1 and 2
    p[6] = 0x29;            // tray loading mechanism, eject, lock
    PutBe16(p + 8, 5644);   // maximum read speed, kB/s (32x)
    PutBe16(p + 14, 5644);  // current read speed
    return Good(data, std::min<std::uint32_t>(length, c[4]), reply, sizeof reply);
}

// GET CONFIGURATION: the profile list, with CD-ROM current when there is a disc.
Answer GetConfiguration(const Drive& d, const Cdb12& c, std::uint8_t* data, std::uint32_t length) {
    std::uint8_t reply[16] = {};
    PutBe32(reply, sizeof reply - 4);
    if (d.medium && !d.trayOpen)
        PutBe16(reply + 6, 0x0008);
    reply[10] = 0x03;  // profile list: persistent, current
    reply[11] = 4;
    PutBe16(reply + 12, 0x0008);
    reply[14] = d.medium ? 0x01 : 0x00;
    return Good(data, std::min<std::uint32_t>(length, GetBe16(&c[7])), reply, sizeof reply);
}

// READ TOC format 0: one data track and the lead-out.
Answer ReadToc(const Drive& d, const Cdb12& c, std::uint8_t* data, std::uint32_t length) {
    if (!d.medium || d.trayOpen)
        return NoMedium(d);
    if ((c[2] & 0x0F) != 0)
        return Check(0x05, 0x24, 0x00);
    std::uint8_t reply[20] = {0, 18, 1, 1};
    std::uint8_t* track = reply + 4;
    track[1] = 0x14;  // data track, recorded uninterrupted
    track[2] = 1;
    std::uint8_t* leadOut = reply + 12;
    leadOut[1] = 0x14;
    leadOut[2] = 0xAA;
    PutBe32(leadOut + 4, kDiscBlocks);
    return Good(data, std::min<std::uint32_t>(length, GetBe16(&c[7])), reply, sizeof reply);
}

Answer ReadCapacity(const Drive& d, std::uint8_t* data, std::uint32_t length) {
    if (!d.medium || d.trayOpen)
        return NoMedium(d);
    std::uint8_t reply[8];
    PutBe32(reply, kDiscBlocks - 1);
    PutBe32(reply + 4, kBlockSize);
    return Good(data, length, reply, sizeof reply);
}

Answer Read10(const Drive& d, std::uint8_t* data, std::uint32_t length) {
    if (!d.medium || d.trayOpen)
        return NoMedium(d);
    std::memset(data, 0, length);
    return {kStatusGood, Sense{}, length, true, true};
}

// The kernel's own commands that the drive's command set lacks; nothing for the others.
std::optional<Answer> AnswerForKernel(const Drive& d, const Cdb12& c, std::uint8_t* data,
                                      std::uint32_t length) {
    switch (c[0]) {
        case 0x12:  // INQUIRY of a vital product data page: this drive has none
            if (c[1] & 0x01)
                return Check(0x05, 0x24, 0x00);
            return std::nullopt;
        case 0x1A:
            return ModeSense6(c, data, length);
        case 0x25:
            return ReadCapacity(d, data, length);
        case 0x28:
            return Read10(d, data, length);
        case 0x43:
            return ReadToc(d, c, data, length);
        case 0x46:
            return GetConfiguration(d, c, data, length);
        case 0x51:  // READ DISC INFORMATION
            return d.medium && !d.trayOpen ? Check(0x05, 0x24, 0x00) : NoMedium(d);
        default:
            return std::nullopt;
    }
}

}  // namespace

std::size_t KeptCdbLength(std::uint8_t opcode) {
    static constexpr std::size_t kByGroup[8] = {6, 10, 10, 10, 16, 12, 10, 10};
    return kByGroup[opcode >> 5];
}

std::uint8_t DirectionOf(const Cdb12& c) {
    switch (c[0]) {
        case 0x15:  // MODE SELECT(6)
        case 0x2A:  // WRITE(10)
        case 0x3B:  // WRITE BUFFER
        case 0x55:  // MODE SELECT(10)
        case 0xFA:  // Philips block
        case 0xFD:  // ALi block
            return kDirOut;
        case 0x5A:
            if (IsVendor(c, 0x38, 0xA0))  // bank write, half write, trigger
                return kDirOut;
            if (IsVendor(c, 0x34, 0x0B) && c[6] == 0x01)  // set the check sum
                return kDirOut;
            return kDirIn;
        default:
            return kDirIn;
    }
}

DriveBridge::DriveBridge(DriveSet& set, int device)
    : set_(set), device_(device), last_(std::chrono::steady_clock::now()) {}

void DriveBridge::FollowWallClock() {
    const auto now = std::chrono::steady_clock::now();
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now - last_).count();
    if (ms <= 0)
        return;
    // A drive described with a time scale passes its busy times that much sooner.
    const long long scaled = ms * set_.drive(device_).description().timeScale;
    set_.Advance(static_cast<std::uint32_t>(std::min<long long>(scaled, 0xFFFFFFFF)));
    last_ += std::chrono::milliseconds(ms);
}

Answer DriveBridge::Run(const std::uint8_t* cdb, std::size_t cdb_length, std::uint8_t* data,
                        std::uint32_t length) {
    FollowWallClock();
    Cdb12 c{};
    std::memcpy(c.data(), cdb, std::min(cdb_length, c.size()));
    if (auto answer = AnswerForKernel(set_.drive(device_), c, data, length))
        return *answer;

    // The drive's commands carry at most 65535 bytes.
    const auto transfer = static_cast<std::uint16_t>(std::min<std::uint32_t>(length, 0xFFFF));
    if (IsVendor(c, 0x38, 0x11))  // ROM read: its length sits in the dropped bytes 10-11
        PutBe16(&c[10], transfer);
    const std::uint8_t direction = transfer == 0 ? 0 : DirectionOf(c);
    const Outcome o = set_.Execute(device_, c.data(), data, transfer, direction);
    const bool reads = direction != kDirOut;
    if (!o.good)
        return {kStatusCheckCondition, o.sense, 0, false, reads, o.unanswered};
    return {kStatusGood, Sense{}, reads ? o.transferred : 0, false, reads};
}

}  // namespace kfs::emu::bridge
