#include "drive/win32/atapi_imp.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace kfs {
namespace {

constexpr DWORD kDeviceAccess = GENERIC_READ | GENERIC_WRITE;
constexpr DWORD kDeviceShare = FILE_SHARE_READ | FILE_SHARE_WRITE;

constexpr std::uint8_t kInquiry36[12] = {0x12, 0, 0, 0, 0x24, 0, 0, 0, 0, 0, 0, 0};
constexpr std::uint8_t kInquiry50[12] = {0x12, 0, 0, 0, 0x32, 0, 0, 0, 0, 0, 0, 0};

bool IsOpen(HANDLE handle) {
    return handle != nullptr && handle != INVALID_HANDLE_VALUE;
}

// Copies at most `count` bytes of `from`, stopping at a zero byte; the rest of `to` (which has
// room for `count` + 1) is filled with zero bytes.
void CopyText(char* to, const std::uint8_t* from, std::size_t count) {
    std::size_t n = 0;
    while (n < count && from[n] != 0) {
        to[n] = static_cast<char>(from[n]);
        ++n;
    }
    std::memset(to + n, 0, count + 1 - n);
}

// The status byte is written by the ASPI layer, possibly from another thread, while the scan
// looks at it in a loop.
std::uint8_t ReadStatus(const std::uint8_t& status) {
    return *static_cast<const volatile std::uint8_t*>(&status);
}

// Whether a failed pass-through call still carries the drive's SCSI status. The same on every
// NT version: the version number is not a reliable guide (Windows 8 and later report 6.2 to a
// program that does not declare them), and the error codes mean the same everywhere.
bool IsStatusTrustedAfter(DWORD error) {
    return error == ERROR_SEM_TIMEOUT || error == ERROR_IO_DEVICE;
}

}  // namespace

template <typename Fn>
Fn TAtapiImp::Resolve(HMODULE module, const char* name) {
    // GetProcAddress hands out a generic function pointer; the ASPI exports are cdecl.
    const FARPROC address = api_.GetProcAddress(module, name);
    return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(address));
}

TAtapiImp::TAtapiImp(Win32Api& api) : api_(api) {
    OSVERSIONINFOEXA version;
    std::memset(&version, 0, sizeof version);
    version.dwOSVersionInfoSize = sizeof version;  // 156 bytes
    // The result is not examined: a system that rejects the extended structure leaves the
    // platform identifier 0, which selects ASPI.
    api_.GetVersionExA(&version);
    if (version.dwPlatformId == VER_PLATFORM_WIN32_NT)
        usesPassThrough_ = true;

    aspiLibrary_ = nullptr;
    if (usesPassThrough_) {
        ScanVolumeDrives();
    } else {
        char systemDir[MAX_PATH] = {};
        const UINT dirLength = api_.GetSystemDirectoryA(systemDir, sizeof systemDir);
        if (dirLength >= sizeof systemDir)
            systemDir[0] = 0;
        char libraryPath[MAX_PATH + 16];
        std::snprintf(libraryPath, sizeof libraryPath, "%s\\WNASPI32.DLL", systemDir);
        aspiLibrary_ = api_.LoadLibraryA(libraryPath);
        if (aspiLibrary_ == nullptr) {
            api_.WriteLine("WNASPI32.DLL not found");
            return;
        }
        getSupportInfo_ = Resolve<GetSupportInfoFn>(aspiLibrary_, "GetASPI32SupportInfo");
        sendCommand_ = Resolve<SendCommandFn>(aspiLibrary_, "SendASPI32Command");
        if (getSupportInfo_ == nullptr || sendCommand_ == nullptr) {
            // Not an ASPI manager after all: treat it like a missing library.
            api_.FreeLibrary(aspiLibrary_);
            aspiLibrary_ = nullptr;
            getSupportInfo_ = nullptr;
            sendCommand_ = nullptr;
            return;
        }
        // Cleared once here so that the reserved fields, which no command writes, stay zero.
        request_ = std::make_unique<aspi::SRB_ExecSCSICmd>();
        ScanAspiDrives();
    }

    SelectDrive(0);
    currentDrive_ = 0;
}

