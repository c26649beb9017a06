// "installMedia": the media that carry the requested offerings are found through the media
// catalogue, then downloaded, unpacked and installed one after the other with their setup
// program, every step reported to the remote installation log.
#include <filesystem>
#include <string>
#include <vector>

#include "base/config.h"
#include "base/daemon_version.h"
#include "base/folders.h"
#include "base/json/json.h"
#include "base/logger.h"
#include "base/return_code.h"
#include "base/toolbox.h"
#include "base/zorvid_request_info.h"
#include "core/functionnal_core.h"
#include "core/media_installation.h"
#include "install/win_registry.h"
#include "platform/path.h"
#include "platform/runtime_folder.h"
#include "session/media_catalogue.h"
#include "session/operations_as_user.h"
#include "session/session_query.h"

namespace media_install {

void MediaInstallation::Log(const std::string& key, const std::string& text) const {
    if (sink && sink->IsOpened()) {
        sink->Log(key, text);
    }
}

void MediaInstallation::LogNow(const std::string& key) const {
    if (sink && sink->IsOpened()) {
        sink->LogDatetime(key);
    }
}

}  // namespace media_install

namespace {

using media_install::InstallParams;
using media_install::MediaInstallation;
using RC = ReturnCode;

std::string Text(const JSON::JSONItem& params, const char* name) {
    std::string value;
    JSON::GetStringField(name, value, &params);
    return value;
}

bool Flag(const JSON::JSONItem& params, const char* name) {
    bool value = false;
    JSON::GetBoolField(name, value, &params);
    return value;
}

bool Reaches(const DaemonVersion& level, std::int32_t major, std::int32_t minor) {
    return level.major > major || (level.major == major && level.minor >= minor);
}

InstallParams ReadParams(const JSON::JSONItem& params, const DaemonVersion& level) {
    InstallParams p;
    const JSON::JSONItem* list = params.Get("processToInstallForOid");
    p.processToInstallForOid = list != nullptr && list->IsArray() ? list : nullptr;
    p.osds = Text(params, "osds");
    if (p.osds.empty()) {
        p.osds = ToolBox::GetOsDirName();
    }
    p.type = Text(params, "type");
    p.release = Text(params, "release");
    p.webServiceURL = Text(params, "webServiceURL");
    if (p.webServiceURL.empty()) {
        p.webServiceURL = media_install::kDefaultWebServiceUrl;
    }
    p.loggingWebServiceURL = Text(params, "LoggingWebServiceURL");
    if (p.loggingWebServiceURL.empty()) {
        p.loggingWebServiceURL = p.webServiceURL;
    }
    p.codeType = Text(params, "codeType");
    if (p.codeType.empty()) {
        p.codeType = "CODE";
    }
    p.levelType = Text(params, "levelType");
    p.codeLevel = Text(params, "codeLevel");
    p.dataStoragePath = Text(params, "dataStoragePath");
    p.baseInstallIdForHF = Text(params, "baseInstallIdForHF");
    p.baseInstallPathForHF = Text(params, "baseInstallPathForHF");
    p.clusterID = Text(params, "clusterID");
    p.defaultTargetPath = Text(params, "defaultTargetPath");
    if (Reaches(level, 2, 1)) {
        p.silent = Flag(params, "silent");
        if (params.Get("targetPathForSilent") != nullptr) {
            p.defaultTargetPath = Text(params, "targetPathForSilent");
        }
    }
    const JSON::JSONItem* vars = params.Get("instVarData");
    p.instVarData = Reaches(level, 2, 3) && vars != nullptr && vars->IsObject() ? vars : nullptr;
    p.installCnt = Reaches(level, 2, 4) && Flag(params, "installCnt");
    p.requireUAC = Reaches(level, 2, 5) && Flag(params, "requireUAC");
    return p;
}

void LogParams(const MediaInstallation& run) {
    const InstallParams& p = run.params;
    const auto text = [](const JSON::JSONItem* item) {
        return item != nullptr ? item->Print() : std::string("null");
    };
    Logger::Debug(
        run.tag + "Try to install products with these parameters :" +
        "\n-[commercialProductToInstall]: " + text(p.processToInstallForOid) + "\n-[level]: " +
        p.release + "\n-[typeToUse]: " + p.type + "\n-[webServiceUrl]: " + p.webServiceURL +
        "\n-[loggingWebServiceUrl]: " + p.loggingWebServiceURL + "\n-[osdsToUse]: " + p.osds +
        "\n-[codeType]: " + p.codeType + "\n-[levelType]: " + p.levelType +
        "\n-[codeLevel]: " + p.codeLevel + "\n-[dovStoragePath]: " + p.dataStoragePath +
        "\n-[baseInstall]: " + p.baseInstallIdForHF + p.baseInstallPathForHF +
        "\n-[clusterID]: " + p.clusterID + "\n-[defaultTargetPath]: " + p.defaultTargetPath +
        "\n-[isSilentMode]: " + (p.silent ? "true" : "false") + "\n-[instVarList]: " +
        text(p.instVarData) + "\n-[installCnt]: " + (p.installCnt ? "true" : "false"));
}

void OpenSink(MediaInstallation& run) {
    run.sink = std::make_unique<DataSink>(run.request, run.params.loggingWebServiceURL);
    if (!run.sink->Open()) {
        Logger::Error(run.tag + "Fail to init Data sink !");
        return;
    }
    run.Log("daemon-current_version", DaemonVersion::GetCurrentDaemonLevel().ToString());
    run.Log("daemon-install_level_type", run.params.levelType);
}

// LockBase finds the installation a hot fix applies to and holds its id: 0, 101, 159, 109.
std::int32_t LockBase(MediaInstallation& run) {
    const InstallParams& p = run.params;
    if (p.baseInstallIdForHF.empty() && p.baseInstallPathForHF.empty()) {
        return RC::RC_SUCCESS;
    }
    Z5InstallFilter filter;
    const std::string key =
        p.baseInstallIdForHF.empty() ? p.baseInstallPathForHF : p.baseInstallIdForHF;
    (p.baseInstallIdForHF.empty() ? filter.installPath : filter.id) = key;
    Logger::Debug(run.tag + "try to find install with this key :" + key);
    std::vector<Z5Install> found;
    WinRegistry::FindInstall(filter, found);
    if (found.size() > 1) {
        Logger::Error(run.tag +
                      "{CRITICAL} there is more than on installation with the same key [" + key +
                      "]");
        return RC::RC_INSTALL_ID_NOT_UNIQUE;
    }
    if (found.empty()) {
        Logger::Error(run.tag + "No  installation with this key : " + key);
        return RC::RC_UNKNOWN_INSTALL_ID;
    }
    if (FunctionnalCore::IsLocked(found.front().Id())) {
        Logger::Error(run.tag + "the installation [" + found.front().Id() + "] is in use");
        return RC::RC_CONFLICTING_OPERATION;
    }
    FunctionnalCore::Lock(found.front().Id());
    run.baseInstallId = found.front().Id();
    run.baseInstallRoot = found.front().Fields().targetPath;
    return RC::RC_SUCCESS;
}

std::vector<std::string> Processes(const JSON::JSONItem& list) {
    std::vector<std::string> processes;
    for (std::size_t i = 0; i < list.Size(); ++i) {
        const JSON::JSONItem* item = list.GetAt(static_cast<std::int64_t>(i));
        if (item != nullptr && item->IsString()) {
            processes.push_back(item->GetString());
        }
    }
    return processes;
}

// AskCatalogue adds the valid media of one offering; false when the catalogue failed.
bool AskCatalogue(MediaInstallation& run, const std::string& oid,
                  const std::vector<std::string>& processes) {
    const InstallParams& p = run.params;
    std::vector<MediaInfo> found;
    if (!Operations::GetProductInfo(p.release, p.webServiceURL, p.osds, p.type, p.codeLevel,
                                    p.codeType, p.levelType, oid, "", p.clusterID, processes, found,
                                    run.request)) {
        Logger::Error(run.tag + "Cannot retreive info for this set of OID/process : [" + oid +
                      "]{" + ToolBox::Join(processes, ", ") + "}");
        return false;
    }
    for (const MediaInfo& media : found) {
        if (!media.IsValid()) {
            Logger::Warn(run.tag + "Invalid Media info found : " + media.ToString());
            continue;
        }
        media_install::MediaEntry& entry =
            run.medias.try_emplace(media.GetHash(), media_install::MediaEntry{media, {}})
                .first->second;
        entry.processes.insert(processes.begin(), processes.end());
    }
    return true;
}

// CollectMedias asks the catalogue for every offering: 0, 150 or 151.
std::int32_t CollectMedias(MediaInstallation& run) {
    const JSON::JSONItem* list = run.params.processToInstallForOid;
    if (list == nullptr) {
        Logger::Info(run.tag + "list of process to install empty !");
        return RC::RC_NOTHING_TO_INSTALL;
    }
    run.Log("daemon-input_oiid.process_list", list->Print());
    bool failed = false;
    for (std::size_t i = 0; i < list->Size(); ++i) {
        const JSON::JSONItem* element = list->GetAt(static_cast<std::int64_t>(i));
        if (element == nullptr || !element->IsObject()) {
            Logger::Warn(run.tag + "inconstency detected ! this index [" + std::to_string(i) +
                         "] is emtpy or not with a JSON Object.");
            continue;
        }
        std::string oid;
        if (!JSON::GetStringField("oiid", oid, element)) {
            Logger::Warn(run.tag +
                         "inconstency detected ! this key [oiid] is null or not a JSON Value.");
        }
        const JSON::JSONItem* processes = element->Get("process");
        if (processes == nullptr || !processes->IsArray()) {
            Logger::Warn(run.tag +
                         "inconstency detected ! this key [process] is null or not a JSON Array.");
            continue;
        }
        const std::vector<std::string> names = Processes(*processes);
        Logger::Debug(run.tag + " OID[" + oid + "]process: " + ToolBox::Join(names, ", "));
        failed = !AskCatalogue(run, oid, names) || failed;
    }
    if (failed) {
        return RC::RC_MEDIA_INFO_FAILED;
    }
    if (run.medias.empty()) {
        Logger::Info(run.tag + "Nothing to install !");
        return RC::RC_NOTHING_TO_INSTALL;
    }
    std::string medias;
    std::string order;
    for (const auto& [hash, entry] : run.medias) {
        medias += "\n-" + entry.info.ToString();
        order += "\n-" + hash;
    }
    Logger::Debug(run.tag + "Medias to install :" + medias + "\ninstallation order :" + order);
    return RC::RC_SUCCESS;
}

// DataStore switches to the request's data store for the length of the installation.
class DataStore {
  public:
    ~DataStore() {
        if (!saved_.empty()) {
            Logger::Debug(tag_ + "Restore old path to store & retrieve data : " + saved_);
            FileAndFoldersManager::SetFolder(Folder::USER_DATA, {0, saved_, ""});
        }
    }

