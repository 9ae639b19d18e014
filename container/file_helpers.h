#pragma once
// Whole-file helpers. Files are opened in binary mode: no line-end translation either way.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kfs {

// Length of the file in bytes; 0 when it cannot be opened for reading (and for an empty file).
// A directory is never opened for reading, here or in ReadFileBinary.
std::uint32_t GetFileLength(const std::string& fileName);

// Reads the first `length` bytes of the file into buffer. A shorter file is not an error: the
// bytes past its end stay as they were, so callers zero the buffer first. False only when the
// file cannot be opened.
bool ReadFileBinary(const std::string& fileName, std::uint32_t length, std::uint8_t* buffer);

// Replaces the file's whole content with the bytes: an existing file is deleted first. False
// when an existing file is read-only, when the name is a directory, when the file cannot be
// created, or when the write or the close fails.
bool WriteFileBinary(const std::string& fileName, const std::uint8_t* bytes, std::uint32_t length);

// Writes the lines, each followed by CR LF (the last one too), with WriteFileBinary.
// The whole content of a file, read to its end in chunks (a directory, which some systems open,
// fails on its first read instead of reporting a huge size); nothing when it cannot be read.
std::optional<std::vector<std::uint8_t>> ReadWholeFile(const std::string& fileName);

// Writes `bytes` as the file's whole new content; false when it cannot be written completely.
bool WriteWholeFile(const std::string& fileName, const std::vector<std::uint8_t>& bytes);

// A new file written whole, or why not. It never replaces or follows anything: the bytes go to a
// name of the program's own in the same folder (created exclusively, never through a link),
// reach the disk (fsync), are read back and compared, and only then take `fileName`, which must
// not exist (not even as a dangling link). Whatever fails, no file is left behind.
struct NewFileOutcome {
    bool written = false;
    bool exists = false;  // `fileName` was taken (nothing was written)
    std::string reason;   // why not, in the system's words ("No space left on device")
};
NewFileOutcome WriteNewFile(const std::string& fileName, const std::vector<std::uint8_t>& bytes);

// An input file opened without waiting (a FIFO cannot hang the program) and read whole when it
// is a regular file of at most `sizeLimit` bytes; otherwise the reason, such as "not a regular
// file" or "larger than 1048576 bytes".
struct InputFile {
    std::optional<std::vector<std::uint8_t>> bytes;
    std::string reason;
};
InputFile ReadRegularFile(const std::string& fileName, std::uint64_t sizeLimit);
// Only the check: a regular file of at most `sizeLimit` bytes (the reason otherwise).
std::optional<std::string> CheckRegularFile(const std::string& fileName, std::uint64_t sizeLimit);

// True when both names reach the same file (device and inode); false when either is missing.
bool SameFile(const std::string& a, const std::string& b);

bool WriteLines(const std::string& fileName, const std::vector<std::string>& lines);

}  // namespace kfs
