// MediaInstallation carries one "installMedia" request through its steps: the parameters
// as read, the remote log, the base installation of a hot fix, the media to install and the
// folders they pass through. InstallMediaInt (install_media.cpp) runs the steps; each media
// is installed by InstallOneMedia (install_media_setup.cpp).
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "base/json/json.h"
#include "install/media_info.h"
#include "session/data_sink.h"

class ZorvidRequestInfo;

namespace media_install {

// InstallParams are the members of the parameter object (texts default to empty).
struct InstallParams {
    const JSON::JSONItem* processToInstallForOid = nullptr;  // points into the request
    std::string osds;
    std::string type;
    std::string release;
    std::string webServiceURL;
    std::string loggingWebServiceURL;
    std::string codeType;
    std::string levelType;
    std::string codeLevel;
    std::string dataStoragePath;
    std::string baseInstallIdForHF;
    std::string baseInstallPathForHF;
    std::string clusterID;
    std::string defaultTargetPath;
    bool silent = false;
    const JSON::JSONItem* instVarData = nullptr;
    bool installCnt = false;
    bool requireUAC = false;
};

// MediaEntry is one media to install and the processes asked of it.
struct MediaEntry {
    MediaInfo info;
    std::set<std::string> processes;
};

struct MediaInstallation {
    const ZorvidRequestInfo& request;
    std::string tag;  // "[InstallMediaInt-(<identity>)]"
    InstallParams params;
    std::unique_ptr<DataSink> sink;
    std::string baseInstallId;  // locked while the hot fix installs
    std::string baseInstallRoot;
    std::map<std::string, MediaEntry> medias;  // by hash: the installation order
    std::uint32_t sessionId = 0;
    std::string mediaFolder;  // MEDIA_DDL
    std::string dovFolder;    // DOV_DDL
    std::string unzipFolder;  // UNZIP
    std::string operationFolder;
    std::string installerLogs;

    void Log(const std::string& key, const std::string& text) const;
    void LogNow(const std::string& key) const;
};

// InstallOneMedia downloads, unpacks and installs one media: 0 or the return code.
std::int32_t InstallOneMedia(MediaInstallation& run, const std::string& hash,
                             const MediaEntry& media);

// kDefaultWebServiceUrl is the catalogue used when a request names none.
inline constexpr const char* kDefaultWebServiceUrl = DataSink::kDefaultWebServiceUrl;

}  // namespace media_install
