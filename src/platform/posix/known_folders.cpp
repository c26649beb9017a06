#include "platform/known_folders.h"

#include <limits.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

namespace platform {

std::string CommonAppDataFolder() {
    // Tests and development runs point the daemon at a folder of their own.
    const char* overridden = std::getenv("QVYLD_COMMON_DATA_DIR");
    return overridden != nullptr && *overridden != '\0' ? overridden : "/var/lib";
}

std::string ExecutablePath() {
    char buffer[PATH_MAX + 1] = {};
    const ssize_t n = ::readlink("/proc/self/exe", buffer, PATH_MAX);
    if (n <= 0) {
        return {};
    }
    return std::string(buffer, static_cast<std::size_t>(n));
}

std::string ExecutableFolder() {
    const std::string path = ExecutablePath();
    const auto slash = path.find_last_of('/');
    if (slash == std::string::npos) {
        return {};
    }
    return slash == 0 ? std::string("/") : path.substr(0, slash);
}

}  // namespace platform
