#include "session/operations_local.h"

#include <filesystem>
#include <system_error>

#include "base/config.h"
#include "base/logger.h"
#include "platform/command_line.h"
#include "platform/elevation.h"
#include "platform/path.h"
#include "platform/process.h"
#include "platform/runtime_folder.h"
#include "platform/sys_error.h"
#include "platform/window_messages.h"
#include "session/companions.h"
#include "session/session_query.h"

namespace fs = std::filesystem;
using platform::FsPath;
using platform::PathText;

namespace Operations::Local {

namespace {

constexpr const char* kExecTag = "[Operations::Local::ExecuteCmd]";
constexpr const char* kFolderTag = "[Operations::Local::MakeFolder]";
constexpr const char* kPostTag = "[Operations::Local::PostMessageToWindow]";

// ---- commands -----------------------------------------------------------------------------

// Started is a command that runs, elevated or not, and can be waited for.
struct Started {
    platform::ProcessHandle process;
    platform::ElevatedProcess elevated;
    bool isElevated = false;

    // Wait gives 0 with the exit code, 258 on time-out, or the failure of the wait.
    std::uint32_t Wait(std::uint32_t timeoutMs, std::uint32_t& exitCode) {
        if (isElevated) {
            return elevated.Wait(timeoutMs, exitCode);
        }
        if (!process.IsValid()) {
            return platform::SysError::INVALID_HANDLE;
        }
        return process.Wait(timeoutMs, exitCode) ? platform::SysError::SUCCESS
                                                 : platform::SysError::WAIT_TIMED_OUT;
    }
};

// Waiting is how a command is run: handed over and not waited for, handed over and waited
// for, or under the caller's control and waited for (see the header).
enum class Waiting { HandOver, HandOverAndWait, Control };

bool StartInOwnContext(const std::vector<std::string>& argv, Waiting waiting,
                       const std::vector<std::string>& environment, Started& started) {
    const bool handOver = waiting != Waiting::Control;
    platform::LaunchOptions options;
    options.argv = argv;
    options.extraEnvironment = environment;
    options.breakAwayFromJob = handOver;
    options.reportExit = waiting == Waiting::HandOverAndWait;
    std::string unit;
    if (platform::LaunchAsSelf(options, nullptr, started.process, &unit) !=
        platform::SysError::SUCCESS) {
        Logger::Error(std::string(kExecTag) + " CreateProcessW failed !");
        return false;
    }
    Logger::Debug(std::string(kExecTag) + " CreateProcessW successed !");
    if (!unit.empty()) {
        Logger::Info(std::string(kExecTag) + " handed over to the user's service manager as " +
                     unit);
    } else if (handOver) {
        Logger::Info(std::string(kExecTag) + " handed over to the user's session as process " +
                     std::to_string(started.process.Pid()));
    }
    return true;
}

bool StartAsUser(const std::vector<std::string>& argv, std::int64_t requestedSession,
                 Waiting waiting, Started& started) {
    std::uint32_t sessionId = 0;
    if (requestedSession >= 1) {
        sessionId = static_cast<std::uint32_t>(requestedSession);
    } else if (!ToolBox::GetActiveSessionId(sessionId)) {
        Logger::Error(std::string(kExecTag) + "Fail to retrieve current active session id !");
        return false;
    }
    platform::LaunchOptions options;
    options.sessionId = sessionId;
    options.argv = argv;
    options.breakAwayFromJob = waiting != Waiting::Control;
    options.reportExit = waiting == Waiting::HandOverAndWait;
    // Companion programs among the commands find the daemon's runtime folders through it.
    options.extraEnvironment = platform::RuntimeEnvironment(sessionId);
    platform::LaunchFailure failure = platform::LaunchFailure::None;
    if (platform::LaunchAsSessionUser(options, nullptr, started.process, &failure) ==
        platform::SysError::SUCCESS) {
        Logger::Debug(std::string(kExecTag) + " CreateProcessAsUserW successed !");
        return true;
    }
    switch (failure) {
        case platform::LaunchFailure::Token:
            Logger::Error(std::string(kExecTag) + "Fail to retrieve user's token for session '" +
                          std::to_string(sessionId) + "' !");
            break;
        case platform::LaunchFailure::Environment:
            Logger::Error(std::string(kExecTag) + " Fail to create Environment objects!");
            break;
        default:
            Logger::Error(std::string(kExecTag) + " CreateProcessAsUserW failed !");
            break;
    }
    return false;
}

bool StartElevated(const std::vector<std::string>& argv, std::int32_t timeoutMs, Started& started) {
    std::int64_t instance = 0;
    started.isElevated = true;
    const std::uint32_t error =
        platform::LaunchElevated(argv, timeoutMs != 0, started.elevated, instance);
    if (error != platform::SysError::SUCCESS) {
        const std::string reason = error == platform::SysError::NOT_SUPPORTED
                                       ? std::string("no way to elevate here (\"") +
                                             platform::kElevationHelper + "\" is not installed)"
                                       : platform::SystemErrorMessage(error);
        Logger::Error(std::string(kExecTag) + " ShellExecuteExW failed ! " + reason);
        return false;
    }
    Logger::Info(std::string(kExecTag) + " ShellExecuteExW successed !");
    if (instance <= 32) {
        Logger::Error(
            std::string(kExecTag) +
            " Process executed by ShellExecuteExW encounter error : " + std::to_string(instance));
    }
    return true;
}

bool WaitForEnd(Started& started, std::int32_t timeoutMs, std::uint32_t& exitCode) {
    const std::uint32_t limit =
        timeoutMs < 0 ? platform::kInfiniteWait : static_cast<std::uint32_t>(timeoutMs);
    std::uint32_t code = 0;
    const std::uint32_t result = started.Wait(limit, code);
    if (result == platform::SysError::SUCCESS) {
        exitCode = code;
        Logger::Info(std::string(kExecTag) +
                     " launch command successed ! (rc:" + std::to_string(code) + ")");
        return true;
    }
    if (started.isElevated &&
        (result == platform::SysError::CANCELLED || result == platform::SysError::ACCESS_DENIED)) {
        // The program never started: the user dismissed the elevation or it was refused.
        Logger::Error(std::string(kExecTag) + " ShellExecuteExW failed ! the elevation was " +
                      (result == platform::SysError::CANCELLED ? "dismissed" : "refused"));
        return false;
    }
    if (result == platform::SysError::WAIT_TIMED_OUT) {
        Logger::Error(std::string(kExecTag) + " Waiting for process to end timeout after [" +
                      std::to_string(timeoutMs) + "] ms !");
        return false;
    }
    Logger::Error(std::string(kExecTag) +
                  " Waiting for process to end failed ! (winrc:" + std::to_string(result) + ")");
    return false;
}

enum class RunAs { OwnContext, SessionUser, Elevated };

// ExecOptions are the less common choices of Execute.
struct ExecOptions {
    std::int64_t sessionId = 0;
    bool handOverAndWait = false;
    std::vector<std::string> environment;  // for the command alone (own context only)
};

bool Execute(const std::vector<std::string>& elements, std::uint32_t& exitCode, RunAs runAs,
             std::int32_t timeoutMs, const ExecOptions& more) {
    const std::string commandLine = Companions::JoinItems(elements);
    Logger::Debug(std::string(kExecTag) + "Try to launch command : [" + commandLine + "]");
    const std::vector<std::string> argv = ToolBox::SplitCommandLine(commandLine);
    Started started;
    bool result = false;
    // A command that nobody waits for is handed over to the user's session (see the header).
    Waiting waiting = timeoutMs == 0 ? Waiting::HandOver : Waiting::Control;
    if (more.handOverAndWait && timeoutMs != 0) {
        waiting = Waiting::HandOverAndWait;
    }
    switch (runAs) {
        case RunAs::OwnContext:
            result = StartInOwnContext(argv, waiting, more.environment, started);
            break;
        case RunAs::SessionUser:
            result = StartAsUser(argv, more.sessionId, waiting, started);
            break;
        case RunAs::Elevated:
            result = StartElevated(argv, timeoutMs, started);
            break;
    }
    if (result) {
        if (timeoutMs == 0) {
            exitCode = 0;
        } else {
            result = WaitForEnd(started, timeoutMs, exitCode);
        }
    }
    Logger::Debug(std::string(kExecTag) + "return code : [ " + (result ? "true" : "false") + "]");
    return result;
}

// ---- folders ------------------------------------------------------------------------------

// ErrorOf puts a file-system error in the daemon's error space.
std::int64_t ErrorOf(const std::error_code& ec) {
    const std::error_condition condition = ec.default_error_condition();
    if (condition.category() != std::generic_category()) {
        return ec.value();
    }
    switch (static_cast<std::errc>(condition.value())) {
        case std::errc::no_such_file_or_directory:
        case std::errc::not_a_directory:
            return platform::SysError::PATH_NOT_FOUND;
        case std::errc::permission_denied:
        case std::errc::operation_not_permitted:
            return platform::SysError::ACCESS_DENIED;
        case std::errc::file_exists:
            return platform::SysError::ALREADY_EXISTS;
        case std::errc::filename_too_long:
            return platform::SysError::FILENAME_EXCED_RANGE;
        default:
            return platform::ErrorFromErrno(condition.value());
    }
}

// CreateTree creates the whole path at once; a relative path is refused, as the shell's
// tree creation does.
std::int64_t CreateTree(const std::string& path) {
    const fs::path target = FsPath(path);
    if (!target.is_absolute()) {
        return 161;  // bad path name
    }
    std::error_code ec;
    fs::create_directories(target, ec);
    return ec ? ErrorOf(ec) : 0;
}

// CreateStepByStep creates the missing levels one at a time, below the nearest existing
// ancestor, so that the failing level shows in the log.
std::int64_t CreateStepByStep(const std::string& path) {
    const fs::path target = FsPath(path);
    std::vector<fs::path> levels;
    for (const fs::path& part : target.relative_path()) {
        if (!part.empty()) {
            levels.push_back(part);
        }
    }
    fs::path ancestor = target.root_path();
    for (const fs::path& level : levels) {
        ancestor /= level;
    }
    std::size_t missing = 0;
    std::error_code ec;
    bool found = true;
    while (!fs::exists(ancestor, ec)) {
        if (missing >= levels.size()) {
            found = false;
            break;
        }
        ancestor = ancestor.parent_path();
        ++missing;
    }
    if (!found) {
        Logger::Internal(std::string(kFolderTag) +
                         "cannot find the first existing folder in this path : " + path);
        return -2;
    }
    Logger::Internal(std::string(kFolderTag) + "[" + std::to_string(missing) +
                     "]base folder to use : " + PathText(ancestor));
    if (missing == 0) {
        return -2;
    }
    fs::path folder = ancestor;
    for (std::size_t i = levels.size() - missing; i < levels.size(); ++i) {
        folder /= levels[i];
        Logger::Internal(std::string(kFolderTag) + "creating this folder :" + PathText(folder));
        fs::create_directory(folder, ec);
        if (ec) {
            const std::int64_t code = ErrorOf(ec);
            Logger::Internal(std::string(kFolderTag) + "CreateDirectoryW(" + PathText(folder) +
                             ") fail errno = " + std::to_string(code));
            return code;
        }
    }
    return 0;
}

bool ReportFolderResult(std::int64_t result, int checkResult, const std::string& path) {
    const std::string head = std::string(kFolderTag) + "(" + std::to_string(checkResult) + ")";
    switch (result) {
        case 0:
            Logger::Log(LogLevel::Internal,
                        head + "successfully created this folder : '" + path + "' !");
            return true;
        case platform::SysError::PATH_NOT_FOUND:
            Logger::Log(LogLevel::Error, head + "The system cannot find the path pointed to by '" +
                                             path + "'. The path may contain an invalid entry.");
            return false;
        case platform::SysError::ACCESS_DENIED:
            Logger::Log(LogLevel::Error, head + "Access is denied on '" + path + "' .");
            return false;
        case platform::SysError::FILE_EXISTS:
        case platform::SysError::ALREADY_EXISTS:
            Logger::Log(LogLevel::Warn,
                        head + " The directory '" + path +
                            "' already exists but _waccess_s failed ! there might be some access "
                            "problem for 'SYSTEM' account.");
            return true;
        case 161:
            Logger::Log(LogLevel::Error,
                        head + "The '" + path + "' parameter was set to a relative path.");
            return false;
        case platform::SysError::FILENAME_EXCED_RANGE:
            Logger::Log(LogLevel::Error,
                        head + "The path pointed to by '" + path + "' is too long.");
            return false;
        case platform::SysError::CANCELLED:
            Logger::Log(LogLevel::Error,
                        head + "The user canceled the operation on '" + path + "' .");
            return false;
        default:
            Logger::Log(LogLevel::Error, head + "Fail to create this folder (" +
                                             std::to_string(result) + ") : " + path);
            return false;
    }
}

}  // namespace

bool ExecuteCmd(const std::vector<std::string>& elements, std::uint32_t& exitCode, bool asUser,
                std::int32_t timeoutMs, std::int64_t sessionId) {
    return Execute(elements, exitCode, asUser ? RunAs::SessionUser : RunAs::OwnContext, timeoutMs,
                   {.sessionId = sessionId, .handOverAndWait = false, .environment = {}});
}

bool ExecuteCmd(const std::vector<std::string>& elements, std::uint32_t& exitCode,
                const std::vector<std::string>& environment, std::int32_t timeoutMs) {
    return Execute(elements, exitCode, RunAs::OwnContext, timeoutMs,
                   {.sessionId = 0, .handOverAndWait = false, .environment = environment});
}

bool ExecuteCmd(const std::vector<std::string>& elements, std::uint32_t& exitCode,
                std::int32_t timeoutMs) {
    return Execute(elements, exitCode, RunAs::Elevated, timeoutMs, {});
}

bool ExecuteHandedOver(const std::vector<std::string>& elements, std::uint32_t& exitCode,
                       std::int32_t timeoutMs) {
    return Execute(elements, exitCode, RunAs::OwnContext, timeoutMs,
                   {.sessionId = 0, .handOverAndWait = true, .environment = {}});
}

bool MakeFolder(const std::string& path) {
    Logger::Internal(std::string(kFolderTag) + "try to create this folder : " + path);
    if (path.empty()) {
        Logger::Error(std::string(kFolderTag) + "empty string was gave.");
        return false;
    }
    std::error_code ec;
    if (fs::exists(fs::status(FsPath(path), ec))) {
        return true;
    }
    // The check's own error number, as the C run-time's access check would give it.
    const int checkResult = ec ? ec.default_error_condition().value() : 0;
    Logger::Internal(std::string(kFolderTag) +
                     "the given path does not exist ( _waccess_s return [" +
                     std::to_string(checkResult) + "] )");
    const std::int64_t result =
        Config::IsActivated(ConfigId::KTV_MEMORY_CHECK) ? CreateStepByStep(path) : CreateTree(path);
    return ReportFolderResult(result, checkResult, path);
}

bool PostMessageToWindow(const std::string& windowClass, std::uint32_t message,
                         std::uint64_t wparam, std::int64_t lparam) {
    Logger::Internal(std::string(kPostTag) + "Try to PostMessage to window(" + windowClass +
                     ") with these param : label:[" + std::to_string(message) + "]//wparam:[" +
                     std::to_string(wparam) + "]//lparam:[" + std::to_string(lparam) + "]");
    platform::WindowRef window;
    if (platform::FindMessageWindow(windowClass, platform::RuntimeOwner::Self(), window) !=
        platform::SysError::SUCCESS) {
        Logger::Warn(std::string(kPostTag) +
                     "Fail to find window  with this name : " + windowClass);
        return false;
    }
    if (platform::PostWindowMessage(window, {message, wparam, lparam}) !=
        platform::SysError::SUCCESS) {
        Logger::Warn(std::string(kPostTag) + "PostMessage to SysTray window fail!");
        return false;
    }
    Logger::Internal(std::string(kPostTag) + " Postmessage to window [" + windowClass +
                     "] has succeed !");
    return true;
}

}  // namespace Operations::Local
