#include "container/error_messages.h"

namespace kfs {
namespace {

constexpr std::array<const char*, 12> kNormalTexts = {
    "Load KFS Fail!",
    "Check Sum Error!",
    "Hardware ID Error!",
    "Model Name Error!",
    "Drive firmware version is newer!",
    "This drive is unavailble!",
    "Atapi error!",
    "New firmware error!",
    "Atapi Flash Type is not supported!",
    "IDE Flash Type is not supported!",
    "Flash Verify Error!",
    "\n\nUnable to update firmware! The action might be corrupt by other ODD drives.\nPlease "
    "disconnect other ODD drives and then execute again.\n",
};

std::array<std::string, 12> MakeTable(bool silent) {
    std::array<std::string, 12> table;
    if (!silent) {
        for (size_t i = 0; i < table.size(); ++i) table[i] = kNormalTexts[i];
    }
    return table;
}

std::array<std::string, 12>& Table() {
    static std::array<std::string, 12> table = MakeTable(false);
    return table;
}

}  // namespace

void SetErrorMessages(bool silent) {
    Table() = MakeTable(silent);
}

const std::string& ErrorMessages(ErrorMessage entry) {
    return Table().at(entry - 1);
}

}  // namespace kfs
