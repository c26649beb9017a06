// The tray executable's entry point: the tray program, or the spinner with "--spinner".
#include <exception>
#include <string>

#include "base/folders.h"
#include "base/logger.h"
#include "base/toolbox.h"
#include "platform/process.h"
#include "session/companions.h"
#include "session/user_program.h"
#include "tray/tray.h"

namespace {

// TrustLocalAuthority has the installation's trust helper add the machine's local authority
// to this user's browser databases (made when missing), so that pages reach the daemon over
// HTTPS for users created after the installation too. It runs on its own; the tray does not
// wait for it.
void TrustLocalAuthority() {
    std::string folder;
    if (!FileAndFoldersManager::GetFolder(Folder::DAEMON_INSTALL_PATH, folder)) {
        return;
    }
    const std::string helper = ToolBox::JoinPath(folder, Companions::kTrustProgram);
    if (!ToolBox::IsFile(helper)) {
        return;  // not an installed package
    }
    platform::ProcessHandle process;
    if (platform::LaunchAsSelf({helper, Companions::kTrustUserVerb}, nullptr, process) != 0) {
        Logger::Warn("[Main]cannot run " + helper);
    }
}

}  // namespace

int main(int argc, char** argv) {
    try {
        UserProgram::Init("tray", Companions::kTrayProgram);
        const std::string mode = argc > 1 ? argv[1] : "";
        if (mode == Companions::kSpinnerMode) {
            return Tray::RunSpinner();
        }
        if (!mode.empty()) {
            Logger::Error("[Main]usage: " + Companions::TrayExecutableName() + " [--spinner]");
            return Companions::kExitUsage;
        }
        TrustLocalAuthority();
        return Tray::RunTray();
    } catch (const std::exception& e) {
        Logger::LogException(e, "[Main]", false);
        return Companions::kExitPipeFailed;
    }
}
