#include "emulator/iscsi/connection.h"

#include <algorithm>
#include <cstring>

namespace kfs::emu::iscsi {

namespace {

// Commands the initiator may send beyond the one it waits for.
constexpr std::uint32_t kCommandWindow = 32;
// No command of a CD-ROM drive moves more (the kernel's largest reads stay far below); a larger
// expected length is refused before a buffer is made for it.
constexpr std::uint32_t kMaxTransfer = 16u << 20;
constexpr std::uint16_t kSessionHandle = 1;
constexpr std::uint8_t kStageSecurity = 0;
constexpr std::uint8_t kStageFullFeature = 3;
constexpr std::uint8_t kTransitBit = 0x80;

// Login status class and detail.
constexpr std::uint16_t kLoginNotFound = 0x0203;
constexpr std::uint16_t kLoginInitiatorError = 0x0200;

// Reject reasons.
constexpr std::uint8_t kRejectNotSupported = 0x05;
constexpr std::uint8_t kRejectProtocolError = 0x04;

bool Reads(const Pdu& command) {
    return (command.bhs[1] & 0x40) != 0;
}

bool Writes(const Pdu& command) {
    return (command.bhs[1] & 0x20) != 0;
}

}  // namespace

void Connection::Serve() {
    if (!Login())
        return;
    Pdu request;
    while (NextRequest(request)) {
        bool ok = true;
        switch (request.Opcode()) {
            case kScsiCommand:
                ok = !discovery_ ? OnScsiCommand(request) : Reject(request, kRejectProtocolError);
                break;
            case kTextRequest:
                ok = OnText(request);
                break;
            case kNopOut:
                ok = OnNop(request);
                break;
            case kTaskRequest:
                ok = OnTask(request);
                break;
            case kLogoutRequest:
                OnLogout(request);
                return;
            case kDataOut:  // data for no command that waits for it: dropped
                break;
            default:
                ok = Reject(request, kRejectNotSupported);
        }
        if (!ok)
            return;
    }
}

bool Connection::NextRequest(Pdu& request) {
    if (setAside_.empty())
        return ReadPdu(fd_, request);
    request = std::move(setAside_.front());
    setAside_.pop_front();
    return true;
}

bool Connection::InWindow(const Pdu& request) const {
    // Serial number arithmetic: how far the CmdSN lies beyond the one expected.
    return request.Immediate() || request.U32(24) - expCmdSn_ < kCommandWindow;
}

void Connection::Accept(const Pdu& request) {
    // Immediate requests do not take a place in the command order.
    if (!request.Immediate())
        expCmdSn_ = request.U32(24) + 1;
}

bool Connection::Send(Pdu& pdu) {
    pdu.Put32(28, expCmdSn_);
    pdu.Put32(32, expCmdSn_ + kCommandWindow - 1);
    return WritePdu(fd_, pdu);
}

bool Connection::Answer(Pdu& response) {
    response.Put32(24, statSn_++);
    return Send(response);
}

// ---- login ---------------------------------------------------------------------------------

bool Connection::Login() {
    Pdu request;
    bool first = true;
    while (ReadPdu(fd_, request)) {
        if (request.Opcode() != kLoginRequest)
            return false;
        const Keys offered = ParseKeys(request.data);
        Pdu response = MakeResponse(kLoginResponse);
        std::copy_n(request.bhs.begin() + 8, 6, response.bhs.begin() + 8);  // ISID
        response.Put32(16, request.Itt());
        if (first) {
            expCmdSn_ = request.U32(24);
            statSn_ = request.U32(28);
            discovery_ = Find(offered, "SessionType") == "Discovery";
            const std::string name = Find(offered, "TargetName");
            const std::uint16_t refusal = Find(offered, "InitiatorName").empty()
                                              ? kLoginInitiatorError
                                          : !discovery_ && name != target_.name ? kLoginNotFound
                                                                                : 0;
            if (refusal != 0) {
                response.bhs[1] = 0;
                response.Put16(36, refusal);
                Answer(response);
                return false;
            }
        }
        Keys answer = AnswerLoginKeys(offered, parameters_);
        const std::uint8_t current = (request.bhs[1] >> 2) & 0x03;
        const std::uint8_t next = request.bhs[1] & 0x03;
        const bool transit = (request.bhs[1] & kTransitBit) != 0;
        const bool done = transit && next == kStageFullFeature;
        if (!discovery_ && (first || done))
            answer.emplace_back("TargetPortalGroupTag", "1");
        if (current == kStageSecurity && Find(offered, "AuthMethod").empty() && first)
            answer.emplace_back("AuthMethod", "None");
        response.bhs[1] = static_cast<std::uint8_t>((transit ? kTransitBit : 0) | current << 2 |
                                                    (transit ? next : 0));
        if (done)
            response.Put16(14, kSessionHandle);
        response.data = FormatKeys(answer);
        if (!Answer(response))
            return false;
        first = false;
        if (done)
            return true;
    }
    return false;
}

// ---- SCSI commands -------------------------------------------------------------------------

bool Connection::OnScsiCommand(const Pdu& command) {
    if (!InWindow(command))
        return true;  // outside the command window: ignored, as if never sent
    Accept(command);
    const std::uint32_t expected = command.U32(20);
    if (expected > kMaxTransfer) {
        // Data-Out that follows it finds no command waiting and is dropped.
        const bridge::Answer refused{bridge::kStatusCheckCondition, MakeSense(0x05, 0x24, 0x00), 0,
                                     true, Reads(command)};
        return SendStatus(command, refused, expected, true);
    }
    std::vector<std::uint8_t> buffer(expected, 0);
    if (Writes(command) && !ReceiveData(command, buffer))
        return false;
    const bridge::Answer answer =
        target_.Run(command.Lun(), command.bhs.data() + 32, buffer.data(), expected);
    // A hung drive: no status ever comes. The connection goes on serving the initiator (its
    // NOP-Outs, its other units), which in the end aborts the task when its time-out runs out.
    if (answer.unanswered)
        return true;
    if (!Reads(command) || answer.status != bridge::kStatusGood) {
        // Nothing came in: a read that failed leaves all its length over.
        const std::uint32_t residual = Reads(command) ? expected : 0;
        return SendStatus(command, answer, residual, residual > 0);
    }
    const std::uint32_t count = std::min(answer.dataIn, expected);
    if (count == 0)
        return SendStatus(command, answer, expected, expected > 0);
    return SendDataIn(command, buffer, count, expected);
}

// Immediate data, unsolicited Data-Out up to the first burst, then one R2T at a time for the
// rest; Data-Out PDUs may land at any offset of the buffer.
bool Connection::ReceiveData(const Pdu& command, std::vector<std::uint8_t>& buffer) {
    const std::uint32_t total = static_cast<std::uint32_t>(buffer.size());
    std::uint32_t received = 0;
    const auto take = [&](const std::vector<std::uint8_t>& data, std::uint32_t offset) {
        if (offset > total)
            return;
        const auto n =
            static_cast<std::uint32_t>(std::min<std::size_t>(data.size(), total - offset));
        std::copy_n(data.begin(), n, buffer.begin() + offset);
        received = std::max(received, offset + n);
    };
    take(command.data, 0);
    // Unsolicited Data-Out follows when the initiator need not wait for an R2T, until a PDU
    // with the final bit.
    const std::uint32_t unsolicited = std::min(parameters_.firstBurst, total);
    bool more = !parameters_.initialR2t && received < unsolicited;
    Pdu data;
    // An initiator with several commands queued may send the next ones among this one's data.
    const auto next_data = [&](std::uint32_t ttt) {
        while (ReadPdu(fd_, data)) {
            if (data.Opcode() == kDataOut && data.Itt() == command.Itt() && data.U32(20) == ttt)
                return true;
            if (data.Opcode() != kDataOut)
                setAside_.push_back(data);
        }
        return false;
    };
    while (more) {
        if (!next_data(kNoTag))
            return false;
        take(data.data, data.U32(40));
        more = !data.Final();
    }
    std::uint32_t r2t_sn = 0;
    while (received < total) {
        const std::uint32_t burst = std::min(parameters_.maxBurst, total - received);
        Pdu r2t = MakeResponse(kR2t);
        r2t.PutLun(command.Lun());
        r2t.Put32(16, command.Itt());
        const std::uint32_t ttt = nextTtt_++;
        r2t.Put32(20, ttt);
        r2t.Put32(24, statSn_);
        r2t.Put32(36, r2t_sn++);
        r2t.Put32(40, received);
        r2t.Put32(44, burst);
        if (!Send(r2t))
            return false;
        const std::uint32_t end = received + burst;
        do {
            if (!next_data(ttt))
                return false;
            take(data.data, data.U32(40));
        } while (!data.Final());
        received = std::max(received, end);
    }
    return true;
}

// Data-In PDUs no longer than the initiator takes; the last one carries the status and the
// residual count when fewer bytes came than were expected.
bool Connection::SendDataIn(const Pdu& command, const std::vector<std::uint8_t>& buffer,
                            std::uint32_t count, std::uint32_t expected) {
    std::uint32_t offset = 0, data_sn = 0;
    while (offset < count) {
        const std::uint32_t n = std::min(parameters_.peerMaxRecv, count - offset);
        const bool last = offset + n == count;
        Pdu in = MakeResponse(kDataIn);
        in.bhs[1] = last ? 0x81 : 0x00;  // final, with status
        if (last && count < expected)
            in.bhs[1] |= 0x02;  // underflow
        in.PutLun(command.Lun());
        in.Put32(16, command.Itt());
        in.Put32(20, kNoTag);
        in.Put32(36, data_sn++);
        in.Put32(40, offset);
        if (last)
            in.Put32(44, expected - count);
        in.data.assign(buffer.begin() + offset, buffer.begin() + offset + n);
        const bool sent = last ? Answer(in) : (in.Put32(24, statSn_), Send(in));
        if (!sent)
            return false;
        offset += n;
    }
    return true;
}

bool Connection::SendStatus(const Pdu& command, const bridge::Answer& answer,
                            std::uint32_t residual, bool underflow) {
    Pdu response = MakeResponse(kScsiResponse);
    response.bhs[1] = static_cast<std::uint8_t>(kFinalBit | (underflow ? 0x02 : 0));
    response.bhs[3] = answer.status;
    response.Put32(16, command.Itt());
    response.Put32(44, residual);
    if (answer.status == bridge::kStatusCheckCondition) {
        // Sense data with its 2-byte length in front.
        const auto& sense = answer.sense;
        response.data.assign({0, static_cast<std::uint8_t>(sense.size())});
        response.data.insert(response.data.end(), sense.begin(), sense.end());
    }
    return Answer(response);
}

// ---- the other requests --------------------------------------------------------------------

bool Connection::OnText(const Pdu& request) {
    Accept(request);
    Keys answer;
    for (const auto& [key, value] : ParseKeys(request.data)) {
        if (key == "SendTargets" && (value == "All" || value == target_.name || value.empty())) {
            answer.emplace_back("TargetName", target_.name);
            answer.emplace_back("TargetAddress", target_.address);
        } else if (key != "SendTargets") {
            answer.emplace_back(key, "NotUnderstood");
        }
    }
    Pdu response = MakeResponse(kTextResponse);
    response.Put32(16, request.Itt());
    response.Put32(20, kNoTag);
    response.data = FormatKeys(answer);
    return Answer(response);
}

bool Connection::OnNop(const Pdu& request) {
    Accept(request);
    if (request.Itt() == kNoTag)  // an answer to a NOP-In of ours: nothing to say
        return true;
    Pdu response = MakeResponse(kNopIn);
    std::copy_n(request.bhs.begin() + 8, 8, response.bhs.begin() + 8);
    response.Put32(16, request.Itt());
    response.Put32(20, kNoTag);
    response.data = request.data;
    return Answer(response);
}

bool Connection::OnTask(const Pdu& request) {
    // Commands run to their end before the next request is read, so whatever the function
    // names is already done; a command the drive never answers is forgotten already.
    Accept(request);
    Pdu response = MakeResponse(kTaskResponse);
    response.bhs[2] = 0;  // function complete
    response.Put32(16, request.Itt());
    return Answer(response);
}

bool Connection::OnLogout(const Pdu& request) {
    Accept(request);
    Pdu response = MakeResponse(kLogoutResponse);
    response.bhs[2] = 0;  // connection or session closed successfully
    response.Put32(16, request.Itt());
    return Answer(response);
}

bool Connection::Reject(const Pdu& request, std::uint8_t reason) {
    Pdu reject = MakeResponse(kReject);
    reject.bhs[2] = reason;
    reject.Put32(16, kNoTag);
    reject.data.assign(request.bhs.begin(), request.bhs.end());
    return Answer(reject);
}

}  // namespace kfs::emu::iscsi
