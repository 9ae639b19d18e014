#pragma once
// The main window for tests: records every line, box and progress value and every control the
// presenter sets, and answers questions and dialogs from scripts (OK and cancel when the scripts
// run out). The flash procedures see it as their FlashView.
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "app/main_view.h"

namespace kfs::test {

class RecordingView : public MainView {
  public:
    struct Box {
        std::string kind;  // "error", "information" or "question"
        std::string text;
        std::string caption;
    };

    void AddLine(const std::string& line) override {
        lines.push_back(line);
        added.push_back(line);
    }
    void ClearLines() override {
        lines.clear();
        ++clears;
    }
    void DeleteFirstLine() override {
        if (!lines.empty())
            lines.erase(lines.begin());
        ++deletions;
    }
    void ClearSelection() override {}
    void SetProgress(std::uint32_t position) override { progress.push_back(position); }
    void ProcessMessages() override {
        ++dispatches;
        if (onProcessMessages)
            onProcessMessages();
    }
    void ShowError(const std::string& text, const std::string& caption) override {
        boxes.push_back({"error", text, caption});
    }
    void ShowInformation(const std::string& text, const std::string& caption) override {
        boxes.push_back({"information", text, caption});
    }
    bool AskOkCancel(const std::string& text, const std::string& caption) override {
        boxes.push_back({"question", text, caption});
        if (answers.empty())
            return true;
        const bool answer = answers.front();
        answers.pop_front();
        return answer;
    }

    void SetCaption(const std::string& text) override { caption = text; }
    void SetUpdaterLayout(bool updaterRole) override { updaterLayout = updaterRole; }
    void SetMenuVisible(MenuCommand command, bool visible) override {
        menuVisible[command] = visible;
    }
    void SetMenuChecked(MenuCommand command, bool checked) override {
        menuChecked[command] = checked;
    }
    void SetControlEnabled(Control control, bool enabled) override { controls[control] = enabled; }
    void SetWindowEnabled(bool enabled) override { windowEnabled = enabled; }
    void SetDriveEntries(const std::vector<std::string>& items) override { entries = items; }
    void SelectDriveEntry(int index) override { selected = index; }
    void SetVerifyChecked(bool checked) override { verifyChecked = checked; }
    void SetEdit1Text(const std::string& text) override { edit1 = text; }
    void SetEdit1Visible(bool visible) override { edit1Visible = visible; }
    void SetEdit2Text(const std::string& text) override { edit2 = text; }
    void SetStatusText(const std::string& text) override { status = text; }
    std::optional<std::string> RunOpenDialog() override { return openPath; }
    std::optional<std::string> RunSaveDialog() override { return savePath; }
    void CloseWindow() override { ++closes; }
    void SetUpdateRunning(bool running) override { updateRunning.push_back(running); }

    bool HasLine(const std::string& line) const {
        for (const auto& l : lines)
            if (l == line)
                return true;
        return false;
    }
    // Texts of the boxes of one kind.
    std::vector<std::string> Texts(const std::string& kind) const {
        std::vector<std::string> texts;
        for (const auto& b : boxes)
            if (b.kind == kind)
                texts.push_back(b.text);
        return texts;
    }

    // What the procedures show.
    std::vector<std::string> lines;       // the list as it stands
    std::vector<std::string> added;       // every line added, those cleared or scrolled out too
    std::vector<std::uint32_t> progress;  // every SetProgress, in order
    std::vector<Box> boxes;
    std::deque<bool> answers;
    int clears = 0;
    int deletions = 0;
    long dispatches = 0;
    std::function<void()> onProcessMessages;  // runs inside every ProcessMessages

    // What the presenter sets on the window.
    std::string caption, edit1, edit2, status;
    std::optional<bool> updaterLayout;
    std::map<MenuCommand, bool> menuVisible, menuChecked;
    std::map<Control, bool> controls;
    bool windowEnabled = true;
    std::vector<std::string> entries;
    int selected = -1;
    bool verifyChecked = false;
    bool edit1Visible = false;
    std::optional<std::string> openPath, savePath;
    int closes = 0;
    std::vector<bool> updateRunning;  // every SetUpdateRunning, in order
};

}  // namespace kfs::test
