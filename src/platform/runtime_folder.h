// runtime_folder.h: the per-user folders that hold the endpoints (message pipes, message
// windows) through which the daemon and the programs it starts in a user's session meet.
//
// POSIX: "<root>/<uid>", root being $QVYLD_RUNTIME_DIR when set (tests), else
// "/run/vantaro-launcher". The daemon (root) makes the root (mode 0755) and each user's
// folder (owned by the user, mode 0700), so only that user and root can reach what is
// inside. Endpoints are AF_UNIX sockets: "<name>.pipe" for message pipes, "<class>.wnd" for
// message windows.
// Windows: pipe and window names are machine- or session-wide; there is nothing to prepare.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace platform {

// RuntimeOwner names whose runtime folder an endpoint lives in: the calling process's own
// user, or the user logged on to a session.
struct RuntimeOwner {
    enum class Kind { Self, SessionUser };
    Kind kind = Kind::Self;
    std::uint32_t sessionId = 0;

    static RuntimeOwner Self() { return {}; }
    static RuntimeOwner SessionUser(std::uint32_t id) { return {Kind::SessionUser, id}; }
};

// PrepareRuntimeFolder makes the owner's folder ready: created when missing, given to the
// owner with mode 0700 (a folder in its place that the owner does not own is replaced when
// the caller is root), and swept of endpoint files whose program has ended. 0, 1008 when the
// session has no user, or the error of the failed step.
std::uint32_t PrepareRuntimeFolder(const RuntimeOwner& owner);

// ClaimFolderForOwner makes folder a folder of the owner with mode 0700, its missing parents
// made as the caller: where a session's worker downloads and unpacks media for the daemon.
// A folder there that the owner does not own is replaced when the caller is root. 0, 1008
// when the session has no user, or the error of the failed step. Windows: the data folders
// are the users' already; this only makes the folder.
std::uint32_t ClaimFolderForOwner(const std::string& folder, const RuntimeOwner& owner);

// RuntimeFolderPath gives the owner's folder (it may not exist yet). 0 or 1008.
std::uint32_t RuntimeFolderPath(const RuntimeOwner& owner, std::string& path);

// RuntimeEnvironment is the "NAME=value" entries that a program started as a user needs to
// find the same runtime folders as the daemon, and the test-only QVYLD_TEST_CA_FILE and
// QVYLD_SESSION_FILE when the daemon has them (empty when the defaults apply).
std::vector<std::string> RuntimeEnvironment();
// RuntimeEnvironment for a program started for a session adds the session it belongs to
// (kSessionVariable): started by the daemon, it runs outside the login manager's session,
// and needs it to find the windows of its own session.
std::vector<std::string> RuntimeEnvironment(std::uint32_t sessionId);

inline constexpr const char* kSessionVariable = "QVYLD_SESSION_ID";

// OwnSessionId is the session the calling process belongs to: kSessionVariable when it is
// set, else the login manager's session of the process (Windows: the process's session).
// False when nothing tells.
bool OwnSessionId(std::uint32_t& sessionId);

}  // namespace platform
