// Session queries: the interactive session of the logged-on user and its user name. The
// daemon supports exactly one active session; none or several is an unsupported context and
// every query that needs the active session fails there. Nothing is cached: each call asks
// the platform afresh, so a user switch between two calls is seen.
#pragma once

#include <cstdint>
#include <string>

namespace ToolBox {

// kCurrentSessionId is the platform's "current session" id; log texts write it "CURRENT".
inline constexpr std::uint32_t kCurrentSessionId = 0xFFFFFFFFu;

// GetActiveSessionId stores the id of the single active session and returns true; with no
// active session or several it logs why and returns false, leaving sessionId untouched.
bool GetActiveSessionId(std::uint32_t& sessionId);

// GetUserNameFromSessionId replaces userName with the UTF-8 user name of the session. A
// session without a logged-on user yields true and an empty name. On failure userName is
// left as it was: callers must test the result, not the text.
bool GetUserNameFromSessionId(std::string& userName, std::uint32_t sessionId);

// GetUserNameFromActiveSession is GetActiveSessionId followed by GetUserNameFromSessionId.
bool GetUserNameFromActiveSession(std::string& userName);

}  // namespace ToolBox

// kSessionInfoClassCount is the number of session information classes that WTSGetString knows
// a label for (classes 0 to 16).
inline constexpr int kSessionInfoClassCount = 17;

// SessionInfoClassLabel is the label of an information class ("WTSUserName" for 5), or an
// empty text outside 0 to 16.
const char* SessionInfoClassLabel(int infoClass);

// WTSGetString logs one information class of a session, for diagnostics only: the value at
// INTERNAL, or a failure line at ERROR.
void WTSGetString(std::uint32_t sessionId, int infoClass, const std::string& label);
