// user_manager.h: the calling user's own service manager (user@UID.service), reached over
// the user's D-Bus bus ($DBUS_SESSION_BUS_ADDRESS, else $XDG_RUNTIME_DIR/bus).
//
// A program handed over to it runs as a transient service of the user: it belongs to the
// user, not to the daemon that asked for it, so stopping the worker or the daemon (and the
// daemon's control group) leaves it running, and `systemctl --user` shows it. The unit is a
// service rather than a scope: a scope can only adopt processes that the manager may move,
// and the caller (the worker) sits in the daemon's control group, outside the user's tree.
// A service normally ends, killing what is left in it, when its main process exits; the
// start tool exits right after starting the application, so the unit is told to live until
// its whole control group is empty (ExitType=cgroup), or, with managers that predate that
// setting, to remain after the main process exits (RemainAfterExit).
//
// These calls are meant for a process that already runs as the user. The daemon itself
// (root) does not call them: it would have to speak on the user's bus in the user's name.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace platform::posix {

// TransientService describes one program to start in the user's service manager.
struct TransientService {
    std::string path;               // the resolved program file
    std::vector<std::string> argv;  // argv[0] included
    std::vector<std::string> env;   // "NAME=value", set on top of the manager's own
    std::string workingDirectory;   // empty: the user's home folder
};

// StartTransientService asks the user's manager to run the program and gives the unit's
// name. SUCCESS; NOT_SUPPORTED when no manager answers on the user's bus (the caller then
// starts the program itself); GEN_FAILURE when the manager refused the unit.
std::uint32_t StartTransientService(const TransientService& service, std::string& unit);

// ServiceWatch follows one transient service started by StartWatchedService. Its connection
// holds a reference on the unit (AddRef), so the manager keeps the unit, and the exit status
// of its main process, until the watch is destroyed; the unit is then collected once
// inactive. Destroying the watch leaves the program running.
class ServiceWatch {
  public:
    struct State;

    explicit ServiceWatch(std::unique_ptr<State> state);
    ~ServiceWatch();
    ServiceWatch(const ServiceWatch&) = delete;
    ServiceWatch& operator=(const ServiceWatch&) = delete;

    const std::string& Unit() const;
    // Wait gives SUCCESS with the main process's exit code once it has ended (128 + the
    // signal number when it was killed), WAIT_TIMED_OUT when timeoutMs (0xFFFFFFFF: no
    // limit) passed first, GEN_FAILURE when the unit failed before its main process ran or
    // the manager no longer answers.
    std::uint32_t Wait(std::uint32_t timeoutMs, std::uint32_t& exitCode);
    // HasEnded tells whether the main process has ended (or can no longer be followed).
    bool HasEnded();

  private:
    std::unique_ptr<State> state_;
};

// StartWatchedService is StartTransientService with a watch that can wait for the main
// process's exit code: the program is handed over to the user and still waited for.
std::uint32_t StartWatchedService(const TransientService& service,
                                  std::unique_ptr<ServiceWatch>& watch);

// UserManagerEnvironment reads the manager's environment ("NAME=value" entries: DISPLAY,
// WAYLAND_DISPLAY, XAUTHORITY, DBUS_SESSION_BUS_ADDRESS and what the session exported).
// False when no manager answers.
bool UserManagerEnvironment(std::vector<std::string>& env);

}  // namespace platform::posix
