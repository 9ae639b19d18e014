#pragma once
// What became of one packet command, as far as the back end can tell: good; a check condition
// with the drive's sense data; or an error of the transport or the system with its code.
#include <array>
#include <cstdint>

namespace kfs {

using SenseData = std::array<std::uint8_t, 18>;

struct CommandResult {
    enum class Outcome : std::uint8_t {
        Good,
        CheckCondition,  // the drive answered with sense data
        Error,           // the command did not complete: `code` of `kind` says why
    };
    // The code an error carries.
    enum class CodeKind : std::uint8_t {
        None,
        InvalidDrive,  // the index is outside the drive table; nothing was sent
        Errno,         // a system call failed (Linux)
        Win32Error,    // GetLastError after a failed call (Windows)
        AspiStatus,    // SRB_Status of an ASPI request
        ScsiStatus,    // a SCSI status other than good and check condition
        HostStatus,    // SG_IO host_status: the adapter or its driver gave up
        DriverStatus,  // SG_IO driver_status
    };

    Outcome outcome = Outcome::Good;
    SenseData sense{};  // CheckCondition: the first 18 sense bytes
    CodeKind kind = CodeKind::None;
    std::uint32_t code = 0;
    // False when the back end could not tell "the device answered" from "the call failed" and
    // judged the command by what it had (a pass-through call that failed with a time-out or a
    // device error is judged by the SCSI status it left).
    bool certain = true;

    bool good() const { return outcome == Outcome::Good; }
    explicit operator bool() const { return good(); }

    // The command never reached the drive: its index was outside the table, or the system
    // refused the call before it passed the command on (on Linux SG_IO fails with an errno only
    // then, e.g. EPERM for a command the kernel lets only privileged programs send; on Windows
    // the pass-through call failed with an error after which no status is trusted).
    bool NeverSent() const {
        return outcome == Outcome::Error && certain &&
               (kind == CodeKind::InvalidDrive || kind == CodeKind::Errno ||
                kind == CodeKind::Win32Error);
    }
    // The drive answered and did not carry the command out: a command ended with NOT READY,
    // ILLEGAL REQUEST, UNIT ATTENTION or DATA PROTECT is not performed.
    bool Declined() const {
        if (outcome != Outcome::CheckCondition || !certain)
            return false;
        const std::uint8_t key = sense[2] & 0x0F;
        return key == 0x02 || key == 0x05 || key == 0x06 || key == 0x07;
    }
    // Nothing of the command took effect in the drive.
    bool NotTaken() const { return NeverSent() || Declined(); }

    static CommandResult Good() { return {}; }
    static CommandResult Check(const SenseData& sense, bool certain = true) {
        CommandResult r;
        r.outcome = Outcome::CheckCondition;
        r.sense = sense;
        r.certain = certain;
        return r;
    }
    static CommandResult Error(CodeKind kind, std::uint32_t code, bool certain = true) {
        CommandResult r;
        r.outcome = Outcome::Error;
        r.kind = kind;
        r.code = code;
        r.certain = certain;
        return r;
    }
};

}  // namespace kfs
