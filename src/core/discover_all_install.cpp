// "discoverAllInstall": the registered product installations that match the page's filter, as
// a JSON array of installation objects.
#include <string>
#include <vector>

#include "base/json/json.h"
#include "base/logger.h"
#include "core/functionnal_core.h"
#include "front/return_code.h"
#include "front/zorvid_request_info.h"
#include "install/win_registry.h"

namespace {

// ReadFilter takes the filter members of the parameter object; absent members stay empty.
Z5InstallFilter ReadFilter(const JSON::JSONItem* params) {
    Z5InstallFilter filter;
    if (params != nullptr) {
        JSON::GetStringField("level", filter.level, params);
        JSON::GetStringField("instType", filter.installationType, params);
        JSON::GetStringField("installPath", filter.installPath, params);
        JSON::GetStringField("instID", filter.id, params);
    }
    return filter;
}

bool DebugEnabled() {
    const LogLevel threshold = Logger::Threshold();
    return threshold == LogLevel::All || threshold <= LogLevel::Debug;
}

}  // namespace

std::int32_t FunctionnalCore::DiscoverAllInstallations(const ZorvidRequestInfo& request,
                                                       const JSON::JSONItem& params,
                                                       JSON::JSONDocument& result) {
    return RunInFrame(DISCOVER_ALL_INSTALL_FRAME, request,
                      [&] { return DiscoverAllInstall(request, &params, result); });
}

std::int32_t FunctionnalCore::DiscoverAllInstall(const ZorvidRequestInfo& request,
                                                 const JSON::JSONItem* params,
                                                 JSON::JSONDocument& result) {
    const std::string tag = "[DiscoverAllInstall-(" + request.ToString() + ")]";
    result.Clear();
    result.SetRoot(JSON::CreateArray());
    JSON::JSONArray& array = *result.Root()->AsArray();

    std::vector<Z5Install> installations;
    if (!WinRegistry::FindInstall(ReadFilter(params), installations)) {
        Logger::Error(tag + "Fail to read the installations from the registry");
        return ReturnCode::RC_REGISTRY_ACCESS_ERROR;
    }
    Logger::Debug(tag + " Valid Z5install found counter: " + std::to_string(installations.size()));
    // The running array is printed only when the line can reach the log: it grows with every
    // record.
    const bool traceArray = DebugEnabled();
    for (const auto& install : installations) {
        JSON::ItemPtr object = install.ToJSON();
        if (!object) {
            continue;
        }
        Logger::Debug(tag + "put new Z5install: " + install.ToString() +
                      " ( as JSON string: " + object->Print() + " )");
        array.Add(std::move(object));
        if (traceArray) {
            Logger::Debug(tag + "Current JSON array: " + array.Print());
        }
    }
    return ReturnCode::RC_SUCCESS;
}
