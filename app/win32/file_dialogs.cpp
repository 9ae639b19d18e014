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
    const BOOL picked = save ? GetSaveFileNameA(&ofn) : GetOpenFileNameA(&ofn);
    if (!picked)
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
