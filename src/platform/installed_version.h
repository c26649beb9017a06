// installed_version.h: the launcher version that the installer recorded on this machine.
#pragma once

#include <string>

namespace platform {

// InstalledLauncherVersion is the version of the installed launcher package, empty when
// none is recorded. On POSIX the installer writes it as the first line of the file
// "version" in the executable's folder; on Windows the installer database is asked for
// the products of the launcher's upgrade code.
std::string InstalledLauncherVersion();

}  // namespace platform
