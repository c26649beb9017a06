#include "service/launch_daemon.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>

#include "base/config.h"
#include "base/folders.h"
#include "base/logger.h"
#include "base/return_code.h"
#include "base/toolbox.h"
#include "base/zorvid_request_info.h"
#include "core/functionnal_core.h"
#include "front/win_http_server.h"
#include "platform/crash_handler.h"
#include "session/shared_data.h"
#include "session/systray_coms.h"

namespace {

// After the dispatcher has returned, the service body only has its last reports to make.
constexpr std::chrono::seconds kWorkerEndWait{10};

// DaemonState is the service object's process-wide state. The flags are read by the
// dispatcher thread and the worker thread; atomics keep those reads well defined.
struct DaemonState {
    std::atomic<bool> initialised{false};
    std::atomic<bool> metaInitialised{false};
    std::atomic<bool> running{false};
    std::atomic<bool> stopping{false};
    std::string serviceName;
    std::string displayName;
    std::atomic<bool> statusRegistered{false};

    std::mutex statusMutex;  // guards status, checkPoint and stoppedReported
    platform::ServiceStatus status;
    std::uint32_t checkPoint = 0;
    // The control handler and the service's thread both end with STOPPED; the service manager
    // hears it once, as nothing may follow it (Wine's dispatcher hangs on a second one).
    bool stoppedReported = false;

    // The stop event (manual reset): set once the HTTP server has ended.
    std::mutex eventMutex;
    std::condition_variable eventSet;
    bool stopEvent = false;
    bool workerEnded = false;

    std::thread worker;
};

DaemonState& State() {
    static DaemonState state;
    return state;
}

void SignalStopEvent() {
    DaemonState& s = State();
    {
        std::lock_guard lock(s.eventMutex);
        s.stopEvent = true;
    }
    s.eventSet.notify_all();
}

void MarkWorkerEnded() {
    DaemonState& s = State();
    {
        std::lock_guard lock(s.eventMutex);
        s.workerEnded = true;
    }
    s.eventSet.notify_all();
}

// JoinWorker waits for the service body started by ServiceMain to end, so that nothing of it
// runs when the process tears down; a body that does not end in time is left to the exit.
void JoinWorker() {
    DaemonState& s = State();
    if (!s.worker.joinable()) {
        return;
    }
    std::unique_lock lock(s.eventMutex);
    const bool ended = s.eventSet.wait_for(lock, kWorkerEndWait, [&s] { return s.workerEnded; });
    lock.unlock();
    if (ended) {
        s.worker.join();
    } else {
        Logger::Warn("[LaunchDaemon::Start] the service worker thread is still running !");
        s.worker.detach();
    }
}

// ReportEnded ends a service body that stops before its server ran: the service manager
// learns that the service stopped, and why, instead of waiting for a report that never comes.
void ReportEnded(std::int32_t code) {
    SignalStopEvent();
    LaunchDaemon::Stop();
    LaunchDaemon::SetStatus(platform::kServiceStopped, 0, static_cast<std::uint32_t>(code), true);
}

std::string ControlName(std::uint32_t control) {
    return control == platform::kControlStop ? "STOP" : "SHUTDOWN";
}

}  // namespace

