#pragma once
// One running copy per application title: a named mutex held until the process ends, and the
// hand-over to the copy that already runs (its hidden application window is found by class and
// title, brought up and made the foreground window).
#include <windows.h>

#include <string>

namespace kfs::win32 {

class InstanceLock {
  public:
    InstanceLock() = default;
    ~InstanceLock();
    InstanceLock(const InstanceLock&) = delete;
    InstanceLock& operator=(const InstanceLock&) = delete;

    // True when no other copy holds the lock named `title`; this process then holds it. False
    // when another copy runs.
    bool Acquire(const std::string& title);

  private:
    HANDLE mutex_ = nullptr;
};

// Blanks the text of this copy's own application window (so that the search cannot find it),
// looks for the top-level "TApplication" window titled `title`, restores it when it is minimised
// or raises it otherwise, and makes it the foreground window. False when none was found.
bool ActivateOtherInstance(HWND ownApplicationWindow, const std::string& title);

}  // namespace kfs::win32
