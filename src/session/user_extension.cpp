#include "session/user_extension.h"

#include <charconv>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <thread>

#include "base/config.h"
#include "base/log_text.h"
#include "base/logger.h"
#include "base/toolbox.h"
#include "platform/command_line.h"
#include "platform/known_folders.h"
#include "platform/sys_error.h"
#include "platform/window_messages.h"
#include "session/companions.h"
#include "session/operations_local.h"

namespace {

constexpr std::uint32_t kPipeWaitMs = 1000;
constexpr std::uint32_t kPipeRetrySleepMs = 1000;
constexpr std::uint32_t kPipeErrorSleepMs = 5000;
constexpr int kPipeAttempts = 3;
// Windows: a client that finds every instance of the pipe taken (231) waits for the next one
// without using up an attempt, for this long at most: the worker is there and accepting.
constexpr std::chrono::seconds kPipeBusyBudget{30};
constexpr std::int32_t kStopCommandTimeoutMs = 5000;
constexpr std::uint32_t kStopWaitMs = 5000;
constexpr const char* kAbandoned =
    "[UserExtension::RunOperation]the client of the request has gone: no longer waiting for "
    "the worker's reply";

struct BasePath {
    std::mutex mutex;
    std::string path;
};

BasePath& Base() {
    static BasePath base;
    return base;
}

std::string ComputeBasePath() {
    if (Config::IsActivated(ConfigId::KTV_MODE)) {
        const char* overridden = std::getenv("KTV_LAUNCHER_GUIEXE_PATH");
        if (overridden != nullptr && *overridden != '\0') {
            return overridden;
        }
    }
    return ToolBox::JoinPath(platform::ExecutableFolder(), Companions::GuiExecutableName());
}

std::string Id(std::uint32_t sessionId) {
    return "UserExtension[" + std::to_string(sessionId) + "]";
}

void SleepMs(std::uint32_t ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

// Pause sleeps ms, or less when stop is stopped first; false when it was.
bool Pause(std::uint32_t ms, const std::stop_token& stop) {
    if (!stop.stop_possible()) {
        SleepMs(ms);
        return true;
    }
    std::mutex mutex;
    std::condition_variable_any woken;
    std::unique_lock lock(mutex);
    return !woken.wait_for(lock, stop, std::chrono::milliseconds(ms), [] { return false; }) &&
           !stop.stop_requested();
}

std::int64_t SecondsSince1970() {
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// DebugPause leaves time to attach a debugger to a new worker ("QVYLD_DEBUG" milliseconds).
void DebugPause() {
    const char* text = std::getenv("QVYLD_DEBUG");
    if (text == nullptr || *text == '\0') {
        return;
    }
    const std::string value(text);
    std::int32_t ms = 0;
    const auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), ms);
    if (error != std::errc() || end != value.data() + value.size() || ms < 0) {
        Logger::Warn("[UserExtension::Start]QVYLD_DEBUG is not a number of milliseconds : " +
                     value);
        return;
    }
    Logger::Debug("[UserExtension::Start]Sleeping for " + std::to_string(ms) + " ms");
    SleepMs(static_cast<std::uint32_t>(ms));
}

}  // namespace

UserExtension::UserExtension(std::uint32_t sessionId) : sessionId_(sessionId) {
    BasePath& base = Base();
    std::lock_guard lock(base.mutex);
    if (base.path.empty()) {
        base.path = ComputeBasePath();
        Logger::Internal("[UserExtension] base executable path : " + base.path);
    }
}

UserExtension::~UserExtension() {
    std::lock_guard lock(mutex_);
    if (setUp_ && KillLocked()) {
        CleanUpLocked();
    }
    // A worker that could not be stopped still ends here, with its group.
}

std::string UserExtension::BaseExecutablePath() {
    BasePath& base = Base();
    std::lock_guard lock(base.mutex);
    return base.path;
}

void UserExtension::ResetForTests() {
    BasePath& base = Base();
    std::lock_guard lock(base.mutex);
    base.path.clear();
}

std::string UserExtension::GetPipeName() const {
    std::lock_guard lock(mutex_);
    return pipeName_;
}

std::uint32_t UserExtension::GetProcessId() const {
    std::lock_guard lock(mutex_);
    return processId_;
}

std::int32_t UserExtension::GetExitCode() const {
    std::lock_guard lock(mutex_);
    return exitCode_;
}

// ---- start --------------------------------------------------------------------------------

bool UserExtension::Start() {
    std::lock_guard lock(mutex_);
    return StartLocked();
}

