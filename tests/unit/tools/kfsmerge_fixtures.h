#pragma once
// Small programs and containers for the merge tests: a file image that carries the five records
// between filler bytes, and a tiny KFS3 container and Philips file made with the firmware fixtures.
#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "container/buffer_layout.h"
#include "support/firmware_fixtures.h"

namespace kfs::testing {

using Bytes = std::vector<std::uint8_t>;

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

// KFS3 (flash type 6), one 64-byte bank that starts with an INQUIRY block.
inline Bytes TinyKfs3() {
    Bytes image(64, 0);
    test::PutInquiry(image, 0, {"KEMO", "VRZ-3372BL"});
    return test::MakeKfs(image, 6, 4);
}

inline Bytes TinyImage() {
    Bytes image(16);
    for (std::size_t i = 0; i < image.size(); ++i) image[i] = static_cast<std::uint8_t>(0xA0 + i);
    return image;
}

// A Philips file as distributed: 36 identification bytes beginning "Philips", a 16-byte image,
// the 4-byte trailer.
inline Bytes TinyPhilipsFile() {
    return test::MakePhilipsFile(TinyImage());
}

// The same file as the CVT buffer holds it: its length, big-endian, in front.
inline Bytes TinyPhilipsForm() {
    return test::MakePhilipsForm(TinyImage());
}

inline Bytes Text(const std::string& text) {
    return Bytes(text.begin(), text.end());
}

}  // namespace kfs::testing
