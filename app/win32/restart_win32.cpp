// Restart of Windows on the user's consent: the process token gets "SeShutdownPrivilege" enabled
// (the NT family refuses ExitWindowsEx without it; Windows 95/98/ME has no tokens and the calls
// simply fail there), then the system is asked to reboot.
#include <windows.h>

#include "app/restart.h"

namespace kfs {

void Win32Restart::RequestRestart() {
    HANDLE token = nullptr;
    if (OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token)) {
        TOKEN_PRIVILEGES privileges{};
        if (LookupPrivilegeValueA(nullptr, "SeShutdownPrivilege", &privileges.Privileges[0].Luid)) {
            privileges.PrivilegeCount = 1;
            privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
            AdjustTokenPrivileges(token, FALSE, &privileges, 0, nullptr, nullptr);
        }
        CloseHandle(token);
    }
    ExitWindowsEx(EWX_REBOOT, 0);
}

}  // namespace kfs
