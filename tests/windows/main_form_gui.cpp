// The Win32 window of kfsflash.exe, driven through its view calls and read back with the calls a
// test driver uses: control places and classes, the updater role's layout, the menu bar, the
// message list and the progress bar; the instance lock and the hand-over to a running copy.
// Needs a display (run_with_display.sh provides one).
#include <windows.h>
// windows.h first: the common controls header builds on its types.
#include <commctrl.h>
#include <gtest/gtest.h>

#include <array>
#include <string>

#include "app/win32/application_window.h"
#include "app/win32/file_dialogs.h"
#include "app/win32/instance_lock.h"
#include "app/win32/main_form.h"

namespace kfs::win32 {
namespace {

std::string ClassOf(HWND hwnd) {
    char name[64] = {};
    GetClassNameA(hwnd, name, sizeof name);
    return name;
}

std::string TextOf(HWND hwnd) {
    char text[256] = {};
    GetWindowTextA(hwnd, text, sizeof text);
    return text;
}

RECT PlaceInParent(HWND hwnd) {
    RECT rect{};
    GetWindowRect(hwnd, &rect);
    MapWindowPoints(HWND_DESKTOP, GetParent(hwnd), reinterpret_cast<POINT*>(&rect), 2);
    return rect;
}

SIZE ClientSize(HWND hwnd) {
    RECT rect{};
    GetClientRect(hwnd, &rect);
    return {rect.right, rect.bottom};
}

// Whether `hwnd` and every container up to `form` carry WS_VISIBLE (the form itself is hidden).
bool ShownInForm(HWND hwnd, HWND form) {
    for (; hwnd && hwnd != form; hwnd = GetParent(hwnd))
        if (!(GetWindowLongA(hwnd, GWL_STYLE) & WS_VISIBLE))
            return false;
    return true;
}

class MainFormTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        INITCOMMONCONTROLSEX controls{sizeof(INITCOMMONCONTROLSEX),
                                      ICC_BAR_CLASSES | ICC_PROGRESS_CLASS | ICC_STANDARD_CLASSES};
        InitCommonControlsEx(&controls);
    }
    TMainForm form{GetModuleHandleA(nullptr), nullptr, "kfsflash"};
};

// Places and captions come from the layout table itself, so comparing them with it would prove
// nothing; what the window can get wrong on its own is the class, the id and the parent.
TEST_F(MainFormTest, ControlsHaveStandardClassesTheirIdsAndParents) {
    ASSERT_NE(form.hwnd(), nullptr) << "no window: is there a display?";
    EXPECT_EQ(ClassOf(form.hwnd()), "TMainForm");
    const SIZE client = ClientSize(form.hwnd());
    EXPECT_EQ(client.cx, 386);
    EXPECT_EQ(client.cy, 554);
    const LONG style = GetWindowLongA(form.hwnd(), GWL_STYLE);
    EXPECT_EQ(style & (WS_THICKFRAME | WS_MINIMIZEBOX | WS_MAXIMIZEBOX), 0);
    EXPECT_EQ(style & (WS_SYSMENU | WS_CAPTION), WS_SYSMENU | WS_CAPTION);

    const struct {
        Ctl control;
        const char* className;
    } classes[] = {
        {Ctl::GroupBox1, "Button"},
        {Ctl::SelDevice, "ComboBox"},
        {Ctl::Panel2, "Static"},
        {Ctl::GroupBox2, "Button"},
        {Ctl::Edit1, "Edit"},
        {Ctl::BitBtn1, "Button"},
        {Ctl::check_verify, "Button"},
        {Ctl::Label1, "Static"},
        {Ctl::Edit2, "Edit"},
        {Ctl::Panel1, "Static"},
        {Ctl::BitBtn2, "Button"},
        {Ctl::BitBtn4, "Button"},
        {Ctl::ListBox1, "ListBox"},
        {Ctl::StatusBar1, "msctls_statusbar32"},
        {Ctl::ProgressBar1, "msctls_progress32"},
    };
    for (const auto& [control, className] : classes) {
        const ControlDef& def = ControlOf(control);
        SCOPED_TRACE(def.name);
        HWND hwnd = form.Control(control);
        ASSERT_NE(hwnd, nullptr);
        EXPECT_STRCASEEQ(ClassOf(hwnd).c_str(), className);
        EXPECT_EQ(GetDlgCtrlID(hwnd), def.id);
        EXPECT_EQ(GetParent(hwnd), def.parent == kNoParent
                                       ? form.hwnd()
                                       : form.Control(static_cast<Ctl>(def.parent)));
    }
    EXPECT_EQ(SendMessageA(form.Control(Ctl::ProgressBar1), PBM_GETRANGE, FALSE, 0),
              static_cast<LRESULT>(kProgressMax));
    EXPECT_EQ(SendMessageA(form.Control(Ctl::ListBox1), LB_GETITEMHEIGHT, 0, 0), 20);
}

