#include "drive/identification.h"

#include <array>
#include <cstring>

namespace kfs {

const Cdb kVendorIdentificationPageCdb = {0x5A, 0x00, 0x38, 0x4B, 0x45, 0x10,
                                          0x00, 0x00, 0x00, 0x04, 0x00, 0x00};
const Cdb kInquiryCdb = {0x12, 0x00, 0x00, 0x00, 0xFF, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};

namespace {

constexpr std::uint16_t kInquiryLength = 255;
constexpr std::uint16_t kVendorPageLength = 20;

using Reply = std::array<std::uint8_t, 256>;

// The field [first, first + length) of a reply, ending at its first zero byte.
std::string Field(const Reply& reply, std::size_t first, std::size_t length) {
    std::string text;
    for (std::size_t i = first; i < first + length && reply[i] != 0; ++i)
        text.push_back(static_cast<char>(reply[i]));
    return text;
}

// INQUIRY into a cleared reply buffer: bytes a short reply did not carry read as zero.
std::string InquiryField(Transport& transport, DriveIndex drive, std::size_t first,
                         std::size_t length) {
    Reply reply{};
    if (!transport.SendPacketCommand(drive, kInquiryCdb, reply.data(), kInquiryLength, kDirIn))
        return "";
    return Field(reply, first, length);
}

}  // namespace

std::string GetDriveModelName(Transport& transport, DriveIndex drive) {
    return InquiryField(transport, drive, 8, 24);
}

std::string GetDriveVersion(Transport& transport, DriveIndex drive) {
    return InquiryField(transport, drive, 32, 4);
}

std::string GetDriveDateCode(Transport& transport, DriveIndex drive) {
    return InquiryField(transport, drive, 40, 6);
}

std::string GetDriveHardwareId(Transport& transport, DriveIndex drive) {
    // The buffer is cleared first: a drive that rejects the page, or an index with no drive,
    // must not leave stale bytes that read as a "KEMO" answer.
    Reply reply{};
    transport.SendPacketCommand(drive, kVendorIdentificationPageCdb, reply.data(),
                                kVendorPageLength, kDirIn);
    if (std::memcmp(reply.data(), "KEMO", 4) == 0)
        return Field(reply, 18, 2);
    return InquiryField(transport, drive, 38, 2);
}

}  // namespace kfs