bool UserExtension::StartLocked() {
    Logger::Internal("[UserExtension::Start]Starting " + Id(sessionId_) + "...");
    if (IsRunningLocked()) {
        return true;
    }
    if (setUp_) {
        CleanUpLocked();
    }
    pipeName_ = Companions::WorkerPipeName(sessionId_, SecondsSince1970());
    if (!LaunchLocked(Companions::WorkerCommandLine(BaseExecutablePath(), pipeName_))) {
        CleanUpLocked();
        return false;
    }
    DebugPause();
    Logger::Internal("[UserExtension::Start]Successfully Started " + Id(sessionId_));
    setUp_ = true;
    running_ = true;
    exitCode_ = -1;
    if (!IsRunningLocked()) {
        CleanUpLocked();
        return false;
    }
    return true;
}

bool UserExtension::LaunchLocked(const std::string& commandLine) {
    if (job_.Create() != platform::SysError::SUCCESS) {
        Logger::Error("[UserExtension::Start]Fail to set info on the JobObject for " +
                      Id(sessionId_));
        return false;
    }
    const std::vector<std::string> argv = ToolBox::SplitCommandLine(commandLine);
    owner_ = platform::RuntimeOwner::SessionUser(sessionId_);
    std::uint32_t error = platform::PrepareRuntimeFolder(owner_);
    bool tokenMissing = error == platform::SysError::NO_TOKEN;
    if (error != platform::SysError::SUCCESS && !tokenMissing) {
        Logger::Error("[UserExtension::Start]Fail to prepare the pipe folder of " + Id(sessionId_) +
                      " : " + platform::SystemErrorMessage(error));
        return false;
    }
    if (!tokenMissing) {
        Logger::Internal("[UserExtension::Start] Start process with command-line : " + commandLine);
        platform::LaunchOptions options;
        options.sessionId = sessionId_;
        options.argv = argv;
        options.breakAwayFromJob = true;
        options.extraEnvironment = platform::RuntimeEnvironment(sessionId_);
        platform::LaunchFailure failure = platform::LaunchFailure::None;
        error = platform::LaunchAsSessionUser(options, &job_, process_, &failure);
        tokenMissing = failure == platform::LaunchFailure::Token;
        if (failure == platform::LaunchFailure::Environment) {
            Logger::Error("[UserExtension::Start] Fail to create Environment objects!");
            return false;
        }
    }
    if (tokenMissing) {
        Logger::Error("[UserExtension::Start]Fail to retrieve user's token !");
        if (!Config::IsActivated(ConfigId::IGNORE_TOKEN_ERROR)) {
            return false;
        }
        error = platform::SysError::NO_TOKEN;
        if (Config::IsActivated(ConfigId::KTV_MODE)) {
            // The test harness runs the worker in the daemon's own context.
            owner_ = platform::RuntimeOwner::Self();
            error = platform::PrepareRuntimeFolder(owner_);
            if (error == platform::SysError::SUCCESS) {
                error = platform::LaunchAsSelf(argv, &job_, process_);
            }
        }
    }
    if (error != platform::SysError::SUCCESS) {
        Logger::Error("[UserExtension::Start] CreateProcessAsUserW failed !");
        return false;
    }
    Logger::Internal("[UserExtension::Start] CreateProcessAsUserW successed !");
    processId_ = process_.Pid();
    return true;
}

bool UserExtension::IsRunning() {
    std::lock_guard lock(mutex_);
    return IsRunningLocked();
}

bool UserExtension::IsRunningLocked() {
    if (!setUp_) {
        Logger::Internal("[UserExtension::IsRunning] " + Id(sessionId_) + " not setup.");
        return false;
    }
    if (!running_) {
        Logger::Internal("[UserExtension::IsRunning] " + Id(sessionId_) +
                         " exitCode : " + std::to_string(exitCode_));
        return false;
    }
    if (!process_.IsValid()) {
        // Without a handle the worker cannot be watched: count it as gone, so that the next
        // start replaces it.
        Logger::Error("[UserExtension::Start] Fail to get process status : " +
                      std::to_string(platform::SysError::INVALID_HANDLE));
        running_ = false;
        exitCode_ = -1;
        return false;
    }
    std::uint32_t code = 0;
    if (process_.Wait(0, code)) {
        running_ = false;
        exitCode_ = static_cast<std::int32_t>(code);
        Logger::Internal("[UserExtension::IsRunning] " + Id(sessionId_) +
                         " exitCode : " + std::to_string(exitCode_));
        return false;
    }
    Logger::Internal("[UserExtension::IsRunning] " + Id(sessionId_) + " is currently running.");
    return true;
}

void UserExtension::CleanUpLocked() {
    job_.Close();  // ends whatever is still in the group
    process_.Close();
    processId_ = 0;
    // A worker that was killed could not remove its endpoints.
    if (!pipeName_.empty()) {
        platform::DiscardStalePipe(pipeName_, owner_);
    }
    platform::DiscardStaleWindow(Companions::kWorkerWindowClass, owner_);
    pipeName_.clear();
    setUp_ = false;
}

