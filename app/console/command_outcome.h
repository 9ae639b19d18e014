#pragma once
// How one command ended, and the words kfsflash uses for it: the command's name, the cause in
// the drive's terms (sense key/code/qualifier with their standard names) or the system's
// (errno and its text), a line of advice for the common causes, and the trace line's outcome.
#include <optional>
#include <string>

#include "drive/transport.h"

namespace kfs::console {

struct CommandOutcome {
    enum class Kind {
        kGood,
        kCheckCondition,  // the drive answered with sense data
        kSystemError,     // the call itself failed: `error` is the errno
        kNoDetail,        // failed, but neither sense data nor a system error came back
    };
    Kind kind = Kind::kGood;
    SenseData sense{};
    int error = 0;
};

// The outcome of a completed command from what the transport reports: its result, the sense
// bytes it kept, and the errno of the call (0 when the call itself went through).
CommandOutcome OutcomeOf(bool good, const SenseData& sense, int systemError);

// "3B WRITE BUFFER (flash block)", "12 INQUIRY", or "D8" for an operation code without a name.
std::string CommandText(const Cdb& cdb);
// "05/24/00 ILLEGAL REQUEST, INVALID FIELD IN CDB", or "error 13: Permission denied".
std::string CauseText(const CommandOutcome& outcome);
// One line of advice for the common causes; nullopt for the others.
std::optional<std::string> AdviceFor(const CommandOutcome& outcome);
// What a trace line appends to its three fields: nothing for a good command, else
// " sense 05/24/00" or " error 5".
std::string TraceOutcome(const CommandOutcome& outcome);

}  // namespace kfs::console
