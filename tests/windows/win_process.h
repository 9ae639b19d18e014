#pragma once
// Running a program from a Windows-side test and collecting what it prints.
#include <windows.h>

#include <string>

namespace kfs::testing {

struct ProcessResult {
    bool started = false;
    DWORD exit_code = 0;
    std::string output;  // standard output and standard error, CR LF turned into LF
};

// Windows path separators; Wine accepts either, CreateProcess prefers these.
inline std::string WinPath(std::string path) {
    for (char& c : path) {
        if (c == '/')
            c = '\\';
    }
    return path;
}

inline ProcessResult RunProcess(const std::string& command_line, DWORD timeout_ms = 60000) {
    ProcessResult result;
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE read_end = nullptr;
    HANDLE write_end = nullptr;
    if (!CreatePipe(&read_end, &write_end, &inherit, 0))
        return result;
    SetHandleInformation(read_end, HANDLE_FLAG_INHERIT, 0);

    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = write_end;
    startup.hStdError = write_end;
    PROCESS_INFORMATION process{};
    std::string command = command_line;
    result.started = CreateProcessA(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr,
                                    nullptr, &startup, &process) != 0;
    CloseHandle(write_end);
    if (!result.started) {
        CloseHandle(read_end);
        return result;
    }
    char chunk[4096];
    DWORD got = 0;
    while (ReadFile(read_end, chunk, sizeof chunk, &got, nullptr) && got > 0) {
        for (DWORD i = 0; i < got; ++i) {
            if (chunk[i] != '\r')
                result.output += chunk[i];
        }
    }
    CloseHandle(read_end);
    WaitForSingleObject(process.hProcess, timeout_ms);
    GetExitCodeProcess(process.hProcess, &result.exit_code);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return result;
}

}  // namespace kfs::testing
