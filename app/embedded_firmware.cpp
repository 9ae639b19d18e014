// Kept apart from the preparation so that only a binary that reads its own buffers carries them.
#include "app/prepare_firmware.h"
#include "container/embedded_buffers.h"

namespace kfs {

EmbeddedFirmware EmbeddedFirmware::FromProgram() {
    return {CvtBufferData(), {KfsBufferData(1), KfsBufferData(2), KfsBufferData(3)}};
}

}  // namespace kfs
