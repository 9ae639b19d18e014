#include "app/main_view.h"

#include <array>

namespace kfs {

const char* MenuCommandText(MenuCommand command) {
    static constexpr std::array<const char*, kMenuCommandCount> kTexts = {
        "Silent",
        "Check KFS File",
        "Check KFS Buffer",
        "Help",
        "Version Information",
        "Erase Flash ROM",
        "Drive",
        "Overwrite Reserved Blocks",
        "Keep Unused Blocks",
        "Output Default Parameter File",
        "Output Parameter Buffer",
        "Output KFS Buffer",
        "Get Fix Data Check Sum",
        "Get Test Parameter File",
        "Ignore Asking Questions",
        "Disable 98 ME Auto Detect Drive",
    };
    int i = static_cast<int>(command);
    return i >= 0 && i < kMenuCommandCount ? kTexts[static_cast<std::size_t>(i)] : "";
}

}  // namespace kfs
