#include "app/console/visible_text.h"

#include <cstdint>
#include <cstdio>

namespace kfs::console {

namespace {

// The length of the valid UTF-8 sequence at `at` (1 for ASCII), and its code point; 0 when the
// bytes there are no valid sequence (overlong forms and surrogates included).
std::size_t Utf8Sequence(const std::string& text, std::size_t at, std::uint32_t& code) {
    const auto byte = [&](std::size_t i) { return static_cast<std::uint8_t>(text[i]); };
    const std::uint8_t first = byte(at);
    if (first < 0x80) {
        code = first;
        return 1;
    }
    std::size_t length = 0;
    std::uint32_t min = 0;
    if ((first & 0xE0) == 0xC0) {
        length = 2, code = first & 0x1F, min = 0x80;
    } else if ((first & 0xF0) == 0xE0) {
        length = 3, code = first & 0x0F, min = 0x800;
    } else if ((first & 0xF8) == 0xF0) {
        length = 4, code = first & 0x07, min = 0x10000;
    } else {
        return 0;
    }
    if (at + length > text.size())
        return 0;
    for (std::size_t i = 1; i < length; ++i) {
        if ((byte(at + i) & 0xC0) != 0x80)
            return 0;
        code = code << 6 | (byte(at + i) & 0x3F);
    }
    if (code < min || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
        return 0;
    return length;
}

std::string Escaped(std::uint8_t byte) {
    char text[8];
    std::snprintf(text, sizeof text, "\\x%02x", byte);
    return text;
}

std::string Shown(const std::string& text, bool keepLineBreaks) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t at = 0; at < text.size();) {
        std::uint32_t code = 0;
        const std::size_t length = Utf8Sequence(text, at, code);
        const bool control = code < 0x20 || (code >= 0x7F && code < 0xA0);
        if (length == 0 || (control && !(keepLineBreaks && code == '\n'))) {
            out += Escaped(static_cast<std::uint8_t>(text[at]));
            ++at;
            continue;
        }
        out.append(text, at, length);
        at += length;
    }
    return out;
}

bool ValidUtf8(const std::string& text) {
    for (std::size_t at = 0; at < text.size();) {
        std::uint32_t code = 0;
        const std::size_t length = Utf8Sequence(text, at, code);
        if (length == 0)
            return false;
        at += length;
    }
    return true;
}

}  // namespace

std::string Visible(const std::string& text) {
    return Shown(text, false);
}

std::string VisibleLines(const std::string& text) {
    return Shown(text, true);
}

std::string Latin1ToUtf8(const std::string& bytes) {
    std::string out;
    out.reserve(bytes.size());
    for (const char c : bytes) {
        const auto byte = static_cast<std::uint8_t>(c);
        if (byte < 0x80) {
            out += c;
        } else {
            out += static_cast<char>(0xC0 | byte >> 6);
            out += static_cast<char>(0x80 | (byte & 0x3F));
        }
    }
    return out;
}

std::string NameForJson(const std::string& name) {
    return ValidUtf8(name) ? name : Latin1ToUtf8(name);
}

}  // namespace kfs::console
