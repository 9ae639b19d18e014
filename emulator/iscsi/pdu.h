#pragma once
// iSCSI protocol data units on a TCP stream: the 48-byte basic header segment, the additional
// header segments (skipped: nothing here needs them) and the data segment padded to 4 bytes. No
// digests: the login settles HeaderDigest and DataDigest on None.
#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace kfs::emu::iscsi {

// Operation codes, initiator to target.
constexpr std::uint8_t kNopOut = 0x00;
constexpr std::uint8_t kScsiCommand = 0x01;
constexpr std::uint8_t kTaskRequest = 0x02;
constexpr std::uint8_t kLoginRequest = 0x03;
constexpr std::uint8_t kTextRequest = 0x04;
constexpr std::uint8_t kDataOut = 0x05;
constexpr std::uint8_t kLogoutRequest = 0x06;
// Target to initiator.
constexpr std::uint8_t kNopIn = 0x20;
constexpr std::uint8_t kScsiResponse = 0x21;
constexpr std::uint8_t kTaskResponse = 0x22;
constexpr std::uint8_t kLoginResponse = 0x23;
constexpr std::uint8_t kTextResponse = 0x24;
constexpr std::uint8_t kDataIn = 0x25;
constexpr std::uint8_t kLogoutResponse = 0x26;
constexpr std::uint8_t kR2t = 0x31;
constexpr std::uint8_t kReject = 0x3F;

constexpr std::uint8_t kImmediateBit = 0x40;  // byte 0 of a request
constexpr std::uint8_t kFinalBit = 0x80;      // byte 1
constexpr std::uint32_t kNoTag = 0xFFFFFFFF;

struct Pdu {
    std::array<std::uint8_t, 48> bhs{};
    std::vector<std::uint8_t> data;

    std::uint8_t Opcode() const { return bhs[0] & 0x3F; }
    bool Immediate() const { return (bhs[0] & kImmediateBit) != 0; }
    bool Final() const { return (bhs[1] & kFinalBit) != 0; }
    std::uint32_t U32(std::size_t at) const;
    std::uint16_t U16(std::size_t at) const;
    void Put32(std::size_t at, std::uint32_t v);
    void Put16(std::size_t at, std::uint16_t v);
    std::uint32_t Itt() const { return U32(16); }
    // The logical unit number of bytes 8-15 (peripheral or flat space addressing).
    int Lun() const;
    void PutLun(int lun);
};

// A response with its operation code and the final bit set.
Pdu MakeResponse(std::uint8_t opcode);

// Reads one PDU; false at the end of the stream or on an error.
bool ReadPdu(int fd, Pdu& pdu);
// Writes one PDU with its data segment length filled in; false when the peer is gone.
bool WritePdu(int fd, Pdu& pdu);

}  // namespace kfs::emu::iscsi
