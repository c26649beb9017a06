#include "platform/event_log.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/posix/unique_fd.h"
#include "platform/sys_error.h"

namespace platform {

namespace {

// SendToSocket delivers one record in the syslog wire format to the datagram socket that
// QVYLD_SYSLOG_SOCKET names: tests read the daemon's events there instead of the machine's log.
bool SendToSocket(const char* socketPath, int priority, const std::string& message) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (std::strlen(socketPath) >= sizeof address.sun_path) {
        return false;
    }
    std::strcpy(address.sun_path, socketPath);
    posix::UniqueFd fd(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    const std::string record = "<" + std::to_string(LOG_DAEMON | priority) + ">" +
                               kEventSourceName + "[" + std::to_string(::getpid()) +
                               "]: " + message;
    return fd.Valid() && ::sendto(fd.Get(), record.data(), record.size(), MSG_NOSIGNAL,
                                  reinterpret_cast<const sockaddr*>(&address),
                                  sizeof address) == static_cast<ssize_t>(record.size());
}

}  // namespace

bool WriteEvent(EventType type, std::uint16_t category, std::uint32_t /*eventId*/,
                const std::string& text, std::uint32_t& error) {
    int priority = LOG_INFO;
    if (type == EventType::Warning) {
        priority = LOG_WARNING;
    } else if (type == EventType::Error) {
        priority = LOG_ERR;
    }
    const char* testSocket = std::getenv("QVYLD_SYSLOG_SOCKET");
    if (testSocket != nullptr && *testSocket != '\0') {
        const bool sent = SendToSocket(
            testSocket, priority, std::string("[") + EventCategoryText(category) + "] " + text);
        error = sent ? SysError::SUCCESS : ErrorFromErrno(errno);
        return sent;
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
