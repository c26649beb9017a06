// message_pipe.h: message pipes between the daemon and a program in a user's session. A
// message written in one call is read as one message, whatever its length; a read with a
// small buffer gets the message in pieces, the last piece ending with 0 and every earlier
// one with 234 (more data), as Windows message-mode pipes do.
//
// Names are Windows pipe names ("\\.\pipe\userExt_3_1700000000").
// Windows: named pipes of that name. A listener's pipe admits only the system account and
// the listener's own user; clients connect at identification level, so that a listener
// may learn who its client is but never act as it.
// POSIX: AF_UNIX SOCK_SEQPACKET sockets, "<name without \\.\pipe\>.pipe" in the runtime
// folder of the listening user (runtime_folder.h). A message travels as packets of at most
// 64 KiB, each starting with one byte that tells whether more packets of the same message
// follow, so messages are not bounded by the socket buffer. Both ends check who is at the
// other end: a client accepts only a listener running as the expected owner, a listener
// accepts only its own user and root.
//
// A shared pipe (PipeListener::CreateShared) is the exception: every local user may connect
// to it, and the listener learns who each client is (PipeConnection::Peer) and decides
// itself. POSIX: "<name without \\.\pipe\>.pipe" in the runtime root, mode 0666. Windows:
// full access for the system account, administrators and interactive users, none for
// anonymous, network-service and network logons.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "platform/runtime_folder.h"

namespace platform {

// kPipeMessageLimit is the largest message a reader accepts on either platform; a longer one
// fails with 8.
inline constexpr std::size_t kPipeMessageLimit = std::size_t{256} << 20;

// PeerIdentity is who is at the other end of an accepted connection, captured when it was
// accepted: the user's name, whether it is the system's own account (POSIX root, Windows
// the local system account), and its process.
struct PeerIdentity {
    std::string user;
    bool privileged = false;
    std::uint32_t processId = 0;
};

// PipeConnection is one connected end of a pipe. Not for concurrent use.
class PipeConnection {
  public:
    struct Impl;

    PipeConnection();
    explicit PipeConnection(std::unique_ptr<Impl> impl);
    ~PipeConnection();
    PipeConnection(PipeConnection&&) noexcept;
    PipeConnection& operator=(PipeConnection&&) noexcept;
    PipeConnection(const PipeConnection&) = delete;
    PipeConnection& operator=(const PipeConnection&) = delete;

    bool IsOpen() const;
    // HandleText is the native handle written as a pointer, for log lines.
    std::string HandleText() const;
    // SetMessageReadMode makes reads return message pieces (a no-op where that is the only
    // mode). 0 or an error.
    std::uint32_t SetMessageReadMode();
    // Write sends message as one message. 0, 109 when the other end has gone, or an error.
    std::uint32_t Write(std::string_view message, std::size_t& written);
    // Read copies the next piece of the current message, at most size bytes: 0 when the
    // piece ends the message, 234 when more of it remains, 109 when the other end closed
    // before a message began, or another error.
    std::uint32_t Read(char* buffer, std::size_t size, std::size_t& read);
    // ReadMessage reads one whole message of at most limit bytes. A longer one fails with 8
    // (NOT_ENOUGH_MEMORY) once the limit is passed, without holding more than that; the rest
    // of it is left unread and the connection is of no further use.
    std::uint32_t ReadMessage(std::string& message, std::size_t limit = kPipeMessageLimit);
    // Abort gives up the exchange: a Read, ReadMessage or Write that blocks in another
    // thread returns 995, and so does every later one. The only call that may run while
    // another thread uses the connection; the connection must stay alive until it returns.
    void Abort();
    // ReadMessage reads one whole message of at most limit bytes, waiting at most timeoutMs
    // for it: SUCCESS; MORE_DATA when the message is longer (message then holds its first
    // limit bytes); SEM_TIMEOUT when nothing came in time; or an error as for Read.
    std::uint32_t ReadMessage(std::string& message, std::size_t limit, std::uint32_t timeoutMs);
    // Peer is who connected, for connections handed out by a listener (empty otherwise).
    const PeerIdentity& Peer() const;
    void Close();

    Impl* Get() const { return impl_.get(); }

  private:
    std::unique_ptr<Impl> impl_;
};

// WaitForPipe waits until the owner's pipe of that name exists, at most timeoutMs.
// 0, 121 when the time passed, or an error.
std::uint32_t WaitForPipe(const std::string& name, const RuntimeOwner& owner,
                          std::uint32_t timeoutMs);

// ConnectPipe opens a connection to the owner's pipe. 0; 2 when no listener has that name;
// 231 when the listener cannot take a connection now; 5 when the caller may not reach the
// pipe or the listener does not run as the owner (nothing has been written then).
std::uint32_t ConnectPipe(const std::string& name, const RuntimeOwner& owner, PipeConnection& out);

// ConnectSharedPipe opens a connection to a shared pipe. As ConnectPipe, except that the
// listener must run as the system's own account or as the caller's user (5 otherwise).
std::uint32_t ConnectSharedPipe(const std::string& name, PipeConnection& out);

// DiscardStalePipe removes what a listener that ended without closing left behind; a pipe
// that still accepts connections is left alone.
void DiscardStalePipe(const std::string& name, const RuntimeOwner& owner);

// PipeListener is the server end: it creates the pipe in the caller's own runtime folder
// and hands out one connection per client.
class PipeListener {
  public:
    struct Impl;

    PipeListener();
    ~PipeListener();
    PipeListener(PipeListener&&) noexcept;
    PipeListener& operator=(PipeListener&&) noexcept;
    PipeListener(const PipeListener&) = delete;
    PipeListener& operator=(const PipeListener&) = delete;

    // Create makes the pipe. 0; 183 when a live listener already has the name; or an error.
    std::uint32_t Create(const std::string& name);
    // CreateShared makes a pipe that every local user may connect to; Accept then refuses
    // nobody, and each connection's Peer tells who it is. Same results as Create.
    std::uint32_t CreateShared(const std::string& name);
    bool IsOpen() const;
    // Accept waits for the next client. 0; 995 once Interrupt was called; 5 for a client
    // that runs as another user (refused, the caller may go on accepting); or an error.
    std::uint32_t Accept(PipeConnection& out);
    // Interrupt makes the current and every later Accept return 995. It may be called from
    // any thread while the listener is open.
    void Interrupt();
    // Close removes the pipe.
    void Close();

    Impl* Get() const { return impl_.get(); }

  private:
    std::uint32_t Open(const std::string& name, bool shared);

    std::unique_ptr<Impl> impl_;
};

}  // namespace platform
