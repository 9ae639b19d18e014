#pragma once
// Emulated optical drives: a set of drives described by a JSON text, each answering 12-byte
// packet commands the way a real drive of its controller family does. Used in-process by the
// native tests and the Linux front end, and behind the emulated WNASPI32.DLL on Windows.
//
// The library is self-contained (it does not use the drive layer): a command is a CDB, a data
// buffer, a transfer length and the ASPI direction byte, and the answer is a status with fixed
// format sense data. Time is the emulator's own virtual clock, moved only by Advance(), so runs
// are reproducible; no wall clock and no unseeded randomness is used anywhere.
//
// Not thread-safe: a DriveSet is used from one thread at a time (callers serialise).
#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace kfs::emu {

using Sense = std::array<std::uint8_t, 18>;

// ASPI direction byte values (anything else: no data phase).
constexpr std::uint8_t kDirIn = 0x08;
constexpr std::uint8_t kDirOut = 0x10;

// Peripheral device type of a CD-ROM in INQUIRY byte 0 and in the ASPI device-type scan.
constexpr std::uint8_t kDeviceTypeCdRom = 5;

// Size of the INQUIRY data a drive holds (the reply is cut to the allocation length).
constexpr std::size_t kInquirySize = 96;

// Fixed-format sense record (18 bytes): byte 0 = 70h, byte 2 = key, byte 7 = 10 (additional
// length), byte 12 = additional sense code, byte 13 = qualifier.
Sense MakeSense(std::uint8_t key, std::uint8_t asc, std::uint8_t ascq);

// ---------------------------------------------------------------------------------------------
// Drive description (see emulator/README.md for the JSON form).

struct Fault {
    enum class Kind {
        FailCommand,    // the n-th command with `opcode` (and `subcode` in byte 5) fails with sense
        StayBoot,       // after each of the first `count` flashes the drive reports revision "BOOT"
        NeverReady,     // TEST UNIT READY never succeeds (2/04/01)
        FlipFlashByte,  // the flash byte at `offset` is inverted whenever the drive is programmed
        ShortReply,     // data-in replies of `opcode` (and `subcode`) carry only `bytes` bytes
    };
    Kind kind = Kind::FailCommand;
    std::uint8_t opcode = 0;
    int subcode = -1;  // byte 5 of the CDB, or -1 for any
    int nth = 0;       // FailCommand: 1-based position among matching commands; 0 = every one
    Sense sense{};     // FailCommand
    // FailCommand: not 0, the host's system refuses to pass the command on with this errno (as
    // Linux refuses WRITE BUFFER to a program without CAP_SYS_RAWIO): the drive never sees it.
    int systemError = 0;
    // FailCommand: the drive carries the command out and only then fails it: a status lost as
    // the drive restarts into programming.
    bool carriedOut = false;
    // FailCommand: the drive takes the command and never answers it (a hung command); nothing of
    // it is carried out. The host gives up on it when the command's time-out runs out.
    bool noAnswer = false;
    int count = 0;             // StayBoot
    std::uint32_t offset = 0;  // FlipFlashByte
    int bytes = -1;            // ShortReply: bytes transferred; -1 = half of the transfer length
    // Every kind: the fault holds from the drive's `from`-th command on (1-based; 0 and 1 from
    // the start). Commands before it go as without the fault and count towards no `nth`, so a
    // fault can strike in the middle of an update without disturbing what came before.
    std::uint64_t from = 0;
};

struct DriveDescription {
    std::string vendor;      // padded with blanks to 8 characters when loaded
    std::string product;     // padded with blanks to 16 characters when loaded
    std::string revision;    // 4 characters (shorter: padded with blanks)
    std::string hardwareId;  // 2 characters
    std::string dateCode;    // 6 characters
    bool vendorPage = true;  // answers the vendor identification page with "KEMO"
    std::string family = "a0";
    std::uint32_t flashSize = 2 * 1024 * 1024;
    bool keepsChecksum = false;
    std::uint16_t checksum = 0;  // the firmware check sum the drive reports at first
    bool trayOpen = false;
    bool medium = false;
    std::uint8_t deviceType = kDeviceTypeCdRom;  // other values model non-CD-ROM devices
    // ASPI address (host adapter, target, LUN); defaults to adapter 0, target = position, LUN 0.
    std::uint8_t hostAdapter = 0, target = 0, lun = 0;
    std::uint32_t seed = 1;  // initial flash ROM content is a pseudo-random sequence from it
    // A file that holds the flash between runs: read when the ROM is made (its first flashSize
    // bytes; the rest comes from the seed), written back by DriveSet::SaveRomFiles. Empty: none.
    std::string romFile;
    // Behind a bridge (TCM-user, iSCSI) the drive's clock runs this many times faster than the
    // wall clock, so its erase, programming and restart times pass that much sooner. In-process
    // the clock is virtual and this has no effect.
    std::uint32_t timeScale = 1;
    std::vector<Fault> faults;
};