    // Use sets the custom store, or checks the default one: 0, 162 or 152.
    std::int32_t Use(MediaInstallation& run) {
        tag_ = run.tag;
        std::string current;
        if (run.params.dataStoragePath.empty()) {
            if (!FileAndFoldersManager::GetFolder(Folder::USER_DATA, current)) {
                Logger::Error(run.tag + "Fail toretrieve Data storage folder : " + current);
                return RC::RC_DATA_FOLDER_FAILED;
            }
            return RC::RC_SUCCESS;
        }
        std::string custom;
        if (!FunctionnalCore::resolveEnvVarInPath(run.request, run.params.dataStoragePath,
                                                  custom)) {
            Logger::Error(run.tag +
                          "Fail to resolve environment variables inside the dataStorage path : " +
                          run.params.dataStoragePath);
            return RC::RC_DATASTORE_PATH_UNRESOLVED;
        }
        bool exists = false;
        if (Operations::AsUser::MakeFolderAsUser(run.request, custom, exists) != 0 || !exists) {
            Logger::Error(run.tag + "Fail to create the Data storage folder : " + custom);
            return RC::RC_DATA_FOLDER_FAILED;
        }
        FileAndFoldersManager::GetFolder(Folder::USER_DATA, current);
        Logger::Debug(run.tag + "Save current path to store & retrieve data : " + current);
        Logger::Debug(run.tag + "Use custom local path to store & retrieve data : " + custom);
        FileAndFoldersManager::SetFolder(Folder::USER_DATA, {0, custom, ""});
        saved_ = current;
        return RC::RC_SUCCESS;
    }

