#include "container/kfs_decode.h"

#include <gtest/gtest.h>

#include <memory>

#include "container_fixtures.h"

namespace kfs {
namespace {

using test::Append;
using test::Bytes;
using test::Kfs1Header;
using test::Kfs3Raw;
using test::Pattern;

// A copy in an allocation of exactly its size, so that the address sanitizer sees any read past
// the end of the container (a std::vector may hold spare capacity behind its data).
struct Exact {
    explicit Exact(const Bytes& b) : size(b.size()), data(new std::uint8_t[b.size()]) {
        std::copy(b.begin(), b.end(), data.get());
    }
    std::span<const std::uint8_t> span() const { return {data.get(), size}; }
    std::size_t size;
    std::unique_ptr<std::uint8_t[]> data;
};

struct Decoded {
    bool ok = false;
    SKFSParameter parameter;
    Bytes image;
};

Decoded Decode(const Bytes& container) {
    Exact exact(container);
    Decoded d;
    d.image.assign(GetImageLength(exact.span()), 0);
    d.ok = LoadKFS(exact.span(), d.parameter, d.image);
    return d;
}

Bytes Philips(std::uint32_t l, std::size_t imageBytes, std::uint16_t sum, std::uint16_t trailer) {
    Bytes b(4, 0);
    PutBe32(b.data(), l);
    Bytes id(36, 0);
    std::memcpy(id.data(), "Philips CVT", 11);
    Append(b, id);
    Append(b, Pattern(imageBytes, 9));
    Bytes tail(4);
    PutBe16(&tail[0], sum);
    PutBe16(&tail[2], trailer);
    Append(b, tail);
    return b;
}

TEST(GetKFSLength, SizeFromEachLayout) {
    Kfs3Raw one;
    one.maxBankSize = 0x200000;
    one.bankSizes = {0x200000};
    one.reserved = {{0x1F800, 0x400}, {0x180000, 0x100}};
    Kfs3Raw overflow;
    overflow.maxBankSize = 0x10000;
    overflow.bankSizes.assign(0x10000, 0);
    Bytes version4 = Kfs1Header({1, 2});
    version4[24] = '4';
    Bytes kfs1Blank = Kfs1Header({1, 2, 3}, ' ');
    Bytes kfs1Max = Kfs1Header(std::vector<std::uint16_t>(38, 0), '2');
    Bytes kfs1TooMany = Kfs1Header(std::vector<std::uint16_t>(38, 0));
    PutLe16(&kfs1TooMany[34], 39);
    Bytes kfs3Short = one.Header();
    kfs3Short.resize(43);

    const struct {
        const char* name;
        Bytes container;
        std::uint32_t length;
    } cases[] = {
        {"zeros", Bytes(128, 0), 0},
        {"empty", Bytes(), 0},
        {"KFS3 one bank, two reserved blocks", one.Header(), 0x200000},
        {"KFS3 size overflowing 32 bits", overflow.Header(), 0},
        {"KFS3 header cut before MaxBankSize", kfs3Short, 0},
        {"KFS1 blank version byte", kfs1Blank, 0x30000},
        {"KFS1 38 banks", kfs1Max, 38 * 0x10000},
        {"KFS1 39 banks", kfs1TooMany, 0},
        {"version 4", version4, 0},
        {"Philips L = 41", Philips(41, 1, 0, 0), 41},
        {"Philips L = 40", Philips(40, 0, 0, 0), 0},
        {"Philips trailer past the end", Philips(45, 4, 0, 0), 0},
        {"Philips L = 0", Philips(0, 0, 0, 0), 0},
    };
    for (const auto& c : cases) {
        Exact exact(c.container);
        EXPECT_EQ(GetKFSLength(exact.span()), c.length) << c.name;
    }
    EXPECT_EQ(one.Header().size(), 76u);
}

// KFS3: three 0x100-byte slots, the middle bank short; only ScrambleMode 2 scrambles.
TEST(LoadKFS, Kfs3BanksReservedAndKernelBlocks) {
    const Bytes plain = Pattern(0x300, 3);
    for (std::uint8_t mode : {0, 1, 2, 3}) {
        Kfs3Raw raw;
        raw.scrambleMode = mode;
        raw.ide = 4;
        raw.atapi = 6;
        raw.kernelType = 2;
        raw.seed[0] = 1, raw.seed[1] = 7, raw.seed[2] = 3, raw.seed[3] = 5;
        raw.checkSum = 0xAC6D;
        raw.maxBankSize = 0x100;
        raw.bankSizes = {0x100, 0x80, 0x100};
        raw.reserved = {{0x10, 0x20}, {0x2F0, 0x10}};
        raw.kernel = {0x200, 0x40};
        Bytes c = raw.Header();
        const std::size_t dataStart = c.size();
        Bytes banks;
        Append(banks, Bytes(plain.begin(), plain.begin() + 0x100));
        Append(banks, Bytes(plain.begin() + 0x100, plain.begin() + 0x180));
        Append(banks, Bytes(plain.begin() + 0x200, plain.end()));
        if (mode == 2) {
            const std::uint8_t key = (7 - 3) * 1 + 5;
            test::ReferenceScramble(&banks[0], 0x100, key);
            test::ReferenceScramble(&banks[0x100], 0x80, key);
            test::ReferenceScramble(&banks[0x180], 0x100, key);
        }
        Append(c, banks);
        ASSERT_EQ(dataStart, 56u + 12 + 16);

        const Decoded d = Decode(c);
        ASSERT_TRUE(d.ok) << int(mode);
        Bytes expected = plain;
        std::fill(expected.begin() + 0x180, expected.begin() + 0x200, 0);
        EXPECT_EQ(d.image, expected) << "ScrambleMode " << int(mode);
        SKFSParameter want;
        want.HeaderCheckSum = 0xAC6D;
        want.IdeFlashType = 4;
        want.AtapiFlashType = 6;
        want.AtapiFlashKernelType = 2;
        want.ReservedBlocks = raw.reserved;
        want.MaxBankSize = 0x100;
        want.BankSizes = raw.bankSizes;
        want.KernelBlock = raw.kernel;
        EXPECT_EQ(d.parameter, want);
    }
}

// KFS1: the data start moves from 64 to 112 above 8 banks; ScrambleMode 1 gives every bank its
// own key (stored first byte + 2), so a scrambled bank decodes to a first byte of 02h.
TEST(LoadKFS, Kfs1BankCountsAndScrambling) {
    const struct {
        std::size_t banks;
        std::uint8_t version;
        std::uint8_t mode;
    } cases[] = {{1, '1', 0}, {8, ' ', 1}, {9, '2', 1}, {9, '1', 2}, {38, '1', 1}};
    for (const auto& c : cases) {
        std::vector<std::uint16_t> sizes;
        for (std::size_t i = 0; i < c.banks; ++i)
            sizes.push_back(static_cast<std::uint16_t>(40 + i));
        Bytes container = Kfs1Header(sizes, c.version, c.mode, 0x1234);
        EXPECT_EQ(container.size(), c.banks > 8 ? 112u : 64u);
        Bytes expected(c.banks * 0x10000, 0);
        for (std::size_t i = 0; i < c.banks; ++i) {
            Bytes bank = Pattern(sizes[i], static_cast<std::uint8_t>(i * 13));
            std::copy(bank.begin(), bank.end(), expected.begin() + i * 0x10000);
            if (c.mode == 1) {
                Bytes decoded = bank;
                test::ReferenceScramble(decoded.data(), decoded.size(),
                                        static_cast<std::uint8_t>(bank[0] + 2));
                std::copy(decoded.begin(), decoded.end(), expected.begin() + i * 0x10000);
            }
            Append(container, bank);
        }
        const Decoded d = Decode(container);
        ASSERT_TRUE(d.ok) << c.banks;
        EXPECT_EQ(d.image, expected) << c.banks << " banks, mode " << int(c.mode);
        if (c.mode == 1) {
            for (std::size_t i = 0; i < c.banks; ++i) EXPECT_EQ(d.image[i * 0x10000], 0x02);
        }
        EXPECT_EQ(d.parameter.HeaderCheckSum, 0x1234);
        EXPECT_EQ(d.parameter.IdeFlashType, 1);
        EXPECT_EQ(d.parameter.AtapiFlashType, 1);
        EXPECT_EQ(d.parameter.AtapiFlashKernelType, 0);
        EXPECT_EQ(d.parameter.MaxBankSize, 0x10000u);
        EXPECT_EQ(d.parameter.KernelBlock, (SKFSReserveBlock{0, 0}));
        EXPECT_EQ(d.parameter.ReservedBlocks,
                  (std::vector<SKFSReserveBlock>{{0x1FD00, 0x300}, {0x2F800, 0x800}}));
        EXPECT_EQ(d.parameter.BankSizes, std::vector<std::uint32_t>(sizes.begin(), sizes.end()));
    }
}

TEST(LoadKFS, PhilipsFormLeavesOtherFieldsAlone) {
    const Bytes form = Philips(40 + 5, 5, 0xBEEF, 0x1234);
    Exact exact(form);
    ASSERT_TRUE(IsPhilipsForm(exact.span()));
    ASSERT_EQ(GetImageLength(exact.span()), 5u);
    SKFSParameter p;
    p.AtapiFlashType = 6;
    p.BankSizes = {7};
    Bytes image(5, 0);
    ASSERT_TRUE(LoadKFS(exact.span(), p, image));
    EXPECT_EQ(image, Pattern(5, 9));
    EXPECT_EQ(p.HeaderCheckSum, 0xBEEF);
    EXPECT_EQ(p.TrailerWord, 0x1234);
    EXPECT_EQ(p.AtapiFlashType, 6);
    EXPECT_EQ(p.BankSizes, std::vector<std::uint32_t>{7});
}

TEST(LoadKFS, PhilipsFileGetsItsLengthPrefix) {
    const Bytes form = Philips(40 + 3, 3, 1, 2);
    const Bytes file(form.begin() + 4, form.end());
    ASSERT_TRUE(IsPhilipsFile(file));
    EXPECT_FALSE(IsPhilipsForm(file));
    EXPECT_EQ(PhilipsFormFromFile(file), form);
}

TEST(LoadKFS, RefusesWrongMagicAndUnknownVersion) {
    Bytes good = Kfs1Header({4});
    Append(good, Bytes{1, 2, 3, 4});
    Bytes version4 = good, noTerminator = good, lowerCase = good;
    version4[24] = '4';
    noTerminator[16] = 'X';
    lowerCase[0] = 'k';
    EXPECT_TRUE(Decode(good).ok);
    for (const Bytes* c : {&version4, &noTerminator, &lowerCase}) {
        Exact exact(*c);
        SKFSParameter p;
        Bytes image(0x10000, 0);
        EXPECT_FALSE(LoadKFS(exact.span(), p, image));
    }
    Exact exact(version4);
    EXPECT_EQ(GetKFSLength(exact.span()), 0u);
}

// Containers that break the layout's limits are refused and never read or written out of bounds
// (the address sanitizer watches the exact-size copies).
TEST(LoadKFS, RefusesHostileContainers) {
    auto kfs3 = [] {
        Kfs3Raw raw;
        raw.scrambleMode = 2;
        raw.maxBankSize = 0x40;
        raw.bankSizes = {0x40, 0x20};
        raw.reserved = {{0x00, 0x10}};
        raw.kernel = {0x70, 0x10};
        return raw;
    };
    auto withData = [](const Kfs3Raw& raw) {
        Bytes b = raw.Header();
        std::uint64_t n = 0;
        for (auto s : raw.bankSizes) n += s;
        Append(b, Pattern(static_cast<std::size_t>(n)));
        return b;
    };
    ASSERT_TRUE(Decode(withData(kfs3())).ok);

    Kfs3Raw bigBank = kfs3();
    bigBank.bankSizes[1] = 0x41;
    Bytes cut = withData(kfs3());
    cut.pop_back();
    Bytes manyReserved = withData(kfs3());
    PutLe32(&manyReserved[44], 0x20000000);
    Bytes manyBanks = withData(kfs3());
    PutLe32(&manyBanks[36], 0xFFFFFFFF);
    PutLe32(&manyBanks[40], 1);
    Bytes overflow = withData(kfs3());
    PutLe32(&overflow[36], 0x100);
    PutLe32(&overflow[40], 0x01000000);
    Kfs3Raw reservedOut = kfs3();
    reservedOut.reserved.push_back({0x7F, 2});
    Kfs3Raw reservedWrap = kfs3();
    reservedWrap.reserved.push_back({0xFFFFFFF0, 0x20});
    Kfs3Raw kernelOut = kfs3();
    kernelOut.kernel = {0x80, 1};
    Bytes kfs1Cut = Kfs1Header({0x100, 0x100});
    Append(kfs1Cut, Pattern(0x1FF));
    Bytes kfs1Short = Kfs1Header({0x100});
    kfs1Short.resize(40);
    Bytes kfs1TooMany = Kfs1Header(std::vector<std::uint16_t>(38, 0));
    PutLe16(&kfs1TooMany[34], 40);
    Bytes kfs3Short = kfs3().Header();
    kfs3Short.resize(55);
    Bytes philipsShort = Philips(41, 1, 0, 0);
    philipsShort.pop_back();

    const struct {
        const char* name;
        Bytes container;
    } cases[] = {
        {"KFS3 bank larger than its slot", withData(bigBank)},
        {"KFS3 bank data cut short", cut},
        {"KFS3 reserved table past the end", manyReserved},
        {"KFS3 bank table past the end", manyBanks},
        {"KFS3 image size overflow", overflow},
        {"KFS3 reserved block past the image", withData(reservedOut)},
        {"KFS3 reserved block wrapping 32 bits", withData(reservedWrap)},
        {"KFS3 kernel block past the image", withData(kernelOut)},
        {"KFS3 header cut short", kfs3Short},
        {"KFS1 bank data cut short", kfs1Cut},
        {"KFS1 header cut short", kfs1Short},
        {"KFS1 40 banks", kfs1TooMany},
        {"Philips trailer past the end", philipsShort},
        {"Philips L = 40", Philips(40, 0, 0, 0)},
    };
    for (const auto& c : cases) {
        Exact exact(c.container);
        SKFSParameter p;
        // A generous image, so that only the container's own limits can refuse it.
        Bytes image(0x100000, 0);
        std::string reason;
        EXPECT_FALSE(LoadKFS(exact.span(), p, image, &reason)) << c.name;
        EXPECT_FALSE(reason.empty()) << c.name;
    }
}

// An embedded buffer holds the container at its start and zeros up to its capacity: the zeros
// are ignored, while a header that claims more than the capacity is refused.
TEST(LoadKFS, ContainerInsideAFixedCapacityBuffer) {
    Kfs3Raw raw;
    raw.maxBankSize = 0x80;
    raw.bankSizes = {0x80, 0x80};
    Bytes container = raw.Header();
    Append(container, Pattern(0x100));
    Bytes buffer = container;
    buffer.resize(0x400, 0);
    Decoded d = Decode(buffer);
    ASSERT_TRUE(d.ok);
    EXPECT_EQ(d.image, Pattern(0x100));

    PutLe32(&buffer[56 + 4], 0x80 + 0x400);  // second bank now reaches past the capacity
    PutLe32(&buffer[40], 0x800);
    EXPECT_FALSE(Decode(buffer).ok);
}

TEST(LoadKFS, RefusesAnImageBufferSmallerThanTheLayout) {
    Bytes c = Kfs1Header({4, 4});
    Append(c, Pattern(8));
    Exact exact(c);
    SKFSParameter p;
    Bytes image(0x10004, 0);
    EXPECT_FALSE(LoadKFS(exact.span(), p, image));
}

// The table-driven key stream must equal the byte-by-byte transformation at every length around
// its 8-byte groups and 512-byte period, and undo itself.
TEST(DescrambleBank, MatchesTheByteWiseTransformation) {
    for (std::size_t n : {0, 1, 7, 8, 9, 511, 512, 513, 1500, 4096}) {
        for (int key : {0, 1, 2, 0x80, 0xFF, 0x35}) {
            const Bytes original = Pattern(n, static_cast<std::uint8_t>(key));
            Bytes fast = original;
            Bytes slow = original;
            DescrambleBank(fast, static_cast<std::uint8_t>(key));
            test::ReferenceScramble(slow.data(), slow.size(), static_cast<std::uint8_t>(key));
            ASSERT_EQ(fast, slow) << "n=" << n << " key=" << key;
            DescrambleBank(fast, static_cast<std::uint8_t>(key));
            ASSERT_EQ(fast, original) << "n=" << n << " key=" << key;
        }
    }
    // Known answer: key 10, bytes 0: 10, 67, 124, 181, 238, 39, 96, 153, then key 350 mod 256.
    Bytes z(9, 0);
    DescrambleBank(z, 10);
    EXPECT_EQ(z, (Bytes{10, 67, 124, 181, 238, 39, 96, 153, 94}));
    const std::uint8_t seed[4] = {1, 7, 3, 5};
    EXPECT_EQ(Kfs3BankKey(seed), 9);
    const std::uint8_t wrap[4] = {200, 3, 250, 17};
    EXPECT_EQ(Kfs3BankKey(wrap), static_cast<std::uint8_t>((3 - 250) * 200 + 17));
}

}  // namespace
}  // namespace kfs
