#include "flash/clock.h"

#include <chrono>
#include <cstdlib>
#include <thread>

#ifdef _WIN32
#include <conio.h>
#else
#include <poll.h>
#include <termios.h>
#include <unistd.h>
#endif

namespace kfs {

namespace {
constexpr int kEscape = 27;
}

std::uint64_t RealClock::NowMs() {
    using namespace std::chrono;
    return static_cast<std::uint64_t>(
        duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

void RealClock::Sleep(std::uint32_t ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

bool RealClock::EscapePressed() {
#ifdef _WIN32
    // A GUI program without a console has no keyboard buffer here: _kbhit stays false.
    return _kbhit() && _getch() == kEscape;
#else
    // Only a terminal counts; the terminal is read without waiting for a line end.
    if (!isatty(STDIN_FILENO))
        return false;
    termios saved;
    if (tcgetattr(STDIN_FILENO, &saved) != 0)
        return false;
    termios raw = saved;
    raw.c_lflag &= static_cast<tcflag_t>(~(ICANON | ECHO));
    raw.c_cc[VMIN] = 0;
    raw.c_cc[VTIME] = 0;
    tcsetattr(STDIN_FILENO, TCSANOW, &raw);
    bool escape = false;
    pollfd in{STDIN_FILENO, POLLIN, 0};
    unsigned char key = 0;
    if (poll(&in, 1, 0) > 0 && read(STDIN_FILENO, &key, 1) == 1)
        escape = key == kEscape;
    tcsetattr(STDIN_FILENO, TCSANOW, &saved);
    return escape;
#endif
}

void RealClock::ExitProgram(int status) {
    std::exit(status);
}

}  // namespace kfs
