#include "platform/event_log.h"

#include <syslog.h>

#include "platform/sys_error.h"

namespace platform {

bool WriteEvent(EventType type, std::uint16_t category, std::uint32_t /*eventId*/,
                const std::string& text, std::uint32_t& error) {
    int priority = LOG_INFO;
    if (type == EventType::Warning) {
        priority = LOG_WARNING;
    } else if (type == EventType::Error) {
        priority = LOG_ERR;
    }
    // Opening per report mirrors the register/report/deregister of the event source and
    // keeps the ident of other syslog users of the process untouched afterwards.
    ::openlog(kEventSourceName, LOG_PID | LOG_NDELAY, LOG_DAEMON);
    ::syslog(priority, "[%s] %s", EventCategoryText(category), text.c_str());
    ::closelog();
    error = SysError::SUCCESS;
    return true;
}

}  // namespace platform
