#pragma once
// Firmware images with a chosen identity, KFS containers and Philips files made from them, and
// emulated drives: small fixtures for the matching, loading and start-up tests.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "app/drive_matching.h"
#include "container/kfs_decode.h"
#include "container/kfs_encode.h"
#include "emulator/emulator.h"

namespace kfs::test {

using Bytes = std::vector<std::uint8_t>;

struct Identity {
    std::string vendor = "KEMO";        // 8 characters, padded with blanks
    std::string product = "VRZ-3350A";  // 16 characters, padded with blanks
    std::string revision = "1.00";
    std::string hardwareId = "K1";
    std::string dateCode = "061122";

    std::string Model() const {
        std::string v = vendor, p = product;
        v.resize(8, ' ');
        p.resize(16, ' ');
        return v + p;
    }
};

// An image of `size` bytes of a counting pattern with one INQUIRY block at 0x200.
inline Bytes MakeImage(const Identity& id, std::size_t size = 0x1000, std::uint8_t seed = 0) {
    Bytes image(size);
    for (std::size_t i = 0; i < size; ++i) image[i] = static_cast<std::uint8_t>((seed + i) % 251);
    const std::size_t p = 0x200;
    std::memset(&image[p], 0, 48);
    image[p] = 0x05;
    image[p + 1] = 0x80;
    auto put = [&](std::size_t at, const std::string& text) {
        std::memcpy(&image[p + at], text.data(), text.size());
    };
    put(8, id.Model());
    put(32, id.revision);
    put(38, id.hardwareId);
    put(40, id.dateCode);
    return image;
}

// A KFS3 container of the image (flash type 1, check sum computed by the encoder).
inline Bytes MakeKfs(const Bytes& image, std::uint8_t atapiFlashType = 1) {
    KfsEncodeOptions options;
    options.form = KfsForm::kKfs3;
    options.atapiFlashType = atapiFlashType;
    return EncodeKfs(image, options);
}

// The Philips form (length prefix first) of the image.
inline Bytes MakePhilipsForm(const Bytes& image) {
    KfsEncodeOptions options;
    options.form = KfsForm::kPhilips;
    return EncodeKfs(image, options);
}

// A slot holding the decoded container, as start-up leaves it.
inline EmbeddedContainer MakeSlot(const Bytes& image) {
    const Bytes container = MakeKfs(image);
    EmbeddedContainer slot;
    slot.Image.assign(GetImageLength(container), 0);
    LoadKFS(container, slot.Parameter, slot.Image);
    return slot;
}

// The firmware state after a container file has been loaded in the flash utility role.
inline FirmwareState LoadedState(const Bytes& image) {
    const Bytes container = MakeKfs(image);
    FirmwareState state;
    state.CurrentImage.assign(GetImageLength(container), 0);
    LoadKFS(container, state.CurrentContainer, state.CurrentImage);
    return state;
}

// One drive of an emulator description; `extra` is appended inside the object.
inline std::string DriveJson(const Identity& id, const std::string& extra = "") {
    return R"({"vendor":")" + id.vendor + R"(","product":")" + id.product + R"(","revision":")" +
           id.revision + R"(","hardware_id":")" + id.hardwareId + R"(","date_code":")" +
           id.dateCode + R"(","flash_size":65536)" + extra + "}";
}

inline emu::DriveSet MakeDrives(const std::vector<std::string>& drives) {
    std::string json = R"({"drives":[)";
    for (std::size_t i = 0; i < drives.size(); ++i) json += (i ? "," : "") + drives[i];
    return emu::DriveSet::FromJson(json + "]}");
}

}  // namespace kfs::test
