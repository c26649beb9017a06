#include "platform/path.h"

#include <fcntl.h>
#include <unistd.h>

#include "platform/posix/unique_fd.h"

namespace platform {

char PathSeparator() {
    return '/';
}

bool IsPathSeparator(char c) {
    return c == '/';
}

bool SyncToDisk(const std::string& path) {
    const posix::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    return fd.Valid() && ::fsync(fd.Get()) == 0;
}

}  // namespace platform
