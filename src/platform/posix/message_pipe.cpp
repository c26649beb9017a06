#include "platform/message_pipe.h"

#include <poll.h>
#include <sys/stat.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>
#include <vector>

#include "platform/posix/endpoint_socket.h"
#include "platform/posix/runtime_paths.h"
#include "platform/posix/system_lookup.h"
#include "platform/sys_error.h"

namespace platform {

namespace {

using posix::UniqueFd;

// A packet is one flag byte and at most kFragment bytes of the message.
constexpr std::size_t kFragment = 64 * 1024;
constexpr char kLastPacket = 0;
constexpr char kMorePackets = 1;
constexpr int kBacklog = 16;
constexpr long kWaitSliceMs = 2;

std::uint32_t SocketError(int errnum) {
    switch (errnum) {
        case EPIPE:
        case ECONNRESET:
        case ENOTCONN:
            return SysError::BROKEN_PIPE;
        case ENOENT:
        case ECONNREFUSED:
            return SysError::FILE_NOT_FOUND;
        case EAGAIN:
            return SysError::PIPE_BUSY;
        case EACCES:
        case EPERM:
            return SysError::ACCESS_DENIED;
        default:
            return ErrorFromErrno(errnum);
    }
}

bool PeerCredentials(int fd, ucred& credentials) {
    socklen_t size = sizeof credentials;
    return ::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &size) == 0;
}

bool PeerUid(int fd, uid_t& uid) {
    ucred credentials{};
    if (!PeerCredentials(fd, credentials)) {
        return false;
    }
    uid = credentials.uid;
    return true;
}

// IdentityOf names the peer; false when the kernel cannot tell who it is.
bool IdentityOf(int fd, PeerIdentity& peer) {
    ucred credentials{};
    if (!PeerCredentials(fd, credentials)) {
        return false;
    }
    posix::UserEntry user;
    peer.user = posix::FindUser(credentials.uid, user) ? user.entry.pw_name
                                                       : std::to_string(credentials.uid);
    peer.privileged = credentials.uid == 0;
    peer.processId = static_cast<std::uint32_t>(credentials.pid);
    return true;
}

// WaitReadable waits until fd has input, at most until deadline (none: without limit).
std::uint32_t WaitReadable(int fd, const std::chrono::steady_clock::time_point* deadline) {
    for (;;) {
        int timeout = -1;
        if (deadline != nullptr) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                *deadline - std::chrono::steady_clock::now());
            timeout = static_cast<int>(std::max<std::int64_t>(0, left.count()));
        }
        pollfd entry{fd, POLLIN, 0};
        const int n = ::poll(&entry, 1, timeout);
        if (n > 0) {
            return SysError::SUCCESS;
        }
        if (n == 0) {
            return SysError::SEM_TIMEOUT;
        }
        if (errno != EINTR) {
            return ErrorFromErrno(errno);
        }
    }
}

std::string PipePath(uid_t uid, const std::string& name) {
    return posix::EndpointPath(uid, name, posix::kPipeSuffix);
}

}  // namespace

// ---- PipeConnection -----------------------------------------------------------------------

struct PipeConnection::Impl {
    UniqueFd fd;
    PeerIdentity peer;
    std::string message;     // the message being handed out by Read
    std::size_t offset = 0;  // what Read has handed out of it
    bool pending = false;    // message holds a received message not fully read yet
    std::vector<char> packet;
    std::atomic<bool> aborted{false};

    // Failure is the error of a failed call: 995 once the exchange was given up.
    std::uint32_t Failure(std::uint32_t error) const {
        return aborted.load() ? SysError::OPERATION_ABORTED : error;
    }

