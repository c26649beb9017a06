#include "platform/window_messages.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "platform/posix/endpoint_socket.h"
#include "platform/posix/runtime_paths.h"
#include "platform/sys_error.h"

namespace platform {

namespace {

using posix::UniqueFd;

// A posted message travels as one datagram: the number, then wparam, then lparam, in the
// machine's byte order (both ends are on the same machine).
constexpr std::size_t kDatagramSize =
    sizeof(std::uint32_t) + sizeof(std::uint64_t) + sizeof(std::int64_t);

// WindowPath is the window's socket in the uid's folder. Windows belong to a session: the
// session's id is part of the name, so one user in two sessions has two windows of a
// class. Without a known session the bare class name is used.
std::string WindowPath(uid_t uid, const std::string& className, const RuntimeOwner& owner) {
    std::uint32_t session = owner.sessionId;
    const bool known = owner.kind == RuntimeOwner::Kind::SessionUser || OwnSessionId(session);
    const std::string name = known ? className + "@" + std::to_string(session) : className;
    return posix::EndpointPath(uid, name, posix::kWindowSuffix);
}

void Encode(const WindowMessage& message, char (&datagram)[kDatagramSize]) {
    std::memcpy(datagram, &message.message, sizeof message.message);
    std::memcpy(datagram + 4, &message.wparam, sizeof message.wparam);
    std::memcpy(datagram + 12, &message.lparam, sizeof message.lparam);
}

void Decode(const char (&datagram)[kDatagramSize], WindowMessage& message) {
    std::memcpy(&message.message, datagram, sizeof message.message);
    std::memcpy(&message.wparam, datagram + 4, sizeof message.wparam);
    std::memcpy(&message.lparam, datagram + 12, sizeof message.lparam);
}

// SenderAllowed reads the credentials the kernel attached: only our own user and root may
// post to our windows.
bool SenderAllowed(msghdr& header) {
    for (cmsghdr* control = CMSG_FIRSTHDR(&header); control != nullptr;
         control = CMSG_NXTHDR(&header, control)) {
        if (control->cmsg_level == SOL_SOCKET && control->cmsg_type == SCM_CREDENTIALS) {
            ucred credentials{};
            std::memcpy(&credentials, CMSG_DATA(control), sizeof credentials);
            return posix::TrustedPeer(credentials.uid);
        }
    }
    return false;
}

}  // namespace

struct MessageWindow::Impl : posix::EndpointSocket {
    // ReceiveOne reads one datagram; false (and no error) for one that is dropped.
    bool ReceiveOne(WindowMessage& message, std::uint32_t& error) {
        char datagram[kDatagramSize] = {};
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(ucred))] = {};
        iovec part{datagram, sizeof datagram};
        msghdr header{};
        header.msg_iov = &part;
        header.msg_iovlen = 1;
        header.msg_control = control;
        header.msg_controllen = sizeof control;
        const ssize_t n = ::recvmsg(socket.Get(), &header, MSG_DONTWAIT | MSG_CMSG_CLOEXEC);
        error = SysError::SUCCESS;
        if (n < 0) {
            if (errno != EAGAIN && errno != EINTR) {
                error = ErrorFromErrno(errno);
            }
            return false;
        }
        if (static_cast<std::size_t>(n) != kDatagramSize || (header.msg_flags & MSG_TRUNC) != 0 ||
            !SenderAllowed(header)) {
            return false;
        }
        Decode(datagram, message);
        return true;
    }
};

MessageWindow::MessageWindow() = default;
MessageWindow::~MessageWindow() = default;
MessageWindow::MessageWindow(MessageWindow&&) noexcept = default;
MessageWindow& MessageWindow::operator=(MessageWindow&&) noexcept = default;

std::uint32_t MessageWindow::Create(const std::string& className) {
    Close();
    auto impl = std::make_unique<Impl>();
    std::uint32_t error = impl->Open(SOCK_DGRAM);
    if (error != SysError::SUCCESS) {
        return error;
    }
    const int on = 1;
    if (::setsockopt(impl->socket.Get(), SOL_SOCKET, SO_PASSCRED, &on, sizeof on) != 0) {
        return ErrorFromErrno(errno);
    }
    const std::string path = WindowPath(::geteuid(), className, RuntimeOwner::Self());
    error = posix::BindEndpoint(impl->socket.Get(), path, SOCK_DGRAM);
    if (error != SysError::SUCCESS) {
        return error;
    }
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0) {
        const std::uint32_t statError = ErrorFromErrno(errno);
        ::unlink(path.c_str());
        return statError;
    }
    impl->Keep(path, info);
    impl_ = std::move(impl);
    return SysError::SUCCESS;
}

bool MessageWindow::IsOpen() const {
    return impl_ != nullptr;
}

std::uint32_t MessageWindow::Receive(WindowMessage& message) {
    if (!impl_) {
        return SysError::INVALID_HANDLE;
    }
    for (;;) {
        // The datagram is read without waiting, whatever the socket's poll events say.
        bool readable = false;
        std::uint32_t error = impl_->Wait(readable);
        if (error != SysError::SUCCESS) {
            return error;
        }
        if (impl_->ReceiveOne(message, error)) {
            return SysError::SUCCESS;
        }
        if (error != SysError::SUCCESS) {
            return error;
        }
    }
}

void MessageWindow::Interrupt() {
    if (impl_) {
        impl_->Interrupt();
    }
}

void MessageWindow::Close() {
    impl_.reset();
}

std::uint32_t FindMessageWindow(const std::string& className, const RuntimeOwner& owner,
                                WindowRef& window) {
    uid_t uid = 0;
    gid_t gid = 0;
    if (posix::OwnerIdentity(owner, uid, gid) != SysError::SUCCESS) {
        return SysError::NOT_FOUND;
    }
    const std::string path = WindowPath(uid, className, owner);
    if (posix::ProbeSocket(path, SOCK_DGRAM) != posix::Probe::Live) {
        return SysError::NOT_FOUND;
    }
    window.address = path;
    window.handle = 0;
    return SysError::SUCCESS;
}

std::uint32_t PostWindowMessage(const WindowRef& window, const WindowMessage& message) {
    sockaddr_un address{};
    socklen_t length = 0;
    if (!posix::MakeAddress(window.address, address, length)) {
        return SysError::INVALID_PARAMETER;
    }
    UniqueFd fd(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!fd.Valid()) {
        return ErrorFromErrno(errno);
    }
    char datagram[kDatagramSize];
    Encode(message, datagram);
    // Never wait: a window whose queue is full refuses the post, as a full message queue does.
    if (::sendto(fd.Get(), datagram, sizeof datagram, MSG_DONTWAIT | MSG_NOSIGNAL,
                 reinterpret_cast<const sockaddr*>(&address), length) < 0) {
        switch (errno) {
            case ENOENT:
            case ECONNREFUSED:
                return SysError::NOT_FOUND;
            case EACCES:
            case EPERM:
                return SysError::ACCESS_DENIED;
            default:
                return ErrorFromErrno(errno);
        }
    }
    return SysError::SUCCESS;
}

void DiscardStaleWindow(const std::string& className, const RuntimeOwner& owner) {
    uid_t uid = 0;
    gid_t gid = 0;
    if (posix::OwnerIdentity(owner, uid, gid) == SysError::SUCCESS) {
        posix::DiscardIfStale(WindowPath(uid, className, owner), SOCK_DGRAM);
    }
}

}  // namespace platform
