// path.h: the path conventions of the platform, and durable file replacement.
#pragma once

#include <string>

namespace platform {

// PathSeparator is the preferred separator: '/' on POSIX, '\\' on Windows.
char PathSeparator();
// IsPathSeparator tells whether c separates path components ('/' and '\\' on Windows).
bool IsPathSeparator(char c);
// SyncToDisk flushes a file (or, on POSIX, a folder's entries) to stable storage.
bool SyncToDisk(const std::string& path);

}  // namespace platform
