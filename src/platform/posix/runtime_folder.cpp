#include "platform/runtime_folder.h"

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>

#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <system_error>
#include <vector>

#include "platform/posix/runtime_paths.h"
#include "platform/posix/system_lookup.h"
#include "platform/sessions.h"
#include "platform/sys_error.h"

namespace platform {

namespace {
constexpr const char* kRootVariable = "QVYLD_RUNTIME_DIR";
}  // namespace

namespace posix {

namespace {

constexpr const char* kDefaultRoot = "/run/vantaro-launcher";
constexpr const char* kPipePrefix = "\\\\.\\pipe\\";

bool EndsWith(const std::string& text, const std::string& suffix) {
    return text.size() >= suffix.size() &&
           text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

bool LookupUser(const std::string& name, uid_t& uid, gid_t& gid) {
    UserEntry user;
    if (!FindUser(name, user)) {
        return false;
    }
    uid = user.entry.pw_uid;
    gid = user.entry.pw_gid;
    return true;
}

}  // namespace

std::uint32_t OwnerIdentity(const RuntimeOwner& owner, uid_t& uid, gid_t& gid) {
    if (owner.kind == RuntimeOwner::Kind::Self) {
        uid = ::geteuid();
        gid = ::getegid();
        return SysError::SUCCESS;
    }
    SessionRecord session;
    if (!FindSession(owner.sessionId, session) || session.user.empty() ||
        !LookupUser(session.user, uid, gid)) {
        return SysError::NO_TOKEN;
    }
    return SysError::SUCCESS;
}

std::string RootFolder() {
    const char* root = std::getenv(kRootVariable);
    return root != nullptr && *root != '\0' ? std::string(root) : std::string(kDefaultRoot);
}

std::string UserFolder(uid_t uid) {
    return RootFolder() + "/" + std::to_string(uid);
}

namespace {

std::string Leaf(const std::string& name) {
    std::string leaf =
        name.rfind(kPipePrefix, 0) == 0 ? name.substr(std::strlen(kPipePrefix)) : name;
    for (char& c : leaf) {
        if (c == '/' || c == '\\' || c == '\0') {
            c = '_';
        }
    }
    return leaf;
}

}  // namespace

std::string EndpointPath(uid_t uid, const std::string& name, const char* suffix) {
    return UserFolder(uid) + "/" + Leaf(name) + suffix;
}

std::string SharedEndpointPath(const std::string& name, const char* suffix) {
    return RootFolder() + "/" + Leaf(name) + suffix;
}

bool MakeAddress(const std::string& path, sockaddr_un& address, socklen_t& length) {
    address = sockaddr_un{};
    address.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof address.sun_path) {
        return false;
    }
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + path.size() + 1);
    return true;
}

Probe ProbeSocket(const std::string& path, int type) {
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0) {
        return errno == ENOENT ? Probe::Missing : Probe::Unknown;
    }
    if (!S_ISSOCK(info.st_mode)) {
        return Probe::Unknown;
    }
    sockaddr_un address{};
    socklen_t length = 0;
    UniqueFd fd(::socket(AF_UNIX, type | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!fd.Valid() || !MakeAddress(path, address, length)) {
        return Probe::Unknown;
    }
    if (::connect(fd.Get(), reinterpret_cast<const sockaddr*>(&address), length) == 0) {
        return Probe::Live;
    }
    switch (errno) {
        case ECONNREFUSED:
            return Probe::Stale;
        case ENOENT:
            return Probe::Missing;
        case EAGAIN:  // a listener whose queue is full is alive
            return Probe::Live;
        default:
            return Probe::Unknown;
    }
}

void DiscardIfStale(const std::string& path, int type) {
    if (ProbeSocket(path, type) == Probe::Stale) {
        ::unlink(path.c_str());
    }
}

int SocketTypeOf(const std::string& path) {
    if (EndsWith(path, kPipeSuffix)) {
        return SOCK_SEQPACKET;
    }
    return EndsWith(path, kWindowSuffix) ? SOCK_DGRAM : 0;
}

std::uint32_t BindEndpoint(int fd, const std::string& path, int type) {
    sockaddr_un address{};
    socklen_t length = 0;
    if (!MakeAddress(path, address, length)) {
        return SysError::FILENAME_EXCED_RANGE;
    }
    const auto* raw = reinterpret_cast<const sockaddr*>(&address);
    if (::bind(fd, raw, length) != 0) {
        if (errno != EADDRINUSE) {
            return ErrorFromErrno(errno);
        }
        // Only a file that refuses connections is taken over.
        if (ProbeSocket(path, type) != Probe::Stale) {
            return SysError::ALREADY_EXISTS;
        }
        ::unlink(path.c_str());
        if (::bind(fd, raw, length) != 0) {
            return ErrorFromErrno(errno);
        }
    }
    if (::chmod(path.c_str(), 0600) != 0) {
        const std::uint32_t error = ErrorFromErrno(errno);
        ::unlink(path.c_str());
        return error;
    }
    return SysError::SUCCESS;
}

bool SameFile(const std::string& path, dev_t device, ino_t inode) {
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0 && info.st_dev == device && info.st_ino == inode;
}

}  // namespace posix

