// Text from a drive, a file or a file name on the terminal and in JSON: control characters made
// visible, printable UTF-8 kept, and JSON that never aborts on a byte that is not UTF-8.
#include "app/console/visible_text.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <nlohmann/json.hpp>

#include "app/console/drive_table.h"
#include "app/console/session.h"
#include "emulator/emulator.h"

namespace kfs::console {
namespace {

TEST(VisibleText, ControlCharactersAndBrokenUtf8BecomeEscapes) {
    const struct {
        std::string raw, shown, lines;
    } cases[] = {
        {"VRZ-3372BL", "VRZ-3372BL", "VRZ-3372BL"},
        {"\x1b[2J", "\\x1b[2J", "\\x1b[2J"},
        {"a\nb\r", "a\\x0ab\\x0d", "a\nb\\x0d"},
        {"tab\there\x7f", "tab\\x09here\\x7f", "tab\\x09here\\x7f"},
        {"caf\xc3\xa9", "caf\xc3\xa9", "caf\xc3\xa9"},  // printable UTF-8 stays
        {"\xc2\x9b"
         "31m",
         "\\xc2\\x9b31m", "\\xc2\\x9b31m"},                      // C1 CSI, as UTF-8
        {"KEMO\xe9", "KEMO\\xe9", "KEMO\\xe9"},                  // Latin-1, not UTF-8
        {"\xc0\xaf", "\\xc0\\xaf", "\\xc0\\xaf"},                // overlong
        {"\xed\xa0\x80", "\\xed\\xa0\\x80", "\\xed\\xa0\\x80"},  // a surrogate
        {"\xe2\x82", "\\xe2\\x82", "\\xe2\\x82"},                // cut short
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.raw);
        EXPECT_EQ(Visible(c.raw), c.shown);
        EXPECT_EQ(VisibleLines(c.raw), c.lines);
    }
    EXPECT_EQ(Latin1ToUtf8("KEMO\xe9\x1b"), "KEMO\xc3\xa9\x1b");
    EXPECT_EQ(NameForJson("caf\xc3\xa9"), "caf\xc3\xa9");
    EXPECT_EQ(NameForJson("caf\xe9"), "caf\xc3\xa9");
}

// A drive whose identity holds bytes that are not UTF-8 and control characters: the list shows
// one line per drive, and the JSON list parses and gives back every byte as its Latin-1
// character.
TEST(VisibleText, ListingADriveWithRawBytesInItsIdentity) {
    emu::DriveDescription d;
    d.vendor = "KEM\xd6    ";
    d.product = "VRZ\x1b[2J\n\xff       ";
    d.revision = "1.0\x80";
    d.hardwareId = "K1";
    d.dateCode = "061001";
    std::vector<emu::DriveDescription> descriptions{d};
    emu::DriveSet drives(descriptions);
    auto table = DriveTable::ForEmulator(drives);
    for (const bool json : {false, true}) {
        SCOPED_TRACE(json);
        Streams io;
        io.out = std::tmpfile();
        io.err = std::tmpfile();
        EXPECT_EQ(ListDrives(*table, *table, json, io), 0);
        std::rewind(io.out);
        std::string out;
        char chunk[4096];
        for (std::size_t n; (n = std::fread(chunk, 1, sizeof chunk, io.out)) > 0;)
            out.append(chunk, n);
        if (json) {
            const auto listed = nlohmann::json::parse(out);
            EXPECT_EQ(listed[0]["vendor"], "KEM\xc3\x96");
            EXPECT_EQ(listed[0]["product"], "VRZ\x1b[2J\n\xc3\xbf");
            EXPECT_EQ(listed[0]["version"], "1.0\xc2\x80");
        } else {
            EXPECT_EQ(out,
                      "0: emulated:0  vendor=KEM\\xd6 product=VRZ\\x1b[2J\\x0a\\xff "
                      "version=1.0\\x80 hardware-id=K1 date-code=061001\n");
        }
        std::fclose(io.out);
        std::fclose(io.err);
    }
}

}  // namespace
}  // namespace kfs::console
