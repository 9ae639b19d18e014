#include "app/win32/main_form.h"

#include <commctrl.h>

#include <algorithm>
#include <exception>

#include "app/presenter.h"
#include "app/win32/application_window.h"
#include "app/win32/file_dialogs.h"
#include "app/win32/glyph_button.h"
#include "app/win32/menu_bar_size.h"
#include "app/win32/shutdown_block.h"

namespace kfs::win32 {
namespace {

constexpr char kFontFace[] = "MS Sans Serif";
constexpr COLORREF kNavy = RGB(0x00, 0x00, 0x80);
// A closed drop-down list is its selection field plus this frame (three pixels above and below).
constexpr int kDropDownFrame = 6;

// Group boxes and panels hold controls; the notifications, colour requests and owner-draw
// requests of those controls reach the container first and are passed on to the main window.
//
// A container keeps the window procedure it had before in its user data: that is read from the
// window itself, where a window property would be a round trip to the window manager for every
// message that passes.
LRESULT CALLBACK ContainerProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    const auto old = reinterpret_cast<WNDPROC>(GetWindowLongPtrA(hwnd, GWLP_USERDATA));
    switch (message) {
        case WM_COMMAND:
        case WM_NOTIFY:
        case WM_DRAWITEM:
        case WM_MEASUREITEM:
        case WM_CTLCOLOREDIT:
        case WM_CTLCOLORSTATIC:
        case WM_CTLCOLORBTN:
        case WM_CTLCOLORLISTBOX:
            return SendMessageA(GetAncestor(hwnd, GA_ROOT), message, wParam, lParam);
        case WM_ERASEBKGND: {
            // A group box paints only its frame and caption; as a container it must paint its
            // inside itself, since the parent clips it away.
            RECT rect{};
            GetClientRect(hwnd, &rect);
            FillRect(reinterpret_cast<HDC>(wParam), &rect, GetSysColorBrush(COLOR_BTNFACE));
            return TRUE;
        }
        case WM_NCDESTROY:
            SetWindowLongPtrA(hwnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(old));
            SetWindowLongPtrA(hwnd, GWLP_USERDATA, 0);
            break;
        default:
            break;
    }
    return CallWindowProcA(old, hwnd, message, wParam, lParam);
}

void MakeContainer(HWND hwnd) {
    // The old procedure is in place before the new one can be called.
    SetWindowLongPtrA(hwnd, GWLP_USERDATA, GetWindowLongPtrA(hwnd, GWLP_WNDPROC));
    SetWindowLongPtrA(hwnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&ContainerProc));
}

struct WindowKind {
    const char* className;
    DWORD style;
    DWORD exStyle;
};

WindowKind KindOf(Kind kind) {
    constexpr DWORD child = WS_CHILD | WS_VISIBLE;
    switch (kind) {
        case Kind::kGroupBox:
            return {WC_BUTTONA, child | BS_GROUPBOX | WS_CLIPCHILDREN, WS_EX_CONTROLPARENT};
        case Kind::kPanel:
            return {WC_STATICA, child | WS_CLIPCHILDREN, WS_EX_CONTROLPARENT};
        case Kind::kDropDown:
            // The list drops down as high as its entries need; it is not fitted to whole lines
            // beforehand, which would resize the list window on every font or height change.
            return {WC_COMBOBOXA,
                    child | WS_TABSTOP | WS_VSCROLL | CBS_DROPDOWNLIST | CBS_NOINTEGRALHEIGHT, 0};
        case Kind::kReadOnlyEdit:
            return {WC_EDITA, child | ES_READONLY | ES_AUTOHSCROLL, WS_EX_CLIENTEDGE};
        case Kind::kEdit:
            return {WC_EDITA, child | WS_TABSTOP | ES_AUTOHSCROLL, WS_EX_CLIENTEDGE};
        case Kind::kGlyphButton:
            return {WC_BUTTONA, child | WS_TABSTOP | BS_OWNERDRAW, 0};
        case Kind::kCheckBox:
            return {WC_BUTTONA, child | WS_TABSTOP | BS_AUTOCHECKBOX, 0};
        case Kind::kLabel:
            return {WC_STATICA, child | SS_RIGHT, 0};
        case Kind::kListBox:
            return {WC_LISTBOXA,
                    child | WS_TABSTOP | WS_VSCROLL | LBS_NOINTEGRALHEIGHT | LBS_NOTIFY,
                    WS_EX_CLIENTEDGE};
        case Kind::kStatusBar:
            return {STATUSCLASSNAMEA, child | WS_CLIPCHILDREN | CCS_NORESIZE | CCS_NOPARENTALIGN,
                    0};
        case Kind::kProgressBar:
            return {PROGRESS_CLASSA, child | PBS_SMOOTH, 0};
    }
    return {WC_STATICA, child, 0};
}

