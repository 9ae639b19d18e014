#pragma once
// One initiator connection: the login (security and operational stages, no authentication),
// then the full feature phase until logout or the end of the stream. Commands run one at a
// time, in the order of their CmdSN; the command window is small enough that the initiator
// never has to be told to wait.
#include <cstdint>
#include <deque>
#include <vector>

#include "emulator/iscsi/login_keys.h"
#include "emulator/iscsi/pdu.h"
#include "emulator/iscsi/target.h"

namespace kfs::emu::iscsi {

class Connection {
  public:
    Connection(int fd, Target& target) : fd_(fd), target_(target) {}
    void Serve();

  private:
    bool Login();
    // The next request: one set aside while a command's data came in, else one from the stream.
    bool NextRequest(Pdu& request);
    bool Answer(Pdu& response);  // fills the sequence numbers, counts StatSN, sends
    bool Send(Pdu& pdu);         // fills ExpCmdSN and MaxCmdSN and sends
    bool InWindow(const Pdu& request) const;
    void Accept(const Pdu& request);

    bool OnScsiCommand(const Pdu& command);
    bool ReceiveData(const Pdu& command, std::vector<std::uint8_t>& buffer);
    bool SendDataIn(const Pdu& command, const std::vector<std::uint8_t>& buffer,
                    std::uint32_t count, std::uint32_t expected);
    bool SendStatus(const Pdu& command, const bridge::Answer& answer, std::uint32_t residual,
                    bool underflow);
    bool OnText(const Pdu& request);
    bool OnNop(const Pdu& request);
    bool OnTask(const Pdu& request);
    bool OnLogout(const Pdu& request);
    bool Reject(const Pdu& request, std::uint8_t reason);

    int fd_;
    Target& target_;
    SessionParameters parameters_;
    bool discovery_ = false;
    std::uint32_t statSn_ = 1;
    std::uint32_t expCmdSn_ = 0;
    std::uint32_t nextTtt_ = 1;
    std::deque<Pdu> setAside_;  // requests that arrived among a command's Data-Out
};

}  // namespace kfs::emu::iscsi
