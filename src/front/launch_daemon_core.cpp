#include "front/launch_daemon_core.h"

#include <map>
#include <optional>
#include <utility>

#include "base/config.h"
#include "base/daemon_version.h"
#include "base/log_text.h"
#include "base/logger.h"
#include "base/query_text.h"
#include "base/return_code.h"
#include "base/toolbox.h"
#include "base/zorvid_request_info.h"
#include "core/functionnal_core.h"
#include "front/decrypt_argument.h"
#include "front/iframe.h"
#include "session/session_query.h"
#include "session/shared_data.h"

namespace {

using Entry = LaunchDaemonCore::MainFunctionEntry;
using Rule = LaunchDaemonCore::ParamsRule;
using FunctionTable = LaunchDaemonCore::FunctionTable;

std::string Answer(std::int32_t code, JSON::ItemPtr content = nullptr,
                   const std::string& commentary = {}) {
    std::string text;
    return ReturnCode::BuildJSONReponseObject(text, code, std::move(content), commentary);
}

std::string Value(const std::map<std::string, std::string>& body, const std::string& key) {
    auto it = body.find(key);
    return it == body.end() ? std::string() : it->second;
}

// LogRequest writes the request at DEBUG, once: its texts come from the page, so control
// characters are escaped, and the body is cut and shows no ticket. Nothing body-sized is
// built when DEBUG lines are not written.
void LogRequest(const std::string& urlPath, const std::string& optionString,
                const std::string& reqBody, const std::string& reqVerb) {
    if (Logger::Threshold() > LogLevel::Debug) {
        return;
    }
    Logger::Debug(
        "[LaunchDaemonCore::HandleRequest] {urlPath}: " + ToolBox::EscapeControls(urlPath) +
        "//{reqVerb}: " + ToolBox::EscapeControls(reqVerb) +
        "//{optionString}: " + ToolBox::EscapeControls(optionString.substr(0, 1024)) +
        "//{reqBody}: " + ToolBox::RequestBodyForLog(reqBody));
}

// TransportRefusal answers a request that is not a POST over HTTPS; empty when it is one. The
// test harness runs without the transport rules.
std::optional<std::string> TransportRefusal(const std::string& reqVerb, bool isHttps) {
    if (Config::IsActivated(ConfigId::KTV_MODE)) {
        return std::nullopt;
    }
    if (!isHttps) {
        return Answer(ReturnCode::RC_HTTPS_REQUIRED, nullptr,
                      "Invalid protocol ! ( HTTPS is required )");
    }
    if (reqVerb != "POST") {
        return Answer(ReturnCode::RC_INVALID_HTTP_VERB, nullptr,
                      "Invalid HTTP verb ! ( POST required instead of : " + reqVerb + " )");
    }
    return std::nullopt;
}

std::string VersionAnswer() {
    JSON::ItemPtr content = JSON::CreateObject();
    JSON::JSONObject* versions = content->AsObject();
    versions->Set("daemon", JSON::CreateString(DaemonVersion::GetCurrentDaemonLevel().ToString()));
    versions->Set("build", JSON::CreateString(DaemonVersion::GetBuildLevel().ToString()));
    versions->Set("msi", JSON::CreateString(ToolBox::GetMsiVersion()));
    return Answer(ReturnCode::RC_SUCCESS, std::move(content));
}

// LevelRefusal answers a request whose protocol level is unset or outside the range from
// the compatibility level to the current level; empty when the level is accepted.
std::optional<std::string> LevelRefusal(const DaemonVersion& level,
                                        const std::string& versionText) {
    if (level.major == DaemonVersion::kUnset || level.minor == DaemonVersion::kUnset) {
        return Answer(ReturnCode::RC_DAEMON_LEVEL_UNSUPPORTED, nullptr,
                      "Cannot parse the given Daemon level : " + versionText);
    }
    const DaemonVersion current = DaemonVersion::GetCurrentDaemonLevel();
    if (level > current) {
        return Answer(
            ReturnCode::RC_DAEMON_LEVEL_UNSUPPORTED, nullptr,
            "Required daemon level is above the current daemon level : " + current.ToString());
    }
    const DaemonVersion compatibility = DaemonVersion::GetCompatibilityLevel();
    if (level < compatibility) {
        return Answer(ReturnCode::RC_DAEMON_LEVEL_UNSUPPORTED, nullptr,
                      "Required daemon level is lower than compatibility daemon level : " +
                          compatibility.ToString());
    }
    return std::nullopt;
}

// ArgumentRefusal answers an argument that is not {"functionName": text, "params": object};
// empty when it is one.
std::optional<std::string> ArgumentRefusal(const JSON::JSONDocument& argument,
                                           const std::string& plain) {
    const JSON::JSONItem* root = argument.Root();
    if (root == nullptr || !root->IsObject()) {
        return Answer(ReturnCode::RC_OPTION_STRING_PARSE_FAILED, nullptr,
                      "fail to parse this JSON string as a JSON Object : [" + plain + "]");
    }
    const JSON::JSONItem* name = root->Get("functionName");
    if (name == nullptr || !name->IsString()) {
        return Answer(ReturnCode::RC_OPTION_OBJECT_TYPE_ERROR, nullptr,
                      "fail to parse this JSON string as a JSON Value (invalid type in this "
                      "fields [functionName] ): [" +
                          plain + "]");
    }
    const JSON::JSONItem* params = root->Get("params");
    if (params == nullptr || !params->IsObject()) {
        return Answer(ReturnCode::RC_OPTION_OBJECT_TYPE_ERROR, nullptr,
                      "fail to parse this JSON string as a JSON Object (invalid type in this "
                      "fields [params] ): [" +
                          plain + "]");
    }
    return std::nullopt;
}

// CopyWithCreateShortcut copies the parameters and sets "createShortcut" (an existing member
// is overwritten); null when the copy fails.
JSON::ItemPtr CopyWithCreateShortcut(const JSON::JSONItem& params, bool createShortcut) {
    JSON::ItemPtr copy = params.Clone();
    if (copy == nullptr || !copy->IsObject()) {
        Logger::Error("[LaunchDaemonCore::HandleRequest] Fail to copy the parameters object : " +
                      params.Print());
        return nullptr;
    }
    copy->AsObject()->Set("createShortcut", JSON::CreateBool(createShortcut));
    return copy;
}

// CallMainFunction runs the entry and builds the answer: success gives a null content, or the
// result document for functions that answer with one; a failure gives back the whole
// argument, so that the page sees what it asked.
std::string CallMainFunction(const Entry& entry, const ZorvidRequestInfo& identity,
                             JSON::JSONDocument& argument) {
    const JSON::JSONItem& params = *argument.Root()->Get("params");
    JSON::ItemPtr copy;
    if (entry.params != Rule::AsReceived) {
        copy = CopyWithCreateShortcut(params, entry.params == Rule::WithCreateShortcut);
        if (copy == nullptr) {
            return Answer(ReturnCode::RC_INTERNAL_EXCEPTION);
        }
    }
    JSON::JSONDocument result;
    const std::int32_t rc = entry.call(identity, copy ? *copy : params, result);
    if (rc != ReturnCode::RC_SUCCESS) {
        return Answer(rc, argument.Release());
    }
    return Answer(ReturnCode::RC_SUCCESS, entry.answersWithResult ? result.Release() : nullptr);
}

// HandleFunction runs the steps of a "function" request from the argument on: decryption,
// argument checks, session check and dispatch.
std::string HandleFunction(const ZorvidRequestInfo& identity, const std::string& arg,
                           const FunctionTable& functions) {
    Logger::Debug("[LaunchDaemonCore::HandleRequest] Inc execution section.");
    if (arg.empty()) {
        return Answer(ReturnCode::RC_ARGUMENTS_REQUIRED, nullptr, "no argument string given !");
    }
    std::string plain;
    if (!Operations::DecryptArgument(identity, arg, plain)) {
        return Answer(ReturnCode::RC_ARGUMENT_DECRYPTION_FAILED, nullptr,
                      "decryption of the URL's argument encrypted string FAIL !");
    }
    if (plain.empty()) {
        return Answer(ReturnCode::RC_ENCRYPTION_PARAMETERS_MISSING);
    }
    JSON::JSONDocument argument;
    argument.Parse(plain);
    if (auto refusal = ArgumentRefusal(argument, plain)) {
        return *refusal;
    }
    std::uint32_t sessionId = 0;
    if (!ToolBox::GetActiveSessionId(sessionId)) {
        return Answer(ReturnCode::RC_NO_SINGLE_ACTIVE_SESSION);
    }
    const std::string functionName = argument.Root()->Get("functionName")->GetString();
    auto entry = functions.find(functionName);
    if (entry == functions.end() || !entry->second.call) {
        return Answer(ReturnCode::RC_UNKNOWN_OPERATION, nullptr,
                      "Unsupported function Name : '" + functionName + "'");
    }
    return CallMainFunction(entry->second, identity, argument);
}

}  // namespace

