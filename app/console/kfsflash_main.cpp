// kfsflash: the update on a terminal, over the same presenter as the window. Drives come from the
// machine (SG_IO) or from an emulator description; the firmware from a loaded file or from the
// tagged buffers of a Windows program copy. It never restarts the machine.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/console/backup_command.h"
#include "app/console/console_view.h"
#include "app/presenter.h"
#include "container/embedded_buffers.h"
#include "container/file_helpers.h"
#include "container/record_finder.h"
#include "drive/auto_insert.h"
#include "drive/emulated_transport.h"
#include "drive/linux/sg_transport.h"
#include "emulator/emulator.h"
#include "flash/emulator_clock.h"

namespace kfs::console {
namespace {

constexpr int kExitCompleted = 0;
constexpr int kExitEndedEarly = 1;
constexpr int kExitUsage = 2;

constexpr char kUsage[] =
    "usage: kfsflash [options]\n"
    "  --emulate FILE     drives from an emulator description (default: the machine's drives)\n"
    "  --parameters FILE  the parameter text (default: the built-in text)\n"
    "  --embedded EXE     parameter text and firmware from the tagged buffers of a program copy\n"
    "                     (default: this program's own buffers)\n"
    "  --load FILE        load this KFS file or zip archive (flash utility role)\n"
    "  --drive N          select entry N of the drive list\n"
    "  --verify           tick the Verify box\n"
    "  --silent           choose the Silent menu command before Start\n"
    "  --yes | --no       answer every question with OK | Cancel\n"
    "  --trace FILE       write every command sent to FILE\n"
    "  --list             list the drive entries and exit\n"
    "  --backup FILE      read the drive's flash into FILE and exit (with --size N bytes,\n"
    "                     2 MB by default, and --flash-type T when no firmware is loaded)\n"
    "  --backup-dir DIR   where the backup before an update goes (default: here)\n"
    "  --no-backup        update without backing the drive's flash up first\n";

struct Options {
    std::optional<std::string> emulate, parameters, embedded, load, trace;
    std::optional<int> drive;
    bool verify = false, silent = false, list = false;
    ConsoleView::Answers answers = ConsoleView::Answers::kAsk;
    BackupOptions backup;
};

// A decimal count from 0 to `max`, or nothing.
std::optional<std::uint64_t> Count(const std::string& text, std::uint64_t max) {
    char* end = nullptr;
    const unsigned long long v = std::strtoull(text.c_str(), &end, 10);
    if (text.empty() || text[0] == '-' || *end != '\0' || v > max)
        return std::nullopt;
    return v;
}

int Usage(const std::string& problem) {
    if (!problem.empty())
        std::fprintf(stderr, "kfsflash: %s\n", problem.c_str());
    std::fputs(kUsage, stderr);
    return kExitUsage;
}

// Parses the command line; a text on error.
std::optional<std::string> Parse(int argc, char** argv, Options& o) {
    bool yes = false, no = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const auto value = [&](std::optional<std::string>& into) -> bool {
            if (i + 1 >= argc)
                return false;
            into = argv[++i];
            return true;
        };
        bool ok = true;
        if (arg == "--emulate")
            ok = value(o.emulate);
        else if (arg == "--parameters")
            ok = value(o.parameters);
        else if (arg == "--embedded")
            ok = value(o.embedded);
        else if (arg == "--load")
            ok = value(o.load);
        else if (arg == "--trace")
            ok = value(o.trace);
        else if (arg == "--drive") {
            std::optional<std::string> n;
            ok = value(n);
            if (ok) {
                char* end = nullptr;
                const long v = std::strtol(n->c_str(), &end, 10);
                if (n->empty() || *end != '\0' || v < 0 || v > 255)
                    return "--drive needs an entry number from 0";
                o.drive = static_cast<int>(v);
            }
        } else if (arg == "--verify")
            o.verify = true;
        else if (arg == "--silent")
            o.silent = true;
        else if (arg == "--yes")
            yes = true;
        else if (arg == "--no")
            no = true;
        else if (arg == "--list")
            o.list = true;
        else if (arg == "--backup")
            ok = value(o.backup.file);
        else if (arg == "--backup-dir")
            ok = value(o.backup.directory);
        else if (arg == "--no-backup")
            o.backup.none = true;
        else if (arg == "--size" || arg == "--flash-type") {
            std::optional<std::string> n;
            ok = value(n);
            if (ok) {
                const bool size = arg == "--size";
                const auto v = Count(*n, size ? 0xFFFFFFFFu : 0xFFu);
                if (!v)
                    return arg + (size ? " needs a byte count" : " needs a flash type");
                if (size)
                    o.backup.size = static_cast<std::uint32_t>(*v);
                else
                    o.backup.flashType = static_cast<std::uint8_t>(*v);
            }
        } else
            return "unknown option " + arg;
        if (!ok)
            return arg + " needs a value";
    }
    if (yes && no)
        return "--yes and --no exclude each other";
    if (auto problem = CheckBackupOptions(o.backup))
        return problem;
    o.answers = yes  ? ConsoleView::Answers::kYes
                : no ? ConsoleView::Answers::kNo
                     : ConsoleView::Answers::kAsk;
    return std::nullopt;
}

// Writes one trace line per command sent, then passes it on.
class TracingTransport : public Transport {
  public:
    TracingTransport(Transport& inner, std::FILE* trace) : inner_(inner), trace_(trace) {}
    bool SendPacketCommand(DriveIndex drive, const Cdb& cdb, std::uint8_t* buffer,
                           std::uint16_t length, std::uint8_t direction,
                           std::uint32_t timeoutMs) override {
        const std::string line = emu::DriveSet::TraceLine(cdb.data(), direction, length);
        std::fprintf(trace_, "%s\n", line.c_str());
        return inner_.SendPacketCommand(drive, cdb, buffer, length, direction, timeoutMs);
    }
    SenseData GetSenseData() const override { return inner_.GetSenseData(); }
    int DriveCount() const override { return inner_.DriveCount(); }
    bool UsesPassThrough() const override { return inner_.UsesPassThrough(); }

