#include "platform/session_monitor.h"

#include "platform/sys_error.h"

namespace platform {

struct SessionMonitor::Impl {};

SessionMonitor::SessionMonitor() = default;
SessionMonitor::~SessionMonitor() = default;

// Windows ends a session's programs with the session: nothing needs to watch.
std::uint32_t SessionMonitor::Open() {
    return SysError::NOT_SUPPORTED;
}

std::uint32_t SessionMonitor::Wait() {
    return SysError::NOT_SUPPORTED;
}

void SessionMonitor::Interrupt() {}

}  // namespace platform