namespace {

std::uint32_t MakeRoot(const std::string& root) {
    if (::mkdir(root.c_str(), 0755) != 0 && errno != EEXIST) {
        return ErrorFromErrno(errno);
    }
    struct stat info {};
    if (::stat(root.c_str(), &info) != 0) {
        return ErrorFromErrno(errno);
    }
    return S_ISDIR(info.st_mode) ? SysError::SUCCESS : SysError::PATH_NOT_FOUND;
}

// ClaimFolder makes folder a directory owned by uid with mode 0700. Anything else in its
// place is removed first when we are root (someone else's folder could hold planted files);
// another caller can only fail.
std::uint32_t ClaimFolder(const std::string& folder, uid_t uid, gid_t gid) {
    const bool root = ::geteuid() == 0;
    struct stat info {};
    if (::lstat(folder.c_str(), &info) == 0 && (!S_ISDIR(info.st_mode) || info.st_uid != uid)) {
        if (!root) {
            return SysError::ACCESS_DENIED;
        }
        std::error_code ec;
        std::filesystem::remove_all(folder, ec);
        if (ec) {
            return ErrorFromErrno(ec.value());
        }
    }
    if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
        return ErrorFromErrno(errno);
    }
    // No follow: the folder is checked to be a directory below, and lchown never follows.
    if (root && ::lchown(folder.c_str(), uid, gid) != 0) {
        return ErrorFromErrno(errno);
    }
    if (::lstat(folder.c_str(), &info) != 0 || !S_ISDIR(info.st_mode) || info.st_uid != uid) {
        return SysError::ACCESS_DENIED;
    }
    if ((info.st_mode & 07777) != 0700 && ::chmod(folder.c_str(), 0700) != 0) {
        return ErrorFromErrno(errno);
    }
    return SysError::SUCCESS;
}

void SweepStaleEndpoints(const std::string& folder) {
    std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(folder.c_str()), &::closedir);
    if (!dir) {
        return;
    }
    std::vector<std::string> paths;
    while (const dirent* entry = ::readdir(dir.get())) {
        const std::string path = folder + "/" + entry->d_name;
        if (posix::SocketTypeOf(path) != 0) {
            paths.push_back(path);
        }
    }
    for (const std::string& path : paths) {
        posix::DiscardIfStale(path, posix::SocketTypeOf(path));
    }
}

}  // namespace

namespace posix {

std::uint32_t MakeRootFolder() {
    return MakeRoot(RootFolder());
}

}  // namespace posix

std::uint32_t PrepareRuntimeFolder(const RuntimeOwner& owner) {
    uid_t uid = 0;
    gid_t gid = 0;
    std::uint32_t error = posix::OwnerIdentity(owner, uid, gid);
    if (error != SysError::SUCCESS) {
        return error;
    }
    const std::string folder = posix::UserFolder(uid);
    struct stat info {};
    const bool ready = ::lstat(folder.c_str(), &info) == 0 && S_ISDIR(info.st_mode) &&
                       info.st_uid == uid && (info.st_mode & 07777) == 0700;
    if (!ready) {
        if ((error = MakeRoot(posix::RootFolder())) != SysError::SUCCESS ||
            (error = ClaimFolder(folder, uid, gid)) != SysError::SUCCESS) {
            return error;
        }
    }
    SweepStaleEndpoints(folder);
    return SysError::SUCCESS;
}

std::uint32_t ClaimFolderForOwner(const std::string& folder, const RuntimeOwner& owner) {
    uid_t uid = 0;
    gid_t gid = 0;
    const std::uint32_t error = posix::OwnerIdentity(owner, uid, gid);
    if (error != SysError::SUCCESS) {
        return error;
    }
    const std::filesystem::path parent = std::filesystem::path(folder).parent_path();
    std::error_code ec;
    if (!parent.empty()) {
        std::filesystem::create_directories(parent, ec);
    }
    if (ec) {
        return ErrorFromErrno(ec.value());
    }
    return ClaimFolder(folder, uid, gid);
}

std::uint32_t RuntimeFolderPath(const RuntimeOwner& owner, std::string& path) {
    uid_t uid = 0;
    gid_t gid = 0;
    const std::uint32_t error = posix::OwnerIdentity(owner, uid, gid);
    if (error == SysError::SUCCESS) {
        path = posix::UserFolder(uid);
    }
    return error;
}

std::vector<std::string> RuntimeEnvironment() {
    // The runtime root; the test-only certificate authorities of the worker's transfers
    // (tests serve https with a throwaway authority to workers that run as a session's user);
    // and a test harness's session file, so that a tray watches the sessions the daemon
    // sees and ends with its session there too.
    std::vector<std::string> entries;
    for (const char* name : {kRootVariable, "QVYLD_TEST_CA_FILE", "QVYLD_SESSION_FILE"}) {
        const char* value = std::getenv(name);
        if (value != nullptr && *value != '\0') {
            entries.push_back(std::string(name) + "=" + value);
        }
    }
    return entries;
}

std::vector<std::string> RuntimeEnvironment(std::uint32_t sessionId) {
    std::vector<std::string> entries = RuntimeEnvironment();
    entries.push_back(std::string(kSessionVariable) + "=" + std::to_string(sessionId));
    return entries;
}

bool OwnSessionId(std::uint32_t& sessionId) {
    const char* text = std::getenv(kSessionVariable);
    if (text != nullptr && *text != '\0') {
        std::uint32_t value = 0;
        const char* end = text + std::strlen(text);
        const auto [ptr, ec] = std::from_chars(text, end, value);
        if (ec == std::errc() && ptr == end) {
            sessionId = value;
            return true;
        }
    }
    SessionRecord record;
    if (std::getenv("QVYLD_SESSION_FILE") == nullptr && FindSession(0xFFFFFFFFu, record)) {
        sessionId = record.id;
        return true;
    }
    return false;
}

}  // namespace platform
