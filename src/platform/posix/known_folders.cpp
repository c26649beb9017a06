#include "platform/known_folders.h"

#include <limits.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace platform {

namespace {

std::string Env(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

// ConfiguredDesktop reads XDG_DESKTOP_DIR="$HOME/..." (or an absolute path) from the
// user-dirs file; empty when it is not set there.
std::string ConfiguredDesktop(const std::string& home) {
    std::string config = Env("XDG_CONFIG_HOME");
    if (config.empty()) {
        config = home + "/.config";
    }
    std::ifstream in(config + "/user-dirs.dirs");
    std::string line;
    const std::string key = "XDG_DESKTOP_DIR=";
    while (std::getline(in, line)) {
        if (line.rfind(key, 0) != 0) {
            continue;
        }
        std::string value = line.substr(key.size());
        if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
            value = value.substr(1, value.size() - 2);
        }
        if (value.rfind("$HOME", 0) == 0) {
            value = home + value.substr(5);
        }
        while (value.size() > 1 && value.back() == '/') {
            value.pop_back();
        }
        // A desktop that is the home folder itself means "no desktop folder" there.
        namespace fs = std::filesystem;
        if (!value.empty() && value[0] == '/' &&
            fs::path(value).lexically_normal() != fs::path(home).lexically_normal()) {
            return value;
        }
    }
    return {};
}

}  // namespace

std::string CommonAppDataFolder() {
    // Tests and development runs point the daemon at a folder of their own.
    const char* overridden = std::getenv("QVYLD_COMMON_DATA_DIR");
    return overridden != nullptr && *overridden != '\0' ? overridden : "/var/lib";
}

std::string UserDesktopFolder() {
    const std::string home = Env("HOME");
    if (home.empty()) {
        return {};
    }
    const std::string configured = ConfiguredDesktop(home);
    return configured.empty() ? home + "/Desktop" : configured;
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