TAtapiImp::~TAtapiImp() {
    // The library goes first: once it is unloaded nothing can write into the request blocks.
    if (aspiLibrary_ != nullptr)
        api_.FreeLibrary(aspiLibrary_);
    request_.reset();
    abandonedBlocks_.clear();
    CloseDevice();
}

void TAtapiImp::ScanAspiDrives() {
    const std::uint8_t adapters = aspi::SupportInfoAdapterCount(getSupportInfo_());
    driveCount_ = 0;
    auto block = std::make_unique<aspi::SRB_GDEVBlock>();
    for (int ha = 0; ha < adapters && driveCount_ < kMaxDrives; ++ha) {
        for (int target = 0; target < 8 && driveCount_ < kMaxDrives; ++target) {
            for (int lun = 0; lun < 8 && driveCount_ < kMaxDrives; ++lun) {
                *block = {};
                block->SRB_Cmd = aspi::SC_GET_DEV_TYPE;
                block->SRB_HaId = static_cast<std::uint8_t>(ha);
                block->SRB_Target = static_cast<std::uint8_t>(target);
                block->SRB_Lun = static_cast<std::uint8_t>(lun);
                sendCommand_(block.get());
                if (!WaitDeviceType(*block)) {
                    abandonedBlocks_.push_back(std::move(block));
                    block = std::make_unique<aspi::SRB_GDEVBlock>();
                    continue;
                }
                if (block->SRB_Status != aspi::SS_COMP ||
                    block->SRB_DeviceType != aspi::DTYPE_CDROM) {
                    continue;
                }
                DriveHandle& entry = drives_[driveCount_];
                entry.hostAdapter = currentHostAdapter_ = static_cast<std::uint8_t>(ha);
                entry.target = currentTarget_ = static_cast<std::uint8_t>(target);
                entry.lun = currentLun_ = static_cast<std::uint8_t>(lun);
                std::uint8_t reply[36] = {};
                ExecCdb(kInquiry36, reply, sizeof reply, aspi::SRB_DIR_IN);
                // Vendor, product and revision, byte for byte.
                std::memcpy(entry.identification, reply + 8, 28);
                entry.identification[28] = 0;
                ++driveCount_;
            }
        }
    }
}

bool TAtapiImp::WaitDeviceType(aspi::SRB_GDEVBlock& block) {
    // Window messages keep flowing while the ASPI layer answers; a request that never leaves
    // the pending state must not hang start-up, so the wait is bounded.
    const DWORD start = api_.GetTickCount();
    while (ReadStatus(block.SRB_Status) == aspi::SS_PENDING) {
        if (api_.GetTickCount() - start >= kDeviceTypeWaitMs)
            return false;
        api_.DispatchOnePendingMessage();
    }
    return true;
}

void TAtapiImp::ScanVolumeDrives() {
    driveCount_ = 0;
    // "Z" is not examined.
    for (char letter = 'A'; letter <= 'Y' && driveCount_ < kMaxDrives; ++letter) {
        const char root[] = {letter, ':', '\\', 0};
        if (api_.GetDriveTypeA(root) != DRIVE_CDROM)
            continue;
        char path[12] = {'\\', '\\', '.', '\\', letter, ':'};
        CloseDevice();
        device_ = api_.CreateFileA(path, kDeviceAccess, kDeviceShare, OPEN_EXISTING, 0);
        if (device_ == INVALID_HANDLE_VALUE)
            continue;

        DriveHandle& entry = drives_[driveCount_];
        std::memcpy(entry.path, path, sizeof entry.path);
        std::memset(currentPath_, 0, sizeof currentPath_);
        std::memcpy(currentPath_, path, sizeof path);
        std::uint8_t reply[50] = {};
        ExecCdb(kInquiry50, reply, sizeof reply, aspi::SRB_DIR_IN);
        CopyText(entry.identification, reply + 8, 24);
        CopyText(entry.revision, reply + 32, 4);
        ++driveCount_;
    }
    // The handle of the last drive opened stays open; construction reopens drive 0.
}

