// DataSink reports the progress of one media installation to the installation-monitoring
// web service: Open creates a monitoring record, then each Log call adds a key/value entry
// to it. The calls are JSON-RPC requests posted through the user's worker, so that they
// leave the machine with the user's network identity. Remote-logging failures never stop
// an installation: they are logged and returned as false.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "base/json/json.h"
#include "base/zorvid_request_info.h"
#include "session/operations_as_user_web.h"

class DataSink {
  public:
    // kDefaultWebServiceUrl is the monitoring (and media catalogue) service used when a
    // request names none.
    static constexpr char kDefaultWebServiceUrl[] =
        "http://services.quorvanti.com/webservices/jsonrpc/";

    // DataSink keeps a copy of the request identity and the URL. It is enabled unless the
    // option DISABLE_REMOTE_LOGGING is on. call is the transport (empty: the worker's
    // "CallWS" as the user).
    DataSink(const ZorvidRequestInfo& request, std::string url,
             Operations::AsUser::WebServiceCall call = {});

    // IsOpened: a monitoring id is held and the sink is enabled.
    bool IsOpened() const;
    // Open sends {"id", "method": "InstallationMonitoringV1::create", "params": null} and
    // keeps the answer's string "result" as the monitoring id. True at once when disabled or
    // already open; false (logged) without a URL, when the call fails, or for an answer that
    // is not an object with a string "result".
    bool Open();
    // LogData sends {"id", "method": "InstallationMonitoringV1::log", "params":
    // {"installation", "key", "type", "value"}}; value is taken over (null when absent).
    // False (logged) when not opened or when the call fails.
    bool LogData(const std::string& key, const std::string& type, JSON::ItemPtr value);
    // Log sends the text as type "string" (an empty text as null).
    bool Log(const std::string& key, const std::string& text);
    // LogDatetime sends the time (seconds since 1970, now when none) as type "datetime":
    // "%Y-%m-%dT%H:%M:%S" in local time followed by the zone text.
    bool LogDatetime(const std::string& key, std::optional<std::int64_t> time = std::nullopt);

    bool IsEnabled() const { return enabled_; }
    const std::string& GetUrl() const { return url_; }
    // GetInstallId is the monitoring id, empty until opened.
    const std::string& GetInstallId() const { return installId_; }

  private:
    bool Send(const std::string& tag, const std::string& request, std::string& answer) const;

    ZorvidRequestInfo request_;
    std::string url_;
    std::string installId_;
    bool enabled_ = true;
    Operations::AsUser::WebServiceCall call_;
};
