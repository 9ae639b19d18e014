#pragma once
// A FlashView for tests: records every line, box and progress value, and answers questions from a
// script (OK when the script runs out).
#include <deque>
#include <string>
#include <vector>

#include "flash/flash_view.h"

namespace kfs::test {

class RecordingView : public FlashView {
  public:
    struct Box {
        std::string kind;  // "error", "information" or "question"
        std::string text;
        std::string caption;
    };

    void AddLine(const std::string& line) override { lines.push_back(line); }
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
    void ProcessMessages() override { ++dispatches; }
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
        bool answer = answers.front();
        answers.pop_front();
        return answer;
    }

    std::vector<std::string> lines;
    std::vector<std::uint32_t> progress;
    std::vector<Box> boxes;
    std::deque<bool> answers;
    int clears = 0;
    int deletions = 0;
    long dispatches = 0;
};

}  // namespace kfs::test
