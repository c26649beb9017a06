#include "session/data_sink.h"

#include <utility>

#include "base/config.h"
#include "base/logger.h"
#include "base/toolbox.h"

namespace {

constexpr std::int64_t kTicksPerSecond = 10'000'000;

JSON::ItemPtr RpcRequest(const char* method, JSON::ItemPtr params) {
    JSON::ItemPtr request = JSON::CreateObject();
    JSON::JSONObject* members = request->AsObject();
    members->Set("id", JSON::CreateString(
                           ToolBox::FormatTime(std::nullopt, false, true, "%Y_%m_%d-%H%M%S")));
    members->Set("method", JSON::CreateString(method));
    members->Set("params", std::move(params));
    return request;
}

}  // namespace

DataSink::DataSink(const ZorvidRequestInfo& request, std::string url,
                   Operations::AsUser::WebServiceCall call)
    : request_(request),
      url_(std::move(url)),
      enabled_(!Config::IsActivated(ConfigId::DISABLE_REMOTE_LOGGING)),
      call_(std::move(call)) {}

bool DataSink::IsOpened() const {
    return enabled_ && !installId_.empty();
}

bool DataSink::Send(const std::string& tag, const std::string& request, std::string& answer) const {
    if (Operations::AsUser::CallWebService(call_, request_, url_, request, answer) != 0) {
        Logger::Warn(tag + "Fail to access Webservice behind [" + url_ + "] !");
        return false;
    }
    return true;
}

bool DataSink::Open() {
    const std::string tag = "[DataSink::Open]";
    if (!enabled_) {
        return true;
    }
    if (!installId_.empty()) {
        Logger::Internal(tag + "the current DataSink [" + installId_ + "] is already opened !");
        return true;
    }
    if (url_.empty()) {
        Logger::Internal(tag + "No webserice URL set for the external logging system !");
        return false;
    }
    std::string answer;
    if (!Send(tag, RpcRequest("InstallationMonitoringV1::create", JSON::CreateNull())->Print(),
              answer)) {
        return false;
    }
    JSON::JSONDocument document;
    if (document.Parse(answer) != 0 || document.Root() == nullptr || !document.Root()->IsObject()) {
        Logger::Warn(tag +
                     "Invalid JSON string ! Cannot build JSONObject with this string :" + answer);
        return false;
    }
    std::string id;
    if (!JSON::GetStringField("result", id, document.Root()) || id.empty()) {
        Logger::Warn(tag +
                     "Inconsistent webservice response ! No id retruned in 'result' field of "
                     "the JSON object :" +
                     answer);
        return false;
    }
    installId_ = id;
    return true;
}

bool DataSink::LogData(const std::string& key, const std::string& type, JSON::ItemPtr value) {
    const std::string tag = "[DataSink::LogData]";
    if (!IsOpened()) {
        Logger::Internal(tag + "the current DataSink [" + installId_ + "] is not opened !");
        return false;
    }
    JSON::ItemPtr params = JSON::CreateObject();
    JSON::JSONObject* members = params->AsObject();
    members->Set("installation", JSON::CreateString(installId_));
    members->Set("key", JSON::CreateString(key));
    members->Set("type", JSON::CreateString(type));
    members->Set("value", value ? std::move(value) : JSON::CreateNull());
    std::string answer;
    if (!Send(tag, RpcRequest("InstallationMonitoringV1::log", std::move(params))->Print(),
              answer)) {
        return false;
    }
    Logger::Internal(tag + "Logging attempt successful, result : " + answer);
    return true;
}

bool DataSink::Log(const std::string& key, const std::string& text) {
    Logger::Internal("[DataSink::Log]Put external log data with key[" + key +
                     "] with content string : " + text);
    return LogData(key, "string", JSON::CreateString(text));
}

bool DataSink::LogDatetime(const std::string& key, std::optional<std::int64_t> time) {
    std::optional<std::int64_t> ticks;
    if (time) {
        ticks = *time * kTicksPerSecond;
    }
    const std::string text = ToolBox::FormatTime(ticks, false, true, "%Y-%m-%dT%H:%M:%S");
    Logger::Internal("[DataSink::LogDatetime] Put external log data with key [" + key +
                     "] with content ISO_8601 datetime: " + text);
    return LogData(key, "datetime", JSON::CreateString(text));
}
