// named_mutex.h: system-wide named mutexes, used between the service and the update process
// that it starts: the update process owns the mutex while it runs, the service only asks
// whether someone owns it.
//
// Windows: a named kernel mutex (CreateMutexW / OpenMutexW).
// POSIX: an exclusive advisory lock (flock) on the file "<dir>/<name>.lock", where <dir> is
// $QVYLD_LOCK_DIR when set (tests), else $XDG_RUNTIME_DIR for a process that is not root,
// else the service's runtime folder ("/run/vantaro-launcher", made when missing). The mutex
// exists while a process holds the lock; the file itself stays behind and means nothing on
// its own. The lock goes with its holder, even when it crashes. Other local users must not be
// able to hold the lock, so the folder must be one that only root (or the process's own user)
// can write, and a lock file that is a symbolic link, or is owned by anyone else, is refused:
// it is neither taken nor counted as held.
#pragma once

#include <cstdint>
#include <string>

namespace platform {

// NamedMutexExists tells whether a process (this one included) currently owns the mutex. When
// the lock file or its folder is refused, refusal (if given) says why, else it is emptied.
bool NamedMutexExists(const std::string& name, std::string* refusal = nullptr);

// NamedMutexOwner takes the mutex for its lifetime, if nobody owns it yet.
class NamedMutexOwner {
  public:
    explicit NamedMutexOwner(const std::string& name);
    ~NamedMutexOwner();
    NamedMutexOwner(const NamedMutexOwner&) = delete;
    NamedMutexOwner& operator=(const NamedMutexOwner&) = delete;

    // Owned is false when another owner held the mutex or it could not be created.
    bool Owned() const { return owned_; }
    // Refusal says why the lock file or its folder was refused; empty otherwise.
    const std::string& Refusal() const { return refusal_; }

  private:
    std::string refusal_;
    std::intptr_t handle_ = -1;  // the backend's descriptor or handle value
    bool owned_ = false;
};

}  // namespace platform
