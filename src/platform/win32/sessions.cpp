#include "platform/sessions.h"

#include <windows.h>
#include <wtsapi32.h>

#include <cstdlib>
#include <memory>

#include "platform/sessions_common.h"
#include "platform/win32/win_text.h"

namespace platform {

namespace {

struct WtsDeleter {
    void operator()(void* memory) const { ::WTSFreeMemory(memory); }
};

// QueryRaw returns the platform's buffer for one information class.
bool QueryRaw(std::uint32_t sessionId, int infoClass, std::unique_ptr<void, WtsDeleter>& buffer,
              DWORD& bytes) {
    LPWSTR raw = nullptr;
    if (!::WTSQuerySessionInformationW(WTS_CURRENT_SERVER_HANDLE, sessionId,
                                       static_cast<WTS_INFO_CLASS>(infoClass), &raw, &bytes)) {
        return false;
    }
    buffer.reset(raw);
    return true;
}

bool UsesSessionFile() {
    return SessionFilePath() != nullptr;
}

}  // namespace

bool EnumerateSessions(std::vector<SessionRecord>& sessions, std::uint32_t& error) {
    sessions.clear();
    error = 0;
    if (const char* path = SessionFilePath(); path != nullptr) {
        return ReadSessionFile(path, sessions, error);
    }
    PWTS_SESSION_INFOW raw = nullptr;
    DWORD count = 0;
    if (!::WTSEnumerateSessionsW(WTS_CURRENT_SERVER_HANDLE, 0, 1, &raw, &count)) {
        error = ::GetLastError();
        return false;
    }
    std::unique_ptr<void, WtsDeleter> owned(raw);
    for (DWORD i = 0; i < count; ++i) {
        SessionRecord record;
        record.id = raw[i].SessionId;
        record.state = static_cast<std::uint32_t>(raw[i].State);
        record.hasStation = raw[i].pWinStationName != nullptr;
        record.station = win32::WideToUtf8(raw[i].pWinStationName);
        QuerySessionInfo(record.id, kSessionInfoUserName, record.user);
        sessions.push_back(std::move(record));
    }
    return true;
}

bool FindSession(std::uint32_t sessionId, SessionRecord& record) {
    if (sessionId == kCurrentSession && !UsesSessionFile()) {
        DWORD own = 0;
        if (!::ProcessIdToSessionId(::GetCurrentProcessId(), &own)) {
            return false;
        }
        sessionId = own;
    }
    return FindListedSession(sessionId, record);
}

bool QuerySessionInfo(std::uint32_t sessionId, int infoClass, std::string& value) {
    if (UsesSessionFile()) {
        SessionRecord record;
        if (!FindSession(sessionId, record)) {
            return false;
        }
        return RecordInfo(record, infoClass, value);
    }
    if (infoClass < 0 || infoClass > WTSClientProtocolType) {
        return false;
    }
    std::unique_ptr<void, WtsDeleter> buffer;
    DWORD bytes = 0;
    if (!QueryRaw(sessionId, infoClass, buffer, bytes)) {
        return false;
    }
    // Numbers come as binary values: give them in decimal.
    switch (infoClass) {
        case WTSSessionId:
        case WTSConnectState:
        case WTSClientBuildNumber:
            value = bytes >= sizeof(ULONG)
                        ? std::to_string(*static_cast<const ULONG*>(buffer.get()))
                        : std::string();
            return true;
        case WTSClientProtocolType:
            value = bytes >= sizeof(USHORT)
                        ? std::to_string(*static_cast<const USHORT*>(buffer.get()))
                        : std::string();
            return true;
        default:
            value = win32::WideToUtf8(static_cast<const wchar_t*>(buffer.get()));
            return true;
    }
}

}  // namespace platform
