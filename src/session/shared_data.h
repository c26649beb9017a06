// SharedData is the daemon's registry of interactive sessions and its channel to the tray
// program of each session. It keeps, under one lock:
//  - the session table: for each session id, the UserExtension (worker) that serves it;
//  - the association table: which page instance ("zorvidId") belongs to which session, the
//    key "re_ZERO_NO_ZORVID_ID" standing for the session whose tray announced itself and is
//    not bound to a page yet (the standby session);
//  - the page-URL table: for each user name, the page URL last used, kept in "data.shared"
//    in the MAIN_DATA folder.
// Start runs two threads: ComLoop serves the tray pipe (one JSON message per connection,
// never answered), UpdateData writes "version||port||domain" into the shared-memory block
// until the block is complete.
//
// Who may send what on the tray pipe: root anything; any other user only messages about a
// session of their own, "sID" and "sessionID" only for their active session ("closingSession"
// also for one that is no longer active), and never "targetItem", which moves the daemon's
// folders. A message that breaks the rule is refused with an ERROR line.
//
// All state is class-wide; the daemon makes no instance. Every function is thread-safe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

class UserExtension;
class ZorvidRequestInfo;
namespace JSON {
class JSONItem;
}
namespace platform {
struct PeerIdentity;
}

class SharedData {
  public:
    SharedData() = delete;

    // kStandbyKey is the association key of the standby session.
    static constexpr const char* kStandbyKey = "re_ZERO_NO_ZORVID_ID";
    // kTrayMessageLimit bounds a tray message; kTrayReadTimeoutMs is how long a connected
    // tray may take to write it.
    static constexpr std::size_t kTrayMessageLimit = 4096;
    static constexpr std::uint32_t kTrayReadTimeoutMs = 2000;
    // kSharedMemorySize is the size of the shared-memory block.
    static constexpr std::size_t kSharedMemorySize = 512;
    // kDataFileName is the page-URL file in the MAIN_DATA folder.
    static constexpr const char* kDataFileName = "data.shared";

    // ServerInfo is what the shared-memory block and the session start need to know of the
    // local HTTPS server.
    struct ServerInfo {
        bool running = false;
        std::int32_t port = -1;  // -1 while it has none
        std::string domain;
    };
    using ServerInfoSource = std::function<ServerInfo()>;
    // SetServerInfoSource installs where the server's state is read (the service installs
    // the HTTP server's; none gives a server that does not run).
    static void SetServerInfoSource(ServerInfoSource source);

    // Start loads the page-URL file and starts both threads, then the tray program of the
    // active session; false when a thread could not start.
    static bool Start();
    // Stop stops every worker, empties the session and association tables and ends both
    // threads.
    static bool Stop();

    // GetExtension is the worker that serves the request's page instance, started when
    // needed; empty when there is no session to serve it in.
    static std::shared_ptr<UserExtension> GetExtension(const ZorvidRequestInfo& request);
    // GetExtensionForSession is the worker of a session, made on first use (not started).
    static std::shared_ptr<UserExtension> GetExtensionForSession(std::uint32_t sessionId);
    // InstallFolderCreation makes the folder table create folders "as the user of a
    // session" through that session's worker (Start does it too).
    static void InstallFolderCreation();
    // FindSession is the session of the request's page instance, else the active session.
    static bool FindSession(const ZorvidRequestInfo& request, std::uint32_t& sessionId);

    // SaveZorvidUrl remembers the request's page URL for the active session's user.
    static void SaveZorvidUrl(const ZorvidRequestInfo& request);
    // LoadData reads the page-URL file once; false when it cannot be read or parsed.
    static bool LoadData();
    // ZorvidUrlOf is the URL remembered for a user ("" when none).
    static std::string ZorvidUrlOf(const std::string& user);

    // The tray operations.
    static void InitSession(std::uint32_t sessionId);
    static void BindSession(const std::string& uuid, std::uint32_t sessionId);
    static void SessionClosing(std::uint32_t sessionId);
    static void SetPath(const JSON::JSONItem& message, const std::string& targetItem);

    // HandleTrayMessage applies the access rule to one tray message and runs its operation.
    static void HandleTrayMessage(const std::string& text, const platform::PeerIdentity& peer);

    // RunSystray starts the tray program: through the request's worker, or without a request
    // as the user of the active session. The tray outlives the daemon.
    static bool RunSystray(const ZorvidRequestInfo* request);

    // SharedMemoryText is the block's content: version, "||", HTTPS port, "||", domain.
    static std::string SharedMemoryText();

    // The two thread bodies.
    static void ComLoop();
    static void UpdateData();

    // MessagesServed counts the tray connections the channel has finished with.
    static std::uint64_t MessagesServed();
    // IsUpdateRunning tells whether the shared-memory thread still runs.
    static bool IsUpdateRunning();
    // ResetForTests stops everything and forgets the tables and the page-URL file.
    static void ResetForTests();
};