bool LaunchDaemon::MetaInit(std::uint32_t context, const std::string& applicationName,
                            const std::string& logFolder, const std::string& logFileName) {
    if (!FileAndFoldersManager::Init(context)) {
        Logger::WarnDeferred("[LaunchDaemon::MetaInit] FileAndFoldersManager init fail !");
        return false;
    }
    Logger::InternalDeferred("[LaunchDaemon::MetaInit] FileAndFoldersManager succcessfully init.");
    std::string mainData;
    if (!FileAndFoldersManager::GetFolder(Folder::MAIN_DATA, mainData)) {
        Logger::WarnDeferred(
            "[LaunchDaemon::MetaInit] Config init fail : Cannot find base path "
            "[Folder::FOLDER_DATA_PATH] !");
        return false;
    }
    const std::string configPath = ToolBox::JoinPath(mainData, "launcher.conf");
    if (!Config::Init(configPath)) {
        Logger::WarnDeferred("[LaunchDaemon::MetaInit] Config init fail !");
        return false;
    }
    Logger::InternalDeferred("[LaunchDaemon::MetaInit] Config succcessfully init.(" + configPath +
                             ")");
    if (context == FolderContext::TEST_HARNESS) {
        Config::Activate(ConfigId::KTV_MODE);
    }
    std::string folder = logFolder;
    if (folder.empty() || !ToolBox::IsFolder(folder)) {
        // The logger makes a missing LOG folder itself, with the log's own access.
        if (!FileAndFoldersManager::GetFolder(Folder::LOG, folder)) {
            Logger::WarnDeferred(
                "[LaunchDaemon::MetaInit] Logger init fail : Cannot find base path "
                "[Folder::FOLDER_MAIN_LOG_PATH] !");
            return false;
        }
    }
    // A log file that cannot be prepared (a full disk) is no reason to stop serving: the
    // logger goes on without its file and takes it up again once it can be written.
    State().metaInitialised = true;
    const bool logged = Logger::Init(applicationName, folder,
                                     logFileName.empty() ? kDefaultLogFileName : logFileName);
    for (const std::string& damage : FileAndFoldersManager::DamageReports()) {
        Logger::Error(damage);
    }
    if (!logged) {
        Logger::Warn("[LaunchDaemon::MetaInit] Logger init fail !");
        return false;
    }
    Logger::Internal("[LaunchDaemon::MetaInit] Logger succcessfully init.");
    return true;
}

bool LaunchDaemon::Init(const std::string& serviceName, const std::string& displayName) {
    DaemonState& s = State();
    if (s.initialised) {
        return true;
    }
    {
        std::lock_guard lock(s.statusMutex);
        s.status = platform::ServiceStatus{};  // own process, start pending, stop and shutdown
        s.checkPoint = 0;
    }
    {
        std::lock_guard lock(s.eventMutex);
        s.stopEvent = false;
        s.workerEnded = false;
    }
    s.serviceName = serviceName;
    s.displayName = displayName;
    s.initialised = true;
    return true;
}

bool LaunchDaemon::Start() {
    DaemonState& s = State();
    if (!s.initialised) {
        Logger::Error("[LaunchDaemon::Start] this object is not initialized !");
        return false;
    }
    if (!s.metaInitialised) {
        Logger::Error("[LaunchDaemon::Start] the Meta Init hasn't be done !");
        return false;
    }
    Logger::Info("[LaunchDaemon::Start]Starting service.");
    s.running = true;
    if (!platform::ServiceHost::RunDispatcher(s.serviceName, ServiceMain)) {
        Logger::Error("[LaunchDaemon::Start]StartServiceCtrlDispatcher failed !");
        return false;
    }
    JoinWorker();
    Logger::Info("[LaunchDaemon::Start] The service is closed !");
    return Stop();
}

bool LaunchDaemon::StartEx() {
    if (!State().initialised) {
        Logger::Error("[LaunchDaemon::StartEx] this object is not initialized !");
        return false;
    }
    return ServiceWorkerThread() == 0;
}

void LaunchDaemon::ServiceMain() {
    DaemonState& s = State();
    Logger::Info("[LaunchDaemon::ServiceMain] try to start core serivce function...");
    if (!platform::ServiceHost::RegisterHandler(s.serviceName, ServiceCtrlHandler)) {
        Logger::Error("[LaunchDaemon::ServiceMain]fail to register the service !");
        return;
    }
    {
        std::lock_guard lock(s.statusMutex);
        s.stoppedReported = false;
    }
    s.statusRegistered = true;
    Logger::Info("[LaunchDaemon::ServiceMain]Serivce registered sucessfully !");
    SetStatus(platform::kServiceStartPending, 1, 0, true);
    try {
        s.worker = std::thread([] {
            const platform::ThreadCrashStack crashStack;
            ServiceWorkerThread();
            MarkWorkerEnded();
        });
    } catch (const std::system_error&) {
        SetStatus(platform::kServiceStopped, 2, ReturnCode::RC_SERVICE_THREAD_FAILURE, true);
        Logger::Error("[LaunchDaemon::ServiceMain] functionnal thread start failed !");
        return;
    }
    SetStatus(platform::kServiceRunning, 2, 0, true);
    Logger::Info("[LaunchDaemon::ServiceMain] functionnal thread started !");
}

