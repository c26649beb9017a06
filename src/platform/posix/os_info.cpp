#include "platform/os_info.h"

#include <sys/syscall.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cstring>

namespace platform {

bool Is64BitOs() {
    if constexpr (sizeof(void*) == 8) {
        return true;
    }
    utsname name{};
    if (::uname(&name) != 0) {
        return false;
    }
    return std::strstr(name.machine, "64") != nullptr;
}

std::string OsDirName() {
    return Is64BitOs() ? "linux_a64" : "linux_a";
}

std::uint64_t CurrentThreadId() {
    thread_local const std::uint64_t id = static_cast<std::uint64_t>(::syscall(SYS_gettid));
    return id;
}

}  // namespace platform