void TAtapiImp::SelectDrive(DriveIndex index) {
    if (index >= driveCount_)
        return;
    const DriveHandle& entry = drives_[index];
    if (usesPassThrough_) {
        std::memset(currentPath_, 0, sizeof currentPath_);
        std::memcpy(currentPath_, entry.path, sizeof entry.path);
        CloseDevice();
        OpenCurrentPath();
    } else {
        currentHostAdapter_ = entry.hostAdapter;
        currentTarget_ = entry.target;
        currentLun_ = entry.lun;
    }
}

void TAtapiImp::OpenCurrentPath() {
    // A failed open leaves INVALID_HANDLE_VALUE; the commands then fail in DeviceIoControl.
    device_ = api_.CreateFileA(currentPath_, kDeviceAccess, kDeviceShare, OPEN_EXISTING, 0);
}

void TAtapiImp::CloseDevice() {
    if (IsOpen(device_))
        api_.CloseHandle(device_);
    device_ = INVALID_HANDLE_VALUE;
}

CommandResult TAtapiImp::Execute(DriveIndex drive, const Cdb& cdb, std::uint8_t* buffer,
                                 std::uint16_t length, std::uint8_t direction,
                                 std::uint32_t /*timeoutMs*/) {
    if (drive != currentDrive_) {
        SelectDrive(drive);
        currentDrive_ = drive;
    }
    return ResultOf(ExecCdb(cdb.data(), buffer, length, direction));
}

CommandResult TAtapiImp::ResultOf(std::uint8_t status) const {
    using Kind = CommandResult::CodeKind;
    constexpr std::uint8_t kCheckCondition = 0x02;
    if (usesPassThrough_) {
        // A call that failed with an error the SCSI status was trusted for: the drive may or may
        // not have answered.
        const bool certain = passThroughError_ == 0;
        CommandResult result;
        if (status == aspi::SS_COMP)
            result = CommandResult::Good();
        else if (status == 0)
            return CommandResult::Error(Kind::Win32Error, passThroughError_);
        else if (status == kCheckCondition)
            result = CommandResult::Check(GetSenseData());
        else
            result = CommandResult::Error(Kind::ScsiStatus, status);
        result.certain = certain;
        return result;
    }
    if (status == aspi::SS_COMP)
        return CommandResult::Good();
    if (request_ && status == aspi::SS_ERR && request_->SRB_TargStat == kCheckCondition)
        return CommandResult::Check(GetSenseData());
    return CommandResult::Error(Kind::AspiStatus, status);
}

SenseData TAtapiImp::GetSenseData() const {
    SenseData sense{};
    if (usesPassThrough_) {
        std::memcpy(sense.data(), passThrough_.sense, sense.size());
    } else if (request_) {
        std::memcpy(sense.data(), request_->SenseArea, sense.size());
    }
    return sense;
}

std::uint8_t TAtapiImp::ExecCdb(const std::uint8_t* cdb, std::uint8_t* buffer, std::uint32_t length,
                                std::uint8_t direction) {
    if (usesPassThrough_)
        return ExecPassThrough(cdb, buffer, length, direction);
    if (!request_)
        return aspi::SS_ERR;
    return ExecAspi(cdb, buffer, length, direction);
}

