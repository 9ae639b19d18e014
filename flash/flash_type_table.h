#pragma once
// Which flash procedure writes a container of each ATAPI flash type. Header-only, so that the
// tools can tell a flash type that no procedure knows without linking the flash engines.
#include <cstdint>

namespace kfs {

enum class FlashProcedure {
    Philips,  // FlashPhilipsForm
    Mtk,      // FlashMtkType: types 1, 3, 5
    Ali,      // FlashAliType: type 2
    Mtk3,     // FlashMtk3Type: type 4
    Mtk5,     // FlashMtk5Type: type 6
    Mtk6,     // FlashMtk6Type: type 7
    Mtk7,     // FlashMtk7Type: type 8 and every value not listed
};

struct FlashTypeEntry {
    std::uint8_t atapiFlashType;
    FlashProcedure procedure;
};

inline constexpr FlashTypeEntry kFlashTypeTable[] = {
    {1, FlashProcedure::Mtk},  {2, FlashProcedure::Ali},  {3, FlashProcedure::Mtk},
    {4, FlashProcedure::Mtk3}, {5, FlashProcedure::Mtk},  {6, FlashProcedure::Mtk5},
    {7, FlashProcedure::Mtk6}, {8, FlashProcedure::Mtk7},
};

// True for a type a procedure was written for. Start refuses type 0; any other value not in the
// table would run the last procedure, written for type 8 only.
constexpr bool IsKnownAtapiFlashType(std::uint8_t atapiFlashType) {
    for (const FlashTypeEntry& entry : kFlashTypeTable)
        if (entry.atapiFlashType == atapiFlashType)
            return true;
    return false;
}

// Which procedure writes a container: the Philips form first, then AtapiFlashType.
constexpr FlashProcedure ChooseFlashProcedure(bool philipsImage, std::uint8_t atapiFlashType) {
    if (philipsImage)
        return FlashProcedure::Philips;
    for (const FlashTypeEntry& entry : kFlashTypeTable)
        if (entry.atapiFlashType == atapiFlashType)
            return entry.procedure;
    return FlashProcedure::Mtk7;
}

}  // namespace kfs
