#include "emulator/iscsi/target.h"

#include <algorithm>
#include <cstring>
#include <fstream>

namespace kfs::emu::iscsi {

namespace {

bridge::Answer Reply(std::uint8_t* data, std::uint32_t length,
                     const std::vector<std::uint8_t>& reply) {
    const auto n = static_cast<std::uint32_t>(std::min<std::size_t>(reply.size(), length));
    std::copy_n(reply.begin(), n, data);
    return {bridge::kStatusGood, Sense{}, n, true, true};
}

bridge::Answer ReportLuns(std::size_t count, std::uint8_t* data, std::uint32_t length) {
    std::vector<std::uint8_t> reply(8 + 8 * count, 0);
    const auto list = static_cast<std::uint32_t>(8 * count);
    for (int i = 0; i < 4; ++i)
        reply[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(list >> (24 - 8 * i));
    for (std::size_t lun = 0; lun < count; ++lun) {
        reply[8 + 8 * lun] = lun < 256 ? 0 : static_cast<std::uint8_t>(0x40 | (lun >> 8));
        reply[9 + 8 * lun] = static_cast<std::uint8_t>(lun);
    }
    return Reply(data, length, reply);
}

bridge::Answer NoUnit(const std::uint8_t* cdb, std::uint8_t* data, std::uint32_t length) {
    if (cdb[0] == 0x12) {  // INQUIRY: peripheral qualifier 3, no device type
        std::vector<std::uint8_t> reply(36, 0);
        reply[0] = 0x7F;
        reply[4] = 31;
        return Reply(data, length, reply);
    }
    return {bridge::kStatusCheckCondition, MakeSense(0x05, 0x25, 0x00), 0, true, true};
}

// The vital product data pages the unit has: none but this list. QEMU's iSCSI block driver
// reads it while it opens a unit and gives up when the unit refuses.
bridge::Answer SupportedPages(std::uint8_t* data, std::uint32_t length) {
    return Reply(data, length, {0x05, 0x00, 0x00, 0x01, 0x00});
}

bool IsNoMedium(const bridge::Answer& a) {
    return a.status == bridge::kStatusCheckCondition && a.sense[2] == 0x02 && a.sense[12] == 0x3A;
}

// READ CAPACITY of a drive without a disc. QEMU's iSCSI block driver opens a CD-ROM unit only
// when READ CAPACITY succeeds with a block size that is a multiple of 512, and a drive without a
// disc refuses it; the answer is then that of a blank disc (last block 0, 2048-byte blocks),
// which QEMU takes for "blank disc loaded". Everything else still says there is no disc.
bridge::Answer BlankDiscCapacity(std::uint8_t* data, std::uint32_t length) {
    return Reply(data, length, {0, 0, 0, 0, 0, 0, 0x08, 0});
}

}  // namespace

LogicalUnit::LogicalUnit(const std::string& path, int device)
    : set_(DriveSet::FromFile(path)), device_(device), bridge_(set_, device) {}

bridge::Answer LogicalUnit::Run(const std::uint8_t* cdb, std::uint8_t* data, std::uint32_t length) {
    std::lock_guard lock(mutex_);
    // iSCSI carries the CDB whole: all 12 bytes reach the drive.
    return bridge_.Run(cdb, 12, data, length);
}

bool LogicalUnit::SetTraceFile(const std::string& path) {
    std::lock_guard lock(mutex_);
    return set_.SetTraceFile(path);
}

bool LogicalUnit::Finish(const std::string& rom_path) {
    std::lock_guard lock(mutex_);
    set_.SetTraceFile("");
    if (rom_path.empty())
        return true;
    const auto& rom = set_.drive(device_).rom();
    std::ofstream out(rom_path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(rom.data()), static_cast<std::streamsize>(rom.size()));
    return static_cast<bool>(out);
}

bridge::Answer Target::Run(int lun, const std::uint8_t* cdb, std::uint8_t* data,
                           std::uint32_t length) {
    if (cdb[0] == 0xA0)
        return ReportLuns(units.size(), data, length);
    if (lun < 0 || static_cast<std::size_t>(lun) >= units.size())
        return NoUnit(cdb, data, length);
    if (cdb[0] == 0x12 && (cdb[1] & 0x01) != 0 && cdb[2] == 0x00)
        return SupportedPages(data, length);
    const bridge::Answer answer = units[static_cast<std::size_t>(lun)]->Run(cdb, data, length);
    if (cdb[0] == 0x25 && IsNoMedium(answer))
        return BlankDiscCapacity(data, length);
    return answer;
}

}  // namespace kfs::emu::iscsi