  private:
    Transport& inner_;
    std::FILE* trace_;
};

// The terminal never restarts the machine.
class ConsoleRestart : public RestartService {
  public:
    void RequestRestart() override {
        std::fprintf(stdout, "Restart the machine to complete the update.\n");
        std::fflush(stdout);
    }
};

int Run(int argc, char** argv) {
    Options o;
    if (const auto problem = Parse(argc, argv, o))
        return Usage(*problem);

    // Parameter text and firmware buffers.
    // By default the program's own tagged buffers, as the Windows program reads its own: empty
    // until kfsmerge fills a copy, and an empty parameter buffer means the built-in text.
    std::vector<std::uint8_t> exe, parameterText;
    EmbeddedData embedded{ParameterBufferData(), EmbeddedFirmware::FromProgram()};
    if (o.embedded) {
        auto bytes = ReadWholeFile(*o.embedded);
        if (!bytes)
            return Usage("cannot read " + *o.embedded);
        exe = std::move(*bytes);
        const RecordLocations at = FindBufferRecords(exe);
        if (!at.found)
            return Usage(*o.embedded + ": " + at.error);
        const auto area = [&](BufferId id) {
            const auto i = static_cast<std::size_t>(id);
            return std::span<const std::uint8_t>(exe).subspan(at.data_offset[i],
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
            return Usage("cannot read " + *o.parameters);
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
    std::unique_ptr<Transport> base;
    std::unique_ptr<Clock> clock;
    try {
        if (o.emulate) {
            drives.emplace(emu::DriveSet::FromFile(*o.emulate));
            base = std::make_unique<EmulatedTransport>(*drives);
            clock = std::make_unique<EmulatorClock>(*drives);
        } else {
            base = std::make_unique<SgTransport>();
            clock = std::make_unique<RealClock>();
        }
    } catch (const emu::DescriptionError& e) {
        return Usage(e.what());
    }
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> trace(nullptr, &std::fclose);
    std::unique_ptr<TracingTransport> tracing;
    Transport* transport = base.get();
    if (o.trace) {
        trace.reset(std::fopen(o.trace->c_str(), "w"));
        if (!trace)
            return Usage("cannot write " + *o.trace);
        tracing = std::make_unique<TracingTransport>(*base, trace.get());
        transport = tracing.get();
    }

    ConsoleView view(stdout, stderr, stdin, o.answers, isatty(fileno(stderr)) != 0);
    MemoryRegistry registry;  // no Windows 95/98/ME registry here
    ConsoleRestart restart;
    Presenter presenter(view, *transport, *clock, registry, restart,
                        PlatformInfo{false, ApplicationTitle(argv[0])});
    try {
        const StartupOutcome started = presenter.Startup(embedded);
        if (started != StartupOutcome::kReady)
            return kExitEndedEarly;
        ApplyBackupOptions(presenter, o.backup);
        if (o.list) {
            for (std::size_t i = 0; i < view.entries().size(); ++i)
                std::printf("%zu: %s\n", i, view.entries()[i].c_str());
            return kExitCompleted;
        }
        if (o.load) {
            if (presenter.state().Firmware.UpdaterRole)
                return Usage("--load needs the flash utility role");
            if (presenter.LoadFile(*o.load) != LoadClickOutcome::kLoaded)
                return kExitEndedEarly;
        }
        if (o.drive) {
            if (*o.drive >= static_cast<int>(view.entries().size()))
                return Usage("there is no drive entry " + std::to_string(*o.drive));
            presenter.OnSelDeviceChange(*o.drive);
        }
        if (o.backup.file)
            return RunBackupCommand(presenter, *transport, *clock, view, o.backup)
                       ? kExitCompleted
                       : kExitEndedEarly;
        if (o.verify)
            presenter.OnVerifyClick(true);
        if (o.silent)
            presenter.OnMenuCommand(MenuCommand::kSilent);
        if (!view.startEnabled())
            return Usage("no firmware to write: load a file with --load");
        return presenter.OnStartClick() == UpdateOutcome::kCompleted ? kExitCompleted
                                                                     : kExitEndedEarly;
    } catch (const ProgramExit& exit) {
        return exit.status;
    }
}

}  // namespace
}  // namespace kfs::console

int main(int argc, char** argv) {
    return kfs::console::Run(argc, argv);
}
