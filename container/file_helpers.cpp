#include "container/file_helpers.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <system_error>

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

}  // namespace

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
