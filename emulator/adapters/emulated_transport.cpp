#include "emulator/adapters/emulated_transport.h"

namespace kfs {

EmulatedTransport::EmulatedTransport(emu::DriveSet& drives) : drives_(drives) {
    for (int i = 0; i < drives.Count() && DriveCount() < kMaxDrives; ++i)
        if (drives.drive(i).description().deviceType == emu::kDeviceTypeCdRom)
            table_.push_back(i);
}

CommandResult EmulatedTransport::Execute(DriveIndex drive, const Cdb& cdb, std::uint8_t* buffer,
                                         std::uint16_t length, std::uint8_t direction,
                                         std::uint32_t /*timeoutMs: commands finish at once*/) {
    emu::Outcome outcome = drives_.Execute(table_[drive], cdb.data(), buffer, length, direction);
    sense_ = outcome.sense;
    // A command the drive never answers ends as SG_IO ends one whose time-out ran out: the
    // host adapter's status DID_TIME_OUT, no SCSI status, no sense.
    constexpr std::uint32_t kHostTimedOut = 0x03;
    if (outcome.unanswered)
        return CommandResult::Error(CommandResult::CodeKind::HostStatus, kHostTimedOut);
    if (outcome.systemError != 0)
        return CommandResult::Error(CommandResult::CodeKind::Errno,
                                    static_cast<std::uint32_t>(outcome.systemError));
    return outcome.good ? CommandResult::Good() : CommandResult::Check(sense_);
}

}  // namespace kfs
