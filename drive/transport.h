#pragma once
// The command transport contract: the only way the layers above talk to a drive. A drive is named
// by its index in the transport's drive table; a command is a 12-byte CDB with an optional data
// phase whose direction uses the ASPI values.
#include <array>
#include <cstdint>
#include <optional>
#include <vector>

#include "drive/command_result.h"

namespace kfs {

using DriveIndex = std::uint8_t;
using Cdb = std::array<std::uint8_t, 12>;

// ASPI direction byte (SRB_DIR_IN / SRB_DIR_OUT; anything else means no data phase).
enum Direction : std::uint8_t {
    kDirNone = 0x00,
    kDirIn = 0x08,
    kDirOut = 0x10,
};

// Time-outs that callers pass: ordinary commands, and the long flash programming steps.
constexpr std::uint32_t kDefaultTimeoutMs = 20000;
constexpr std::uint32_t kLongTimeoutMs = 120000;

// A command and what became of it.
struct SentCommand {
    Cdb cdb{};
    CommandResult result;
};

class Transport {
  public:
    virtual ~Transport() = default;

    // Runs `cdb` on the drive; good exactly when the command completed without error. An index
    // outside the drive table fails without touching any drive. The time-out is honoured where
    // the back end can honour it. The result is kept for LastCommand and LastFailure.
    CommandResult SendPacketCommand(DriveIndex drive, const Cdb& cdb, std::uint8_t* buffer,
                                    std::uint16_t length, std::uint8_t direction,
                                    std::uint32_t timeoutMs = kDefaultTimeoutMs) {
        CommandResult result =
            IsValidDriveIndex(drive)
                ? Execute(drive, cdb, buffer, length, direction, timeoutMs)
                : CommandResult::Error(CommandResult::CodeKind::InvalidDrive, drive);
        last_ = {cdb, result};
        if (!result.good())
            lastFailure_ = last_;
        return result;
    }

    // The last command sent, and the last one that failed (kept until ForgetFailure): the cause
    // behind a procedure's failure text, for the front ends to show or log.
    const SentCommand& LastCommand() const { return last_; }
    const std::optional<SentCommand>& LastFailure() const { return lastFailure_; }
    void ForgetFailure() { lastFailure_.reset(); }

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

  protected:
    // The back end's part of SendPacketCommand, for a drive inside the table.
    virtual CommandResult Execute(DriveIndex drive, const Cdb& cdb, std::uint8_t* buffer,
                                  std::uint16_t length, std::uint8_t direction,
                                  std::uint32_t timeoutMs) = 0;

  private:
    SentCommand last_;
    std::optional<SentCommand> lastFailure_;
};

}  // namespace kfs
