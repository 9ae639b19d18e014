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

bool WriteLines(const std::string& fileName, const std::vector<std::string>& lines);

}  // namespace kfs
