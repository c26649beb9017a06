#include "platform/os_info.h"

#include <windows.h>

namespace platform {

// Only x64 counts: the products ship "win_b64" builds for x64 alone, so an ARM64 or
// Itanium system must not be sent to them.
bool Is64BitOs() {
    SYSTEM_INFO info{};
    ::GetNativeSystemInfo(&info);  // the machine's own architecture, also under WOW64
    return info.wProcessorArchitecture == PROCESSOR_ARCHITECTURE_AMD64;
}

std::string OsDirName() {
    return Is64BitOs() ? "win_b64" : "intel_a";
}

std::uint64_t CurrentThreadId() {
    return ::GetCurrentThreadId();
}

}  // namespace platform
