// kfsflash: the update on a terminal, over the same presenter as the window. Drives come from the
// machine (SG_IO on /dev/srN) or from an emulator description; the firmware from a file or from
// the tagged buffers of an updater copy. It never restarts the machine.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/console/command_recorder.h"
#include "app/console/exit_status.h"
#include "app/console/options.h"
#include "app/console/session.h"
#include "container/embedded_buffers.h"
#include "container/file_helpers.h"
#include "container/record_finder.h"
#include "emulator/adapters/emulator_clock.h"
#include "emulator/emulator.h"

namespace kfs::console {
namespace {

// Test seam: a directory standing in for /dev (its srN entries are the devices).
constexpr char kDevDirVariable[] = "KFSFLASH_DEV_DIR";

int Fail(int status, const std::string& problem) {
    std::fprintf(stderr, "kfsflash: %s\n", problem.c_str());
    return status;
}

int Run(int argc, char** argv) {
    const ParseResult parsed = ParseCommandLine(argc, argv);
    if (!parsed.options)
        return parsed.exitStatus;
    const Options& o = *parsed.options;

    // Parameter text and firmware buffers.
    // By default the program's own tagged buffers, as the Windows program reads its own: empty
    // until kfsmerge fills a copy, and an empty parameter buffer means the built-in text.
    std::vector<std::uint8_t> exe, parameterText;
    EmbeddedData embedded{ParameterBufferData(), EmbeddedFirmware::FromProgram()};
    if (o.embedded) {
        auto bytes = ReadWholeFile(*o.embedded);
        if (!bytes)
            return Fail(kExitNothingWritten, "cannot read " + *o.embedded);
        exe = std::move(*bytes);
        const RecordLocations at = FindBufferRecords(exe);
        if (!at.found)
            return Fail(kExitNothingWritten, *o.embedded + ": " + at.error);
        const auto area = [&](BufferId id) {
            const auto i = static_cast<std::size_t>(id);
            return std::span<const std::uint8_t>(exe).subspan(at.dataOffset[i],
                                                              kBufferRecords[i].capacity);
        };
        embedded.parameters = area(BufferId::kParameters);
        embedded.firmware.Cvt = area(BufferId::kCvt);
        embedded.firmware.Kfs = {area(BufferId::kKfs1), area(BufferId::kKfs2),
                                 area(BufferId::kKfs3)};
    }
    if (o.parameters) {
        auto bytes = ReadWholeFile(*o.parameters);
        if (!bytes)
            return Fail(kExitNothingWritten, "cannot read " + *o.parameters);
        parameterText = std::move(*bytes);
        parameterText.push_back(0);  // the buffer's text ends at its first zero byte
        embedded.parameters = parameterText;
    }

    // Drives and time.
    std::optional<emu::DriveSet> drives;
    // An emulated drive with a rom_file keeps its flash for the next run, whatever the outcome.
    struct SaveFlash {
        std::optional<emu::DriveSet>& drives;
        ~SaveFlash() {
            if (drives)
                drives->SaveRomFiles();
        }
    } saveFlash{drives};
    std::unique_ptr<DriveTable> table;
    std::unique_ptr<Clock> clock;
    try {
        if (o.emulate) {
            drives.emplace(emu::DriveSet::FromFile(*o.emulate));
            table = DriveTable::ForEmulator(*drives);
            clock = std::make_unique<EmulatorClock>(*drives);
        } else {
            const char* devDir = std::getenv(kDevDirVariable);
            table = DriveTable::ForMachine(devDir && *devDir ? devDir : "/dev");
            clock = std::make_unique<RealClock>();
        }
    } catch (const emu::DescriptionError& e) {
        return Fail(kExitUsage, e.what());
    }
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> trace(nullptr, &std::fclose);
    if (o.trace) {
        trace.reset(std::fopen(o.trace->c_str(), "w"));
        if (!trace)
            return Fail(kExitUsage, "cannot write " + *o.trace);
    }
    CommandRecorder recorder(*table, trace.get());

    Streams io;
    io.terminal = {isatty(STDIN_FILENO) != 0, isatty(STDERR_FILENO) != 0};
    io.failures = [&recorder] { return recorder.TakeFailure(); };
    if (o.list || o.noArguments) {
        const int status = ListDrives(*table, recorder, o.json, io);
        if (o.noArguments)
            PrintHowToGoOn(io);
        return status;
    }
    return RunUpdate(o, embedded, *table, recorder, *clock, io, argv[0]);
}

}  // namespace
}  // namespace kfs::console

int main(int argc, char** argv) {
    return kfs::console::Run(argc, argv);
}
