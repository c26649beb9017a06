#include "platform/elevation.h"

// shellapi.h needs the declarations of windows.h before it.
// clang-format off
#include <windows.h>
#include <shellapi.h>
// clang-format on

#include "platform/command_line.h"
#include "platform/sys_error.h"
#include "platform/win32/win_handle.h"
#include "platform/win32/win_text.h"

namespace platform {

struct ElevatedProcess::Impl {
    win32::Handle process;
};

ElevatedProcess::ElevatedProcess() = default;
ElevatedProcess::ElevatedProcess(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
ElevatedProcess::~ElevatedProcess() = default;
ElevatedProcess::ElevatedProcess(ElevatedProcess&&) noexcept = default;
ElevatedProcess& ElevatedProcess::operator=(ElevatedProcess&&) noexcept = default;

bool ElevatedProcess::IsValid() const {
    return impl_ != nullptr && impl_->process.Get() != nullptr;
}

std::uint32_t ElevatedProcess::Wait(std::uint32_t timeoutMs, std::uint32_t& exitCode) {
    if (!IsValid()) {
        return SysError::INVALID_HANDLE;
    }
    const DWORD result = ::WaitForSingleObject(impl_->process.Get(), timeoutMs);
    if (result == WAIT_TIMEOUT) {
        return SysError::WAIT_TIMED_OUT;
    }
    DWORD code = 0;
    if (result != WAIT_OBJECT_0 || !::GetExitCodeProcess(impl_->process.Get(), &code)) {
        return ::GetLastError();
    }
    exitCode = code;
    return SysError::SUCCESS;
}

void ElevatedProcess::Close() {
    impl_.reset();
}

std::uint32_t LaunchElevated(const std::vector<std::string>& argv, bool waitForLaunch,
                             ElevatedProcess& out, std::int64_t& instance) {
    out.Close();
    instance = 0;
    if (argv.empty() || argv.front().empty()) {
        return SysError::INVALID_PARAMETER;
    }
    std::string parameters;
    for (std::size_t i = 1; i < argv.size(); ++i) {
        if (i > 1) {
            parameters.push_back(' ');
        }
        parameters.append(ToolBox::QuoteCommandLineArg(argv[i]));
    }
    const std::wstring file = win32::Utf8ToWide(argv.front());
    const std::wstring wideParameters = win32::Utf8ToWide(parameters);
    SHELLEXECUTEINFOW info{};
    info.cbSize = sizeof info;
    info.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_FLAG_NO_UI | SEE_MASK_UNICODE |
                 (waitForLaunch ? SEE_MASK_NOASYNC : 0);
    info.lpVerb = L"runas";
    info.lpFile = file.c_str();
    info.lpParameters = wideParameters.c_str();
    info.nShow = SW_SHOW;
    if (!::ShellExecuteExW(&info)) {
        return ::GetLastError();
    }
    instance = static_cast<std::int64_t>(reinterpret_cast<std::intptr_t>(info.hInstApp));
    auto impl = std::make_unique<ElevatedProcess::Impl>();
    impl->process.Reset(info.hProcess);
    out = ElevatedProcess(std::move(impl));
    return SysError::SUCCESS;
}

}  // namespace platform
