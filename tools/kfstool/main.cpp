// kfstool: inspects, unpacks and packs KFS1, KFS3 and Philips-form firmware containers, and shows
// the settings that a parameter text yields.
#include <cstdio>
#include <string>
#include <vector>

#include "tools/command_line.h"
#include "tools/kfstool/commands.h"

namespace {

constexpr const char* kUsage =
    "usage: kfstool info [--json] FILE\n"
    "       kfstool unpack FILE OUT\n"
    "       kfstool pack [options] IMAGE OUT   (kfstool pack --help for the options)\n"
    "       kfstool params [--json] [FILE]\n"
    "       kfstool default-params OUT\n"
    "       kfstool --help | --version\n";

constexpr const char* kHelp =
    "Inspects, unpacks and packs the firmware containers that kfsflash writes to optical drives\n"
    "(KFS1, KFS3 and Philips form), and shows the settings a parameter text yields.\n"
    "\n"
    "  info      describe a container: form, flash types, banks, blocks, check sums, the identity\n"
    "            of the image; FILE is read the way kfsflash loads it (a container file, or the\n"
    "            last member of a zip archive), and the last lines say whether kfsflash would\n"
    "            refuse it before looking at a drive\n"
    "  unpack    write the decoded image of FILE to OUT\n"
    "  pack      build a container from a raw image (kfstool pack --help)\n"
    "  params    list the settings of a parameter text (or of the built-in one)\n"
    "  default-params  write the default parameter file\n"
    "\n"
    "  --json    machine-readable output of info and params\n"
    "  -h, --help     show this help\n"
    "  --version      show the version\n"
    "\n"
    "Exit status: 0 success, 1 the file was refused or could not be read or written, 2 usage.\n";

struct Command {
    const char* name;
    int (*run)(const kfstool::Args&);
};

constexpr Command kCommands[] = {
    {"info", kfstool::RunInfo},
    {"unpack", kfstool::RunUnpack},
    {"pack", kfstool::RunPack},
    {"params", kfstool::RunParams},
    {"default-params", kfstool::RunDefaultParams},
};

int Usage(const std::string& problem) {
    std::fprintf(stderr, "kfstool: %s\n%s", problem.c_str(), kUsage);
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    // The sub-command and everything after it go to the sub-command's own parser.
    CLI::App app{"", "kfstool"};
    app.prefix_command();
    bool version = false;
    app.add_flag("--version", version);
    const kfstools::ParseOutcome parsed =
        kfstools::Parse(app, std::vector<std::string>(argv + 1, argv + argc));
    if (parsed.parsed == kfstools::Parsed::kHelp) {
        std::fputs(kUsage, stdout);
        std::fputs("\n", stdout);
        std::fputs(kHelp, stdout);
        return 0;
    }
    if (parsed.parsed == kfstools::Parsed::kUsageError)
        return Usage(parsed.error);
    const std::vector<std::string> rest = app.remaining();
    if (version) {
        if (!rest.empty())
            return Usage("--version takes nothing else");
        std::printf("kfstool %s\n", KFS_VERSION);
        return 0;
    }
    if (rest.empty())
        return Usage("no command given");
    for (const Command& command : kCommands) {
        if (rest[0] == command.name)
            return command.run(kfstool::Args(rest.begin() + 1, rest.end()));
    }
    return Usage("unknown command " + rest[0]);
}
