#include "app/console/signal_hold.h"

#include <unistd.h>

#include <cstring>
#include <iterator>

namespace kfs::console {

namespace {

volatile std::sig_atomic_t g_received = 0;

constexpr char kHeldMessage[] =
    "\nkfsflash: the drive's flash is being written; the signal takes effect when programming "
    "has ended.\n";

void NoteSignal(int) {
    if (g_received == 0) {
        g_received = 1;
        // Only async-signal-safe calls here: one write, whatever it manages.
        const ssize_t written = write(STDERR_FILENO, kHeldMessage, sizeof kHeldMessage - 1);
        (void)written;
    }
}

}  // namespace

void SignalHold::Begin() {
    if (active_)
        return;
    g_received = 0;
    struct sigaction hold;
    std::memset(&hold, 0, sizeof hold);
    hold.sa_handler = NoteSignal;
    sigemptyset(&hold.sa_mask);
    for (int s : kSignals) sigaddset(&hold.sa_mask, s);
    hold.sa_flags = SA_RESTART;  // the drive commands and the terminal reads carry on
    for (std::size_t i = 0; i < std::size(kSignals); ++i)
        sigaction(kSignals[i], &hold, &previous_[i]);
    active_ = true;
}

void SignalHold::End() {
    if (!active_)
        return;
    for (std::size_t i = 0; i < std::size(kSignals); ++i)
        sigaction(kSignals[i], &previous_[i], nullptr);
    active_ = false;
}

bool SignalHold::Received() const {
    return g_received != 0;
}

}  // namespace kfs::console
