#pragma once
// The command ring of a TCM-user back store, reached through its /dev/uioN device: the kernel's
// target layer queues SCSI commands in a ring in shared memory and user space answers them in
// place, then writes to the device to complete them.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "emulator/linux/drive_bridge.h"

namespace kfs::emu::bridge {

class TcmuRing {
  public:
    // Maps the ring of `uio_path` ("/dev/uioN"). Throws std::runtime_error with the cause.
    explicit TcmuRing(const std::string& uio_path);
    ~TcmuRing();
    TcmuRing(const TcmuRing&) = delete;
    TcmuRing& operator=(const TcmuRing&) = delete;

    // Waits up to `timeout_ms` for the kernel to signal new commands; false on time-out.
    bool Wait(int timeout_ms);

    // The answer to one command: `cdb` with the bytes the target layer kept, and the data area
    // gathered into one buffer of `length` bytes.
    using Handler = std::function<Answer(const std::uint8_t* cdb, std::size_t cdb_length,
                                         std::uint8_t* data, std::uint32_t length)>;
    // Answers every queued command and tells the kernel; the number answered.
    int Serve(const Handler& handler);

  private:
    int fd_ = -1;
    void* map_ = nullptr;
    std::size_t size_ = 0;
    bool readLen_ = false;  // the kernel takes a short data-in length
};

}  // namespace kfs::emu::bridge
