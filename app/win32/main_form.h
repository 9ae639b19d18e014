#pragma once
// MainForm, the program's only window (class "TMainForm"): the controls of layout.h, the menu bar
// MainMenu1 with its sixteen commands directly on the bar, the two file dialogs and the message
// boxes. It is the presenter's view: every control and menu event goes to the presenter, and the
// presenter sets the controls through the MainView calls.
#include <windows.h>

#include <array>
#include <string>

#include "app/main_view.h"
#include "app/win32/layout.h"

namespace kfs {
class Presenter;
}

namespace kfs::win32 {

inline constexpr char kMainFormClass[] = "TMainForm";

class TMainForm final : public MainView {
  public:
    // Creates the window and its controls, hidden. `owner` is the application window; `title`
    // captions the information and exception boxes.
    TMainForm(HINSTANCE instance, HWND owner, std::string title);
    ~TMainForm() override;
    TMainForm(const TMainForm&) = delete;
    TMainForm& operator=(const TMainForm&) = delete;

    // Events go to `presenter` from now on.
    void SetPresenter(Presenter* presenter) { presenter_ = presenter; }
    HWND hwnd() const { return hwnd_; }
    HWND Control(Ctl control) const { return controls_[static_cast<std::size_t>(control)]; }
    // Sizes the frame for the role's client area, centres it on the screen and shows it.
    void Show(int showCommand);
    // True once a WM_QUIT was taken out of the queue by ProcessMessages: the message loop ends.
    bool QuitReceived() const { return quitReceived_; }
    int QuitCode() const { return quitCode_; }
    // Handles `message` the way the message loop does (dialog keys, then dispatch).
    void Dispatch(MSG& message);

    // MainView
    void AddLine(const std::string& line) override;
    void ClearLines() override;
    void DeleteFirstLine() override;
    void ClearSelection() override;
    void SetProgress(std::uint32_t position) override;
    void ProcessMessages() override;
    void ShowError(const std::string& text, const std::string& caption) override;
    void ShowInformation(const std::string& text, const std::string& caption) override;
    bool AskOkCancel(const std::string& text, const std::string& caption) override;
    void SetCaption(const std::string& caption) override;
    void SetUpdaterLayout(bool updaterRole) override;
    void SetMenuVisible(MenuCommand command, bool visible) override;
    void SetMenuVisibility(const std::array<bool, kMenuCommandCount>& visible) override;
    void SetMenuChecked(MenuCommand command, bool checked) override;
    void SetControlEnabled(kfs::Control control, bool enabled) override;
    void SetWindowEnabled(bool enabled) override;
    void SetDriveEntries(const std::vector<std::string>& entries) override;
    void SelectDriveEntry(int index) override;
    void SetVerifyChecked(bool checked) override;
    void SetEdit1Text(const std::string& text) override;
    void SetEdit1Visible(bool visible) override;
    void SetEdit2Text(const std::string& text) override;
    void SetStatusText(const std::string& text) override;
    std::optional<std::string> RunOpenDialog() override;
    std::optional<std::string> RunSaveDialog() override;
    void CloseWindow() override;
    void SetUpdateRunning(bool running) override;

  private:
    static LRESULT CALLBACK WndProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
    LRESULT Handle(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
    void OnCommand(int id, int code, HWND control);
    void CreateFonts();
    void CreateControls(HINSTANCE instance);
    void PlaceControls();
    // Fits the frame around the client area of the present role and the wrapped menu bar.
    void FitFrame();
    // Paints `control` at once when the window is visible.
    void RepaintNow(HWND control) const;
    // A menu bar of the visible commands with their check marks; none when all are hidden.
    HMENU MakeMenuBar() const;
    void RebuildMenu();

    HWND hwnd_ = nullptr;
    std::string title_;
    Presenter* presenter_ = nullptr;
    std::array<HWND, kControlCount> controls_{};
    std::array<HFONT, 4> fonts_{};
    HMENU menu_ = nullptr;
    std::array<bool, kMenuCommandCount> menuVisible_{};
    std::array<bool, kMenuCommandCount> menuChecked_{};
    bool updaterLayout_ = false;
    // An update runs: the session may not end (WM_QUERYENDSESSION is answered FALSE).
    bool updateRunning_ = false;
    bool quitReceived_ = false;
    int quitCode_ = 0;
};

}  // namespace kfs::win32
