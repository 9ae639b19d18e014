#pragma once
// Restarting the machine after an update: on Windows the shutdown privilege is enabled for the
// process and the system is asked to reboot. Behind an interface so that tests (and the terminal
// front end, which never restarts) can stand in for it.
namespace kfs {

class RestartService {
  public:
    virtual ~RestartService() = default;
    // Enables the shutdown privilege and asks the system to restart. The caller goes on and
    // returns normally; the system then ends the program.
    virtual void RequestRestart() = 0;
};

// Counts the requests and does nothing else.
class RecordingRestart : public RestartService {
  public:
    void RequestRestart() override { ++requests; }
    int requests = 0;
};

#ifdef _WIN32
// "SeShutdownPrivilege" on the process token, then ExitWindowsEx with the reboot flag.
class Win32Restart : public RestartService {
  public:
    void RequestRestart() override;
};
#endif

}  // namespace kfs
