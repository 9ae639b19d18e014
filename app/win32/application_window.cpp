#include "app/win32/application_window.h"

namespace kfs::win32 {
namespace {

// Posted to itself when the application window is activated: the main window takes over once
// the activation has settled.
constexpr UINT kActivateMain = WM_APP + 1;

}  // namespace

ProgramIcons LoadProgramIcons(HINSTANCE instance) {
    const auto load = [instance](int widthMetric, int heightMetric) {
        return static_cast<HICON>(LoadImageA(instance, MAKEINTRESOURCEA(1), IMAGE_ICON,
                                             GetSystemMetrics(widthMetric),
                                             GetSystemMetrics(heightMetric), LR_SHARED));
    };
    static const ProgramIcons icons{load(SM_CXICON, SM_CYICON), load(SM_CXSMICON, SM_CYSMICON)};
    return icons;
}

ApplicationWindow::ApplicationWindow(HINSTANCE instance, const std::string& title) : title_(title) {
    const ProgramIcons icons = LoadProgramIcons(instance);
    WNDCLASSEXA wc{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = WndProc;
    wc.hInstance = instance;
    wc.hIcon = icons.large;
    wc.hIconSm = icons.small;
    wc.lpszClassName = kApplicationClass;
    RegisterClassExA(&wc);
    hwnd_ = CreateWindowExA(0, kApplicationClass, title.c_str(),
                            WS_POPUP | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX, 0, 0, 0, 0,
                            nullptr, nullptr, instance, nullptr);
    SetWindowLongPtrA(hwnd_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
}

ApplicationWindow::~ApplicationWindow() {
    if (hwnd_) {
        SetWindowLongPtrA(hwnd_, GWLP_USERDATA, 0);
        DestroyWindow(hwnd_);
    }
}

LRESULT CALLBACK ApplicationWindow::WndProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    auto* self = reinterpret_cast<ApplicationWindow*>(GetWindowLongPtrA(hwnd, GWLP_USERDATA));
    switch (message) {
        case WM_ACTIVATE:
        case WM_SETFOCUS:
            if (message == WM_SETFOCUS || LOWORD(wParam) != WA_INACTIVE)
                PostMessageA(hwnd, kActivateMain, 0, 0);
            return 0;
        case WM_SYSCOMMAND:
            if ((wParam & 0xFFF0) == SC_RESTORE) {
                PostMessageA(hwnd, kActivateMain, 0, 0);
                return 0;
            }
            break;
        case kActivateMain:
            if (self && self->main_ && IsWindowVisible(self->main_)) {
                if (IsIconic(self->main_))
                    ShowWindow(self->main_, SW_RESTORE);
                SetForegroundWindow(self->main_);
            }
            return 0;
        default:
            break;
    }
    return DefWindowProcA(hwnd, message, wParam, lParam);
}

void ShowException(HWND owner, const std::string& title, const char* what) {
    MessageBoxA(owner, what && *what ? what : "Unknown exception", title.c_str(),
                MB_OK | MB_ICONERROR);
}

}  // namespace kfs::win32
