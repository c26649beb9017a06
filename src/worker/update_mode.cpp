// The GUI executable's "update" mode: installs a package of the launcher over the installed
// one. The daemon starts it apart from itself (a transient system service, or a detached
// process), from a saved copy of this executable, because the package stops and replaces the
// daemon and this executable. It owns the update mutex while it runs, so the daemon refuses
// a second update, and writes its progress and outcome to the update log.
#include <cstdlib>
#include <string>
#include <vector>

#include "base/logger.h"
#include "base/toolbox.h"
#include "platform/named_mutex.h"
#include "platform/process.h"
#include "session/companions.h"
#include "worker/worker.h"

namespace {

constexpr const char* kTag = "[Worker::Update]";
constexpr const char* kAptGet = "/usr/bin/apt-get";

void Note(const std::string& log, const std::string& line) {
    if (!ToolBox::File::WriteLines(
            log,
            {ToolBox::FormatTime(std::nullopt, false, false, "%Y-%m-%d %H:%M:%S") + " " + line},
            true)) {
        Logger::Error(std::string(kTag) + "cannot write the update log " + log);
    }
    Logger::Info(std::string(kTag) + line);
}

// InstallerCommand installs the package: the test installer when one is named, else the
// package manager's front end (which fetches missing dependencies), else dpkg itself.
platform::LaunchOptions InstallerCommand(const std::string& package, const std::string& log) {
    platform::LaunchOptions options;
    options.outputFile = log;
    if (const char* installer = std::getenv(Companions::kUpdateInstallerVariable);
        installer != nullptr && *installer != '\0') {
        options.argv = {installer, package};
    } else if (ToolBox::IsFile(kAptGet)) {
        options.argv = {
            kAptGet, "install", "-y", "-q", "--allow-downgrades", "-o", "DPkg::Lock::Timeout=300",
            package};
        options.extraEnvironment = {"DEBIAN_FRONTEND=noninteractive"};
    } else {
        options.argv = {"dpkg", "-i", package};
    }
    return options;
}

}  // namespace

namespace Worker {

int Update(const std::string& package, const std::string& log) {
    const platform::NamedMutexOwner mutex(Companions::kUpdateMutex);
    if (!mutex.Owned()) {
        Note(log, "another update holds the update lock " + mutex.Refusal());
        return Companions::kExitUpdateBusy;
    }
    Note(log, std::string(Companions::kUpdateStartedLine) + " : " + package);
    const platform::LaunchOptions options = InstallerCommand(package, log);
    Note(log, "running " + ToolBox::Join(options.argv, " "));
    platform::ProcessHandle process;
    std::uint32_t code = 0;
    if (platform::LaunchAsSelf(options, nullptr, process) != 0 || !process.IsValid()) {
        Note(log, "update failed : the installer could not be started");
        return Companions::kExitUpdateFailed;
    }
    if (!process.Wait(platform::kInfiniteWait, code) || code != 0) {
        Note(log, "update failed : the installer ended with code " + std::to_string(code) +
                      "; the installed launcher is unchanged");
        return Companions::kExitUpdateFailed;
    }
    Note(log, "update succeeded");
    return Companions::kExitOk;
}

}  // namespace Worker
