#include "platform/elevation.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "platform/posix/system_lookup.h"
#include "platform/process.h"
#include "platform/sys_error.h"

namespace platform {

namespace {

// Exit codes of the elevation helper when the program was never started: the user dismissed
// the authentication dialog (126), or authorisation failed or no authentication agent could
// be reached (127). The program itself never ran in either case.
constexpr std::uint32_t kHelperDismissed = 126;
constexpr std::uint32_t kHelperNotAuthorized = 127;

// FindHelper looks the elevation helper up in the daemon's search path.
bool FindHelper(std::string& path) {
    const char* variable = std::getenv("PATH");
    const std::string search = variable != nullptr && *variable != '\0'
                                   ? std::string(variable)
                                   : std::string("/usr/local/bin:/usr/bin:/bin");
    std::size_t start = 0;
    while (start <= search.size()) {
        std::size_t end = search.find(':', start);
        if (end == std::string::npos) {
            end = search.size();
        }
        if (end > start) {
            const std::string candidate =
                search.substr(start, end - start) + "/" + kElevationHelper;
            if (posix::IsExecutableFile(candidate)) {
                path = candidate;
                return true;
            }
        }
        start = end + 1;
    }
    return false;
}

}  // namespace

struct ElevatedProcess::Impl {
    ProcessHandle process;
};

ElevatedProcess::ElevatedProcess() = default;
ElevatedProcess::ElevatedProcess(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
ElevatedProcess::~ElevatedProcess() = default;
ElevatedProcess::ElevatedProcess(ElevatedProcess&&) noexcept = default;
ElevatedProcess& ElevatedProcess::operator=(ElevatedProcess&&) noexcept = default;

bool ElevatedProcess::IsValid() const {
    return impl_ != nullptr && impl_->process.IsValid();
}

std::uint32_t ElevatedProcess::Wait(std::uint32_t timeoutMs, std::uint32_t& exitCode) {
    if (!IsValid()) {
        return SysError::INVALID_HANDLE;
    }
    std::uint32_t code = 0;
    if (!impl_->process.Wait(timeoutMs, code)) {
        return SysError::WAIT_TIMED_OUT;
    }
    // A failed authentication is a failed start, as a refused consent is on Windows, not the
    // program's result. (A program that itself ends with 126 or 127, the codes shells use
    // for "cannot run", is taken for one too.)
    if (code == kHelperDismissed) {
        return SysError::CANCELLED;
    }
    if (code == kHelperNotAuthorized) {
        return SysError::ACCESS_DENIED;
    }
    exitCode = code;
    return SysError::SUCCESS;
}

void ElevatedProcess::Close() {
    impl_.reset();
}

std::uint32_t LaunchElevated(const std::vector<std::string>& argv, bool /*waitForLaunch*/,
                             ElevatedProcess& out, std::int64_t& instance) {
    out.Close();
    instance = 0;
    if (argv.empty() || argv.front().empty()) {
        return SysError::INVALID_PARAMETER;
    }
    std::string helper;
    if (!FindHelper(helper)) {
        return SysError::NOT_SUPPORTED;
    }
    std::vector<std::string> command{helper};
    command.insert(command.end(), argv.begin(), argv.end());
    auto impl = std::make_unique<ElevatedProcess::Impl>();
    const std::uint32_t error = LaunchAsSelf(command, nullptr, impl->process);
    if (error != SysError::SUCCESS) {
        return error;
    }
    instance = 33;
    out = ElevatedProcess(std::move(impl));
    return SysError::SUCCESS;
}

}  // namespace platform
