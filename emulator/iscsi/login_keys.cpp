#include "emulator/iscsi/login_keys.h"

#include <algorithm>
#include <cstdlib>

namespace kfs::emu::iscsi {

namespace {

// Keys only declared by the initiator.
bool IsDeclaration(const std::string& key) {
    return key == "InitiatorName" || key == "InitiatorAlias" || key == "SessionType" ||
           key == "TargetName" || key.rfind("X-", 0) == 0 || key.rfind("X#", 0) == 0;
}

std::uint32_t Number(const std::string& value) {
    return static_cast<std::uint32_t>(std::strtoul(value.c_str(), nullptr, 10));
}

std::string YesNo(bool yes) {
    return yes ? "Yes" : "No";
}

// A list value ("None,CRC32C"): None when offered, else Reject.
std::string NoneOrReject(const std::string& offered) {
    std::size_t at = 0;
    while (at <= offered.size()) {
        const std::size_t end = std::min(offered.find(',', at), offered.size());
        if (offered.compare(at, end - at, "None") == 0)
            return "None";
        at = end + 1;
    }
    return "Reject";
}

}  // namespace

Keys ParseKeys(const std::vector<std::uint8_t>& data) {
    Keys keys;
    std::size_t at = 0;
    while (at < data.size()) {
        std::size_t end = at;
        while (end < data.size() && data[end] != 0) ++end;
        const std::string pair(data.begin() + static_cast<long>(at),
                               data.begin() + static_cast<long>(end));
        const std::size_t eq = pair.find('=');
        if (!pair.empty())
            keys.emplace_back(pair.substr(0, eq),
                              eq == std::string::npos ? "" : pair.substr(eq + 1));
        at = end + 1;
    }
    return keys;
}

std::vector<std::uint8_t> FormatKeys(const Keys& keys) {
    std::vector<std::uint8_t> out;
    for (const auto& [key, value] : keys) {
        const std::string pair = key + "=" + value;
        out.insert(out.end(), pair.begin(), pair.end());
        out.push_back(0);
    }
    return out;
}

std::string Find(const Keys& keys, const std::string& key) {
    for (const auto& [k, v] : keys)
        if (k == key)
            return v;
    return {};
}

Keys AnswerLoginKeys(const Keys& offered, SessionParameters& p) {
    Keys answer;
    for (const auto& [key, value] : offered) {
        if (IsDeclaration(key))
            continue;
        std::string reply;
        if (key == "AuthMethod")
            reply = NoneOrReject(value);
        else if (key == "HeaderDigest" || key == "DataDigest")
            reply = NoneOrReject(value);
        else if (key == "MaxRecvDataSegmentLength") {
            p.peerMaxRecv = std::max<std::uint32_t>(512, Number(value));
            reply = std::to_string(kOwnMaxRecv);
        } else if (key == "FirstBurstLength") {
            p.firstBurst = std::min(Number(value), p.firstBurst);
            reply = std::to_string(p.firstBurst);
        } else if (key == "MaxBurstLength") {
            p.maxBurst = std::min(Number(value), p.maxBurst);
            reply = std::to_string(p.maxBurst);
        } else if (key == "InitialR2T") {
            p.initialR2t = value == "Yes";  // the result is Yes if either side says Yes
            reply = YesNo(p.initialR2t);
        } else if (key == "ImmediateData") {
            p.immediateData = value == "Yes";  // Yes only if both sides say Yes
            reply = YesNo(p.immediateData);
        } else if (key == "MaxConnections" || key == "MaxOutstandingR2T")
            reply = "1";
        else if (key == "DataPDUInOrder" || key == "DataSequenceInOrder")
            reply = "Yes";
        else if (key == "ErrorRecoveryLevel" || key == "DefaultTime2Retain")
            reply = "0";
        else if (key == "DefaultTime2Wait")
            reply = std::to_string(std::max<std::uint32_t>(Number(value), 2));
        else if (key == "IFMarker" || key == "OFMarker")
            reply = "No";
        else
            reply = "NotUnderstood";
        answer.emplace_back(key, reply);
    }
    return answer;
}

}  // namespace kfs::emu::iscsi
