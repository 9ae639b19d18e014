#include "app/console/console_view.h"

#include <poll.h>

#include <cctype>

#include "app/console/visible_text.h"
#include "app/flash_backup.h"
#include "flash/tray.h"

namespace kfs::console {

namespace {

constexpr int kBarWidth = 40;
// A question left unanswered this long counts as no: a forgotten terminal does not hold the
// drive for ever.
constexpr int kAnswerTimeoutMs = 5 * 60 * 1000;
constexpr char kRestartQuestion[] = "After updating, the system must be restarted.";
// The downgrade question carries the drive's and the image's versions and no line break of its
// own: a line break in either version is theirs, and shown as such.
constexpr char kDowngradeQuestionEnd[] = " !! Update the drive ?";

bool StartsWith(const std::string& text, const char* prefix) {
    return text.rfind(prefix, 0) == 0;
}

bool EndsWith(const std::string& text, const std::string& suffix) {
    return text.size() >= suffix.size() &&
           text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// The window's questions speak of its buttons; on a terminal the answer is typed.
std::string TerminalWording(std::string text) {
    for (const char* button : {"click OK", "Click OK"}) {
        const auto at = text.find(button);
        if (at != std::string::npos)
            text.replace(at, std::string(button).size(), "answer y");
    }
    return text;
}

std::string Trimmed(const char* reply) {
    std::string text(reply);
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) text.pop_back();
    std::size_t first = 0;
    while (first < text.size() && std::isspace(static_cast<unsigned char>(text[first]))) ++first;
    text.erase(0, first);
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

}  // namespace

ConsoleView::ConsoleView(std::FILE* out, std::FILE* err, std::FILE* in, Answers answers,
                         Terminal terminal)
    : out_(out), err_(err), in_(in), answers_(answers), terminal_(terminal) {}

void ConsoleView::ClearBar() {
    if (barShown_) {
        std::fprintf(err_, "\r%*s\r", kBarWidth + 10, "");
        std::fflush(err_);
        barShown_ = false;
        barCells_ = -1;
    }
}

void ConsoleView::AddLine(const std::string& line) {
    if (muted_)
        return;
    ClearBar();
    // A list line is one line, as in the window's list: the line breaks some of the program's
    // own list texts end with stay as they are, any other (in a backup folder's name, a drive's
    // version) is shown as \x0a rather than starting a line of its own.
    const std::size_t end = line.find_last_not_of('\n') + 1;
    std::fprintf(out_, "%s%s\n", Visible(line.substr(0, end)).c_str(), line.c_str() + end);
    std::fflush(out_);
}

void ConsoleView::SetProgress(std::uint32_t position) {
    if (position > kProgressMax)
        position = kProgressMax;
    if (!terminal_.error) {
        // One line per tenth; the bar starting again (a new phase) starts the tenths again.
        const int tenth = static_cast<int>(position * 10ull / kProgressMax);
        if (tenth < tenth_)
            tenth_ = 0;
        if (tenth > tenth_) {
            tenth_ = tenth;
            std::fprintf(err_, "progress %d%%\n", tenth * 10);
            std::fflush(err_);
        }
        return;
    }
    const int cells = static_cast<int>(position * kBarWidth / kProgressMax);
    if (barShown_ && cells == barCells_)
        return;  // redraw only when the bar changes
    std::fprintf(err_, "\r[%s%s] %3u%%", std::string(static_cast<std::size_t>(cells), '#').c_str(),
                 std::string(static_cast<std::size_t>(kBarWidth - cells), ' ').c_str(),
                 static_cast<unsigned>(position * 100ull / kProgressMax));
    std::fflush(err_);
    barShown_ = true;
    barCells_ = cells;
}

void ConsoleView::ShowError(const std::string& text, const std::string& caption) {
    ClearBar();
    std::fprintf(err_, "%s: %s\n", caption.c_str(), VisibleLines(text).c_str());
    std::fflush(err_);
    PrintFailureCause();
}

void ConsoleView::PrintFailureCause() {
    const std::optional<SentCommand> failed = failures_ ? failures_() : std::nullopt;
    if (!failed)
        return;
    ClearBar();
    std::fprintf(err_, "  failed command: %s\n  cause: %s\n", CommandText(failed->cdb).c_str(),
                 CauseText(failed->result).c_str());
    if (const auto advice = AdviceFor(failed->result))
        std::fprintf(err_, "  advice: %s\n", advice->c_str());
    std::fflush(err_);
}

void ConsoleView::ShowInformation(const std::string& text, const std::string& caption) {
    ClearBar();
    std::fprintf(err_, "%s: %s\n", caption.c_str(), VisibleLines(text).c_str());
    std::fflush(err_);
}

bool ConsoleView::Ask(const std::string& question) {
    ClearBar();
    std::fprintf(err_, "%s [y/N] ", VisibleLines(question).c_str());
    if (answers_ != Answers::kAsk) {
        const bool yes = answers_ == Answers::kYes;
        std::fprintf(err_, "%s\n", yes ? "yes (--yes)" : "no (--no)");
        std::fflush(err_);
        return yes;
    }
    if (!terminal_.input) {
        std::fprintf(err_, "no (standard input is not a terminal; --yes answers yes)\n");
        std::fflush(err_);
        return false;
    }
    std::fflush(err_);
    pollfd input{fileno(in_), POLLIN, 0};
    if (poll(&input, 1, kAnswerTimeoutMs) <= 0) {
        std::fprintf(err_, "no (no answer within %d minutes)\n", kAnswerTimeoutMs / 60000);
        std::fflush(err_);
        return false;
    }
    char reply[64];
    if (!std::fgets(reply, sizeof reply, in_))
        return false;
    const std::string answer = Trimmed(reply);
    return answer == "y" || answer == "yes";
}

bool ConsoleView::AskOkCancel(const std::string& text, const std::string& caption) {
    // The terminal never restarts the machine (its restart service says what to do instead):
    // the window's restart question has no place here.
    if (StartsWith(text, kRestartQuestion))
        return true;
    const std::string question =
        caption + ": " +
        (EndsWith(text, kDowngradeQuestionEnd) ? Visible(text) : TerminalWording(text));
    // Only a person can close a tray or take a disc out: an answer given in advance, or no
    // terminal to answer on, gives up instead of looping.
    if ((text == kCloseTrayPrompt || text == kRemoveDiscPrompt) &&
        (answers_ != Answers::kAsk || !terminal_.input)) {
        ClearBar();
        std::fprintf(err_,
                     "%s\nkfsflash: only a person at the drive can do this; giving up (run on "
                     "a terminal without --yes or --no to be asked)\n",
                     question.c_str());
        std::fflush(err_);
        return false;
    }
    // --yes answers the questions about the update, not whether to write without the backup
    // that could not be made: that takes --no-backup, or a person's own answer.
    if (caption == kBackupCaption && answers_ == Answers::kYes) {
        ClearBar();
        std::fprintf(err_,
                     "%s [y/N] no (--yes does not answer this; --no-backup writes without a "
                     "backup)\n",
                     VisibleLines(question).c_str());
        std::fflush(err_);
        return false;
    }
    return Ask(question);
}

}  // namespace kfs::console
