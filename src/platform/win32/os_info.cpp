#include "platform/os_info.h"

#include <windows.h>

namespace platform {

bool Is64BitOs() {
    BOOL wow64 = FALSE;
    if (::IsWow64Process(::GetCurrentProcess(), &wow64) && wow64) {
        return true;
    }
    SYSTEM_INFO info{};
    ::GetNativeSystemInfo(&info);
    return info.wProcessorArchitecture == PROCESSOR_ARCHITECTURE_AMD64 ||
           info.wProcessorArchitecture == PROCESSOR_ARCHITECTURE_ARM64 ||
           info.wProcessorArchitecture == PROCESSOR_ARCHITECTURE_IA64;
}

std::string OsDirName() {
    return Is64BitOs() ? "win_b64" : "intel_a";
}

std::uint64_t CurrentThreadId() {
    return ::GetCurrentThreadId();
}

}  // namespace platform
