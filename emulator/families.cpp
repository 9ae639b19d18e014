// The flash protocol of each controller family. A family is one source file that defines its
// FlashProtocol and one line in the table below.
#include "emulator/emulator.h"

namespace kfs::emu {

std::unique_ptr<FlashProtocol> MakeMtk5Protocol();     // family_mtk5.cpp
std::unique_ptr<FlashProtocol> MakeA0Protocol();       // family_a0.cpp
std::unique_ptr<FlashProtocol> MakeA0PollProtocol();   // family_a0.cpp
std::unique_ptr<FlashProtocol> MakeA0_32kProtocol();   // family_a0.cpp
std::unique_ptr<FlashProtocol> MakeAliProtocol();      // family_ali.cpp
std::unique_ptr<FlashProtocol> MakeMtk7Protocol();     // family_mtk7.cpp
std::unique_ptr<FlashProtocol> MakePhilipsProtocol();  // family_philips.cpp

namespace {

// Stands in for families whose programming is not emulated: the flash commands (WRITE BUFFER,
// the vendor bank write and trigger, the block command of the Philips form) are rejected as a
// drive without that firmware loader would reject them.
class NoFlashProtocol : public FlashProtocol {
  public:
    std::optional<Outcome> Handle(Drive&, const Command& command, std::uint64_t) override {
        if (command.opcode() == 0x3B || command.opcode() == 0xFA ||
            (command.IsVendor(0x38) && command.cdb[5] == 0xA0))
            return Outcome::Check(0x05, 0x20, 0x00);  // invalid command operation code
        return std::nullopt;
    }
};

using Factory = std::unique_ptr<FlashProtocol> (*)();

std::unique_ptr<FlashProtocol> MakeNoFlash() {
    return std::make_unique<NoFlashProtocol>();
}

struct Entry {
    const char* family;
    Factory make;
};

// One line per family.
// clang-format off
const Entry kFamilies[] = {
    {"a0", MakeA0Protocol},
    {"a0-poll", MakeA0PollProtocol},
    {"a0-32k", MakeA0_32kProtocol},
    {"ali", MakeAliProtocol},
    {"mtk5", MakeMtk5Protocol},
    {"mtk7", MakeMtk7Protocol},
    {"philips", MakePhilipsProtocol},
};
// clang-format on

}  // namespace

const std::vector<std::string>& KnownFamilies() {
    static const std::vector<std::string> names = [] {
        std::vector<std::string> list;
        for (const Entry& e : kFamilies) list.push_back(e.family);
        return list;
    }();
    return names;
}

std::unique_ptr<FlashProtocol> MakeFlashProtocol(const std::string& family) {
    for (const Entry& e : kFamilies)
        if (family == e.family)
            return e.make();
    return MakeNoFlash();
}

}  // namespace kfs::emu