  private:
    std::string tag_;
    std::string saved_;
};

// UserFolder resolves a folder of the data store and gives it to the session's user, who
// downloads and unpacks into it.
bool UserFolder(const MediaInstallation& run, std::int32_t id, const char* label,
                std::string& path) {
    if (!FileAndFoldersManager::GetFolder(id, path)) {
        return false;
    }
    Logger::Debug(run.tag + label + path);
    return platform::ClaimFolderForOwner(path,
                                         platform::RuntimeOwner::SessionUser(run.sessionId)) == 0;
}

// PrepareFolders resolves the folders the media pass through: 0 or 153.
std::int32_t PrepareFolders(MediaInstallation& run) {
    ToolBox::GetActiveSessionId(run.sessionId);
    if (!UserFolder(run, Folder::MEDIA_DDL, "Media repository folder : ", run.mediaFolder)) {
        Logger::Error(run.tag + "Fail to create the download folder : " + run.mediaFolder);
        return RC::RC_INTERNAL_FOLDER_FAILED;
    }
    if (!UserFolder(run, Folder::DOV_DDL, "DOV repository folder : ", run.dovFolder)) {
        Logger::Error(run.tag + "Fail to create the DOV folder : " + run.dovFolder);
        return RC::RC_INTERNAL_FOLDER_FAILED;
    }
    if (!UserFolder(run, Folder::UNZIP, "Unzip folder : ", run.unzipFolder)) {
        Logger::Error(run.tag +
                      "Invalid unzip folder (no read/access access) : " + run.unzipFolder);
        return RC::RC_INTERNAL_FOLDER_FAILED;
    }
    if (!FileAndFoldersManager::GetFolder(Folder::OPERATION, run.operationFolder, true) ||
        !FileAndFoldersManager::GetFolder(Folder::INSTALLER_LOGS, run.installerLogs, true)) {
        Logger::Error(run.tag + "Fail to create the operation or installer log folder");
        return RC::RC_INTERNAL_FOLDER_FAILED;
    }
    return RC::RC_SUCCESS;
}

std::int32_t InstallAll(MediaInstallation& run) {
    for (const auto& [hash, entry] : run.medias) {
        if (!entry.info.IsValid()) {
            Logger::Warn(run.tag + "Invalid hash '" + hash +
                         "'! associated Media info is invalid : " + entry.info.ToString());
            continue;
        }
        const std::int32_t result = media_install::InstallOneMedia(run, hash, entry);
        if (result != RC::RC_SUCCESS) {
            return result;
        }
    }
    return RC::RC_SUCCESS;
}

void RemoveUnzipFolder(const MediaInstallation& run) {
    if (Config::IsActivated(ConfigId::KEEP_MEDIA_UNZIP) || run.unzipFolder.empty()) {
        return;
    }
    std::error_code error;
    std::filesystem::remove_all(platform::FsPath(run.unzipFolder), error);
    if (error) {
        Logger::Warn(run.tag + "Fail to delete this folder '" + run.unzipFolder +
                     "' : " + error.message());
    }
}

// BaseLock releases the hot fix's base installation however the installation ends.
struct BaseLock {
    const MediaInstallation& run;
    ~BaseLock() {
        if (!run.baseInstallId.empty()) {
            FunctionnalCore::Release(run.baseInstallId);
        }
    }
};

}  // namespace

