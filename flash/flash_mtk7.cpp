#include "flash/flash_mtk7.h"

#include "flash/procedure_support.h"
#include "flash/wait_drive_ready.h"

namespace kfs {

namespace {

constexpr Cdb kWriteBufferBlock = {0x3B, 0x06, 0x00, 0, 0, 0x00, 0x00, 0x40, 0x00, 0, 0, 0};
constexpr Cdb kWriteBufferSave = {0x3B, 0x07, 0x00, 0, 0, 0, 0, 0, 0, 0, 0, 0};
constexpr std::uint16_t kBlockSize = 16384;
constexpr std::size_t kBankSize = 65536;

}  // namespace

FlashResult FlashMtk7Type(FlashJob& job) {
    job.view.ProcessMessages();
    std::uint32_t bar = 0;
    job.view.SetProgress(bar);
    for (std::uint8_t bank : {std::uint8_t{1}, std::uint8_t{0}}) {
        for (std::uint8_t g = 0; g < 4; ++g) {
            Cdb cdb = kWriteBufferBlock;
            cdb[3] = bank;
            cdb[4] = static_cast<std::uint8_t>(g * 0x40);
            // An image shorter than 128 KB goes out with zeros in place of the missing bytes.
            ImagePiece piece(job.image, bank * kBankSize + g * std::size_t{kBlockSize}, kBlockSize);
            // A block the drive refused is missing from what the save would program: the drive
            // would go on with its old firmware and the update would read as done.
            if (!job.transport.SendPacketCommand(job.drive, cdb, piece.data(), kBlockSize, kDirOut,
                                                 kDefaultTimeoutMs))
                return kWriteBufferFail;
            job.view.ProcessMessages();
            bar += kProgressMax / 8;
            job.view.SetProgress(bar);
        }
        Cdb save = kWriteBufferSave;
        save[3] = bank;
        // Not examined: a drive may reset while it answers the save; the wait below tells
        // whether it came back.
        job.transport.SendPacketCommand(job.drive, save, nullptr, 0, kDirNone, kDefaultTimeoutMs);
    }
    if (!WaitDriveReady(job.transport, job.clock, job.drive, 120))
        return kWaitDriveReadyTimeOut;
    return std::nullopt;
}

}  // namespace kfs
