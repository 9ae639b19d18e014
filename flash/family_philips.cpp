#include "flash/family_philips.h"

#include <cstdio>

#include "flash/flash_commands.h"
#include "flash/procedure_support.h"
#include "flash/wait_drive_ready.h"

namespace kfs {

namespace {
// The drive restarts after the last block; it does not answer before this.
constexpr std::uint32_t kRestartMs = 20000;
}  // namespace

std::size_t PhilipsBlockCount(std::size_t imageLength) {
    return (imageLength + kPhilipsHeaderSize) / kPhilipsBlockLength;
}

FlashResult FlashPhilipsForm(FlashJob& job, std::size_t blockCount, std::uint16_t p,
                             std::uint16_t q) {
    job.view.ProcessMessages();
    job.view.SetProgress(kProgressMax / 4);
    WaitDriveReady(job.transport, job.clock, job.drive, 120);
    job.view.ProcessMessages();
    job.view.SetProgress(kProgressMax / 2);

    for (std::size_t i = 0; i < blockCount; ++i) {
        // The last block reaches beyond the image: those bytes go out as zeros.
        ImagePiece block(job.image, i * kPhilipsBlockLength, kPhilipsBlockLength);
        const CommandResult sent =
            SendPhilipsBlock(job.transport, job.drive, block.data(), static_cast<std::uint8_t>(i),
                             static_cast<std::uint8_t>(blockCount), p, q);
        if (sent)
            continue;
        // The drive may drop the last block's status while it restarts into programming; a last
        // block it refused leaves it with nothing to program.
        if (i + 1 == blockCount && !TriggerRefused(sent))
            break;
        job.sense = job.transport.GetSenseData();
        char text[64];
        std::snprintf(text, sizeof text, "Firmware update failure (%02X:%02X:%02X)", job.sense[2],
                      job.sense[12], job.sense[13]);
        return std::string(text);
    }
    job.clock.Sleep(kRestartMs);
    if (!WaitDriveReady(job.transport, job.clock, job.drive, 120))
        return kWaitDriveReadyTimeOut;
    return std::nullopt;
}

}  // namespace kfs
