#include "platform/posix/endpoint_socket.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "platform/posix/runtime_paths.h"
#include "platform/sys_error.h"

namespace platform::posix {

bool TrustedPeer(uid_t uid) {
    return uid == ::geteuid() || uid == 0;
}

EndpointSocket::~EndpointSocket() {
    if (!path.empty() && SameFile(path, device, inode)) {
        ::unlink(path.c_str());
    }
}

std::uint32_t EndpointSocket::Open(int type) {
    socket.Reset(::socket(AF_UNIX, type | SOCK_CLOEXEC, 0));
    interrupt.Reset(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!socket.Valid() || !interrupt.Valid()) {
        return ErrorFromErrno(errno);
    }
    return SysError::SUCCESS;
}

void EndpointSocket::Keep(const std::string& socketPath, const struct stat& info) {
    path = socketPath;
    device = info.st_dev;
    inode = info.st_ino;
}

std::uint32_t EndpointSocket::Wait(bool& readable) const {
    readable = false;
    pollfd fds[2] = {{socket.Get(), POLLIN, 0}, {interrupt.Get(), POLLIN, 0}};
    while (::poll(fds, 2, -1) < 0) {
        if (errno != EINTR) {
            return ErrorFromErrno(errno);
        }
    }
    if ((fds[1].revents & POLLIN) != 0) {
        return SysError::OPERATION_ABORTED;
    }
    readable = (fds[0].revents & POLLIN) != 0;
    return SysError::SUCCESS;
}

void EndpointSocket::Interrupt() const {
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = ::write(interrupt.Get(), &one, sizeof one);
}

}  // namespace platform::posix
