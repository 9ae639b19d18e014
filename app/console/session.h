#pragma once
// What kfsflash does once its command line is read: list the drives, or run one update (start-up
// for the role, load, choose the drive, show drive and firmware, check, ask, write, verify and
// report), each ending with one of the exit statuses of exit_status.h.
#include <cstdio>
#include <string>

#include "app/console/console_view.h"
#include "app/console/drive_table.h"
#include "app/console/options.h"
#include "app/presenter.h"
#include "flash/clock.h"

namespace kfs::console {

struct Streams {
    std::FILE* out = stdout;
    std::FILE* err = stderr;
    std::FILE* in = stdin;
    ConsoleView::Terminal terminal;
    // The last failed command, told under a failure text (none when empty).
    ConsoleView::FailureSource failures;
};

// Attempts of the tray check before it gives up.
inline constexpr int kTrayRounds = 5;
// How long a drive may take to become ready before the update starts (as long as the flash
// procedures wait for it).
inline constexpr int kReadyLimitSeconds = 120;

// One line per drive (or a JSON array), devices that could not be opened included with the
// reason and advice. `transport` is `table` or a wrapper of it (the trace).
int ListDrives(DriveTable& table, Transport& transport, bool json, const Streams& io);
// The hint printed after the list when kfsflash was started without arguments.
void PrintHowToGoOn(const Streams& io);

// One update. `transport` is `table` or a wrapper of it.
int RunUpdate(const Options& options, const EmbeddedData& embedded, DriveTable& table,
              Transport& transport, Clock& clock, const Streams& io,
              const std::string& programPath);

}  // namespace kfs::console
