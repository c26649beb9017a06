// "uninstall": remove a product installation by running its own uninstall script, in the
// daemon's account, with the page's variables, while the installation is locked against
// launches.
#include <optional>
#include <string>
#include <vector>

#include "base/json/json.h"
#include "base/logger.h"
#include "base/return_code.h"
#include "base/toolbox.h"
#include "base/zorvid_request_info.h"
#include "core/functionnal_core.h"
#include "install/win_registry.h"
#include "platform/file_trust.h"
#include "session/companions.h"
#include "session/operations_local.h"
#include "session/systray_coms.h"

namespace {

using RC = ReturnCode;

constexpr const char* kResolveTag = "[FunctionnalCore::resolveInstallIdFromTargetPath]";

// Lookup finds the one installation that matches the filter: 0 with it, or 221, 222, 223,
// each logged under tag; text names what was searched for.
std::int32_t Lookup(const std::string& tag, const Z5InstallFilter& filter, const std::string& text,
                    std::optional<Z5Install>& found) {
    std::vector<Z5Install> installations;
    if (!WinRegistry::FindInstall(filter, installations)) {
        Logger::Error(tag + "Fail to list install within the registry.");
        return RC::RC_UNINSTALL_REGISTRY_ERROR;
    }
    if (installations.empty()) {
        Logger::Error(tag + "No install found with this installId[" + text + "].");
        return RC::RC_UNINSTALL_NONE_FOUND;
    }
    if (installations.size() > 1) {
        std::string list;
        for (const Z5Install& installation : installations) {
            list += "\n" + installation.ToString();
        }
        Logger::Error(tag + "Too many install selected with this installId[" + text +
                      "]. install list : " + list);
        return RC::RC_UNINSTALL_TOO_MANY_FOUND;
    }
    found.emplace(installations.front());
    return RC::RC_SUCCESS;
}

// VariableText is " --var "name=value"" for each member of the object, in member order;
// each pair is quoted with the command-line helper, so a quote in a value cannot start
// another item for the script.
std::string VariableText(const JSON::JSONItem* variables) {
    std::string text;
    if (variables == nullptr || !variables->IsObject()) {
        return text;
    }
    for (const auto& member : variables->AsObject()->Members()) {
        const std::string value = member->second ? member->second->GetString() : std::string();
        text += " --var " + Companions::QuoteItem(member->first + "=" + value);
    }
    return text;
}

// ScriptToRun is the script path to run, or empty (logged) when the daemon may not run it:
// with administrator rights, only a script that they alone can change runs, by its resolved
// path; a script that its user can change would run that user's choice as root.
std::string ScriptToRun(const std::string& tag, const std::string& script) {
    if (!platform::RunsAsAdministrator()) {
        return script;
    }
    const platform::FileTrust trust = platform::CheckAdministratorTrust(script);
    if (!trust.trusted) {
        Logger::Error(tag + "Refusing to run '" + script +
                      "' with administrator rights: " + trust.reason);
        return {};
    }
    return trust.resolvedPath;
}

// InstallationLock holds an installation id in the lock list for its scope.
class InstallationLock {
  public:
    explicit InstallationLock(const std::string& id) : id_(id), held_(FunctionnalCore::Lock(id)) {}
    ~InstallationLock() {
        if (held_) {
            FunctionnalCore::Release(id_);
        }
    }
    InstallationLock(const InstallationLock&) = delete;
    InstallationLock& operator=(const InstallationLock&) = delete;
    bool Held() const { return held_ || id_.empty(); }

