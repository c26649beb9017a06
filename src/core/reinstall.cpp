// "reinstallMedia": an installation is uninstalled, then media are installed into its folder.
#include <string>

#include "base/json/json.h"
#include "base/logger.h"
#include "base/return_code.h"
#include "base/zorvid_request_info.h"
#include "core/functionnal_core.h"
#include "install/win_registry.h"

namespace {

// RootOf is the folder of the installation with that id; empty when none or several.
std::string RootOf(const std::string& installId) {
    Z5InstallFilter filter;
    filter.id = installId;
    std::vector<Z5Install> found;
    WinRegistry::FindInstall(filter, found);
    return found.size() == 1 ? found.front().Fields().targetPath : std::string();
}

}  // namespace

std::int32_t FunctionnalCore::Reinstall(const ZorvidRequestInfo& request,
                                        const JSON::JSONItem* params) {
    std::string installId;
    std::string targetPath;
    if (params != nullptr && params->IsObject()) {
        JSON::GetStringField("installId", installId, params);
        JSON::GetStringField("installTargetPath", targetPath, params);
    }
    if (installId.empty()) {
        if (targetPath.empty()) {
            Logger::Error(
                "[FunctionnalCore::Reinstall]NO taget Install to reinstall ! we need one of these "
                "parameters : (installId/installTargetPath)");
            return ReturnCode::RC_REINSTALL_NO_TARGET;
        }
        const std::int32_t resolved = resolveInstallIdFromTargetPath(targetPath, installId);
        if (resolved != ReturnCode::RC_SUCCESS) {
            return resolved;
        }
    }
    const std::string target = targetPath.empty() ? RootOf(installId) : targetPath;
    JSON::ItemPtr copy = params->Clone();
    copy->AsObject()->Set("defaultTargetPath", JSON::CreateString(target));

    Logger::Debug("-------------- Uninstalling target : " + target + " --------------");
    const std::int32_t uninstalled = UninstallInt2(request, copy.get());
    if (uninstalled != ReturnCode::RC_SUCCESS) {
        Logger::Error("-------------- uninstallalation fail [" + std::to_string(uninstalled) +
                      "] --------------");
        return uninstalled;
    }
    Logger::Debug("-------------- Uninstallalation succesfull --------------");
    Logger::Debug("============== installing new media at : " + target + " ==============");
    const std::int32_t installed = InstallMediaInt(request, copy.get());
    if (installed == ReturnCode::RC_SUCCESS) {
        Logger::Debug("============== installalation succesfull ==============");
    } else {
        Logger::Error("============== installalation fail [" + std::to_string(installed) +
                      "] ==============");
    }
    return installed;
}

std::int32_t FunctionnalCore::ReinstallMedia(const ZorvidRequestInfo& request,
                                             const JSON::JSONItem& params, JSON::JSONDocument&) {
    return RunInFrame(REINSTALL_FRAME, request, [&] { return Reinstall(request, &params); });
}
