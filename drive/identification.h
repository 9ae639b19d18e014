#pragma once
// Who a drive is: hardware identifier, model name, firmware version and date code, read with
// INQUIRY and the vendor identification page. Each returns "" on failure; INQUIRY fields keep
// their trailing blanks, and a field is cut at its first zero byte.
#include <string>

#include "drive/transport.h"

namespace kfs {

std::string GetDriveHardwareId(Transport& transport, DriveIndex drive);  // at most 2 characters
std::string GetDriveModelName(Transport& transport, DriveIndex drive);   // at most 24
std::string GetDriveVersion(Transport& transport, DriveIndex drive);     // at most 4
std::string GetDriveDateCode(Transport& transport, DriveIndex drive);    // at most 6

// CDB templates, exposed for the tests and the emulator front ends.
extern const Cdb kVendorIdentificationPageCdb;  // 5A 00 38 4B 45 10 ..., 20 bytes in
extern const Cdb kInquiryCdb;                   // 12 00 00 00 FF ..., 255 bytes in

}  // namespace kfs
