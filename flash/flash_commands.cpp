#include "flash/flash_commands.h"

#include <cstring>
#include <initializer_list>

#include "drive/cdb.h"

namespace kfs {

namespace {

constexpr Cdb kTestUnitReady = {0x00, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
constexpr Cdb kRequestFlashSense = {0x03, 0, 0, 0, 0x12, 0, 0, 0, 0, 0, 0, 0};
constexpr Cdb kQueryFlashFeature = {0x5A, 0, 0x34, 0x4B, 0x45, 0x00, 0, 0, 0, 0, 0, 0};
constexpr Cdb kGetDriveCheckSum = {0x5A, 0, 0x34, 0x4B, 0x45, 0x0B, 0x00, 0, 0, 0, 0, 0};
constexpr Cdb kSetDriveCheckSum = {0x5A, 0, 0x34, 0x4B, 0x45, 0x0B, 0x01, 0, 0, 0, 0, 0};
constexpr Cdb kSetMediumLock = {0x1E, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
constexpr Cdb kSendPhilipsBlock = {0xFA, 0, 0, 0, 0, 0, 0x01, 0, 0, 0, 0, 0};
constexpr Cdb kLoadTray = {0x1B, 0x01, 0, 0, 0x03, 0, 0, 0, 0, 0, 0, 0};
constexpr Cdb kEjectTray = {0x1B, 0x01, 0, 0, 0x02, 0, 0, 0, 0, 0, 0, 0};
constexpr Cdb kTrayEventStatus = {0x4A, 0x01, 0, 0, 0x10, 0, 0, 0, 0x10, 0, 0, 0};
constexpr Cdb kMediumEventStatus = {0x4A, 0x01, 0, 0, 0x50, 0, 0, 0, 0x10, 0, 0, 0};
constexpr Cdb kReadRom = {0x5A, 0, 0x38, 0x4B, 0x45, 0x11, 0, 0, 0, 0, 0, 0};
constexpr Cdb kReadVendorBlockA3 = {0x5A, 0, 0x38, 0x4B, 0x45, 0xA3, 0, 0, 0, 0, 0, 0};
constexpr Cdb kWriteBufferAt = {0x3B, 0x06, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
constexpr Cdb kStartFlashWrite = {0x3B, 0x07, 0, 0, 0, 0, 0x10, 0, 0, 0, 0, 0};
constexpr Cdb kSetDownloadMode = {0x3B, 0x01, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
constexpr Cdb kSaveBufferToFlash = {0x3B, 0x07, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
constexpr Cdb kWriteA0Bank = {0x5A, 0, 0x38, 0x4B, 0x45, 0xA0, 0x05, 0, 0, 0, 0, 0};
constexpr Cdb kTriggerA0 = {0x5A, 0, 0x38, 0x4B, 0x45, 0xA0, 0, 0, 0x00, 0x80, 0, 0};
constexpr Cdb kSendAliBlock = {0xFD, 0x07, 0x4B, 0x45, 0x4D, 0x4F, 0, 0, 0, 0, 0, 0};

CommandResult Send(Transport& t, DriveIndex drive, const Cdb& cdb, std::uint8_t* data,
                   std::uint16_t length, std::uint8_t direction,
                   std::uint32_t timeoutMs = kDefaultTimeoutMs) {
    return t.SendPacketCommand(drive, cdb, data, length, direction, timeoutMs);
}

bool StartsKe(const std::uint8_t* reply) {
    return reply[0] == 0x4B && reply[1] == 0x45;
}

// GET EVENT STATUS NOTIFICATION into a cleared reply: a command that moved no data reads as
// "no" for both questions.
bool EventStatusBit(Transport& t, DriveIndex drive, const Cdb& cdb, std::uint8_t mask) {
    std::uint8_t reply[kEventStatusLength] = {};
    Send(t, drive, cdb, reply, kEventStatusLength, kDirIn);
    return (reply[5] & mask) != 0;
}

}  // namespace

CommandResult TestUnitReady(Transport& t, DriveIndex drive) {
    return Send(t, drive, kTestUnitReady, nullptr, 0, kDirNone);
}

CommandResult RequestFlashSense(Transport& t, DriveIndex drive, std::uint8_t* sense18, bool upper,
                                bool acknowledge) {
    Cdb cdb = kRequestFlashSense;
    cdb[3] = upper ? 0x10 : 0x00;
    cdb[5] = acknowledge ? 0x80 : 0x00;
    return Send(t, drive, cdb, sense18, kFlashSenseLength, kDirIn);
}

bool QueryFlashFeature(Transport& t, DriveIndex drive, std::uint8_t* reply, int feature) {
    if (feature < 0 || feature > 13)
        return false;
    std::memset(reply, 0, kFeatureReplyLength);
    if (!Send(t, drive, kQueryFlashFeature, reply, kFeatureReplyLength, kDirIn))
        return false;
    if (!StartsKe(reply))
        return false;
    if (feature == 0)
        return true;
    if (feature <= 8)
        return (reply[5] >> (feature - 1)) & 1;
    if (feature <= 12)
        return (reply[6] >> (feature - 9)) & 1;
    return (reply[6] >> 6) & 1;
}

bool GetDriveCheckSum(Transport& t, DriveIndex drive, std::uint8_t* reply) {
    std::memset(reply, 0, kCheckSumReplyLength);
    // Judged by the reply alone: some drives report a check condition with a valid answer.
    Send(t, drive, kGetDriveCheckSum, reply, kCheckSumReplyLength, kDirIn);
    return StartsKe(reply) && reply[2] >= 5;
}

CommandResult SetDriveCheckSum(Transport& t, DriveIndex drive, std::uint16_t p, std::uint16_t q) {
    Cdb cdb = kSetDriveCheckSum;
    PutBe16(cdb, 7, p);
    PutBe16(cdb, 9, q);
    // The data phase carries nothing of meaning: the values travel in the CDB.
    std::uint8_t data[kSetCheckSumLength] = {};
    return Send(t, drive, cdb, data, kSetCheckSumLength, kDirOut);
}

CommandResult SetMediumLock(Transport& t, DriveIndex drive, bool prevent) {
    Cdb cdb = kSetMediumLock;
    cdb[4] = prevent ? 1 : 0;
    return Send(t, drive, cdb, nullptr, 0, kDirNone);
}

CommandResult SendPhilipsBlock(Transport& t, DriveIndex drive, const std::uint8_t* block,
                               std::uint8_t i, std::uint8_t n, std::uint16_t p, std::uint16_t q) {
    Cdb cdb = kSendPhilipsBlock;
    PutLe16(cdb, 1, p);
    PutLe16(cdb, 3, q);
    cdb[5] = i;
    PutLe16(cdb, 7, p);
    PutLe16(cdb, 9, q);
    cdb[11] = n;
    return Send(t, drive, cdb, const_cast<std::uint8_t*>(block), kPhilipsBlockLength, kDirOut);
}

CommandResult LoadTray(Transport& t, DriveIndex drive) {
    return Send(t, drive, kLoadTray, nullptr, 0, kDirNone);
}

CommandResult EjectTray(Transport& t, DriveIndex drive) {
    return Send(t, drive, kEjectTray, nullptr, 0, kDirNone);
}

bool IsTrayOpen(Transport& t, DriveIndex drive) {
    return EventStatusBit(t, drive, kTrayEventStatus, 0x01);
}

bool IsMediumPresent(Transport& t, DriveIndex drive) {
    return EventStatusBit(t, drive, kMediumEventStatus, 0x02);
}

CommandResult ReadRom(Transport& t, DriveIndex drive, std::uint8_t* buffer, std::uint16_t address,
                      std::uint8_t bank, std::uint16_t length) {
    Cdb cdb = kReadRom;
    PutBe16(cdb, 6, address);
    cdb[9] = bank;
    PutBe16(cdb, 10, length);
    return Send(t, drive, cdb, buffer, length, kDirIn);
}

CommandResult ReadVendorBlockA3(Transport& t, DriveIndex drive, std::uint8_t* buffer) {
    return Send(t, drive, kReadVendorBlockA3, buffer, kVendorBlockA3Length, kDirIn);
}

CommandResult WriteBufferAt(Transport& t, DriveIndex drive, const std::uint8_t* data,
                            std::uint16_t length, std::uint8_t bank, std::uint16_t offset) {
    Cdb cdb = kWriteBufferAt;
    cdb[3] = bank;
    PutBe16(cdb, 4, offset);
    PutBe16(cdb, 7, length);
    return Send(t, drive, cdb, const_cast<std::uint8_t*>(data), length, kDirOut);
}

CommandResult StartFlashWrite(Transport& t, DriveIndex drive, bool upper) {
    Cdb cdb = kStartFlashWrite;
    cdb[3] = upper ? 0x10 : 0x00;
    return Send(t, drive, cdb, nullptr, 0, kDirNone, kLongTimeoutMs);
}

CommandResult SetDownloadMode(Transport& t, DriveIndex drive, std::uint8_t mode) {
    Cdb cdb = kSetDownloadMode;
    cdb[2] = mode;
    return Send(t, drive, cdb, nullptr, 0, kDirNone);
}

CommandResult SaveBufferToFlash(Transport& t, DriveIndex drive, std::uint8_t bank) {
    Cdb cdb = kSaveBufferToFlash;
    cdb[3] = bank;
    return Send(t, drive, cdb, nullptr, 0, kDirNone);
}

CommandResult WriteA0Bank(Transport& t, DriveIndex drive, const std::uint8_t* data,
                          std::uint16_t length, std::uint8_t bank, std::uint16_t field) {
    Cdb cdb = kWriteA0Bank;
    cdb[7] = bank;
    PutBe16(cdb, 8, field);
    return Send(t, drive, cdb, const_cast<std::uint8_t*>(data), length, kDirOut);
}

CommandResult TriggerA0(Transport& t, DriveIndex drive, const std::uint8_t* head, std::uint8_t kind,
                        std::size_t banks, std::uint16_t headerCheckSum) {
    Cdb cdb = kTriggerA0;
    cdb[6] = kind;
    cdb[7] = static_cast<std::uint8_t>((banks + 0xE0) & 0xFF);
    PutBe16(cdb, 10, headerCheckSum);
    return Send(t, drive, cdb, const_cast<std::uint8_t*>(head), kA0TriggerLength, kDirOut,
                kLongTimeoutMs);
}

CommandResult SendAliBlock(Transport& t, DriveIndex drive, const std::uint8_t* block,
                           std::uint16_t blockSum, std::uint16_t imageSum, std::uint8_t number,
                           std::uint8_t count) {
    Cdb cdb = kSendAliBlock;
    PutBe16(cdb, 6, blockSum);
    PutBe16(cdb, 8, imageSum);
    cdb[10] = number;
    cdb[11] = count;
    return Send(t, drive, cdb, const_cast<std::uint8_t*>(block), kAliBlockLength, kDirOut,
                kLongTimeoutMs);
}

namespace {

// Byte positions a template fixes, as a mask (bit n for byte n).
constexpr std::uint16_t Bytes(std::initializer_list<int> positions) {
    std::uint16_t mask = 0;
    for (int at : positions) mask = static_cast<std::uint16_t>(mask | 1u << at);
    return mask;
}

// True when `cdb` has the bytes of `pattern` at every position of `fixed`.
bool Fixes(const Cdb& cdb, const Cdb& pattern, std::uint16_t fixed) {
    for (std::size_t at = 0; at < cdb.size(); ++at)
        if ((fixed >> at & 1) && cdb[at] != pattern[at])
            return false;
    return true;
}

struct NamedCommand {
    const Cdb& pattern;
    std::uint16_t fixed;
    const char* name;
};

}  // namespace

bool IsFlashWrite(const Cdb& cdb) {
    constexpr std::uint8_t kWriteBuffer = 0x3B;
    if (cdb[0] == kWriteBuffer) {
        // Modes 06h and 07h (download with offsets, and save); the download mode switch (01h)
        // carries nothing to the flash.
        const std::uint8_t mode = cdb[1] & 0x1F;
        return mode == 0x06 || mode == 0x07;
    }
    return Fixes(cdb, kWriteA0Bank, Bytes({0, 2, 3, 4, 5})) ||
           Fixes(cdb, kSendPhilipsBlock, Bytes({0})) ||
           Fixes(cdb, kSendAliBlock, Bytes({0, 1, 2, 3, 4, 5}));
}

const char* FlashCommandName(const Cdb& cdb) {
    // Most specific first: the WRITE BUFFER save differs from the start of programming by byte 6.
    static const NamedCommand kNames[] = {
        {kQueryFlashFeature, Bytes({0, 2, 3, 4, 5}), "QUERY FLASH FEATURE"},
        {kGetDriveCheckSum, Bytes({0, 2, 3, 4, 5, 6}), "GET DRIVE CHECK SUM"},
        {kSetDriveCheckSum, Bytes({0, 2, 3, 4, 5, 6}), "SET DRIVE CHECK SUM"},
        {kReadRom, Bytes({0, 2, 3, 4, 5}), "READ ROM"},
        {kReadVendorBlockA3, Bytes({0, 2, 3, 4, 5}), "READ VENDOR BLOCK A3"},
        {kTriggerA0, Bytes({0, 2, 3, 4, 5, 8, 9}), "A0 PROGRAM TRIGGER"},
        {kWriteA0Bank, Bytes({0, 2, 3, 4, 5}), "A0 BANK WRITE"},
        {kSendPhilipsBlock, Bytes({0}), "PHILIPS BLOCK WRITE"},
        {kSendAliBlock, Bytes({0, 1, 2, 3, 4, 5}), "ALI BLOCK WRITE"},
        {kWriteBufferAt, Bytes({0, 1}), "WRITE BUFFER (flash block)"},
        {kStartFlashWrite, Bytes({0, 1, 6}), "WRITE BUFFER (start programming)"},
        {kSaveBufferToFlash, Bytes({0, 1}), "WRITE BUFFER (save bank to flash)"},
        {kSetDownloadMode, Bytes({0, 1}), "WRITE BUFFER (download mode)"},
    };
    for (const NamedCommand& entry : kNames)
        if (Fixes(cdb, entry.pattern, entry.fixed))
            return entry.name;
    return nullptr;
}

}  // namespace kfs
