// os_info.h: facts about the operating system and the calling thread.
#pragma once

#include <cstdint>
#include <string>

namespace platform {

// Is64BitOs tells whether the operating system is 64-bit (also for a 32-bit process); on
// Windows only an x64 system counts (processor architecture 9).
bool Is64BitOs();
// OsDirName names the operating-system folder inside a product installation: "win_b64" or
// "intel_a" on Windows, "linux_a64" or "linux_a" on Linux.
std::string OsDirName();
// CurrentThreadId is the system's numeric id of the calling thread, stable for its life.
std::uint64_t CurrentThreadId();

}  // namespace platform
