#pragma once
// Whole-file reading and writing (from the container library), number parsing for options, and the
// text conversion of the
// --json output.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "container/file_helpers.h"

namespace kfstool {

using kfs::ReadWholeFile;
using kfs::WriteWholeFile;

// Decimal, or hexadecimal with a 0x prefix; nullopt when not a number or above `max`.
std::optional<std::uint64_t> ParseNumber(const std::string& text, std::uint64_t max);

// Image and parameter texts are 8-bit characters; JSON strings are Unicode, so each byte becomes
// the code point of the same value (Latin-1), which a reader maps back without loss.
std::string Latin1ToUtf8(const std::string& text);

// Text from a file (identity fields, a zip member's name) as the terminal may show it: control
// characters and bytes past ASCII as \xNN, so that no escape sequence or line break of a file
// reaches the terminal.
std::string Shown(const std::string& text);

}  // namespace kfstool
