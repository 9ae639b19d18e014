#include "app/console/options.h"

#include <CLI/CLI.hpp>
#include <cstdio>

#include "app/console/backup_command.h"
#include "app/console/exit_status.h"

#ifndef KFS_VERSION
#define KFS_VERSION "1.0.0"
#endif

namespace kfs::console {

namespace {

constexpr char kDescription[] =
    "kfsflash writes a firmware file (a KFS container, or a zip archive holding one) into an "
    "optical drive's flash ROM, then verifies it. It shows the drive and the firmware and asks "
    "before it writes.";

constexpr char kFooter[] =
    "Examples:\n"
    "  kfsflash --list                       list the drives\n"
    "  kfsflash --drive /dev/sr0 fw.kfs      show, ask, write and verify\n"
    "  kfsflash --drive 1 --yes fw.zip       the same without questions\n"
    "  kfsflash --drive 0 --backup old.kfs fw.kfs\n"
    "                                        only read what fw.kfs would overwrite\n"
    "\n"
    "Without arguments kfsflash lists the drives. A real drive is reached through its\n"
    "/dev/srN device: run as root or as a member of the group that owns the device.\n";

}  // namespace

ParseResult ParseCommandLine(int argc, char** argv) {
    CLI::App app{kDescription, "kfsflash"};
    app.footer(std::string(kFooter) + "\n" + kExitStatusHelp);
    app.set_version_flag("--version", std::string("kfsflash ") + KFS_VERSION);
    app.get_formatter()->column_width(30);

    Options o;
    std::optional<std::string> load;
    bool yes = false, no = false, noVerify = false, verify = false;
    app.add_option("firmware", o.firmware, "firmware file: a KFS container or a zip archive")
        ->type_name("FILE");
    app.add_option("--load", load, "the firmware file (the same as the positional FILE)")
        ->type_name("FILE");
    app.add_option("-d,--drive", o.drive, "the drive: its device path (/dev/sr1) or list index")
        ->type_name("PATH|N");
    app.add_flag("-l,--list", o.list, "list the drives and exit");
    app.add_flag("--json", o.json, "with --list: a JSON array");
    app.add_flag("-y,--yes", yes,
                 "answer yes to the update's questions (not to writing without a backup: "
                 "that takes --no-backup)");
    app.add_flag("-n,--no", no, "answer no to every question (nothing is written)");
    app.add_flag("--force", o.force,
                 "write firmware of another model, with a wrong header check sum, or without a "
                 "readable identity");
    app.add_flag("--no-verify", noVerify, "skip the verification after writing");
    app.add_flag("--verify", verify, "verify after writing (the default)");
    app.add_flag("--silent", o.silent, "fewer progress lines (the Silent menu command)");
    app.add_option("--emulate", o.emulate, "emulated drives from a description instead of /dev")
        ->type_name("FILE");
    app.add_option("--parameters", o.parameters, "the parameter text (default: built in)")
        ->type_name("FILE");
    app.add_option("--embedded", o.embedded,
                   "parameter text and firmware from the tagged buffers of an updater copy")
        ->type_name("EXE");
    app.add_option(
           "--trace", o.trace,
           "write each command to FILE as it completes (a failed one with its sense or error)")
        ->type_name("FILE");
    BackupOptions& b = o.backup;
    app.add_option("--backup", b.file,
                   "only read the drive's flash into FILE, a new file (what FILE-to-write would "
                   "overwrite, or --size bytes) and write nothing")
        ->type_name("FILE");
    app.add_option("--size", b.size, "with --backup: bytes to read (default 2 MB)")->type_name("N");
    app.add_option("--flash-type", b.flashType,
                   "with --backup and no firmware file: the flash type (1 to 8) the file gets, "
                   "so that it can be written back")
        ->type_name("T");
    app.add_option("--backup-dir", b.directory,
                   "where the backup before every update goes (default: the working directory); "
                   "an existing name is never replaced")
        ->type_name("DIR");
    app.add_flag("--no-backup", b.none, "update without backing the drive's flash up first");

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        app.exit(e);  // standard output
        return {std::nullopt, kExitSuccess};
    } catch (const CLI::CallForVersion& e) {
        std::printf("%s\n", e.what());
        return {std::nullopt, kExitSuccess};
    } catch (const CLI::ParseError& e) {
        std::fprintf(stderr, "kfsflash: %s\nRun 'kfsflash --help' for the options.\n", e.what());
        return {std::nullopt, kExitUsage};
    }
    const auto usage = [](const char* text) {
        std::fprintf(stderr, "kfsflash: %s\nRun 'kfsflash --help' for the options.\n", text);
        return ParseResult{std::nullopt, kExitUsage};
    };
    if (yes && no)
        return usage("--yes and --no exclude each other");
    if (noVerify && verify)
        return usage("--verify and --no-verify exclude each other");
    if (load && o.firmware)
        return usage("give the firmware file once: as FILE or with --load");
    if (o.json && !o.list)
        return usage("--json goes with --list");
    if (const auto problem = CheckBackupOptions(o.backup))
        return usage(problem->c_str());
    if (load)
        o.firmware = load;
    o.verify = !noVerify;
    o.answers = yes ? Answers::kYes : no ? Answers::kNo : Answers::kAsk;
    o.noArguments = argc <= 1;
    return {o, kExitSuccess};
}

}  // namespace kfs::console
