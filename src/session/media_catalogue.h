// Operations::GetProductInfo asks the media catalogue web service (JSON-RPC, through the
// user's worker) which media carry the given processes of a release, and describes each
// answer as a MediaInfo.
#pragma once

#include <string>
#include <vector>

#include "install/media_info.h"
#include "session/operations_as_user_web.h"

class ZorvidRequestInfo;

namespace Operations {

// GetProductInfo posts {"id", "method", "params"} to url and appends one MediaInfo per
// object of the answer's "result" array to medias (other elements are logged and skipped).
// The method is "Media::findV2", or with a clusterID "MediaV4::find" when type is given and
// "MediaV3::find" otherwise. params holds "clusterID" and "type" (when sent), then
// "siteID", "onlineInstanceID", "release", "operatingSystem", "codeLevel", "codeType",
// "levelType" (empty texts as null) and "processTrigrams". Each media gets the element's
// "url" (and its last "/"-part as file name), "description", "DOVPath", "md5" (with "MD5"
// as algorithm), the requested codeLevel, and its "size" in megabytes times 1048576.
// False, logged, when url, osds, release or the trigram list is empty, when both siteID
// and onlineInstanceID are empty, when the call fails, or when the answer is not an
// object, carries a string "error", or has no "result" array. call is the transport
// (empty: the worker's "CallWS" as the user).
bool GetProductInfo(const std::string& release, const std::string& url, const std::string& osds,
                    const std::string& type, const std::string& codeLevel,
                    const std::string& codeType, const std::string& levelType,
                    const std::string& onlineInstanceID, const std::string& siteID,
                    const std::string& clusterID, const std::vector<std::string>& processTrigrams,
                    std::vector<MediaInfo>& medias, const ZorvidRequestInfo& user,
                    const AsUser::WebServiceCall& call = {});

// ParseProductInfoAnswer is the answer half of GetProductInfo: it reads the answer text and
// appends the media it describes. False, logged, as GetProductInfo for a bad answer.
bool ParseProductInfoAnswer(const std::string& answer, const std::string& codeLevel,
                            const std::string& trigrams, std::vector<MediaInfo>& medias);

}  // namespace Operations
