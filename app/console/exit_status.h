#pragma once
// The exit statuses of kfsflash, one per outcome a script has to tell apart. --help and the
// README list them.

namespace kfs::console {

inline constexpr int kExitSuccess = 0;         // done: written and verified, or listed
inline constexpr int kExitUsage = 2;           // the command line is wrong
inline constexpr int kExitNothingWritten = 3;  // refused, declined, no drive, bad file, no access,
                                               // no backup
inline constexpr int kExitWriteFailed = 4;     // the write failed: the drive may need recovery
inline constexpr int kExitNotConfirmed = 5;    // written, but verification failed or was not done
inline constexpr int kExitInterrupted = 130;   // a signal ended the run (after programming ended)

inline constexpr char kExitStatusHelp[] =
    "Exit status:\n"
    "  0    success: the firmware was written and verified, or the drives were listed\n"
    "  2    usage: the command line is wrong\n"
    "  3    nothing was written: refused, declined, no drive, a bad file, no permission,\n"
    "       no backup\n"
    "  4    the write failed: the drive may need recovery (write it again before a restart)\n"
    "  5    written, but verification failed or could not be finished\n"
    "  130  interrupted by a signal (held while the flash was written, then obeyed; a write\n"
    "       that failed meanwhile keeps status 4)\n";

}  // namespace kfs::console
