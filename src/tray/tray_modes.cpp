#include <future>
#include <thread>

#include "base/logger.h"
#include "platform/message_pipe.h"
#include "platform/runtime_folder.h"
#include "platform/session_monitor.h"
#include "platform/sessions.h"
#include "platform/shared_memory.h"
#include "platform/sys_error.h"
#include "platform/window_messages.h"
#include "session/companions.h"
#include "session/shared_data.h"
#include "tray/tray.h"

namespace Tray {

namespace {

constexpr const char* kTag = "[Tray]";
constexpr std::uint32_t kSessionDown = 8;

// WindowThread owns a window on a thread of its own and hands every message to the main
// loop. Windows deliver to the thread that made them, so Create runs there too.
class WindowThread {
  public:
    // Start makes the window; SUCCESS, ALREADY_EXISTS when the session has one, or an error.
    std::uint32_t Start(const std::string& className, Desktop& desktop,
                        std::function<void(const platform::WindowMessage&)> handler) {
        std::promise<std::uint32_t> created;
        std::future<std::uint32_t> result = created.get_future();
        thread_ = std::thread([this, className, &desktop, handler, &created] {
            const std::uint32_t error = window_.Create(className);
            created.set_value(error);
            platform::WindowMessage message;
            while (error == platform::SysError::SUCCESS &&
                   window_.Receive(message) == platform::SysError::SUCCESS) {
                desktop.Post([handler, message] { handler(message); });
            }
        });
        return result.get();
    }
    ~WindowThread() {
        window_.Interrupt();
        if (thread_.joinable()) {
            thread_.join();
        }
    }

  private:
    platform::MessageWindow window_;
    std::thread thread_;
};

// SessionWatch ends the main loop when the session is gone.
class SessionWatch {
  public:
    void Start(std::uint32_t sessionId, Desktop& desktop) {
        const std::uint32_t error = monitor_.Open();
        if (error == platform::SysError::NOT_SUPPORTED) {
            return;  // the system ends a session's programs with the session
        }
        if (error != platform::SysError::SUCCESS) {
            Logger::Warn(std::string(kTag) + "cannot watch the session's end");
            return;
        }
        thread_ = std::thread([this, sessionId, &desktop] {
            while (monitor_.Wait() == platform::SysError::SUCCESS) {
                platform::SessionRecord record;
                if (!platform::FindSession(sessionId, record) || record.state == kSessionDown) {
                    Logger::Info(std::string(kTag) + "session " + std::to_string(sessionId) +
                                 " has ended");
                    desktop.Quit();
                    return;
                }
            }
        });
    }
    ~SessionWatch() {
        monitor_.Interrupt();
        if (thread_.joinable()) {
            thread_.join();
        }
    }

  private:
    platform::SessionMonitor monitor_;
    std::thread thread_;
};

// Announce tells the daemon which session this tray runs in.
void Announce(std::uint32_t sessionId) {
    platform::PipeConnection pipe;
    std::uint32_t error = platform::ConnectSharedPipe(Companions::kTrayPipeName, pipe);
    std::size_t written = 0;
    const std::string text = "{\"sID\": " + std::to_string(sessionId) + "}";
    if (error == platform::SysError::SUCCESS) {
        error = pipe.Write(text, written);
    }
    if (error != platform::SysError::SUCCESS) {
        Logger::Warn(std::string(kTag) + "cannot announce the session to the daemon : " +
                     platform::SystemErrorMessage(error));
        return;
    }
    Logger::Info(std::string(kTag) + "announced " + text);
}

std::string LogFolder() {
    const std::string file = Logger::CurrentFilePath();
    return file.substr(0, file.find_last_of("/\\"));
}

}  // namespace

bool NoticeFor(std::uint32_t message, std::uint64_t wparam, std::int64_t lparam, Notice& notice) {
    const std::string values = "(" + std::to_string(wparam) + ", " + std::to_string(lparam) + ")";
    if (message == Companions::kTrayMessageA) {
        notice = {"Launching an application", "The launcher is starting it " + values};
        return true;
    }
    if (message == Companions::kTrayMessageB) {
        notice = {"Unpacking media", "The launcher is unpacking a download " + values};
        return true;
    }
    return false;
}

bool ReadDaemonInfo(DaemonInfo& info) {
    std::string text;
    const std::uint32_t error = platform::ReadSharedMemory(Companions::kTraySharedMemory,
                                                           SharedData::kSharedMemorySize, text);
    if (error != platform::SysError::SUCCESS) {
        Logger::Warn(std::string(kTag) +
                     "cannot read the daemon's block : " + platform::SystemErrorMessage(error));
        return false;
    }
    const std::size_t first = text.find("||");
    const std::size_t second = first == std::string::npos ? first : text.find("||", first + 2);
    if (second == std::string::npos) {
        Logger::Warn(std::string(kTag) + "the daemon's block is not complete : " + text);
        return false;
    }
    info = {text.substr(0, first), text.substr(first + 2, second - first - 2),
            text.substr(second + 2)};
    return true;
}

int RunTray() {
    std::uint32_t sessionId = 0;
    const bool knownSession = platform::OwnSessionId(sessionId);
    Desktop desktop;
    desktop.Open();
    WindowThread window;
    const std::uint32_t error = window.Start(
        Companions::kTrayWindowClass, desktop, [&desktop](const platform::WindowMessage& m) {
            Notice notice;
            if (m.message == Companions::kCloseMessage) {
                desktop.Quit();
            } else if (NoticeFor(m.message, m.wparam, m.lparam, notice)) {
                desktop.Show(notice);
            }
        });
    if (error == platform::SysError::ALREADY_EXISTS) {
        Logger::Info(std::string(kTag) + "a tray already runs in this session");
        return Companions::kExitOk;
    }
    if (error != platform::SysError::SUCCESS) {
        Logger::Error(std::string(kTag) +
                      "cannot create the tray window : " + platform::SystemErrorMessage(error));
        return Companions::kExitPipeFailed;
    }
    SessionWatch watch;
    if (knownSession) {
        Announce(sessionId);
        watch.Start(sessionId, desktop);
    } else {
        Logger::Warn(std::string(kTag) + "the session of this tray is unknown");
    }
    DaemonInfo info;
    ReadDaemonInfo(info);
    desktop.ShowIcon(info, LogFolder());
    desktop.Run();
    Logger::Info(std::string(kTag) + "tray ends");
    return Companions::kExitOk;
}

int RunSpinner() {
    Desktop desktop;
    desktop.Open();
    WindowThread window;
    const std::uint32_t error = window.Start(Companions::kSpinnerWindowClass, desktop,
                                             [&desktop](const platform::WindowMessage& m) {
                                                 if (m.message == Companions::kCloseMessage) {
                                                     desktop.Quit();
                                                 }
                                             });
    if (error != platform::SysError::SUCCESS) {
        Logger::Error(std::string(kTag) +
                      "cannot create the spinner window : " + platform::SystemErrorMessage(error));
        return Companions::kExitPipeFailed;
    }
    desktop.ShowSpinner();
    desktop.Run();
    return Companions::kExitOk;
}

}  // namespace Tray
