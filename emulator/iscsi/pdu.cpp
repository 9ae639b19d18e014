#include "emulator/iscsi/pdu.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "container/byte_order.h"

namespace kfs::emu::iscsi {

namespace {

bool ReadAll(int fd, std::uint8_t* p, std::size_t n) {
    while (n > 0) {
        const ssize_t got = ::read(fd, p, n);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return false;
        p += got;
        n -= static_cast<std::size_t>(got);
    }
    return true;
}

bool WriteAll(int fd, const std::uint8_t* p, std::size_t n) {
    while (n > 0) {
        const ssize_t put = ::send(fd, p, n, MSG_NOSIGNAL);
        if (put < 0 && errno == EINTR)
            continue;
        if (put <= 0)
            return false;
        p += put;
        n -= static_cast<std::size_t>(put);
    }
    return true;
}

std::size_t Padded(std::size_t n) {
    return (n + 3) & ~std::size_t{3};
}

}  // namespace

std::uint32_t Pdu::U32(std::size_t at) const {
    return GetBe32(&bhs[at]);
}

std::uint16_t Pdu::U16(std::size_t at) const {
    return GetBe16(&bhs[at]);
}

void Pdu::Put32(std::size_t at, std::uint32_t v) {
    PutBe32(&bhs[at], v);
}

void Pdu::Put16(std::size_t at, std::uint16_t v) {
    PutBe16(&bhs[at], v);
}

int Pdu::Lun() const {
    switch (bhs[8] >> 6) {
        case 0:  // peripheral device addressing, bus 0
            return bhs[8] == 0 ? bhs[9] : -1;
        case 1:  // flat space addressing
            return (bhs[8] & 0x3F) << 8 | bhs[9];
        default:
            return -1;
    }
}

void Pdu::PutLun(int lun) {
    bhs[8] = lun < 256 ? 0 : static_cast<std::uint8_t>(0x40 | (lun >> 8));
    bhs[9] = static_cast<std::uint8_t>(lun);
}

Pdu MakeResponse(std::uint8_t opcode) {
    Pdu p;
    p.bhs[0] = opcode;
    p.bhs[1] = kFinalBit;
    return p;
}

bool ReadPdu(int fd, Pdu& pdu) {
    if (!ReadAll(fd, pdu.bhs.data(), pdu.bhs.size()))
        return false;
    const std::size_t ahs = std::size_t{pdu.bhs[4]} * 4;
    const std::size_t length = pdu.U32(4) & 0xFFFFFF;
    std::vector<std::uint8_t> skipped(ahs);
    if (ahs > 0 && !ReadAll(fd, skipped.data(), ahs))
        return false;
    pdu.data.resize(Padded(length));
    if (!ReadAll(fd, pdu.data.data(), pdu.data.size()))
        return false;
    pdu.data.resize(length);
    return true;
}

bool WritePdu(int fd, Pdu& pdu) {
    const auto length = static_cast<std::uint32_t>(pdu.data.size());
    pdu.bhs[4] = 0;
    pdu.bhs[5] = static_cast<std::uint8_t>(length >> 16);
    pdu.bhs[6] = static_cast<std::uint8_t>(length >> 8);
    pdu.bhs[7] = static_cast<std::uint8_t>(length);
    std::vector<std::uint8_t> out(pdu.bhs.begin(), pdu.bhs.end());
    out.insert(out.end(), pdu.data.begin(), pdu.data.end());
    out.resize(out.size() + Padded(length) - length, 0);
    return WriteAll(fd, out.data(), out.size());
}

}  // namespace kfs::emu::iscsi
