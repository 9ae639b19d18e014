#include "container/record_finder.h"

#include <gtest/gtest.h>

#include <functional>

#include "tools/kfsmerge_fixtures.h"

namespace kfs {
namespace {

using testing::Bytes;
using testing::FakeProgram;

TEST(RecordFinder, FindsEveryRecordByItsSignatureNotByTheBareTag) {
    const FakeProgram program;
    const RecordLocations found = FindBufferRecords(program.file);
    ASSERT_TRUE(found.found) << found.error;
    EXPECT_EQ(found.dataOffset, program.dataOffset);
}

TEST(RecordFinder, RefusesProgramsWhoseRecordsCannotBeUsed) {
    struct Case {
        const char* what;
        std::function<void(Bytes&, const FakeProgram&)> spoil;
        const char* error;
    };
    const auto header = [](const FakeProgram& p, BufferId id) {
        const auto i = static_cast<std::size_t>(id);
        return p.dataOffset[i] - 1 - kBufferRecords[i].headerLength;
    };
    const Case cases[] = {
        {"header length byte changed",
         [&](Bytes& f, const FakeProgram& p) { f[header(p, BufferId::kKfs2)] = 0x20; },
         "\"KFS3 FILE BUFFER2\" not found"},
        {"capacity changed", [&](Bytes& f, const FakeProgram& p) { f[p.dataOffset[4] - 2] = 0x20; },
         "\"PARAMETER BUFFER\" not found"},
        {"record twice",
         [](Bytes& f, const FakeProgram&) {
             const Bytes signature = RecordSignature(kBufferRecords[0]);
             f.insert(f.begin(), signature.begin(), signature.end());
         },
         "\"CVT FILE BUFFER\" appears 2 times"},
        {"file cut inside the last data area",
         [](Bytes& f, const FakeProgram& p) { f.resize(p.dataOffset[4] + 100); },
         "\"PARAMETER BUFFER\" is cut short"},
        {"record inside another record's data area",
         [](Bytes& f, const FakeProgram& p) {
             // Move the KFS2 signature into the KFS1 data area.
             const std::size_t kfs2 = p.dataOffset[2] - 22;
             const Bytes signature = RecordSignature(kBufferRecords[2]);
             std::fill(f.begin() + kfs2, f.begin() + kfs2 + 22, 0);
             std::copy(signature.begin(), signature.end(), f.begin() + p.dataOffset[1] + 10);
         },
         "overlap"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const FakeProgram program;
        Bytes file = program.file;
        c.spoil(file, program);
        const RecordLocations found = FindBufferRecords(file);
        EXPECT_FALSE(found.found);
        EXPECT_NE(found.error.find(c.error), std::string::npos) << found.error;
    }
}

}  // namespace
}  // namespace kfs
