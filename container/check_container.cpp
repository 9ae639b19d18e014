#include "container/check_container.h"

#include <cstring>

#include "container/checksum.h"
#include "container/error_messages.h"
#include "container/identity.h"

namespace kfs {

std::optional<std::string> CheckContainer(std::span<const std::uint8_t> image,
                                          const SKFSParameter& parameter, bool checkSum,
                                          bool availableModel,
                                          const std::vector<std::string>& availableModelNames) {
    if (checkSum &&
        static_cast<std::uint16_t>(CalcCheckSum(image, parameter)) != parameter.HeaderCheckSum) {
        return ErrorMessages(kCheckSumError);
    }
    if (!availableModel)
        return std::nullopt;
    const std::string model = GetImageModelName(image);
    for (const std::string& name : availableModelNames) {
        // Both texts end at their terminator: a shorter entry matches only a name ending there.
        if (std::strncmp(model.c_str(), name.c_str(), 24) == 0)
            return std::nullopt;
    }
    return ErrorMessages(kDriveUnavailable);
}

}  // namespace kfs
