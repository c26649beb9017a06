#include "platform/session_monitor.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <systemd/sd-login.h>

#include <cerrno>
#include <cstdlib>
#include <string>

#include "platform/posix/unique_fd.h"
#include "platform/sys_error.h"

namespace platform {

namespace {

constexpr const char* kLoginRecords = "/var/run/utmp";

std::string FolderOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
}

}  // namespace

struct SessionMonitor::Impl {
    posix::UniqueFd watch;  // inotify descriptor, when watching a file
    sd_login_monitor* login = nullptr;
    posix::UniqueFd interrupt;

    ~Impl() {
        if (login != nullptr) {
            sd_login_monitor_unref(login);
        }
    }

    int Fd() const { return login != nullptr ? sd_login_monitor_get_fd(login) : watch.Get(); }

    // Drain takes what woke us, so that the next wait sleeps again.
    void Drain() {
        if (login != nullptr) {
            sd_login_monitor_flush(login);
            return;
        }
        char buffer[4096];
        while (::read(watch.Get(), buffer, sizeof buffer) > 0) {
        }
    }

    std::uint32_t WatchFolderOf(const std::string& file) {
        watch.Reset(::inotify_init1(IN_CLOEXEC | IN_NONBLOCK));
        if (!watch.Valid() ||
            ::inotify_add_watch(watch.Get(), FolderOf(file).c_str(),
                                IN_CLOSE_WRITE | IN_MOVED_TO | IN_DELETE | IN_CREATE) < 0) {
            return ErrorFromErrno(errno);
        }
        return SysError::SUCCESS;
    }
};

SessionMonitor::SessionMonitor() = default;
SessionMonitor::~SessionMonitor() = default;

std::uint32_t SessionMonitor::Open() {
    auto impl = std::make_unique<Impl>();
    impl->interrupt.Reset(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!impl->interrupt.Valid()) {
        return ErrorFromErrno(errno);
    }
    std::uint32_t error = SysError::SUCCESS;
    if (const char* file = std::getenv("QVYLD_SESSION_FILE"); file != nullptr) {
        error = impl->WatchFolderOf(file);
    } else if (sd_login_monitor_new("session", &impl->login) < 0) {
        impl->login = nullptr;
        error = impl->WatchFolderOf(kLoginRecords);
    }
    if (error == SysError::SUCCESS) {
        impl_ = std::move(impl);
    }
    return error;
}

std::uint32_t SessionMonitor::Wait() {
    if (!impl_) {
        return SysError::INVALID_HANDLE;
    }
    pollfd fds[2] = {{impl_->Fd(), POLLIN, 0}, {impl_->interrupt.Get(), POLLIN, 0}};
    while (::poll(fds, 2, -1) < 0) {
        if (errno != EINTR) {
            return ErrorFromErrno(errno);
        }
    }
    if ((fds[1].revents & POLLIN) != 0) {
        return SysError::OPERATION_ABORTED;
    }
    impl_->Drain();
    return SysError::SUCCESS;
}

void SessionMonitor::Interrupt() {
    if (impl_) {
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t n = ::write(impl_->interrupt.Get(), &one, sizeof one);
    }
}

}  // namespace platform
