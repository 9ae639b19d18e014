#pragma once
// The Windows command transport. On Windows 95/98/ME it sends the CDBs through ASPI for Win32
// (WNASPI32.DLL, loaded at run time); on the NT family it opens the drive's volume device and
// sends them with IOCTL_SCSI_PASS_THROUGH_DIRECT. The back end is chosen once, from the Windows
// version, when the object is built; the drives are enumerated then and never again.
#include <windows.h>
// windows.h first: the pass-through definitions build on its types.
#include <ntddscsi.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "drive/transport.h"
#include "drive/win32/aspi.h"
#include "drive/win32/win32_api.h"

namespace kfs {

// The program's own arrangement of one pass-through request: the system structure, a filler
// and the sense buffer the structure points at (SenseInfoOffset 48 in the 32-bit program; the
// 64-bit build's structure holds an 8-byte buffer pointer and is larger).
struct PassThroughRequest {
    SCSI_PASS_THROUGH_DIRECT sptd;
    std::uint8_t filler[4];
    std::uint8_t sense[32];
};
#if !defined(_WIN64)
static_assert(sizeof(SCSI_PASS_THROUGH_DIRECT) == 44);
static_assert(offsetof(PassThroughRequest, sense) == 48);
static_assert(sizeof(PassThroughRequest) == 80);
#endif

class TAtapiImp final : public Transport {
  public:
    static constexpr int kMaxDrives = 20;
    // ASPI commands: the completion event is waited for this long before the request is aborted.
    static constexpr DWORD kAspiWaitMs = 60000;
    // Pass-through commands: the system ends a command after this many seconds.
    static constexpr ULONG kPassThroughTimeoutSeconds = 20;
    // The device-type scan gives a request that stays pending this long, then skips the device.
    static constexpr DWORD kDeviceTypeWaitMs = 1000;

    struct DriveHandle {
        char path[12];  // "\\.\X:" (pass-through)
        std::uint8_t hostAdapter;
        std::uint8_t target;
        std::uint8_t lun;
        char identification[50];  // INQUIRY text read at enumeration
        char revision[8];         // INQUIRY revision (pass-through enumeration)
    };

    // Decides the back end, enumerates the drives and selects drive 0. Failures leave the drive
    // table empty.
    explicit TAtapiImp(Win32Api& api = SystemWin32Api());
    ~TAtapiImp() override;
    TAtapiImp(const TAtapiImp&) = delete;
    TAtapiImp& operator=(const TAtapiImp&) = delete;

    // The first 18 bytes of the last command's sense data; byte 2 is kept unmasked.
    SenseData GetSenseData() const override;
    int DriveCount() const override { return driveCount_; }
    // True on the SCSI pass-through back end (NT family), false on ASPI.
    bool UsesPassThrough() const { return usesPassThrough_; }

    // Makes a table entry the current drive; under pass-through this reopens the volume device.
    void SelectDrive(DriveIndex index);
    // Runs a CDB on the current drive; returns SS_COMP (1) on success, otherwise the ASPI status,
    // the SCSI status (2 for CHECK CONDITION) or 0 for a pass-through call that failed outright.
    std::uint8_t ExecCdb(const std::uint8_t* cdb, std::uint8_t* buffer, std::uint32_t length,
                         std::uint8_t direction);

    const DriveHandle& Entry(int index) const { return drives_[index]; }

  protected:
    // The caller's time-out is not used: an ASPI command is waited for 60 s and a pass-through
    // command is ended by the system after 20 s, whatever the caller asks (long flash steps rely
    // on ERROR_SEM_TIMEOUT being judged by the SCSI status rather than on a longer wait).
    CommandResult Execute(DriveIndex drive, const Cdb& cdb, std::uint8_t* buffer,
                          std::uint16_t length, std::uint8_t direction,
                          std::uint32_t timeoutMs) override;

  private:
    // The cause behind ExecCdb's status: the sense of a check condition, the Win32 error of a
    // failed pass-through call, the ASPI status otherwise.
    CommandResult ResultOf(std::uint8_t status) const;

    using GetSupportInfoFn = DWORD(__cdecl*)();
    using SendCommandFn = DWORD(__cdecl*)(void* srb);

    template <typename Fn>
    Fn Resolve(HMODULE module, const char* name);
    void ScanAspiDrives();
    void ScanVolumeDrives();
    bool WaitDeviceType(aspi::SRB_GDEVBlock& block);
    std::uint8_t ExecAspi(const std::uint8_t* cdb, std::uint8_t* buffer, std::uint32_t length,
                          std::uint8_t direction);
    std::uint8_t ExecPassThrough(const std::uint8_t* cdb, std::uint8_t* buffer,
                                 std::uint32_t length, std::uint8_t direction);
    void OpenCurrentPath();
    void CloseDevice();

    Win32Api& api_;
    HANDLE device_ = nullptr;
    char currentPath_[15] = {};
    std::uint8_t currentHostAdapter_ = 0;
    std::uint8_t currentTarget_ = 0;
    std::uint8_t currentLun_ = 0;
    HMODULE aspiLibrary_ = nullptr;
    GetSupportInfoFn getSupportInfo_ = nullptr;
    SendCommandFn sendCommand_ = nullptr;
    int currentDrive_ = 0;
    bool usesPassThrough_ = false;
    int driveCount_ = 0;
    DriveHandle drives_[kMaxDrives] = {};
    std::unique_ptr<aspi::SRB_ExecSCSICmd> request_;
    // Device-type blocks that never left the pending state: the ASPI layer may still write to
    // them, so they are kept until the library has been unloaded.
    std::vector<std::unique_ptr<aspi::SRB_GDEVBlock>> abandonedBlocks_;
    PassThroughRequest passThrough_ = {};
    // GetLastError of the last failed pass-through DeviceIoControl, 0 when it succeeded.
    DWORD passThroughError_ = 0;
};

}  // namespace kfs
