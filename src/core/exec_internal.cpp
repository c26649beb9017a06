// "startZ5", "startZ5install", "createShortcut", "createShortcutFromZ5Install": start an
// application of a product installation in the user's session through the installation's
// start tool, or put a shortcut that would start it on the user's desktop.
#include <algorithm>
#include <array>
#include <cctype>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "base/config.h"
#include "base/folders.h"
#include "base/json/json.h"
#include "base/logger.h"
#include "base/return_code.h"
#include "base/toolbox.h"
#include "base/zorvid_request_info.h"
#include "core/functionnal_core.h"
#include "core/launch_request.h"
#include "install/win_registry.h"
#include "platform/path.h"
#include "session/companions.h"
#include "session/operations_as_user.h"
#include "session/operations_local.h"

namespace {

namespace fs = std::filesystem;
namespace AsUser = Operations::AsUser;
using RC = ReturnCode;

constexpr std::array<std::array<const char*, 2>, 3> kExecutableFolders = {
    {{"code", "bin"}, {"code", "command"}, {"code", "clr"}}};
constexpr std::uint32_t kMaxFileArgs = 20;
constexpr double kMaxFileArgAgeSeconds = 86400;
// kStartToolWaitMs bounds the wait for the start tool, which exits once the application
// has started; the installation stays locked meanwhile. The start tool is handed over to the
// user's session and still waited for, so that it and the application outlive the worker and
// the daemon. A program started directly (mode None) is handed over and not waited for.
constexpr std::int32_t kStartToolWaitMs = 60000;

std::string Now() {
    return ToolBox::FormatTime(std::nullopt, false, false, "%Y_%m_%d-%H%M%S");
}

std::string Under(const std::string& base, std::initializer_list<const char*> parts) {
    std::string path = base;
    for (const char* part : parts) {
        path = ToolBox::JoinPath(path, part);
    }
    return path;
}

// InstallationLock holds an installation id for a launch and releases it however the
// launch ends. An empty id is never held.
class InstallationLock {
  public:
    bool Take(const std::string& id) {
        id_ = id;
        held_ = FunctionnalCore::Lock(id);
        return held_ || id.empty();
    }
    ~InstallationLock() {
        if (held_) {
            FunctionnalCore::Release(id_);
        }
    }

