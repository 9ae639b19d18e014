#pragma once
// Small raw container builders for the container tests: fields are written byte by byte, so a
// test can make any header, sound or hostile, without going through the encoder.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "container/byte_order.h"
#include "container/kfs_parameter.h"

namespace kfs::test {

using Bytes = std::vector<std::uint8_t>;

// Bytes 0, 1, 2... (mod 251, so that no 64 KB slot repeats with the 256-byte period).
inline Bytes Pattern(std::size_t n, std::uint8_t start = 0) {
    Bytes b(n);
    for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>((start + i) % 251);
    return b;
}

struct Kfs3Raw {
    std::uint8_t scrambleMode = 0;
    std::uint8_t ide = 4, atapi = 6, kernelType = 0;
    std::uint8_t seed[4] = {0, 0, 0, 0};
    std::uint16_t checkSum = 0;
    std::uint32_t maxBankSize = 0;
    std::vector<std::uint32_t> bankSizes;
    std::vector<SKFSReserveBlock> reserved;
    SKFSReserveBlock kernel;

    // Header and tables; append bank data to it.
    Bytes Header() const {
        Bytes b(56 + 4 * bankSizes.size() + 8 * reserved.size(), 0);
        std::memcpy(b.data(), "KEMO FILE SYSTEM", 16);
        b[24] = '3';
        b[25] = scrambleMode;
        b[26] = ide;
        b[27] = atapi;
        std::memcpy(&b[28], seed, 4);
        PutLe16(&b[32], checkSum);
        b[34] = kernelType;
        PutLe32(&b[36], static_cast<std::uint32_t>(bankSizes.size()));
        PutLe32(&b[40], maxBankSize);
        PutLe32(&b[44], static_cast<std::uint32_t>(reserved.size()));
        PutLe32(&b[48], kernel.Address);
        PutLe32(&b[52], kernel.Length);
        std::size_t at = 56;
        for (std::uint32_t s : bankSizes) PutLe32(&b[at], s), at += 4;
        for (const SKFSReserveBlock& r : reserved) {
            PutLe32(&b[at], r.Address);
            PutLe32(&b[at + 4], r.Length);
            at += 8;
        }
        return b;
    }
};

// A KFS1 header (64 or 112 bytes) for the given 16-bit bank sizes.
inline Bytes Kfs1Header(const std::vector<std::uint16_t>& sizes, std::uint8_t version = '1',
                        std::uint8_t scrambleMode = 0, std::uint16_t checkSum = 0) {
    Bytes b(sizes.size() > 8 ? 112 : 64, 0);
    std::memcpy(b.data(), "KEMO FILE SYSTEM", 16);
    b[24] = version;
    b[25] = scrambleMode;
    PutLe16(&b[32], checkSum);
    PutLe16(&b[34], static_cast<std::uint16_t>(sizes.size()));
    for (std::size_t i = 0; i < sizes.size(); ++i) PutLe16(&b[36 + 2 * i], sizes[i]);
    return b;
}

inline void Append(Bytes& to, const Bytes& more) {
    to.insert(to.end(), more.begin(), more.end());
}

// The bank transformation written plainly, one byte at a time.
inline void ReferenceScramble(std::uint8_t* bytes, std::size_t count, std::uint8_t key) {
    for (std::size_t i = 0; i < count; ++i) {
        bytes[i] = static_cast<std::uint8_t>(key + (i % 8) * 57 - bytes[i]);
        if (i % 8 == 7)
            key = static_cast<std::uint8_t>(key * 35);
    }
}

}  // namespace kfs::test