Glyph GlyphOf(int controlId) {
    if (controlId == ControlOf(Ctl::BitBtn1).id)
        return Glyph::kOpen;
    if (controlId == ControlOf(Ctl::BitBtn2).id)
        return Glyph::kStart;
    return Glyph::kExit;
}

}  // namespace

TMainForm::TMainForm(HINSTANCE instance, HWND owner, std::string title) : title_(std::move(title)) {
    menuVisible_.fill(true);

    const ProgramIcons icons = LoadProgramIcons(instance);
    WNDCLASSEXA wc{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = WndProc;
    wc.hInstance = instance;
    wc.hIcon = icons.large;
    wc.hIconSm = icons.small;
    wc.hCursor = LoadCursorA(nullptr, MAKEINTRESOURCEA(32512));  // IDC_ARROW
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    wc.lpszClassName = kMainFormClass;
    RegisterClassExA(&wc);

    // Single border, system menu and close box only; the application window owns it, so it
    // asks for its own taskbar button. A pop-up frame with a caption, as dialogs have: a frame
    // that cannot be sized has no use for the minimum and maximum size queries that the system
    // makes for overlapped windows. The menu bar comes with the window and the window is made
    // in its final size and place at once (it is not shown yet), so that the frame and the
    // wrapped bar are not laid out again.
    constexpr DWORD style = WS_POPUP | WS_CAPTION | WS_SYSMENU | WS_CLIPCHILDREN;
    constexpr DWORD exStyle = WS_EX_APPWINDOW | WS_EX_CONTROLPARENT;
    menu_ = MakeMenuBar();
    RECT frame{0, 0, kClientWidth, kClientHeight};
    AdjustWindowRectEx(&frame, style, menu_ != nullptr, exStyle);
    frame.bottom += ExtraMenuBarHeight(menu_, kClientWidth);
    const int width = frame.right - frame.left;
    const int height = frame.bottom - frame.top;
    hwnd_ = CreateWindowExA(exStyle, kMainFormClass, "", style, CentredLeft(width),
                            CentredTop(height), width, height, owner, menu_, instance, this);
    CreateFonts();
    // The controls are made in their places for the flash utility role; a change of role moves
    // them (SetUpdaterLayout).
    CreateControls(instance);
    FitFrame();
}

TMainForm::~TMainForm() {
    if (hwnd_ && IsWindow(hwnd_))
        DestroyWindow(hwnd_);  // with its menu bar
    else if (menu_)
        DestroyMenu(menu_);
    for (HFONT font : fonts_)
        if (font)
            DeleteObject(font);
}

void TMainForm::CreateFonts() {
    const auto make = [](int height, int weight) {
        return CreateFontA(-height, 0, 0, 0, weight, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                           OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                           DEFAULT_PITCH | FF_DONTCARE, kFontFace);
    };
    fonts_[static_cast<std::size_t>(FontKind::kNormal)] = make(13, FW_NORMAL);
    fonts_[static_cast<std::size_t>(FontKind::kBold)] = make(13, FW_BOLD);
    fonts_[static_cast<std::size_t>(FontKind::kList)] = make(17, FW_NORMAL);
    fonts_[static_cast<std::size_t>(FontKind::kCheckSum)] = make(17, FW_BOLD);
    SendMessageA(hwnd_, WM_SETFONT, reinterpret_cast<WPARAM>(fonts_[0]), FALSE);
}

void TMainForm::CreateControls(HINSTANCE instance) {
    for (std::size_t i = 0; i < kControls.size(); ++i) {
        const ControlDef& def = kControls[i];
        const WindowKind kind = KindOf(def.kind);
        HWND parent = def.parent == kNoParent ? hwnd_ : controls_[def.parent];
        // A drop-down list's window height includes its list.
        const int height = def.kind == Kind::kDropDown ? def.height + 200 : def.height;
        HWND control = CreateWindowExA(
            kind.exStyle, kind.className, def.caption, kind.style, def.x, def.y, def.width, height,
            parent, reinterpret_cast<HMENU>(static_cast<INT_PTR>(def.id)), instance, nullptr);
        controls_[i] = control;
        SendMessageA(control, WM_SETFONT,
                     reinterpret_cast<WPARAM>(fonts_[static_cast<std::size_t>(def.font)]), FALSE);
        if (def.kind == Kind::kGroupBox || def.kind == Kind::kPanel)
            MakeContainer(control);
    }

    // The closed drop-down list is as high as the layout says: its selection field is the item
    // height plus the frame.
    HWND combo = Control(Ctl::SelDevice);
    SendMessageA(combo, CB_SETITEMHEIGHT, static_cast<WPARAM>(-1),
                 ControlOf(Ctl::SelDevice).height - kDropDownFrame);

    SendMessageA(Control(Ctl::ListBox1), LB_SETITEMHEIGHT, 0, kListItemHeight);

    HWND status = Control(Ctl::StatusBar1);
    // One panel; as the bar's last panel it runs on to the bar's right end.
    int edges[1] = {-1};
    SendMessageA(status, SB_SETPARTS, 1, reinterpret_cast<LPARAM>(edges));
    SendMessageA(status, SB_SETTEXTA, 0, reinterpret_cast<LPARAM>(""));

    HWND progress = Control(Ctl::ProgressBar1);
    SendMessageA(progress, PBM_SETRANGE32, 0, static_cast<LPARAM>(kProgressMax));
    SendMessageA(progress, PBM_SETPOS, 0, 0);
}

void TMainForm::PlaceControls() {
    for (std::size_t i = 0; i < kControls.size(); ++i) {
        const ControlDef& def = kControls[i];
        if (def.parent != kNoParent)
            continue;
        SetWindowPos(controls_[i], nullptr, def.x, TopInRole(def, updaterLayout_), 0, 0,
                     SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
    }
    ShowWindow(Control(Ctl::Panel2), updaterLayout_ ? SW_HIDE : SW_SHOWNA);
}

void TMainForm::FitFrame() {
    FitFrameToClient(hwnd_, kClientWidth,
                     updaterLayout_ ? kClientHeight - kPanel2Height : kClientHeight);
}

HMENU TMainForm::MakeMenuBar() const {
    HMENU bar = CreateMenu();
    bool any = false;
    for (int i = 0; i < kMenuCommandCount; ++i) {
        const auto k = static_cast<std::size_t>(i);
        if (!menuVisible_[k])
            continue;
        AppendMenuA(bar, MF_STRING | (menuChecked_[k] ? MF_CHECKED : MF_UNCHECKED),
                    static_cast<UINT_PTR>(kMenuFirstId + i),
                    MenuCommandText(static_cast<MenuCommand>(i)));
        any = true;
    }
    if (!any) {
        DestroyMenu(bar);
        bar = nullptr;
    }
    return bar;
}

void TMainForm::RebuildMenu() {
    // Win32 menus cannot hide an item: the bar is rebuilt from the visible commands.
    HMENU bar = MakeMenuBar();
    SetMenu(hwnd_, bar);
    if (menu_)
        DestroyMenu(menu_);
    menu_ = bar;
    // SetMenu has recomputed and redrawn the frame with the new bar already.
    FitFrame();
}

void TMainForm::Show(int showCommand) {
    FitFrame();
    ShowWindow(hwnd_, showCommand);
    UpdateWindow(hwnd_);
}

void TMainForm::Dispatch(MSG& message) {
    if (hwnd_ && IsDialogMessageA(hwnd_, &message))
        return;
    TranslateMessage(&message);
    DispatchMessageA(&message);
}

LRESULT CALLBACK TMainForm::WndProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_NCCREATE) {
        auto* create = reinterpret_cast<CREATESTRUCTA*>(lParam);
        SetWindowLongPtrA(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
    }
    auto* self = reinterpret_cast<TMainForm*>(GetWindowLongPtrA(hwnd, GWLP_USERDATA));
    if (!self)
        return DefWindowProcA(hwnd, message, wParam, lParam);
    if (!self->hwnd_)
        self->hwnd_ = hwnd;
    // An exception must not unwind through the system's frames: it is shown here and the
    // message loop goes on.
    try {
        return self->Handle(hwnd, message, wParam, lParam);
    } catch (const std::exception& e) {
        ShowException(hwnd, self->title_, e.what());
    } catch (...) {
        ShowException(hwnd, self->title_, nullptr);
    }
    return 0;
}

LRESULT TMainForm::Handle(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_COMMAND:
            OnCommand(LOWORD(wParam), HIWORD(wParam), reinterpret_cast<HWND>(lParam));
            return 0;
        case WM_NOTIFY: {
            const auto* header = reinterpret_cast<const NMHDR*>(lParam);
            if (presenter_ && header->hwndFrom == Control(Ctl::StatusBar1) &&
                header->code == static_cast<UINT>(NM_DBLCLK))
                presenter_->OnStatusBarDoubleClick();
            return 0;
        }
        case WM_DRAWITEM: {
            const auto* item = reinterpret_cast<const DRAWITEMSTRUCT*>(lParam);
            if (item->CtlType != ODT_BUTTON)
                break;
            DrawGlyphButton(*item, GlyphOf(static_cast<int>(item->CtlID)),
                            fonts_[static_cast<std::size_t>(FontKind::kBold)]);
            return TRUE;
        }
        case WM_CTLCOLOREDIT:
            if (reinterpret_cast<HWND>(lParam) == Control(Ctl::Edit2)) {
                HDC dc = reinterpret_cast<HDC>(wParam);
                SetTextColor(dc, kNavy);
                SetBkColor(dc, GetSysColor(COLOR_WINDOW));
                return reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_WINDOW));
            }
            break;
        case WM_CLOSE:
            // The close box is the "&Exit" button's twin; both are refused while an update or
            // a load runs.
            if (presenter_)
                presenter_->OnExitClick();
            else
                DestroyWindow(hwnd);
            return 0;
        case WM_QUERYENDSESSION:
            // Messages keep flowing while an update runs, so this arrives in the middle of
            // one; a drive switched off half-written may not start again.
            return updateRunning_ ? FALSE : TRUE;
        case WM_DESTROY:
            PostQuitMessage(0);
            return 0;
        case WM_NCDESTROY:
            SetWindowLongPtrA(hwnd, GWLP_USERDATA, 0);
            hwnd_ = nullptr;
            menu_ = nullptr;  // destroyed with the window
            break;
        default:
            break;
    }
    return DefWindowProcA(hwnd, message, wParam, lParam);
}