  private:
    std::string id_;
    bool held_ = false;
};

// Launch carries one request through the steps; tag begins every log line.
struct Launch {
    const ZorvidRequestInfo& request;
    std::string tag;
    LaunchRequest params;
    std::string runtime;
    std::string envDir;
    std::string envName;
    std::string executable;  // the resolved executable, empty when not found
    std::vector<std::string> command;
};

std::int32_t FindInstallation(Launch& launch) {
    LaunchRequest& p = launch.params;
    if (!p.installPath.empty() && !p.osds.empty()) {
        return RC::RC_SUCCESS;
    }
    std::vector<Z5Install> found;
    WinRegistry::FindInstall({p.level, p.installationType, p.installPath, p.instID}, found);
    if (found.empty()) {
        Logger::Info(launch.tag + "No valid installation found on this computer.");
        return RC::RC_NO_VALID_INSTALLATION;
    }
    if (found.size() > 1) {
        Logger::Warn(launch.tag + "[" + std::to_string(found.size()) +
                     "] installations found, this case is not supported... aborting client "
                     "launch.");
        return RC::RC_MULTIPLE_VALID_INSTALLATIONS;
    }
    p.osds = found.front().Fields().osds;
    p.installPath = found.front().Fields().targetPath;
    if (p.instID.empty()) {
        p.instID = found.front().Id();
    }
    return RC::RC_SUCCESS;
}

std::int32_t CheckGivenEnvFile(const Launch& launch) {
    const LaunchRequest& p = launch.params;
    if (p.vrkEnvFileName.empty() || p.dirEnv.empty()) {
        return RC::RC_SUCCESS;
    }
    const std::string names = "(dirEnv:[" + p.dirEnv + "]//fileName:[" + p.vrkEnvFileName + "])";
    bool readable = false;
    if (AsUser::CheckFile(launch.request, ToolBox::JoinPath(p.dirEnv, p.vrkEnvFileName),
                          Companions::kCheckKindFile, 4, readable) != AsUser::kResultOk) {
        Logger::Error(launch.tag + " Cannot check  VRKenv file " + names + " status!");
        return RC::RC_INVALID_VRKENV_FILE;
    }
    if (!readable) {
        Logger::Error(launch.tag + " the given VRKenv file " + names +
                      " does not exist or is not accessible !");
        return RC::RC_INVALID_VRKENV_FILE;
    }
    return RC::RC_SUCCESS;
}

// DefinedNames are the names before the first "=" of the file's lines.
bool DefinedNames(const std::string& path, std::vector<std::string>& names) {
    std::vector<std::string> lines;
    if (!ToolBox::File::ReadLines(path, lines)) {
        return false;
    }
    for (const std::string& line : lines) {
        if (const std::size_t equal = line.find('='); equal != std::string::npos) {
            names.push_back(line.substr(0, equal));
        }
    }
    return true;
}

void SetVariables(const Launch& launch, const std::vector<std::string>& defined) {
    bool anyFailed = false;
    for (const auto& member : launch.params.envString->AsObject()->Members()) {
        const std::string& name = member->first;
        const std::string value = LaunchRequest::VariableText(*member->second);
        const bool isNew = std::find(defined.begin(), defined.end(), name) == defined.end();
        std::int32_t rc = RC::RC_ENV_STRING_SYNTAX_ERROR;
        if (const std::string why = LaunchRequest::VariableRefusal(name, value); !why.empty()) {
            Logger::Error(launch.tag + why);
        } else {
            rc = FunctionnalCore::ChangeVRKEnv(name, value, launch.runtime, launch.envDir,
                                               launch.envName, isNew);
        }
        if (rc != RC::RC_SUCCESS) {
            Logger::Error(launch.tag + "Fail to set this variable '" + name + "' to '" + value +
                          "'.");
            anyFailed = true;
        }
    }
    if (anyFailed) {
        Logger::Error(launch.tag +
                      "Some variables settings have failed. Unstable VRKenv stat, some "
                      "unexpected behaviors could happen.");
    }
}

std::int32_t PrepareEnvFile(Launch& launch) {
    const LaunchRequest& p = launch.params;
    launch.envDir = p.dirEnv;
    launch.envName = p.vrkEnvFileName;
    if (p.envString == nullptr || !p.envString->IsObject()) {
        return RC::RC_SUCCESS;
    }
    launch.envName = Config::IsActivated(ConfigId::KTV_MODE) ? "vrkenv_default.KTV.txt"
                                                             : "vrkenv_default." + Now() + ".txt";
    if (!FileAndFoldersManager::GetFolder(Folder::DEFAULT_VRKENV, launch.envDir)) {
        Logger::Error(launch.tag +
                      "Fail to compute FOLDER_INTERNAL_DATA_DEFAULT_VRKENV_PATH path !");
        return RC::RC_SETVRKENV_FAILED;
    }
    if (!ToolBox::IsFolder(launch.envDir) && !Operations::Local::MakeFolder(launch.envDir)) {
        Logger::Error(launch.tag + "Fail to create custom dirEnv folder: '" + launch.envDir + "'");
    }
    std::string reference;
    if (p.vrkEnvFileName.empty() || p.dirEnv.empty()) {
        reference = Under(p.installPath, {"VRKEnv", "Env.txt"});
        Logger::Info(launch.tag +
                     "VRKEnv or/and DirEnv not given. Use the default VRKENV[Env.txt] within the "
                     "default targeted install DirEnv [" +
                     ToolBox::JoinPath(p.installPath, "VRKEnv") + "].");
    } else {
        reference = ToolBox::JoinPath(p.dirEnv, p.vrkEnvFileName);
        Logger::Info(launch.tag + "VrkEnv and Direnv specified. use this as reference VrkEnv File");
    }
    const std::int32_t created = FunctionnalCore::createVrkEnv(p.installPath, p.osds, launch.envDir,
                                                               launch.envName, reference);
    if (created != RC::RC_SUCCESS) {
        return created;
    }
    Logger::Debug(launch.tag + "Extracting variables for the previously created VRKENV ...");
    std::vector<std::string> defined;
    if (!DefinedNames(ToolBox::JoinPath(launch.envDir, launch.envName), defined)) {
        return RC::RC_ENV_FILE_PARSE_FAILED;
    }
    SetVariables(launch, defined);
    return RC::RC_SUCCESS;
}

std::int32_t FileArgsFolder(const Launch& launch, std::string& folder) {
    std::string temp;
    if (!FileAndFoldersManager::GetFolder(Folder::TEMP, temp)) {
        Logger::Error(launch.tag + "Fail to retrieve FOLDER_INTERNAL_DATA_TEMP_PATH folder path!");
        return RC::RC_FILE_ARG_ERROR;
    }
    folder = ToolBox::JoinPath(temp, "fileargs_rep");
    if (ToolBox::IsFolder(folder)) {
        ToolBox::File::CleanOldFilesInFolder(folder, kMaxFileArgs, kMaxFileArgAgeSeconds);
    } else if (!Operations::Local::MakeFolder(folder)) {
        return RC::RC_FILE_ARG_ERROR;
    }
    return RC::RC_SUCCESS;
}

std::int32_t WriteFileArg(Launch& launch, const std::string& folder, std::size_t index,
                          const std::string& name, const std::string& content) {
    if (LaunchRequest::HasControlCharacter(name) ||
        name.find_first_of("/\\") != std::string::npos) {
        Logger::Error(launch.tag + "Refusing the file argument name [" +
                      LaunchRequest::Printable(name) +
                      "]: no path separator or control "
                      "character may appear in it");
        return RC::RC_FILE_ARG_ERROR;
    }
    const std::string path = ToolBox::JoinPath(
        folder, "fargs_file" + name + "_" + std::to_string(index) + "_" + Now() + ".txt");
    std::error_code ignored;
    fs::remove(platform::FsPath(path), ignored);
    if (!ToolBox::File::WriteLines(path, {content}, false)) {
        Logger::Error(launch.tag + "Failed to write the file content here : " + path);
        return RC::RC_FILE_ARG_ERROR;
    }
    std::string& argString = launch.params.argString;
    argString += (argString.empty() ? "" : " ") + name + " \"" + path + "\"";
    return RC::RC_SUCCESS;
}

std::int32_t WriteFileArgs(Launch& launch) {
    const JSON::JSONItem* args = launch.params.fileArgStrings;
    if (args == nullptr || launch.request.GetProtocolVersion().major < 1) {
        return RC::RC_SUCCESS;
    }
    if (!args->IsArray()) {
        Logger::Error(launch.tag + "FileArgs object gave is not a JSON::ARRAY : " + args->Print());
        return RC::RC_INVALID_FILE_ARGS;
    }
    std::string folder;
    if (const std::int32_t rc = FileArgsFolder(launch, folder); rc != RC::RC_SUCCESS) {
        return rc;
    }
    const std::vector<JSON::ItemPtr>& items = args->AsArray()->Items();
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (!items[i]->IsObject()) {
            continue;
        }
        std::string name;
        std::string content;
        JSON::GetStringField("name", name, items[i].get());
        JSON::GetStringField("content", content, items[i].get());
        if (name.empty() || content.empty()) {
            Logger::Warn(launch.tag + "Incomplet object[" + std::to_string(i + 1) +
                         "] into the FileArg array : " + items[i]->Print());
            continue;
        }
        if (const std::int32_t rc = WriteFileArg(launch, folder, i, name, content); rc != 0) {
            return rc;
        }
    }
    return RC::RC_SUCCESS;
}

