#include "session/media_catalogue.h"

#include <charconv>
#include <limits>

#include "base/logger.h"
#include "base/toolbox.h"
#include "base/zorvid_request_info.h"

namespace Operations {

namespace {

constexpr const char* kTag = "[Operations::GetProductInfo]";
constexpr std::int64_t kBytesPerMegabyte = 1048576;

std::vector<std::string> ArgumentProblems(const std::string& release, const std::string& url,
                                          const std::string& osds,
                                          const std::string& onlineInstanceID,
                                          const std::string& siteID,
                                          const std::vector<std::string>& processTrigrams) {
    std::vector<std::string> problems;
    if (url.empty()) {
        problems.emplace_back("the targeted webservice's URL must be specified !");
    }
    if (osds.empty()) {
        problems.emplace_back("the osds must be specified !");
    }
    if (processTrigrams.empty()) {
        problems.emplace_back("the process trigram list must be specified !");
    }
    if (release.empty()) {
        problems.emplace_back("the release level must be specified !");
    }
    if (siteID.empty() && onlineInstanceID.empty()) {
        problems.emplace_back(
            "At least, one of the siteID or onlineInstanceID must be specified !");
    }
    return problems;
}

std::string ChooseMethod(const std::string& type, const std::string& clusterID) {
    if (clusterID.empty()) {
        return "Media::findV2";
    }
    return type.empty() ? "MediaV3::find" : "MediaV4::find";
}

// SizeInBytes reads the leading signed decimal megabytes of the text (0 when there is none);
// a size that does not fit in 64 bits gives -1, which makes the media invalid.
std::int64_t SizeInBytes(const std::string& text) {
    std::int64_t megabytes = 0;
    const auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), megabytes);
    if (ec == std::errc::result_out_of_range) {
        return -1;
    }
    if (ec != std::errc()) {
        return 0;
    }
    const std::int64_t limit = std::numeric_limits<std::int64_t>::max() / kBytesPerMegabyte;
    if (megabytes > limit || megabytes < -limit) {
        return -1;
    }
    return megabytes * kBytesPerMegabyte;
}

std::string StringMember(const JSON::JSONItem& object, const char* name) {
    std::string value;
    JSON::GetStringField(name, value, &object);
    return value;
}

MediaInfo MediaFromElement(const JSON::JSONItem& element, const std::string& codeLevel) {
    MediaInfoFields fields;
    fields.downloadLink = StringMember(element, "url");
    const std::size_t slash = fields.downloadLink.rfind('/');
    fields.fileName =
        slash == std::string::npos ? fields.downloadLink : fields.downloadLink.substr(slash + 1);
    fields.desc = StringMember(element, "description");
    fields.dovDownloadLink = StringMember(element, "DOVPath");
    fields.hash = StringMember(element, "md5");
    fields.hashAlgorithmLabel = "MD5";
    fields.codelevel = codeLevel;
    fields.size = SizeInBytes(StringMember(element, "size"));
    fields.isHF = false;
    return MediaInfo(std::move(fields));
}

JSON::ItemPtr BuildRequest(const std::string& method, const std::string& release,
                           const std::string& osds, const std::string& type,
                           const std::string& codeLevel, const std::string& codeType,
                           const std::string& levelType, const std::string& onlineInstanceID,
                           const std::string& siteID, const std::string& clusterID,
                           const std::vector<std::string>& processTrigrams) {
    JSON::ItemPtr params = JSON::CreateObject();
    JSON::JSONObject* members = params->AsObject();
    if (!clusterID.empty()) {
        members->Set("clusterID", JSON::CreateString(clusterID));
        if (!type.empty()) {
            members->Set("type", JSON::CreateString(type));
        }
    }
    members->Set("siteID", JSON::CreateString(siteID));
    members->Set("onlineInstanceID", JSON::CreateString(onlineInstanceID));
    members->Set("release", JSON::CreateString(release));
    members->Set("operatingSystem", JSON::CreateString(osds));
    members->Set("codeLevel", JSON::CreateString(codeLevel));
    members->Set("codeType", JSON::CreateString(codeType));
    members->Set("levelType", JSON::CreateString(levelType));
    JSON::ItemPtr trigrams = JSON::CreateArray();
    for (const std::string& trigram : processTrigrams) {
        trigrams->AsArray()->Add(JSON::CreateString(trigram, false));
    }
    members->Set("processTrigrams", std::move(trigrams));
    JSON::ItemPtr request = JSON::CreateObject();
    request->AsObject()->Set("id", JSON::CreateString(ToolBox::FormatTime(std::nullopt, false, true,
                                                                          "%Y_%m_%d-%H%M%S")));
    request->AsObject()->Set("method", JSON::CreateString(method));
    request->AsObject()->Set("params", std::move(params));
    return request;
}

