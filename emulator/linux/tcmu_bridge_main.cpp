// kfs-tcmu-bridge: serves one emulated drive on the command ring of a TCM-user back store, so
// that a tcm_loop target exports it to the kernel's SCSI stack as a CD-ROM device.
//
//   kfs-tcmu-bridge --uio /dev/uioN --emulate DRIVES.json [--device N] [--trace FILE]
//                   [--ready FILE] [--rom-out FILE]
//
// The drive is entry N (default 0) of the description. Every command the emulator answers is
// traced in the emulator's trace format; the kernel's own commands that the drive's command set
// lacks are answered by the bridge and not traced. --ready names a file made once the ring is
// mapped; --rom-out a file that receives the drive's flash ROM when the bridge ends. SIGTERM or
// SIGINT ends it.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <string>

#include "emulator/emulator.h"
#include "emulator/linux/drive_bridge.h"
#include "emulator/linux/tcmu_ring.h"

namespace {

volatile std::sig_atomic_t stopping = 0;

void Stop(int) {
    stopping = 1;
}

struct Options {
    std::string uio, emulate, trace, ready, romOut;
    int device = 0;
};

std::optional<Options> Parse(int argc, char** argv) {
    Options o;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string key = argv[i], value = argv[i + 1];
        if (key == "--uio")
            o.uio = value;
        else if (key == "--emulate")
            o.emulate = value;
        else if (key == "--trace")
            o.trace = value;
        else if (key == "--ready")
            o.ready = value;
        else if (key == "--rom-out")
            o.romOut = value;
        else if (key == "--device")
            o.device = std::atoi(value.c_str());
        else
            return std::nullopt;
    }
    if (argc % 2 == 0 || o.uio.empty() || o.emulate.empty())
        return std::nullopt;
    return o;
}

int Run(const Options& o) {
    auto drives = kfs::emu::DriveSet::FromFile(o.emulate);
    if (o.device < 0 || o.device >= drives.Count()) {
        std::fprintf(stderr, "kfs-tcmu-bridge: there is no drive %d\n", o.device);
        return 2;
    }
    if (!o.trace.empty() && !drives.SetTraceFile(o.trace)) {
        std::fprintf(stderr, "kfs-tcmu-bridge: cannot write %s\n", o.trace.c_str());
        return 2;
    }
    kfs::emu::bridge::TcmuRing ring(o.uio);
    kfs::emu::bridge::DriveBridge bridge(drives, o.device);
    if (!o.ready.empty())
        std::ofstream(o.ready) << o.uio << "\n";
    const auto handler = [&](const std::uint8_t* cdb, std::size_t cdbLength, std::uint8_t* data,
                             std::uint32_t length) {
        return bridge.Run(cdb, cdbLength, data, length);
    };
    ring.Serve(handler);  // commands queued before the bridge started
    while (!stopping) {
        if (ring.Wait(200))
            ring.Serve(handler);
    }
    if (!o.romOut.empty()) {
        const auto& rom = drives.drive(o.device).rom();
        std::ofstream(o.romOut, std::ios::binary)
            .write(reinterpret_cast<const char*>(rom.data()),
                   static_cast<std::streamsize>(rom.size()));
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const auto options = Parse(argc, argv);
    if (!options) {
        std::fputs(
            "usage: kfs-tcmu-bridge --uio /dev/uioN --emulate DRIVES.json [--device N] "
            "[--trace FILE] [--ready FILE] [--rom-out FILE]\n",
            stderr);
        return 2;
    }
    std::signal(SIGTERM, Stop);
    std::signal(SIGINT, Stop);
    try {
        return Run(*options);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "kfs-tcmu-bridge: %s\n", e.what());
        return 1;
    }
}
