#include "app/console/console_view.h"

#include <cctype>

namespace kfs::console {

namespace {
constexpr int kBarWidth = 40;
}

ConsoleView::ConsoleView(std::FILE* out, std::FILE* err, std::FILE* in, Answers answers,
                         bool progressBar)
    : out_(out), err_(err), in_(in), answers_(answers), progress_bar_(progressBar) {}

void ConsoleView::ClearBar() {
    if (bar_shown_) {
        std::fprintf(err_, "\r%*s\r", kBarWidth + 10, "");
        std::fflush(err_);
        bar_shown_ = false;
        bar_cells_ = -1;
    }
}

void ConsoleView::AddLine(const std::string& line) {
    ClearBar();
    std::fprintf(out_, "%s\n", line.c_str());
    std::fflush(out_);
}

void ConsoleView::SetProgress(std::uint32_t position) {
    if (!progress_bar_)
        return;
    if (position > kProgressMax)
        position = kProgressMax;
    const int cells = static_cast<int>(position * kBarWidth / kProgressMax);
    if (bar_shown_ && cells == bar_cells_)
        return;  // redraw only when the bar changes
    std::fprintf(err_, "\r[%s%s] %3u%%", std::string(static_cast<std::size_t>(cells), '#').c_str(),
                 std::string(static_cast<std::size_t>(kBarWidth - cells), ' ').c_str(),
                 static_cast<unsigned>(position * 100ull / kProgressMax));
    std::fflush(err_);
    bar_shown_ = true;
    bar_cells_ = cells;
}

void ConsoleView::ShowError(const std::string& text, const std::string& caption) {
    ClearBar();
    ++error_boxes_;
    std::fprintf(err_, "%s: %s\n", caption.c_str(), text.c_str());
    std::fflush(err_);
}

void ConsoleView::ShowInformation(const std::string& text, const std::string& caption) {
    ClearBar();
    std::fprintf(err_, "%s: %s\n", caption.c_str(), text.c_str());
    std::fflush(err_);
}

bool ConsoleView::AskOkCancel(const std::string& text, const std::string& caption) {
    ClearBar();
    std::fprintf(err_, "%s: %s\n", caption.c_str(), text.c_str());
    if (answers_ != Answers::kAsk) {
        const bool ok = answers_ == Answers::kYes;
        std::fprintf(err_, "%s\n", ok ? "[OK]" : "[Cancel]");
        std::fflush(err_);
        return ok;
    }
    std::fprintf(err_, "OK or Cancel? [o/c] ");
    std::fflush(err_);
    char reply[64];
    if (!std::fgets(reply, sizeof reply, in_))
        return false;  // no terminal input: Cancel
    const char first = static_cast<char>(std::tolower(static_cast<unsigned char>(reply[0])));
    return first == 'o' || first == 'y';
}

void ConsoleView::SetControlEnabled(Control control, bool enabled) {
    if (control == Control::kStart)
        start_enabled_ = enabled;
}

}  // namespace kfs::console
