#pragma once
// The reason Windows Vista and later show for a program that refuses to let the session end.
// The two functions are looked up in user32 when needed: Windows 95 to XP do not have them, and
// a program that imported them would not start there.
#include <windows.h>

namespace kfs::win32 {

// Registers `reason` for `window`; false where the system has no such registration.
bool CreateShutdownBlockReason(HWND window, const wchar_t* reason);
// Removes the registration; nothing happens where the system has none.
void DestroyShutdownBlockReason(HWND window);

}  // namespace kfs::win32
