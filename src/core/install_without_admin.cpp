// The installation without elevation: the installer's server ("StartTUI --pipeserver") runs
// in the daemon's account, the installer itself as the session's user, and the two meet on
// the pipe named in both command lines. Both are members of one process group, so they end
// together when the installer is done, and with the daemon.
#include <atomic>
#include <filesystem>
#include <string>
#include <vector>

#include "base/folders.h"
#include "base/logger.h"
#include "base/toolbox.h"
#include "base/zorvid_request_info.h"
#include "core/functionnal_core.h"
#include "platform/command_line.h"
#include "platform/file_trust.h"
#include "platform/process.h"
#include "session/companions.h"
#include "session/session_query.h"

namespace {

namespace fs = std::filesystem;
constexpr const char* kTag = "[FunctionnalCore::runInstallWithoutAdmin]";
constexpr std::int32_t kLaunchFailed = 2;

std::string PipeName() {
    static std::atomic<unsigned> sequence{0};
    return "QvInstallerAdminPipe_" + std::to_string(ToolBox::NowTime100ns()) + "_" +
           std::to_string(sequence++);
}

// TrustedServerCopy copies the media's server program, which the user unpacked, to a folder
// of the daemon's own, and checks that nobody else can change the copy: what root runs.
bool TrustedServerCopy(const std::string& mediaFolder, const std::string& pipeName,
                       std::string& program) {
    std::string temp;
    if (!FileAndFoldersManager::GetFolder(Folder::TEMP, temp, true)) {
        Logger::Error(std::string(kTag) + "{SERVER}no folder for the server's copy");
        return false;
    }
    const fs::path folder = fs::path(ToolBox::JoinPath(temp, pipeName));
    const fs::path source = fs::path(ToolBox::JoinPath(ToolBox::JoinPath(mediaFolder, "1"),
                                                       Companions::ToolNames().setupPrograms[2]));
    std::error_code error;
    fs::create_directories(folder, error);
    fs::permissions(folder, fs::perms::owner_all, error);
    const fs::path copy = folder / source.filename();
    if (!error && fs::is_regular_file(fs::symlink_status(source, error))) {
        fs::copy_file(source, copy, fs::copy_options::overwrite_existing, error);
        fs::permissions(copy, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec,
                        error);
    }
    const platform::FileTrust trust = platform::CheckAdministratorTrust(copy.string());
    if (error || !trust.trusted) {
        Logger::Error(std::string(kTag) + "{SERVER}the server program cannot be run safely : " +
                      source.string() + " " + (error ? error.message() : trust.reason));
        return false;
    }
    program = trust.resolvedPath;
    return true;
}

std::int32_t StartServer(const std::string& mediaFolder, const std::string& pipeName,
                         platform::ProcessGroup& group, platform::ProcessHandle& server) {
    std::string program;
    if (!TrustedServerCopy(mediaFolder, pipeName, program)) {
        return kLaunchFailed;
    }
    const std::vector<std::string> argv = {program, "--pipeserver", "-env",
                                           "QVYInstallerPipeName=" + pipeName};
    Logger::Debug(std::string(kTag) + "{SERVER}command line : " + ToolBox::Join(argv, " "));
    if (platform::LaunchAsSelf(argv, &group, server) != 0) {
        Logger::Error(std::string(kTag) + "{SERVER} CreateProcessW failed !");
        return kLaunchFailed;
    }
    return 0;
}

std::int32_t RunGui(const std::vector<std::string>& command, const std::string& pipeName,
                    platform::ProcessGroup& group, std::uint32_t& exitCode) {
    std::uint32_t sessionId = 0;
    if (!ToolBox::GetActiveSessionId(sessionId)) {
        Logger::Error(std::string(kTag) + "{GUI}Fail to retrieve the current active session !");
        return kLaunchFailed;
    }
    std::vector<std::string> items = command;
    items.insert(items.end(), {"-env", "QVYInstallerPipeName=" + pipeName, "-env",
                               "QVYAdmInstAllowNotAdminUser=1"});
    platform::LaunchOptions options;
    options.sessionId = sessionId;
    options.argv = ToolBox::SplitCommandLine(Companions::JoinItems(items));
    platform::ProcessHandle gui;
    platform::LaunchFailure failure = platform::LaunchFailure::None;
    if (platform::LaunchAsSessionUser(options, &group, gui, &failure) != 0) {
        Logger::Error(std::string(kTag) +
                      (failure == platform::LaunchFailure::Token
                           ? "{GUI}Fail to retrieve user's token for session '" +
                                 std::to_string(sessionId) + "' !"
                           : std::string("{GUI}CreateProcessAsUserW failed !")));
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
    platform::ProcessHandle server;
    std::int32_t result = StartServer(mediaFolder, pipeName, group, server);
    if (result == 0) {
        result = RunGui(command, pipeName, group, exitCode);
    }
    group.Close();
    std::error_code error;
    std::string temp;
    if (FileAndFoldersManager::GetFolder(Folder::TEMP, temp)) {
        fs::remove_all(fs::path(ToolBox::JoinPath(temp, pipeName)), error);
    }
    return result;
}
