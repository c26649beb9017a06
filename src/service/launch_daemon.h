// LaunchDaemon is the service object: it brings up the infrastructure (folders, configuration,
// logger), hands the process to the service manager or runs the service body in the console,
// reports the service status, answers control codes, and stops the tray channel and the HTTP
// server in that order.
//
// The service body (ServiceWorkerThread) starts the tray channel and then runs the HTTP server
// until it is stopped. Start runs it under the platform's service dispatcher: on Windows the
// service control manager; on POSIX systemd when NOTIFY_SOCKET is set, or the foreground of a
// console otherwise, SIGTERM and SIGINT being the stop control in both cases. StartEx runs it on
// the calling thread with no service manager and no control handler at all (TEST_MODE "raw").
#pragma once

#include <cstdint>
#include <string>

#include "platform/service_host.h"

class LaunchDaemon {
  public:
    static constexpr const char* kServiceName = "QVYLaunchDaemon";
    static constexpr const char* kDisplayName = "Quorvanti Applications Launcher";
    static constexpr const char* kApplicationName = "VantaroLauncher_service";
    static constexpr const char* kDefaultLogFileName = "qvy_log_file";

    LaunchDaemon() = delete;

    // MetaInit initialises, in this order, the folder table for the run context, the
    // configuration from MAIN_DATA/"launcher.conf" and the logger (logFolder when it is an
    // existing folder, else the LOG folder). Context 3 is the test harness.
    static bool MetaInit(std::uint32_t context, const std::string& applicationName,
                         const std::string& logFolder, const std::string& logFileName);
    // Init prepares the status record and the stop event once.
    static bool Init(const std::string& serviceName, const std::string& displayName);

    // Start runs the service dispatcher and returns when the service has ended.
    static bool Start();
    // StartEx runs the service body on the calling thread; true when it ended with 0.
    static bool StartEx();

    static void ServiceMain();
    static void ServiceCtrlHandler(std::uint32_t control);
    // ServiceWorkerThread is the service body: 0, or the return code of what failed.
    static std::int32_t ServiceWorkerThread();
    static void SetStatus(std::uint32_t state, std::uint32_t waitHint, std::uint32_t exitCode,
                          bool log);
    static bool Stop();

    // ExitCode is the process exit code once Start has returned: on POSIX the service-specific
    // code of the last status report (0 after a clean stop), on Windows 0.
    static std::int32_t ExitCode();
    // CurrentStatus is the status record as last set.
    static platform::ServiceStatus CurrentStatus();
    // ResetForTests returns the object to its never-initialised state.
    static void ResetForTests();
};
