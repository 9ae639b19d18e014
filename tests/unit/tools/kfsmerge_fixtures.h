#pragma once
// Small programs and containers for the merge tests: a file image that carries the five records
// between filler bytes, a tiny KFS3 container and a tiny Philips file.
#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "container/buffer_layout.h"

namespace kfs::testing {

using Bytes = std::vector<std::uint8_t>;

inline constexpr char kModel[] = "KEMO    VRZ-3372BL      ";

// Filler, the bare tag texts (which must not count as records), the records in order, filler.
struct FakeProgram {
    Bytes file;
    std::array<std::size_t, 5> dataOffset{};

    FakeProgram() {
        const std::string prefix = "MZ...CVT FILE BUFFER...PARAMETER BUFFER...";
        file.assign(prefix.begin(), prefix.end());
        for (std::size_t i = 0; i < kBufferRecords.size(); ++i) {
            const Bytes signature = RecordSignature(kBufferRecords[i]);
            file.insert(file.end(), signature.begin(), signature.end());
            dataOffset[i] = file.size();
            file.resize(file.size() + kBufferRecords[i].capacity, 0);
        }
        const std::string suffix = "...end of program";
        file.insert(file.end(), suffix.begin(), suffix.end());
    }

    Bytes Data(BufferId id) const {
        const auto i = static_cast<std::size_t>(id);
        auto begin = file.begin() + static_cast<std::ptrdiff_t>(dataOffset[i]);
        return Bytes(begin, begin + kBufferRecords[i].capacity);
    }
};

inline void PutLe32(Bytes& bytes, std::size_t at, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<std::uint8_t>(value >> (8 * i));
}

// KFS3, one plain 64-byte bank that starts with an INQUIRY block naming kModel.
inline Bytes TinyKfs3() {
    Bytes container(56 + 4 + 64, 0);
    const std::string magic = "KEMO FILE SYSTEM";
    std::copy(magic.begin(), magic.end(), container.begin());
    container[24] = '3';
    container[26] = 4;
    container[27] = 6;
    PutLe32(container, 36, 1);   // TotalBank
    PutLe32(container, 40, 64);  // MaxBankSize
    PutLe32(container, 56, 64);  // BankSize[0]
    const std::size_t bank = 60;
    container[bank] = 0x05;
    container[bank + 1] = 0x80;
    std::copy(kModel, kModel + 24, container.begin() + bank + 8);
    return container;
}

// A Philips file as distributed: 36 identification bytes beginning "Philips", a 16-byte image,
// the 4-byte trailer. Its length is the trailer offset of the form.
inline Bytes TinyPhilipsFile() {
    Bytes file(36 + 16 + 4, 0);
    const std::string mark = "Philips test firmware";
    std::copy(mark.begin(), mark.end(), file.begin());
    for (std::size_t i = 0; i < 16; ++i) file[36 + i] = static_cast<std::uint8_t>(0xA0 + i);
    file[52] = 0x12;
    file[53] = 0x34;
    return file;
}

// The same file as the CVT buffer holds it: its length, big-endian, in front.
inline Bytes TinyPhilipsForm() {
    const Bytes file = TinyPhilipsFile();
    Bytes form = {0, 0, 0, static_cast<std::uint8_t>(file.size())};
    form.insert(form.end(), file.begin(), file.end());
    return form;
}

inline Bytes Text(const std::string& text) {
    return Bytes(text.begin(), text.end());
}

}  // namespace kfs::testing
