// The end-to-end tests' hands and eyes inside Wine: a console program that starts the program
// under test, finds its windows, presses buttons, chooses menu commands, reads controls and
// answers message boxes and file dialogs, one command per line on standard input, one reply line
// on standard output.
//
// A line is a command name and its arguments separated by tabs. Texts in arguments and replies
// escape backslash, tab, CR and LF as \\, \t, \r and \n. A reply is "ok" followed by its values,
// or "err" and a reason. Controls are named by their control ID (GetDlgCtrlID) anywhere below the
// main window; times are in milliseconds.
//
//   start PATH [WORKDIR]        start a program          -> ok PID
//   exited PID MS               wait for its end         -> ok EXITCODE | err running
//   timeshown PATH CLASS MS     start, time until a window of CLASS is shown, close it -> ok MS
//   main PID MS                 the visible TMainForm of PID becomes the target -> ok CAPTION
//   caption                     -> ok TEXT
//   client                      main window's client size and the window's frame size
//                               -> ok CW CH WW WH
//   text ID / enabled ID / visible ID / checked ID / rect ID (client coordinates of the main
//   window) list ID                     -> ok COUNT SELECTED LINE... combo ID                    ->
//   ok COUNT SELECTED ENTRY... progress ID                 -> ok POS MAX watch ID MS poll the
//   progress bar until a message box of the target's process
//                               is shown or MS pass -> ok DISTINCT-POSITIONS...
//   click ID                    BM_CLICK, posted
//   menu ID                     WM_COMMAND with the menu item ID, posted
//   box MS                      wait for a message box of the target's process -> ok CAPTION TEXT
//   nobox MS                    -> ok when no message box shows up within MS, else err CAPTION TEXT
//   answer ok|cancel            press a button of the last box and wait until it is gone
//   file PATH MS                fill the open/save dialog's file name box and press OK
//   filecancel MS               cancel the open/save dialog
//   windows PID [CLASS]         visible top-level windows of PID (0: any) -> ok COUNT
//   env NAME VALUE              set a variable for the programs started from now on
//   select ID INDEX             choose a drop-down entry as the user would
//   state                       -> ok ICONIC FOREGROUND-IS-TARGET-PROCESS
//   minimize                    minimise the target
//   close                       WM_CLOSE to the target
//   regset KEY NAME sz|bin VALUE  (HKEY_LOCAL_MACHINE; bin VALUE is hexadecimal bytes)
//   regget KEY NAME             -> ok HEXBYTES | err missing
//   drive LETTER cdrom MOUNT DEVICE  give a drive letter to a Unix device (and a folder as its
//                               mount point) through Wine's mount manager, as winecfg does, in
//                               the running wineserver; drive LETTER none takes the letter away
//   sleep MS
#include <windows.h>
// commctrl.h needs the types of windows.h.
#include <commctrl.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace {

using Args = std::vector<std::string>;

std::string Escape(const std::string& s) {
    std::string out;
    for (char c : s) {
        switch (c) {
            case '\\':
                out += "\\\\";
                break;
            case '\t':
                out += "\\t";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\n':
                out += "\\n";
                break;
            default:
                out += c;
        }
    }
    return out;
}

std::string Unescape(const std::string& s) {
    std::string out;
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] != '\\' || i + 1 == s.size()) {
            out += s[i];
            continue;
        }
        const char c = s[++i];
        out += c == 't' ? '\t' : c == 'r' ? '\r' : c == 'n' ? '\n' : c;
    }
    return out;
}

struct Reply {
    bool ok = true;
    std::vector<std::string> values;
};
Reply Ok(std::vector<std::string> values = {}) {
    return {true, std::move(values)};
}
Reply Err(const std::string& why) {
    return {false, {why}};
}

// Messages that cross the process boundary are sent with a time-out, so a program that is stuck
// in a long command shows up as an error instead of hanging the driver.
LRESULT Send(HWND w, UINT msg, WPARAM wp, LPARAM lp) {
    DWORD_PTR result = 0;
    if (!SendMessageTimeoutA(w, msg, wp, lp, SMTO_NORMAL, 5000, &result))
        return -1;
    return static_cast<LRESULT>(result);
}

