#include "platform/file_trust.h"

#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <memory>

namespace platform {

namespace {

constexpr mode_t kWritableByOthers = S_IWGRP | S_IWOTH;

// Owner tells why an entry fails the rule; empty when it passes.
std::string Failure(const std::string& path, const struct stat& info, bool isFolder) {
    if (info.st_uid != 0) {
        return path + " is owned by uid " + std::to_string(info.st_uid) + ", not root";
    }
    const bool sticky = isFolder && (info.st_mode & S_ISVTX) != 0;
    if ((info.st_mode & kWritableByOthers) != 0 && !sticky) {
        return path + " is writable by its group or by others";
    }
    return {};
}

std::string Resolve(const std::string& path) {
    std::unique_ptr<char, decltype(&std::free)> resolved(::realpath(path.c_str(), nullptr),
                                                         &std::free);
    return resolved ? std::string(resolved.get()) : std::string();
}

}  // namespace

FileTrust CheckAdministratorTrust(const std::string& path) {
    FileTrust trust;
    trust.resolvedPath = Resolve(path);
    if (trust.resolvedPath.empty()) {
        trust.reason = path + " cannot be resolved";
        return trust;
    }
    struct stat info {};
    if (::lstat(trust.resolvedPath.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) {
        trust.reason = trust.resolvedPath + " is not a regular file";
        return trust;
    }
    trust.reason = Failure(trust.resolvedPath, info, false);
    std::string folder = trust.resolvedPath;
    while (trust.reason.empty() && folder.size() > 1) {
        const std::size_t slash = folder.find_last_of('/');
        folder = slash == 0 ? std::string("/") : folder.substr(0, slash);
        if (::lstat(folder.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
            trust.reason = folder + " is not a folder";
            break;
        }
        trust.reason = Failure(folder, info, true);
    }
    trust.trusted = trust.reason.empty();
    return trust;
}

bool RunsAsAdministrator() {
    return ::geteuid() == 0;
}

}  // namespace platform
