#pragma once
// The words kfsflash uses for a command and what became of it: the command's name, the cause in
// the drive's terms (sense key/code/qualifier with their standard names) or the system's (errno
// and its text), a line of advice for the common causes, and the trace line's outcome.
#include <optional>
#include <string>

#include "drive/transport.h"

namespace kfs::console {

// "3B WRITE BUFFER (flash block)", "12 INQUIRY", or "D8" for an operation code without a name.
std::string CommandText(const Cdb& cdb);
// "05/24/00 ILLEGAL REQUEST, INVALID FIELD IN CDB", "error 13: Permission denied", or the
// status a host adapter or its driver gave up with.
std::string CauseText(const CommandResult& result);
// One line of advice for the common causes; nullopt for the others.
std::optional<std::string> AdviceFor(const CommandResult& result);
// What a trace line appends to its three fields: nothing for a good command, else
// " sense 05/24/00", " error 5" (an errno or a Win32 error), or the status that ended it
// (" host-status 7", " driver-status 8", " scsi-status 8", " aspi-status 4", " no-drive 3").
std::string TraceOutcome(const CommandResult& result);

}  // namespace kfs::console
