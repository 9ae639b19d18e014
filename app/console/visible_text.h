#pragma once
// Text that comes from a drive, a file or a file name, made safe to show: on a terminal an escape
// sequence or a line break in a drive's identity could rewrite what the user reads; in JSON a
// byte that is not UTF-8 is no text at all.
#include <string>

namespace kfs::console {

// Control characters (C0, DEL and the C1 range) and bytes that are not part of valid UTF-8
// written as \xNN; everything else, printable UTF-8 included, as it is.
std::string Visible(const std::string& text);

// Like Visible, but keeps line breaks: for the program's own multi-line texts around such a
// text.
std::string VisibleLines(const std::string& text);

// For JSON: each byte of a drive's identity as the character of that code (Latin-1), so that
// the bytes can be told back exactly.
std::string Latin1ToUtf8(const std::string& bytes);

// For JSON: a file or device name that is valid UTF-8 as it is, any other as Latin-1.
std::string NameForJson(const std::string& name);

}  // namespace kfs::console