void TMainForm::OnCommand(int id, int code, HWND control) {
    if (!presenter_)
        return;
    if (!control) {
        // A command of the menu bar.
        const int index = id - kMenuFirstId;
        if (code == 0 && index >= 0 && index < kMenuCommandCount)
            presenter_->OnMenuCommand(static_cast<MenuCommand>(index));
        return;
    }
    // A click that a disabled control could not have received (a posted BM_CLICK reaches even
    // a disabled button) is ignored, as the user's click would be.
    if (!IsWindowEnabled(control))
        return;
    if (id == ControlOf(Ctl::SelDevice).id) {
        if (code == CBN_SELCHANGE)
            presenter_->OnSelDeviceChange(
                static_cast<int>(SendMessageA(control, CB_GETCURSEL, 0, 0)));
        return;
    }
    if (code != BN_CLICKED)
        return;
    if (id == ControlOf(Ctl::BitBtn1).id)
        presenter_->OnLoadClick();
    else if (id == ControlOf(Ctl::BitBtn2).id)
        presenter_->OnStartClick();
    else if (id == ControlOf(Ctl::BitBtn4).id)
        presenter_->OnExitClick();
    else if (id == ControlOf(Ctl::check_verify).id)
        presenter_->OnVerifyClick(SendMessageA(control, BM_GETCHECK, 0, 0) == BST_CHECKED);
}