TEST_F(MainFormTest, UpdaterRoleHidesTheFilePanelAndIs113PixelsLower) {
    ASSERT_NE(form.hwnd(), nullptr);
    form.SetUpdaterLayout(true);
    EXPECT_EQ(ClientSize(form.hwnd()).cy, 554 - 113);
    EXPECT_FALSE(IsWindowVisible(form.Control(Ctl::Panel2)) ||
                 (GetWindowLongA(form.Control(Ctl::Panel2), GWL_STYLE) & WS_VISIBLE));
    EXPECT_EQ(PlaceInParent(form.Control(Ctl::GroupBox1)).top, 0);
    EXPECT_EQ(PlaceInParent(form.Control(Ctl::Panel1)).top, 80);
    EXPECT_EQ(PlaceInParent(form.Control(Ctl::ListBox1)).top, 144);
    EXPECT_EQ(PlaceInParent(form.Control(Ctl::StatusBar1)).top, 421);

    form.SetUpdaterLayout(false);
    EXPECT_EQ(ClientSize(form.hwnd()).cy, 554);
    EXPECT_TRUE(GetWindowLongA(form.Control(Ctl::Panel2), GWL_STYLE) & WS_VISIBLE);
    EXPECT_EQ(PlaceInParent(form.Control(Ctl::StatusBar1)).top, 534);
}

// The caption of `hwnd` as drawn with the control's own font (the font the window was given,
// which the system may have replaced by a face of its own): one line, "&" taken as a prefix.
SIZE CaptionExtent(HWND hwnd) {
    HDC dc = GetDC(hwnd);
    const HGDIOBJ old =
        SelectObject(dc, reinterpret_cast<HFONT>(SendMessageA(hwnd, WM_GETFONT, 0, 0)));
    const std::string text = TextOf(hwnd);
    RECT rect{0, 0, 0, 0};
    DrawTextA(dc, text.c_str(), -1, &rect, DT_CALCRECT | DT_SINGLELINE);
    TEXTMETRICA metrics{};
    GetTextMetricsA(dc, &metrics);
    SelectObject(dc, old);
    ReleaseDC(hwnd, dc);
    return {rect.right - rect.left, metrics.tmHeight};
}

// A control reaching past its parent's client area, or a caption taller or wider than the room
// its control gives it, is drawn cut off. The widths count: a label too narrow for its one word
// breaks it and shows only what fits ("CheckSum" read "CheckSun"), and nothing else would tell.
TEST_F(MainFormTest, NothingIsClippedInEitherRole) {
    ASSERT_NE(form.hwnd(), nullptr);
    for (const bool updaterRole : {false, true}) {
        SCOPED_TRACE(updaterRole ? "updater role" : "flash utility role");
        form.SetUpdaterLayout(updaterRole);
        for (std::size_t i = 0; i < kControls.size(); ++i) {
            const ControlDef& def = kControls[i];
            SCOPED_TRACE(def.name);
            const auto control = static_cast<Ctl>(i);
            if (!ShownInForm(form.Control(control), form.hwnd()))
                continue;  // the file panel and its controls in the updater role
            HWND hwnd = form.Control(control);
            const RECT place = PlaceInParent(hwnd);
            const SIZE parent = ClientSize(GetParent(hwnd));
            EXPECT_GE(place.left, 0);
            EXPECT_GE(place.top, 0);
            EXPECT_LE(place.right, parent.cx);
            EXPECT_LE(place.bottom, parent.cy);
        }
    }
    form.SetUpdaterLayout(false);

    // Room for the caption: a check box's text follows its box and a gap; a group box's caption
    // sits between an indent on either side.
    const int checkBox = GetSystemMetrics(SM_CXMENUCHECK) + 4;
    const struct {
        Ctl control;
        int besideCaption;  // pixels of the control's width that the caption cannot use
    } captions[] = {
        {Ctl::GroupBox1, 16}, {Ctl::GroupBox2, 16},
        {Ctl::BitBtn1, 0},    {Ctl::check_verify, checkBox},
        {Ctl::Label1, 0},     {Ctl::BitBtn2, 0},
        {Ctl::BitBtn4, 0},
    };
    for (const auto& c : captions) {
        HWND hwnd = form.Control(c.control);
        SCOPED_TRACE(ControlOf(c.control).name);
        const SIZE caption = CaptionExtent(hwnd);
        EXPECT_GT(caption.cx, 0);
        EXPECT_LE(caption.cx + c.besideCaption, ClientSize(hwnd).cx);
        if (c.control != Ctl::GroupBox1 && c.control != Ctl::GroupBox2) {
            EXPECT_LE(caption.cy, ClientSize(hwnd).cy);
        }
    }
}

