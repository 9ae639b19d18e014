#pragma once
// What a flash procedure or the verification may do to the main window: append lines to the
// message list, move the progress bar, show boxes, and let pending window messages through so
// that the window repaints during a long update. The Win32 window, the terminal front end and the
// tests' recording view implement it.
#include <cstdint>
#include <string>

namespace kfs {

// The progress bar's range is 0 to this value.
constexpr std::uint32_t kProgressMax = 65536;

class FlashView {
  public:
    virtual ~FlashView() = default;

    // Appends a line to the message list, selects the last line and repaints the list.
    virtual void AddLine(const std::string& line) = 0;
    // Empties the message list.
    virtual void ClearLines() = 0;
    // Removes the oldest line of the message list (a rolling progress display keeps a fixed
    // number of lines). A view without a line list has nothing to remove.
    virtual void DeleteFirstLine() {}
    // Clears the list's selection.
    virtual void ClearSelection() = 0;
    // Sets the progress bar's position (0 to kProgressMax).
    virtual void SetProgress(std::uint32_t position) = 0;
    // Handles the window messages that are waiting (repaint, input).
    virtual void ProcessMessages() = 0;

    // A message box with an OK button and an error icon.
    virtual void ShowError(const std::string& text, const std::string& caption) = 0;
    // A message box with an OK button and an information icon.
    virtual void ShowInformation(const std::string& text, const std::string& caption) = 0;
    // A question with a warning icon and OK and Cancel buttons; true only for OK.
    virtual bool AskOkCancel(const std::string& text, const std::string& caption) = 0;
};

}  // namespace kfs
