#pragma once
// The Windows system calls that the transport makes, behind one small interface: the program
// uses SystemWin32Api(), the Windows-side tests put a fake in its place and look at the request
// blocks, open and close calls and waits that the transport produces.
#include <windows.h>

namespace kfs {

class Win32Api {
  public:
    virtual ~Win32Api() = default;

    virtual BOOL GetVersionExA(OSVERSIONINFOEXA* info) = 0;
    virtual UINT GetSystemDirectoryA(LPSTR buffer, UINT size) = 0;

    virtual HMODULE LoadLibraryA(LPCSTR path) = 0;
    virtual FARPROC GetProcAddress(HMODULE module, LPCSTR name) = 0;
    virtual BOOL FreeLibrary(HMODULE module) = 0;

    virtual UINT GetDriveTypeA(LPCSTR root) = 0;
    virtual HANDLE CreateFileA(LPCSTR path, DWORD access, DWORD share, DWORD disposition,
                               DWORD flags) = 0;
    virtual BOOL CloseHandle(HANDLE handle) = 0;
    virtual BOOL DeviceIoControl(HANDLE device, DWORD code, void* in, DWORD inSize, void* out,
                                 DWORD outSize, DWORD* returned) = 0;
    virtual DWORD GetLastError() = 0;

    // Unnamed event, no security attributes.
    virtual HANDLE CreateEventA(BOOL manualReset, BOOL initialState) = 0;
    virtual DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) = 0;
    virtual DWORD GetTickCount() = 0;

    // Takes one pending window message of the thread, if any, and dispatches it.
    virtual void DispatchOnePendingMessage() = 0;

    // One line of text on standard output.
    virtual void WriteLine(const char* text) = 0;
};

// The real system calls.
Win32Api& SystemWin32Api();

}  // namespace kfs
