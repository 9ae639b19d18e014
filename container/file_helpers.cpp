#include "container/file_helpers.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <system_error>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace kfs {
namespace {

// A file without any write permission counts as read-only: it is neither deleted nor replaced.
// The permission bits are checked explicitly because a privileged user on POSIX could otherwise
// delete or overwrite the file regardless; on Windows they reflect the read-only attribute.
bool IsReadOnlyFile(const std::filesystem::path& path) {
    std::error_code error;
    const std::filesystem::file_status status = std::filesystem::status(path, error);
    if (error || !std::filesystem::is_regular_file(status))
        return false;
    using std::filesystem::perms;
    constexpr perms kWrite = perms::owner_write | perms::group_write | perms::others_write;
    return (status.permissions() & kWrite) == perms::none;
}

// fopen succeeds on a directory on POSIX, where seeking to its end then yields a bogus length
// and reads fail; on Windows it fails. A directory is no file to read on either.
std::FILE* OpenForReading(const std::string& fileName) {
    std::error_code error;
    if (std::filesystem::is_directory(std::filesystem::path(fileName), error))
        return nullptr;
    return std::fopen(fileName.c_str(), "rb");
}

std::string SizeLimitText(std::uint64_t limit) {
    return "larger than " + std::to_string(limit) + " bytes";
}

#ifndef _WIN32

std::string ErrnoText(int error) {
    return std::strerror(error);
}

bool WriteAll(int fd, const std::uint8_t* bytes, std::size_t length) {
    while (length > 0) {
        const ssize_t n = ::write(fd, bytes, length);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (n == 0)
                errno = EIO;
            return false;
        }
        bytes += n;
        length -= static_cast<std::size_t>(n);
    }
    return true;
}

// Reads to the end, at most `limit` + 1 bytes (one more tells that the file is larger).
bool ReadAll(int fd, std::vector<std::uint8_t>& out, std::uint64_t limit) {
    std::uint8_t chunk[1 << 16];
    for (;;) {
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return false;
        if (n == 0)
            return true;
        out.insert(out.end(), chunk, chunk + n);
        if (out.size() > limit)
            return true;
    }
}

std::string FolderOf(const std::string& fileName) {
    const std::filesystem::path folder = std::filesystem::path(fileName).parent_path();
    return folder.empty() ? std::string(".") : folder.string();
}

// Hands the finished temporary file the final name unless that name exists in any form.
int LinkWithoutReplacing(const std::string& from, const std::string& to) {
#ifdef RENAME_NOREPLACE
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0)
        return 0;
    if (errno != EINVAL && errno != ENOSYS)
        return errno;
#endif
    // link() never replaces either, and where the file system cannot rename so, it still can.
    if (::link(from.c_str(), to.c_str()) != 0)
        return errno;
    ::unlink(from.c_str());
    return 0;
}

#endif

}  // namespace

#ifdef _WIN32

