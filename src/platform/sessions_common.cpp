// The parts of the sessions port that do not depend on the platform: the session file
// source, the look-up of one session in the enumeration and the information classes that a
// session record answers by itself.
#include "platform/sessions_common.h"

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <utility>

#include "base/json/json.h"
#include "platform/sys_error.h"

namespace platform {

namespace {

// ERROR_INVALID_DATA: the file exists but does not describe sessions.
constexpr std::uint32_t kInvalidData = 13;

// OptionalText reads a text member that may be absent or null.
bool OptionalText(const JSON::JSONItem& object, const char* key, std::string& value,
                  bool& present) {
    const JSON::JSONItem* item = object.Get(key);
    present = item != nullptr && !item->IsNull();
    if (!present) {
        return true;
    }
    if (!item->IsString()) {
        return false;
    }
    value = item->GetString();
    return true;
}

// Unsigned reads a whole number of 0 to 0xFFFFFFFF.
bool Unsigned(const JSON::JSONItem& object, const char* key, std::uint32_t& value) {
    const JSON::JSONItem* item = object.Get(key);
    if (item == nullptr || !item->IsNumber() ||
        item->GetString().find_first_of(".eE") != std::string::npos) {
        return false;
    }
    const std::int64_t number = item->GetInt64();
    if (number < 0 || number > 0xFFFFFFFFll) {
        return false;
    }
    value = static_cast<std::uint32_t>(number);
    return true;
}

bool ReadRecord(const JSON::JSONItem& object, SessionRecord& record) {
    bool userPresent = false;
    bool displayPresent = false;
    if (object.IsObject() && object.Get("leader") != nullptr &&
        !Unsigned(object, "leader", record.leader)) {
        return false;
    }
    return object.IsObject() && Unsigned(object, "id", record.id) &&
           Unsigned(object, "state", record.state) &&
           OptionalText(object, "user", record.user, userPresent) &&
           OptionalText(object, "station", record.station, record.hasStation) &&
           OptionalText(object, "display", record.display, displayPresent);
}

}  // namespace

bool ReadSessionFile(const std::string& path, std::vector<SessionRecord>& sessions,
                     std::uint32_t& error) {
    sessions.clear();
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = SysError::FILE_NOT_FOUND;
        return false;
    }
    std::ostringstream text;
    text << in.rdbuf();
    JSON::JSONDocument document;
    const JSON::JSONItem* root = nullptr;
    if (document.Parse(text.str()) != 0 || (root = document.Root()) == nullptr ||
        !root->IsArray()) {
        error = kInvalidData;
        return false;
    }
    for (const JSON::ItemPtr& item : root->AsArray()->Items()) {
        SessionRecord record;
        if (!ReadRecord(*item, record)) {
            error = kInvalidData;
            sessions.clear();
            return false;
        }
        sessions.push_back(std::move(record));
    }
    return true;
}

const char* SessionFilePath() {
    return std::getenv("QVYLD_SESSION_FILE");
}

bool FindListedSession(std::uint32_t sessionId, SessionRecord& record) {
    std::vector<SessionRecord> sessions;
    std::uint32_t error = 0;
    if (!EnumerateSessions(sessions, error)) {
        return false;
    }
    for (SessionRecord& candidate : sessions) {
        if (candidate.id == sessionId) {
            record = std::move(candidate);
            return true;
        }
    }
    return false;
}

bool RecordInfo(const SessionRecord& record, int infoClass, std::string& value) {
    switch (infoClass) {
        case kSessionInfoSessionId:
            value = std::to_string(record.id);
            return true;
        case kSessionInfoUserName:
            value = record.user;
            return true;
        case kSessionInfoStationName:
            value = record.station;
            return true;
        case kSessionInfoConnectState:
            value = std::to_string(record.state);
            return true;
        default:
            return false;
    }
}

}  // namespace platform