// While an update runs the window refuses to let the session end, and lets it end again after.
TEST_F(MainFormTest, SessionEndRefusedWhileAnUpdateRuns) {
    ASSERT_NE(form.hwnd(), nullptr);
    EXPECT_EQ(SendMessageA(form.hwnd(), WM_QUERYENDSESSION, 0, 0), TRUE);
    form.SetUpdateRunning(true);
    EXPECT_EQ(SendMessageA(form.hwnd(), WM_QUERYENDSESSION, 0, 0), FALSE);
    EXPECT_EQ(SendMessageA(form.hwnd(), WM_QUERYENDSESSION, 0, ENDSESSION_LOGOFF), FALSE);
    form.SetUpdateRunning(false);
    EXPECT_EQ(SendMessageA(form.hwnd(), WM_QUERYENDSESSION, 0, 0), TRUE);
    EXPECT_TRUE(IsWindow(form.hwnd()));
}

TEST_F(MainFormTest, MenuBarHoldsTheVisibleCommandsInOrderAndKeepsTheClientArea) {
    ASSERT_NE(form.hwnd(), nullptr);
    HMENU bar = GetMenu(form.hwnd());
    ASSERT_NE(bar, nullptr);
    EXPECT_EQ(GetMenuItemCount(bar), kMenuCommandCount);

    form.SetMenuVisible(MenuCommand::kSilent, false);
    form.SetMenuVisible(MenuCommand::kHelp, false);
    form.SetMenuChecked(MenuCommand::kKeepUnusedBlocks, true);
    bar = GetMenu(form.hwnd());
    ASSERT_EQ(GetMenuItemCount(bar), kMenuCommandCount - 2);
    char text[64] = {};
    GetMenuStringA(bar, 0, text, sizeof text, MF_BYPOSITION);
    EXPECT_STREQ(text, "Check KFS File");
    EXPECT_EQ(GetMenuItemID(bar, 0), static_cast<UINT>(kMenuFirstId + 1));
    GetMenuStringA(bar, 2, text, sizeof text, MF_BYPOSITION);
    EXPECT_STREQ(text, "Version Information");
    EXPECT_TRUE(GetMenuState(bar, kMenuFirstId + 8, MF_BYCOMMAND) & MF_CHECKED);
    EXPECT_FALSE(GetMenuState(bar, kMenuFirstId + 7, MF_BYCOMMAND) & MF_CHECKED);
    EXPECT_EQ(ClientSize(form.hwnd()).cx, 386);
    EXPECT_EQ(ClientSize(form.hwnd()).cy, 554);

    // A check mark set while the command is hidden shows when it comes back.
    form.SetMenuChecked(MenuCommand::kSilent, true);
    form.SetMenuVisible(MenuCommand::kSilent, true);
    EXPECT_TRUE(GetMenuState(GetMenu(form.hwnd()), kMenuFirstId, MF_BYCOMMAND) & MF_CHECKED);

    for (int i = 0; i < kMenuCommandCount; ++i)
        form.SetMenuVisible(static_cast<MenuCommand>(i), false);
    EXPECT_EQ(GetMenu(form.hwnd()), nullptr);
    EXPECT_EQ(ClientSize(form.hwnd()).cy, 554);

    // All at once: the bar comes back with just the shown commands, the check marks kept.
    std::array<bool, kMenuCommandCount> visible{};
    visible[static_cast<std::size_t>(MenuCommand::kKeepUnusedBlocks)] = true;
    visible[static_cast<std::size_t>(MenuCommand::kDrive)] = true;
    form.SetMenuVisibility(visible);
    bar = GetMenu(form.hwnd());
    ASSERT_EQ(GetMenuItemCount(bar), 2);
    EXPECT_EQ(GetMenuItemID(bar, 0), static_cast<UINT>(kMenuFirstId + 6));
    EXPECT_EQ(GetMenuItemID(bar, 1), static_cast<UINT>(kMenuFirstId + 8));
    EXPECT_TRUE(GetMenuState(bar, kMenuFirstId + 8, MF_BYCOMMAND) & MF_CHECKED);
    EXPECT_EQ(ClientSize(form.hwnd()).cx, 386);
    EXPECT_EQ(ClientSize(form.hwnd()).cy, 554);
}

