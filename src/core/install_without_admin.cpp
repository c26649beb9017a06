// The installation without elevation: the installer's server ("StartTUI --pipeserver") and
// the installer itself run as the session's user, and the two meet on the pipe named in both
// command lines. Both are members of one process group, so they end
// together when the installer is done, and with the daemon.
#include <atomic>
#include <string>
#include <vector>

#include "base/logger.h"
#include "base/toolbox.h"
#include "base/zorvid_request_info.h"
#include "core/functionnal_core.h"
#include "platform/command_line.h"
#include "platform/process.h"
#include "session/companions.h"
#include "session/session_query.h"

namespace {

constexpr const char* kTag = "[FunctionnalCore::runInstallWithoutAdmin]";
constexpr std::int32_t kLaunchFailed = 2;

std::string PipeName() {
    static std::atomic<unsigned> sequence{0};
    return "QvInstallerAdminPipe_" + std::to_string(ToolBox::NowTime100ns()) + "_" +
           std::to_string(sequence++);
}

// LaunchInSession starts the items as the session's user, in the installation's group.
bool LaunchInSession(std::uint32_t sessionId, const std::vector<std::string>& argv,
                     platform::ProcessGroup& group, platform::ProcessHandle& process,
                     const std::string& role) {
    platform::LaunchOptions options;
    options.sessionId = sessionId;
    options.argv = argv;
    platform::LaunchFailure failure = platform::LaunchFailure::None;
    if (platform::LaunchAsSessionUser(options, &group, process, &failure) == 0) {
        return true;
    }
    Logger::Error(
        std::string(kTag) + role +
        (failure == platform::LaunchFailure::Token
             ? "Fail to retrieve user's token for session '" + std::to_string(sessionId) + "' !"
             : std::string("CreateProcessAsUserW failed !")));
    return false;
}

// StartServer starts the media's server program as the session's user: the user unpacked
// the media and can change that program until it runs, so it never runs as root.
std::int32_t StartServer(std::uint32_t sessionId, const std::string& mediaFolder,
                         const std::string& pipeName, platform::ProcessGroup& group,
                         platform::ProcessHandle& server) {
    const std::string program = ToolBox::JoinPath(ToolBox::JoinPath(mediaFolder, "1"),
                                                  Companions::ToolNames().setupPrograms[2]);
    const std::vector<std::string> argv = {program, "--pipeserver", "-env",
                                           "QVYInstallerPipeName=" + pipeName};
    Logger::Debug(std::string(kTag) + "{SERVER}command line : " + ToolBox::Join(argv, " "));
    return LaunchInSession(sessionId, argv, group, server, "{SERVER}") ? 0 : kLaunchFailed;
}

std::int32_t RunGui(std::uint32_t sessionId, const std::vector<std::string>& command,
                    const std::string& pipeName, platform::ProcessGroup& group,
                    std::uint32_t& exitCode) {
    std::vector<std::string> items = command;
    items.insert(items.end(), {"-env", "QVYInstallerPipeName=" + pipeName, "-env",
                               "QVYAdmInstAllowNotAdminUser=1"});
    platform::ProcessHandle gui;
    if (!LaunchInSession(sessionId, ToolBox::SplitCommandLine(Companions::JoinItems(items)), group,
                         gui, "{GUI}")) {
        return kLaunchFailed;
    }
    if (!gui.Wait(platform::kInfiniteWait, exitCode)) {
        Logger::Error(std::string(kTag) + "{GUI}Waiting for process to end failed ! (winrc:" +
                      ToolBox::GetLastErrorText());
        return kLaunchFailed;
    }
    Logger::Debug(std::string(kTag) +
                  "{GUI}launch command successed ! (rc:" + std::to_string(exitCode));
    return 0;
}

}  // namespace

std::int32_t FunctionnalCore::runInstallWithoutAdmin(const ZorvidRequestInfo&,
                                                     const std::string& mediaFolder,
                                                     const std::vector<std::string>& command,
                                                     std::uint32_t& exitCode) {
    Logger::Debug(std::string(kTag) + "try to run installer in 'NO UAC' mode");
    const std::string pipeName = PipeName();
    platform::ProcessGroup group;
    if (group.Create() != 0) {
        Logger::Error(std::string(kTag) + "Fail to set info on the JobObject for " + pipeName);
        return kLaunchFailed;
    }
    std::uint32_t sessionId = 0;
    if (!ToolBox::GetActiveSessionId(sessionId)) {
        Logger::Error(std::string(kTag) + "{GUI}Fail to retrieve the current active session !");
        return kLaunchFailed;
    }
    platform::ProcessHandle server;
    std::int32_t result = StartServer(sessionId, mediaFolder, pipeName, group, server);
    if (result == 0) {
        result = RunGui(sessionId, command, pipeName, group, exitCode);
    }
    group.Close();
    return result;
}
