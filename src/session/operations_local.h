// Operations::Local are the actions the calling process performs itself: running a command
// (in its own context, as the user of a session, or elevated), creating a folder with its
// missing parents, and posting a message to a window found by its class name. The daemon
// uses them with system rights; the worker uses the same code in the user's context.
//
// Which processes outlive the daemon. ExecuteCmd decides by its time limit: a command
// started with timeout 0 (nobody waits for it) is handed over to the user's session, with
// the platform's break-away flag; a command that is waited for, with or without a limit,
// belongs to the operation that runs it and stays under the daemon's control.
// ExecuteHandedOver does both: the command is handed over and still waited for, with its
// exit code; the worker's "Execute" asks for it with "handOver": true beside its time limit
// (a request without the member keeps the time-limit rule).
//
//   process                               started by                       outlives the daemon
//   ------------------------------------  -------------------------------  -------------------
//   the start tool and the application    worker "Execute", handOver,      yes
//                                         waited for (a program of mode
//                                         None: timeout 0)
//   the tray program                      worker "Execute" / ExecuteCmd    yes
//                                         as the user, timeout 0
//   the worker                            UserExtension, in its group      no
//   the spinner                           tray notifications, in a group   no
//   setup programs, uninstall scripts,    worker "Execute" / ExecuteCmd,   no
//   the environment tools                 waited for
//   the installer pair (no elevation)     started in a group, waited for   no
//
// Handed over means, on Linux: a transient service of the user's own service manager when
// the caller runs as the user and the manager answers on the user's bus (the worker); else a
// process in a session of its own that no group of the daemon or the worker can reach. What
// stays under control ends with its group (the worker's group ends its whole session and
// descendants) and, for group members, with the daemon itself (parent-death signal). A
// command that is handed over and waited for is followed through its unit (the manager
// keeps it, and its main process's exit status, while the caller holds a reference) or,
// without a manager, through a waiter in the command's new session that reports the exit
// status over a pipe; neither is a descendant of the caller.
//
// Commands are lists of items joined with single blanks, no quotes added: an item that
// needs quotes carries them. The text is split by the Windows command-line rules, so it
// means the same program and arguments everywhere; nothing goes through a shell.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace Operations::Local {

// kNoTimeLimit makes ExecuteCmd wait for the command without limit; 0 does not wait.
inline constexpr std::int32_t kNoTimeLimit = -1;

// ExecuteCmd runs the command without elevation: in the caller's own context or, with
// asUser, as the user of the session (sessionId 0 or less: the active session). It waits up
// to timeoutMs (kNoTimeLimit: without limit; 0: not at all, exitCode is then 0, and the
// command is handed over to the user's session, as the table above says). True when
// the command ran and, if waited for, ended in time; its exit code is in exitCode. A command
// that outlives the limit is left running.
bool ExecuteCmd(const std::vector<std::string>& elements, std::uint32_t& exitCode, bool asUser,
                std::int32_t timeoutMs, std::int64_t sessionId = 0);

// ExecuteCmd runs the command in the caller's own context, with the "NAME=value" entries of
// environment added to the environment of that command alone (the caller's own stays
// unchanged: other threads may start programs meanwhile). Waiting as above.
bool ExecuteCmd(const std::vector<std::string>& elements, std::uint32_t& exitCode,
                const std::vector<std::string>& environment, std::int32_t timeoutMs);

// ExecuteCmd runs the command elevated ("runas"), with the same waiting rules.
bool ExecuteCmd(const std::vector<std::string>& elements, std::uint32_t& exitCode,
                std::int32_t timeoutMs);

// ExecuteHandedOver runs the command in the caller's own context, handed over to the user's
// session as a command with timeout 0 is, and waits up to timeoutMs (kNoTimeLimit: without
// limit; 0: not at all) for its exit code. True when it ran and ended in time. A command
// that outlives the limit is left running, still handed over.
bool ExecuteHandedOver(const std::vector<std::string>& elements, std::uint32_t& exitCode,
                       std::int32_t timeoutMs);

// MakeFolder creates the folder and its missing parents; true when it exists afterwards.
bool MakeFolder(const std::string& path);

// PostMessageToWindow posts the message to a window of the class in the caller's session;
// false when there is none or the post fails.
bool PostMessageToWindow(const std::string& windowClass, std::uint32_t message,
                         std::uint64_t wparam, std::int64_t lparam);

}  // namespace Operations::Local
