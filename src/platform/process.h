// Processes started by the daemon: as the user of a session, or in the daemon's own context,
// optionally as members of a ProcessGroup that ends them all when it is closed.
//
// Errors are system error numbers of the Windows space: 0 success, 2 program not found,
// 3 path not found, 5 access denied, 8 not enough memory, 87 invalid parameter, 193 not an
// executable, 1008 no token (the session has no user the daemon may start a process as).
// "Could not start" is always such an error from the launch call, never an exit code: a
// program that starts and exits 127 is reported by Wait as 127.
//
// POSIX notes:
//  - A daemon running as root starts session processes as the session's user: supplementary
//    groups, group, then user are switched, each checked, before anything of the program
//    runs. The environment is the user's only: HOME, USER, LOGNAME, SHELL, a fixed PATH,
//    LANG when the daemon has one, XDG_RUNTIME_DIR and DBUS_SESSION_BUS_ADDRESS when the
//    user's runtime folder exists, DISPLAY / WAYLAND_DISPLAY where the session has one, then
//    the display and bus variables (DISPLAY, WAYLAND_DISPLAY, XAUTHORITY,
//    DBUS_SESSION_BUS_ADDRESS, XDG_SESSION_TYPE and the desktop names) found in the session
//    leader's environment (when it runs as the user or root), then the caller's extra
//    entries; a later entry replaces an earlier one of its name. The worker then adopts the
//    user's service manager's environment (AdoptSessionEnvironment). The working folder is the
//    given one, else HOME, else "/". A daemon not running as root can start processes for its own
//    user's session only; any other user gives 1008, as a missing token does.
//  - Children keep descriptors 0, 1 and 2 only; 0 reads /dev/null.
//  - A program name without a slash is searched in the PATH of the new environment.
//  - ProcessGroup members run in their own session (setsid) and die with the daemon: they
//    get a parent-death signal, and are forked by one long-lived thread because that
//    signal follows the forking thread, not the process. Closing the group kills, with
//    SIGKILL, every process of each member's session and process group and every
//    descendant of a member found by walking /proc, and returns once they have all ended.
//    Limits: a descendant that leaves the member's session and is orphaned before the
//    group closes can no longer be told apart from other processes and escapes, and only
//    members themselves die with the daemon; a cgroup per group would close both gaps.
//    The daemon is deliberately not a child subreaper: it could not tell such orphans
//    apart either, and reaping them would take exit statuses from other code's children.
//  - breakAwayFromJob without a group hands the process over to the user's session: it is
//    in no group of the caller, not in the caller's session or process group, and no
//    descendant of the caller (a short-lived intermediate forks it, so init adopts it), and
//    it gets no parent-death signal. It outlives the caller, the worker and the daemon. Its
//    handle sees its end but not its exit code (0xFFFFFFFF). LaunchAsSelf first offers such
//    a program to the caller's own service manager (a transient service of user@UID, see
//    posix/user_manager.h) and starts it itself only when no manager answers; the daemon's
//    own control group is then left by the manager, not by us. With a group, the flag has
//    no effect: the group holds the process (the worker).
//  - reportExit with such a hand-over keeps the exit code: the transient service is started
//    with a reference held by the handle, which reads its main process's exit status from
//    the manager; without a manager, the short-lived intermediate forks a waiter instead,
//    which stays in the program's new session, forks the program, waits for it and writes
//    its exit code to a pipe that the handle reads. Neither the waiter nor the program is
//    the caller's descendant. The handle of a service has no pid (0) and cannot terminate
//    it; a waiter killed before its program ended reports 0xFFFFFFFF.
//  - Handles closed before their process ended hand it to a reaper, so no zombie stays.
//  - Exit codes: a process ended by a signal reports 128 + the signal number; a status
//    collected by someone else (SIGCHLD ignored) reports 0xFFFFFFFF.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace platform {

// kInfiniteWait makes ProcessHandle::Wait wait without a limit.
inline constexpr std::uint32_t kInfiniteWait = 0xFFFFFFFFu;

// LaunchOptions describes a process started as the user of a session.
struct LaunchOptions {
    std::uint32_t sessionId = 0;
    std::vector<std::string> argv;  // already split; argv[0] is the program
    // newGroup starts the process in a process group of its own (POSIX: its own session).
    bool newGroup = false;
    // breakAwayFromJob lets the process leave the job (kill-on-close group) that its creator
    // runs in; without a group of its own it then outlives its creator and the daemon.
    bool breakAwayFromJob = false;
    // reportExit, with breakAwayFromJob and no group, keeps the handed-over process waitable:
    // its handle sees its end and its exit code (see the POSIX notes).
    bool reportExit = false;
    std::string workingDirectory;               // empty: the platform's default
    std::vector<std::string> extraEnvironment;  // "NAME=value" entries added last
};

