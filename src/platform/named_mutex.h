// named_mutex.h: system-wide named mutexes, used between the service and the update process
// that it starts: the update process owns the mutex while it runs, the service only asks
// whether someone owns it.
//
// Windows: a named kernel mutex (CreateMutexW / OpenMutexW).
// POSIX: an exclusive advisory lock (flock) on the file "<dir>/<name>.lock", where <dir> is
// $QVYLD_LOCK_DIR when set (tests), else $XDG_RUNTIME_DIR for a process that is not root,
// else "/run/lock". The mutex exists while a process holds the lock; the file itself stays
// behind and means nothing on its own. The lock goes with its holder, even when it crashes.
#pragma once

#include <cstdint>
#include <string>

namespace platform {

// NamedMutexExists tells whether a process (this one included) currently owns the mutex.
bool NamedMutexExists(const std::string& name);

// NamedMutexOwner takes the mutex for its lifetime, if nobody owns it yet.
class NamedMutexOwner {
  public:
    explicit NamedMutexOwner(const std::string& name);
    ~NamedMutexOwner();
    NamedMutexOwner(const NamedMutexOwner&) = delete;
    NamedMutexOwner& operator=(const NamedMutexOwner&) = delete;

    // Owned is false when another owner held the mutex or it could not be created.
    bool Owned() const { return owned_; }

  private:
    std::intptr_t handle_ = -1;  // the backend's descriptor or handle value
    bool owned_ = false;
};

}  // namespace platform
