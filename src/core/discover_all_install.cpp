// "discoverAllInstall": the registered product installations that match the page's filter, as
// a JSON array of installation objects.
#include <string>
#include <vector>

#include "base/json/json.h"
#include "base/logger.h"
#include "base/return_code.h"
#include "base/zorvid_request_info.h"
#include "core/functionnal_core.h"
#include "install/win_registry.h"

namespace {

// kArrayTraceBytes is more than a log line keeps.
constexpr std::size_t kArrayTraceBytes = 65536;

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
    return Logger::Threshold() <= LogLevel::Debug;
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
    const bool traceArray = DebugEnabled();
    std::string arrayTrace;
    bool traceComplete = true;
    for (const auto& install : installations) {
        JSON::ItemPtr object = install.ToJSON();
        if (!object) {
            continue;
        }
        Logger::Debug(tag + "put new Z5install: " + install.ToString() +
                      " ( as JSON string: " + object->Print() + " )");
        array.Add(std::move(object));
        if (!traceArray) {
            continue;
        }
        // A log line keeps only its first 40960 bytes, and the start of the array's text no
        // longer changes once it is longer than that: printing it again would cost time that
        // grows with the square of the count and change nothing in the log.
        if (traceComplete) {
            arrayTrace = array.Print();
            if (arrayTrace.size() > kArrayTraceBytes) {
                arrayTrace.resize(kArrayTraceBytes);
                traceComplete = false;
            }
        }
        Logger::Debug(tag + "Current JSON array: " + arrayTrace);
    }
    return ReturnCode::RC_SUCCESS;
}
