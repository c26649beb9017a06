// endpoint_socket.h: the receiving side that the POSIX message-pipe and message-window
// backends share: a socket bound in the runtime folder, the eventfd that interrupts a wait
// on it, and who may reach it.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <string>

#include "platform/posix/unique_fd.h"

namespace platform::posix {

// TrustedPeer tells whether a peer may reach our endpoints: only our own user and root may.
bool TrustedPeer(uid_t uid);

// EndpointSocket owns a bound socket, its interrupt and, once kept, its socket file.
struct EndpointSocket {
    UniqueFd socket;
    UniqueFd interrupt;  // an eventfd, readable once Interrupt was called
    std::string path;
    dev_t device = 0;
    ino_t inode = 0;

    EndpointSocket() = default;
    EndpointSocket(const EndpointSocket&) = delete;
    EndpointSocket& operator=(const EndpointSocket&) = delete;
    // ~EndpointSocket removes only our own socket file: a successor may already have taken
    // the name.
    ~EndpointSocket();

    // Open makes the socket of the given type and the interrupt. 0 or an error.
    std::uint32_t Open(int type);
    // Keep remembers the socket file at path, as info identifies it, for removal.
    void Keep(const std::string& socketPath, const struct stat& info);
    // Wait waits for the socket or the interrupt: 0 with readable telling whether the
    // socket has input, 995 once interrupted, or an error.
    std::uint32_t Wait(bool& readable) const;
    // Interrupt ends the current and every later Wait.
    void Interrupt() const;
};

}  // namespace platform::posix
