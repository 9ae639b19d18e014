#include "flash/select_flash_procedure.h"

#include "flash/flash_a0.h"
#include "flash/flash_ali.h"
#include "flash/flash_mtk5.h"
#include "flash/flash_mtk7.h"
#include "flash/flash_philips.h"

namespace kfs {

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
