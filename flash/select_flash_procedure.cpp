#include "flash/select_flash_procedure.h"

#include "flash/family_a0.h"
#include "flash/family_ali.h"
#include "flash/family_mtk5.h"
#include "flash/family_mtk7.h"
#include "flash/family_philips.h"

namespace kfs {

FlashResult SelectFlashProcedure(FlashJob& job) {
    switch (ChooseFlashFamily(job.philipsImage, job.container.AtapiFlashType)) {
        case FlashFamily::A0:
            return FlashMtkType(job);
        case FlashFamily::A0Poll:
            return FlashMtk3Type(job);
        case FlashFamily::A0_32k:
            return FlashMtk6Type(job);
        case FlashFamily::Ali:
            return FlashAliType(job);
        case FlashFamily::Mtk5:
            return FlashMtk5Type(job);
        case FlashFamily::Mtk7:
            return FlashMtk7Type(job);
        case FlashFamily::Philips:
            return FlashPhilipsForm(job, PhilipsBlockCount(job.image.size()),
                                    job.container.HeaderCheckSum, job.container.TrailerWord);
    }
    return FlashMtk7Type(job);
}

}  // namespace kfs
