#pragma once
// A Transport for tests: records every command and answers from a script of replies (data
// copied into the caller's buffer, a result and sense data); when the script runs out, commands
// succeed without data.
#include <algorithm>
#include <cstring>
#include <deque>
#include <vector>

#include "drive/transport.h"

namespace kfs::test {

class FakeTransport : public Transport {
  public:
    struct Sent {
        DriveIndex drive;
        Cdb cdb;
        std::uint16_t length;
        std::uint8_t direction;
        std::uint32_t timeoutMs;
        std::vector<std::uint8_t> dataOut;
    };
    struct Reply {
        bool ok = true;
        std::vector<std::uint8_t> data;  // copied into the buffer (data in), at most `length`
        SenseData sense{};
    };

    explicit FakeTransport(int driveCount = 1) : count(driveCount) {}

    CommandResult Execute(DriveIndex drive, const Cdb& cdb, std::uint8_t* buffer,
                          std::uint16_t length, std::uint8_t direction,
                          std::uint32_t timeoutMs) override {
        Sent s{drive, cdb, length, direction, timeoutMs, {}};
        if (direction == kDirOut && buffer)
            s.dataOut.assign(buffer, buffer + length);
        sent.push_back(s);
        Reply r;
        if (!replies.empty()) {
            r = replies.front();
            replies.pop_front();
        }
        if (buffer && direction == kDirIn && !r.data.empty())
            std::memcpy(buffer, r.data.data(), std::min<std::size_t>(r.data.size(), length));
        sense = r.sense;
        return r.ok ? CommandResult::Good() : CommandResult::Check(r.sense);
    }
    SenseData GetSenseData() const override { return sense; }
    int DriveCount() const override { return count; }

    static SenseData Sense(std::uint8_t key, std::uint8_t asc, std::uint8_t ascq = 0) {
        SenseData s{};
        s[0] = 0x70;
        s[2] = key;
        s[7] = 10;
        s[12] = asc;
        s[13] = ascq;
        return s;
    }

    int count;
    std::vector<Sent> sent;
    std::deque<Reply> replies;
    SenseData sense{};
};

}  // namespace kfs::test
