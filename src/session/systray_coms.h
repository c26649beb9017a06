// SystrayComs shows the daemon's work in the user's session: it starts the tray program for
// a request and posts window messages to the tray's windows through the request's worker
// (the daemon runs outside the user's session). SystrayOperation and its one kind, Spinner,
// are scope objects: the spinner process shows while a long step runs and is closed (or
// killed through its process group) when the scope ends.
//
// Notifications never make an operation fail: callers only log what these answer.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/process.h"

class ZorvidRequestInfo;

class SystrayComs {
  public:
    // kIndirect is the one delivery mode: through the request's worker.
    static constexpr char kIndirect = 'i';

    // The request must outlive this object. folder is where the tray executable lies (by
    // default the daemon's own folder).
    explicit SystrayComs(const ZorvidRequestInfo& request, char mode = kIndirect,
                         const std::optional<std::string>& folder = std::nullopt);

    // StartSystray starts the tray program in the request's session (nothing under
    // KTV_MODE): true when it was started.
    bool StartSystray() const;
    // ShutdownSystray asks the tray to close.
    bool ShutdownSystray() const;
    // LaunchingApplication and Unzipping post the tray's notices with the caller's values.
    bool LaunchingApplication(std::uint64_t wparam, std::int64_t lparam) const;
    bool Unzipping(std::uint64_t wparam, std::int64_t lparam) const;
    // post hands the message to a window of the class in the request's session.
    bool post(std::uint32_t message, std::uint64_t wparam, std::int64_t lparam,
              const std::string& windowClass) const;

    const ZorvidRequestInfo& Request() const { return *request_; }
    // ExecutablePath is the tray executable.
    std::string ExecutablePath() const;
    bool KtvMode() const { return ktvMode_; }

  private:
    const ZorvidRequestInfo* request_;
    char mode_;
    std::string folder_;
    bool ktvMode_;
};

// SystrayOperation is something shown in the user's session for the length of a scope.
class SystrayOperation {
  public:
    enum Kind : std::uint32_t { SPINNER = 0, PROGRESS = 1 };

    virtual ~SystrayOperation() = default;
    SystrayOperation(const SystrayOperation&) = delete;
    SystrayOperation& operator=(const SystrayOperation&) = delete;

    // Start shows the operation once; true when it shows.
    bool Start();
    // Stop removes it when it shows.
    void Stop();
    bool IsStarted() const { return started_; }
    // KindName is "SPINNER", "PROGRESS" or "UNKNOWN".
    std::string KindName() const;

  protected:
    SystrayOperation(std::uint32_t kind, const SystrayComs& coms) : kind_(kind), coms_(coms) {}
    virtual bool StartInt() = 0;
    virtual bool StopInt() = 0;
    const SystrayComs& Coms() const { return coms_; }

  private:
    bool started_ = false;
    std::uint32_t kind_;
    SystrayComs coms_;
};

// Spinner runs the tray executable in "--spinner" mode in the request's session, in a
// process group of its own.
class Spinner final : public SystrayOperation {
  public:
    Spinner(const SystrayComs& coms, bool start);
    ~Spinner() override;

    std::uint32_t ProcessId() const { return process_.Pid(); }

  protected:
    bool StartInt() override;
    bool StopInt() override;

  private:
    bool Launch(const std::vector<std::string>& argv);

    platform::ProcessHandle process_;
    platform::ProcessGroup job_;
    std::uint32_t sessionId_ = 0;
};