// Inside tells whether path, with every link resolved, lies inside folder (resolved too).
bool Inside(const std::string& path, const std::string& folder) {
    std::error_code error;
    const fs::path real = fs::canonical(platform::FsPath(path), error);
    const fs::path root = error ? fs::path() : fs::canonical(platform::FsPath(folder), error);
    if (error) {
        return false;
    }
    const auto [rootEnd, realEnd] =
        std::mismatch(root.begin(), root.end(), real.begin(), real.end());
    return rootEnd == root.end() && realEnd != real.end();
}

// CandidateNames is the executable name, then, where programs have no suffix, the name
// without ".exe": pages name Windows programs, products install them here without it.
std::vector<std::string> CandidateNames(const std::string& exeName) {
    std::vector<std::string> names = {exeName};
    const std::string suffix = ".exe";
    if (Companions::ExecutableName("").empty() && exeName.size() > suffix.size() &&
        exeName.compare(exeName.size() - suffix.size(), suffix.size(), suffix) == 0) {
        names.push_back(exeName.substr(0, exeName.size() - suffix.size()));
    }
    return names;
}

void ResolveExecutable(Launch& launch) {
    const std::string& exeName = launch.params.exeName;
    std::vector<std::string> folders;
    for (const auto& folder : kExecutableFolders) {
        folders.push_back(ToolBox::JoinPath(folder[0], folder[1]));
    }
    Logger::Debug(launch.tag + "Try to resolve file '" + exeName + "' into installation folder '" +
                  launch.runtime +
                  "' with this relative path concatenation: " + ToolBox::Join(folders, ", "));
    if (!LaunchRequest::IsRelativeName(exeName)) {
        Logger::Error(launch.tag + "The executable name '" + LaunchRequest::Printable(exeName) +
                      "' is not a relative name inside the installation.");
        return;
    }
    for (const std::string& name : CandidateNames(exeName)) {
        for (const std::string& folder : folders) {
            const std::string candidate =
                ToolBox::JoinPath(ToolBox::JoinPath(launch.runtime, folder), name);
            const bool found = ToolBox::IsFile(candidate) && Inside(candidate, launch.runtime);
            Logger::Debug(launch.tag + candidate + (found ? " found!" : " not found!"));
            if (found) {
                launch.executable = candidate;
                launch.params.exeName = name;  // the start tool looks for the same file
                return;
            }
        }
    }
}

