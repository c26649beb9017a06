#include "session/systray_coms.h"

#include "base/config.h"
#include "base/logger.h"
#include "base/toolbox.h"
#include "base/zorvid_request_info.h"
#include "platform/command_line.h"
#include "platform/known_folders.h"
#include "platform/runtime_folder.h"
#include "platform/sys_error.h"
#include "platform/window_messages.h"
#include "session/companions.h"
#include "session/operations_as_user.h"
#include "session/shared_data.h"

namespace {

constexpr std::uint32_t kPoliteCloseMs = 3000;

std::string Text(std::uint64_t value) {
    return std::to_string(value);
}

// TrayRuns tells whether the tray's window already answers in the request's session: the
// check a second tray program makes before it ends. Every operation starts the tray, so
// making that check here spares a process start, and the loading of the tray's graphical
// libraries, on each request while the tray runs.
bool TrayRuns(const ZorvidRequestInfo& request) {
    std::uint32_t session = 0;
    platform::WindowRef window;
    return SharedData::FindSession(request, session) &&
           platform::FindMessageWindow(Companions::kTrayWindowClass,
                                       platform::RuntimeOwner::SessionUser(session),
                                       window) == platform::SysError::SUCCESS;
}

}  // namespace

// ---- SystrayComs --------------------------------------------------------------------------

SystrayComs::SystrayComs(const ZorvidRequestInfo& request, char mode,
                         const std::optional<std::string>& folder)
    : request_(&request),
      mode_(mode),
      folder_(folder ? *folder : platform::ExecutableFolder()),
      ktvMode_(Config::IsActivated(ConfigId::KTV_MODE)) {}

std::string SystrayComs::ExecutablePath() const {
    return ToolBox::JoinPath(folder_, Companions::TrayExecutableName());
}

bool SystrayComs::StartSystray() const {
    const std::string tag = "[SystrayComs::StartSystray]";
    if (ktvMode_) {
        return true;
    }
    Logger::Debug(tag + "try to start the Systray");
    const std::string path = ExecutablePath();
    if (!ToolBox::IsFile(path)) {
        Logger::Error(tag + "the systray executable does not exist here : " + path);
        return false;
    }
    Logger::Debug(tag + "use systray exe path : " + path);
    if (TrayRuns(*request_)) {
        Logger::Debug(tag + "the tray already runs in the request's session");
        return true;
    }
    // Not awaited; the tray lives on after the daemon and a second one ends by itself.
    std::uint32_t exitCode = 0;
    const std::uint32_t result = Operations::AsUser::ExecuteCommandAsUser(
        *request_, {ToolBox::Quote(path)}, exitCode, 0, false);
    if (result != 0 || exitCode != 0) {
        Logger::Error(tag + "Fail to execute AsUser the systray ! (auRc:" + Text(result) +
                      "//rc:" + Text(exitCode) + ")");
        return false;
    }
    return true;
}

bool SystrayComs::ShutdownSystray() const {
    Logger::Debug("[SystrayComs::ShutdownSystray]try to stop the Systray");
    return post(Companions::kCloseMessage, 0, 0, Companions::kTrayWindowClass);
}

bool SystrayComs::LaunchingApplication(std::uint64_t wparam, std::int64_t lparam) const {
    Logger::Internal("[SystrayComs::LaunchingApplication]post LaunchingApplication message");
    return post(Companions::kTrayMessageA, wparam, lparam, Companions::kTrayWindowClass);
}

bool SystrayComs::Unzipping(std::uint64_t wparam, std::int64_t lparam) const {
    Logger::Internal("[SystrayComs::Unzipping]post Unzipping message");
    return post(Companions::kTrayMessageB, wparam, lparam, Companions::kTrayWindowClass);
}

bool SystrayComs::post(std::uint32_t message, std::uint64_t wparam, std::int64_t lparam,
                       const std::string& windowClass) const {
    Logger::Internal("[SystrayComs::post]{indirect}<" + request_->ToString() + "> mode " +
                     std::string(1, mode_) + " window [" + windowClass + "] message " +
                     Text(message) + " wparam " + Text(wparam) + " lparam " +
                     std::to_string(lparam));
    return Operations::AsUser::PostMessageToWindowAsUser(*request_, windowClass, message, wparam,
                                                         lparam) == 0;
}

