#include "platform/named_mutex.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>
#include <utility>

#include "platform/posix/runtime_paths.h"
#include "platform/posix/unique_fd.h"

namespace platform {

namespace {

// LockDirectory is where the lock files live. The service's folder belongs to root and no one
// else may write in it, so no other user can create, replace or hold one of its locks.
std::string LockDirectory() {
    const char* forced = std::getenv("QVYLD_LOCK_DIR");
    if (forced != nullptr && *forced != '\0') {
        return forced;
    }
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (::geteuid() != 0 && runtime != nullptr && *runtime != '\0') {
        return runtime;
    }
    return posix::RootFolder();
}

// LockPath keeps the name inside the lock directory: a "/" would name a sub-folder.
std::string LockPath(const std::string& name) {
    std::string leaf = name;
    for (char& c : leaf) {
        if (c == '/') {
            c = '_';
        }
    }
    return LockDirectory() + "/" + leaf + ".lock";
}

// IsTrustedOwner: root, or this process's own user (a service that does not run as root).
bool IsTrustedOwner(uid_t uid) {
    return uid == 0 || uid == ::geteuid();
}

// FolderProblem says why the lock directory cannot be trusted; empty when it can. A missing
// service folder is made, as the unit's RuntimeDirectory would.
std::string FolderProblem(const std::string& folder) {
    struct stat info {};
    if (::lstat(folder.c_str(), &info) != 0 && errno == ENOENT) {
        ::mkdir(folder.c_str(), 0755);
    }
    if (::lstat(folder.c_str(), &info) != 0) {
        return "the lock folder " + folder + " cannot be read";
    }
    if (!S_ISDIR(info.st_mode) || !IsTrustedOwner(info.st_uid) ||
        (info.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        return "the lock folder " + folder + " is not a folder that only its owner can write";
    }
    return {};
}

// FileProblem says why an open lock file cannot be trusted; empty when it can.
std::string FileProblem(int fd, const std::string& path) {
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || !IsTrustedOwner(info.st_uid)) {
        return "the lock file " + path + " is not a plain file of this service's user";
    }
    return {};
}

// OpenLock opens (creating when asked) the lock file, refusing a symbolic link and a file
// or folder that someone else owns; problem says why when it is refused.
posix::UniqueFd OpenLock(const std::string& name, bool create, std::string& problem) {
    const std::string path = LockPath(name);
    problem = FolderProblem(LockDirectory());
    if (!problem.empty()) {
        return posix::UniqueFd();
    }
    const int flags = (create ? O_RDWR | O_CREAT : O_RDONLY) | O_CLOEXEC | O_NOFOLLOW;
    posix::UniqueFd fd(::open(path.c_str(), flags, 0600));
    if (!fd.Valid()) {
        if (errno == ELOOP) {
            problem = "the lock file " + path + " is a symbolic link";
        } else if (create) {
            problem = "the lock file " + path + " cannot be opened";
        }
        return fd;
    }
    problem = FileProblem(fd.Get(), path);
    return problem.empty() ? std::move(fd) : posix::UniqueFd();
}

}  // namespace

bool NamedMutexExists(const std::string& name, std::string* refusal) {
    std::string problem;
    const posix::UniqueFd fd = OpenLock(name, false, problem);
    if (refusal != nullptr) {
        *refusal = problem;
    }
    // A shared probe never blocks another probe; it fails only against the owner's
    // exclusive lock.
    return fd.Valid() && ::flock(fd.Get(), LOCK_SH | LOCK_NB) != 0;
}

NamedMutexOwner::NamedMutexOwner(const std::string& name) {
    posix::UniqueFd fd = OpenLock(name, true, refusal_);
    if (!fd.Valid() || ::flock(fd.Get(), LOCK_EX | LOCK_NB) != 0) {
        return;
    }
    handle_ = fd.Release();
    owned_ = true;
}

NamedMutexOwner::~NamedMutexOwner() {
    if (handle_ >= 0) {
        ::close(static_cast<int>(handle_));
    }
}

}  // namespace platform
