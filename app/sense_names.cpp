#include "app/sense_names.h"

#include <cstdio>

namespace kfs {
namespace {

constexpr const char* kKeyNames[16] = {
    "NO SENSE",       "RECOVERED ERROR", "NOT READY",      "MEDIUM ERROR",
    "HARDWARE ERROR", "ILLEGAL REQUEST", "UNIT ATTENTION", "DATA PROTECT",
    "BLANK CHECK",    "VENDOR SPECIFIC", "COPY ABORTED",   "ABORTED COMMAND",
    "EQUAL",          "VOLUME OVERFLOW", "MISCOMPARE",     "COMPLETED",
};

struct CodeName {
    std::uint8_t code, qualifier;
    const char* name;
};

// The conditions an optical drive reports while it is identified, flashed and read back.
constexpr CodeName kCodeNames[] = {
    {0x00, 0x00, "NO ADDITIONAL SENSE INFORMATION"},
    {0x02, 0x00, "NO SEEK COMPLETE"},
    {0x03, 0x00, "PERIPHERAL DEVICE WRITE FAULT"},
    {0x04, 0x00, "LOGICAL UNIT NOT READY, CAUSE NOT REPORTABLE"},
    {0x04, 0x01, "LOGICAL UNIT IS IN PROCESS OF BECOMING READY"},
    {0x04, 0x02, "LOGICAL UNIT NOT READY, INITIALIZING COMMAND REQUIRED"},
    {0x04, 0x03, "LOGICAL UNIT NOT READY, MANUAL INTERVENTION REQUIRED"},
    {0x04, 0x04, "LOGICAL UNIT NOT READY, FORMAT IN PROGRESS"},
    {0x04, 0x07, "LOGICAL UNIT NOT READY, OPERATION IN PROGRESS"},
    {0x04, 0x08, "LOGICAL UNIT NOT READY, LONG WRITE IN PROGRESS"},
    {0x05, 0x00, "LOGICAL UNIT DOES NOT RESPOND TO SELECTION"},
    {0x08, 0x00, "LOGICAL UNIT COMMUNICATION FAILURE"},
    {0x08, 0x01, "LOGICAL UNIT COMMUNICATION TIME-OUT"},
    {0x0C, 0x00, "WRITE ERROR"},
    {0x11, 0x00, "UNRECOVERED READ ERROR"},
    {0x1A, 0x00, "PARAMETER LIST LENGTH ERROR"},
    {0x20, 0x00, "INVALID COMMAND OPERATION CODE"},
    {0x21, 0x00, "LOGICAL BLOCK ADDRESS OUT OF RANGE"},
    {0x24, 0x00, "INVALID FIELD IN CDB"},
    {0x25, 0x00, "LOGICAL UNIT NOT SUPPORTED"},
    {0x26, 0x00, "INVALID FIELD IN PARAMETER LIST"},
    {0x28, 0x00, "NOT READY TO READY CHANGE, MEDIUM MAY HAVE CHANGED"},
    {0x29, 0x00, "POWER ON, RESET, OR BUS DEVICE RESET OCCURRED"},
    {0x2C, 0x00, "COMMAND SEQUENCE ERROR"},
    {0x30, 0x00, "INCOMPATIBLE MEDIUM INSTALLED"},
    {0x3A, 0x00, "MEDIUM NOT PRESENT"},
    {0x3A, 0x01, "MEDIUM NOT PRESENT - TRAY CLOSED"},
    {0x3A, 0x02, "MEDIUM NOT PRESENT - TRAY OPEN"},
    {0x3E, 0x00, "LOGICAL UNIT HAS NOT SELF-CONFIGURED YET"},
    {0x44, 0x00, "INTERNAL TARGET FAILURE"},
    {0x47, 0x00, "SCSI PARITY ERROR"},
    {0x4E, 0x00, "OVERLAPPED COMMANDS ATTEMPTED"},
    {0x53, 0x02, "MEDIUM REMOVAL PREVENTED"},
    {0x5D, 0x00, "FAILURE PREDICTION THRESHOLD EXCEEDED"},
};

struct OpName {
    std::uint8_t opcode;
    const char* name;
};

// The standard commands the program sends (the vendor commands FAh and FDh have no name here).
constexpr OpName kCommandNames[] = {
    {0x00, "TEST UNIT READY"},
    {0x03, "REQUEST SENSE"},
    {0x12, "INQUIRY"},
    {0x1B, "START STOP UNIT"},
    {0x1E, "PREVENT ALLOW MEDIUM REMOVAL"},
    {0x3B, "WRITE BUFFER"},
    {0x4A, "GET EVENT STATUS NOTIFICATION"},
    {0x5A, "MODE SENSE(10)"},
};

std::string Hex2(std::uint8_t value) {
    char text[3];
    std::snprintf(text, sizeof text, "%02X", value);
    return text;
}

}  // namespace

const char* SenseKeyName(std::uint8_t key) {
    return kKeyNames[key & 0x0F];
}

const char* AdditionalSenseName(std::uint8_t code, std::uint8_t qualifier) {
    for (const CodeName& entry : kCodeNames)
        if (entry.code == code && entry.qualifier == qualifier)
            return entry.name;
    return nullptr;
}

const char* CommandName(std::uint8_t opcode) {
    for (const OpName& entry : kCommandNames)
        if (entry.opcode == opcode)
            return entry.name;
    return nullptr;
}

std::string DescribeSense(const SenseData& sense) {
    const std::uint8_t key = sense[2] & 0x0F;
    const std::uint8_t code = sense[12];
    const std::uint8_t qualifier = sense[13];
    std::string text =
        Hex2(key) + "/" + Hex2(code) + "/" + Hex2(qualifier) + " " + SenseKeyName(key);
    if (const char* name = AdditionalSenseName(code, qualifier))
        text += std::string(", ") + name;
    return text;
}

std::string DescribeCommand(std::uint8_t opcode) {
    const char* name = CommandName(opcode);
    return name ? Hex2(opcode) + " " + name : Hex2(opcode);
}

}  // namespace kfs