// The main functions that pages can call, by the "functionName" of the argument. A row names
// how the function gets its parameters, whether its result document is the answer's content,
// and its entry point in FunctionnalCore; a name without a row answers "unknown operation".
// For example, the installation discovery is
//   {"discoverAllInstall", {Rule::AsReceived, true, DiscoverAllInstallations}}
// with an adapter that calls FunctionnalCore::DiscoverAllInstallations(request, params, result).
const FunctionTable& LaunchDaemonCore::MainFunctions() {
    static const FunctionTable table{
        {"discoverAllInstall", {Rule::AsReceived, true, FunctionnalCore::DiscoverAllInstallations}},
        {"startZ5", {Rule::WithoutCreateShortcut, false, FunctionnalCore::LaunchZ5Install}},
        {"startZ5install", {Rule::WithoutCreateShortcut, false, FunctionnalCore::LaunchZ5Install}},
        {"createShortcut", {Rule::WithCreateShortcut, false, FunctionnalCore::CreateShortcut}},
        {"createShortcutFromZ5Install",
         {Rule::WithCreateShortcut, false, FunctionnalCore::CreateShortcutFromZ5Install}},
        {"selfUpdate", {Rule::AsReceived, false, FunctionnalCore::SelfUpdate}},
        {"installMedia", {Rule::AsReceived, false, FunctionnalCore::Install}},
        {"reinstallMedia", {Rule::AsReceived, false, FunctionnalCore::ReinstallMedia}},
        {"uninstall", {Rule::AsReceived, false, FunctionnalCore::Uninstall}},
    };
    return table;
}

