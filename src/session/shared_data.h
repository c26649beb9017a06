// SharedData is the service's table of user sessions, their workers and the page origin each
// user last called from.
#pragma once

class ZorvidRequestInfo;

class SharedData {
  public:
    SharedData() = delete;

    // SaveZorvidUrl remembers the request's page origin for the active session's user.
    static void SaveZorvidUrl(const ZorvidRequestInfo& request);
};
