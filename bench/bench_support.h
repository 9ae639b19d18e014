#pragma once
// The 2 MB firmware image that every benchmark works on: deterministic pseudo-random bytes, so
// that runs compare the same work.
#include <cstddef>
#include <cstdint>
#include <vector>

namespace kfs::bench {

constexpr std::size_t kImageLength = 0x200000;

inline std::vector<std::uint8_t> SampleImage() {
    std::vector<std::uint8_t> image(kImageLength);
    std::uint32_t x = 12345;
    for (auto& b : image) {
        x = x * 1103515245u + 12345u;
        b = static_cast<std::uint8_t>(x >> 16);
    }
    return image;
}

}  // namespace kfs::bench
