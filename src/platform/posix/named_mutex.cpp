#include "platform/named_mutex.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "platform/posix/unique_fd.h"

namespace platform {

namespace {

std::string LockDirectory() {
    const char* forced = std::getenv("QVYLD_LOCK_DIR");
    if (forced != nullptr && *forced != '\0') {
        return forced;
    }
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (::geteuid() != 0 && runtime != nullptr && *runtime != '\0') {
        return runtime;
    }
    return "/run/lock";
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

}  // namespace

bool NamedMutexExists(const std::string& name) {
    const posix::UniqueFd fd(::open(LockPath(name).c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
    // A shared probe never blocks another probe; it fails only against the owner's
    // exclusive lock.
    return fd.Valid() && ::flock(fd.Get(), LOCK_SH | LOCK_NB) != 0;
}

NamedMutexOwner::NamedMutexOwner(const std::string& name) {
    posix::UniqueFd fd(
        ::open(LockPath(name).c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644));
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
