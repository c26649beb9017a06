// Sessions are the logged-on user sessions of the workstation, as the platform knows them.
// The daemon supports exactly one active interactive session; these ports only report what
// exists, the session queries of the session bridge decide what is supported.
//
// Sources, consulted afresh at every call (nothing is cached, so a user switch between two
// calls is seen):
//  1. A session file named by the environment variable "QVYLD_SESSION_FILE" (test harnesses,
//     machines without a session manager): a JSON array of objects {"id": number,
//     "user": text, "state": number (0 = active), "station": text, "display": text,
//     "leader": number (the session leader's process)}; "station", "display" and "leader"
//     may be absent. When the variable is set, the file is the only source: a missing or
//     malformed file is a failure, never a silent fallback.
//  2. Windows: the terminal-services session list.
//  3. POSIX with a login manager (the seat directory "/run/systemd/seats" exists): its
//     sessions. The session id is the manager's numeric id, or a stable 31-bit hash with the
//     high bit set for non-numeric ids. State 0 is the foreground session of a user on a
//     seat or a graphical display; a greeter or lock screen in the foreground is 1
//     (connected, nobody logged on); a user session that is not in the foreground (switched
//     away, or remote without a seat) is 4 (disconnected); a closing session is 8 (down).
//     The station is the seat, else the terminal; the display is the X11 display.
//  4. POSIX without a login manager: the login records (utmp) of user processes on a local
//     terminal or display (entries with a remote host are ignored). One session per distinct
//     user, the first entry found wins: id = that entry's process id, station = its line,
//     state 0. With no login manager nothing tells which of several users is in front, so
//     two logged-on users are two active sessions (an unsupported context, as it should be).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace platform {

// Session information classes that QuerySessionInfo answers on every platform. Other classes
// (0 to 16) are answered where the platform knows them and fail elsewhere.
inline constexpr int kSessionInfoSessionId = 4;
inline constexpr int kSessionInfoUserName = 5;
inline constexpr int kSessionInfoStationName = 6;
inline constexpr int kSessionInfoDomainName = 7;
inline constexpr int kSessionInfoConnectState = 8;

// kSessionStateActive is the connection state of the session in front of its user.
inline constexpr std::uint32_t kSessionStateActive = 0;

// SessionRecord is one enumerated session.
struct SessionRecord {
    std::uint32_t id = 0;
    std::string user;  // UTF-8, empty when nobody is logged on
    std::uint32_t state = 0;
    std::string station;
    bool hasStation = false;
    std::string display;  // the graphical display where known (X11 ":0"), else empty
    // leader is the process that leads the session (POSIX: the login manager's leader, or
    // the login-record process; the session file's optional "leader"), 0 when unknown. Its
    // environment tells the session's display when nothing better does.
    std::uint32_t leader = 0;
};

// EnumerateSessions replaces sessions with the current list. On failure it returns false with
// a system error number in error (2 missing session file, 13 malformed session file, or the
// platform's own code) and leaves sessions empty.
bool EnumerateSessions(std::vector<SessionRecord>& sessions, std::uint32_t& error);

// FindSession looks one session up by id; false when it does not exist or the enumeration
// fails. The id 0xFFFFFFFF names the caller's own session (POSIX: its login-manager session,
// which a system service does not have).
bool FindSession(std::uint32_t sessionId, SessionRecord& record);

// QuerySessionInfo answers one information class of a session as UTF-8 text (numbers in
// decimal). False when the session does not exist or the class is unknown here.
bool QuerySessionInfo(std::uint32_t sessionId, int infoClass, std::string& value);

}  // namespace platform
