#pragma once
// The acceptance check of a loaded container against the settings CheckSum and AvailableModel.
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "container/kfs_parameter.h"

namespace kfs {

// nullopt: accepted. Otherwise the refusing message from ErrorMessages ("Check Sum Error!" or
// "This drive is unavailble!"); it refuses even when empty (silent mode).
// `availableModelNames` are the lines of [AvailableModelNames], compared in order with the
// image's model name over at most 24 characters, case-sensitive, trailing blanks included.
std::optional<std::string> CheckContainer(std::span<const std::uint8_t> image,
                                          const SKFSParameter& parameter, bool checkSum,
                                          bool availableModel,
                                          const std::vector<std::string>& availableModelNames);

}  // namespace kfs
