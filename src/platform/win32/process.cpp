#include "platform/process.h"

#include <userenv.h>
#include <windows.h>
#include <wtsapi32.h>

#include <cwchar>
#include <string>
#include <vector>

#include "platform/command_line.h"
#include "platform/sys_error.h"
#include "platform/win32/win_handle.h"
#include "platform/win32/win_text.h"

namespace platform {

namespace {

using win32::Handle;

// EnvironmentBlock owns a user's environment block.
class EnvironmentBlock {
  public:
    ~EnvironmentBlock() {
        if (block_ != nullptr) {
            ::DestroyEnvironmentBlock(block_);
        }
    }
    void** Out() { return &block_; }
    void* Get() const { return block_; }

  private:
    void* block_ = nullptr;
};

// CommandLine joins the items back into the text that the child's run-time splits again.
std::wstring CommandLine(const std::vector<std::string>& argv) {
    std::string line;
    for (std::size_t i = 0; i < argv.size(); ++i) {
        if (i == 0) {
            // The program item takes no escapes.
            line +=
                argv[0].find_first_of(" \t") == std::string::npos ? argv[0] : '"' + argv[0] + '"';
        } else {
            line += ' ' + ToolBox::QuoteCommandLineArg(argv[i]);
        }
    }
    return win32::Utf8ToWide(line);
}

// WithExtras copies an environment block and appends (or replaces) the extra entries.
std::wstring WithExtras(const void* block, const std::vector<std::string>& extras) {
    std::vector<std::wstring> entries;
    for (const wchar_t* entry = static_cast<const wchar_t*>(block); *entry != L'\0';
         entry += wcslen(entry) + 1) {
        entries.emplace_back(entry);
    }
    for (const std::string& extra : extras) {
        const std::wstring wide = win32::Utf8ToWide(extra);
        const std::wstring name = wide.substr(0, wide.find(L'=') + 1);
        std::erase_if(entries, [&](const std::wstring& e) { return e.rfind(name, 0) == 0; });
        entries.push_back(wide);
    }
    std::wstring merged;
    for (const std::wstring& entry : entries) {
        merged += entry;
        merged.push_back(L'\0');
    }
    merged.push_back(L'\0');
    return merged;
}

bool CheckArguments(const std::vector<std::string>& argv, ProcessGroup* group,
                    std::uint32_t& error) {
    if (argv.empty() || argv.front().empty() || (group != nullptr && !group->IsOpen())) {
        error = SysError::INVALID_PARAMETER;
        return false;
    }
    return true;
}

}  // namespace

struct ProcessHandle::Impl {
    Handle process;
    DWORD pid = 0;
};

struct ProcessGroup::Impl {
    Handle job;
};

namespace {

// Start runs CreateProcess(AsUser)W, puts the process in the group before it runs a single
// instruction, and hands it to out.
std::uint32_t Start(HANDLE token, const std::vector<std::string>& argv, DWORD flags,
                    void* environment, const std::string& folder, ProcessGroup* group,
                    ProcessHandle& out) {
    std::wstring line = CommandLine(argv);
    const std::wstring wideFolder = win32::Utf8ToWide(folder);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    flags |= CREATE_NO_WINDOW | (group != nullptr ? CREATE_SUSPENDED : 0);
    const wchar_t* cwd = folder.empty() ? nullptr : wideFolder.c_str();
    const BOOL created =
        token != nullptr ? ::CreateProcessAsUserW(token, nullptr, line.data(), nullptr, nullptr,
                                                  TRUE, flags, environment, cwd, &startup, &info)
                         : ::CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, flags,
                                            environment, cwd, &startup, &info);
    if (!created) {
        return ::GetLastError();
    }
    Handle process(info.hProcess);
    Handle thread(info.hThread);
    if (group != nullptr) {
        if (!::AssignProcessToJobObject(group->Get()->job.Get(), process.Get())) {
            const DWORD error = ::GetLastError();
            ::TerminateProcess(process.Get(), 1);
            return error;
        }
        ::ResumeThread(thread.Get());
    }
    auto impl = std::make_unique<ProcessHandle::Impl>();
    impl->process = std::move(process);
    impl->pid = info.dwProcessId;
    out = ProcessHandle(std::move(impl));
    return SysError::SUCCESS;
}

}  // namespace