  private:
    std::string id_;
    bool held_;
};

// RunScript runs the script quietly, with the variable text in the script's own
// environment: 0, 224 or 225.
std::int32_t RunScript(const std::string& tag, const ZorvidRequestInfo& request,
                       const Z5Install& installation, const std::string& script,
                       const std::string& variables) {
    const std::string& id = installation.Id();
    const std::string runnable = ScriptToRun(tag, script);
    if (runnable.empty()) {
        Logger::Error(tag + "Fail to execute uninstallation script of the installation behind id[" +
                      id + "] located here : " + script);
        return RC::RC_UNINSTALL_LAUNCH_FAILED;
    }
    Spinner spinner(SystrayComs(request), true);
    std::uint32_t exitCode = 0;
    if (!Operations::Local::ExecuteCmd(
            Companions::UninstallCommand(runnable), exitCode,
            {std::string(Companions::kUninstallVariable) + "=" + variables},
            Operations::Local::kNoTimeLimit)) {
        Logger::Error(tag + "Fail to execute uninstallation script of the installation behind id[" +
                      id + "] located here : " + script);
        return RC::RC_UNINSTALL_LAUNCH_FAILED;
    }
    if (exitCode != 0) {
        Logger::Error(tag + "Uninstallation of the installation behind id[" + id +
                      "] located in [" + installation.Fields().targetPath + "] failed with rc [" +
                      std::to_string(exitCode) + "]");
        return RC::RC_UNINSTALL_FAILED;
    }
    return RC::RC_SUCCESS;
}

}  // namespace

std::int32_t FunctionnalCore::resolveInstallIdFromTargetPath(const std::string& rootFolder,
                                                             std::string& installId) {
    std::optional<Z5Install> found;
    const std::int32_t rc = Lookup(kResolveTag, {"", "", rootFolder, ""}, rootFolder, found);
    if (rc == RC::RC_SUCCESS) {
        installId = found->Id();
    }
    return rc;
}

std::int32_t FunctionnalCore::UninstallInt2(const ZorvidRequestInfo& request,
                                            const JSON::JSONItem* params) {
    const std::string tag = "[UninstallInt2-(" + request.ToString() + ")]";
    if (params == nullptr || !params->IsObject()) {
        Logger::Error(tag + "No argument JSON Object was given!");
        return RC::RC_UNINSTALL_INVALID_ARGUMENTS;
    }
    std::string id;
    std::string targetPath;
    JSON::GetStringField("installId", id, params);
    JSON::GetStringField("installTargetPath", targetPath, params);
    const DaemonVersion& level = request.GetProtocolVersion();
    const bool withVariables = level.major > 2 || (level.major == 2 && level.minor >= 3);
    const JSON::JSONItem* variables = withVariables ? params->Get("uninstVarData") : nullptr;
    if (id.empty() && !targetPath.empty()) {
        if (const std::int32_t rc = resolveInstallIdFromTargetPath(targetPath, id); rc != 0) {
            return rc;
        }
    }
    const std::string variableText = VariableText(variables);
    Logger::Debug(tag + "Try to uninstall local installation with these parameters :" +
                  "\n-[installId]: " + id + "\n-[instVarList]: " + variableText);
    std::optional<Z5Install> found;
    if (const std::int32_t rc = Lookup(tag, {"", "", "", id}, id, found); rc != 0) {
        return rc;
    }
    const Z5Install& installation = *found;
    const InstallationLock lock(installation.Id());
    if (!lock.Held()) {
        Logger::Error(tag + "The installation behind id[" + installation.Id() +
                      "] is in use: uninstallation refused.");
        return RC::RC_CONFLICTING_OPERATION;
    }
    const std::string script = ToolBox::JoinPath(installation.Fields().targetPath,
                                                 Companions::ToolNames().uninstallScript);
    if (!ToolBox::IsFile(script)) {
        Logger::Error(tag + "the uninstallation batch file [" + script + "] does not existe");
        return RC::RC_UNINSTALL_BATCH_MISSING;
    }
    return RunScript(tag, request, installation, script, variableText);
}

std::int32_t FunctionnalCore::Uninstall(const ZorvidRequestInfo& request,
                                        const JSON::JSONItem& params, JSON::JSONDocument&) {
    return RunInFrame(UNINSTALL_FRAME, request, [&] { return UninstallInt2(request, &params); });
}