// --- the view ---------------------------------------------------------------------------

void TMainForm::AddLine(const std::string& line) {
    HWND list = Control(Ctl::ListBox1);
    SendMessageA(list, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(line.c_str()));
    const LRESULT count = SendMessageA(list, LB_GETCOUNT, 0, 0);
    SendMessageA(list, LB_SETCURSEL, static_cast<WPARAM>(count - 1), 0);
    RepaintNow(list);
}

void TMainForm::ClearLines() {
    HWND list = Control(Ctl::ListBox1);
    SendMessageA(list, LB_RESETCONTENT, 0, 0);
    RepaintNow(list);
}

void TMainForm::RepaintNow(HWND control) const {
    // The list is repainted at once while an update runs, since the loop may not get to it
    // before the next line; before the window is shown there is nothing to paint.
    if (IsWindowVisible(hwnd_))
        UpdateWindow(control);
}

void TMainForm::DeleteFirstLine() {
    SendMessageA(Control(Ctl::ListBox1), LB_DELETESTRING, 0, 0);
}

void TMainForm::ClearSelection() {
    SendMessageA(Control(Ctl::ListBox1), LB_SETCURSEL, static_cast<WPARAM>(-1), 0);
}

void TMainForm::SetProgress(std::uint32_t position) {
    SendMessageA(Control(Ctl::ProgressBar1), PBM_SETPOS,
                 static_cast<WPARAM>(std::min(position, kProgressMax)), 0);
}