std::string LaunchDaemonCore::HandleRequest(const std::string& urlPath,
                                            const std::string& optionString,
                                            const std::string& reqBody, const std::string& reqVerb,
                                            bool isHttps, std::stop_token stop) {
    return HandleRequest(urlPath, optionString, reqBody, reqVerb, isHttps, MainFunctions(),
                         std::move(stop));
}

std::string LaunchDaemonCore::HandleRequest(const std::string& urlPath,
                                            const std::string& optionString,
                                            const std::string& reqBody, const std::string& reqVerb,
                                            bool isHttps, const FunctionTable& functions,
                                            std::stop_token stop) {
    LogRequest(urlPath, optionString, reqBody, reqVerb);

    if (urlPath.empty()) {
        return Answer(ReturnCode::RC_EMPTY_URL_PATH);
    }
    // The page is served over plain HTTP too: pages embed it before anything else.
    if (urlPath == "iframe") {
        return reqVerb == "GET" ? ToolBox::GetIframe() : Answer(ReturnCode::RC_INVALID_HTTP_VERB);
    }
    if (auto refusal = TransportRefusal(reqVerb, isHttps)) {
        return *refusal;
    }
    if (urlPath == "isDaemonBusy") {
        return Answer(ReturnCode::RC_SUCCESS,
                      JSON::CreateBool(FunctionnalCore::IsBlockingOperationsAreRunning()));
    }
    if (urlPath == "getVersion") {
        return VersionAnswer();
    }

    const std::map<std::string, std::string> body = ToolBox::ParseQueryBody(reqBody);
    const std::string version = Value(body, "version");
    if (version.empty()) {
        return Answer(ReturnCode::RC_NO_PROTOCOL_VERSION);
    }
    const std::string zorvidId = Value(body, "zorvidId");
    if (zorvidId.empty()) {
        return Answer(ReturnCode::RC_NO_ZORVID_ID);
    }
    ZorvidRequestInfo identity(zorvidId, Value(body, "castgc"), Value(body, "cryptws"),
                               Value(body, "authws"), Value(body, "zorvid"), version);
    identity.SetStopToken(std::move(stop));
    Logger::Info("[LaunchDaemonCore::HandleRequest] request info : " + identity.ToString());
    SharedData::SaveZorvidUrl(identity);

    if (auto refusal = LevelRefusal(identity.GetProtocolVersion(), version)) {
        return *refusal;
    }
    if (urlPath != "function") {
        return Answer(ReturnCode::RC_UNKNOWN_MAIN_FUNCTION, nullptr,
                      "Unknown main function name : " + urlPath);
    }
    return HandleFunction(identity, Value(body, "arg"), functions);
}
