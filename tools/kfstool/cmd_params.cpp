// params and default-params.
#include <cstdio>

#include "tools/kfstool/commands.h"

namespace kfstool {

int RunParams(const Args&) { std::fputs("kfstool params: not built yet\n", stderr); return 1; }
int RunDefaultParams(const Args&) {
    std::fputs("kfstool default-params: not built yet\n", stderr);
    return 1;
}

}  // namespace kfstool
