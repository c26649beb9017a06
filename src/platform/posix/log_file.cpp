#include "platform/log_file.h"

#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <utility>
#include <vector>

#include "platform/sys_error.h"

namespace platform {

namespace {

constexpr std::uint32_t kAdminFolderMode = 0750;
constexpr std::uint32_t kAdminFileMode = 0640;

// GroupId looks the group up; false when it does not exist (or cannot be read).
bool GroupId(const std::string& name, gid_t& gid) {
    std::vector<char> buffer(4096);
    group entry{};
    group* found = nullptr;
    while (::getgrnam_r(name.c_str(), &entry, buffer.data(), buffer.size(), &found) == ERANGE) {
        buffer.resize(buffer.size() * 2);
    }
    if (found == nullptr) {
        return false;
    }
    gid = found->gr_gid;
    return true;
}

// ApplyAccess gives an open file or folder its mode and group; NOT_FOUND for a missing group.
std::uint32_t ApplyAccess(int fd, std::uint32_t mode, const std::string& groupName) {
    if (::fchmod(fd, static_cast<mode_t>(mode)) != 0) {
        return ErrorFromErrno(errno);
    }
    if (groupName.empty()) {
        return SysError::SUCCESS;
    }
    gid_t gid = 0;
    if (!GroupId(groupName, gid)) {
        return SysError::NOT_FOUND;
    }
    return ::fchown(fd, static_cast<uid_t>(-1), gid) == 0 ? SysError::SUCCESS
                                                          : ErrorFromErrno(errno);
}

std::uint32_t ApplyFolderAccess(const std::string& path, const LogFileAccess& access) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) {
        return ErrorFromErrno(errno);
    }
    const std::uint32_t error = ApplyAccess(fd, access.folderMode, access.group);
    ::close(fd);
    return error;
}

bool IsFolder(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

}  // namespace

LogFileAccess LogFileAccessFor(const std::string& adminGroup) {
    LogFileAccess access;
    if (::geteuid() == 0) {
        access.folderMode = kAdminFolderMode;
        access.fileMode = kAdminFileMode;
        access.group = adminGroup;
    }
    return access;
}

std::uint32_t MakeLogFolder(const std::string& path, const LogFileAccess& access) {
    if (path.empty()) {
        return SysError::PATH_NOT_FOUND;
    }
    std::uint32_t result = SysError::SUCCESS;
    // Each missing folder from the top down is made with the log's mode and group.
    for (std::size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
        const std::string prefix = path.substr(0, slash);
        if (!prefix.empty() && !IsFolder(prefix)) {
            if (::mkdir(prefix.c_str(), static_cast<mode_t>(access.folderMode)) != 0 &&
                errno != EEXIST) {
                return ErrorFromErrno(errno);
            }
            const std::uint32_t error = ApplyFolderAccess(prefix, access);
            result = result == SysError::SUCCESS ? error : result;
        }
        if (slash == std::string::npos) {
            break;
        }
    }
    const std::uint32_t error = ApplyFolderAccess(path, access);
    return result == SysError::SUCCESS ? error : result;
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

std::uint32_t LogFile::Open(const std::string& path, const LogFileAccess& access) {
    Close();
    const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW,
                          static_cast<mode_t>(access.fileMode));
    if (fd < 0) {
        return ErrorFromErrno(errno);
    }
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        const int error = S_ISREG(info.st_mode) ? errno : EISDIR;
        ::close(fd);
        return ErrorFromErrno(error);
    }
    handle_ = fd;
    path_ = path;
    size_ = static_cast<std::uint64_t>(info.st_size);
    identity_[0] = static_cast<std::uint64_t>(info.st_dev);
    identity_[1] = static_cast<std::uint64_t>(info.st_ino);
    // A file left by an older version may be readable by everyone.
    return ApplyAccess(fd, access.fileMode, access.group);
}

void LogFile::Close() {
    if (handle_ >= 0) {
        ::close(static_cast<int>(handle_));
        handle_ = -1;
    }
}

bool LogFile::IsOpen() const {
    return handle_ >= 0;
}

std::uint32_t LogFile::Append(std::string_view text) {
    if (handle_ < 0) {
        return SysError::INVALID_HANDLE;
    }
    const int fd = static_cast<int>(handle_);
    std::size_t written = 0;
    while (written < text.size()) {
        const ssize_t n = ::write(fd, text.data() + written, text.size() - written);
        if (n > 0) {
            written += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        const int error = n < 0 ? errno : ENOSPC;
        // Take the cut line back: the file ends where it ended before this call.
        struct stat info {};
        if (written > 0 && ::fstat(fd, &info) == 0 &&
            static_cast<std::uint64_t>(info.st_size) >= written) {
            [[maybe_unused]] const int rc =
                ::ftruncate(fd, info.st_size - static_cast<off_t>(written));
        }
        return ErrorFromErrno(error);
    }
    size_ += written;
    return SysError::SUCCESS;
}

bool LogFile::StillAtPath() const {
    struct stat info {};
    return handle_ >= 0 && ::stat(path_.c_str(), &info) == 0 &&
           static_cast<std::uint64_t>(info.st_dev) == identity_[0] &&
           static_cast<std::uint64_t>(info.st_ino) == identity_[1];
}

}  // namespace platform