std::int32_t FunctionnalCore::InstallMediaInt(const ZorvidRequestInfo& request,
                                              const JSON::JSONItem* params) {
    MediaInstallation run{request, "[InstallMediaInt-(" + request.ToString() + ")]",
                          {},      {},
                          {},      {},
                          {},      0,
                          {},      {},
                          {},      {},
                          {}};
    if (params == nullptr || !params->IsObject()) {
        Logger::Error(run.tag + "No argument JSON Object was given!");
        return RC::RC_ARGUMENTS_REQUIRED;
    }
    run.params = ReadParams(*params, request.GetProtocolVersion());
    LogParams(run);
    OpenSink(run);
    std::int32_t result = LockBase(run);
    if (result != RC::RC_SUCCESS) {
        return result;
    }
    BaseLock baseLock{run};
    if ((result = CollectMedias(run)) != RC::RC_SUCCESS) {
        return result;
    }
    DataStore store;
    if ((result = store.Use(run)) != RC::RC_SUCCESS ||
        (result = PrepareFolders(run)) != RC::RC_SUCCESS) {
        return result;
    }
    result = InstallAll(run);
    RemoveUnzipFolder(run);
    return result;
}

std::int32_t FunctionnalCore::Install(const ZorvidRequestInfo& request,
                                      const JSON::JSONItem& params, JSON::JSONDocument&) {
    return RunInFrame(INSTALL_FRAME, request, [&] { return InstallMediaInt(request, &params); });
}
