#pragma once
#include <cstdint>

#include "flash/flash_job.h"
#include "flash/flash_type_table.h"

namespace kfs {

// Runs the procedure of the family that ChooseFlashFamily assigns to the job's container. A
// Philips-form image gets its block count from the image length and the container's two trailer
// values.
FlashResult SelectFlashProcedure(FlashJob& job);

}  // namespace kfs
