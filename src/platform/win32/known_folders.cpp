#include "platform/known_folders.h"

#include <shlobj.h>
#include <windows.h>

#include <memory>
#include <vector>

#include "platform/win32/win_text.h"

namespace platform {

std::string CommonAppDataFolder() {
    wchar_t buffer[MAX_PATH] = {};
    if (FAILED(::SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT,
                                  buffer))) {
        return {};
    }
    return win32::WideToUtf8(buffer);
}

std::string UserDesktopFolder() {
    wchar_t* raw = nullptr;
    const HRESULT result = ::SHGetKnownFolderPath(FOLDERID_Desktop, KF_FLAG_DEFAULT, nullptr, &raw);
    // The shell allocates the text even when the call fails: it is freed either way.
    const std::unique_ptr<wchar_t, decltype(&::CoTaskMemFree)> path(raw, &::CoTaskMemFree);
    return SUCCEEDED(result) && path ? win32::WideToUtf8(path.get()) : std::string();
}

std::string ExecutablePath() {
    std::vector<wchar_t> buffer(MAX_PATH);
    for (;;) {
        const DWORD n =
            ::GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (n == 0) {
            return {};
        }
        if (n < buffer.size()) {
            return win32::WideToUtf8(buffer.data(), static_cast<int>(n));
        }
        buffer.resize(buffer.size() * 2);
    }
}

std::string ExecutableFolder() {
    const std::string path = ExecutablePath();
    const auto slash = path.find_last_of("\\/");
    return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

}  // namespace platform