void LaunchDaemon::SetStatus(std::uint32_t state, std::uint32_t waitHint, std::uint32_t exitCode,
                             bool log) {
    DaemonState& s = State();
    platform::ServiceStatus report;
    {
        std::lock_guard lock(s.statusMutex);
        if (s.stoppedReported) {
            return;
        }
        if (log) {
            Logger::Internal(
                "[LaunchDaemon::SetStatus]Trying to set service status :\n-[iCurState]: " +
                std::to_string(state) + "\n-[iWaitHint]: " + std::to_string(waitHint) +
                "\n-[iWin32ExitCode]: " + std::to_string(exitCode) +
                "\n-[dwCheckPoint]: " + std::to_string(s.checkPoint));
        }
        s.status.currentState = state;
        if (exitCode != 0) {
            s.status.win32ExitCode = 1066;  // service-specific error
            s.status.serviceSpecificExitCode = exitCode;
        } else {
            s.status.win32ExitCode = 0;
        }
        s.status.waitHint = waitHint;
        const bool settled =
            state == platform::kServiceRunning || state == platform::kServiceStopped;
        s.status.checkPoint = settled ? 0 : s.checkPoint++;
        s.stoppedReported = state == platform::kServiceStopped && s.statusRegistered;
        report = s.status;
    }
    if (s.statusRegistered) {
        platform::ServiceHost::SetStatus(report);
    }
}

void LaunchDaemon::ServiceCtrlHandler(std::uint32_t control) {
    const std::uint32_t current = CurrentStatus().currentState;
    switch (control) {
        case platform::kControlStop:
        case platform::kControlShutdown: {
            const std::string name = ControlName(control);
            Logger::Internal("[LaunchDaemon::ServiceCtrlHandler][" + name + " ORDER RECEIVED]");
            SetStatus(platform::kServiceStopPending, 4, 0, true);
            const bool stopped = Stop();
            Logger::Internal("[LaunchDaemon::ServiceCtrlHandler] " + name + " handling " +
                             (stopped ? "successful !" : "fail !"));
            SetStatus(platform::kServiceStopped, 5, 0, true);
            return;
        }
        case platform::kControlPause:
            Logger::Internal("[LaunchDaemon::ServiceCtrlHandler][PAUSE ORDER RECEIVED]");
            SetStatus(current, 0, 0, true);
            return;
        case platform::kControlContinue:
            Logger::Internal("[LaunchDaemon::ServiceCtrlHandler][CONTINUE ORDER RECEIVED]");
            SetStatus(current, 0, 0, true);
            return;
        case platform::kControlInterrogate:
            SetStatus(current, 0, 0, false);
            return;
        default:
            Logger::Internal("[LaunchDaemon::ServiceCtrlHandler]UNKNOW ORDER RECEIVED ! code : " +
                             std::to_string(control));
            SetStatus(current, 0, 0, true);
            return;
    }
}

namespace {

// ConnectTray lets the tray channel read the server's state and the operations start the
// tray program for their requests.
void ConnectTray() {
    SharedData::SetServerInfoSource([] {
        const bool running = WinHttpServer::IsRunning();
        return SharedData::ServerInfo{running, running ? WinHttpServer::MainPort() : -1,
                                      WinHttpServer::LoadDomain()};
    });
    FunctionnalCore::SetTrayStarter(
        [](const ZorvidRequestInfo& request) { return SystrayComs(request).StartSystray(); });
}

}  // namespace

