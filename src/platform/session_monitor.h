// session_monitor.h: waiting for the list of sessions to change, without polling, so that a
// program in a user's session can end with that session and otherwise sleep.
//
// POSIX: the session file's folder when QVYLD_SESSION_FILE is set (inotify), else the login
// manager's session list (sd_login_monitor), else the login records file (inotify).
// Windows: not available (the tray program there ends with its session by itself).
#pragma once

#include <cstdint>
#include <memory>

namespace platform {

class SessionMonitor {
  public:
    struct Impl;

    SessionMonitor();
    ~SessionMonitor();
    SessionMonitor(const SessionMonitor&) = delete;
    SessionMonitor& operator=(const SessionMonitor&) = delete;

    // Open starts watching. SUCCESS, NOT_SUPPORTED where there is nothing to watch, or an
    // error.
    std::uint32_t Open();
    // Wait blocks until the sessions may have changed: SUCCESS, OPERATION_ABORTED once
    // Interrupt was called, or an error.
    std::uint32_t Wait();
    // Interrupt ends the current and every later Wait; any thread may call it.
    void Interrupt();

  private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace platform
