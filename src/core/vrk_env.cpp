// createVrkEnv and ChangeVRKEnv: an installation's environment tools make a new environment
// file and set variables in it. They run locally, in the daemon's own context, with a time
// limit; with administrator rights only when the tool is trusted to run with them.
#include <cstdlib>
#include <string>
#include <vector>

#include "base/config.h"
#include "base/logger.h"
#include "base/return_code.h"
#include "base/toolbox.h"
#include "core/functionnal_core.h"
#include "platform/file_trust.h"
#include "session/companions.h"
#include "session/operations_local.h"

namespace {

// kMaxEnvFiles and kMaxEnvFileAgeSeconds bound the environment folder before a creation.
constexpr std::uint32_t kMaxEnvFiles = 20;
constexpr double kMaxEnvFileAgeSeconds = 86400;

std::string BinFolder(const std::string& runtime) {
    return ToolBox::JoinPath(ToolBox::JoinPath(runtime, "code"), "bin");
}

// ChooseTool is the test harness's tool from $PMX_KTV_IN when it exists there, else the
// installation's own.
std::string ChooseTool(const std::string& runtime, const char* tool, const char* testTool) {
    if (Config::IsActivated(ConfigId::KTV_MODE)) {
        const char* folder = std::getenv("PMX_KTV_IN");
        const std::string base = folder != nullptr ? folder : "";
        const std::string candidate = ToolBox::JoinPath(base, testTool);
        if (!base.empty() && ToolBox::IsFile(candidate)) {
            return candidate;
        }
        Logger::Debug(std::string("[") + testTool + "]  not found in : " + base);
    }
    return ToolBox::JoinPath(BinFolder(runtime), tool);
}

std::int32_t TimeLimit() {
    return Config::IsActivated(ConfigId::KTV_MODE) ? Operations::Local::kNoTimeLimit
                                                   : Companions::kToolTimeoutMs;
}

// TrustedTool gives the path to run: with administrator rights only a tool that they alone
// can change is run (its resolved path, so that the check holds for what runs). Empty, with
// one log line, when the tool must not run.
std::string TrustedTool(const std::string& tag, const std::string& tool) {
    if (!platform::RunsAsAdministrator()) {
        return tool;
    }
    const platform::FileTrust trust = platform::CheckAdministratorTrust(tool);
    if (!trust.trusted) {
        Logger::Error(tag + "Refusing to run '" + tool +
                      "' with administrator rights: " + trust.reason);
        return {};
    }
    return trust.resolvedPath;
}

// RunTool runs the command; false when it could not run, did not end in time or was
// refused. exitCode is the tool's.
bool RunTool(std::vector<std::string> command, std::uint32_t& exitCode) {
    return Operations::Local::ExecuteCmd(command, exitCode, false, TimeLimit());
}

}  // namespace

std::int32_t FunctionnalCore::createVrkEnv(const std::string& installRoot, const std::string& osds,
                                           const std::string& envDir, const std::string& envName,
                                           const std::string& reference) {
    const std::string tag = "[createVrkEnv]";
    Logger::Debug(tag + "Trying to create VRKENV with these parameters :\n-[targetPath]: " +
                  installRoot + "\n-[osds]: " + osds + "\n-[dirEnv]: " + envDir +
                  "\n-[VRKENV file name]: " + envName + "\n-[reference VRKENV]: " + reference);
    const Companions::ProductToolNames& names = Companions::ToolNames();
    const std::string tool = ChooseTool(ToolBox::JoinPath(installRoot, osds), names.envCreationTool,
                                        names.envCreationTestTool);
    if (!ToolBox::IsFile(tool)) {
        Logger::Error(tag + "This executable '" + tool +
                      "' does not exist. The creation of the VRKENV is impossible.");
        return ReturnCode::RC_SETVRKENV_NOT_FOUND;
    }
    const std::string runnable = TrustedTool(tag, tool);
    if (runnable.empty()) {
        return ReturnCode::RC_SETVRKENV_FAILED;
    }
    if (ToolBox::IsFolder(envDir)) {
        ToolBox::File::CleanOldFilesInFolder(envDir, kMaxEnvFiles, kMaxEnvFileAgeSeconds);
    }
    std::string usedReference;
    if (ToolBox::IsFile(reference)) {
        usedReference = reference;
        Logger::Info(tag + "Using this VRKENV '" + reference + "' as reference file.");
    } else if (!reference.empty()) {
        Logger::Warn(tag + "The reference VRKENV has been specified but this file '" + reference +
                     "' does not exist.");
    }
    const std::vector<std::string> command =
        Companions::EnvCreationCommand(runnable, envName, envDir, installRoot, usedReference);
    Logger::Info(tag + "Command to create alternative VRKEnv: " + Companions::JoinItems(command));
    std::uint32_t exitCode = 0;
    if (!RunTool(command, exitCode)) {
        Logger::Error(tag + "Fail to run Created VRKEnv command. (rc: " + std::to_string(exitCode) +
                      " )");
        return ReturnCode::RC_SETVRKENV_FAILED;
    }
    if (exitCode != 0) {
        Logger::Error(tag + "Created VRKEnv failed. (rc: " + std::to_string(exitCode) + " )");
        return ReturnCode::RC_SETVRKENV_FAILED;
    }
    return ReturnCode::RC_SUCCESS;
}

std::int32_t FunctionnalCore::ChangeVRKEnv(const std::string& name, const std::string& value,
                                           const std::string& runtime, const std::string& envDir,
                                           const std::string& envName, bool isNew) {
    const std::string tag = "[ChangeVRKEnv]";
    Logger::Debug(tag + "Try to create VRKENV with these parameters :\n-[targetPath with Osds]: " +
                  runtime + "\n-[dirEnv]: " + envDir + "\n-[variable's Name]: " + name +
                  "\n-[variable's value]: " + value + "\n-[VRKENV file name]: " + envName +
                  "\n-[isNew]: " + (isNew ? "true" : "false"));
    const Companions::ProductToolNames& names = Companions::ToolNames();
    const std::string tool = ChooseTool(runtime, names.envChangeTool, names.envChangeTestTool);
    if (!ToolBox::IsFile(tool)) {
        Logger::Error(tag + "This executable '" + tool +
                      "' does not exist. The modification of the VRKENV is impossible.");
        return ReturnCode::RC_CHVRKENV_NOT_FOUND;
    }
    const std::string runnable = TrustedTool(tag, tool);
    if (runnable.empty()) {
        return ReturnCode::RC_CHVRKENV_FAILED;
    }
    const std::vector<std::string> command =
        Companions::EnvChangeCommand(runnable, envName, envDir, name, value, isNew);
    std::uint32_t exitCode = 0;
    if (!RunTool(command, exitCode)) {
        Logger::Error(tag + "Fail to run chvrkenv command. (rc: " + std::to_string(exitCode) +
                      " )");
        return ReturnCode::RC_CHVRKENV_FAILED;
    }
    if (exitCode != 0) {
        Logger::Error(
            tag + "VRKEnv alteration by chvrkenv failed. (rc: " + std::to_string(exitCode) + " )");
        return ReturnCode::RC_CHVRKENV_FAILED;
    }
    Logger::Debug(tag + "Successfully run chvrkenv command.");
    return ReturnCode::RC_SUCCESS;
}
