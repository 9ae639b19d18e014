#include "app/console/command_outcome.h"

#include <scsi/sg_lib.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "drive/cdb.h"
#include "flash/flash_commands.h"

namespace kfs::console {

namespace {

// Sense keys and the codes and qualifiers a drive reports come with their names from the sg3
// library's tables; the names read in capitals, as they do in the drives' manuals.
std::string Upper(std::string text) {
    for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

std::string Hex2(unsigned value, bool upper = true) {
    char text[4];
    std::snprintf(text, sizeof text, upper ? "%02X" : "%02x", value & 0xFF);
    return text;
}

// Key/code/qualifier; in capitals for people, in small letters in the trace like its CDB field.
std::string SenseTriple(const SenseData& sense, bool upper = true) {
    return Hex2(SenseKey(sense), upper) + "/" + Hex2(SenseCode(sense), upper) + "/" +
           Hex2(SenseQualifier(sense), upper);
}

std::string SenseNames(const SenseData& sense) {
    char key[64] = {}, code[128] = {};
    sg_get_sense_key_str(SenseKey(sense), sizeof key, key);
    sg_get_asc_ascq_str(SenseCode(sense), SenseQualifier(sense), sizeof code, code);
    std::string text = Upper(key);
    // The library words a known code behind a prefix, and one it does not know (or a vendor's)
    // as its numbers, which the triple already shows.
    constexpr char kPrefix[] = "Additional sense: ";
    const char* name = code;
    if (std::strncmp(name, kPrefix, sizeof kPrefix - 1) == 0)
        name += sizeof kPrefix - 1;
    if (*name && !std::strstr(name, "ASC="))
        text += ", " + Upper(name);
    return text;
}

constexpr std::uint8_t kKeyNotReady = 0x02;
constexpr std::uint8_t kKeyIllegalRequest = 0x05;
constexpr std::uint8_t kCodeNotReady = 0x04;
constexpr std::uint8_t kCodeNoMedium = 0x3A;
constexpr std::uint8_t kCodeRemovalPrevented = 0x53;
constexpr std::uint8_t kQualifierRemovalPrevented = 0x02;

}  // namespace

std::string CommandText(const Cdb& cdb) {
    if (const char* name = FlashCommandName(cdb))
        return Hex2(cdb[0]) + " " + name;
    char name[80] = {};
    sg_get_opcode_name(cdb[0], PDT_MMC, sizeof name, name);
    // A vendor's operation code comes back as a description of its number, not as a name.
    if (!*name || std::strstr(name, "Vendor") || std::strstr(name, "cdb_byte0"))
        return Hex2(cdb[0]);
    return Hex2(cdb[0]) + " " + Upper(name);
}

std::string CauseText(const CommandResult& result) {
    using Kind = CommandResult::CodeKind;
    if (result.good())
        return "none";
    if (result.outcome == CommandResult::Outcome::CheckCondition)
        return SenseTriple(result.sense) + " " + SenseNames(result.sense);
    const std::string code = std::to_string(result.code);
    switch (result.kind) {
        case Kind::Errno:
            return "error " + code + ": " + std::strerror(static_cast<int>(result.code));
        case Kind::Win32Error:
            return "Windows error " + code;
        case Kind::AspiStatus:
            return "ASPI status " + Hex2(result.code) + "h";
        case Kind::ScsiStatus: {
            char status[64] = {};
            sg_get_scsi_status_str(static_cast<int>(result.code), sizeof status, status);
            return "SCSI status " + Hex2(result.code) + "h " + Upper(status);
        }
        case Kind::HostStatus:
            return "host status " + code + ": the adapter or its driver gave up on the command";
        case Kind::DriverStatus:
            return "driver status " + code + ": the driver gave up on the command";
        case Kind::InvalidDrive:
            return "drive " + code + " is out of reach (not opened for this update)";
        case Kind::None:
            break;
    }
    return "the command failed without a cause";
}

std::optional<std::string> AdviceFor(const CommandResult& result) {
    if (result.outcome == CommandResult::Outcome::Error) {
        if (result.kind != CommandResult::CodeKind::Errno)
            return std::nullopt;
        // The kernel passes the write and vendor commands of a flash update only for a program
        // with CAP_SYS_RAWIO, whatever the device's permissions: EPERM. Opening a device the
        // user may not open is EACCES.
        if (result.code == EPERM)
            return "not permitted: the system sends this command only for root or a program "
                   "with CAP_SYS_RAWIO; run kfsflash as root to write firmware (the group that "
                   "owns the device, cdrom on Debian, is enough to list drives and make backups)";
        if (result.code == EACCES)
            return "not permitted: run as root, or give the user access to the device (join "
                   "the group that owns it, cdrom on Debian, and log in again)";
        if (result.code == EBUSY)
            return "the device is in use: unmount its disc and close programs that use the "
                   "drive";
        return std::nullopt;
    }
    if (result.outcome != CommandResult::Outcome::CheckCondition)
        return std::nullopt;
    const std::uint8_t key = SenseKey(result.sense);
    const std::uint8_t code = SenseCode(result.sense);
    if (code == kCodeNoMedium)
        return "no medium: this command needs a disc in the drive (or a closed tray); check "
               "the tray and try again";
    if (key == kKeyIllegalRequest && code == kCodeRemovalPrevented &&
        SenseQualifier(result.sense) == kQualifierRemovalPrevented)
        return "the medium is locked: another program holds the tray; close programs that "
               "use the drive, unmount its disc, and try again";
    if (key == kKeyNotReady || code == kCodeNotReady)
        return "the drive is not ready: wait until it has settled (a disc spinning up, a tray "
               "moving) and try again";
    return std::nullopt;
}

std::string TraceOutcome(const CommandResult& result) {
    using Kind = CommandResult::CodeKind;
    if (result.good())
        return "";
    if (result.outcome == CommandResult::Outcome::CheckCondition)
        return " sense " + SenseTriple(result.sense, false);
    const char* field = "error";
    switch (result.kind) {
        case Kind::Errno:
        case Kind::Win32Error:
        case Kind::None:
            break;
        case Kind::AspiStatus:
            field = "aspi-status";
            break;
        case Kind::ScsiStatus:
            field = "scsi-status";
            break;
        case Kind::HostStatus:
            field = "host-status";
            break;
        case Kind::DriverStatus:
            field = "driver-status";
            break;
        case Kind::InvalidDrive:
            field = "no-drive";
            break;
    }
    // Appended piece by piece: g++ 12 at -O2 takes `"literal" + std::string&&` for an
    // overlapping copy (-Wrestrict) and the release build would not compile.
    std::string text = " ";
    text += field;
    text += ' ';
    text += std::to_string(result.code);
    return text;
}

}  // namespace kfs::console
