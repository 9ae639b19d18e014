#pragma once
#include <cstdint>

#include "flash/flash_job.h"

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

// Which procedure writes a container: the Philips form first, then AtapiFlashType.
FlashProcedure ChooseFlashProcedure(bool philipsImage, std::uint8_t atapiFlashType);

// Runs the procedure that ChooseFlashProcedure assigns to the job's container. A Philips-form
// image gets its block count from the image length and the container's two trailer values.
FlashResult SelectFlashProcedure(FlashJob& job);

}  // namespace kfs
