#pragma once
// The main window on a terminal: list lines on standard output as they are added; progress on
// standard error, as a bar on a terminal and as one line per tenth otherwise; boxes as
// "<caption>: <text>" on standard error; questions asked on the terminal or answered in advance.
#include <cstdio>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "app/console/command_recorder.h"
#include "app/console/options.h"
#include "app/main_view.h"

namespace kfs::console {

class ConsoleView : public MainView {
  public:
    struct Terminal {
        bool input = false;  // standard input is a terminal: questions can be asked
        bool error = false;  // standard error is a terminal: the progress bar is drawn
    };
    ConsoleView(std::FILE* out, std::FILE* err, std::FILE* in, Answers answers, Terminal terminal);

    // Asks `question` with "[y/N]": only y or yes goes on. --yes and --no answer it in advance;
    // without them, a standard input that is not a terminal answers no.
    bool Ask(const std::string& question);
    // Where the last failed command comes from (the command recorder's TakeFailure).
    using FailureSource = std::function<std::optional<SentCommand>()>;
    void SetFailureSource(FailureSource source) { failures_ = std::move(source); }
    // Under a failure text: the failing command, its cause and, for the common causes, a line of
    // advice; nothing when no command has failed since the last time.
    void PrintFailureCause();
    // Lines added meanwhile are not shown (the window's start-up notice).
    void SetMuted(bool muted) { muted_ = muted; }

    void AddLine(const std::string& line) override;
    void ClearLines() override {}
    // A terminal cannot take back a printed line: a rolling display (the ALI bank lines) simply
    // prints each new line below the last.
    void DeleteFirstLine() override {}
    void ClearSelection() override {}
    void SetProgress(std::uint32_t position) override;
    void ProcessMessages() override {}
    void ShowError(const std::string& text, const std::string& caption) override;
    void ShowInformation(const std::string& text, const std::string& caption) override;
    bool AskOkCancel(const std::string& text, const std::string& caption) override;

    // The window's controls have no place on a terminal: the session prints the drive and the
    // firmware itself.
    void SetCaption(const std::string&) override {}
    void SetUpdaterLayout(bool) override {}
    void SetMenuVisible(MenuCommand, bool) override {}
    void SetMenuChecked(MenuCommand, bool) override {}
    void SetControlEnabled(Control, bool) override {}
    void SetWindowEnabled(bool) override {}
    void SetDriveEntries(const std::vector<std::string>&) override {}
    void SelectDriveEntry(int) override {}
    void SetVerifyChecked(bool) override {}
    void SetEdit1Text(const std::string&) override {}
    void SetEdit1Visible(bool) override {}
    void SetEdit2Text(const std::string&) override {}
    void SetStatusText(const std::string&) override {}
    std::optional<std::string> RunOpenDialog() override { return std::nullopt; }
    std::optional<std::string> RunSaveDialog() override { return std::nullopt; }
    void CloseWindow() override {}

  private:
    void ClearBar();

    std::FILE* out_;
    std::FILE* err_;
    std::FILE* in_;
    Answers answers_;
    Terminal terminal_;
    bool muted_ = false;
    bool barShown_ = false;
    int barCells_ = -1;
    int tenth_ = 0;
    FailureSource failures_;
};

}  // namespace kfs::console
