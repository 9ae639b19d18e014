#include "app/console/signal_hold.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <iterator>

namespace kfs::console {

namespace {

volatile std::sig_atomic_t g_received = 0;
volatile std::sig_atomic_t g_stopAsked = 0;
volatile std::sig_atomic_t g_told = 0;

constexpr char kHeldMessage[] =
    "\nkfsflash: the drive's flash is being written; the signal takes effect when programming "
    "has ended.\n";

void Tell() {
    if (g_told == 0) {
        g_told = 1;
        // Only async-signal-safe calls here: one write, whatever it manages (a closed pipe
        // fails it, as SIGPIPE is ignored).
        const ssize_t written = write(STDERR_FILENO, kHeldMessage, sizeof kHeldMessage - 1);
        (void)written;
    }
}

void NoteSignal(int) {
    g_received = 1;
    Tell();
}

void NoteStop(int) {
    g_stopAsked = 1;
    Tell();
}

}  // namespace

void SignalHold::Begin() {
    if (active_)
        return;
    g_received = 0;
    g_stopAsked = 0;
    g_told = 0;
    struct sigaction hold;
    std::memset(&hold, 0, sizeof hold);
    sigemptyset(&hold.sa_mask);
    for (int s : kSignals) sigaddset(&hold.sa_mask, s);
    for (int s : kStopSignals) sigaddset(&hold.sa_mask, s);
    hold.sa_flags = SA_RESTART;  // the drive commands and the terminal reads carry on
    hold.sa_handler = NoteSignal;
    for (std::size_t i = 0; i < std::size(kSignals); ++i)
        sigaction(kSignals[i], &hold, &previous_[i]);
    hold.sa_handler = NoteStop;
    sigaction(SIGTSTP, &hold, &previousStop_[0]);
    // A caught SIGTTOU would make the terminal refuse the write and send it again for ever;
    // ignored, the write goes through.
    hold.sa_handler = SIG_IGN;
    sigaction(SIGTTIN, &hold, &previousStop_[1]);
    sigaction(SIGTTOU, &hold, &previousStop_[2]);
    active_ = true;
}

void SignalHold::End() {
    if (!active_)
        return;
    for (std::size_t i = 0; i < std::size(kSignals); ++i)
        sigaction(kSignals[i], &previous_[i], nullptr);
    for (std::size_t i = 0; i < std::size(kStopSignals); ++i)
        sigaction(kStopSignals[i], &previousStop_[i], nullptr);
    active_ = false;
}

bool SignalHold::Received() const {
    return g_received != 0;
}

bool SignalHold::StopIfAsked() {
    if (active_ || g_stopAsked == 0)
        return false;
    g_stopAsked = 0;
    // SIGTSTP has its own disposition again: the default stops the process here.
    std::raise(SIGTSTP);
    return true;
}

void PrepareProcess() {
    struct sigaction ignore;
    std::memset(&ignore, 0, sizeof ignore);
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(SIGPIPE, &ignore, nullptr);
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF)
            continue;
        // open() takes the lowest free number: this one.
        const int null = open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
        if (null != -1 && null != fd)
            close(null);
    }
}

}  // namespace kfs::console
