// Drive descriptions and command streams against the emulator: a description text must be read
// or refused, never crash; any CDB, length and direction must be answered within the buffer.
#include <cstdint>
#include <string_view>
#include <vector>

#include "emulator/emulator.h"

namespace {

const char* const kDrives = R"({"drives":[{"product":"VRZ-3372BL","hardware_id":"K1",
    "date_code":"061122","flash_size":131072,"keeps_checksum":true,"medium":true,
    "faults":[{"command":"5a:11","nth":3},{"short_reply":"12"}]},
    {"family":"mtk5","vendor_page":false,"flash_size":65536,"tray_open":true}]})";

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > 0 && data[0] == '{') {
        try {
            kfs::emu::DriveSet set(kfs::emu::ParseDescription(
                std::string_view(reinterpret_cast<const char*>(data), size)));
        } catch (const kfs::emu::DescriptionError&) {
        }
        return 0;
    }
    static kfs::emu::DriveSet set = kfs::emu::DriveSet::FromJson(kDrives);
    // Each command: drive byte, 12 CDB bytes, 16-bit length, direction byte, then a clock step.
    std::vector<std::uint8_t> buffer;
    for (std::size_t at = 0; at + 17 <= size; at += 17) {
        const std::uint8_t* c = data + at;
        std::uint16_t length = static_cast<std::uint16_t>(c[13] << 8 | c[14]);
        buffer.assign(length, 0);
        kfs::emu::Outcome o = set.Execute(c[0] % 3, c + 1, buffer.data(), length, c[15]);
        if (o.transferred > length)
            __builtin_trap();
        set.Advance(c[16] * 10u);
    }
    return 0;
}
