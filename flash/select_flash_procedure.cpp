#include "flash/select_flash_procedure.h"

#include "flash/flash_a0.h"
#include "flash/flash_ali.h"
#include "flash/flash_mtk5.h"
#include "flash/flash_mtk7.h"
#include "flash/flash_philips.h"

namespace kfs {

FlashProcedure ChooseFlashProcedure(bool philipsImage, std::uint8_t atapiFlashType) {
    if (philipsImage)
        return FlashProcedure::Philips;
    switch (atapiFlashType) {
        case 1:
        case 3:
        case 5:
            return FlashProcedure::Mtk;
        case 2:
            return FlashProcedure::Ali;
        case 4:
            return FlashProcedure::Mtk3;
        case 6:
            return FlashProcedure::Mtk5;
        case 7:
            return FlashProcedure::Mtk6;
        default:
            return FlashProcedure::Mtk7;
    }
}

FlashResult SelectFlashProcedure(FlashJob& job) {
    switch (ChooseFlashProcedure(job.philipsImage, job.container.AtapiFlashType)) {
        case FlashProcedure::Philips:
            return FlashPhilipsForm(job, PhilipsBlockCount(job.image.size()),
                                    job.container.HeaderCheckSum, job.container.TrailerWord);
        case FlashProcedure::Mtk:
            return FlashMtkType(job);
        case FlashProcedure::Ali:
            return FlashAliType(job);
        case FlashProcedure::Mtk3:
            return FlashMtk3Type(job);
        case FlashProcedure::Mtk5:
            return FlashMtk5Type(job);
        case FlashProcedure::Mtk6:
            return FlashMtk6Type(job);
        case FlashProcedure::Mtk7:
            return FlashMtk7Type(job);
    }
    return FlashMtk7Type(job);
}

}  // namespace kfs
