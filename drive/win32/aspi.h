#pragma once
// ASPI for Win32 request blocks and constants, laid out as the published interface defines them
// (byte packing; pointers are 32 bits on the i686 target). Shared by the transport, which calls
// WNASPI32.DLL, and by the emulator's WNASPI32.DLL, which answers those calls.
#include <cstddef>
#include <cstdint>

namespace kfs::aspi {

// SRB_Cmd values.
constexpr std::uint8_t SC_HA_INQUIRY = 0x00;
constexpr std::uint8_t SC_GET_DEV_TYPE = 0x01;
constexpr std::uint8_t SC_EXEC_SCSI_CMD = 0x02;
constexpr std::uint8_t SC_ABORT_SRB = 0x03;
constexpr std::uint8_t SC_RESET_DEV = 0x04;

// SRB_Status values.
constexpr std::uint8_t SS_PENDING = 0x00;
constexpr std::uint8_t SS_COMP = 0x01;
constexpr std::uint8_t SS_ABORTED = 0x02;
constexpr std::uint8_t SS_ABORT_FAIL = 0x03;
constexpr std::uint8_t SS_ERR = 0x04;
constexpr std::uint8_t SS_INVALID_CMD = 0x80;
constexpr std::uint8_t SS_INVALID_HA = 0x81;
constexpr std::uint8_t SS_NO_DEVICE = 0x82;
constexpr std::uint8_t SS_INVALID_SRB = 0xE0;
constexpr std::uint8_t SS_NO_ADAPTERS = 0xE8;

// SRB_Flags bits.
constexpr std::uint8_t SRB_POSTING = 0x01;
constexpr std::uint8_t SRB_ENABLE_RESIDUAL_COUNT = 0x04;
constexpr std::uint8_t SRB_DIR_IN = 0x08;
constexpr std::uint8_t SRB_DIR_OUT = 0x10;
constexpr std::uint8_t SRB_EVENT_NOTIFY = 0x40;

// SCSI peripheral device types reported by SC_GET_DEV_TYPE.
constexpr std::uint8_t DTYPE_DASD = 0x00;
constexpr std::uint8_t DTYPE_CDROM = 0x05;

// Target status of a command that ended with CHECK CONDITION.
constexpr std::uint8_t STATUS_CHKCOND = 0x02;

// Host adapter status (SRB_HaStat): the adapter timed out while it processed the request.
constexpr std::uint8_t HASTAT_COMMAND_TIMEOUT = 0x0B;

// Sense bytes the transport asks for, and the sense area that gives an 84-byte request block.
constexpr std::uint8_t kSenseLen = 18;
constexpr std::size_t kSenseAreaLen = kSenseLen + 2;

#pragma pack(push, 1)

struct SRB_Header {
    std::uint8_t SRB_Cmd;
    std::uint8_t SRB_Status;
    std::uint8_t SRB_HaId;
    std::uint8_t SRB_Flags;
    std::uint32_t SRB_Hdr_Rsvd;
};

struct SRB_HAInquiry {
    std::uint8_t SRB_Cmd;
    std::uint8_t SRB_Status;
    std::uint8_t SRB_HaId;
    std::uint8_t SRB_Flags;
    std::uint32_t SRB_Hdr_Rsvd;
    std::uint8_t HA_Count;
    std::uint8_t HA_SCSI_ID;
    std::uint8_t HA_ManagerId[16];
    std::uint8_t HA_Identifier[16];
    std::uint8_t HA_Unique[16];
    std::uint16_t HA_Rsvd1;
};

struct SRB_GDEVBlock {
    std::uint8_t SRB_Cmd;
    std::uint8_t SRB_Status;
    std::uint8_t SRB_HaId;
    std::uint8_t SRB_Flags;
    std::uint32_t SRB_Hdr_Rsvd;
    std::uint8_t SRB_Target;
    std::uint8_t SRB_Lun;
    std::uint8_t SRB_DeviceType;
    std::uint8_t SRB_Rsvd1;
};

struct SRB_ExecSCSICmd {
    std::uint8_t SRB_Cmd;
    std::uint8_t SRB_Status;
    std::uint8_t SRB_HaId;
    std::uint8_t SRB_Flags;
    std::uint32_t SRB_Hdr_Rsvd;
    std::uint8_t SRB_Target;
    std::uint8_t SRB_Lun;
    std::uint16_t SRB_Rsvd1;
    std::uint32_t SRB_BufLen;
    std::uint8_t* SRB_BufPointer;
    std::uint8_t SRB_SenseLen;
    std::uint8_t SRB_CDBLen;
    std::uint8_t SRB_HaStat;
    std::uint8_t SRB_TargStat;
    void* SRB_PostProc;  // event handle with SRB_EVENT_NOTIFY, callback with SRB_POSTING
    std::uint8_t SRB_Rsvd2[20];
    std::uint8_t CDBByte[16];
    std::uint8_t SenseArea[kSenseAreaLen];
};

struct SRB_Abort {
    std::uint8_t SRB_Cmd;
    std::uint8_t SRB_Status;
    std::uint8_t SRB_HaId;
    std::uint8_t SRB_Flags;
    std::uint32_t SRB_Hdr_Rsvd;
    void* SRB_ToAbort;
};

#pragma pack(pop)

#if defined(_WIN32) && !defined(_WIN64)
static_assert(sizeof(SRB_Header) == 8);
static_assert(sizeof(SRB_HAInquiry) == 60);
static_assert(sizeof(SRB_GDEVBlock) == 12);
static_assert(sizeof(SRB_Abort) == 12);
static_assert(sizeof(SRB_ExecSCSICmd) == 84);
static_assert(offsetof(SRB_ExecSCSICmd, SRB_BufPointer) == 16);
static_assert(offsetof(SRB_ExecSCSICmd, SRB_PostProc) == 24);
static_assert(offsetof(SRB_ExecSCSICmd, CDBByte) == 48);
static_assert(offsetof(SRB_ExecSCSICmd, SenseArea) == 64);
#endif

// Low byte of GetASPI32SupportInfo's result: host adapter count (the next byte is the status).
constexpr std::uint8_t SupportInfoAdapterCount(std::uint32_t info) {
    return static_cast<std::uint8_t>(info & 0xFF);
}

}  // namespace kfs::aspi
