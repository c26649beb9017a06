// SharedData is the service's table of user sessions, their workers and the page origin each
// user last called from.
#pragma once

class ZorvidRequestInfo;

class SharedData {
  public:
    SharedData() = delete;

    // Start and Stop run the tray channel with the service; until the channel exists Start
    // starts nothing and Stop only ends the session workers. Both succeed.
    static bool Start();
    static bool Stop();

    // SaveZorvidUrl remembers the request's page origin for the active session's user.
    static void SaveZorvidUrl(const ZorvidRequestInfo& request);
};
