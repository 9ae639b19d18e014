// kfsflash: the update on a terminal, over the same presenter as the window. Drives come from the
// machine (SG_IO on /dev/srN) or from an emulator description; the firmware from a file or from
// the tagged buffers of an updater copy. It never restarts the machine.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/console/command_recorder.h"
#include "app/console/exit_status.h"
#include "app/console/options.h"
#include "app/console/session.h"
#include "app/console/signal_hold.h"
#include "app/console/visible_text.h"
#include "container/embedded_buffers.h"
#include "container/file_helpers.h"
#include "container/firmware_file.h"
#include "container/record_finder.h"
#include "emulator/adapters/emulator_clock.h"
#include "emulator/emulator.h"

namespace kfs::console {
namespace {

// Test seam: a directory standing in for /dev (its srN entries are the devices).
constexpr char kDevDirVariable[] = "KFSFLASH_DEV_DIR";

// What each input may weigh: a description or a parameter text is a small text, an updater copy
// a program, a firmware file at most what the loader takes.
constexpr std::uint64_t kMaxTextInput = 1024 * 1024;
constexpr std::uint64_t kMaxProgramInput = 64 * 1024 * 1024;

int Fail(int status, const std::string& problem) {
    std::fprintf(stderr, "kfsflash: %s\n", Visible(problem).c_str());
    return status;
}

// The inputs read by name, with what each may weigh.
struct Input {
    const char* option;
    const std::optional<std::string>& path;
    std::uint64_t limit;
};

// Every input is a regular file of a bounded size: a FIFO would hang the program, a device
// such as /dev/zero would be read until memory runs out. A firmware file that does not exist
// is left to the loader, which says so in its own words.
std::optional<std::string> CheckInputs(const std::vector<Input>& inputs) {
    for (const Input& input : inputs) {
        if (!input.path)
            continue;
        std::error_code error;
        if (std::string(input.option) == "FILE" && !std::filesystem::exists(*input.path, error))
            continue;
        if (const auto problem = CheckRegularFile(*input.path, input.limit))
            return *input.path + " (" + input.option + "): " + *problem + "; nothing was written";
    }
    return std::nullopt;
}

// Both names lead to the same place, whether it exists yet or not.
bool SameName(const std::string& a, const std::string& b) {
    std::error_code errorA, errorB;
    const std::filesystem::path canonicalA = std::filesystem::weakly_canonical(a, errorA);
    const std::filesystem::path canonicalB = std::filesystem::weakly_canonical(b, errorB);
    return !errorA && !errorB && canonicalA == canonicalB;
}

// The trace file: never one of the inputs (it would be emptied before it is read), never the
// --backup file (an earlier backup of that name would be emptied before the backup is refused),
// never written through a link.
std::FILE* OpenTrace(const std::string& path, const std::vector<Input>& inputs,
                     const std::optional<std::string>& backup, std::string& problem) {
    if (backup && (SameFile(path, *backup) || SameName(path, *backup))) {
        problem = "--trace names " + path + ", the --backup file: give the trace a file of its own";
        return nullptr;
    }
    for (const Input& input : inputs) {
        if (input.path && SameFile(path, *input.path)) {
            problem = "--trace names " + path + ", the " + input.option +
                      " input: give the trace a file of its own";
            return nullptr;
        }
    }
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0) {
        problem = "cannot write " + path + ": " +
                  (errno == ELOOP ? std::string("a link (the trace never follows one)")
                                  : std::string(std::strerror(errno)));
        return nullptr;
    }
    std::FILE* file = fdopen(fd, "w");
    if (!file) {
        problem = "cannot write " + path + ": " + std::strerror(errno);
        close(fd);
    }
    return file;
}

int Run(int argc, char** argv) {
    const ParseResult parsed = ParseCommandLine(argc, argv);
    if (!parsed.options)
        return parsed.exitStatus;
    const Options& o = *parsed.options;
    const std::vector<Input> inputs = {{"FILE", o.firmware, kMaxFirmwareFileSize},
                                       {"--parameters", o.parameters, kMaxTextInput},
                                       {"--embedded", o.embedded, kMaxProgramInput},
                                       {"--emulate", o.emulate, kMaxTextInput}};
    if (const auto problem = CheckInputs(inputs))
        return Fail(kExitNothingWritten, *problem);
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> trace(nullptr, &std::fclose);
    if (o.trace) {
        std::string problem;
        trace.reset(OpenTrace(*o.trace, inputs, o.backup.file, problem));
        if (!trace)
            return Fail(kExitUsage, problem);
    }

    // Parameter text and firmware buffers.
    // By default the program's own tagged buffers, as the Windows program reads its own: empty
    // until kfsmerge fills a copy, and an empty parameter buffer means the built-in text.
    std::vector<std::uint8_t> exe, parameterText;
    EmbeddedData embedded{ParameterBufferData(), EmbeddedFirmware::FromProgram()};
    if (o.embedded) {
        InputFile read = ReadRegularFile(*o.embedded, kMaxProgramInput);
        if (!read.bytes)
            return Fail(kExitNothingWritten, "cannot read " + *o.embedded + ": " + read.reason);
        exe = std::move(*read.bytes);
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
        InputFile read = ReadRegularFile(*o.parameters, kMaxTextInput);
        if (!read.bytes)
            return Fail(kExitNothingWritten, "cannot read " + *o.parameters + ": " + read.reason);
        parameterText = std::move(*read.bytes);
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
    CommandRecorder recorder(*table, trace.get());

    Streams io;
    io.terminal = {isatty(STDIN_FILENO) != 0, isatty(STDERR_FILENO) != 0};
    io.failures = [&recorder] { return recorder.TakeFailure(); };
    int status = 0;
    if (o.list || o.noArguments) {
        status = ListDrives(*table, recorder, o.json, io);
        if (o.noArguments)
            PrintHowToGoOn(io);
    } else {
        status = RunUpdate(o, embedded, *table, recorder, *clock, io, argv[0]);
    }
    // The status tells what happened to the drive; a trace that was lost is said besides.
    if (recorder.traceError() != 0)
        Fail(status, "the trace could not be written to " + *o.trace + ": " +
                         std::strerror(recorder.traceError()));
    return status;
}

}  // namespace
}  // namespace kfs::console

int main(int argc, char** argv) {
    kfs::console::PrepareProcess();
    return kfs::console::Run(argc, argv);
}
