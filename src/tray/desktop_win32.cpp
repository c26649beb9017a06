// The tray's user interface on Windows: an icon in the notification area with the same menu
// as on Linux, balloon notices from it, and the spinner window, all on the main thread.
#include "base/logger.h"
#include "platform/notify_icon.h"
#include "platform/sys_error.h"
#include "tray/tray.h"

namespace Tray {

namespace {

constexpr const char* kTag = "[Tray::Desktop]";
constexpr const char* kTitle = "Vantaro Launcher";
constexpr std::size_t kStatusLine = 0;

}  // namespace

struct Desktop::Impl {
    platform::NotifyIcon icon;
    bool open = false;
    bool iconShown = false;
};

Desktop::Desktop() : impl_(std::make_unique<Impl>()) {}
Desktop::~Desktop() = default;

bool Desktop::Open() {
    const std::uint32_t error = impl_->icon.Open(kTitle);
    impl_->open = error == platform::SysError::SUCCESS;
    if (!impl_->open) {
        Logger::Error(std::string(kTag) +
                      "cannot make the tray's window : " + platform::SystemErrorMessage(error));
    }
    return impl_->open;
}

void Desktop::ShowIcon(const DaemonInfo& info, const std::string& logFolder) {
    if (!impl_->open) {
        return;
    }
    std::vector<platform::NotifyMenuItem> menu = {
        {"Idle", false, {}},
        {std::string(kTitle) + " " + (info.version.empty() ? "?" : info.version), false, {}},
        {"Open the log folder", true, [logFolder] {
             const std::uint32_t error = platform::OpenInShell(logFolder);
             if (error != platform::SysError::SUCCESS) {
                 Logger::Error(std::string(kTag) + "cannot open " + logFolder + " : " +
                               platform::SystemErrorMessage(error));
             }
         }}};
    const std::uint32_t error = impl_->icon.ShowIcon(std::move(menu));
    impl_->iconShown = error == platform::SysError::SUCCESS;
    if (!impl_->iconShown) {
        // Without a notification area the tray still serves its window: notices are logged.
        Logger::Warn(std::string(kTag) + "the notification area took no icon : " +
                     platform::SystemErrorMessage(error) + "; notices are logged");
    }
}

void Desktop::ShowSpinner() {
    if (!impl_->open) {
        return;
    }
    const std::uint32_t error = impl_->icon.ShowSpinner();
    if (error != platform::SysError::SUCCESS) {
        Logger::Warn(std::string(kTag) +
                     "cannot show the spinner : " + platform::SystemErrorMessage(error));
    }
}

bool Desktop::Show(const Notice& notice) {
    Logger::Info(std::string(kTag) + notice.summary + " : " + notice.body);
    impl_->icon.SetLabel(kStatusLine, notice.summary);
    if (!impl_->iconShown) {
        return false;
    }
    const std::uint32_t error = impl_->icon.ShowBalloon(notice.summary, notice.body);
    if (error != platform::SysError::SUCCESS) {
        Logger::Warn(std::string(kTag) + "the notification area took no notice : " +
                     platform::SystemErrorMessage(error));
        return false;
    }
    return true;
}

void Desktop::Run() {
    impl_->icon.Run();
}

void Desktop::Quit() {
    impl_->icon.Quit();
}

void Desktop::Post(std::function<void()> task) {
    impl_->icon.Post(std::move(task));
}

}  // namespace Tray
