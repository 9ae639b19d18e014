// info, unpack and pack.
#include <cstdio>

#include "tools/kfstool/commands.h"

namespace kfstool {

int RunInfo(const Args&) { std::fputs("kfstool info: not built yet\n", stderr); return 1; }
int RunUnpack(const Args&) { std::fputs("kfstool unpack: not built yet\n", stderr); return 1; }
int RunPack(const Args&) { std::fputs("kfstool pack: not built yet\n", stderr); return 1; }

}  // namespace kfstool
