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
