#include "container/ini.h"

#include <algorithm>
#include <limits>
#include <optional>

namespace kfs {
namespace {

bool StartsWith(const std::string& line, std::string_view prefix) {
    return line.size() >= prefix.size() && line.compare(0, prefix.size(), prefix) == 0;
}

// Index of the first line that opens the section, if any. Anything may follow the "]".
std::optional<std::size_t> FindSectionHeader(const Lines& lines, std::string_view section) {
    std::string header;
    header.reserve(section.size() + 2);
    header.append("[").append(section).append("]");
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (StartsWith(lines[i], header))
            return i;
    }
    return std::nullopt;
}

// The value of the first line after the section header that begins with the key: the rest of the
// line after the key and the one separator character (normally "=", but never checked).
std::optional<std::string> FindValue(const Lines& lines, std::string_view section,
                                     std::string_view key) {
    const std::optional<std::size_t> header = FindSectionHeader(lines, section);
    if (!header)
        return std::nullopt;
    for (std::size_t i = *header + 1; i < lines.size(); ++i) {
        const std::string& line = lines[i];
        if (!StartsWith(line, key))
            continue;
        const std::size_t start = key.size() + 1;
        return start < line.size() ? line.substr(start) : std::string();
    }
    return std::nullopt;
}

bool IsCSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

}  // namespace

Lines SplitLines(const char* text, std::size_t length) {
    Lines lines;
    auto take = [&](std::size_t begin, std::size_t end) {
        const char* first = text + begin;
        const char* last = std::find(first, text + end, '\0');
        lines.emplace_back(first, last);
    };
    std::size_t begin = 0;
    for (std::size_t i = 0; i + 1 < length; ++i) {
        if (text[i] == '\r' && text[i + 1] == '\n') {
            take(begin, i);
            begin = i + 2;
            ++i;
        }
    }
    if (begin < length)
        take(begin, length);
    return lines;
}

std::int32_t ParseIniInt(std::string_view value) {
    std::size_t i = 0;
    while (i < value.size() && IsCSpace(value[i])) ++i;
    bool negative = false;
    if (i < value.size() && (value[i] == '+' || value[i] == '-')) {
        negative = value[i] == '-';
        ++i;
    }
    // Accumulate the magnitude in 64 bits and stop growing once it is past the 32-bit range, so
    // that a long digit run saturates instead of overflowing.
    constexpr std::int64_t kLimit = std::int64_t{std::numeric_limits<std::int32_t>::max()} + 1;
    std::int64_t magnitude = 0;
    for (; i < value.size() && value[i] >= '0' && value[i] <= '9'; ++i) {
        magnitude = std::min(magnitude * 10 + (value[i] - '0'), kLimit);
    }
    const std::int64_t result = negative ? -magnitude : magnitude;
    return static_cast<std::int32_t>(
        std::clamp<std::int64_t>(result, std::numeric_limits<std::int32_t>::min(),
                                 std::numeric_limits<std::int32_t>::max()));
}

bool GetIniBool(const Lines& lines, std::string_view section, std::string_view key,
                bool defaultValue) {
    const std::optional<std::string> value = FindValue(lines, section, key);
    return value ? ParseIniInt(*value) != 0 : defaultValue;
}

std::int32_t GetIniInt(const Lines& lines, std::string_view section, std::string_view key,
                       std::int32_t defaultValue) {
    const std::optional<std::string> value = FindValue(lines, section, key);
    return value ? ParseIniInt(*value) : defaultValue;
}

std::string GetIniString(const Lines& lines, std::string_view section, std::string_view key,
                         std::string_view defaultValue) {
    std::optional<std::string> value = FindValue(lines, section, key);
    return value ? std::move(*value) : std::string(defaultValue);
}

Lines GetIniSection(const Lines& lines, std::string_view section) {
    Lines result;
    const std::optional<std::size_t> header = FindSectionHeader(lines, section);
    if (!header)
        return result;
    for (std::size_t i = *header + 1; i < lines.size(); ++i) {
        if (!lines[i].empty() && lines[i][0] == '[')
            break;
        result.push_back(lines[i]);
    }
    return result;
}

}  // namespace kfs
