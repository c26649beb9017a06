#include "session/session_query.h"

#include <array>
#include <vector>

#include "base/logger.h"
#include "platform/sessions.h"

namespace {

constexpr std::array<const char*, kSessionInfoClassCount> kInfoClassLabels = {
    "WTSInitialProgram",     "WTSApplicationName",   "WTSWorkingDirectory", "WTSOEMId",
    "WTSSessionId",          "WTSUserName",          "WTSWinStationName",   "WTSDomainName",
    "WTSConnectState",       "WTSClientBuildNumber", "WTSClientName",       "WTSClientDirectory",
    "WTSClientProductId",    "WTSClientHardwareId",  "WTSClientAddress",    "WTSClientDisplay",
    "WTSClientProtocolType",
};

std::string SessionLabel(std::uint32_t sessionId) {
    return sessionId == ToolBox::kCurrentSessionId ? "CURRENT" : std::to_string(sessionId);
}

std::string StationText(const platform::SessionRecord& record) {
    return record.hasStation ? record.station : "NULL";
}

}  // namespace

namespace ToolBox {

bool GetActiveSessionId(std::uint32_t& sessionId) {
    std::vector<platform::SessionRecord> sessions;
    std::uint32_t error = 0;
    if (!platform::EnumerateSessions(sessions, error)) {
        Logger::Error("[ToolBox::GetActiveSessionId] Fail to iterate on Session objects!");
        return false;
    }
    Logger::Internal("[ToolBox::GetActiveSessionId] session object total count : " +
                     std::to_string(sessions.size()));
    std::size_t activeCount = 0;
    const platform::SessionRecord* active = nullptr;
    for (const platform::SessionRecord& record : sessions) {
        Logger::Internal(
            "[ToolBox::GetActiveSessionId] session object : [id:" + std::to_string(record.id) +
            "//name:" + StationText(record) + "//status:" + std::to_string(record.state) + "]");
        if (record.state == platform::kSessionStateActive) {
            ++activeCount;
            active = &record;
        }
    }
    if (activeCount == 0) {
        Logger::Error("[ToolBox::GetActiveSessionId] No active session found !");
        return false;
    }
    if (activeCount > 1) {
        Logger::Error(
            "[ToolBox::GetActiveSessionId] multiple active seesion found ! unsupported "
            "execution context.");
        return false;
    }
    sessionId = active->id;
    Logger::Internal(
        "[ToolBox::GetActiveSessionId] successefully found a unique active session on [id:" +
        std::to_string(active->id) + "//sessionName:" + StationText(*active) + "] !");
    return true;
}

bool GetUserNameFromSessionId(std::string& userName, std::uint32_t sessionId) {
    std::string name;
    if (!platform::QuerySessionInfo(sessionId, platform::kSessionInfoUserName, name)) {
        Logger::Debug(
            "[ToolBox::GetUserNameFromSessionId] fail to retrieve the user name for session "
            "id : " +
            SessionLabel(sessionId));
        return false;
    }
    userName = name;
    Logger::Debug("[ToolBox::GetUserNameFromSessionId] retrieved the user name for session id [" +
                  SessionLabel(sessionId) + "] : " + userName);
    return true;
}

bool GetUserNameFromActiveSession(std::string& userName) {
    std::uint32_t sessionId = 0;
    if (!GetActiveSessionId(sessionId)) {
        Logger::Debug("[ToolBox::GetUserNameFromActiveSession] no active session found !");
        return false;
    }
    return GetUserNameFromSessionId(userName, sessionId);
}

}  // namespace ToolBox

const char* SessionInfoClassLabel(int infoClass) {
    if (infoClass < 0 || infoClass >= kSessionInfoClassCount) {
        return "";
    }
    return kInfoClassLabels[static_cast<std::size_t>(infoClass)];
}

void WTSGetString(std::uint32_t sessionId, int infoClass, const std::string& label) {
    std::string value;
    if (!platform::QuerySessionInfo(sessionId, infoClass, value)) {
        Logger::Error("[WTSGetString]{" + std::to_string(sessionId) + "||" + label + "} FAIL !");
        return;
    }
    Logger::Internal("[WTSGetString]{session " + std::to_string(sessionId) + "||" + label +
                     "}returned : '" + value + "'");
}
