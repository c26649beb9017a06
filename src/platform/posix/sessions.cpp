#include "platform/sessions.h"

#include <pwd.h>
#include <sys/stat.h>
#include <systemd/sd-login.h>
#include <unistd.h>
#include <utmpx.h>

#include <charconv>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <set>

#include "platform/posix/system_lookup.h"
#include "platform/sessions_common.h"
#include "platform/sys_error.h"

namespace platform {

namespace {

constexpr std::uint32_t kStateConnected = 1;
constexpr std::uint32_t kStateDisconnected = 4;
constexpr std::uint32_t kStateDown = 8;

// ---- login manager ------------------------------------------------------------------------

struct FreeDeleter {
    void operator()(char* text) const { std::free(text); }
};
using CText = std::unique_ptr<char, FreeDeleter>;

// Text calls one sd_session_get_* text getter; empty when the session has no such value.
std::string Text(int (*getter)(const char*, char**), const char* session) {
    char* raw = nullptr;
    if (getter(session, &raw) < 0 || raw == nullptr) {
        return {};
    }
    CText owned(raw);
    return owned.get();
}

bool LoginManagerRuns() {
    struct stat info {};
    return ::stat("/run/systemd/seats", &info) == 0 && S_ISDIR(info.st_mode);
}

// SessionIdFromName maps the manager's session name to an id: numeric names as they are,
// others to a 31-bit FNV-1a hash with the high bit set so they never meet a numeric one.
std::uint32_t SessionIdFromName(const std::string& name) {
    std::uint32_t id = 0;
    const char* end = name.data() + name.size();
    auto [ptr, ec] = std::from_chars(name.data(), end, id);
    if (!name.empty() && ec == std::errc() && ptr == end && id < 0x80000000u) {
        return id;
    }
    std::uint32_t hash = 2166136261u;
    for (unsigned char c : name) {
        hash = (hash ^ c) * 16777619u;
    }
    return hash | 0x80000000u;
}

std::string UserNameOf(uid_t uid) {
    posix::UserEntry user;
    if (!posix::FindUser(uid, user)) {
        return {};
    }
    return user.entry.pw_name;
}

std::uint32_t StateOf(const std::string& state, const std::string& cls, bool onSeatOrDisplay) {
    if (state == "closing") {
        return kStateDown;
    }
    if (state != "active") {
        return kStateDisconnected;
    }
    if (cls != "user") {
        return kStateConnected;  // a greeter or lock screen holds the seat
    }
    return onSeatOrDisplay ? kSessionStateActive : kStateDisconnected;
}

// LeaderOf reads the session's leader from the login manager's state file ("LEADER="): this
// libsystemd has no call for it. 0 when unknown.
std::uint32_t LeaderOf(const char* name) {
    std::ifstream state(std::string("/run/systemd/sessions/") + name);
    std::string line;
    while (std::getline(state, line)) {
        if (line.rfind("LEADER=", 0) == 0) {
            return static_cast<std::uint32_t>(std::strtoul(line.c_str() + 7, nullptr, 10));
        }
    }
    return 0;
}

SessionRecord RecordOf(const char* name) {
    SessionRecord record;
    record.id = SessionIdFromName(name);
    uid_t uid = 0;
    if (sd_session_get_uid(name, &uid) >= 0) {
        record.user = UserNameOf(uid);
    }
    const std::string seat = Text(&sd_session_get_seat, name);
    const std::string type = Text(&sd_session_get_type, name);
    record.display = Text(&sd_session_get_display, name);
    record.station = seat.empty() ? Text(&sd_session_get_tty, name) : seat;
    record.hasStation = !record.station.empty();
    record.leader = LeaderOf(name);
    const bool graphical = type == "x11" || type == "wayland" || type == "mir";
    record.state = StateOf(Text(&sd_session_get_state, name), Text(&sd_session_get_class, name),
                           !seat.empty() || graphical);
    return record;
}

// SessionNames owns the name list of sd_get_sessions.
struct SessionNames {
    char** names = nullptr;
    int count = 0;
    ~SessionNames() {
        for (int i = 0; names != nullptr && i < count; ++i) {
            std::free(names[i]);
        }
        std::free(names);
    }
};

bool ReadLoginManager(std::vector<SessionRecord>& sessions, std::uint32_t& error) {
    SessionNames list;
    const int count = sd_get_sessions(&list.names);
    if (count < 0) {
        error = ErrorFromErrno(-count);
        return false;
    }
    list.count = count;
    for (int i = 0; i < count; ++i) {
        sessions.push_back(RecordOf(list.names[i]));
    }
    return true;
}

// ---- login records ------------------------------------------------------------------------

std::mutex& LoginRecordsMutex() {
    static std::mutex mutex;  // the utmp reading calls share one static cursor
    return mutex;
}

template <std::size_t N>
std::string FieldText(const char (&field)[N]) {
    return std::string(field, strnlen(field, N));
}

void ReadLoginRecords(std::vector<SessionRecord>& sessions) {
    std::lock_guard<std::mutex> lock(LoginRecordsMutex());
    std::set<std::string> users;
    ::setutxent();
    while (const struct utmpx* entry = ::getutxent()) {
        const std::string host = FieldText(entry->ut_host);
        const bool local = host.empty() || host.front() == ':';
        if (entry->ut_type != USER_PROCESS || !local) {
            continue;
        }
        SessionRecord record;
        record.user = FieldText(entry->ut_user);
        if (record.user.empty() || !users.insert(record.user).second) {
            continue;
        }
        record.id = static_cast<std::uint32_t>(entry->ut_pid);
        record.leader = record.id;
        record.station = FieldText(entry->ut_line);
        record.hasStation = !record.station.empty();
        record.display = local && !host.empty() ? host : std::string();
        record.state = kSessionStateActive;
        sessions.push_back(std::move(record));
    }
    ::endutxent();
}

bool CurrentSessionOfLoginManager(std::uint32_t& id) {
    char* raw = nullptr;
    if (sd_pid_get_session(0, &raw) < 0 || raw == nullptr) {
        return false;
    }
    CText name(raw);
    id = SessionIdFromName(name.get());
    return true;
}

std::string HostName() {
    char name[256] = {};
    if (::gethostname(name, sizeof(name) - 1) != 0) {
        return {};
    }
    return name;
}

}  // namespace

bool EnumerateSessions(std::vector<SessionRecord>& sessions, std::uint32_t& error) {
    sessions.clear();
    error = 0;
    if (const char* path = SessionFilePath(); path != nullptr) {
        return ReadSessionFile(path, sessions, error);
    }
    if (LoginManagerRuns()) {
        return ReadLoginManager(sessions, error);
    }
    ReadLoginRecords(sessions);
    return true;
}

bool FindSession(std::uint32_t sessionId, SessionRecord& record) {
    if (sessionId == kCurrentSession && SessionFilePath() == nullptr) {
        if (!LoginManagerRuns() || !CurrentSessionOfLoginManager(sessionId)) {
            return false;
        }
    }
    return FindListedSession(sessionId, record);
}

bool QuerySessionInfo(std::uint32_t sessionId, int infoClass, std::string& value) {
    SessionRecord record;
    if (!FindSession(sessionId, record)) {
        return false;
    }
    if (infoClass == kSessionInfoDomainName) {
        value = HostName();
        return !value.empty();
    }
    return RecordInfo(record, infoClass, value);
}

}  // namespace platform
