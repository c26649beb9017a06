// path.h: the path conventions of the platform, and durable file replacement.
#pragma once

#include <filesystem>
#include <string>

namespace platform {

// PathSeparator is the preferred separator: '/' on POSIX, '\\' on Windows.
char PathSeparator();
// IsPathSeparator tells whether c separates path components ('/' and '\\' on Windows).
bool IsPathSeparator(char c);
// SyncToDisk flushes a file (or, on POSIX, a folder's entries) to stable storage.
bool SyncToDisk(const std::string& path);

// FsPath makes a filesystem path of a UTF-8 path text. Every path text of the daemon is
// UTF-8; a path built from a narrow string would read it in the ANSI code page on Windows.
inline std::filesystem::path FsPath(const std::string& text) {
    return std::filesystem::path(std::u8string(text.begin(), text.end()));
}

// PathText is the UTF-8 text of a filesystem path, the inverse of FsPath.
inline std::string PathText(const std::filesystem::path& path) {
    const std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
}

}  // namespace platform
