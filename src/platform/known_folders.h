// known_folders.h: the machine's well-known folders that the daemon's folder table starts
// from.
#pragma once

#include <string>

namespace platform {

// CommonAppDataFolder is the machine-wide application-data folder ("/var/lib" on Linux, or
// the folder that QVYLD_COMMON_DATA_DIR names); empty when the system cannot tell.
std::string CommonAppDataFolder();
// UserDesktopFolder is the desktop folder of the user who runs the process; empty when the
// system cannot tell. POSIX: XDG_DESKTOP_DIR of the user's "user-dirs.dirs" (below
// XDG_CONFIG_HOME, else ~/.config), else ~/Desktop; empty without HOME. Windows: the shell's
// known folder FOLDERID_Desktop.
std::string UserDesktopFolder();
// ExecutablePath is the full path of the running executable; empty on failure.
std::string ExecutablePath();
// ExecutableFolder is the folder that holds the running executable; empty on failure.
std::string ExecutableFolder();

}  // namespace platform