// ---- operations ---------------------------------------------------------------------------

bool UserExtension::openPipe(platform::PipeConnection& pipe, const std::string& pipeName,
                             const platform::RuntimeOwner& owner, const std::stop_token& stop) {
    const auto busyUntil = std::chrono::steady_clock::now() + kPipeBusyBudget;
    for (int attempt = 0; attempt < kPipeAttempts && !stop.stop_requested(); ++attempt) {
        const std::string head = "[UserExtension::openPipe]{" + std::to_string(attempt) + "}";
        if (platform::WaitForPipe(pipeName, owner, kPipeWaitMs) != platform::SysError::SUCCESS) {
            Logger::Warn(head + "Could not open OUT pipe[" + pipeName + "] : wait timed out.");
            Pause(kPipeRetrySleepMs, stop);
            continue;
        }
        const std::uint32_t error = platform::ConnectPipe(pipeName, owner, pipe);
        if (error == platform::SysError::PIPE_BUSY) {
            attempt -= std::chrono::steady_clock::now() < busyUntil ? 1 : 0;
            continue;
        }
        if (error != platform::SysError::SUCCESS) {
            Logger::Error(head + "Could not open IN pipe[" + pipeName + "]. sleep awhile ...");
            Pause(kPipeErrorSleepMs, stop);
            continue;
        }
        Logger::Internal(head + "IN Named pipe[" + pipeName +
                         "] handle found : " + pipe.HandleText());
        break;
    }
    if (!pipe.IsOpen()) {
        return false;
    }
    if (pipe.SetMessageReadMode() != platform::SysError::SUCCESS) {
        Logger::Error("[UserExtension::openPipe]SetNamedPipeHandleState failed !");
        pipe.Close();
        return false;
    }
    return true;
}

bool UserExtension::Exchange(platform::PipeConnection& pipe, const std::string& request,
                             std::string& reply) {
    std::size_t written = 0;
    const std::uint32_t writeError = pipe.Write(request, written);
    if (writeError == platform::SysError::OPERATION_ABORTED) {
        Logger::Warn(kAbandoned);
        return false;
    }
    if (writeError != platform::SysError::SUCCESS) {
        // The request carries the user's ticket: only its size goes to the log.
        Logger::Error("[UserExtension::RunOperation]fail to write into pipe this content : (" +
                      std::to_string(request.size()) + " bytes)");
        return false;
    }
    Logger::Internal(
        "[UserExtension::RunOperation]waiting for sub-process's reply... ( bytes "
        "wrote : " +
        std::to_string(written) + " )");
    const std::uint32_t error = pipe.ReadMessage(reply);
    if (error == platform::SysError::SUCCESS) {
        return true;
    }
    if (error == platform::SysError::OPERATION_ABORTED) {
        Logger::Warn(kAbandoned);
    } else if (error == platform::SysError::NOT_ENOUGH_MEMORY) {
        Logger::Error("[UserExtension::RunOperation]the sub-process's reply is longer than " +
                      std::to_string(platform::kPipeMessageLimit) + " bytes: refused");
    } else {
        Logger::Error(error == platform::SysError::BROKEN_PIPE
                          ? "[UserExtension::RunOperation]client disconnected"
                          : "[UserExtension::RunOperation]ReadFile failed");
    }
    return false;
}

bool UserExtension::RunOperation(const JSON::JSONItem* request, JSON::ItemPtr& reply,
                                 std::stop_token stop) {
    reply.reset();
    std::string pipeName;
    platform::RuntimeOwner owner;
    {
        std::lock_guard lock(mutex_);
        if (!StartLocked()) {
            Logger::Error("[UserExtension::RunOperation]Fail To start userExtention !");
            return false;
        }
        pipeName = pipeName_;
        owner = owner_;
    }
    if (request == nullptr) {
        Logger::Error("[UserExtension::RunOperation]No data to write !");
        return false;
    }
    platform::PipeConnection pipe;
    if (stop.stop_requested() || !openPipe(pipe, pipeName, owner, stop)) {
        if (stop.stop_requested()) {
            Logger::Warn(kAbandoned);
        } else {
            Logger::Error(
                "[UserExtension::RunOperation]Fail to open the output pipe created by the "
                "UserExtension's sub-process !");
        }
        return false;
    }
    const std::string text = request->Print();
    Logger::Internal("[UserExtension::RunOperation]try to run operation : " +
                     ToolBox::EnvelopeForLog(request));
    std::string answer;
    bool exchanged = false;
    {
        // Made after the pipe and gone before it closes: the abort never meets a closed pipe.
        const std::stop_callback abandon(stop, [&pipe] { pipe.Abort(); });
        exchanged = Exchange(pipe, text, answer);
    }
    pipe.Close();
    return exchanged && ParseReply(answer, reply);
}

