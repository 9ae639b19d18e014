#pragma once
// The text keys of a login: "key=value" pairs, each ended by a NUL byte, and the answers of a
// target that wants no authentication, no digests and the simplest session (one connection,
// error recovery level 0, one outstanding R2T, data in order).
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace kfs::emu::iscsi {

using Keys = std::vector<std::pair<std::string, std::string>>;

Keys ParseKeys(const std::vector<std::uint8_t>& data);
std::vector<std::uint8_t> FormatKeys(const Keys& keys);
std::string Find(const Keys& keys, const std::string& key);

// What the connection keeps of the negotiation.
struct SessionParameters {
    std::uint32_t peerMaxRecv = 8192;  // the initiator's MaxRecvDataSegmentLength
    std::uint32_t firstBurst = 65536;
    std::uint32_t maxBurst = 262144;
    bool initialR2t = true;
    bool immediateData = true;
};

// The target's own MaxRecvDataSegmentLength: the most data in one PDU it takes.
constexpr std::uint32_t kOwnMaxRecv = 262144;

// Answers the keys of one login request and notes the outcome in `parameters`. Declarations
// (InitiatorName, SessionType, TargetName, ...) need no answer; keys it does not know are
// answered NotUnderstood.
Keys AnswerLoginKeys(const Keys& offered, SessionParameters& parameters);

}  // namespace kfs::emu::iscsi