std::int32_t StartToolCommand(Launch& launch) {
    const LaunchRequest& p = launch.params;
    if (launch.executable.empty()) {
        Logger::Error(launch.tag + "Cannot find at least one occurrance of this executable '" +
                      p.exeName + "' in this installation folder : " + p.installPath);
        return RC::RC_EXECUTABLE_OUTSIDE_INSTALLATION;
    }
    if (LaunchRequest::IsBlackListed(p.exeName)) {
        Logger::Error(launch.tag + "Cannot launch VRKStart with '" + p.exeName +
                      "'. This executable is blacklisted by the launcher.");
        return RC::RC_EXECUTABLE_NOT_ALLOWED;
    }
    const std::string tool =
        Under(launch.runtime, {"code", "bin", Companions::ToolNames().startTool});
    if (!ToolBox::IsFile(tool)) {
        Logger::Error(launch.tag + "This executable '" + tool +
                      "' does not exist. Cannot launch the application with this installation '" +
                      p.installPath + "'.");
        return RC::RC_VRKSTART_NOT_FOUND;
    }
    launch.command =
        Companions::StartToolCommand(tool, p.exeName, launch.envName, launch.envDir, p.argString);
    return RC::RC_SUCCESS;
}

std::int32_t BuildCommand(Launch& launch) {
    const std::string& mode = launch.params.nativeLauncherName;
    if (mode == "none") {
        Logger::Debug(launch.tag + " Execution mode: None");
        if (launch.executable.empty()) {
            Logger::Error(launch.tag + "Cannot resolve the executable file '" +
                          launch.params.exeName + "', execution aborted !");
            return RC::RC_TARGET_EXECUTABLE_NOT_FOUND;
        }
        launch.command = {ToolBox::Quote(launch.executable), launch.params.argString};
        return RC::RC_SUCCESS;
    }
    if (mode.empty() || mode == "vrkstart") {
        Logger::Debug(launch.tag + " Execution mode: Vrkstart");
        return StartToolCommand(launch);
    }
    Logger::Error(launch.tag + "Unsupported Native Launche Name: " + mode);
    return RC::RC_NATIVE_LAUNCHER_UNSUPPORTED;
}

std::int32_t RunCommand(const Launch& launch) {
    const bool direct = launch.params.nativeLauncherName == "none";
    std::uint32_t exitCode = 0;
    const std::uint32_t result = AsUser::ExecuteCommandAsUser(
        launch.request, launch.command, exitCode, direct ? 0 : kStartToolWaitMs, false, true);
    if (result != AsUser::kResultOk) {
        Logger::Error(launch.tag +
                      "AsUser Application launch failed with rc: " + std::to_string(result));
        return RC::RC_VRKSTART_FAILED;
    }
    if (exitCode != 0) {
        Logger::Error(launch.tag + "Application launch failed with rc: " + std::to_string(result));
        return RC::RC_VRKSTART_FAILED;
    }
    return RC::RC_SUCCESS;
}

std::string SummaryText(const Launch& launch) {
    const LaunchRequest& p = launch.params;
    std::string text =
        "Trying to start application with these parameters :" + ("\n-[installId]: " + p.instID) +
        "\n-[targetPath]: " + p.installPath + "\n-[Installation type]: " + p.installationType +
        "\n-[Exe Name]: " + p.exeName + "\n-[level]: " + p.level + "\n-[osds]: " + p.osds +
        "\n-[Environment String]: " +
        (p.envString != nullptr ? p.envString->Print() : std::string("null")) +
        "\n-[dirEnv]: " + p.dirEnv + "\n-[VRKENV file name]: " + p.vrkEnvFileName +
        "\n-[object argument string]: " + p.argString +
        "\n-[native Launcher Name]: " + p.nativeLauncherName +
        "\n-[Shortcut Mode ]: " + (p.createShortcut ? "true" : "false") +
        "\n-[Shortcut's name]: " + p.scName +
        "\n-[Shortcut's icon relative Path]: " + p.iconRelPath +
        "\n-[Shortcut's displayed description]: " + p.scDesc;
    if (launch.request.GetProtocolVersion().major >= 1) {
        text += "\n-[FileArgs string]: " +
                (p.fileArgStrings != nullptr ? p.fileArgStrings->Print() : std::string("null"));
    }
    return text;
}

