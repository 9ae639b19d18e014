#pragma once
// Filling the tagged buffers of a built program: the logic behind kfsmerge, kept in the library
// so that it can be tested without files.
#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace kfs {

// What to write; a buffer without content keeps what it holds.
struct BufferContents {
    // A Philips firmware file as distributed: it begins with "Philips" and has no length prefix.
    std::optional<std::vector<std::uint8_t>> philipsFile;
    // KFS containers for buffers 1 to 3, stored as they are.
    std::array<std::optional<std::vector<std::uint8_t>>, 3> kfs;
    // The parameter text.
    std::optional<std::vector<std::uint8_t>> parameters;
};

// Any container given: the result is an updater.
bool MakesUpdater(const BufferContents& contents);

struct MergeOutcome {
    bool ok = false;
    std::string error;               // the reason for a refusal, one line
    std::vector<std::string> notes;  // things worth telling that do not refuse
};

// Finds the five records in `executable` and writes each given content into its data area: the
// Philips file behind its 4-byte big-endian length, a KFS container as it is, the parameter text
// (zero-terminated unless it fills the capacity); the rest of each written data area becomes
// zero. An updater without a parameter text gets `shippedParameters`; with no container and no
// parameter text the parameter buffer is left as it is. Refuses, leaving `executable` untouched,
// when a record is missing or appears more than once, or a content does not decode or does not
// fit its buffer.
MergeOutcome MergeBuffers(std::vector<std::uint8_t>& executable, const BufferContents& contents,
                          std::span<const std::uint8_t> shippedParameters);

struct BufferListing {
    bool ok = false;
    std::string error;
    std::array<std::string, 5> descriptions;  // in the order of kBufferRecords
};

// What each buffer of a built program holds: empty, a Philips form with its length, a KFS
// container with its size and model name, or a parameter text with its first line and size.
BufferListing ListBuffers(std::span<const std::uint8_t> executable);

}  // namespace kfs
