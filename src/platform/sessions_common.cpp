// session_file.h: the session file source of the sessions port (see sessions.h), shared by
// the backends so that both read the file by the same rules.
#pragma once

#include <cstdint>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "base/json/json.h"
#include "platform/sessions.h"
#include "platform/sys_error.h"

namespace platform {

namespace session_file {

// ERROR_INVALID_DATA: the file exists but does not describe sessions.
inline constexpr std::uint32_t kInvalidData = 13;

// OptionalText reads a text member that may be absent or null.
inline bool OptionalText(const JSON::JSONItem& object, const char* key, std::string& value,
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
inline bool Unsigned(const JSON::JSONItem& object, const char* key, std::uint32_t& value) {
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

inline bool ReadRecord(const JSON::JSONItem& object, SessionRecord& record) {
    bool userPresent = false;
    bool displayPresent = false;
    return object.IsObject() && Unsigned(object, "id", record.id) &&
           Unsigned(object, "state", record.state) &&
           OptionalText(object, "user", record.user, userPresent) &&
           OptionalText(object, "station", record.station, record.hasStation) &&
           OptionalText(object, "display", record.display, displayPresent);
}

}  // namespace session_file

// ReadSessionFile reads the whole file afresh; on failure sessions is empty and error is 2
// (no file) or 13 (not an array of session objects).
inline bool ReadSessionFile(const std::string& path, std::vector<SessionRecord>& sessions,
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
        error = session_file::kInvalidData;
        return false;
    }
    for (const JSON::ItemPtr& item : root->AsArray()->Items()) {
        SessionRecord record;
        if (!session_file::ReadRecord(*item, record)) {
            error = session_file::kInvalidData;
            sessions.clear();
            return false;
        }
        sessions.push_back(std::move(record));
    }
    return true;
}

}  // namespace platform
