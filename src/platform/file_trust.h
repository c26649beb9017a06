// file_trust.h: whether the daemon, running with administrator rights, may run or install a
// file. It may only when the file and every folder above it belong to the administrator
// and nobody else can change them: otherwise whoever can write one of them chooses what
// the daemon runs. Callers then run such a file as the user instead, or refuse it.
#pragma once

#include <string>

namespace platform {

// FileTrust tells whether a file may be run with administrator rights, and why not.
struct FileTrust {
    bool trusted = false;
    // resolvedPath is the file's absolute path with every link resolved: the one to run,
    // so that a link changed after the check cannot point elsewhere.
    std::string resolvedPath;
    // reason says, when not trusted, which file or folder fails and how.
    std::string reason;
};

// CheckAdministratorTrust checks path. POSIX: the resolved file is a regular file owned by
// root, writable by neither its group nor others; every folder above it is owned by root
// and writable by neither its group nor others, unless it has the sticky bit (as /tmp),
// where no one but root may rename or remove root's entries. Windows: not checked yet, the
// file is reported trusted when it exists.
FileTrust CheckAdministratorTrust(const std::string& path);

// RunsAsAdministrator tells whether the calling process has administrator rights (root on
// POSIX, always on Windows where the daemon runs as the system account).
bool RunsAsAdministrator();

}  // namespace platform
