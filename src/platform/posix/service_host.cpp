#include "platform/service_host.h"

#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <utility>

#include "platform/crash_handler.h"
#include "platform/posix/unique_fd.h"
#include "platform/sys_error.h"

namespace platform {

namespace {

using posix::UniqueFd;

// HostState is the one service of this process, as the service manager sees it.
struct HostState {
    std::mutex mutex;
    bool dispatching = false;
    bool handlerRegistered = false;
    bool stopped = false;
    std::string serviceName;
    ServiceHost::ControlHandler handler;
    ServiceStatus status;
    int wakeFd = -1;  // owned by RunDispatcher while it runs
};

HostState& State() {
    static HostState state;
    return state;
}

void Wake(int fd) {
    const std::uint64_t one = 1;
    if (fd >= 0) {
        [[maybe_unused]] const ssize_t n = ::write(fd, &one, sizeof one);
    }
}

std::uint32_t ControlOfSignal(std::uint32_t sig) {
    return sig == SIGHUP ? kControlInterrogate : kControlStop;
}

std::string StateText(std::uint32_t state) {
    switch (state) {
        case kServiceStopped:
            return "stopped";
        case kServiceStartPending:
            return "starting";
        case kServiceStopPending:
            return "stopping";
        case kServiceRunning:
            return "running";
        default:
            return "state " + std::to_string(state);
    }
}

std::string NotifyMessage(const ServiceStatus& status) {
    std::string message;
    if (status.currentState == kServiceRunning) {
        message += "READY=1\n";
    } else if (status.currentState == kServiceStopPending) {
        message += "STOPPING=1\n";
    }
    message += "STATUS=" + StateText(status.currentState);
    if (status.win32ExitCode != 0) {
        message += " (exit code " + std::to_string(status.win32ExitCode) + ", service code " +
                   std::to_string(status.serviceSpecificExitCode) + ")";
    }
    return message;
}

// DispatchSignals delivers control codes until the service reports stopped.
void DispatchSignals(int signalFd, int wakeFd) {
    HostState& state = State();
    for (;;) {
        pollfd fds[2] = {{signalFd, POLLIN, 0}, {wakeFd, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0 && errno != EINTR) {
            return;
        }
        if ((fds[0].revents & POLLIN) != 0) {
            signalfd_siginfo info{};
            if (::read(signalFd, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
                ServiceHost::ControlHandler handler;
                {
                    std::lock_guard<std::mutex> lock(state.mutex);
                    handler = state.handler;
                }
                if (handler) {
                    handler(ControlOfSignal(info.ssi_signo));
                }
            }
        }
        if ((fds[1].revents & POLLIN) != 0) {
            std::uint64_t count = 0;
            [[maybe_unused]] const ssize_t n = ::read(wakeFd, &count, sizeof count);
        }
        std::lock_guard<std::mutex> lock(state.mutex);
        if (state.stopped) {
            return;
        }
    }
}

}  // namespace

bool ServiceHost::RunDispatcher(const std::string& serviceName, ServiceMain serviceMain) {
    HostState& state = State();
    sigset_t controls;
    sigemptyset(&controls);
    sigaddset(&controls, SIGTERM);
    sigaddset(&controls, SIGINT);
    sigaddset(&controls, SIGHUP);
    sigset_t previousMask;
    if (pthread_sigmask(SIG_BLOCK, &controls, &previousMask) != 0) {
        return false;
    }
    UniqueFd signalFd(::signalfd(-1, &controls, SFD_CLOEXEC));
    UniqueFd wakeFd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    {
        std::lock_guard<std::mutex> lock(state.mutex);
        if (state.dispatching || !signalFd.Valid() || !wakeFd.Valid()) {
            pthread_sigmask(SIG_SETMASK, &previousMask, nullptr);
            return false;
        }
        state.dispatching = true;
        state.handlerRegistered = false;
        state.stopped = false;
        state.serviceName = serviceName;
        state.handler = nullptr;
        state.status = ServiceStatus{};
        state.wakeFd = wakeFd.Get();
    }
    std::thread mainThread([&state, main = std::move(serviceMain)] {
        const ThreadCrashStack crashStack;
        if (main) {
            main();
        }
        std::lock_guard<std::mutex> lock(state.mutex);
        if (!state.handlerRegistered) {
            state.stopped = true;  // nobody could ever report or stop it
            Wake(state.wakeFd);
        }
    });
    DispatchSignals(signalFd.Get(), wakeFd.Get());
    mainThread.join();
    {
        std::lock_guard<std::mutex> lock(state.mutex);
        state.dispatching = false;
        state.handlerRegistered = false;
        state.handler = nullptr;
        state.wakeFd = -1;
    }
    pthread_sigmask(SIG_SETMASK, &previousMask, nullptr);
    return true;
}

bool ServiceHost::RegisterHandler(const std::string& serviceName, ControlHandler handler) {
    HostState& state = State();
    std::lock_guard<std::mutex> lock(state.mutex);
    if (!state.dispatching || serviceName != state.serviceName || !handler) {
        return false;
    }
    state.handler = std::move(handler);
    state.handlerRegistered = true;
    return true;
}

bool ServiceHost::SetStatus(const ServiceStatus& status) {
    HostState& state = State();
    {
        std::lock_guard<std::mutex> lock(state.mutex);
        if (!state.handlerRegistered) {
            return false;
        }
        state.status = status;
        if (status.currentState == kServiceStopped) {
            state.stopped = true;
            Wake(state.wakeFd);
        }
    }
    if (std::getenv("NOTIFY_SOCKET") == nullptr) {
        return true;  // in the foreground: nobody to tell
    }
    return NotifyServiceManager(NotifyMessage(status));
}

ServiceStatus ServiceHost::CurrentStatus() {
    HostState& state = State();
    std::lock_guard<std::mutex> lock(state.mutex);
    return state.status;
}

std::uint32_t ProcessExitCode(const ServiceStatus& status) {
    if (status.win32ExitCode == 0) {
        return 0;
    }
    // An exit status has 8 bits: a code that does not fit still reads as a failure.
    const std::uint32_t code = status.win32ExitCode == SysError::SERVICE_SPECIFIC_ERROR
                                   ? status.serviceSpecificExitCode
                                   : status.win32ExitCode;
    return code > 0 && code < 256 ? code : 1;
}

bool NotifyServiceManager(const std::string& message) {
    const char* socketName = std::getenv("NOTIFY_SOCKET");
    if (socketName == nullptr || socketName[0] == '\0') {
        return false;
    }
    const std::size_t nameLength = std::strlen(socketName);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if ((socketName[0] != '/' && socketName[0] != '@') || nameLength >= sizeof address.sun_path) {
        return false;
    }
    std::memcpy(address.sun_path, socketName, nameLength);
    socklen_t length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + nameLength);
    if (socketName[0] == '@') {
        address.sun_path[0] = '\0';  // abstract namespace
    } else {
        length += 1;
    }
    UniqueFd fd(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!fd.Valid()) {
        return false;
    }
    const ssize_t sent = ::sendto(fd.Get(), message.data(), message.size(), MSG_NOSIGNAL,
                                  reinterpret_cast<const sockaddr*>(&address), length);
    return sent == static_cast<ssize_t>(message.size());
}

}  // namespace platform
