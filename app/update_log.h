#pragma once
// The update log: what the presenter reports about each update (its start, every failure with
// the cause the transport gave, its outcome), kept apart from the window's list and boxes, whose
// texts stay as they are. The Windows program appends it to a file a user can attach to a report.
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "drive/transport.h"

namespace kfs {

// Why a failure came about, as far as the commands tell: the last command that failed before
// it was reported, with the sense the drive returned. No command when the program itself found
// the fault (a check sum that differs, an image the drive cannot take).
struct FailureCause {
    std::optional<std::uint8_t> opcode;
    SenseData sense{};
    // Commands that completed between the failed one and the report.
    int commandsSince = 0;
    // A command that did not complete carries the system's or the adapter's code instead of
    // sense: the sense of a command that never reached the drive says nothing.
    CommandResult::CodeKind errorKind = CommandResult::CodeKind::None;
    std::uint32_t errorCode = 0;
    // The last write command of the update that failed (and did not go through when it was sent
    // again): named beside the cause when a later step failed for a reason of its own, so that
    // a log never blames only the verification of an update whose write was refused.
    std::optional<SentCommand> failedWrite = std::nullopt;
};

// The cause a failed command gives, as FailedCommandRecorder reports it.
FailureCause CauseOf(const SentCommand& failed, int commandsSince = 0);

// "command 3B WRITE BUFFER failed: sense 05/24/00 ILLEGAL REQUEST, INVALID FIELD IN CDB", with
// how many commands followed it when any did; "no command failed" without a command. A failed
// write other than that command follows: "; before it, write command FD failed: sense ...";
// without a command the failed write is the cause.
std::string DescribeCause(const FailureCause& cause);

struct UpdateStart {
    int driveIndex = 0;
    std::string drive;  // the drive's list entry: model, version, date code
    std::string image;  // the selected firmware as Edit1 shows it
    std::uint32_t imageLength = 0;
    std::string checkSum;  // as Edit2 shows it
};

class UpdateLog {
  public:
    virtual ~UpdateLog() = default;
    virtual void UpdateStarted(const UpdateStart& start) = 0;
    // `text` is the failure text the program shows (or would show in the other role).
    virtual void Failure(const std::string& text, const FailureCause& cause) = 0;
    virtual void UpdateEnded(const std::string& outcome) = 0;
};

// The local time as "2026-12-10 16:45:03".
std::string LocalTimeText();

// Appends one block of lines per update to a text file. Each line is written and the file closed
// at once, so a program that is ended mid-update leaves its log up to the last line. A file that
// cannot be written is skipped silently: the log never stands in an update's way.
class FileUpdateLog final : public UpdateLog {
  public:
    using Clock = std::function<std::string()>;
    explicit FileUpdateLog(std::string path, Clock now = LocalTimeText);

    void UpdateStarted(const UpdateStart& start) override;
    void Failure(const std::string& text, const FailureCause& cause) override;
    void UpdateEnded(const std::string& outcome) override;

    const std::string& path() const { return path_; }

  private:
    void Append(const std::string& line) const;

    std::string path_;
    Clock now_;
};

// A transport that passes every command on, so that the presenter has a record of the last
// failed command (Transport::LastFailure) of its own, which no other user of the inner transport
// forgets or replaces, and counts the commands that completed after it.
class FailedCommandRecorder final : public Transport {
  public:
    explicit FailedCommandRecorder(Transport& inner) : inner_(inner) {}

    SenseData GetSenseData() const override { return inner_.GetSenseData(); }
    int DriveCount() const override { return inner_.DriveCount(); }

    // The cause as of now: the last failed command since ForgetFailure, or none, with the last
    // failed write command since BeginUpdate.
    FailureCause Cause() const;

    // A new update: no failure on record, no write sent.
    void BeginUpdate();
    // True once a write command (one that may change the flash, IsFlashWrite) has been sent
    // since BeginUpdate whose result does not show that the drive left it undone: the flash may
    // no longer hold what it held. False while every one of them never reached the drive or was
    // declined by it.
    bool FlashMayHaveChanged() const { return flashMayHaveChanged_; }

  protected:
    CommandResult Execute(DriveIndex drive, const Cdb& cdb, std::uint8_t* buffer,
                          std::uint16_t length, std::uint8_t direction,
                          std::uint32_t timeoutMs) override;

  private:
    Transport& inner_;
    int commandsSince_ = 0;
    std::optional<SentCommand> failedWrite_;
    bool flashMayHaveChanged_ = false;
};

}  // namespace kfs
