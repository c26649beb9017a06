#include "platform/log_file.h"

#include <windows.h>

#include <utility>

#include "platform/sys_error.h"
#include "platform/win32/win_text.h"

namespace platform {

namespace {

HANDLE AsHandle(std::intptr_t value) {
    return reinterpret_cast<HANDLE>(value);
}

bool IsFolder(const std::wstring& path) {
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// Identity reads the volume serial number and file index that recognise an open file.
bool Identity(HANDLE file, std::uint64_t (&identity)[2]) {
    BY_HANDLE_FILE_INFORMATION info{};
    if (!::GetFileInformationByHandle(file, &info)) {
        return false;
    }
    identity[0] = info.dwVolumeSerialNumber;
    identity[1] = (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    return true;
}

// CutBack takes a cut line back: the file ends where it ended before the write. The log's
// own handle may only append, so a second handle truncates.
void CutBack(const std::string& path, std::uint64_t size) {
    const HANDLE file = ::CreateFileW(win32::Utf8ToWide(path).c_str(), GENERIC_WRITE,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return;
    }
    LARGE_INTEGER end{};
    end.QuadPart = static_cast<LONGLONG>(size);
    if (::SetFilePointerEx(file, end, nullptr, FILE_BEGIN)) {
        ::SetEndOfFile(file);
    }
    ::CloseHandle(file);
}

}  // namespace

LogFileAccess LogFileAccessFor(const std::string& adminGroup) {
    // The machine data folder's access lists already keep the service's logs to the
    // administrators; the mode and group are carried for the record only.
    LogFileAccess access;
    access.folderMode = 0750;
    access.fileMode = 0640;
    access.group = adminGroup;
    return access;
}

std::uint32_t MakeLogFolder(const std::string& path, const LogFileAccess& /*access*/) {
    if (path.empty()) {
        return SysError::PATH_NOT_FOUND;
    }
    const std::wstring wide = win32::Utf8ToWide(path);
    for (std::size_t slash = wide.find_first_of(L"\\/", 3);;
         slash = wide.find_first_of(L"\\/", slash + 1)) {
        const std::wstring prefix = wide.substr(0, slash);
        if (!prefix.empty() && !IsFolder(prefix) && !::CreateDirectoryW(prefix.c_str(), nullptr) &&
            ::GetLastError() != ERROR_ALREADY_EXISTS) {
            return ::GetLastError();
        }
        if (slash == std::wstring::npos) {
            break;
        }
    }
    return SysError::SUCCESS;
}

LogFile::~LogFile() {
    Close();
}

LogFile::LogFile(LogFile&& other) noexcept
    : handle_(std::exchange(other.handle_, -1)),
      path_(std::move(other.path_)),
      size_(other.size_),
      identity_{other.identity_[0], other.identity_[1]} {}

LogFile& LogFile::operator=(LogFile&& other) noexcept {
    if (this != &other) {
        Close();
        handle_ = std::exchange(other.handle_, -1);
        path_ = std::move(other.path_);
        size_ = other.size_;
        identity_[0] = other.identity_[0];
        identity_[1] = other.identity_[1];
    }
    return *this;
}

std::uint32_t LogFile::Open(const std::string& path, const LogFileAccess& /*access*/) {
    Close();
    // Shared for reading, writing and deleting: readers may follow the file, and a removed
    // or renamed file is noticed by StillAtPath.
    const HANDLE file = ::CreateFileW(win32::Utf8ToWide(path).c_str(), FILE_APPEND_DATA,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return ::GetLastError();
    }
    LARGE_INTEGER size{};
    if (!::GetFileSizeEx(file, &size) || !Identity(file, identity_)) {
        const DWORD error = ::GetLastError();
        ::CloseHandle(file);
        return error;
    }
    handle_ = reinterpret_cast<std::intptr_t>(file);
    path_ = path;
    size_ = static_cast<std::uint64_t>(size.QuadPart);
    return SysError::SUCCESS;
}

void LogFile::Close() {
    if (handle_ != -1) {
        ::CloseHandle(AsHandle(handle_));
        handle_ = -1;
    }
}

bool LogFile::IsOpen() const {
    return handle_ != -1;
}

std::uint32_t LogFile::Append(std::string_view text) {
    if (handle_ == -1) {
        return SysError::INVALID_HANDLE;
    }
    const HANDLE file = AsHandle(handle_);
    std::size_t written = 0;
    while (written < text.size()) {
        DWORD chunk = 0;
        const DWORD wanted = static_cast<DWORD>(text.size() - written);
        if (!::WriteFile(file, text.data() + written, wanted, &chunk, nullptr) || chunk == 0) {
            const DWORD error =
                chunk == 0 && ::GetLastError() == 0 ? ERROR_DISK_FULL : ::GetLastError();
            if (written > 0) {
                CutBack(path_, size_);
            }
            return error;
        }
        written += chunk;
    }
    size_ += written;
    return SysError::SUCCESS;
}

bool LogFile::StillAtPath() const {
    if (handle_ == -1) {
        return false;
    }
    const HANDLE probe = ::CreateFileW(win32::Utf8ToWide(path_).c_str(), FILE_READ_ATTRIBUTES,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                       nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (probe == INVALID_HANDLE_VALUE) {
        return false;
    }
    std::uint64_t identity[2] = {0, 0};
    const bool same =
        Identity(probe, identity) && identity[0] == identity_[0] && identity[1] == identity_[1];
    ::CloseHandle(probe);
    return same;
}

}  // namespace platform