std::int32_t LaunchDaemon::ServiceWorkerThread() {
    Logger::Debug("[LaunchDaemon::ServiceWorkerThread] service functionnal core starting ...");
    try {
        ConnectTray();
        if (!SharedData::Start()) {
            Logger::Error(
                "[LaunchDaemon::ServiceWorkerThread]Fail to start SystemTray's SharedData thread "
                "!");
            ReportEnded(ReturnCode::RC_SYSTRAY_THREAD_FAILURE);
            return ReturnCode::RC_SYSTRAY_THREAD_FAILURE;
        }
        const std::uint32_t rc = WinHttpServer::Run();
        std::int32_t exitCode = 0;
        if (rc != 0) {
            Logger::Error("[LaunchDaemon::ServiceWorkerThread]Server Crash ! ( rc : " +
                          std::to_string(rc) + " )");
            exitCode = ReturnCode::RC_HTTP_SERVER_CRASHED;
        } else {
            Logger::Internal(
                "[LaunchDaemon::ServiceWorkerThread]Server terminated ! shutdowning service ...");
        }
        // The tray channel ends with the server, whichever way the service runs.
        SharedData::Stop();
        SignalStopEvent();
        Logger::Debug("[LaunchDaemon::ServiceWorkerThread]Stopping service...");
        const auto code = static_cast<std::uint32_t>(exitCode);
        SetStatus(platform::kServiceStopPending, 6, code, true);
        if (!Stop()) {
            Logger::Internal(
                "[LaunchDaemon::ServiceWorkerThread] Errors occured while stoppping service !");
        }
        SetStatus(platform::kServiceStopped, 7, code, true);
        return exitCode;
    } catch (const std::exception& e) {
        Logger::LogException(e, "[SharedData::ComLoop]Exception thrown : ", false);
        ReportEnded(ReturnCode::RC_INTERNAL_EXCEPTION);
        return ReturnCode::RC_INTERNAL_EXCEPTION;
    }
}

bool LaunchDaemon::Stop() {
    DaemonState& s = State();
    if (!s.running.exchange(false)) {
        Logger::Internal("[LaunchDaemon::Stop] Nothing to Stop !");
        return true;
    }
    s.stopping = true;
    ToolBox::GlobalStopOrder() = true;
    Logger::Internal("[LaunchDaemon::Stop] Stopping deamon threads ...");
    if (SharedData::Stop()) {
        Logger::Internal("[LaunchDaemon::Stop] SharedData's thread stopped !");
    } else {
        Logger::Internal("[LaunchDaemon::Stop] Fail to stop SharedData's thread !");
    }
    if (!WinHttpServer::Stop()) {
        Logger::Internal("[LaunchDaemon::Stop] Fail to stop HttpServer !");
        return false;
    }
    Logger::Internal("[LaunchDaemon::Stop] HttpServer stopped !");
    return true;
}

std::int32_t LaunchDaemon::ExitCode() {
    return static_cast<std::int32_t>(platform::ProcessExitCode(CurrentStatus()));
}

platform::ServiceStatus LaunchDaemon::CurrentStatus() {
    DaemonState& s = State();
    std::lock_guard lock(s.statusMutex);
    return s.status;
}

void LaunchDaemon::ResetForTests() {
    DaemonState& s = State();
    if (s.worker.joinable()) {
        s.worker.join();
    }
    s.initialised = false;
    s.metaInitialised = false;
    s.running = false;
    s.stopping = false;
    s.statusRegistered = false;
    s.serviceName.clear();
    s.displayName.clear();
    {
        std::lock_guard lock(s.statusMutex);
        s.status = platform::ServiceStatus{};
        s.checkPoint = 0;
        s.stoppedReported = false;
    }
    std::lock_guard lock(s.eventMutex);
    s.stopEvent = false;
    s.workerEnded = false;
}
