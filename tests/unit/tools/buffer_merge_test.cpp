#include "container/buffer_merge.h"

#include <gtest/gtest.h>

#include <functional>

#include "tools/kfsmerge_fixtures.h"

namespace kfs {
namespace {

using testing::Bytes;
using testing::FakeProgram;
using testing::Text;
using testing::TinyKfs3;
using testing::TinyPhilipsFile;

const Bytes kShipped = Text("[Main]\r\nUpdater=1");

// The data area `actual` holds `content` followed only by zeros.
void ExpectHolds(const Bytes& actual, const Bytes& content) {
    ASSERT_GE(actual.size(), content.size());
    EXPECT_TRUE(std::equal(content.begin(), content.end(), actual.begin()));
    EXPECT_TRUE(std::all_of(actual.begin() + static_cast<std::ptrdiff_t>(content.size()),
                            actual.end(), [](std::uint8_t b) { return b == 0; }));
}

TEST(MergeBuffers, WritesEachContentByItsRuleAndNothingElse) {
    FakeProgram program;
    // Buffer 2 already holds a container from an earlier merge; the parameter buffer a longer
    // text, which must not shine through the shorter one.
    const Bytes earlier = TinyKfs3();
    std::copy(earlier.begin(), earlier.end(), program.file.begin() + program.dataOffset[2]);
    std::fill_n(program.file.begin() + program.dataOffset[4], 5000, 'x');
    const Bytes before = program.file;

    BufferContents contents;
    contents.philipsFile = TinyPhilipsFile();
    contents.kfs[0] = TinyKfs3();
    contents.kfs[2] = TinyKfs3();
    contents.parameters = Text("[Main]\r\nProgramName=Merged Name");
    const MergeOutcome outcome = MergeBuffers(program.file, contents, kShipped);
    ASSERT_TRUE(outcome.ok) << outcome.error;

    ExpectHolds(program.Data(BufferId::kCvt), testing::TinyPhilipsForm());
    ExpectHolds(program.Data(BufferId::kKfs1), TinyKfs3());
    ExpectHolds(program.Data(BufferId::kKfs2), TinyKfs3());
    ExpectHolds(program.Data(BufferId::kKfs3), TinyKfs3());
    ExpectHolds(program.Data(BufferId::kParameters), *contents.parameters);

    // Outside the data areas every byte is as it was.
    ASSERT_EQ(program.file.size(), before.size());
    std::size_t next_area = 0;
    for (std::size_t at = 0; at < before.size(); ++at) {
        if (next_area < 5 && at == program.dataOffset[next_area]) {
            at += kBufferRecords[next_area++].capacity - 1;
            continue;
        }
        ASSERT_EQ(program.file[at], before[at]) << "offset " << at;
    }
}

TEST(MergeBuffers, ParameterBufferFollowsTheRole) {
    struct Case {
        const char* what;
        std::function<void(BufferContents&)> give;
        Bytes expected;  // the parameter buffer's content afterwards
    };
    const Bytes earlier = Text("[Main]\r\nProgramName=Earlier");
    const Case cases[] = {
        {"a container and no text: the shipped updater text",
         [](BufferContents& c) { c.kfs[1] = TinyKfs3(); }, kShipped},
        {"a Philips file and no text: the shipped updater text",
         [](BufferContents& c) { c.philipsFile = TinyPhilipsFile(); }, kShipped},
        {"a container and a text: the text",
         [](BufferContents& c) {
             c.kfs[0] = TinyKfs3();
             c.parameters = Text("own");
         },
         Text("own")},
        {"nothing given: left alone", [](BufferContents&) {}, earlier},
        {"an empty text: emptied, the built-in default applies",
         [](BufferContents& c) { c.parameters = Bytes(); }, Bytes()},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        FakeProgram program;
        std::copy(earlier.begin(), earlier.end(), program.file.begin() + program.dataOffset[4]);
        BufferContents contents;
        c.give(contents);
        const MergeOutcome outcome = MergeBuffers(program.file, contents, kShipped);
        ASSERT_TRUE(outcome.ok) << outcome.error;
        ExpectHolds(program.Data(BufferId::kParameters), c.expected);
    }
}

TEST(MergeBuffers, ParameterTextMayFillTheWholeBufferWithoutTerminator) {
    FakeProgram program;
    BufferContents contents;
    contents.parameters = Bytes(RecordLayout(BufferId::kParameters).capacity, 'p');
    ASSERT_TRUE(MergeBuffers(program.file, contents, kShipped).ok);
    EXPECT_EQ(program.Data(BufferId::kParameters), *contents.parameters);
    // The next byte after the last data area is the program's own, untouched.
    EXPECT_EQ(program.file[program.dataOffset[4] + contents.parameters->size()], '.');
}

TEST(MergeBuffers, RefusesWithoutTouchingTheProgram) {
    struct Case {
        const char* what;
        std::function<void(BufferContents&)> give;
        const char* error;
    };
    const auto oversized = [](BufferId id, std::ptrdiff_t extra) {
        Bytes bytes = id == BufferId::kCvt ? TinyPhilipsFile() : TinyKfs3();
        bytes.resize(static_cast<std::size_t>(RecordLayout(id).capacity + extra), 0);
        return bytes;
    };
    const Case cases[] = {
        {"Philips file without its mark",
         [](BufferContents& c) { c.philipsFile = Text("philips firmware, lower case"); },
         "does not begin with \"Philips\""},
        {"Philips file given in the form, length first",
         [](BufferContents& c) { c.philipsFile = testing::TinyPhilipsForm(); },
         "does not begin with \"Philips\""},
        {"Philips file too short for its header",
         [](BufferContents& c) { c.philipsFile = Text("Philips"); }, "does not decode"},
        {"Philips form one byte over the capacity",
         [&](BufferContents& c) { c.philipsFile = oversized(BufferId::kCvt, -3); },
         "do not fit buffer \"CVT FILE BUFFER\""},
        {"KFS container over the capacity",
         [&](BufferContents& c) { c.kfs[2] = oversized(BufferId::kKfs3, 1); },
         "KFS container 3: 2162689 bytes do not fit"},
        {"KFS container with an unknown version byte",
         [](BufferContents& c) {
             c.kfs[0] = TinyKfs3();
             (*c.kfs[0])[24] = '4';
         },
         "KFS container 1 is no KFS container"},
        {"KFS container whose bank runs past its end",
         [](BufferContents& c) {
             c.kfs[1] = TinyKfs3();
             c.kfs[1]->resize(100);
         },
         "KFS container 2 does not decode"},
        {"KFS container with a wrong magic",
         [](BufferContents& c) {
             c.kfs[0] = TinyKfs3();
             (*c.kfs[0])[0] = 'X';
         },
         "KFS container 1 does not decode"},
        {"Philips form in a KFS buffer",
         [](BufferContents& c) { c.kfs[0] = testing::TinyPhilipsForm(); },
         "is in the Philips form"},
        {"empty KFS container", [](BufferContents& c) { c.kfs[0] = Bytes(); },
         "KFS container 1 is too short"},
        {"parameter text over the capacity",
         [&](BufferContents& c) {
             c.parameters = Bytes(RecordLayout(BufferId::kParameters).capacity + 1, 'p');
         },
         "the parameter text: 1048577 bytes do not fit"},
        {"a good container with a bad one",
         [](BufferContents& c) {
             c.kfs[0] = TinyKfs3();
             c.kfs[1] = Text("junk");
         },
         "KFS container 2"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        FakeProgram program;
        const Bytes before = program.file;
        BufferContents contents;
        c.give(contents);
        const MergeOutcome outcome = MergeBuffers(program.file, contents, kShipped);
        EXPECT_FALSE(outcome.ok);
        EXPECT_NE(outcome.error.find(c.error), std::string::npos) << outcome.error;
        EXPECT_TRUE(program.file == before);
    }
}

TEST(MergeBuffers, RefusesAProgramWithoutTheRecords) {
    Bytes file = Text("MZ not our program");
    BufferContents contents;
    contents.kfs[0] = TinyKfs3();
    const MergeOutcome outcome = MergeBuffers(file, contents, kShipped);
    EXPECT_FALSE(outcome.ok);
    EXPECT_NE(outcome.error.find("\"CVT FILE BUFFER\" not found"), std::string::npos);
    EXPECT_EQ(file, Text("MZ not our program"));
}

TEST(ListBuffers, DescribesWhatEachBufferHolds) {
    FakeProgram program;
    BufferContents contents;
    contents.philipsFile = TinyPhilipsFile();
    contents.kfs[2] = TinyKfs3();
    contents.parameters = Text("[Main]\r\nProgramName=Merged Name");
    ASSERT_TRUE(MergeBuffers(program.file, contents, kShipped).ok);
    // Buffer 2 holds something that is no container.
    program.file[program.dataOffset[2] + 3] = 0x77;

    const BufferListing listing = ListBuffers(program.file);
    ASSERT_TRUE(listing.ok) << listing.error;
    EXPECT_EQ(listing.descriptions[0], "Philips form, length 56");
    EXPECT_EQ(listing.descriptions[1], "empty");
    EXPECT_EQ(listing.descriptions[2], "unrecognised content (no KFS container)");
    EXPECT_EQ(listing.descriptions[3],
              "KFS3 container, 124 bytes, image 64 bytes, model \"KEMO    VRZ-3372BL      \"");
    EXPECT_EQ(listing.descriptions[4], "parameter text, 31 bytes, first line \"[Main]\"");

    EXPECT_FALSE(ListBuffers(Text("MZ")).ok);
}

}  // namespace
}  // namespace kfs