    // Receive assembles the next message from its packets, each awaited until deadline when
    // one is given. Up to limit bytes; a longer message stops the receipt: MORE_DATA with
    // its first limit bytes when cut is set, else NOT_ENOUGH_MEMORY.
    std::uint32_t Receive(std::string& out, std::size_t limit, bool cut,
                          const std::chrono::steady_clock::time_point* deadline = nullptr) {
        out.clear();
        packet.resize(kFragment + 1);
        for (bool first = true;; first = false) {
            if (deadline != nullptr) {
                const std::uint32_t waited = WaitReadable(fd.Get(), deadline);
                if (waited != SysError::SUCCESS) {
                    return waited;
                }
            }
            iovec part{packet.data(), packet.size()};
            msghdr header{};
            header.msg_iov = &part;
            header.msg_iovlen = 1;
            const ssize_t n = ::recvmsg(fd.Get(), &header, MSG_CMSG_CLOEXEC);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n < 0) {
                return Failure(SocketError(errno));
            }
            if (n == 0) {
                // The other end closed (nothing at all, or a message cut short), or we did.
                return Failure(first ? SysError::BROKEN_PIPE : SysError::PIPE_NOT_CONNECTED);
            }
            if ((header.msg_flags & MSG_TRUNC) != 0 ||
                (packet[0] != kLastPacket && packet[0] != kMorePackets)) {
                return SysError::INVALID_PARAMETER;  // not one of our packets
            }
            const std::size_t size = static_cast<std::size_t>(n - 1);
            if (out.size() + size > limit) {
                if (!cut) {
                    return SysError::NOT_ENOUGH_MEMORY;
                }
                out.append(packet.data() + 1, limit - out.size());
                return SysError::MORE_DATA;
            }
            out.append(packet.data() + 1, static_cast<std::size_t>(n - 1));
            if (packet[0] == kLastPacket) {
                return SysError::SUCCESS;
            }
        }
    }
};