void TMainForm::ProcessMessages() {
    MSG message;
    while (!quitReceived_ && PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
        if (message.message == WM_QUIT) {
            quitReceived_ = true;
            quitCode_ = static_cast<int>(message.wParam);
            break;
        }
        Dispatch(message);
    }
}

void TMainForm::ShowError(const std::string& text, const std::string& caption) {
    MessageBoxA(hwnd_, text.c_str(), caption.c_str(), MB_OK | MB_ICONERROR);
}

void TMainForm::ShowInformation(const std::string& text, const std::string& caption) {
    MessageBoxA(hwnd_, text.c_str(), caption.c_str(), MB_OK | MB_ICONINFORMATION);
}

bool TMainForm::AskOkCancel(const std::string& text, const std::string& caption) {
    // Questions have no owner.
    return MessageBoxA(nullptr, text.c_str(), caption.c_str(), MB_OKCANCEL | MB_ICONWARNING) ==
           IDOK;
}

void TMainForm::SetCaption(const std::string& caption) {
    SetWindowTextA(hwnd_, caption.c_str());
}

void TMainForm::SetUpdaterLayout(bool updaterRole) {
    // The window is built for the flash utility role; only a change of role moves anything.
    if (updaterRole == updaterLayout_)
        return;
    updaterLayout_ = updaterRole;
    PlaceControls();
    FitFrame();
}

