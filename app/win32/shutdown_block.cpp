#include "app/win32/shutdown_block.h"

namespace kfs::win32 {
namespace {

using CreateFn = BOOL(WINAPI*)(HWND, LPCWSTR);
using DestroyFn = BOOL(WINAPI*)(HWND);

// user32 is loaded in every window program, so its handle needs no reference of its own.
template <typename Fn>
Fn User32Function(const char* name) {
    const HMODULE user32 = GetModuleHandleA("user32.dll");
    if (user32 == nullptr)
        return nullptr;
    // GetProcAddress hands out a generic function pointer; these exports are WINAPI.
    return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(GetProcAddress(user32, name)));
}

}  // namespace

bool CreateShutdownBlockReason(HWND window, const wchar_t* reason) {
    const auto create = User32Function<CreateFn>("ShutdownBlockReasonCreate");
    return create != nullptr && create(window, reason) != FALSE;
}

void DestroyShutdownBlockReason(HWND window) {
    if (const auto destroy = User32Function<DestroyFn>("ShutdownBlockReasonDestroy"))
        destroy(window);
}

}  // namespace kfs::win32