TEST_F(MainFormTest, MessageListProgressAndBoxesFollowTheViewCalls) {
    ASSERT_NE(form.hwnd(), nullptr);
    HWND list = form.Control(Ctl::ListBox1);
    for (const char* line : {"one", "two", "three"}) form.AddLine(line);
    EXPECT_EQ(SendMessageA(list, LB_GETCOUNT, 0, 0), 3);
    EXPECT_EQ(SendMessageA(list, LB_GETCURSEL, 0, 0), 2);
    form.DeleteFirstLine();
    char text[32] = {};
    SendMessageA(list, LB_GETTEXT, 0, reinterpret_cast<LPARAM>(text));
    EXPECT_STREQ(text, "two");
    form.ClearSelection();
    EXPECT_EQ(SendMessageA(list, LB_GETCURSEL, 0, 0), LB_ERR);
    form.ClearLines();
    EXPECT_EQ(SendMessageA(list, LB_GETCOUNT, 0, 0), 0);

    form.SetProgress(kProgressMax);
    EXPECT_EQ(SendMessageA(form.Control(Ctl::ProgressBar1), PBM_GETPOS, 0, 0), 65536);

    form.SetDriveEntries({"A 1.00 010101", "B 2.00 020202"});
    form.SelectDriveEntry(1);
    EXPECT_EQ(SendMessageA(form.Control(Ctl::SelDevice), CB_GETCOUNT, 0, 0), 2);
    EXPECT_EQ(SendMessageA(form.Control(Ctl::SelDevice), CB_GETCURSEL, 0, 0), 1);

    form.SetStatusText("LITE    DVD X");
    SendMessageA(form.Control(Ctl::StatusBar1), WM_GETTEXT, sizeof text,
                 reinterpret_cast<LPARAM>(text));
    EXPECT_STREQ(text, "LITE    DVD X");

    form.SetVerifyChecked(true);
    EXPECT_EQ(SendMessageA(form.Control(Ctl::check_verify), BM_GETCHECK, 0, 0), BST_CHECKED);
    form.SetControlEnabled(kfs::Control::kStart, false);
    EXPECT_FALSE(IsWindowEnabled(form.Control(Ctl::BitBtn2)));
    form.SetWindowEnabled(false);
    EXPECT_FALSE(IsWindowEnabled(form.hwnd()));
}

TEST(DialogFilter, BarsBecomeZerosWithADoubleZeroAtTheEnd) {
    EXPECT_EQ(DialogFilter(kOpenDialogFilter),
              std::string("KFS file(*.kfs)\0*.kfs\0All File (*.*)\0*.*\0\0", 42));
    EXPECT_EQ(DialogFilter(kSaveDialogFilter),
              std::string("INI file(*.ini)\0*.ini\0All File (*.*)\0*.*\0\0", 42));
}

TEST(InstanceLock, OnlyOneHolderPerTitleUntilItEnds) {
    const std::string title = "Kfswindowtest" + std::to_string(GetCurrentProcessId());
    {
        InstanceLock first;
        ASSERT_TRUE(first.Acquire(title));
        InstanceLock second;
        EXPECT_FALSE(second.Acquire(title));
    }
    InstanceLock again;
    EXPECT_TRUE(again.Acquire(title));
}

TEST(InstanceLock, SecondCopyBlanksItsOwnWindowAndFindsTheFirstByTitle) {
    const std::string title = "Kfshandover" + std::to_string(GetCurrentProcessId());
    HINSTANCE instance = GetModuleHandleA(nullptr);
    ApplicationWindow running(instance, title);
    ApplicationWindow starting(instance, title);
    ASSERT_NE(running.hwnd(), nullptr);
    EXPECT_EQ(ClassOf(running.hwnd()), "TApplication");
    EXPECT_FALSE(IsWindowVisible(running.hwnd()));

    EXPECT_TRUE(ActivateOtherInstance(starting.hwnd(), title));
    EXPECT_EQ(TextOf(starting.hwnd()), "");
    EXPECT_EQ(TextOf(running.hwnd()), title);
    EXPECT_EQ(FindWindowA("TApplication", title.c_str()), running.hwnd());

    EXPECT_FALSE(ActivateOtherInstance(nullptr, title + "-none"));
}

}  // namespace
}  // namespace kfs::win32
