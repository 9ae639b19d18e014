#pragma once
// The settings of one shipped copy of the program, read once at start-up from the parameter text.
// Every member starts at the value a text without that key yields, so a default-constructed
// SParameter holds the fallbacks of the key table (line lists empty).
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "container/ini.h"

namespace kfs {

// [Argument default value]: start states of the menu toggles, named after the command-line
// switches.
struct SArgumentDefaultValue {
    bool s = false;  // start silent
    bool k = false;  // Overwrite Reserved Blocks checked
    bool u = false;  // Keep Unused Blocks checked
    bool i = false;
    std::int32_t n = -1;  // default drive index
    std::int32_t a = 1;
    bool y = false;  // Ignore Asking Questions checked
    bool Disable98AutoInsertNotification = false;
    bool d = true;
    bool g = false;
    bool r = false;

    bool operator==(const SArgumentDefaultValue&) const = default;
};

// [Argument enabled]: visibility of the menu commands.
struct SArgumentEnabled {
    bool s = true;
    bool c = true;
    bool b = true;
    bool h = true;
    bool v = true;
    bool e = true;
    bool k = true;
    bool u = true;
    bool i = true;
    bool n = true;
    bool a = true;
    bool p = true;
    bool m = true;
    bool o = true;
    bool f = true;
    bool t = true;
    bool y = true;
    bool Disable98AutoInsertNotification = true;
    bool d = true;
    bool g = false;
    bool r = true;

    bool operator==(const SArgumentEnabled&) const = default;
};

struct SParameter {
    // [Main]
    bool Updater = false;  // true: updater role, containers from the embedded buffers
    bool ShowCaption = true;
    std::string ProgramName = "Kemo Flash KFS3 Utility";
    bool ShowVersion = true;
    bool ShowDate = true;

    SArgumentDefaultValue ArgumentDefault;
    SArgumentEnabled ArgumentEnabled;

    // [Other settings]
    bool CheckSum = true;
    bool HardwareID = true;
    bool ModelName = false;
    bool AvailableModel = false;
    bool Verify = true;
    bool NoDisc = true;
    bool ImmediateAtapi = false;
    bool WriteNewCode = true;
    bool ErasePadRandom = false;
    std::uint8_t ErasePadChar = 0;  // the low 8 bits of the integer in the text
    bool Timer = true;
    // Read the drive's flash into a file next to the program before an update writes it. Not in
    // the built-in or shipped texts: only a text that sets it turns it on.
    bool BackupBeforeFlash = false;

    // Line-list sections.
    std::vector<std::string> AvailableModelNames;  // 24-character vendor and product fields
    std::vector<std::string> Title;
    std::vector<std::string> FlashHelp;
    std::vector<std::string> UpdaterHelp;

    bool operator==(const SParameter&) const = default;
};

// Capacity of the parameter buffer's data area.
inline constexpr std::size_t kParameterTextCapacity = 0x100000;

// Fills every member of p from the parameter buffer's data area: if its first byte is not zero,
// the text is the data up to the first zero byte (or the whole area when it has none); otherwise
// the built-in default text is read. Never fails: missing sections and keys take their defaults.
void ReadParameters(SParameter& p, std::span<const std::uint8_t> parameterBuffer);

// Reads every key and line list from an already split text.
SParameter ParametersFromLines(const Lines& lines);

}  // namespace kfs