bool UserExtension::ParseReply(const std::string& answer, JSON::ItemPtr& reply) {
    if (answer.empty()) {
        Logger::Internal("[UserExtension::RunOperation]No data.");
        return false;
    }
    Logger::Internal("[UserExtension::RunOperation] data received : " + answer);
    JSON::JSONDocument document;
    if (document.Parse(answer) != 0 || document.Root() == nullptr) {
        Logger::Internal("[UserExtension::RunOperation] The operation does not return data !");
        return false;
    }
    reply = document.Release();
    Logger::Internal("[UserExtension::RunOperation] operation result content : " + reply->Print());
    return true;
}

// ---- stop ---------------------------------------------------------------------------------

bool UserExtension::Kill() {
    std::lock_guard lock(mutex_);
    return KillLocked();
}

bool UserExtension::KillLocked() {
    if (!IsRunningLocked()) {
        return true;
    }
    Logger::Internal("[UserExtension::Kill] Killing " + Id(sessionId_) + "...");
    if (Config::IsActivated(ConfigId::KTV_MODE)) {
        Logger::Internal("[UserExtension::Kill] Try to write stop signal to " + Id(sessionId_) +
                         "...");
        platform::PipeConnection pipe;
        if (!openPipe(pipe, pipeName_, owner_)) {
            Logger::Error(
                "[UserExtension::Kill]Fail to open the output pipe created by the "
                "UserExtension's sub-process !");
            return false;
        }
        std::size_t written = 0;
        if (pipe.Write(Companions::kStopMessage, written) != platform::SysError::SUCCESS) {
            Logger::Error(std::string("[UserExtension::Kill]fail to write into pipe this content "
                                      ": ") +
                          Companions::kStopMessage);
            return false;
        }
        running_ = false;
        return true;
    }
    return StopThroughWindow() || EndThroughGroup();
}

bool UserExtension::StopThroughWindow() {
    Logger::Internal("[UserExtension::Kill] use postMessage to kill sub-process");
    const std::string text = Companions::StopWorkerText();
    Logger::Internal("[UserExtension::Kill] Json object to use : " +
                     Companions::EscapeQuotes(text));
    const std::vector<std::string> command =
        Companions::PostStatusCommand(BaseExecutablePath(), text);
    const std::string listed = Companions::JoinItems(command, ", ");
    Logger::Internal("[UserExtension::Kill] commandline  : " + listed);
    std::uint32_t exitCode = 0;
    // The stop command runs where the worker runs: as the session's user, or as ourselves.
    const bool asUser = owner_.kind == platform::RuntimeOwner::Kind::SessionUser;
    if (!Operations::Local::ExecuteCmd(command, exitCode, asUser, kStopCommandTimeoutMs,
                                       sessionId_)) {
        Logger::Error(
            "[UserExtension::Stop]Fail to launch process to stop User Extension with this "
            "command-line: " +
            listed);
        return false;
    }
    std::uint32_t code = 0;
    if (!process_.Wait(kStopWaitMs, code)) {
        Logger::Error("[UserExtension::Stop]fail to stop userExtention[" +
                      std::to_string(sessionId_) + "] sub-process join operation has timed out.");
        return false;
    }
    Logger::Internal("[UserExtension::Stop]Successfully Stopped " + Id(sessionId_));
    running_ = false;
    exitCode_ = static_cast<std::int32_t>(code);
    return true;
}

bool UserExtension::EndThroughGroup() {
    if (!job_.IsOpen()) {
        return false;
    }
    if (!process_.IsValid()) {
        Logger::Error("[UserExtension::Kill] IsProcessInJob Fail !");
        return false;
    }
    Logger::Internal("[UserExtension::Kill] use TerminateJobObject to kill sub-process");
    job_.Close();
    std::uint32_t code = 0;
    if (!process_.Wait(kStopWaitMs, code)) {
        Logger::Error("[UserExtension::Stop]Fail to stop " + Id(sessionId_));
        return false;
    }
    Logger::Internal("[UserExtension::Stop]Successfully Stopped " + Id(sessionId_));
    running_ = false;
    exitCode_ = static_cast<std::int32_t>(code);
    return true;
}

bool UserExtension::Stop() {
    std::lock_guard lock(mutex_);
    if (!setUp_) {
        return false;
    }
    if (!KillLocked()) {
        return false;
    }
    CleanUpLocked();
    return true;
}