class DescriptionError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// Parses a description text { "drives": [ ... ] }. Throws DescriptionError with a message that
// names the drive and key at fault.
std::vector<DriveDescription> ParseDescription(std::string_view json);
// Reads and parses a description file. Throws DescriptionError.
std::vector<DriveDescription> LoadDescriptionFile(const std::string& path);

// The family names a description may use.
const std::vector<std::string>& KnownFamilies();

// ---------------------------------------------------------------------------------------------
// Commands and their outcome.

struct Command {
    std::array<std::uint8_t, 12> cdb{};
    std::uint8_t* data = nullptr;  // caller's buffer: filled for data in, read for data out
    std::uint16_t length = 0;      // transfer length
    std::uint8_t direction = 0;    // kDirIn, kDirOut or none

    std::uint8_t opcode() const { return cdb[0]; }
    bool IsVendor(std::uint8_t page) const;  // 5A 00 <page> 4B 45 ...
};

struct Outcome {
    bool good = true;               // false: CHECK CONDITION with `sense`
    Sense sense{};                  // all zero when good
    std::uint32_t transferred = 0;  // bytes of the data phase actually moved
    // Not 0: the host's system refused the command with this errno before it reached the drive
    // (good is false, the sense all zero). The in-process transport reports it as the system's
    // error, the emulated WNASPI32.DLL as a request that failed without a target status.
    int systemError = 0;
    // The drive never answered (a `no_answer` fault; good is false, the sense all zero). The
    // in-process transport reports the host's time-out, a bridge sends no status at all.
    bool unanswered = false;

    static Outcome Good(std::uint32_t transferred = 0) { return {true, Sense{}, transferred}; }
    static Outcome Check(std::uint8_t key, std::uint8_t asc, std::uint8_t ascq) {
        return {false, MakeSense(key, asc, ascq), 0};
    }
};

// ---------------------------------------------------------------------------------------------
// One emulated drive: its state, open to the flash protocols and to tests.

class Drive {
  public:
    explicit Drive(DriveDescription description);

    const DriveDescription& description() const { return description_; }

    // Flash ROM (flashSize bytes). It is made on first use: a program that starts against
    // emulated drives and never flashes should not fill megabytes per drive before its window.
    std::vector<std::uint8_t>& rom() { return Rom(); }
    const std::vector<std::uint8_t>& rom() const { return Rom(); }

    // INQUIRY data as the drive answers it now (revision "BOOT" while a stay_boot fault holds).
    std::array<std::uint8_t, kInquirySize> Inquiry() const;
    // Replaces the identity, e.g. with the INQUIRY block of a freshly programmed image. Bytes
    // beyond `size` keep their value.
    void SetInquiry(const std::uint8_t* data, std::size_t size);

    bool trayOpen = false;
    bool medium = false;
    bool locked = false;  // PREVENT ALLOW MEDIUM REMOVAL
    std::uint16_t checksum = 0;

    // Busy: until `untilMs` (virtual ms) TEST UNIT READY and friends answer `busySense`.
    void SetBusy(std::uint64_t untilMs, const Sense& sense) {
        busyUntil_ = untilMs;
        busySense_ = sense;
    }
    bool IsBusy(std::uint64_t nowMs) const { return nowMs < busyUntil_; }
    const Sense& busySense() const { return busySense_; }

