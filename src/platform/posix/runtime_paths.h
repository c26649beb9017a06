// runtime_paths.h: what the POSIX runtime-folder, message-pipe and message-window backends
// share: descriptors, owners' identities, endpoint paths and socket probes.
#pragma once

#include <sys/socket.h>
#include <sys/types.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdint>
#include <string>

#include "platform/posix/unique_fd.h"
#include "platform/runtime_folder.h"

namespace platform::posix {

// OwnerIdentity gives the uid and gid of the owner: the caller's effective ones, or those
// of the session's user. 0 or 1008 (no such session or no user).
std::uint32_t OwnerIdentity(const RuntimeOwner& owner, uid_t& uid, gid_t& gid);

// RootFolder is $QVYLD_RUNTIME_DIR, else "/run/vantaro-launcher".
std::string RootFolder();
// UserFolder is the runtime folder of a uid.
std::string UserFolder(uid_t uid);

// Endpoint suffixes.
inline constexpr const char* kPipeSuffix = ".pipe";
inline constexpr const char* kWindowSuffix = ".wnd";

// EndpointPath is the socket path of a pipe or window name in a uid's folder: a pipe name
// loses its "\\.\pipe\" prefix, and separators become '_'.
std::string EndpointPath(uid_t uid, const std::string& name, const char* suffix);

// SharedEndpointPath is the socket path of a shared pipe: in the runtime root itself.
std::string SharedEndpointPath(const std::string& name, const char* suffix);
// MakeRootFolder makes the runtime root (mode 0755) when it is missing. 0 or an error.
std::uint32_t MakeRootFolder();

// MakeAddress fills an AF_UNIX address; false when the path does not fit.
bool MakeAddress(const std::string& path, sockaddr_un& address, socklen_t& length);

// Probe tells what a connect to a socket path finds.
enum class Probe { Live, Stale, Missing, Unknown };
Probe ProbeSocket(const std::string& path, int type);

// DiscardIfStale unlinks the socket path when a connect to it is refused.
void DiscardIfStale(const std::string& path, int type);

// SocketTypeOf is SOCK_SEQPACKET for ".pipe" paths, SOCK_DGRAM for ".wnd" paths, else 0.
int SocketTypeOf(const std::string& path);

// BindEndpoint binds fd to path, replacing a stale socket file left there; the socket file
// gets mode 0600. 0, 183 when a live endpoint holds the path, or an error.
std::uint32_t BindEndpoint(int fd, const std::string& path, int type);

// SameFile tells whether path is still the file identified by device and inode.
bool SameFile(const std::string& path, dev_t device, ino_t inode);

}  // namespace platform::posix
