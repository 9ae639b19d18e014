// Builds the Windows transport as the program does at start-up and prints what it found: the
// back end, the drive table with each drive's ASPI address, and each drive's identity read
// through the identification commands. Run under Wine by the end-to-end test of the emulated
// WNASPI32.DLL.
#include <cstdint>
#include <cstdio>
#include <string>

#include "drive/identification.h"
#include "drive/win32/atapi_imp.h"

int main() {
    kfs::TAtapiImp transport;
    std::printf("UsesPassThrough %d\n", transport.UsesPassThrough() ? 1 : 0);
    std::printf("DriveCount %d\n", transport.DriveCount());
    for (kfs::DriveIndex index : transport.GetDriveIndexList()) {
        const kfs::TAtapiImp::DriveHandle& entry = transport.Entry(index);
        std::printf("drive %d address %d:%d:%d inquiry [%s]\n", index, entry.hostAdapter,
                    entry.target, entry.lun, entry.identification);
        // One after the other, so that the command trace has a fixed order.
        const std::string model = kfs::GetDriveModelName(transport, index);
        const std::string version = kfs::GetDriveVersion(transport, index);
        const std::string hardware = kfs::GetDriveHardwareId(transport, index);
        const std::string date = kfs::GetDriveDateCode(transport, index);
        std::printf("drive %d model [%s] version [%s] hardware [%s] date [%s]\n", index,
                    model.c_str(), version.c_str(), hardware.c_str(), date.c_str());
        // A command's outcome and its sense data as the layers above see them.
        std::uint8_t reply[20] = {};
        const bool ok = transport
                            .SendPacketCommand(index, kfs::kVendorIdentificationPageCdb, reply,
                                               sizeof reply, kfs::kDirIn)
                            .good();
        const kfs::SenseData sense = transport.GetSenseData();
        std::printf("drive %d vendor page ok %d sense %02X/%02X/%02X\n", index, ok ? 1 : 0,
                    sense[2] & 0x0F, sense[12], sense[13]);
    }
    // An index past the table reads nothing.
    std::printf(
        "past table model [%s]\n",
        kfs::GetDriveModelName(transport, static_cast<kfs::DriveIndex>(transport.DriveCount()))
            .c_str());
    return 0;
}