// ResultArray finds the answer's "result" array, or logs why there is none.
const JSON::JSONItem* ResultArray(const JSON::JSONItem& answer, const std::string& trigrams) {
    std::string error;
    if (JSON::GetStringField("error", error, &answer)) {
        Logger::Error(std::string(kTag) + "fail to retreive information for these product [" +
                      trigrams +
                      "]! Critical error has occured while using the web service. error "
                      "string :\n" +
                      error);
        return nullptr;
    }
    const std::string head = std::string(kTag) +
                             "fail to retreive information for these product '" + trigrams +
                             "'! An error has occured while using the web service. ";
    const JSON::JSONItem* result = answer.Get("result");
    if (result == nullptr) {
        Logger::Error(head + "JSON fields 'result' missing !");
        return nullptr;
    }
    if (!result->IsArray()) {
        Logger::Error(head + "invalid JSON item type in 'result' fields, type id :" +
                      std::to_string(result->GetType()));
        return nullptr;
    }
    return result;
}

}  // namespace

bool ParseProductInfoAnswer(const std::string& answer, const std::string& codeLevel,
                            const std::string& trigrams, std::vector<MediaInfo>& medias) {
    Logger::Debug(std::string(kTag) + "Raw JSON string :" + answer);
    JSON::JSONDocument document;
    if (document.Parse(answer) != 0 || document.Root() == nullptr || !document.Root()->IsObject()) {
        Logger::Error(std::string(kTag) +
                      "Invalid JSON string ! Cannot build JSONObject with this string : " + answer);
        return false;
    }
    Logger::Debug(std::string(kTag) + "RESPONSE JSON OBJECT:" + document.Root()->Print());
    const JSON::JSONItem* result = ResultArray(*document.Root(), trigrams);
    if (result == nullptr) {
        return false;
    }
    std::string list;
    for (std::size_t i = 0; i < result->Size(); ++i) {
        const JSON::JSONItem* element = result->GetAt(static_cast<std::int64_t>(i));
        if (element == nullptr || !element->IsObject()) {
            Logger::Warn(std::string(kTag) + " no JSON object at [" + std::to_string(i) +
                         "] or not a JSONObject.");
            continue;
        }
        medias.push_back(MediaFromElement(*element, codeLevel));
        list += "\n-" + medias.back().ToString();
    }
    Logger::Info(std::string(kTag) + "media(s) returned by the webservice : " + list);
    return true;
}

bool GetProductInfo(const std::string& release, const std::string& url, const std::string& osds,
                    const std::string& type, const std::string& codeLevel,
                    const std::string& codeType, const std::string& levelType,
                    const std::string& onlineInstanceID, const std::string& siteID,
                    const std::string& clusterID, const std::vector<std::string>& processTrigrams,
                    std::vector<MediaInfo>& medias, const ZorvidRequestInfo& user,
                    const AsUser::WebServiceCall& call) {
    const std::vector<std::string> problems =
        ArgumentProblems(release, url, osds, onlineInstanceID, siteID, processTrigrams);
    if (!problems.empty()) {
        Logger::Error(std::string(kTag) + "invalid argument to call the webservice '" + url +
                      "' due to the following errors :\n" + ToolBox::Join(problems, "\n"));
        return false;
    }
    const JSON::ItemPtr request =
        BuildRequest(ChooseMethod(type, clusterID), release, osds, type, codeLevel, codeType,
                     levelType, onlineInstanceID, siteID, clusterID, processTrigrams);
    std::string answer;
    const std::uint32_t status = AsUser::CallWebService(call, user, url, request->Print(), answer);
    if (status != 0) {
        Logger::Error(std::string(kTag) + "Fail to access Webservice behind [" + url +
                      "] ! status code : " + std::to_string(status));
        return false;
    }
    return ParseProductInfoAnswer(answer, codeLevel, ToolBox::Join(processTrigrams, ","), medias);
}

}  // namespace Operations
