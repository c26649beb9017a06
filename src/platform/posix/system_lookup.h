// system_lookup.h: the user-database and program look-ups that several POSIX backends make.
#pragma once

#include <pwd.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace platform::posix {

// UserEntry is one user's entry, with the storage its texts point into.
struct UserEntry {
    passwd entry{};
    std::vector<char> buffer = std::vector<char>(16384);
};

// FindUser looks a user up by name; false when there is no such user or the look-up fails.
inline bool FindUser(const std::string& name, UserEntry& user) {
    passwd* found = nullptr;
    return ::getpwnam_r(name.c_str(), &user.entry, user.buffer.data(), user.buffer.size(),
                        &found) == 0 &&
           found != nullptr;
}

// FindUser looks a user up by uid; false when there is no such user or the look-up fails.
inline bool FindUser(uid_t uid, UserEntry& user) {
    passwd* found = nullptr;
    return ::getpwuid_r(uid, &user.entry, user.buffer.data(), user.buffer.size(), &found) == 0 &&
           found != nullptr;
}

// IsExecutableFile tells whether path is a regular file that we may execute.
inline bool IsExecutableFile(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
           ::access(path.c_str(), X_OK) == 0;
}

}  // namespace platform::posix
