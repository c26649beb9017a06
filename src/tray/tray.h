// The tray program: started in a user's session (by the daemon, or at login by the desktop's
// autostart), it announces its session to the daemon, owns the window "QVLauncherTray" and
// shows the daemon's notices: an icon with a small menu where the desktop has a notification
// area, desktop notifications where the session has a notification service, log lines
// otherwise. "--spinner" shows a busy window ("QVLauncherSpinner") until it is closed.
// Both end on the close message, and with their session.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace Tray {

// Notice is what a window message tells the user.
struct Notice {
    std::string summary;
    std::string body;
};

// NoticeFor gives the notice of a tray message; false for a message that shows nothing.
bool NoticeFor(std::uint32_t message, std::uint64_t wparam, std::int64_t lparam, Notice& notice);

// DaemonInfo is what the daemon publishes in the shared-memory block.
struct DaemonInfo {
    std::string version;
    std::string port;
    std::string domain;
};
// ReadDaemonInfo reads the block; false (and a log line) when it is missing or not ours.
bool ReadDaemonInfo(DaemonInfo& info);

// Desktop is the user interface: icon, menu, notifications, the spinner window, and the
// main loop that everything runs on. Without a display only notifications and the loop
// remain; without a notification service notices are logged.
class Desktop {
  public:
    Desktop();
    ~Desktop();
    Desktop(const Desktop&) = delete;
    Desktop& operator=(const Desktop&) = delete;

    // Open connects to the display when there is one; true when there is.
    bool Open();
    void ShowIcon(const DaemonInfo& info, const std::string& logFolder);
    void ShowSpinner();
    // Show puts the notice on the screen: status line of the menu, then a notification;
    // false when no notification service took it.
    bool Show(const Notice& notice);
    // Run runs the main loop until Quit.
    void Run();
    // Quit and Post may be called from any thread.
    void Quit();
    void Post(std::function<void()> task);

    struct Impl;

  private:
    std::unique_ptr<Impl> impl_;
};

// RunTray and RunSpinner are the two modes; their results are the exit code.
int RunTray();
int RunSpinner();

}  // namespace Tray