LRESULT SendWide(HWND w, UINT msg, WPARAM wp, LPARAM lp) {
    DWORD_PTR result = 0;
    if (!SendMessageTimeoutW(w, msg, wp, lp, SMTO_NORMAL, 5000, &result))
        return -1;
    return static_cast<LRESULT>(result);
}

std::string WindowText(HWND w) {
    const LRESULT n = Send(w, WM_GETTEXTLENGTH, 0, 0);
    if (n <= 0)
        return "";
    std::vector<char> buf(static_cast<std::size_t>(n) * 2 + 64, '\0');
    Send(w, WM_GETTEXT, static_cast<WPARAM>(n) + 1, reinterpret_cast<LPARAM>(buf.data()));
    return buf.data();
}

std::string ClassOf(HWND w) {
    char name[256] = {};
    GetClassNameA(w, name, sizeof name);
    return name;
}

DWORD ProcessOf(HWND w) {
    DWORD pid = 0;
    GetWindowThreadProcessId(w, &pid);
    return pid;
}

struct TopLevelSearch {
    DWORD pid;
    const char* cls;
    std::vector<HWND> found;
};

BOOL CALLBACK CollectTopLevel(HWND w, LPARAM lp) {
    auto& s = *reinterpret_cast<TopLevelSearch*>(lp);
    if ((s.pid == 0 || ProcessOf(w) == s.pid) && IsWindowVisible(w) &&
        (s.cls == nullptr || ClassOf(w) == s.cls))
        s.found.push_back(w);
    return TRUE;
}

