#include "container/temporary_file.h"

#include <cstdlib>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace kfs {

#ifdef _WIN32

std::string TemporaryFolder() {
    char buffer[MAX_PATH + 1] = {};
    const DWORD length = GetTempPathA(sizeof buffer, buffer);
    if (length == 0 || length > MAX_PATH)
        return ".\\";
    return std::string(buffer, length);
}

std::unique_ptr<TemporaryFile> TemporaryFile::Create() {
    const std::string folder = TemporaryFolder();
    // CREATE_NEW fails on any name that exists, so a name is taken only by the one who made it;
    // a taken name just moves on to the next candidate.
    const DWORD seed = GetCurrentProcessId() * 0x10001u ^ GetTickCount();
    for (DWORD attempt = 0; attempt < 256; ++attempt) {
        char name[16];
        std::snprintf(name, sizeof name, "kfs%05lX.tmp",
                      static_cast<unsigned long>((seed + attempt * 0x9E37u) & 0xFFFFFu));
        const std::string path = folder + name;
        HANDLE handle = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                    CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (handle == INVALID_HANDLE_VALUE) {
            const DWORD error = GetLastError();
            if (error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS)
                continue;
            return nullptr;
        }
        const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_RDWR | _O_BINARY);
        if (fd == -1) {
            CloseHandle(handle);
            DeleteFileA(path.c_str());
            return nullptr;
        }
        std::FILE* stream = _fdopen(fd, "w+b");
        if (!stream) {
            _close(fd);
            DeleteFileA(path.c_str());
            return nullptr;
        }
        return std::unique_ptr<TemporaryFile>(new TemporaryFile(stream, path));
    }
    return nullptr;
}

#else

std::string TemporaryFolder() {
    const char* folder = std::getenv("TMPDIR");
    std::string path = folder && *folder ? folder : "/tmp";
    if (path.back() != '/')
        path += '/';
    return path;
}

std::unique_ptr<TemporaryFile> TemporaryFile::Create() {
    std::string path = TemporaryFolder() + "kfsflash-XXXXXX";
    // mkstemp creates the file exclusively, readable and writable by its owner only.
    const int fd = ::mkstemp(path.data());
    if (fd == -1)
        return nullptr;
    // The name goes at once: the open file lives on without it, and nothing is left behind
    // whatever ends the process (Ctrl-C in the middle of an extraction included).
    ::unlink(path.c_str());
    std::FILE* stream = ::fdopen(fd, "w+b");
    if (!stream) {
        ::close(fd);
        return nullptr;
    }
    return std::unique_ptr<TemporaryFile>(new TemporaryFile(stream, path));
}

#endif

TemporaryFile::~TemporaryFile() {
    std::fclose(stream_);
#ifdef _WIN32
    std::remove(path_.c_str());
#endif
}

}  // namespace kfs
