#pragma once
// Firmware images with a chosen identity, KFS containers and Philips files made from them, and
// emulated drives: small fixtures for the matching, loading and start-up tests.
#include <algorithm>
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

// The INQUIRY block of a firmware image at `at`, as a drive answers INQUIRY from it: peripheral
// type 5, removable, then the model (vendor and product), revision, hardware id and date code at
// their byte positions (a short text is followed by zeros); the rest of the 48 bytes zero.
inline void PutInquiry(Bytes& image, std::size_t at, const Identity& id) {
    std::memset(&image[at], 0, 48);
    const std::uint8_t head[8] = {0x05, 0x80, 0x00, 0x21, 0x1F, 0, 0, 0};
    std::memcpy(&image[at], head, 8);
    auto put = [&](std::size_t offset, const std::string& text, std::size_t width) {
        std::memcpy(&image[at + offset], text.data(), std::min(text.size(), width));
    };
    put(8, id.Model(), 24);
    put(32, id.revision, 4);
    put(38, id.hardwareId, 2);
    put(40, id.dateCode, 6);
}

// Turns every INQUIRY signature (05 80 00) in filler bytes into 06 80 00, so that only the
// blocks a fixture puts there are found.
inline void RemoveInquirySignatures(Bytes& image) {
    for (std::size_t i = 0; i + 2 < image.size(); ++i)
        if (image[i] == 0x05 && image[i + 1] == 0x80 && image[i + 2] == 0x00)
            image[i] = 0x06;
}

// An image of `size` bytes of a counting pattern with one INQUIRY block at 0x200.
inline Bytes MakeImage(const Identity& id, std::size_t size = 0x1000, std::uint8_t seed = 0) {
    Bytes image(size);
    for (std::size_t i = 0; i < size; ++i) image[i] = static_cast<std::uint8_t>((seed + i) % 251);
    PutInquiry(image, 0x200, id);
    return image;
}

// A KFS3 container of the image (check sum computed by the encoder); a bank stride of 0 puts
// the whole image in one bank.
inline Bytes MakeKfs(const Bytes& image, std::uint8_t atapiFlashType = 1,
                     std::uint8_t ideFlashType = 0, std::uint32_t maxBankSize = 0) {
    KfsEncodeOptions options;
    options.form = KfsForm::kKfs3;
    options.atapiFlashType = atapiFlashType;
    options.ideFlashType = ideFlashType;
    options.maxBankSize = maxBankSize;
    return EncodeKfs(image, options);
}

// The Philips form (length prefix first) of the image.
inline Bytes MakePhilipsForm(const Bytes& image) {
    KfsEncodeOptions options;
    options.form = KfsForm::kPhilips;
    return EncodeKfs(image, options);
}

// A Philips firmware file as it is distributed: the form without its length prefix.
inline Bytes MakePhilipsFile(const Bytes& image) {
    return PhilipsFileFromForm(MakePhilipsForm(image));
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
