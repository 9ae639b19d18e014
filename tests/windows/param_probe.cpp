// A small program that carries the five tagged buffers and prints what it reads from them, the
// way the program does at start-up. Tests patch copies of it with kfsmerge and run them.
#include <cstdio>

#include "container/embedded_buffers.h"
#include "container/kfs_decode.h"
#include "container/parameters.h"

int main() {
    kfs::SParameter p;
    kfs::ReadParameters(p, kfs::ParameterBufferData());
    std::printf("ProgramName=%s\n", p.ProgramName.c_str());
    std::printf("Updater=%d\n", p.Updater ? 1 : 0);
    std::printf("CVT=%u\n", static_cast<unsigned>(kfs::GetKFSLength(kfs::CvtBufferData())));
    for (int slot = 1; slot <= 3; ++slot) {
        std::printf("KFS%d=%u\n", slot,
                    static_cast<unsigned>(kfs::GetKFSLength(kfs::KfsBufferData(slot))));
    }
    return 0;
}
