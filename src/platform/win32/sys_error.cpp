#include "platform/sys_error.h"

#include <windows.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include "platform/win32/win_text.h"

namespace platform {
namespace {

struct LocalFreeDeleter {
    void operator()(wchar_t* p) const { ::LocalFree(p); }
};

}  // namespace

std::uint32_t LastError() {
    return ::GetLastError();
}

void SetLastError(std::uint32_t code) {
    ::SetLastError(code);
}

std::uint32_t ErrorFromErrno(int errnum) {
    switch (errnum) {
        case 0:
            return SysError::SUCCESS;
        case ENOENT:
            return SysError::FILE_NOT_FOUND;
        case ENOTDIR:
            return SysError::PATH_NOT_FOUND;
        case EACCES:
        case EPERM:
            return SysError::ACCESS_DENIED;
        case ENOMEM:
            return SysError::NOT_ENOUGH_MEMORY;
        case EEXIST:
            return SysError::ALREADY_EXISTS;
        case EINVAL:
            return SysError::INVALID_PARAMETER;
        case EPIPE:
            return SysError::BROKEN_PIPE;
        case ENOSPC:
            return SysError::DISK_FULL;
        default:
            return SysError::GEN_FAILURE;
    }
}

bool TryFormatSystemMessage(std::uint32_t code, std::string& text) {
    wchar_t* raw = nullptr;
    const DWORD n = ::FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), reinterpret_cast<LPWSTR>(&raw), 0,
        nullptr);
    std::unique_ptr<wchar_t, LocalFreeDeleter> owned(raw);
    if (n == 0) {
        text.clear();
        return false;
    }
    text = raw == nullptr ? std::string("NULL") : win32::WideToUtf8(raw, static_cast<int>(n));
    std::erase_if(text, [](char c) { return c == '\r' || c == '\n'; });
    return true;
}

std::string ErrnoText(int errnum) {
    char buffer[256] = {};
    if (::strerror_s(buffer, sizeof buffer, errnum) != 0 || buffer[0] == '\0') {
        return "NULL";
    }
    return buffer;
}

}  // namespace platform