void TMainForm::SetMenuVisible(MenuCommand command, bool visible) {
    const auto i = static_cast<std::size_t>(command);
    if (i >= menuVisible_.size() || menuVisible_[i] == visible)
        return;
    menuVisible_[i] = visible;
    RebuildMenu();
}

void TMainForm::SetMenuVisibility(const std::array<bool, kMenuCommandCount>& visible) {
    if (menuVisible_ == visible)
        return;
    menuVisible_ = visible;
    RebuildMenu();
}

void TMainForm::SetMenuChecked(MenuCommand command, bool checked) {
    const auto i = static_cast<std::size_t>(command);
    if (i >= menuChecked_.size())
        return;
    menuChecked_[i] = checked;
    if (menu_)
        CheckMenuItem(menu_, static_cast<UINT>(kMenuFirstId + static_cast<int>(i)),
                      MF_BYCOMMAND | (checked ? MF_CHECKED : MF_UNCHECKED));
}

void TMainForm::SetControlEnabled(kfs::Control control, bool enabled) {
    Ctl c = Ctl::BitBtn4;
    switch (control) {
        case kfs::Control::kSelDevice:
            c = Ctl::SelDevice;
            break;
        case kfs::Control::kLoadKfs:
            c = Ctl::BitBtn1;
            break;
        case kfs::Control::kStart:
            c = Ctl::BitBtn2;
            break;
        case kfs::Control::kExit:
            c = Ctl::BitBtn4;
            break;
    }
    EnableWindow(Control(c), enabled ? TRUE : FALSE);
}

void TMainForm::SetWindowEnabled(bool enabled) {
    EnableWindow(hwnd_, enabled ? TRUE : FALSE);
}

void TMainForm::SetDriveEntries(const std::vector<std::string>& entries) {
    HWND combo = Control(Ctl::SelDevice);
    SendMessageA(combo, CB_RESETCONTENT, 0, 0);
    for (const std::string& entry : entries)
        SendMessageA(combo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(entry.c_str()));
}

void TMainForm::SelectDriveEntry(int index) {
    SendMessageA(Control(Ctl::SelDevice), CB_SETCURSEL, static_cast<WPARAM>(index), 0);
}

void TMainForm::SetVerifyChecked(bool checked) {
    SendMessageA(Control(Ctl::check_verify), BM_SETCHECK, checked ? BST_CHECKED : BST_UNCHECKED, 0);
}

void TMainForm::SetEdit1Text(const std::string& text) {
    SetWindowTextA(Control(Ctl::Edit1), text.c_str());
}

void TMainForm::SetEdit1Visible(bool visible) {
    ShowWindow(Control(Ctl::Edit1), visible ? SW_SHOWNA : SW_HIDE);
}

void TMainForm::SetEdit2Text(const std::string& text) {
    SetWindowTextA(Control(Ctl::Edit2), text.c_str());
}

void TMainForm::SetStatusText(const std::string& text) {
    SendMessageA(Control(Ctl::StatusBar1), SB_SETTEXTA, 0, reinterpret_cast<LPARAM>(text.c_str()));
}

std::optional<std::string> TMainForm::RunOpenDialog() {
    return RunOpenDialog1(hwnd_);
}

std::optional<std::string> TMainForm::RunSaveDialog() {
    return RunSaveDialog1(hwnd_);
}

void TMainForm::SetUpdateRunning(bool running) {
    if (running == updateRunning_)
        return;
    updateRunning_ = running;
    if (!hwnd_)
        return;
    if (running)
        CreateShutdownBlockReason(hwnd_, L"A drive's firmware is being updated.");
    else
        DestroyShutdownBlockReason(hwnd_);
}

void TMainForm::CloseWindow() {
    if (hwnd_)
        DestroyWindow(hwnd_);
}

}  // namespace kfs::win32