// ---- SystrayOperation ---------------------------------------------------------------------

std::string SystrayOperation::KindName() const {
    switch (kind_) {
        case SPINNER:
            return "SPINNER";
        case PROGRESS:
            return "PROGRESS";
        default:
            return "UNKNOWN";
    }
}

bool SystrayOperation::Start() {
    Logger::Debug("[SystrayOperation::Start]start operation : " + KindName());
    if (!started_) {
        started_ = StartInt();
    }
    return started_;
}

void SystrayOperation::Stop() {
    Logger::Debug("[SystrayOperation::Stop]stop operation : " + KindName());
    if (started_ && StopInt()) {
        started_ = false;
    }
}

// ---- Spinner ------------------------------------------------------------------------------

Spinner::Spinner(const SystrayComs& coms, bool start) : SystrayOperation(SPINNER, coms) {
    if (start) {
        Start();
    }
}

Spinner::~Spinner() {
    Stop();
}

bool Spinner::StartInt() {
    const std::string tag = "[Spinner::StartInt]";
    if (!SharedData::FindSession(Coms().Request(), sessionId_)) {
        Logger::Internal(tag + "fail to retrive a valid session ID !");
        return false;
    }
    const std::string path = Coms().ExecutablePath();
    if (!ToolBox::IsFile(path)) {
        Logger::Error("[SystrayComs::StartSystray]the systray executable does not exist here : " +
                      path);
        return false;
    }
    const std::string commandLine = ToolBox::Quote(path) + " " + Companions::kSpinnerMode;
    Logger::Internal(tag + " Start process with command-line : " + commandLine);
    if (!Launch(ToolBox::SplitCommandLine(commandLine))) {
        job_.Close();
        process_.Close();
        return false;
    }
    Logger::Internal(tag + "Successfully Started Spinner on session [" + Text(sessionId_) + "]");
    return true;
}

bool Spinner::Launch(const std::vector<std::string>& argv) {
    const std::string tag = "[Spinner::StartInt]";
    if (job_.Create() != platform::SysError::SUCCESS) {
        Logger::Error(tag + "Fail to set info on the JobObject for UserExtension[" +
                      Text(sessionId_) + "]");
        return false;
    }
    std::uint32_t error = platform::SysError::SUCCESS;
    if (Coms().KtvMode()) {
        error = platform::LaunchAsSelf(argv, &job_, process_);
    } else {
        platform::LaunchOptions options;
        options.sessionId = sessionId_;
        options.argv = argv;
        options.breakAwayFromJob = true;
        options.extraEnvironment = platform::RuntimeEnvironment(sessionId_);
        platform::LaunchFailure failure = platform::LaunchFailure::None;
        error = platform::LaunchAsSessionUser(options, &job_, process_, &failure);
        if (failure == platform::LaunchFailure::Token) {
            Logger::Error(tag + "Fail to retrieve user's token !");
            return false;
        }
        if (failure == platform::LaunchFailure::Environment) {
            Logger::Error(tag + " Fail to create Environment objects!");
            return false;
        }
    }
    if (error != platform::SysError::SUCCESS) {
        Logger::Error(tag + " CreateProcessAsUserW failed !");
        return false;
    }
    Logger::Internal(tag + " CreateProcessAsUserW successed !");
    return true;
}

bool Spinner::StopInt() {
    const std::string tag = "[Spinner::StopInt]";
    std::uint32_t code = 0;
    if (Coms().post(Companions::kCloseMessage, 0, 0, Companions::kSpinnerWindowClass)) {
        // Time to close by itself before the group ends whatever is left.
        process_.Wait(kPoliteCloseMs, code);
    } else {
        Logger::Warn(tag + "Fail to stop Spinner[" + Text(sessionId_) +
                     "] thru WM_CLOSE, hard killing it !");
        if (!process_.IsValid()) {
            Logger::Error(tag + " IsProcessInJob Fail !");
        } else {
            Logger::Internal(tag + " use TerminateJobObject to kill sub-process");
            job_.Close();
            Logger::Info(tag +
                         (process_.Wait(5000, code) ? "Successfully Stopped Spinner["
                                                    : "Fail to stop Spinner[") +
                         Text(sessionId_) + "]");
        }
    }
    // Closing the group ends a spinner still in it.
    job_.Close();
    process_.Close();
    return true;
}
