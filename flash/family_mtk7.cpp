#include "flash/family_mtk7.h"

#include "flash/flash_commands.h"
#include "flash/procedure_support.h"
#include "flash/wait_drive_ready.h"

namespace kfs {

namespace {

constexpr std::uint16_t kBlockSize = 16384;

}  // namespace

FlashResult FlashMtk7Type(FlashJob& job) {
    job.view.ProcessMessages();
    std::uint32_t bar = 0;
    job.view.SetProgress(bar);
    for (std::uint8_t bank : {std::uint8_t{1}, std::uint8_t{0}}) {
        for (std::uint8_t g = 0; g < 4; ++g) {
            const auto offset = static_cast<std::uint16_t>(g * kBlockSize);
            // An image shorter than 128 KB goes out with zeros in place of the missing bytes.
            ImagePiece piece(job.image, bank * kFlashBankSize + offset, kBlockSize);
            // A block the drive refused is missing from what the save would program: the drive
            // would go on with its old firmware and the update would read as done.
            if (!WriteBufferAt(job.transport, job.drive, piece.data(), kBlockSize, bank, offset))
                return kWriteBufferFail;
            job.view.ProcessMessages();
            bar += kProgressMax / 8;
            job.view.SetProgress(bar);
        }
        // A drive may restart while it answers the save, losing its status; the wait below tells
        // whether it came back. A save it refused leaves the bank unprogrammed.
        if (TriggerRefused(SaveBufferToFlash(job.transport, job.drive, bank)))
            return kWriteBufferFail;
    }
    if (!WaitDriveReady(job.transport, job.clock, job.drive, 120))
        return kWaitDriveReadyTimeOut;
    return std::nullopt;
}

}  // namespace kfs
