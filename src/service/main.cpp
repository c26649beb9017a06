// VantaroLauncherService: the daemon's process entry.
//
// Without TEST_MODE the daemon runs under the service dispatcher. On POSIX that is systemd
// (Type=notify, NOTIFY_SOCKET set) or, started from a console, the foreground: SIGTERM and
// SIGINT (Ctrl+C) are the stop control and the process ends with 0 once the service has
// stopped cleanly, or with the service's own exit code (7 when the HTTP server could not
// run), so that systemd's Restart=on-failure applies. With TEST_MODE=raw in "launcher.conf" the
// service body runs on the main thread with no service manager and no control handler: a signal
// ends the process as it would any program, and a server that cannot run ends it with 10.
#include <chrono>
#include <cstdlib>
#include <exception>
#include <iostream>
#include <string>
#include <thread>

#include "base/config.h"
#include "base/folders.h"
#include "base/logger.h"
#include "base/return_code.h"
#include "front/win_http_server.h"
#include "platform/crash_handler.h"
#include "service/launch_daemon.h"

namespace {

void SleepForDebugger() {
    const char* value = std::getenv("QVYLD_DEBUG");
    if (value == nullptr || value[0] == '\0') {
        return;
    }
    const int milliseconds = std::stoi(value);  // a text that is no number ends main
    Logger::Debug(std::string("[MAIN]Sleeping for ") + value + " ms");
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

int Run() {
    SleepForDebugger();
    if (!LaunchDaemon::MetaInit(FolderContext::SERVICE, LaunchDaemon::kApplicationName, "", "")) {
        Logger::Warn("[MAIN]Fail to init MetaObject !");
    }
    Logger::Debug("[MAIN]starting daemon's main !");
    if (Config::IsActivated(ConfigId::WAIT_FOR_DEBUG)) {
        Logger::Debug("[MAIN]waiting for debug !");
        std::cin.get();
    }
    std::string testMode;
    if (!Config::GetVariable(ConfigId::TEST_MODE, testMode)) {
        Logger::Debug("[MAIN]test mode not activated !");
    }
    if (!LaunchDaemon::Init(LaunchDaemon::kServiceName, LaunchDaemon::kDisplayName)) {
        Logger::Error("[MAIN]Fail to init the daemon class !");
        return ReturnCode::RC_SERVICE_INIT_FAILED;
    }
    if (testMode == "raw") {
        if (!LaunchDaemon::StartEx()) {
            Logger::Error("[MAIN]Fail to run the daemon in Ex mode !");
            return ReturnCode::RC_SERVICE_START_FAILED;
        }
    } else if (!LaunchDaemon::Start()) {
        Logger::Error("[MAIN]Fail to run the daemon !");
        return ReturnCode::RC_SERVICE_START_FAILED;
    }
    Logger::Debug("[MAIN] execution finished !");
    return testMode == "raw" ? 0 : LaunchDaemon::ExitCode();
}

}  // namespace

int main() {
    platform::InstallCrashHandler();
    int code = 0;
    try {
        code = Run();
    } catch (const std::exception& e) {
        Logger::Error(std::string("{MAIN}Exception thrown : ") + e.what());
        code = 0;
    }
    if (WinHttpServer::ActiveRequests() != 0) {
        // Request threads still run a main function: the process ends without tearing down
        // the objects they use.
        std::cout.flush();
        std::_Exit(code);
    }
    return code;
}