// Visible top-level windows of the process (0: any), of the class (nullptr: any).
std::vector<HWND> TopLevel(DWORD pid, const char* className) {
    TopLevelSearch search{pid, className, {}};
    EnumWindows(CollectTopLevel, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

BOOL CALLBACK CollectChild(HWND w, LPARAM lp) {
    reinterpret_cast<std::vector<HWND>*>(lp)->push_back(w);
    return TRUE;
}

std::vector<HWND> Children(HWND parent) {
    std::vector<HWND> found;
    EnumChildWindows(parent, CollectChild, reinterpret_cast<LPARAM>(&found));
    return found;
}

// The control of that ID anywhere below the window (group boxes and panels nest them).
HWND Control(HWND top, int id) {
    for (HWND w : Children(top)) {
        if (GetDlgCtrlID(w) == id)
            return w;
    }
    return nullptr;
}

// The file name box of the common open/save dialog.
HWND FileNameBox(HWND dialog) {
    for (int id : {0x47C, 0x480}) {  // cmb13 (Wine 8), edt1
        if (HWND w = Control(dialog, id))
            return w;
    }
    return nullptr;
}

bool IsFileDialog(HWND w) {
    return FileNameBox(w) != nullptr;
}

// The message text of a message box: its longest static text (the icon's static has none).
std::string BoxText(HWND box) {
    std::string text;
    bool any = false;
    for (HWND w : Children(box)) {
        if (GetParent(w) != box || ClassOf(w) != "Static")
            continue;
        const std::string t = WindowText(w);
        if (!any || t.size() > text.size())
            text = t;
        any = true;
    }
    return text;
}

class Driver {
  public:
    Reply Run(const std::string& cmd, const Args& a) {
        if (cmd == "start")
            return Start(a);
        if (cmd == "exited")
            return Exited(a);
        if (cmd == "timeshown")
            return TimeShown(a);
        if (cmd == "main")
            return FindMain(a);
        if (cmd == "sleep") {
            Sleep(Num(a, 0));
            return Ok();
        }
        if (cmd == "windows")
            return Ok({std::to_string(
                TopLevel(Num(a, 0), a.size() > 1 ? a[1].c_str() : nullptr).size())});
        if (cmd == "env") {
            if (a.size() < 2 || !SetEnvironmentVariableA(a[0].c_str(), a[1].c_str()))
                return Err("env NAME VALUE");
            return Ok();
        }
        if (cmd == "regset")
            return RegSet(a);
        if (cmd == "regget")
            return RegGet(a);
        if (cmd == "drive")
            return DefineDrive(a);
        if (cmd == "box")
            return WaitBox(Num(a, 0));
        if (cmd == "nobox")
            return NoBox(Num(a, 0));
        if (cmd == "answer")
            return Answer(a);
        if (cmd == "file")
            return FileDialog(a.size() > 0 ? a[0] : "", Num(a, 1), true);
        if (cmd == "filecancel")
            return FileDialog("", Num(a, 0), false);
        if (!IsWindow(main_))
            return Err("no main window (use main PID MS first)");
        if (cmd == "caption")
            return Ok({WindowText(main_)});
        if (cmd == "client") {
            RECT c{}, w{};
            GetClientRect(main_, &c);
            GetWindowRect(main_, &w);
            return Ok({std::to_string(c.right), std::to_string(c.bottom),
                       std::to_string(w.right - w.left), std::to_string(w.bottom - w.top)});
        }
        if (cmd == "menu") {
            PostMessageA(main_, WM_COMMAND, MAKEWPARAM(Num(a, 0), 0), 0);
            return Ok();
        }
        if (cmd == "state") {
            const HWND fg = GetForegroundWindow();
            return Ok({IsIconic(main_) ? "1" : "0", fg && ProcessOf(fg) == pid_ ? "1" : "0"});
        }
        if (cmd == "minimize") {
            ShowWindow(main_, SW_MINIMIZE);
            return Ok();
        }
        if (cmd == "close") {
            PostMessageA(main_, WM_CLOSE, 0, 0);
            return Ok();
        }
        HWND c = Control(main_, Num(a, 0));
        if (c == nullptr)
            return Err("no control with ID " + (a.empty() ? std::string("?") : a[0]));
        if (cmd == "text")
            return Ok({WindowText(c)});
        if (cmd == "enabled")
            return Ok({IsWindowEnabled(c) ? "1" : "0"});
        if (cmd == "visible")
            return Ok({IsWindowVisible(c) ? "1" : "0"});
        if (cmd == "checked")
            return Ok({std::to_string(Send(c, BM_GETCHECK, 0, 0))});
        if (cmd == "rect") {
            RECT r{};
            GetWindowRect(c, &r);
            MapWindowPoints(HWND_DESKTOP, main_, reinterpret_cast<POINT*>(&r), 2);
            return Ok({std::to_string(r.left), std::to_string(r.top),
                       std::to_string(r.right - r.left), std::to_string(r.bottom - r.top)});
        }
        if (cmd == "list")
            return Lines(c, LB_GETCOUNT, LB_GETCURSEL, LB_GETTEXTLEN, LB_GETTEXT);
        if (cmd == "combo")
            return Lines(c, CB_GETCOUNT, CB_GETCURSEL, CB_GETLBTEXTLEN, CB_GETLBTEXT);
        if (cmd == "progress")
            return Ok({std::to_string(Send(c, PBM_GETPOS, 0, 0)),
                       std::to_string(Send(c, PBM_GETRANGE, FALSE, 0))});
        if (cmd == "watch")
            return Watch(c, Num(a, 1));
        if (cmd == "select") {
            // As the user's choice: the new selection, then its notification to the parent.
            Send(c, CB_SETCURSEL, Num(a, 1), 0);
            PostMessageA(GetParent(c), WM_COMMAND, MAKEWPARAM(GetDlgCtrlID(c), CBN_SELCHANGE),
                         reinterpret_cast<LPARAM>(c));
            return Ok();
        }
        if (cmd == "click") {
            PostMessageA(c, BM_CLICK, 0, 0);
            return Ok();
        }
        return Err("unknown command " + cmd);
    }

  private:
    static int Num(const Args& a, std::size_t i) {
        return i < a.size() ? static_cast<int>(std::strtol(a[i].c_str(), nullptr, 0)) : 0;
    }

    Reply Start(const Args& a) {
        if (a.empty())
            return Err("start needs a path");
        STARTUPINFOA si{};
        si.cb = sizeof si;
        PROCESS_INFORMATION pi{};
        std::string line = "\"" + a[0] + "\"";
        const char* dir = a.size() > 1 ? a[1].c_str() : nullptr;
        if (!CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, dir, &si,
                            &pi))
            return Err("CreateProcess failed: " + std::to_string(GetLastError()));
        CloseHandle(pi.hThread);
        processes_[pi.dwProcessId] = pi.hProcess;
        return Ok({std::to_string(pi.dwProcessId)});
    }

    // Start-up time: from CreateProcess to a visible top-level window of the class; the program
    // is then closed (and ended if it does not close).
    Reply TimeShown(const Args& a) {
        if (a.size() < 3)
            return Err("timeshown PATH CLASS MS");
        LARGE_INTEGER freq, t0, t1;
        QueryPerformanceFrequency(&freq);
        QueryPerformanceCounter(&t0);
        const Reply started = Start({a[0]});
        if (!started.ok)
            return started;
        const DWORD pid = static_cast<DWORD>(std::strtoul(started.values[0].c_str(), nullptr, 10));
        const DWORD end = GetTickCount() + Num(a, 2);
        HWND shown = nullptr;
        while (shown == nullptr && static_cast<int>(end - GetTickCount()) > 0) {
            const auto found = TopLevel(pid, a[1].c_str());
            if (!found.empty())
                shown = found.front();
            else
                Sleep(1);
        }
        QueryPerformanceCounter(&t1);
        HANDLE process = processes_[pid];
        if (shown)
            PostMessageA(shown, WM_CLOSE, 0, 0);
        if (WaitForSingleObject(process, 10000) != WAIT_OBJECT_0)
            TerminateProcess(process, 1);
        CloseHandle(process);
        processes_.erase(pid);
        if (!shown)
            return Err("no window shown");
        const double ms = 1000.0 * static_cast<double>(t1.QuadPart - t0.QuadPart) /
                          static_cast<double>(freq.QuadPart);
        char text[32];
        std::snprintf(text, sizeof text, "%.1f", ms);
        return Ok({text});
    }

    Reply Exited(const Args& a) {
        const auto it = processes_.find(static_cast<DWORD>(Num(a, 0)));
        if (it == processes_.end())
            return Err("not started here");
        if (WaitForSingleObject(it->second, Num(a, 1)) != WAIT_OBJECT_0)
            return Err("running");
        DWORD code = 0;
        GetExitCodeProcess(it->second, &code);
        return Ok({std::to_string(code)});
    }

    Reply FindMain(const Args& a) {
        const DWORD pid = static_cast<DWORD>(Num(a, 0));
        const DWORD end = GetTickCount() + Num(a, 1);
        do {
            const auto found = TopLevel(pid, "TMainForm");
            if (!found.empty()) {
                main_ = found.front();
                pid_ = pid;
                return Ok({WindowText(main_)});
            }
            Sleep(50);
        } while (static_cast<int>(end - GetTickCount()) > 0);
        return Err("no visible TMainForm window");
    }

    // Message boxes of the target's process: dialogs without a file name box.
    HWND CurrentBox() {
        for (HWND w : TopLevel(pid_, "#32770")) {
            if (!IsFileDialog(w))
                return w;
        }
        return nullptr;
    }

    Reply WaitBox(int ms) {
        const DWORD start = GetTickCount(), end = start + ms;
        do {
            if (HWND box = CurrentBox()) {
                // The text is filled while the box initialises; an empty text is real only when
                // it stays empty.
                std::string text = BoxText(box);
                for (int i = 0; i < 20 && text.empty(); ++i) {
                    Sleep(50);
                    text = BoxText(box);
                }
                box_ = box;
                return Ok({WindowText(box), text});
            }
            // Each look is a round of requests to the wineserver for every top-level window:
            // quick at first, then gently while a long procedure runs (under an emulated CPU
            // the looks would take a good part of it).
            Sleep(GetTickCount() - start < 2000 ? 30 : 250);
        } while (static_cast<int>(end - GetTickCount()) > 0);
        return Err("no message box");
    }

    Reply NoBox(int ms) {
        const Reply r = WaitBox(ms);
        if (!r.ok)
            return Ok();
        return {false, r.values};
    }

    Reply Answer(const Args& a) {
        if (!IsWindow(box_))
            return Err("no box to answer");
        const int id = !a.empty() && a[0] == "cancel" ? IDCANCEL : IDOK;
        PostMessageA(box_, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
                     reinterpret_cast<LPARAM>(GetDlgItem(box_, id)));
        for (int i = 0; i < 200 && IsWindow(box_); ++i) Sleep(25);
        if (IsWindow(box_))
            return Err("box still open");
        box_ = nullptr;
        return Ok();
    }

    Reply FileDialog(const std::string& path, int ms, bool confirm) {
        const DWORD end = GetTickCount() + ms;
        HWND dialog = nullptr;
        while (dialog == nullptr) {
            for (HWND w : TopLevel(pid_, "#32770")) {
                if (IsFileDialog(w))
                    dialog = w;
            }
            if (dialog == nullptr) {
                if (static_cast<int>(end - GetTickCount()) <= 0)
                    return Err("no file dialog");
                Sleep(50);
            }
        }
        Sleep(200);  // let the dialog finish filling its lists before the name is set
        if (confirm) {
            HWND name = FileNameBox(dialog);
            Send(name, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(path.c_str()));
        }
        const std::string title = WindowText(dialog);
        const int id = confirm ? IDOK : IDCANCEL;
        PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
                     reinterpret_cast<LPARAM>(GetDlgItem(dialog, id)));
        for (int i = 0; i < 200 && IsWindow(dialog); ++i) Sleep(25);
        if (IsWindow(dialog))
            return Err("file dialog still open");
        return Ok({title});
    }

    Reply Watch(HWND bar, int ms) {
        std::vector<std::string> seen;
        LRESULT last = -2;
        const DWORD end = GetTickCount() + ms;
        while (static_cast<int>(end - GetTickCount()) > 0 && CurrentBox() == nullptr) {
            const LRESULT pos = Send(bar, PBM_GETPOS, 0, 0);
            if (pos != last && pos >= 0) {
                seen.push_back(std::to_string(pos));
                last = pos;
            }
            Sleep(10);
        }
        return Ok(seen);
    }

    Reply Lines(HWND c, UINT count, UINT current, UINT length_message, UINT get) {
        const LRESULT n = Send(c, count, 0, 0);
        std::vector<std::string> out = {std::to_string(n), std::to_string(Send(c, current, 0, 0))};
        for (LRESULT i = 0; i < n; ++i) {
            // Item texts are asked for in their wide form: Wine's cross-process LB_GETTEXT and
            // CB_GETLBTEXT sent as ANSI messages hand the text over wide or narrow depending on
            // the Wine build, and may fill more than the reported length: room to spare.
            const LRESULT length = std::max<LRESULT>(0, SendWide(c, length_message, i, 0));
            std::vector<wchar_t> wide(static_cast<std::size_t>(length) * 2 + 64, L'\0');
            SendWide(c, get, i, reinterpret_cast<LPARAM>(wide.data()));
            wide.back() = L'\0';
            std::vector<char> narrow(wide.size() * 2, '\0');
            WideCharToMultiByte(CP_ACP, 0, wide.data(), -1, narrow.data(),
                                static_cast<int>(narrow.size()) - 1, nullptr, nullptr);
            out.push_back(narrow.data());
        }
        return Ok(out);
    }

    static Reply RegSet(const Args& a) {
        if (a.size() < 4)
            return Err("regset KEY NAME sz|bin VALUE");
        HKEY key = nullptr;
        if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, a[0].c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                            nullptr, &key, nullptr) != ERROR_SUCCESS)
            return Err("cannot create key");
        LONG rc;
        if (a[2] == "bin") {
            std::vector<BYTE> bytes;
            for (std::size_t i = 0; i + 1 < a[3].size(); i += 2)
                bytes.push_back(
                    static_cast<BYTE>(std::strtol(a[3].substr(i, 2).c_str(), nullptr, 16)));
            rc = RegSetValueExA(key, a[1].c_str(), 0, REG_BINARY, bytes.data(),
                                static_cast<DWORD>(bytes.size()));
        } else {
            rc = RegSetValueExA(key, a[1].c_str(), 0, REG_SZ,
                                reinterpret_cast<const BYTE*>(a[3].c_str()),
                                static_cast<DWORD>(a[3].size() + 1));
        }
        RegCloseKey(key);
        return rc == ERROR_SUCCESS ? Ok() : Err("cannot set value");
    }

    // Wine's own request to its mount manager (IOCTL_MOUNTMGR_DEFINE_UNIX_DRIVE, a Wine
    // extension): the record, then the NUL-terminated Unix paths its offsets point at.
    struct UnixDrive {
        ULONG size;
        ULONG type;
        ULONG fsType;
        DWORD serial;
        ULONGLONG unixDev;
        WCHAR letter;
        USHORT mountPointOffset;
        USHORT deviceOffset;
        USHORT labelOffset;
    };

    static Reply DefineDrive(const Args& a) {
        const bool define = a.size() == 4 && a[1] == "cdrom";
        if (!define && !(a.size() == 2 && a[1] == "none"))
            return Err("drive LETTER cdrom MOUNT DEVICE | drive LETTER none");
        std::vector<char> request(sizeof(UnixDrive));
        UnixDrive head{};
        head.type = define ? DRIVE_CDROM : DRIVE_NO_ROOT_DIR;
        head.letter = static_cast<WCHAR>(a[0].empty() ? 0 : a[0][0]);
        if (define) {
            head.mountPointOffset = static_cast<USHORT>(request.size());
            request.insert(request.end(), a[2].begin(), a[2].end());
            request.push_back('\0');
            head.deviceOffset = static_cast<USHORT>(request.size());
            request.insert(request.end(), a[3].begin(), a[3].end());
            request.push_back('\0');
        }
        // The offsets are 16-bit: paths that end beyond 64 KB cannot be named.
        if (request.size() > 0xFFFF)
            return Err("paths too long for the mount manager's record");
        head.size = static_cast<ULONG>(request.size());
        std::memcpy(request.data(), &head, sizeof head);
        HANDLE manager =
            CreateFileW(L"\\\\.\\MountPointManager", GENERIC_READ | GENERIC_WRITE,
                        FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
        if (manager == INVALID_HANDLE_VALUE)
            return Err("no mount manager: error " + std::to_string(GetLastError()));
        constexpr DWORD kDefineUnixDrive =
            CTL_CODE('m', 32, METHOD_BUFFERED, FILE_READ_ACCESS | FILE_WRITE_ACCESS);
        DWORD returned = 0;
        const BOOL done =
            DeviceIoControl(manager, kDefineUnixDrive, request.data(),
                            static_cast<DWORD>(request.size()), nullptr, 0, &returned, nullptr);
        const DWORD error = GetLastError();
        CloseHandle(manager);
        if (!done)
            return Err("mount manager refused: error " + std::to_string(error));
        return Ok({std::to_string(GetDriveTypeA((a[0].substr(0, 1) + ":\\").c_str()))});
    }

    static Reply RegGet(const Args& a) {
        if (a.size() < 2)
            return Err("regget KEY NAME");
        HKEY key = nullptr;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, a[0].c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
            return Err("missing");
        BYTE data[256];
        DWORD size = sizeof data;
        const LONG rc = RegQueryValueExA(key, a[1].c_str(), nullptr, nullptr, data, &size);
        RegCloseKey(key);
        if (rc != ERROR_SUCCESS)
            return Err("missing");
        std::string hex;
        char two[3];
        for (DWORD i = 0; i < size; ++i) {
            std::snprintf(two, sizeof two, "%02x", data[i]);
            hex += two;
        }
        return Ok({hex});
    }

    std::map<DWORD, HANDLE> processes_;
    HWND main_ = nullptr;
    DWORD pid_ = 0;
    HWND box_ = nullptr;
};

}  // namespace

int main() {
    Driver driver;
    // A line is read whole, however long: a piece of one must never run as a command of its own.
    std::string text;
    for (int c; (c = std::getchar()) != EOF || !text.empty();) {
        if (c != '\n' && c != EOF) {
            text += static_cast<char>(c);
            continue;
        }
        while (!text.empty() && text.back() == '\r') text.pop_back();
        if (text.empty())
            continue;
        const std::string line = std::move(text);
        text.clear();
        Args args;
        std::size_t from = 0;
        while (true) {
            const std::size_t tab = line.find('\t', from);
            args.push_back(Unescape(line.substr(from, tab - from)));
            if (tab == std::string::npos)
                break;
            from = tab + 1;
        }
        const std::string cmd = args.front();
        args.erase(args.begin());
        if (cmd == "quit")
            break;
        const Reply r = driver.Run(cmd, args);
        std::string out = r.ok ? "ok" : "err";
        for (const auto& v : r.values) {
            out += '\t';
            out += Escape(v);
        }
        out += '\n';
        std::fputs(out.c_str(), stdout);
        std::fflush(stdout);
    }
    return 0;
}
