#pragma once
// The INI-like parameter text: lines cut at CR LF, sections opened by "[name]" lines, keys
// matched as line prefixes. The lookups keep the loose matching that shipped parameter texts
// rely on: a key is any line that begins with the key's characters, the character after the key
// is skipped whatever it is, and the search runs on past the next section header to the end of
// the text.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kfs {

using Lines = std::vector<std::string>;

// Cuts the text at every CR LF pair (a lone CR or LF stays inside its line). The rest after the
// last pair, if not empty, is the last line; empty lines count. Each line ends at its first zero
// byte, if it has one.
Lines SplitLines(const char* text, std::size_t length);
inline Lines SplitLines(std::string_view text) {
    return SplitLines(text.data(), text.size());
}

// Decimal text-to-integer conversion of a value: leading white space, an optional sign, digits
// up to the first non-digit; no digits give 0. Values beyond 32 bits saturate.
std::int32_t ParseIniInt(std::string_view value);

// Key lookups. Each finds the first line that begins with "[" + section + "]", then the first
// later line that begins with key; the value is that line after the key and one more character.
// A missing header or key yields the default.
bool GetIniBool(const Lines& lines, std::string_view section, std::string_view key,
                bool defaultValue);
std::int32_t GetIniInt(const Lines& lines, std::string_view section, std::string_view key,
                       std::int32_t defaultValue);
std::string GetIniString(const Lines& lines, std::string_view section, std::string_view key,
                         std::string_view defaultValue);

// The lines after the section's first header up to (not including) the next line that starts
// with "[", or to the end of the text. Empty lines are entries; no header gives an empty list.
Lines GetIniSection(const Lines& lines, std::string_view section);

}  // namespace kfs
