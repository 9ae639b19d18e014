#pragma once
// OpenDialog1 and SaveDialog1: the common file dialogs with filters written the usual way
// ("description|pattern|description|pattern").
#include <windows.h>

#include <optional>
#include <string>

namespace kfs::win32 {

inline constexpr char kOpenDialogFilter[] = "KFS file(*.kfs)|*.kfs|All File (*.*)|*.*";
inline constexpr char kSaveDialogFilter[] = "INI file(*.ini)|*.ini|All File (*.*)|*.*";

// "a|b|c|d" as the dialogs want it: each part ended by a zero, the whole by another zero.
std::string DialogFilter(const std::string& filter);

// The picked file, or nothing when the user cancels. The working directory is left as it was,
// so that the temporary file of an archive load stays where the program was started.
std::optional<std::string> RunOpenDialog1(HWND owner);
// The chosen name as typed (no extension is added), or nothing when the user cancels. An
// existing file is replaced without a question.
std::optional<std::string> RunSaveDialog1(HWND owner);

}  // namespace kfs::win32
