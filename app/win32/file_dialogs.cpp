#include "app/win32/file_dialogs.h"

#include <commdlg.h>

#include <array>

namespace kfs::win32 {

std::string DialogFilter(const std::string& filter) {
    std::string result = filter;
    for (char& c : result)
        if (c == '|')
            c = '\0';
    result.push_back('\0');
    result.push_back('\0');
    return result;
}

namespace {

using FileDialogFn = BOOL(WINAPI*)(OPENFILENAMEA*);

// The dialog library is loaded when a dialog is first run, not at start-up: it brings the shell
// libraries with it, which would otherwise be loaded before the window shows. It stays loaded.
FileDialogFn DialogFunction(bool save) {
    static HMODULE library = LoadLibraryA("comdlg32.dll");
    if (library == nullptr)
        return nullptr;
    const FARPROC address = GetProcAddress(library, save ? "GetSaveFileNameA" : "GetOpenFileNameA");
    return reinterpret_cast<FileDialogFn>(reinterpret_cast<void (*)()>(address));
}

std::optional<std::string> Run(HWND owner, const char* filter, bool save) {
    const std::string filters = DialogFilter(filter);
    std::array<char, MAX_PATH * 2> path{};
    OPENFILENAMEA ofn{};
    ofn.lStructSize = sizeof ofn;
    ofn.hwndOwner = owner;
    ofn.lpstrFilter = filters.c_str();
    ofn.nFilterIndex = 1;
    ofn.lpstrFile = path.data();
    ofn.nMaxFile = static_cast<DWORD>(path.size());
    ofn.Flags = OFN_HIDEREADONLY | OFN_EXPLORER | OFN_ENABLESIZING | OFN_NOCHANGEDIR;
    const FileDialogFn dialog = DialogFunction(save);
    if (dialog == nullptr || !dialog(&ofn))
        return std::nullopt;
    return std::string(path.data());
}

}  // namespace

std::optional<std::string> RunOpenDialog1(HWND owner) {
    return Run(owner, kOpenDialogFilter, false);
}

std::optional<std::string> RunSaveDialog1(HWND owner) {
    return Run(owner, kSaveDialogFilter, true);
}

}  // namespace kfs::win32
