#pragma once
// The hidden application window: a top-level window of class "TApplication" whose text is the
// application title. It never shows itself; it owns the main window (so that raising it raises
// the main window too) and passes its activation on to the main window, which is how a second
// copy brings the running one to the front.
#include <windows.h>

#include <string>

namespace kfs::win32 {

inline constexpr char kApplicationClass[] = "TApplication";

// The program's icon (resource 1 of the program's module) in the system's large and small sizes,
// loaded on the first call and shared by the window classes: a class given only the large icon
// would have its small one made again.
struct ProgramIcons {
    HICON large;
    HICON small;
};
ProgramIcons LoadProgramIcons(HINSTANCE instance);

class ApplicationWindow {
  public:
    ApplicationWindow(HINSTANCE instance, const std::string& title);
    ~ApplicationWindow();
    ApplicationWindow(const ApplicationWindow&) = delete;
    ApplicationWindow& operator=(const ApplicationWindow&) = delete;

    HWND hwnd() const { return hwnd_; }
    const std::string& title() const { return title_; }
    // The window that activation is passed on to.
    void SetMainWindow(HWND main) { main_ = main; }

  private:
    static LRESULT CALLBACK WndProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);

    HWND hwnd_ = nullptr;
    HWND main_ = nullptr;
    std::string title_;
};

// The application's exception display: a box with the exception's text, captioned with the
// application title, owned by `owner`. The message loop goes on afterwards.
void ShowException(HWND owner, const std::string& title, const char* what);

}  // namespace kfs::win32
