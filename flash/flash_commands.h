#pragma once
// The flash command set: one operation per packet command, each a constant CDB template patched
// with its arguments. Every command returns the transport's result (good, or the sense or error
// behind a failure); the questions (QueryFlashFeature, GetDriveCheckSum, IsTrayOpen,
// IsMediumPresent) return their answer. None retries.
#include <cstddef>
#include <cstdint>

#include "drive/transport.h"

namespace kfs {

// QueryFlashFeature's number for "the drive keeps a firmware check sum".
constexpr int FeatureCheckSum = 13;

// The flash is addressed in banks of 64 KB: ReadRom and the bank writes take a bank number and
// an address inside it.
constexpr std::uint32_t kFlashBankSize = 65536;

// Transfer lengths of the fixed-size commands.
constexpr std::uint16_t kFlashSenseLength = 18;
constexpr std::uint16_t kFeatureReplyLength = 10;
constexpr std::uint16_t kCheckSumReplyLength = 8;
constexpr std::uint16_t kSetCheckSumLength = 10;
constexpr std::uint16_t kPhilipsBlockLength = 16384;
constexpr std::uint16_t kEventStatusLength = 16;
constexpr std::uint16_t kVendorBlockA3Length = 65535;
constexpr std::uint16_t kA0TriggerLength = 128;
constexpr std::uint16_t kAliBlockLength = 16384;

CommandResult TestUnitReady(Transport& t, DriveIndex drive);
// REQUEST SENSE with the vendor bits: byte 3 = 10h for the upper half, byte 5 = 80h to
// acknowledge completion. Reads 18 bytes into `sense18`.
CommandResult RequestFlashSense(Transport& t, DriveIndex drive, std::uint8_t* sense18, bool upper,
                                bool acknowledge);
// Feature 0 to 13 (others: false, nothing sent). `reply` holds at least 10 bytes.
bool QueryFlashFeature(Transport& t, DriveIndex drive, std::uint8_t* reply, int feature);
// `reply` holds at least 8 bytes; valid when it starts "KE" and byte 2 >= 5. The check sum is
// then reply[6] * 256 + reply[7].
bool GetDriveCheckSum(Transport& t, DriveIndex drive, std::uint8_t* reply);
CommandResult SetDriveCheckSum(Transport& t, DriveIndex drive, std::uint16_t p, std::uint16_t q);
CommandResult SetMediumLock(Transport& t, DriveIndex drive, bool prevent);
// `block` holds 16384 bytes; i is the block number, n the block count.
CommandResult SendPhilipsBlock(Transport& t, DriveIndex drive, const std::uint8_t* block,
                               std::uint8_t i, std::uint8_t n, std::uint16_t p, std::uint16_t q);
CommandResult LoadTray(Transport& t, DriveIndex drive);
CommandResult EjectTray(Transport& t, DriveIndex drive);
bool IsTrayOpen(Transport& t, DriveIndex drive);
bool IsMediumPresent(Transport& t, DriveIndex drive);
// `length` bytes of bank `bank` from `address` within the bank.
CommandResult ReadRom(Transport& t, DriveIndex drive, std::uint8_t* buffer, std::uint16_t address,
                      std::uint8_t bank, std::uint16_t length);
// `buffer` holds at least 65535 bytes.
CommandResult ReadVendorBlockA3(Transport& t, DriveIndex drive, std::uint8_t* buffer);
// WRITE BUFFER mode 06h: `length` bytes to buffer offset bank * 65536 + offset.
CommandResult WriteBufferAt(Transport& t, DriveIndex drive, const std::uint8_t* data,
                            std::uint16_t length, std::uint8_t bank, std::uint16_t offset);
// WRITE BUFFER mode 07h without data: start programming (upper half when `upper`).
CommandResult StartFlashWrite(Transport& t, DriveIndex drive, bool upper);
// WRITE BUFFER mode 01h with buffer ID `mode` (1 before the first block of a pass, 0 after).
CommandResult SetDownloadMode(Transport& t, DriveIndex drive, std::uint8_t mode);
// WRITE BUFFER mode 07h for bank `bank` without data: the drive saves the bank it holds in its
// buffer to flash.
CommandResult SaveBufferToFlash(Transport& t, DriveIndex drive, std::uint8_t bank);

// Vendor A0 bank write: `length` bytes of bank `bank`. Bytes 8-9 carry `field`, the length sent
// when banks go out whole, the offset within the bank when they go out as 32 KB halves.
CommandResult WriteA0Bank(Transport& t, DriveIndex drive, const std::uint8_t* data,
                          std::uint16_t length, std::uint8_t bank, std::uint16_t field);
// Vendor A0 trigger: the drive programs the banks it holds. `kind` is 04h or 05h; the command
// carries the bank count less 32 (modulo 256), the container's header check sum, and `head`, the
// first 128 image bytes.
CommandResult TriggerA0(Transport& t, DriveIndex drive, const std::uint8_t* head, std::uint8_t kind,
                        std::size_t banks, std::uint16_t headerCheckSum);
// ALi block `number` (from 1) of `count`: 16384 bytes with their 16-bit sum and that of the
// whole image, behind the maker signature.
CommandResult SendAliBlock(Transport& t, DriveIndex drive, const std::uint8_t* block,
                           std::uint16_t blockSum, std::uint16_t imageSum, std::uint8_t number,
                           std::uint8_t count);

// True for the commands that carry firmware to the drive or make it program what it holds (the
// bank and block writes of every family, their triggers and saves): what may change the flash.
bool IsFlashWrite(const Cdb& cdb);

// The name of one of the vendor commands above (or of a WRITE BUFFER mode they use), recognised
// by the bytes its template fixes; nullptr for a standard command, which has its standard name.
const char* FlashCommandName(const Cdb& cdb);

}  // namespace kfs