NewFileOutcome WriteNewFile(const std::string& fileName, const std::vector<std::uint8_t>& bytes) {
    NewFileOutcome outcome;
    const auto failed = [&](const char* what) {
        outcome.reason = std::string(what) + " (Windows error " +
                         std::to_string(static_cast<unsigned long>(GetLastError())) + ")";
        return outcome;
    };
    const std::string temp = fileName + ".part";
    HANDLE file = CreateFileA(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return failed("cannot create the file");
    DWORD written = 0;
    const bool ok =
        WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
        written == bytes.size() && FlushFileBuffers(file);
    CloseHandle(file);
    const auto readBack = ReadWholeFile(temp);
    if (!ok || !readBack || *readBack != bytes) {
        NewFileOutcome f = failed("the file was not written whole");
        DeleteFileA(temp.c_str());
        return f;
    }
    if (!MoveFileExA(temp.c_str(), fileName.c_str(), MOVEFILE_WRITE_THROUGH)) {
        const DWORD error = GetLastError();
        DeleteFileA(temp.c_str());
        if (error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS) {
            outcome.exists = true;
            outcome.reason = "the file exists";
            return outcome;
        }
        SetLastError(error);
        return failed("cannot name the file");
    }
    outcome.written = true;
    return outcome;
}

InputFile ReadRegularFile(const std::string& fileName, std::uint64_t sizeLimit) {
    if (const auto problem = CheckRegularFile(fileName, sizeLimit))
        return {std::nullopt, *problem};
    auto bytes = ReadWholeFile(fileName);
    if (!bytes)
        return {std::nullopt, "cannot be read"};
    if (bytes->size() > sizeLimit)
        return {std::nullopt, SizeLimitText(sizeLimit)};
    return {std::move(bytes), ""};
}

std::optional<std::string> CheckRegularFile(const std::string& fileName, std::uint64_t sizeLimit) {
    std::error_code error;
    const auto status = std::filesystem::status(fileName, error);
    if (error)
        return error.message();
    if (!std::filesystem::is_regular_file(status))
        return std::string("not a regular file");
    if (std::filesystem::file_size(fileName, error) > sizeLimit)
        return SizeLimitText(sizeLimit);
    return std::nullopt;
}

bool SameFile(const std::string& a, const std::string& b) {
    std::error_code error;
    return std::filesystem::equivalent(a, b, error);
}

#else

NewFileOutcome WriteNewFile(const std::string& fileName, const std::vector<std::uint8_t>& bytes) {
    NewFileOutcome outcome;
    const std::string base = std::filesystem::path(fileName).filename().string();
    const std::string folder = FolderOf(fileName);
    // A name the final one is not; O_EXCL with O_CREAT neither opens an existing file nor
    // follows a link planted under the name.
    std::string temp;
    int fd = -1;
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        temp = folder + "/." + base + "." + std::to_string(::getpid()) + "-" +
               std::to_string(attempt) + ".part";
        fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST)
            break;
    }
    if (fd < 0) {
        outcome.reason = ErrnoText(errno);
        return outcome;
    }
    int error = 0;
    if (!WriteAll(fd, bytes.data(), bytes.size()) || ::fsync(fd) != 0)
        error = errno;
    if (::close(fd) != 0 && error == 0)
        error = errno;
    if (error == 0) {
        // Read back what the file system holds now, through the name that is about to be used.
        std::vector<std::uint8_t> back;
        const int in = ::open(temp.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
        if (in < 0 || !ReadAll(in, back, bytes.size()))
            error = errno ? errno : EIO;
        else if (back != bytes)
            error = EIO;
        if (in >= 0)
            ::close(in);
    }
    if (error == 0)
        error = LinkWithoutReplacing(temp, fileName);
    if (error != 0) {
        ::unlink(temp.c_str());
        outcome.exists = error == EEXIST;
        outcome.reason = ErrnoText(error);
        return outcome;
    }
    // The new name reaches the disk with its folder.
    const int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
    outcome.written = true;
    return outcome;
}

namespace {

// Opened without blocking (a FIFO without a writer would wait for ever), then examined.
int OpenRegular(const std::string& fileName, std::uint64_t sizeLimit, std::string& reason) {
    const int fd = ::open(fileName.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        reason = ErrnoText(errno);
        return -1;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        reason = ErrnoText(errno);
    } else if (!S_ISREG(st.st_mode)) {
        reason = S_ISDIR(st.st_mode)                          ? "a folder, not a regular file"
                 : S_ISFIFO(st.st_mode)                       ? "a FIFO, not a regular file"
                 : S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode) ? "a device, not a regular file"
                                                              : "not a regular file";
    } else if (static_cast<std::uint64_t>(st.st_size) > sizeLimit) {
        reason = SizeLimitText(sizeLimit);
    } else {
        return fd;
    }
    ::close(fd);
    return -1;
}

}  // namespace

