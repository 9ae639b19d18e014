#include "flash/family_ali.h"

#include <cstdio>

#include "container/checksum.h"
#include "flash/flash_commands.h"
#include "flash/procedure_support.h"
#include "flash/wait_drive_ready.h"

namespace kfs {

namespace {

constexpr std::uint16_t kBlockSize = kAliBlockLength;

}  // namespace

FlashResult FlashAliType(FlashJob& job) {
    const std::uint16_t imageSum = ByteSum16(job.image);
    // A tail shorter than a block is not sent.
    const std::size_t blocks = job.image.size() / kBlockSize;
    AddOpeningLines(job.view);

    // The bar shows the progress within the current 64 KB bank.
    std::uint32_t bar = 0;
    int bank = 0;
    for (std::size_t j = 0; j < blocks; ++j) {
        job.view.ProcessMessages();
        if (bar == kProgressMax) {
            bar = kBlockSize;
            ++bank;
        } else {
            bar += kBlockSize;
        }
        job.view.SetProgress(bar);
        // The list keeps three lines, the newest at the bottom.
        char line[64];
        std::snprintf(line, sizeof line, "Flash Bank: %d Address: %04Xh", bank, bar - 1);
        job.view.DeleteFirstLine();
        job.view.AddLine(line);

        const std::uint8_t* block = job.image.data() + j * kBlockSize;
        const CommandResult sent =
            SendAliBlock(job.transport, job.drive, block, ByteSum16({block, kBlockSize}), imageSum,
                         static_cast<std::uint8_t>(j + 1), static_cast<std::uint8_t>(blocks));
        // A block the drive refused is missing from the image it would program: sending the
        // rest would only end in a drive that kept its old firmware, or took a partial one. The
        // last block makes it program, and it may restart before that status comes back.
        const bool last = j + 1 == blocks;
        if (last ? TriggerRefused(sent) : !sent)
            return kWriteBufferFail;
    }
    if (!WaitDriveReady(job.transport, job.clock, job.drive, 120))
        return kWaitDriveReadyTimeOut;
    return std::nullopt;
}

}  // namespace kfs