std::uint8_t TAtapiImp::ExecPassThrough(const std::uint8_t* cdb, std::uint8_t* buffer,
                                        std::uint32_t length, std::uint8_t direction) {
    passThrough_ = {};
    passThroughError_ = 0;
    SCSI_PASS_THROUGH_DIRECT& sptd = passThrough_.sptd;
    sptd.Length = sizeof(SCSI_PASS_THROUGH_DIRECT);
    sptd.CdbLength = 12;
    sptd.SenseInfoLength = 24;
    sptd.DataIn = direction == aspi::SRB_DIR_IN    ? SCSI_IOCTL_DATA_IN
                  : direction == aspi::SRB_DIR_OUT ? SCSI_IOCTL_DATA_OUT
                                                   : SCSI_IOCTL_DATA_UNSPECIFIED;
    sptd.DataTransferLength = length;
    sptd.TimeOutValue = kPassThroughTimeoutSeconds;
    sptd.DataBuffer = buffer;
    sptd.SenseInfoOffset = offsetof(PassThroughRequest, sense);
    std::memcpy(sptd.Cdb, cdb, 12);

    DWORD returned = 0;
    if (!api_.DeviceIoControl(device_, IOCTL_SCSI_PASS_THROUGH_DIRECT, &passThrough_,
                              sizeof passThrough_, &passThrough_, sizeof passThrough_, &returned)) {
        // A command that ran past the device time-out comes back as ERROR_SEM_TIMEOUT, a
        // device-level failure as ERROR_IO_DEVICE; in both the request went to the drive and
        // its SCSI status tells whether the drive took the command. Any other error (access
        // denied, invalid handle, device gone) means the command never reached the drive, and
        // the status field is only the zero this request started with.
        passThroughError_ = api_.GetLastError();
        if (!IsStatusTrustedAfter(passThroughError_))
            return 0;
    }
    return sptd.ScsiStatus != 0 ? sptd.ScsiStatus : aspi::SS_COMP;
}

std::uint8_t TAtapiImp::ExecAspi(const std::uint8_t* cdb, std::uint8_t* buffer,
                                 std::uint32_t length, std::uint8_t direction) {
    HANDLE event = api_.CreateEventA(TRUE, FALSE);
    if (event == nullptr)
        return aspi::SS_ERR;

    aspi::SRB_ExecSCSICmd& srb = *request_;
    srb.SRB_Cmd = aspi::SC_EXEC_SCSI_CMD;
    srb.SRB_Status = aspi::SS_PENDING;
    srb.SRB_HaId = currentHostAdapter_;
    // Only the two data directions are passed on; anything else leaves the direction to the
    // command (and never sets posting or residual counting by accident).
    const std::uint8_t dirBits =
        direction == aspi::SRB_DIR_IN || direction == aspi::SRB_DIR_OUT ? direction : 0;
    srb.SRB_Flags = dirBits | aspi::SRB_EVENT_NOTIFY;
    srb.SRB_Target = currentTarget_;
    srb.SRB_Lun = currentLun_;
    srb.SRB_BufLen = length;
    srb.SRB_BufPointer = buffer;
    srb.SRB_SenseLen = aspi::kSenseLen;
    srb.SRB_CDBLen = 12;
    srb.SRB_PostProc = event;
    std::memset(srb.CDBByte, 0, sizeof srb.CDBByte);
    std::memcpy(srb.CDBByte, cdb, 12);
    std::memset(srb.SenseArea, 0, aspi::kSenseLen);

    sendCommand_(&srb);
    const std::uint8_t early = ReadStatus(srb.SRB_Status);
    if (early != aspi::SS_PENDING) {
        api_.CloseHandle(event);
        return early;
    }
    const DWORD wait = api_.WaitForSingleObject(event, kAspiWaitMs);
    api_.CloseHandle(event);
    if (wait == WAIT_OBJECT_0)
        return ReadStatus(srb.SRB_Status);
    if (wait == WAIT_TIMEOUT || wait == WAIT_FAILED) {
        aspi::SRB_Abort abort = {};
        abort.SRB_Cmd = aspi::SC_ABORT_SRB;
        abort.SRB_HaId = currentHostAdapter_;
        abort.SRB_ToAbort = &srb;
        sendCommand_(&abort);
    }
    return aspi::SS_ERR;
}

}  // namespace kfs
