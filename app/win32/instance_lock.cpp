#include "app/win32/instance_lock.h"

#include "app/win32/application_window.h"

namespace kfs::win32 {

InstanceLock::~InstanceLock() {
    if (mutex_)
        CloseHandle(mutex_);
}

bool InstanceLock::Acquire(const std::string& title) {
    if (HANDLE other = OpenMutexA(SYNCHRONIZE, FALSE, title.c_str())) {
        CloseHandle(other);
        return false;
    }
    // Two copies started at the same moment can both miss the other's mutex above; creating it
    // tells them apart, since only the first creation is new.
    mutex_ = CreateMutexA(nullptr, FALSE, title.c_str());
    if (mutex_ && GetLastError() == ERROR_ALREADY_EXISTS) {
        CloseHandle(mutex_);
        mutex_ = nullptr;
        return false;
    }
    return true;
}

bool ActivateOtherInstance(HWND ownApplicationWindow, const std::string& title) {
    if (ownApplicationWindow)
        SetWindowTextA(ownApplicationWindow, "");
    HWND other = FindWindowA(kApplicationClass, title.c_str());
    if (!other)
        return false;
    if (IsIconic(other))
        ShowWindow(other, SW_RESTORE);
    else
        BringWindowToTop(other);
    SetForegroundWindow(other);
    return true;
}

}  // namespace kfs::win32