void ExpandEnvFileNames(Launch& launch) {
    LaunchRequest& p = launch.params;
    if (!FunctionnalCore::resolveEnvVarInPath(launch.request, p.dirEnv, p.dirEnv)) {
        Logger::Error(launch.tag +
                      "Fail to resolve env var in the VRKENV folder path : " + p.dirEnv);
    }
    if (!FunctionnalCore::resolveEnvVarInPath(launch.request, p.vrkEnvFileName, p.vrkEnvFileName)) {
        Logger::Error(launch.tag +
                      "Fail to resolve env var in the VRKENV filename : " + p.vrkEnvFileName);
    }
}

// Prepare runs the steps that a launch and a shortcut share, from the environment file to
// the command.
std::int32_t Prepare(Launch& launch) {
    launch.runtime = ToolBox::JoinPath(launch.params.installPath, launch.params.osds);
    if (const std::int32_t rc = CheckGivenEnvFile(launch); rc != RC::RC_SUCCESS) {
        return rc;
    }
    if (const std::int32_t rc = PrepareEnvFile(launch); rc != RC::RC_SUCCESS) {
        return rc;
    }
    if (const std::int32_t rc = WriteFileArgs(launch); rc != RC::RC_SUCCESS) {
        return rc;
    }
    ResolveExecutable(launch);
    return BuildCommand(launch);
}

}  // namespace

std::int32_t FunctionnalCore::ExecInternalInt(const ZorvidRequestInfo& request,
                                              const JSON::JSONItem* params) {
    Launch launch{request, "[ExecInternalInt-(" + request.ToString() + ")]", {}, {}, {}, {}, {},
                  {}};
    if (params == nullptr || !params->IsObject()) {
        Logger::Error(launch.tag + "No argument JSON Object was given!");
        return RC::RC_ARGUMENTS_REQUIRED;
    }
    launch.params = LaunchRequest::Read(*params);
    ExpandEnvFileNames(launch);
    Logger::Debug(launch.tag + SummaryText(launch));
    if (const std::string why = launch.params.TextRefusal(); !why.empty()) {
        Logger::Error(launch.tag + why);
        return RC::RC_UNEXPECTED_PARAMETER_TYPE;
    }
    if (const std::int32_t rc = FindInstallation(launch); rc != RC::RC_SUCCESS) {
        return rc;
    }
    InstallationLock lock;
    if (!launch.params.createShortcut && !lock.Take(launch.params.instID)) {
        return RC::RC_CONFLICTING_OPERATION;
    }
    if (const std::int32_t rc = Prepare(launch); rc != RC::RC_SUCCESS) {
        return rc;
    }
    if (!launch.params.createShortcut) {
        return RunCommand(launch);
    }
    return MakeShortcutFor(launch.request, launch.tag, launch.params, launch.runtime,
                           launch.command);
}

std::int32_t FunctionnalCore::LaunchZ5Install(const ZorvidRequestInfo& request,
                                              const JSON::JSONItem& params, JSON::JSONDocument&) {
    return RunInFrame(LAUNCH_Z5INSTALL_FRAME, request,
                      [&] { return ExecInternalInt(request, &params); });
}

std::int32_t FunctionnalCore::CreateShortcut(const ZorvidRequestInfo& request,
                                             const JSON::JSONItem& params, JSON::JSONDocument&) {
    return RunInFrame(CREATE_SHORTCUT_FRAME, request,
                      [&] { return ExecInternalInt(request, &params); });
}

std::int32_t FunctionnalCore::CreateShortcutFromZ5Install(const ZorvidRequestInfo& request,
                                                          const JSON::JSONItem& params,
                                                          JSON::JSONDocument&) {
    return RunInFrame(CREATE_SHORTCUT_Z5INSTALL_FRAME, request,
                      [&] { return ExecInternalInt(request, &params); });
}
