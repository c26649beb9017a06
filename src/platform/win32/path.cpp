#include "platform/path.h"

#include <windows.h>

#include "platform/win32/win_handle.h"
#include "platform/win32/win_text.h"

namespace platform {

char PathSeparator() {
    return '\\';
}

bool IsPathSeparator(char c) {
    return c == '\\' || c == '/';
}

bool SyncToDisk(const std::string& path) {
    const std::wstring wide = win32::Utf8ToWide(path);
    const DWORD attributes = ::GetFileAttributesW(wide.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        return true;  // folder entries are made durable by the rename itself
    }
    const win32::Handle file(::CreateFileW(wide.c_str(), GENERIC_WRITE,
                                           FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.Valid()) {
        return false;
    }
    return ::FlushFileBuffers(file.Get()) != FALSE;
}

}  // namespace platform
