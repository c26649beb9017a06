// WorkerTable keeps one UserExtension per session: the worker of the active session is made
// on first use and kept, and a worker found dead is replaced by its next operation. It
// stands in for the session table until pages are mapped to sessions.
#pragma once

#include <cstdint>
#include <memory>

class UserExtension;
class ZorvidRequestInfo;

class WorkerTable {
  public:
    WorkerTable() = delete;

    // GetExtension is the worker for the request's session (the active session); none when
    // there is no single active session.
    static std::shared_ptr<UserExtension> GetExtension(const ZorvidRequestInfo& request);
    // GetExtensionForSession is the worker of a given session, made on first use.
    static std::shared_ptr<UserExtension> GetExtensionForSession(std::uint32_t sessionId);

    // InstallFolderCreation makes the folder table create folders "as the user of a
    // session" through that session's worker.
    static void InstallFolderCreation();

    // StopAll stops every worker and forgets them: the daemon's stop, and test tear-down.
    static void StopAll();
};
