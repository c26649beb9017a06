// sessions_common.h: what both backends of the sessions port (see sessions.h) share, so
// that they read the session file and select sessions by the same rules.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/sessions.h"

namespace platform {

// kCurrentSession names the caller's own session in FindSession.
inline constexpr std::uint32_t kCurrentSession = 0xFFFFFFFFu;

// SessionFilePath is the session file named by the environment, null when none is: then the
// platform's own source is consulted.
const char* SessionFilePath();

// ReadSessionFile reads the whole file afresh; on failure sessions is empty and error is 2
// (no file) or 13 (not an array of session objects).
bool ReadSessionFile(const std::string& path, std::vector<SessionRecord>& sessions,
                     std::uint32_t& error);

// FindListedSession enumerates the sessions and copies the one with the id; false when it
// is not listed or the enumeration fails.
bool FindListedSession(std::uint32_t sessionId, SessionRecord& record);

// RecordInfo answers the information classes that a record holds (id, user, station and
// connection state); false for every other class.
bool RecordInfo(const SessionRecord& record, int infoClass, std::string& value);

}  // namespace platform
