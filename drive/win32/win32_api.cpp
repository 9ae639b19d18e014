#include "drive/win32/win32_api.h"

#include <cstdio>

namespace kfs {
namespace {

class SystemApi final : public Win32Api {
  public:
    BOOL GetVersionExA(OSVERSIONINFOEXA* info) override {
        return ::GetVersionExA(reinterpret_cast<OSVERSIONINFOA*>(info));
    }
    UINT GetSystemDirectoryA(LPSTR buffer, UINT size) override {
        return ::GetSystemDirectoryA(buffer, size);
    }
    HMODULE LoadLibraryA(LPCSTR path) override { return ::LoadLibraryA(path); }
    FARPROC GetProcAddress(HMODULE module, LPCSTR name) override {
        return ::GetProcAddress(module, name);
    }
    BOOL FreeLibrary(HMODULE module) override { return ::FreeLibrary(module); }
    UINT GetDriveTypeA(LPCSTR root) override { return ::GetDriveTypeA(root); }
    HANDLE CreateFileA(LPCSTR path, DWORD access, DWORD share, DWORD disposition,
                       DWORD flags) override {
        return ::CreateFileA(path, access, share, nullptr, disposition, flags, nullptr);
    }
    BOOL CloseHandle(HANDLE handle) override { return ::CloseHandle(handle); }
    BOOL DeviceIoControl(HANDLE device, DWORD code, void* in, DWORD inSize, void* out,
                         DWORD outSize, DWORD* returned) override {
        return ::DeviceIoControl(device, code, in, inSize, out, outSize, returned, nullptr);
    }
    DWORD GetLastError() override { return ::GetLastError(); }
    HANDLE CreateEventA(BOOL manualReset, BOOL initialState) override {
        return ::CreateEventA(nullptr, manualReset, initialState, nullptr);
    }
    DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) override {
        return ::WaitForSingleObject(handle, milliseconds);
    }
    DWORD GetTickCount() override { return ::GetTickCount(); }
    void DispatchOnePendingMessage() override {
        MSG msg;
        if (::PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
            ::TranslateMessage(&msg);
            ::DispatchMessageA(&msg);
        }
    }
    void WriteLine(const char* text) override {
        std::puts(text);
        std::fflush(stdout);
    }
};

}  // namespace

Win32Api& SystemWin32Api() {
    static SystemApi api;
    return api;
}

}  // namespace kfs
