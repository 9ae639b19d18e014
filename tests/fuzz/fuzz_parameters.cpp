// The parameter reader over arbitrary parameter-buffer content: it must never read past the
// buffer, and its pieces must agree with each other.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string>

#include "container/ini.h"
#include "container/parameters.h"

namespace {

void Require(bool condition) {
    if (!condition)
        std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > kfs::kParameterTextCapacity)
        return 0;
    const std::span<const std::uint8_t> buffer(data, size);
    const char* text = reinterpret_cast<const char*>(data);

    kfs::SParameter p;
    kfs::ReadParameters(p, buffer);

    // SplitLines over the raw bytes, zero bytes included.
    const kfs::Lines lines = kfs::SplitLines(text, size);
    std::size_t total = 0;
    for (const std::string& line : lines) {
        Require(line.find('\0') == std::string::npos);
        Require(line.find("\r\n") == std::string::npos);
        total += line.size();
    }
    Require(total + 2 * (lines.empty() ? 0 : lines.size() - 1) <= size);

    // Section and key taken from the text itself: its first two lines.
    if (lines.size() >= 2) {
        const std::string& section = lines[0];
        const std::string& key = lines[1];
        const std::int32_t a = kfs::GetIniInt(lines, section, key, 0);
        const std::int32_t b = kfs::GetIniInt(lines, section, key, 1);
        const bool found = a == b;
        if (found) {
            Require(kfs::GetIniBool(lines, section, key, false) == (a != 0));
            Require(kfs::GetIniBool(lines, section, key, true) == (a != 0));
            Require(kfs::ParseIniInt(kfs::GetIniString(lines, section, key, "")) == a);
        } else {
            Require(kfs::GetIniString(lines, section, key, "\x01missing") == "\x01missing");
        }
        for (const std::string& entry : kfs::GetIniSection(lines, section)) {
            Require(entry.empty() || entry[0] != '[');
        }
    }
    return 0;
}
