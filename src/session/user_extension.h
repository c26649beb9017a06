// UserExtension owns the worker of one user session: the GUI executable started in worker
// mode as the session's user, inside a process group that ends it (and what it started)
// when the group is closed. The daemon never acts as the user itself; everything that must
// happen on the user's side is one JSON request and one JSON reply over the worker's pipe,
// one connection per operation.
//
// Lifecycle: constructed (not set up) -> started (set up, running) -> ended (set up, not
// running: the worker exited, was killed, or could not be queried) -> cleaned (not set up).
// Start from the ended state cleans first and starts a new worker under a new pipe name.
//
// Thread safety: the lifecycle state is guarded by the instance's own lock, so concurrent
// operations on one worker are safe; each operation uses its own pipe connection, which the
// lock does not cover, and the worker serves several connections at once.
#pragma once

#include <cstdint>
#include <mutex>
#include <stop_token>
#include <string>

#include "base/json/json.h"
#include "platform/message_pipe.h"
#include "platform/process.h"
#include "platform/runtime_folder.h"

class UserExtension {
  public:
    explicit UserExtension(std::uint32_t sessionId);
    ~UserExtension();
    UserExtension(const UserExtension&) = delete;
    UserExtension& operator=(const UserExtension&) = delete;

    // Start makes sure a worker runs for the session: true if one was running or started.
    bool Start();
    // IsRunning tells whether the worker is alive and records its exit code once it ended.
    bool IsRunning();
    // RunOperation starts the worker if needed, sends request and reads one reply; true only
    // when the reply parsed as JSON, whose root then goes to reply. Once stop is stopped (the
    // client of the request has gone) it gives up waiting, releases its connection and
    // returns false; the worker's operation may run on.
    bool RunOperation(const JSON::JSONItem* request, JSON::ItemPtr& reply,
                      std::stop_token stop = {});
    // Kill makes the worker end: true if none was running or it ended.
    bool Kill();
    // Stop kills the worker and releases everything it held; false if never set up or the
    // kill failed.
    bool Stop();

    std::uint32_t GetSessionId() const { return sessionId_; }
    std::string GetPipeName() const;
    std::uint32_t GetProcessId() const;
    std::int32_t GetExitCode() const;

    // BaseExecutablePath is the worker executable, fixed at the first construction.
    static std::string BaseExecutablePath();
    // ResetForTests forgets the base executable path.
    static void ResetForTests();

  private:
    bool StartLocked();
    bool IsRunningLocked();
    bool KillLocked();
    bool LaunchLocked(const std::string& commandLine);
    bool StopThroughWindow();
    bool EndThroughGroup();
    void CleanUpLocked();
    bool openPipe(platform::PipeConnection& pipe, const std::string& pipeName,
                  const platform::RuntimeOwner& owner, const std::stop_token& stop = {});
    bool Exchange(platform::PipeConnection& pipe, const std::string& request, std::string& reply);
    static bool ParseReply(const std::string& answer, JSON::ItemPtr& reply);

    mutable std::recursive_mutex mutex_;
    platform::ProcessHandle process_;
    std::uint32_t processId_ = 0;
    platform::ProcessGroup job_;
    std::string pipeName_;
    const std::uint32_t sessionId_;
    bool setUp_ = false;
    bool running_ = false;
    std::int32_t exitCode_ = -1;
    // Whose runtime folder the pipe is in: the session's user, or the daemon itself when the
    // test harness starts the worker without a user.
    platform::RuntimeOwner owner_;
};
