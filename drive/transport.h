#pragma once
// The command transport contract: the only way the layers above talk to a drive. A drive is named
// by its index in the transport's drive table; a command is a 12-byte CDB with an optional data
// phase whose direction uses the ASPI values.
#include <array>
#include <cstdint>
#include <vector>

namespace kfs {

using DriveIndex = std::uint8_t;
using Cdb = std::array<std::uint8_t, 12>;
using SenseData = std::array<std::uint8_t, 18>;

// ASPI direction byte (SRB_DIR_IN / SRB_DIR_OUT; anything else means no data phase).
enum Direction : std::uint8_t {
    kDirNone = 0x00,
    kDirIn = 0x08,
    kDirOut = 0x10,
};

// Time-outs that callers pass: ordinary commands, and the long flash programming steps.
constexpr std::uint32_t kDefaultTimeoutMs = 20000;
constexpr std::uint32_t kLongTimeoutMs = 120000;

class Transport {
  public:
    virtual ~Transport() = default;

    // Runs `cdb` on the drive; true exactly when the command completed without error. An index
    // outside the drive table fails without touching any drive. The time-out is honoured where
    // the back end can honour it.
    virtual bool SendPacketCommand(DriveIndex drive, const Cdb& cdb, std::uint8_t* buffer,
                                   std::uint16_t length, std::uint8_t direction,
                                   std::uint32_t timeoutMs = kDefaultTimeoutMs) = 0;

    // The 18 sense bytes of the last command. Sense key = byte 2 & 0x0F, code = byte 12,
    // qualifier = byte 13.
    virtual SenseData GetSenseData() const = 0;

    // Number of valid entries in the drive table (at most 20).
    virtual int DriveCount() const = 0;

    bool IsValidDriveIndex(int index) const { return index >= 0 && index < DriveCount(); }

    // Every valid index, ascending.
    std::vector<DriveIndex> GetDriveIndexList() const {
        std::vector<DriveIndex> list;
        for (int i = 0; i < DriveCount(); ++i) list.push_back(static_cast<DriveIndex>(i));
        return list;
    }
};

}  // namespace kfs