ProcessHandle::ProcessHandle() = default;
ProcessHandle::ProcessHandle(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
ProcessHandle::~ProcessHandle() = default;
ProcessHandle::ProcessHandle(ProcessHandle&&) noexcept = default;
ProcessHandle& ProcessHandle::operator=(ProcessHandle&&) noexcept = default;

bool ProcessHandle::IsValid() const {
    return impl_ != nullptr;
}
std::uint32_t ProcessHandle::Pid() const {
    return impl_ ? impl_->pid : 0;
}

bool ProcessHandle::Wait(std::uint32_t timeoutMs, std::uint32_t& exitCode) {
    DWORD code = 0;
    if (!impl_ || ::WaitForSingleObject(impl_->process.Get(), timeoutMs) != WAIT_OBJECT_0 ||
        !::GetExitCodeProcess(impl_->process.Get(), &code)) {
        return false;
    }
    exitCode = code;
    return true;
}

bool ProcessHandle::IsRunning() {
    return impl_ && ::WaitForSingleObject(impl_->process.Get(), 0) == WAIT_TIMEOUT;
}

bool ProcessHandle::Terminate(std::uint32_t exitCode) {
    return IsRunning() && ::TerminateProcess(impl_->process.Get(), exitCode) != FALSE;
}

void ProcessHandle::Close() {
    impl_.reset();
}

ProcessGroup::ProcessGroup() = default;
ProcessGroup::~ProcessGroup() {
    Close();
}
ProcessGroup::ProcessGroup(ProcessGroup&&) noexcept = default;
ProcessGroup& ProcessGroup::operator=(ProcessGroup&& other) noexcept {
    if (this != &other) {
        Close();
        impl_ = std::move(other.impl_);
    }
    return *this;
}

std::uint32_t ProcessGroup::Create() {
    Close();
    Handle job(::CreateJobObjectW(nullptr, nullptr));
    if (!job.Valid()) {
        return ::GetLastError();
    }
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    // Breakaway is allowed: a member hands the programs nobody waits for (the start tool, the
    // tray) over to the user's session with CREATE_BREAKAWAY_FROM_JOB, which fails with
    // ERROR_ACCESS_DENIED in a job without it.
    limits.BasicLimitInformation.LimitFlags =
        JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE | JOB_OBJECT_LIMIT_BREAKAWAY_OK;
    if (!::SetInformationJobObject(job.Get(), JobObjectExtendedLimitInformation, &limits,
                                   sizeof limits)) {
        return ::GetLastError();
    }
    impl_ = std::make_unique<Impl>();
    impl_->job = std::move(job);
    return SysError::SUCCESS;
}

bool ProcessGroup::IsOpen() const {
    return impl_ != nullptr && impl_->job.Valid();
}

void ProcessGroup::Close() {
    if (impl_) {
        // Explicit, so that a duplicate of the job handle elsewhere cannot keep members alive.
        ::TerminateJobObject(impl_->job.Get(), 1);
        impl_.reset();
    }
}

std::uint32_t LaunchAsSessionUser(const LaunchOptions& options, ProcessGroup* group,
                                  ProcessHandle& out, LaunchFailure* failure) {
    LaunchFailure ignored = LaunchFailure::None;
    LaunchFailure& step = failure != nullptr ? *failure : ignored;
    step = LaunchFailure::Creation;
    out.Close();
    std::uint32_t error = 0;
    if (!CheckArguments(options.argv, group, error)) {
        return error;
    }
    HANDLE rawToken = nullptr;
    if (!::WTSQueryUserToken(options.sessionId, &rawToken)) {
        step = LaunchFailure::Token;
        return SysError::NO_TOKEN;
    }
    Handle token(rawToken);
    EnvironmentBlock environment;
    if (!::CreateEnvironmentBlock(environment.Out(), token.Get(), TRUE)) {
        step = LaunchFailure::Environment;
        return ::GetLastError();
    }
    DWORD flags = CREATE_UNICODE_ENVIRONMENT;
    flags |= options.breakAwayFromJob ? CREATE_BREAKAWAY_FROM_JOB : 0;
    flags |= options.newGroup ? CREATE_NEW_PROCESS_GROUP : 0;
    std::wstring merged = WithExtras(environment.Get(), options.extraEnvironment);
    error = Start(token.Get(), options.argv, flags, merged.data(), options.workingDirectory, group,
                  out);
    step = error == SysError::SUCCESS ? LaunchFailure::None : LaunchFailure::Creation;
    return error;
}

std::uint32_t LaunchAsSelf(const std::vector<std::string>& argv, ProcessGroup* group,
                           ProcessHandle& out) {
    out.Close();
    std::uint32_t error = 0;
    if (!CheckArguments(argv, group, error)) {
        return error;
    }
    return Start(nullptr, argv, 0, nullptr, std::string(), group, out);
}

std::uint32_t LaunchAsSelf(const LaunchOptions& options, ProcessGroup* group, ProcessHandle& out,
                           std::string* serviceUnit) {
    if (serviceUnit != nullptr) {
        serviceUnit->clear();  // no user service manager here
    }
    out.Close();
    std::uint32_t error = 0;
    if (!CheckArguments(options.argv, group, error)) {
        return error;
    }
    DWORD flags = CREATE_UNICODE_ENVIRONMENT;
    flags |= options.breakAwayFromJob ? CREATE_BREAKAWAY_FROM_JOB : 0;
    flags |= options.newGroup ? CREATE_NEW_PROCESS_GROUP : 0;
    wchar_t* own = ::GetEnvironmentStringsW();
    std::wstring merged = WithExtras(own, options.extraEnvironment);
    ::FreeEnvironmentStringsW(own);
    return Start(nullptr, options.argv, flags, merged.data(), options.workingDirectory, group, out);
}

bool AdoptSessionEnvironment() {
    return false;  // a process started with the user's token has the session's environment
}

}  // namespace platform
