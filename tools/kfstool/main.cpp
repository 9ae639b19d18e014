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
    "       kfstool default-params OUT\n";

struct Command {
    const char* name;
    int (*run)(const kfstool::Args&);
};

constexpr Command kCommands[] = {
    {"info", kfstool::RunInfo},     {"unpack", kfstool::RunUnpack},
    {"pack", kfstool::RunPack},     {"params", kfstool::RunParams},
    {"default-params", kfstool::RunDefaultParams},
};

}  // namespace

int main(int argc, char** argv) {
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
