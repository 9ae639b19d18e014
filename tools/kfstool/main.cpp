// kfstool: inspects, unpacks and packs KFS1, KFS3 and Philips-form firmware containers, and shows
// the settings that a parameter text yields.
#include <cstdio>
#include <cstring>

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

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        std::fputs(kUsage, stdout);
        std::fputs("\n", stdout);
        std::fputs(kHelp, stdout);
        return 0;
    }
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        std::printf("kfstool %s\n", KFS_VERSION);
        return 0;
    }
    if (argc >= 2) {
        for (const Command& command : kCommands) {
            if (std::strcmp(argv[1], command.name) == 0) {
                return command.run(kfstool::Args(argv + 2, argv + argc));
            }
        }
    }
    std::fputs(kUsage, stderr);
    return 2;
}
