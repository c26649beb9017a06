#include "platform/named_mutex.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

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
    const int fd = ::open(LockPath(name).c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) {
        return false;
    }
    // A shared probe never blocks another probe; it fails only against the owner's
    // exclusive lock.
    const bool owned = ::flock(fd, LOCK_SH | LOCK_NB) != 0;
    ::close(fd);
    return owned;
}

NamedMutexOwner::NamedMutexOwner(const std::string& name) {
    const int fd = ::open(LockPath(name).c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0) {
        return;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        return;
    }
    handle_ = fd;
    owned_ = true;
}

NamedMutexOwner::~NamedMutexOwner() {
    if (handle_ >= 0) {
        ::close(static_cast<int>(handle_));
    }
}

}  // namespace platform
