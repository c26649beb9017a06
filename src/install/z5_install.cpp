#include "install/z5_install.h"

#include "base/logger.h"
#include "install/registry_access.h"

namespace {

constexpr std::uint64_t kFnvOffsetBasis = 0xcbf29ce484222325ULL;
constexpr std::uint64_t kFnvPrime = 0x100000001b3ULL;

std::uint64_t Fnv1a64(const std::string& bytes) {
    std::uint64_t hash = kFnvOffsetBasis;
    for (const char c : bytes) {
        hash ^= static_cast<unsigned char>(c);
        hash *= kFnvPrime;
    }
    return hash;
}

char LowerAscii(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

// TextList is null for an empty list, else an array of texts (an empty text as null).
JSON::ItemPtr TextList(const std::vector<std::string>& texts) {
    if (texts.empty()) {
        return JSON::CreateNull();
    }
    auto array = JSON::CreateArray();
    for (const auto& text : texts) {
        array->AsArray()->Add(JSON::CreateString(text));
    }
    return array;
}

JSON::ItemPtr AppList(const std::vector<Z5App>& apps) {
    if (apps.empty()) {
        return JSON::CreateNull();
    }
    auto array = JSON::CreateArray();
    for (const auto& app : apps) {
        auto object = JSON::CreateObject();
        object->AsObject()->Set("appsId", JSON::CreateString(app.appsId));
        object->AsObject()->Set("appProductLine", JSON::CreateString(app.appProductLine));
        object->AsObject()->Set("workbench", JSON::CreateString(app.workbench));
        array->AsArray()->Add(std::move(object));
    }
    return array;
}

std::string JoinTexts(const std::vector<std::string>& texts) {
    std::string joined = "[";
    for (std::size_t i = 0; i < texts.size(); ++i) {
        joined += (i == 0 ? "" : ",") + texts[i];
    }
    return joined + "]";
}

}  // namespace

std::string Z5App::ToString() const {
    return "[appsId:" + appsId + ",appProductLine:" + appProductLine + ",workbench:" + workbench +
           "]";
}

Z5Install::Z5Install(Z5InstallFields fields) : fields_(std::move(fields)) {
    id_ = ComputeId();
    valid_ = RegistryAccess::GetPathType(fields_.targetPath) != RegistryAccess::PATH_MISSING;
    if (!valid_) {
        Logger::Warn(
            "[Z5Install::Z5Install]Invalid Installation found in the registry ! this path '" +
            fields_.targetPath + "' does not exist.");
    }
}

std::int32_t Z5Install::ContentStateFromText(const std::string& bigContent) {
    std::string lower = bigContent;
    for (char& c : lower) {
        c = LowerAscii(c);
    }
    if (lower == "true") {
        return CONTENT_INSTALLED;
    }
    return lower == "false" ? CONTENT_NOT_INSTALLED : CONTENT_UNKNOWN;
}

std::string Z5Install::ComputeId() const {
    const Z5InstallFields& f = fields_;
    std::string text = f.level + f.GAlevel + f.SPlevel + f.shortName + f.longName + f.targetPath +
                       f.registry_Identifier + f.installationType + f.osds + f.type;
    for (const auto& line : f.productLine) {
        text += line;
    }
    for (const auto& process : f.installedProcesses) {
        text += process;
    }
    for (const auto& process : f.installedXtraProcesses) {
        text += process;
    }
    for (const auto& app : f.apps) {
        text += app.ToString();
    }
    text += f.lastBuildId;
    Logger::Internal("Z5Install::ComputeId]current id string : <" + text + ">");
    const std::string id = std::to_string(Fnv1a64(text));
    Logger::Internal("Z5Install::ComputeId]computed id: <" + id + ">");
    return id;
}

JSON::ItemPtr Z5Install::ToJSON() const {
    const Z5InstallFields& f = fields_;
    auto item = JSON::CreateObject();
    JSON::JSONObject& object = *item->AsObject();
    object.Set("id", JSON::CreateString(id_));
    object.Set("level", JSON::CreateString(f.level));
    object.Set("GAlevel", JSON::CreateString(f.GAlevel));
    object.Set("SPlevel", JSON::CreateString(f.SPlevel));
    object.Set("shortName", JSON::CreateString(f.shortName));
    object.Set("longName", JSON::CreateString(f.longName));
    object.Set("targetPath", JSON::CreateString(f.targetPath));
    object.Set("registry_Identifier", JSON::CreateString(f.registry_Identifier));
    object.Set("installationType", JSON::CreateString(f.installationType));
    object.Set("osds", JSON::CreateString(f.osds));
    object.Set("type", JSON::CreateString(f.type));
    object.Set("lastBuildId", JSON::CreateString(f.lastBuildId));
    if (f.isContentInstalled == CONTENT_INSTALLED) {
        object.Set("isContentInstalled", JSON::CreateTrue());
    } else if (f.isContentInstalled == CONTENT_NOT_INSTALLED) {
        object.Set("isContentInstalled", JSON::CreateFalse());
    }
    object.Set("installedXtraProcesses", TextList(f.installedXtraProcesses));
    object.Set("installedProcesses", TextList(f.installedProcesses));
    object.Set("productLine", TextList(f.productLine));
    object.Set("apps", AppList(f.apps));
    return item;
}

std::string Z5Install::ToString() const {
    const Z5InstallFields& f = fields_;
    std::string apps;
    for (const auto& app : f.apps) {
        apps += app.ToString();
    }
    return "Z5Install[id:" + id_ + ",level:" + f.level + ",GAlevel:" + f.GAlevel +
           ",SPlevel:" + f.SPlevel + ",shortName:" + f.shortName + ",longName:" + f.longName +
           ",targetPath:" + f.targetPath + ",registry_Identifier:" + f.registry_Identifier +
           ",installationType:" + f.installationType + ",osds:" + f.osds + ",type:" + f.type +
           ",lastBuildId:" + f.lastBuildId +
           ",isContentInstalled:" + std::to_string(f.isContentInstalled) +
           ",productLine:" + JoinTexts(f.productLine) +
           ",installedProcesses:" + JoinTexts(f.installedProcesses) +
           ",installedXtraProcesses:" + JoinTexts(f.installedXtraProcesses) + ",apps:[" + apps +
           "],valid:" + (valid_ ? "true" : "false") + "]";
}
