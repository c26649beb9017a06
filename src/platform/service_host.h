// ServiceHost connects the daemon to the system's service manager: it runs the dispatcher,
// delivers control codes to the registered handler and forwards status reports. The shape is
// that of the Windows service control manager, so that the daemon's start, stop and status
// sequence reads the same on every platform.
//
// POSIX: the daemon is a systemd service of type "notify" when NOTIFY_SOCKET is set; each
// report sends "STATUS=<text>" on that socket, plus "READY=1" for running and "STOPPING=1"
// for stop-pending. Without NOTIFY_SOCKET the daemon runs in the foreground and the reports
// only update the status that CurrentStatus returns. Control codes come from signals, read on
// the dispatcher's thread (never in a signal handler): SIGTERM and SIGINT are stop (1),
// SIGHUP is interrogate (4). RunDispatcher blocks these signals in the calling thread and in
// every thread started after it: call it before starting threads.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace platform {

// Service states and control codes, with their Windows values.
inline constexpr std::uint32_t kServiceStopped = 1;
inline constexpr std::uint32_t kServiceStartPending = 2;
inline constexpr std::uint32_t kServiceStopPending = 3;
inline constexpr std::uint32_t kServiceRunning = 4;

inline constexpr std::uint32_t kControlStop = 1;
inline constexpr std::uint32_t kControlPause = 2;
inline constexpr std::uint32_t kControlContinue = 3;
inline constexpr std::uint32_t kControlInterrogate = 4;
inline constexpr std::uint32_t kControlShutdown = 5;

// ServiceStatus is the status record sent with every report.
struct ServiceStatus {
    std::uint32_t serviceType = 16;  // own process
    std::uint32_t currentState = kServiceStartPending;
    std::uint32_t controlsAccepted = 5;  // stop and shutdown
    std::uint32_t win32ExitCode = 0;
    std::uint32_t serviceSpecificExitCode = 0;
    std::uint32_t checkPoint = 0;
    std::uint32_t waitHint = 0;
};

class ServiceHost {
  public:
    using ServiceMain = std::function<void()>;
    using ControlHandler = std::function<void(std::uint32_t control)>;

    // RunDispatcher runs serviceMain on a thread of its own and delivers control codes on the
    // calling thread until the service reports stopped (or serviceMain returns without
    // having registered a handler). False when the dispatcher cannot run: not started by
    // the service manager (Windows), signals cannot be set up, or a dispatcher already runs.
    static bool RunDispatcher(const std::string& serviceName, ServiceMain serviceMain);

    // RegisterHandler installs the control handler of the running service; false outside
    // RunDispatcher or for another service name.
    static bool RegisterHandler(const std::string& serviceName, ControlHandler handler);

    // SetStatus reports the status to the service manager; false when no handler is
    // registered or the manager refuses it.
    static bool SetStatus(const ServiceStatus& status);

    // CurrentStatus is the last status reported.
    static ServiceStatus CurrentStatus();
};

// ProcessExitCode is the exit code with which a process whose service has ended tells the
// service manager how it ended. POSIX: the service-specific code of a failure (0 after a
// clean stop), so that systemd sees the failure and Restart=on-failure applies. Windows: 0,
// as the manager reads the last status report instead.
std::uint32_t ProcessExitCode(const ServiceStatus& status);

// NotifyServiceManager sends one message of the POSIX notify protocol ("READY=1\n...") to
// the socket named by NOTIFY_SOCKET. True when sent; false without NOTIFY_SOCKET or when
// sending fails. A no-op returning false on Windows.
bool NotifyServiceManager(const std::string& message);

}  // namespace platform
