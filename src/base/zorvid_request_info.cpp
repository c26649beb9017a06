#include "base/zorvid_request_info.h"

#include <utility>

#include "base/config.h"
#include "base/log_text.h"
#include "base/logger.h"

ZorvidRequestInfo::ZorvidRequestInfo(std::string zorvidId, std::string casTgc,
                                     std::string encryptionWsUrl, std::string authWsUrl,
                                     std::string zorvidUrl, const std::string& versionText)
    : zorvidId_(std::move(zorvidId)),
      casTgc_(std::move(casTgc)),
      encryptionWsUrl_(std::move(encryptionWsUrl)),
      authWsUrl_(std::move(authWsUrl)),
      zorvidUrl_(std::move(zorvidUrl)) {
    if (!DaemonVersion::Parse(versionText, protocolVersion_)) {
        Logger::Warn(
            "[ZorvidRequestInfo::ZorvidRequestInfo] invalud DaemonVersion string given : " +
            ToolBox::EscapeControls(versionText));
    }
    Init();
}

ZorvidRequestInfo::ZorvidRequestInfo(std::string zorvidId) : zorvidId_(std::move(zorvidId)) {}

void ZorvidRequestInfo::Init() {
    const std::string::size_type hash = encryptionWsUrl_.find('#');
    if (hash != std::string::npos) {
        encryptionWsUrl_.erase(hash);
    }
    Logger::Internal("[ZorvidRequestInfo::Init] init request info : " + ToString());
    std::string url;
    if (Config::GetVariable(ConfigId::AUTH_WS_URL, url)) {
        authWsUrl_ = url;
        Logger::Internal("[ZorvidRequestInfo::Init] set authentication Url to [" + url +
                         "] from Config setup.");
    }
    initialised_ = true;
}

std::string ZorvidRequestInfo::ToString() const {
    // The texts come from the page: their control characters are escaped so that they
    // cannot forge log lines, and the ticket is masked because log files are read by others.
    return "ZorvidRequestInfo[zorvidId='" + ToolBox::EscapeControls(zorvidId_) + "',casTgc='" +
           ToolBox::MaskSecret(casTgc_) + "',encryptionWsUrl='" +
           ToolBox::EscapeControls(encryptionWsUrl_) + "',authWsUrl='" +
           ToolBox::EscapeControls(authWsUrl_) + "',zorvidUrl='" +
           ToolBox::EscapeControls(zorvidUrl_) + "',protocolVersion='" +
           protocolVersion_.ToString() + "']";
}

JSON::ItemPtr ZorvidRequestInfo::ToJSON() const {
    JSON::ItemPtr root = JSON::CreateObject();
    JSON::JSONObject* object = root->AsObject();
    object->Set("cId", JSON::CreateString(zorvidId_));
    object->Set("cCas", JSON::CreateString(casTgc_, false));
    object->Set("cEncryptWsUrl", JSON::CreateString(encryptionWsUrl_, false));
    object->Set("cAuthWsUrl", JSON::CreateString(authWsUrl_, false));
    object->Set("cZorvidUrl", JSON::CreateString(zorvidUrl_, false));
    object->Set("pVersion", JSON::CreateString(protocolVersion_.ToString()));
    return root;
}