InputFile ReadRegularFile(const std::string& fileName, std::uint64_t sizeLimit) {
    std::string reason;
    const int fd = OpenRegular(fileName, sizeLimit, reason);
    if (fd < 0)
        return {std::nullopt, reason};
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    std::vector<std::uint8_t> bytes;
    const bool ok = ReadAll(fd, bytes, sizeLimit);
    const int error = errno;
    ::close(fd);
    if (!ok)
        return {std::nullopt, ErrnoText(error)};
    // A file that grew while it was read is held to the same limit.
    if (bytes.size() > sizeLimit)
        return {std::nullopt, SizeLimitText(sizeLimit)};
    return {std::move(bytes), ""};
}

std::optional<std::string> CheckRegularFile(const std::string& fileName, std::uint64_t sizeLimit) {
    std::string reason;
    const int fd = OpenRegular(fileName, sizeLimit, reason);
    if (fd < 0)
        return reason;
    ::close(fd);
    return std::nullopt;
}

bool SameFile(const std::string& a, const std::string& b) {
    struct stat sa {};
    struct stat sb {};
    return ::stat(a.c_str(), &sa) == 0 && ::stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
           sa.st_ino == sb.st_ino;
}

#endif

std::uint32_t GetFileLength(const std::string& fileName) {
    std::FILE* file = OpenForReading(fileName);
    if (file == nullptr)
        return 0;
    long length = 0;
    if (std::fseek(file, 0, SEEK_END) == 0)
        length = std::ftell(file);
    std::fclose(file);
    return length > 0 ? static_cast<std::uint32_t>(length) : 0;
}

bool ReadFileBinary(const std::string& fileName, std::uint32_t length, std::uint8_t* buffer) {
    std::FILE* file = OpenForReading(fileName);
    if (file == nullptr)
        return false;
    if (length > 0) {
        // A short read is accepted: the rest of the buffer keeps its old content.
        (void)std::fread(buffer, 1, length, file);
    }
    std::fclose(file);
    return true;
}

bool WriteFileBinary(const std::string& fileName, const std::uint8_t* bytes, std::uint32_t length) {
    const std::filesystem::path path(fileName);
    // remove() would take an empty directory away on POSIX; a directory is never replaced.
    std::error_code error;
    if (IsReadOnlyFile(path) || std::filesystem::is_directory(path, error))
        return false;
    std::remove(fileName.c_str());
    std::FILE* file = std::fopen(fileName.c_str(), "wb");
    if (file == nullptr)
        return false;
    bool ok = length == 0 || std::fwrite(bytes, 1, length, file) == length;
    if (std::fclose(file) != 0)
        ok = false;
    return ok;
}

bool WriteLines(const std::string& fileName, const std::vector<std::string>& lines) {
    std::string text;
    std::size_t total = 0;
    for (const std::string& line : lines) total += line.size() + 2;
    text.reserve(total);
    for (const std::string& line : lines) text.append(line).append("\r\n");
    return WriteFileBinary(fileName, reinterpret_cast<const std::uint8_t*>(text.data()),
                           static_cast<std::uint32_t>(text.size()));
}

std::optional<std::vector<std::uint8_t>> ReadWholeFile(const std::string& fileName) {
    std::ifstream in(fileName, std::ios::binary);
    if (!in)
        return std::nullopt;
    std::vector<std::uint8_t> bytes;
    char chunk[1 << 16];
    while (in.read(chunk, sizeof chunk) || in.gcount() > 0) {
        bytes.insert(bytes.end(), chunk, chunk + in.gcount());
    }
    if (in.bad())
        return std::nullopt;
    return bytes;
}

bool WriteWholeFile(const std::string& fileName, const std::vector<std::uint8_t>& bytes) {
    std::ofstream out(fileName, std::ios::binary | std::ios::trunc);
    if (!out)
        return false;
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    out.close();
    return static_cast<bool>(out);
}

}  // namespace kfs