PipeConnection::PipeConnection() = default;
PipeConnection::PipeConnection(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
PipeConnection::~PipeConnection() = default;
PipeConnection::PipeConnection(PipeConnection&&) noexcept = default;
PipeConnection& PipeConnection::operator=(PipeConnection&&) noexcept = default;

bool PipeConnection::IsOpen() const {
    return impl_ != nullptr && impl_->fd.Valid();
}

std::string PipeConnection::HandleText() const {
    char text[32];
    std::snprintf(
        text, sizeof text, "%p",
        reinterpret_cast<void*>(static_cast<std::intptr_t>(IsOpen() ? impl_->fd.Get() : -1)));
    return text;
}

std::uint32_t PipeConnection::SetMessageReadMode() {
    return IsOpen() ? SysError::SUCCESS : SysError::INVALID_HANDLE;
}

std::uint32_t PipeConnection::Write(std::string_view message, std::size_t& written) {
    written = 0;
    if (!IsOpen()) {
        return SysError::INVALID_HANDLE;
    }
    if (impl_->aborted.load()) {
        return SysError::OPERATION_ABORTED;
    }
    do {
        const std::size_t size = std::min(kFragment, message.size() - written);
        char flag = written + size < message.size() ? kMorePackets : kLastPacket;
        iovec parts[2] = {{&flag, 1}, {const_cast<char*>(message.data() + written), size}};
        msghdr header{};
        header.msg_iov = parts;
        header.msg_iovlen = 2;
        ssize_t n = 0;
        do {
            n = ::sendmsg(impl_->fd.Get(), &header, MSG_NOSIGNAL);
        } while (n < 0 && errno == EINTR);
        if (n < 0) {
            return impl_->Failure(SocketError(errno));
        }
        written += size;
    } while (written < message.size());
    return SysError::SUCCESS;
}

std::uint32_t PipeConnection::Read(char* buffer, std::size_t size, std::size_t& read) {
    read = 0;
    if (!IsOpen()) {
        return SysError::INVALID_HANDLE;
    }
    if (!impl_->pending) {
        const std::uint32_t error = impl_->Receive(impl_->message, kPipeMessageLimit, false);
        if (error != SysError::SUCCESS) {
            return error;
        }
        impl_->offset = 0;
        impl_->pending = true;
    }
    read = std::min(size, impl_->message.size() - impl_->offset);
    std::memcpy(buffer, impl_->message.data() + impl_->offset, read);
    impl_->offset += read;
    if (impl_->offset < impl_->message.size()) {
        return SysError::MORE_DATA;
    }
    impl_->pending = false;
    impl_->message.clear();
    return SysError::SUCCESS;
}

void PipeConnection::Abort() {
    if (IsOpen()) {
        impl_->aborted.store(true);
        // Wakes a blocked recvmsg (it reads the end of the stream) or sendmsg (EPIPE).
        ::shutdown(impl_->fd.Get(), SHUT_RDWR);
    }
}

std::uint32_t PipeConnection::ReadMessage(std::string& message, std::size_t limit,
                                          std::uint32_t timeoutMs) {
    message.clear();
    if (!IsOpen()) {
        return SysError::INVALID_HANDLE;
    }
    if (impl_->pending) {
        // The rest of a message that Read has begun to hand out.
        message = impl_->message.substr(impl_->offset, limit);
        const bool longer = impl_->message.size() - impl_->offset > limit;
        impl_->pending = false;
        impl_->message.clear();
        return longer ? SysError::MORE_DATA : SysError::SUCCESS;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    return impl_->Receive(message, limit, true, &deadline);
}

const PeerIdentity& PipeConnection::Peer() const {
    static const PeerIdentity nobody;
    return impl_ ? impl_->peer : nobody;
}

void PipeConnection::Close() {
    impl_.reset();
}

// ---- client side --------------------------------------------------------------------------

std::uint32_t WaitForPipe(const std::string& name, const RuntimeOwner& owner,
                          std::uint32_t timeoutMs) {
    uid_t uid = 0;
    gid_t gid = 0;
    const std::uint32_t error = posix::OwnerIdentity(owner, uid, gid);
    if (error != SysError::SUCCESS) {
        return error;
    }
    const std::string path = PipePath(uid, name);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        struct stat info {};
        if (::stat(path.c_str(), &info) == 0 && S_ISSOCK(info.st_mode)) {
            return SysError::SUCCESS;
        }
        if (errno == EACCES) {
            return SysError::ACCESS_DENIED;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            return SysError::SEM_TIMEOUT;
        }
        const timespec slice{0, kWaitSliceMs * 1000000L};
        ::nanosleep(&slice, nullptr);
    }
}

// ConnectSocket opens a client socket to the endpoint, waiting while the listener is busy
// with other clients.
std::uint32_t ConnectSocket(const std::string& path, UniqueFd& fd) {
    sockaddr_un address{};
    socklen_t length = 0;
    if (!posix::MakeAddress(path, address, length)) {
        return SysError::FILENAME_EXCED_RANGE;
    }
    fd = UniqueFd(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
    if (!fd.Valid()) {
        return ErrorFromErrno(errno);
    }
    int result = 0;
    do {
        result = ::connect(fd.Get(), reinterpret_cast<const sockaddr*>(&address), length);
    } while (result != 0 && errno == EINTR);
    return result != 0 ? SocketError(errno) : SysError::SUCCESS;
}

std::uint32_t ConnectPipe(const std::string& name, const RuntimeOwner& owner, PipeConnection& out) {
    out.Close();
    uid_t uid = 0;
    gid_t gid = 0;
    std::uint32_t error = posix::OwnerIdentity(owner, uid, gid);
    if (error != SysError::SUCCESS) {
        return error;
    }
    UniqueFd fd;
    if (error = ConnectSocket(PipePath(uid, name), fd); error != SysError::SUCCESS) {
        return error;
    }
    uid_t peer = 0;
    if (!PeerUid(fd.Get(), peer) || peer != uid) {
        return SysError::ACCESS_DENIED;
    }
    auto impl = std::make_unique<PipeConnection::Impl>();
    impl->fd = std::move(fd);
    out = PipeConnection(std::move(impl));
    return SysError::SUCCESS;
}

std::uint32_t ConnectSharedPipe(const std::string& name, PipeConnection& out) {
    out.Close();
    UniqueFd fd;
    if (const std::uint32_t error =
            ConnectSocket(posix::SharedEndpointPath(name, posix::kPipeSuffix), fd);
        error != SysError::SUCCESS) {
        return error;
    }
    // Anyone can bind a name in a folder they may write; only the system's own account or
    // our own user is believed.
    uid_t peer = 0;
    if (!PeerUid(fd.Get(), peer) || !posix::TrustedPeer(peer)) {
        return SysError::ACCESS_DENIED;
    }
    auto impl = std::make_unique<PipeConnection::Impl>();
    impl->fd = std::move(fd);
    out = PipeConnection(std::move(impl));
    return SysError::SUCCESS;
}

void DiscardStalePipe(const std::string& name, const RuntimeOwner& owner) {
    uid_t uid = 0;
    gid_t gid = 0;
    if (posix::OwnerIdentity(owner, uid, gid) == SysError::SUCCESS) {
        posix::DiscardIfStale(PipePath(uid, name), SOCK_SEQPACKET);
    }
}

// ---- PipeListener -------------------------------------------------------------------------

struct PipeListener::Impl : posix::EndpointSocket {
    bool shared = false;

    // Listen binds path under a staging name, then renames it: the pipe appears under its
    // name only once it listens, so a client that finds the name can connect at once. The
    // staging name ends like a pipe, so a sweep removes it if we die before the rename.
    std::uint32_t Listen(const std::string& path, mode_t mode) {
        if (posix::ProbeSocket(path, SOCK_SEQPACKET) == posix::Probe::Live) {
            return SysError::ALREADY_EXISTS;
        }
        const std::size_t slash = path.rfind('/');
        const std::string staging = path.substr(0, slash + 1) + ".staging-" +
                                    std::to_string(::getpid()) + "-" + path.substr(slash + 1);
        ::unlink(staging.c_str());
        std::uint32_t error = posix::BindEndpoint(socket.Get(), staging, SOCK_SEQPACKET);
        if (error != SysError::SUCCESS) {
            return error;
        }
        struct stat info {};
        if (::chmod(staging.c_str(), mode) != 0 || ::listen(socket.Get(), kBacklog) != 0 ||
            ::lstat(staging.c_str(), &info) != 0 || ::rename(staging.c_str(), path.c_str()) != 0) {
            error = ErrorFromErrno(errno);
            ::unlink(staging.c_str());
            return error;
        }
        Keep(path, info);
        return SysError::SUCCESS;
    }
};

PipeListener::PipeListener() = default;
PipeListener::~PipeListener() = default;
PipeListener::PipeListener(PipeListener&&) noexcept = default;
PipeListener& PipeListener::operator=(PipeListener&&) noexcept = default;

std::uint32_t PipeListener::Open(const std::string& name, bool shared) {
    Close();
    auto impl = std::make_unique<Impl>();
    impl->shared = shared;
    std::uint32_t error = shared ? posix::MakeRootFolder() : SysError::SUCCESS;
    if (error == SysError::SUCCESS) {
        error = impl->Open(SOCK_SEQPACKET);
    }
    if (error == SysError::SUCCESS) {
        error = shared ? impl->Listen(posix::SharedEndpointPath(name, posix::kPipeSuffix), 0666)
                       : impl->Listen(PipePath(::geteuid(), name), 0600);
    }
    if (error == SysError::SUCCESS) {
        impl_ = std::move(impl);
    }
    return error;
}

std::uint32_t PipeListener::Accept(PipeConnection& out) {
    out.Close();
    if (!impl_) {
        return SysError::INVALID_HANDLE;
    }
    for (bool readable = false; !readable;) {
        const std::uint32_t error = impl_->Wait(readable);
        if (error != SysError::SUCCESS) {
            return error;
        }
    }
    UniqueFd client(::accept4(impl_->socket.Get(), nullptr, nullptr, SOCK_CLOEXEC));
    if (!client.Valid()) {
        return errno == EINTR || errno == ECONNABORTED ? SysError::PIPE_NOT_CONNECTED
                                                       : ErrorFromErrno(errno);
    }
    auto impl = std::make_unique<PipeConnection::Impl>();
    uid_t peer = 0;
    if (!PeerUid(client.Get(), peer) || !IdentityOf(client.Get(), impl->peer) ||
        (!impl_->shared && !posix::TrustedPeer(peer))) {
        return SysError::ACCESS_DENIED;
    }
    impl->fd = std::move(client);
    out = PipeConnection(std::move(impl));
    return SysError::SUCCESS;
}

void PipeListener::Interrupt() {
    if (impl_) {
        impl_->Interrupt();
    }
}

void PipeListener::Close() {
    impl_.reset();
}

}  // namespace platform
