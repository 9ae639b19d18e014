#pragma once
// The logical units of the target: one emulated drive each, answered through the same bridge as
// the TCM-user back store, so the kernel's own commands get the same answers and the emulator's
// trace has the same form. A unit takes one command at a time, whichever connection sends it.
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "emulator/emulator.h"
#include "emulator/linux/drive_bridge.h"

namespace kfs::emu::iscsi {

class LogicalUnit {
  public:
    // Drive `device` of the description in `path`, with its own drive set and clock.
    LogicalUnit(const std::string& path, int device);

    bridge::Answer Run(const std::uint8_t* cdb, std::uint8_t* data, std::uint32_t length);
    bool SetTraceFile(const std::string& path);
    // Stops tracing and writes the drive's flash ROM to `path`; false when it cannot.
    bool Finish(const std::string& rom_path);

  private:
    std::mutex mutex_;
    DriveSet set_;
    int device_;
    bridge::DriveBridge bridge_;
};

struct Target {
    std::string name;     // the target's iSCSI qualified name
    std::string address;  // "host:port,portal group tag", answered to SendTargets
    std::vector<std::unique_ptr<LogicalUnit>> units;

    // Runs a command on logical unit `lun`. REPORT LUNS is answered here, and a unit that is
    // not there answers INQUIRY with "no device" and everything else with 5/25/00.
    bridge::Answer Run(int lun, const std::uint8_t* cdb, std::uint8_t* data, std::uint32_t length);
};

}  // namespace kfs::emu::iscsi