    // Called by a flash protocol when programming has finished with `image` written at `offset`
    // of the ROM: copies it, applies the flip_flash_byte and stay_boot faults, counts the flash.
    void CompleteFlash(std::uint32_t offset, const std::uint8_t* image, std::size_t size);
    int flashCount() const { return flashCount_; }
    bool romMade() const { return romMade_; }
    bool bootMode() const { return bootMode_; }

    // Commands this drive has received so far, the one in progress included.
    std::uint64_t commandCount() const { return commandCount_; }
    // True when `fault` holds at this point (its `from` command has been reached).
    bool FaultHolds(const Fault& fault) const { return commandCount_ >= fault.from; }
    // True when a fault of that kind holds now.
    bool HasFault(Fault::Kind kind) const;

    // Sense kept for REQUEST SENSE after a failed command (cleared when it is read).
    Sense pendingSense{};

  private:
    friend class DriveSet;
    std::vector<std::uint8_t>& Rom() const;

    DriveDescription description_;
    mutable std::vector<std::uint8_t> rom_;
    mutable bool romMade_ = false;
    std::array<std::uint8_t, kInquirySize> inquiry_{};
    std::uint64_t busyUntil_ = 0;
    Sense busySense_{};
    int flashCount_ = 0;
    bool bootMode_ = false;
    std::vector<int> faultHits_;  // per fault: matching commands seen so far
    std::uint64_t commandCount_ = 0;
};

// ---------------------------------------------------------------------------------------------
// Flash protocols: one class per controller family, one source file each. A protocol sees every
// command before the drive's common handlers and takes the ones it owns (its vendor opcodes, and
// for example REQUEST SENSE while it programs).

class FlashProtocol {
  public:
    virtual ~FlashProtocol() = default;
    // Returns the outcome for a command it owns, or nothing to leave it to the common handlers.
    virtual std::optional<Outcome> Handle(Drive& drive, const Command& command,
                                          std::uint64_t nowMs) = 0;
    // Moves programming forward to `nowMs`; called before every command and on every Advance.
    virtual void Tick(Drive& /*drive*/, std::uint64_t /*nowMs*/) {}
};

// Makes the protocol of a family (one of KnownFamilies()). Families without a protocol of their
// own, and unknown names, get one that rejects the flash commands (WRITE BUFFER, the vendor bank
// write and trigger, the Philips block command) with 5/20/00 (invalid operation code).
std::unique_ptr<FlashProtocol> MakeFlashProtocol(const std::string& family);

// ---------------------------------------------------------------------------------------------
// The set of emulated drives.

class DriveSet {
  public:
    explicit DriveSet(std::vector<DriveDescription> drives);
    static DriveSet FromJson(std::string_view json);    // throws DescriptionError
    static DriveSet FromFile(const std::string& path);  // throws DescriptionError
    DriveSet(DriveSet&&) noexcept;
    DriveSet& operator=(DriveSet&&) noexcept;
    ~DriveSet();

    // All described devices, CD-ROM or not, in description order.
    int Count() const;
    Drive& drive(int index);
    const Drive& drive(int index) const;

    // Runs one command on device `index`. `cdb` points to 12 bytes. An index out of range fails
    // with 5/25/00 (logical unit not supported) and is not traced.
    Outcome Execute(int index, const std::uint8_t* cdb, std::uint8_t* buffer, std::uint16_t length,
                    std::uint8_t direction);

    // Writes the flash of every drive with a romFile whose ROM was made back to that file, so
    // that a program run against the description next time finds the flash as it was left.
    // False when a file cannot be written.
    bool SaveRomFiles() const;

    // Virtual clock in milliseconds, starting at 0.
    std::uint64_t Now() const;
    void Advance(std::uint32_t ms);

    // Trace: one line per command that reached a drive, without the line end:
    // "<24 lower-case hex digits of the CDB> <in|out|none> <transfer length in decimal>".
    using TraceSink = std::function<void(const std::string& line)>;
    void SetTrace(TraceSink sink);
    // Appends trace lines (with "\n") to a file; an empty path stops tracing. False when the
    // file cannot be opened.
    bool SetTraceFile(const std::string& path);

    // The trace line of one command (exposed so that other front ends write the same format).
    static std::string TraceLine(const std::uint8_t* cdb, std::uint8_t direction,
                                 std::uint16_t length);

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace kfs::emu