// ProcessHandle owns a started process. Destroying or closing it leaves the process
// running; only Terminate or the process's group ends it.
class ProcessHandle {
  public:
    struct Impl;

    ProcessHandle();
    // Backends hand a started process to its handle with this constructor.
    explicit ProcessHandle(std::unique_ptr<Impl> impl);
    ~ProcessHandle();
    ProcessHandle(ProcessHandle&&) noexcept;
    ProcessHandle& operator=(ProcessHandle&&) noexcept;
    ProcessHandle(const ProcessHandle&) = delete;
    ProcessHandle& operator=(const ProcessHandle&) = delete;

    bool IsValid() const;
    std::uint32_t Pid() const;
    // Wait returns true with the exit code once the process has ended, false when timeoutMs
    // (kInfiniteWait: no limit) passed first or the handle is empty.
    bool Wait(std::uint32_t timeoutMs, std::uint32_t& exitCode);
    bool IsRunning();
    // Terminate ends the process at once; exitCode is what Windows reports, POSIX reports
    // 128 + SIGKILL. False when the process had already ended or the handle is empty.
    bool Terminate(std::uint32_t exitCode);
    // Close releases the handle without touching the process.
    void Close();

    Impl* Get() const { return impl_.get(); }

  private:
    std::unique_ptr<Impl> impl_;
};

// ProcessGroup ends all its members, and what they started, when it is closed or destroyed
// (Windows: a job object that kills on close).
class ProcessGroup {
  public:
    struct Impl;

    ProcessGroup();
    ~ProcessGroup();
    ProcessGroup(ProcessGroup&&) noexcept;
    ProcessGroup& operator=(ProcessGroup&&) noexcept;
    ProcessGroup(const ProcessGroup&) = delete;
    ProcessGroup& operator=(const ProcessGroup&) = delete;

    // Create makes the group ready for members: 0 or an error. Creating an open group
    // closes it first.
    std::uint32_t Create();
    bool IsOpen() const;
    // Close kills every member and their descendants, then forgets them.
    void Close();

    Impl* Get() const { return impl_.get(); }

  private:
    std::unique_ptr<Impl> impl_;
};

// LaunchFailure tells which step of a failed session-user launch failed, for callers whose
// messages differ by step.
enum class LaunchFailure {
    None,
    Token,        // no user to start the process as (error 1008)
    Environment,  // the user's environment could not be built (Windows)
    Creation,     // the process could not be started
};

// LaunchAsSessionUser starts options.argv as the user logged on to options.sessionId, in
// that session; the process joins group when one is given (it must be open). 0 and a filled
// out, or an error and an empty out; failure, when given, tells the failed step.
std::uint32_t LaunchAsSessionUser(const LaunchOptions& options, ProcessGroup* group,
                                  ProcessHandle& out, LaunchFailure* failure = nullptr);

// LaunchAsSelf starts argv in the daemon's own context: its user, environment and working
// folder.
std::uint32_t LaunchAsSelf(const std::vector<std::string>& argv, ProcessGroup* group,
                           ProcessHandle& out);

// LaunchAsSelf starts options.argv in the caller's own context (options.sessionId is not
// used), with its working folder, extra environment and break-away choice. A program that
// the user's service manager took over has no handle (out stays empty) and its unit name in
// serviceUnit, when given; otherwise serviceUnit is cleared. With options.reportExit the
// handle is filled in both cases.
std::uint32_t LaunchAsSelf(const LaunchOptions& options, ProcessGroup* group, ProcessHandle& out,
                           std::string* serviceUnit = nullptr);

// AdoptSessionEnvironment gives the calling process (a program that runs as a session's
// user, before it starts threads) the environment of that user's session: the variables of
// the user's service manager (DISPLAY, WAYLAND_DISPLAY, XAUTHORITY, DBUS_SESSION_BUS_ADDRESS
// and the rest) replace its own. False when there is no such manager (POSIX without one;
// Windows, where the user's token already carries the session's environment).
bool AdoptSessionEnvironment();

}  // namespace platform
