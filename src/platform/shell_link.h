// shell_link.h: Windows shortcut files (".lnk"), what the shell starts when the user opens
// one: a program, its arguments, the folder it starts in, a description and an icon.
//
// Windows: the shell's link object (IShellLinkW, saved and loaded through IPersistFile), in a
// single-threaded COM apartment entered for the call. There is no POSIX backend: Linux
// desktops take desktop entries (src/worker/ops/desktop_shortcut_posix.cpp), so this header is
// only compiled into Windows programs.
#pragma once

#include <cstdint>
#include <string>

namespace platform {

struct ShellLink {
    std::string target;     // the program's full path
    std::string arguments;  // the command line after the program, as the program receives it
    std::string workingFolder;
    std::string description;
    std::string iconPath;
    std::int32_t iconIndex = 0;
};

// SaveShellLink writes the link file at path, replacing one that is there. SUCCESS, or the
// failing call's error (an HRESULT's number for the COM calls).
std::uint32_t SaveShellLink(const std::string& path, const ShellLink& link);

// LoadShellLink reads a link file back. SUCCESS or the failing call's error.
std::uint32_t LoadShellLink(const std::string& path, ShellLink& link);

}  // namespace platform
