#pragma once
// Which controller family's flash procedure writes a container of each ATAPI flash type. The
// families carry the names the drive emulator gives them, so that one name means one procedure
// in the flash engines, the emulator, the tests and the tools. Header-only, so that the tools can
// tell a flash type that no procedure knows without linking the flash engines.
#include <cstdint>
#include <string_view>

namespace kfs {

enum class FlashFamily {
    A0,       // "a0": vendor A0 bank writes, trigger 04h, then a plain wait for readiness
    A0Poll,   // "a0-poll": the same banks, trigger 05h, progress followed through 2/04/08
    A0_32k,   // "a0-32k": every bank as two 32 KB halves, trigger 04h, progress through 2/04/xx
    Ali,      // "ali": 16 KB blocks with their own sums and the image's sum
    Mtk5,     // "mtk5": two-pass WRITE BUFFER downloads followed through the bank counter
    Mtk7,     // "mtk7": the two lowest banks with WRITE BUFFER, each saved on its own
    Philips,  // "philips": the Philips form's 16 KB blocks; chosen by the form, not by a type
};

// The family's name as a drive description and the emulator spell it.
constexpr std::string_view FlashFamilyName(FlashFamily family) {
    switch (family) {
        case FlashFamily::A0:
            return "a0";
        case FlashFamily::A0Poll:
            return "a0-poll";
        case FlashFamily::A0_32k:
            return "a0-32k";
        case FlashFamily::Ali:
            return "ali";
        case FlashFamily::Mtk5:
            return "mtk5";
        case FlashFamily::Mtk7:
            return "mtk7";
        case FlashFamily::Philips:
            return "philips";
    }
    return "";
}

inline constexpr FlashFamily kAllFlashFamilies[] = {
    FlashFamily::A0,   FlashFamily::A0Poll, FlashFamily::A0_32k,  FlashFamily::Ali,
    FlashFamily::Mtk5, FlashFamily::Mtk7,   FlashFamily::Philips,
};

struct FlashTypeEntry {
    std::uint8_t atapiFlashType;
    FlashFamily family;
};

inline constexpr FlashTypeEntry kFlashTypeTable[] = {
    {1, FlashFamily::A0},     {2, FlashFamily::Ali},  {3, FlashFamily::A0},
    {4, FlashFamily::A0Poll}, {5, FlashFamily::A0},   {6, FlashFamily::Mtk5},
    {7, FlashFamily::A0_32k}, {8, FlashFamily::Mtk7},
};

// True for a type a procedure was written for. Start refuses type 0; any other value not in the
// table would run the mtk7 procedure, written for type 8 only.
constexpr bool IsKnownAtapiFlashType(std::uint8_t atapiFlashType) {
    for (const FlashTypeEntry& entry : kFlashTypeTable)
        if (entry.atapiFlashType == atapiFlashType)
            return true;
    return false;
}

// Which family's procedure writes a container: the Philips form first, then AtapiFlashType.
constexpr FlashFamily ChooseFlashFamily(bool philipsImage, std::uint8_t atapiFlashType) {
    if (philipsImage)
        return FlashFamily::Philips;
    for (const FlashTypeEntry& entry : kFlashTypeTable)
        if (entry.atapiFlashType == atapiFlashType)
            return entry.family;
    return FlashFamily::Mtk7;
}

}  // namespace kfs
