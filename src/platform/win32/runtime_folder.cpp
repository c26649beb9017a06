#include "platform/runtime_folder.h"

#include <windows.h>

#include <filesystem>
#include <system_error>

#include "platform/sys_error.h"
#include "platform/win32/win_text.h"

namespace platform {

// Pipe and window names are not files on Windows: there is no folder to prepare.
std::uint32_t PrepareRuntimeFolder(const RuntimeOwner& /*owner*/) {
    return SysError::SUCCESS;
}

// The data folders belong to their users already: only the folder and its parents are made.
std::uint32_t ClaimFolderForOwner(const std::string& folder, const RuntimeOwner& /*owner*/) {
    std::error_code error;
    std::filesystem::create_directories(std::filesystem::path(win32::Utf8ToWide(folder)), error);
    return error ? static_cast<std::uint32_t>(error.value()) : SysError::SUCCESS;
}

std::uint32_t RuntimeFolderPath(const RuntimeOwner& /*owner*/, std::string& path) {
    wchar_t buffer[MAX_PATH + 1] = {};
    const DWORD size = ::GetTempPathW(MAX_PATH + 1, buffer);
    if (size == 0 || size > MAX_PATH) {
        return ::GetLastError();
    }
    path = win32::WideToUtf8(std::wstring(buffer, size));
    return SysError::SUCCESS;
}

std::vector<std::string> RuntimeEnvironment() {
    return {};
}

// Windows keeps windows apart by session itself: nothing to pass on.
std::vector<std::string> RuntimeEnvironment(std::uint32_t /*sessionId*/) {
    return {};
}

bool OwnSessionId(std::uint32_t& sessionId) {
    DWORD session = 0;
    if (!::ProcessIdToSessionId(::GetCurrentProcessId(), &session)) {
        return false;
    }
    sessionId = session;
    return true;
}

}  // namespace platform
