#include "platform/process.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pthread.h>
#include <pwd.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fstream>
#include <functional>
#include <future>
#include <map>
#include <mutex>
#include <set>
#include <thread>
#include <utility>

#include "platform/crash_handler.h"
#include "platform/posix/system_lookup.h"
#include "platform/posix/unique_fd.h"
#include "platform/posix/user_manager.h"
#include "platform/sessions.h"
#include "platform/sys_error.h"

extern char** environ;

namespace platform {

namespace {

constexpr std::uint32_t kBadExeFormat = 193;
constexpr std::uint32_t kUnknownExitCode = 0xFFFFFFFFu;
constexpr const char* kDefaultPath = "/usr/local/bin:/usr/bin:/bin";

using posix::UniqueFd;

// ---- file descriptors ---------------------------------------------------------------------

// AboveStdio moves a close-on-exec descriptor to 3 or above, so that the child's own
// descriptors 0 to 2 never collide with it even when the daemon runs with them closed.
UniqueFd AboveStdio(int fd) {
    if (fd < 0 || fd > 2) {
        return UniqueFd(fd);
    }
    UniqueFd moved(::fcntl(fd, F_DUPFD_CLOEXEC, 3));
    ::close(fd);
    return moved;
}

// ---- child state and exit codes -----------------------------------------------------------

std::uint32_t ExitCodeOf(int status) {
    if (WIFEXITED(status)) {
        return static_cast<std::uint32_t>(WEXITSTATUS(status));
    }
    if (WIFSIGNALED(status)) {
        return 128u + static_cast<std::uint32_t>(WTERMSIG(status));
    }
    return kUnknownExitCode;
}

// ChildState is one started process, shared by its handle, its group and the reaper.
struct ChildState {
    pid_t pid = -1;
    UniqueFd pidfd;  // readable once the process has ended; invalid on kernels without pidfd
    std::mutex mutex;
    bool reaped = false;
    std::uint32_t exitCode = kUnknownExitCode;
    // ownChild is false for a process handed over to the user's session: it is not our
    // child, so its end is seen through its pidfd and its exit code stays unknown.
    bool ownChild = true;
    // statusFd, for a handed-over process with a waiter, is readable once the waiter has
    // written the exit code (or ended without writing it).
    UniqueFd statusFd;

    // TryReap collects the exit status if the process has ended. Caller holds mutex.
    bool TryReapLocked() {
        if (reaped) {
            return true;
        }
        if (!ownChild) {
            reaped = HasEnded();
            return reaped;
        }
        int status = 0;
        const pid_t result = ::waitpid(pid, &status, WNOHANG);
        if (result == pid) {
            exitCode = ExitCodeOf(status);
            reaped = true;
        } else if (result < 0 && errno == ECHILD) {
            reaped = true;  // collected elsewhere (SIGCHLD ignored): the status is lost
        }
        return reaped;
    }
    bool TryReap() {
        std::lock_guard<std::mutex> lock(mutex);
        return TryReapLocked();
    }

  private:
    bool HasEnded() {
        if (statusFd.Valid()) {
            return ReadStatus();
        }
        if (!pidfd.Valid()) {
            return ::kill(pid, 0) != 0 && errno == ESRCH;
        }
        pollfd fd{pidfd.Get(), POLLIN, 0};
        return ::poll(&fd, 1, 0) > 0;
    }
    bool ReadStatus() {
        pollfd fd{statusFd.Get(), POLLIN, 0};
        if (::poll(&fd, 1, 0) <= 0) {
            return false;
        }
        std::uint32_t code = kUnknownExitCode;
        ssize_t n = 0;
        do {
            n = ::read(statusFd.Get(), &code, sizeof code);
        } while (n < 0 && errno == EINTR);
        exitCode = n == static_cast<ssize_t>(sizeof code) ? code : kUnknownExitCode;
        statusFd.Reset();
        return true;
    }
};

using ChildPtr = std::shared_ptr<ChildState>;

// ---- the process thread -------------------------------------------------------------------

// ProcessThread forks every child and reaps the children whose handle was closed. Forking
// from one long-lived thread matters: the parent-death signal of group members fires when
// the thread that forked them ends, not when the process does.
class ProcessThread {
  public:
    static ProcessThread& Instance() {
        static ProcessThread instance;
        return instance;
    }

    // Run executes task on the process thread and waits for it.
    void Run(const std::function<void()>& task) {
        std::packaged_task<void()> packaged(task);
        std::future<void> done = packaged.get_future();
        {
            std::lock_guard<std::mutex> lock(mutex_);
            tasks_.push_back(std::move(packaged));
        }
        Wake();
        done.wait();
    }

    // Detach hands a child whose handle is gone to the reaper. A process handed over to the
    // user's session is not ours to reap.
    void Detach(ChildPtr child) {
        if (!child->ownChild || child->TryReap()) {
            return;
        }
        {
            std::lock_guard<std::mutex> lock(mutex_);
            detached_.push_back(std::move(child));
        }
        Wake();
    }

  private:
    ProcessThread() : wake_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
        // The thread takes no signal: they belong to the service host's dispatcher.
        sigset_t all;
        sigset_t previous;
        sigfillset(&all);
        pthread_sigmask(SIG_SETMASK, &all, &previous);
        thread_ = std::thread([this] {
            const ThreadCrashStack crashStack;
            Loop();
        });
        pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    }
    ~ProcessThread() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stop_ = true;
        }
        Wake();
        thread_.join();
    }

    void Wake() {
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t n = ::write(wake_.Get(), &one, sizeof one);
    }

    void Loop() {
        for (;;) {
            std::vector<pollfd> fds{{wake_.Get(), POLLIN, 0}};
            bool anyWithoutPidfd = false;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                if (stop_) {
                    return;
                }
                for (const ChildPtr& child : detached_) {
                    if (child->pidfd.Valid()) {
                        fds.push_back({child->pidfd.Get(), POLLIN, 0});
                    } else {
                        anyWithoutPidfd = true;
                    }
                }
            }
            ::poll(fds.data(), fds.size(), anyWithoutPidfd ? 1000 : -1);
            std::uint64_t count = 0;
            [[maybe_unused]] const ssize_t n = ::read(wake_.Get(), &count, sizeof count);
            RunTasks();
            ReapDetached();
        }
    }

    void RunTasks() {
        std::deque<std::packaged_task<void()>> tasks;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            tasks.swap(tasks_);
        }
        for (auto& task : tasks) {
            task();
        }
    }

    void ReapDetached() {
        std::lock_guard<std::mutex> lock(mutex_);
        std::erase_if(detached_, [](const ChildPtr& child) { return child->TryReap(); });
    }

    UniqueFd wake_;
    std::mutex mutex_;
    std::deque<std::packaged_task<void()>> tasks_;
    std::vector<ChildPtr> detached_;
    bool stop_ = false;
    std::thread thread_;
};

// ---- what the child does between fork and exec --------------------------------------------

// Stage Detached is not a failure: the report carries the pid of the program that a
// break-away launch started from its short-lived intermediate or its waiter.
enum class ChildStage : int { Detached = 0, Session = 1, Credentials = 2, Exec = 3 };

struct ChildReport {
    int stage;
    int error;
};

// ChildPlan holds everything the child needs, prepared before fork: after fork only
// async-signal-safe calls may run, so nothing here allocates or looks anything up.
struct ChildPlan {
    const char* path = nullptr;
    char* const* argv = nullptr;
    char* const* envp = nullptr;
    const char* workingDirectory = nullptr;
    int errorFd = -1;
    int nullFd = -1;
    int outputFd = -1;  // standard output and error, when set
    int maxFd = 1024;
    bool newSession = false;
    bool switchUser = false;
    uid_t uid = 0;
    gid_t gid = 0;
    const gid_t* groups = nullptr;
    std::size_t groupCount = 0;
    bool dieWithParent = false;
    bool detach = false;
    int statusFd = -1;  // with detach: a waiter reports the program's exit code here
    pid_t parent = 0;
};

[[noreturn]] void ChildFail(const ChildPlan& plan, ChildStage stage, int error) {
    const ChildReport report{static_cast<int>(stage), error};
    [[maybe_unused]] const ssize_t n = ::write(plan.errorFd, &report, sizeof report);
    ::_exit(127);
}

void ChildResetSignals() {
    struct sigaction action {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    for (int sig = 1; sig < NSIG; ++sig) {
        if (sig != SIGKILL && sig != SIGSTOP) {
            ::sigaction(sig, &action, nullptr);  // fails harmlessly for reserved signals
        }
    }
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
}

// ChildCloseDescriptors keeps 0 to 2 and the error pipe, which closes on exec.
void ChildCloseDescriptors(const ChildPlan& plan) {
    const unsigned errorFd = static_cast<unsigned>(plan.errorFd);
    if (::close_range(3, errorFd - 1, 0) == 0 && ::close_range(errorFd + 1, ~0u, 0) == 0) {
        return;
    }
    for (int fd = 3; fd < plan.maxFd; ++fd) {
        if (fd != plan.errorFd) {
            ::close(fd);
        }
    }
}

// ChildExec is the program's last step before its image replaces this one. It never
// returns: after vfork it runs on the caller's stack, which must stay as it was.
[[noreturn]] void ChildExec(const ChildPlan& plan) {
    if (plan.dieWithParent) {
        // Set after the user switch, which clears it. If the daemon died in between, the
        // signal will never come: leave now.
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != plan.parent) {
            ::_exit(127);
        }
    }
    if (plan.workingDirectory != nullptr && ::chdir(plan.workingDirectory) != 0) {
        [[maybe_unused]] const int ignored = ::chdir("/");
    }
    ChildCloseDescriptors(plan);
    ::execve(plan.path, plan.argv, plan.envp);
    ChildFail(plan, ChildStage::Exec, errno);
}

// StartProgram starts the program from this single-threaded copy of the caller with vfork:
// the program borrows the copy's memory until its exec, so that no second copy of the
// caller's memory is made and torn down again, and this process goes on once the program's
// image runs (or failed to). Gives the program's pid.
pid_t StartProgram(const ChildPlan& plan) {
    const pid_t program = ::vfork();
    if (program == 0) {
        ChildExec(plan);
    }
    if (program < 0) {
        ChildFail(plan, ChildStage::Session, errno);
    }
    return program;
}

// ChildWait is the waiter's life once the program is started: it reports the program's pid,
// keeps nothing of the caller but the status pipe, and writes the exit code there.
[[noreturn]] void ChildWait(const ChildPlan& plan, pid_t program) {
    const ChildReport report{static_cast<int>(ChildStage::Detached), program};
    [[maybe_unused]] const ssize_t n = ::write(plan.errorFd, &report, sizeof report);
    const int statusFd = ::dup2(plan.statusFd, 3);
    if (::close_range(4, ~0u, 0) != 0) {
        for (int fd = 4; fd < plan.maxFd; ++fd) {
            ::close(fd);
        }
    }
    int status = 0;
    pid_t ended = -1;
    do {
        ended = ::waitpid(program, &status, 0);
    } while (ended < 0 && errno == EINTR);
    const std::uint32_t code = ended == program ? ExitCodeOf(status) : kUnknownExitCode;
    [[maybe_unused]] const ssize_t m = ::write(statusFd, &code, sizeof code);
    ::_exit(0);
}

// ChildHandOver starts the program so that it is nobody's descendant in the caller's tree
// (init adopts it), and no kill-on-close group of the caller can find it. Without a status
// pipe, this intermediate starts the program, reports its pid and ends. With one, the
// intermediate forks a waiter and ends at once; the waiter, in the new session, starts the
// program and waits for it.
[[noreturn]] void ChildHandOver(const ChildPlan& plan) {
    if (plan.statusFd < 0) {
        const ChildReport report{static_cast<int>(ChildStage::Detached), StartProgram(plan)};
        [[maybe_unused]] const ssize_t n = ::write(plan.errorFd, &report, sizeof report);
        ::_exit(0);
    }
    const pid_t waiter = ::fork();
    if (waiter < 0) {
        ChildFail(plan, ChildStage::Session, errno);
    }
    if (waiter > 0) {
        ::_exit(0);
    }
    ChildWait(plan, StartProgram(plan));
}

[[noreturn]] void RunChild(const ChildPlan& plan) {
    ChildResetSignals();
    if (plan.newSession && ::setsid() < 0) {
        ChildFail(plan, ChildStage::Session, errno);
    }
    ::dup2(plan.nullFd, 0);
    if (plan.outputFd >= 0) {
        ::dup2(plan.outputFd, 1);
        ::dup2(plan.outputFd, 2);
    }
    if (plan.switchUser) {
        // Groups first: once the user is switched, the right to change them is gone.
        if (::setgroups(plan.groupCount, plan.groups) != 0 || ::setgid(plan.gid) != 0 ||
            ::setuid(plan.uid) != 0) {
            ChildFail(plan, ChildStage::Credentials, errno);
        }
        if (plan.uid != 0 && ::setuid(0) == 0) {
            ChildFail(plan, ChildStage::Credentials, EPERM);
        }
    }
    if (plan.detach) {
        ChildHandOver(plan);
    }
    ChildExec(plan);
}

std::uint32_t ErrorOfReport(const ChildReport& report) {
    if (report.stage == static_cast<int>(ChildStage::Credentials)) {
        return SysError::NO_TOKEN;
    }
    if (report.error == ENOEXEC) {
        return kBadExeFormat;
    }
    return ErrorFromErrno(report.error);
}

// ---- preparing a launch -------------------------------------------------------------------

// CStrings keeps the strings and the null-terminated pointer array that execve takes.
class CStrings {
  public:
    explicit CStrings(std::vector<std::string> items) : items_(std::move(items)) {
        for (std::string& item : items_) {
            pointers_.push_back(item.data());
        }
        pointers_.push_back(nullptr);
    }
    char* const* Get() const { return pointers_.data(); }

  private:
    std::vector<std::string> items_;
    std::vector<char*> pointers_;
};

struct UserAccount {
    uid_t uid = 0;
    gid_t gid = 0;
    std::string name;
    std::string home;
    std::string shell;
    std::vector<gid_t> groups;
};

bool LookupUser(const std::string& name, UserAccount& account) {
    posix::UserEntry user;
    if (!posix::FindUser(name, user)) {
        return false;
    }
    const passwd& entry = user.entry;
    account.uid = entry.pw_uid;
    account.gid = entry.pw_gid;
    account.name = entry.pw_name;
    account.home = entry.pw_dir != nullptr ? entry.pw_dir : "/";
    account.shell = entry.pw_shell != nullptr ? entry.pw_shell : "/bin/sh";
    int count = 32;
    for (int attempt = 0; attempt < 8; ++attempt) {
        account.groups.resize(static_cast<std::size_t>(count));
        if (::getgrouplist(name.c_str(), account.gid, account.groups.data(), &count) >= 0) {
            account.groups.resize(static_cast<std::size_t>(count));
            return true;
        }
    }
    return false;
}

bool IsFolder(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool IsSocket(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISSOCK(info.st_mode);
}

// AddEntries puts "NAME=value" entries into env, each replacing an entry of its name: with
// two entries of one name, programs would read the first.
void AddEntries(std::vector<std::string>& env, const std::vector<std::string>& entries) {
    for (const std::string& entry : entries) {
        const std::size_t equals = entry.find('=');
        if (equals == std::string::npos || equals == 0) {
            continue;
        }
        const std::string prefix = entry.substr(0, equals + 1);
        const auto same = [&](const std::string& e) { return e.rfind(prefix, 0) == 0; };
        const auto found = std::find_if(env.begin(), env.end(), same);
        if (found == env.end()) {
            env.push_back(entry);
        } else {
            *found = entry;
        }
    }
}

// kSessionVariables are what a session leader's environment is read for: the session's
// display and bus, which the daemon could otherwise only guess.
constexpr const char* kSessionVariables[] = {
    "DISPLAY",          "WAYLAND_DISPLAY",     "XAUTHORITY",         "DBUS_SESSION_BUS_ADDRESS",
    "XDG_SESSION_TYPE", "XDG_CURRENT_DESKTOP", "XDG_SESSION_DESKTOP"};

// LeaderEnvironment gives the session variables of the session leader's environment, when
// the leader runs as the session's user or as root (a login program); another user's
// process tells nothing about this session.
std::vector<std::string> LeaderEnvironment(std::uint32_t leader, uid_t uid) {
    std::vector<std::string> env;
    const std::string folder = "/proc/" + std::to_string(leader);
    struct stat info {};
    if (leader == 0 || ::stat(folder.c_str(), &info) != 0 ||
        (info.st_uid != uid && info.st_uid != 0)) {
        return env;
    }
    std::ifstream in(folder + "/environ", std::ios::binary);
    std::string entry;
    while (std::getline(in, entry, '\0')) {
        for (const char* name : kSessionVariables) {
            if (entry.rfind(std::string(name) + "=", 0) == 0) {
                env.push_back(entry);
            }
        }
    }
    return env;
}

std::vector<std::string> UserEnvironment(const UserAccount& account, const SessionRecord& session,
                                         const std::vector<std::string>& extra) {
    std::vector<std::string> env = {
        "HOME=" + account.home,
        "USER=" + account.name,
        "LOGNAME=" + account.name,
        "SHELL=" + account.shell,
        std::string("PATH=") + kDefaultPath,
    };
    if (const char* lang = std::getenv("LANG"); lang != nullptr) {
        env.push_back(std::string("LANG=") + lang);
    }
    const std::string runtime = "/run/user/" + std::to_string(account.uid);
    if (IsFolder(runtime)) {
        env.push_back("XDG_RUNTIME_DIR=" + runtime);
        if (IsSocket(runtime + "/bus")) {
            env.push_back("DBUS_SESSION_BUS_ADDRESS=unix:path=" + runtime + "/bus");
        }
        if (IsSocket(runtime + "/wayland-0")) {
            env.push_back("WAYLAND_DISPLAY=wayland-0");
        }
    }
    if (!session.display.empty()) {
        env.push_back("DISPLAY=" + session.display);
    }
    AddEntries(env, LeaderEnvironment(session.leader, account.uid));
    AddEntries(env, extra);
    return env;
}

std::string PathOf(const std::vector<std::string>& env) {
    for (const std::string& entry : env) {
        if (entry.rfind("PATH=", 0) == 0) {
            return entry.substr(5);
        }
    }
    return kDefaultPath;
}

// ResolveProgram finds a program name without a slash in the search path, as a shell
// would; the search runs before fork because it allocates. False when nothing matches.
bool ResolveProgram(const std::string& program, const std::string& searchPath, std::string& path) {
    if (program.find('/') != std::string::npos) {
        path = program;
        return true;
    }
    std::size_t start = 0;
    while (start <= searchPath.size()) {
        std::size_t end = searchPath.find(':', start);
        if (end == std::string::npos) {
            end = searchPath.size();
        }
        const std::string folder = end > start ? searchPath.substr(start, end - start) : ".";
        const std::string candidate = folder + "/" + program;
        if (posix::IsExecutableFile(candidate)) {
            path = candidate;
            return true;
        }
        start = end + 1;
    }
    return false;
}

std::vector<std::string> OwnEnvironment() {
    std::vector<std::string> env;
    for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
        env.emplace_back(*entry);
    }
    return env;
}

struct LaunchPlan {
    std::vector<std::string> argv;
    std::vector<std::string> env;
    std::string workingDirectory;  // empty: the daemon's
    bool newSession = false;
    bool detach = false;      // hand the program over to the user's session
    bool reportExit = false;  // ...through a waiter that reports its exit code
    const UserAccount* user = nullptr;
    std::string outputFile;  // empty: standard output and error stay the caller's
};

}  // namespace

// ---- ProcessHandle ------------------------------------------------------------------------

// Impl is a started process, or a transient service of the user's manager (child empty).
struct ProcessHandle::Impl {
    ChildPtr child;
    std::unique_ptr<posix::ServiceWatch> service;
};

ProcessHandle::ProcessHandle() = default;
ProcessHandle::ProcessHandle(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
ProcessHandle::~ProcessHandle() {
    Close();
}
ProcessHandle::ProcessHandle(ProcessHandle&&) noexcept = default;
ProcessHandle& ProcessHandle::operator=(ProcessHandle&& other) noexcept {
    if (this != &other) {
        Close();
        impl_ = std::move(other.impl_);
    }
    return *this;
}

bool ProcessHandle::IsValid() const {
    return impl_ != nullptr;
}

std::uint32_t ProcessHandle::Pid() const {
    return impl_ && impl_->child ? static_cast<std::uint32_t>(impl_->child->pid) : 0;
}

bool ProcessHandle::Wait(std::uint32_t timeoutMs, std::uint32_t& exitCode) {
    if (!impl_) {
        return false;
    }
    if (impl_->service) {
        return impl_->service->Wait(timeoutMs, exitCode) == SysError::SUCCESS;
    }
    ChildState& child = *impl_->child;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(child.mutex);
            if (child.TryReapLocked()) {
                exitCode = child.exitCode;
                return true;
            }
        }
        int waitMs = -1;
        if (timeoutMs != kInfiniteWait) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) {
                return false;
            }
            waitMs = static_cast<int>(std::min<std::int64_t>(left.count(), INT_MAX));
        }
        const int endFd = child.statusFd.Valid() ? child.statusFd.Get() : child.pidfd.Get();
        if (endFd >= 0) {
            pollfd fd{endFd, POLLIN, 0};
            ::poll(&fd, 1, waitMs);
        } else {
            const int sliceMs = waitMs < 0 ? 10 : std::min(waitMs, 10);
            const timespec slice{0, sliceMs * 1000000L};
            ::nanosleep(&slice, nullptr);
        }
    }
}

bool ProcessHandle::IsRunning() {
    if (impl_ && impl_->service) {
        return !impl_->service->HasEnded();
    }
    return impl_ != nullptr && !impl_->child->TryReap();
}

bool ProcessHandle::Terminate(std::uint32_t /*exitCode*/) {
    if (!impl_ || !impl_->child) {
        return false;  // a service belongs to the user's manager
    }
    ChildState& child = *impl_->child;
    std::lock_guard<std::mutex> lock(child.mutex);
    if (child.TryReapLocked()) {
        return false;
    }
    if (!child.ownChild && child.pidfd.Valid()) {
        // Not our child: its number may be reused once it ends, its pidfd never is.
        return ::syscall(SYS_pidfd_send_signal, child.pidfd.Get(), SIGKILL, nullptr, 0) == 0;
    }
    // The pid cannot have been reused: it stays ours until reaped.
    return ::kill(child.pid, SIGKILL) == 0;
}

void ProcessHandle::Close() {
    if (impl_) {
        if (impl_->child) {
            ProcessThread::Instance().Detach(std::move(impl_->child));
        }
        impl_.reset();
    }
}

// ---- ProcessGroup -------------------------------------------------------------------------

namespace {

struct ProcEntry {
    pid_t pid = 0;
    pid_t ppid = 0;
    pid_t group = 0;
    pid_t session = 0;
    char state = '?';
};

bool ReadProcEntry(pid_t pid, ProcEntry& entry) {
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(pid));
    UniqueFd fd(::open(path, O_RDONLY | O_CLOEXEC));
    if (!fd.Valid()) {
        return false;
    }
    char text[1024];
    const ssize_t n = ::read(fd.Get(), text, sizeof text - 1);
    if (n <= 0) {
        return false;
    }
    text[n] = '\0';
    // "pid (comm) state ppid pgrp session ...": comm may hold anything, even ") ".
    const char* close = std::strrchr(text, ')');
    int ppid = 0;
    int group = 0;
    int session = 0;
    if (close == nullptr ||
        std::sscanf(close + 1, " %c %d %d %d", &entry.state, &ppid, &group, &session) != 4) {
        return false;
    }
    entry.pid = pid;
    entry.ppid = ppid;
    entry.group = group;
    entry.session = session;
    return true;
}

std::vector<ProcEntry> ScanProcesses() {
    std::vector<ProcEntry> entries;
    std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir("/proc"), &::closedir);
    if (!dir) {
        return entries;
    }
    while (const dirent* item = ::readdir(dir.get())) {
        char* end = nullptr;
        const long pid = std::strtol(item->d_name, &end, 10);
        ProcEntry entry;
        if (*end == '\0' && pid > 0 && ReadProcEntry(static_cast<pid_t>(pid), entry)) {
            entries.push_back(entry);
        }
    }
    return entries;
}

bool IsDead(const ProcEntry& entry) {
    return entry.state == 'Z' || entry.state == 'X';
}

// Victims are the living processes of the given sessions and process groups, and every
// descendant of them or of the roots.
std::vector<pid_t> Victims(const std::vector<ProcEntry>& entries, const std::set<pid_t>& roots,
                           const std::set<pid_t>& sessions) {
    std::set<pid_t> marked(roots);
    for (const ProcEntry& entry : entries) {
        if (sessions.count(entry.session) != 0 || sessions.count(entry.group) != 0) {
            marked.insert(entry.pid);
        }
    }
    for (bool grown = true; grown;) {
        grown = false;
        for (const ProcEntry& entry : entries) {
            if (marked.count(entry.pid) == 0 && marked.count(entry.ppid) != 0) {
                marked.insert(entry.pid);
                grown = true;
            }
        }
    }
    std::vector<pid_t> victims;
    const pid_t self = ::getpid();
    for (const ProcEntry& entry : entries) {
        if (marked.count(entry.pid) != 0 && !IsDead(entry) && entry.pid != self && entry.pid != 1) {
            victims.push_back(entry.pid);
        }
    }
    return victims;
}

void SleepMs(long ms) {
    const timespec pause{0, ms * 1000000L};
    ::nanosleep(&pause, nullptr);
}

}  // namespace

struct ProcessGroup::Impl {
    std::mutex mutex;
    bool open = false;
    std::vector<ChildPtr> members;

    // Add makes child a member; false when the group was closed meanwhile.
    bool Add(ChildPtr child) {
        std::lock_guard<std::mutex> lock(mutex);
        if (!open) {
            return false;
        }
        members.push_back(std::move(child));
        return true;
    }

    // KillMembers ends every member's session, process group and descendants. A member that
    // was already reaped no longer owns its number: its session is ours only while no
    // process carries that number again.
    void KillMembers(const std::vector<ChildPtr>& list) {
        std::set<pid_t> roots;
        std::set<pid_t> reapedSessions;
        for (const ChildPtr& child : list) {
            std::lock_guard<std::mutex> lock(child->mutex);
            (child->reaped ? reapedSessions : roots).insert(child->pid);
        }
        std::map<pid_t, UniqueFd> signalled;  // to wait for their end
        for (int pass = 0; pass < 200; ++pass) {
            const std::vector<ProcEntry> entries = ScanProcesses();
            std::set<pid_t> sessions(roots);
            for (pid_t session : reapedSessions) {
                const bool reused =
                    std::any_of(entries.begin(), entries.end(),
                                [&](const ProcEntry& e) { return e.pid == session; });
                if (!reused) {
                    sessions.insert(session);
                }
            }
            const std::vector<pid_t> victims = Victims(entries, roots, sessions);
            if (victims.empty()) {
                break;
            }
            for (pid_t pid : victims) {
                if (signalled.count(pid) == 0) {
                    signalled.emplace(
                        pid, UniqueFd(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0))));
                }
                ::kill(pid, SIGKILL);
            }
            SleepMs(pass < 10 ? 1 : 10);
        }
        WaitForEnd(signalled);
    }

    // WaitForEnd waits until everything that was killed has ended: a process orphaned in
    // the middle of its death drops out of the scan before it is gone.
    static void WaitForEnd(const std::map<pid_t, UniqueFd>& signalled) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        for (const auto& [pid, pidfd] : signalled) {
            for (;;) {
                const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                    deadline - std::chrono::steady_clock::now());
                if (left.count() <= 0) {
                    return;
                }
                if (pidfd.Valid()) {
                    pollfd fd{pidfd.Get(), POLLIN, 0};
                    ::poll(&fd, 1, static_cast<int>(left.count()));
                    break;
                }
                ProcEntry entry;
                if (!ReadProcEntry(pid, entry) || IsDead(entry)) {
                    break;
                }
                SleepMs(1);
            }
        }
    }
};

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
    impl_ = std::make_unique<Impl>();
    impl_->open = true;
    return SysError::SUCCESS;
}

bool ProcessGroup::IsOpen() const {
    if (!impl_) {
        return false;
    }
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->open;
}

void ProcessGroup::Close() {
    if (!impl_) {
        return;
    }
    std::vector<ChildPtr> members;
    {
        std::lock_guard<std::mutex> lock(impl_->mutex);
        impl_->open = false;
        members.swap(impl_->members);
    }
    impl_->KillMembers(members);
    impl_.reset();
}

// ---- launching ----------------------------------------------------------------------------

namespace {

// Pipes are the error pipe (read and write ends) and /dev/null for the child's input, all
// above the standard descriptors.
struct Pipes {
    UniqueFd readEnd;
    UniqueFd writeEnd;
    UniqueFd nullFd;
    UniqueFd outputFd;    // the plan's output file, when it names one
    UniqueFd statusRead;  // the waiter's status pipe, when the exit code is reported
    UniqueFd statusWrite;
};

std::uint32_t OpenStatusPipe(Pipes& pipes) {
    int pipeFds[2] = {-1, -1};
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) {
        return ErrorFromErrno(errno);
    }
    pipes.statusRead = AboveStdio(pipeFds[0]);
    pipes.statusWrite = AboveStdio(pipeFds[1]);
    if (!pipes.statusRead.Valid() || !pipes.statusWrite.Valid()) {
        return ErrorFromErrno(errno);
    }
    return SysError::SUCCESS;
}

std::uint32_t OpenPipes(Pipes& pipes) {
    int pipeFds[2] = {-1, -1};
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) {
        return ErrorFromErrno(errno);
    }
    pipes.readEnd = AboveStdio(pipeFds[0]);
    pipes.writeEnd = AboveStdio(pipeFds[1]);
    pipes.nullFd = AboveStdio(::open("/dev/null", O_RDONLY | O_CLOEXEC));
    if (!pipes.readEnd.Valid() || !pipes.writeEnd.Valid() || !pipes.nullFd.Valid()) {
        return ErrorFromErrno(errno);
    }
    return SysError::SUCCESS;
}

std::uint32_t OpenOutput(const std::string& path, Pipes& pipes) {
    if (path.empty()) {
        return SysError::SUCCESS;
    }
    pipes.outputFd = AboveStdio(
        ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOFOLLOW, 0640));
    return pipes.outputFd.Valid() ? SysError::SUCCESS : ErrorFromErrno(errno);
}

ChildPlan MakeChildPlan(const LaunchPlan& plan, const Pipes& pipes, bool inGroup) {
    ChildPlan child;
    child.workingDirectory =
        plan.workingDirectory.empty() ? nullptr : plan.workingDirectory.c_str();
    child.errorFd = pipes.writeEnd.Get();
    child.nullFd = pipes.nullFd.Get();
    child.outputFd = pipes.outputFd.Valid() ? pipes.outputFd.Get() : -1;
    const long openMax = ::sysconf(_SC_OPEN_MAX);
    child.maxFd = openMax > 0 && openMax < 65536 ? static_cast<int>(openMax) : 65536;
    child.newSession = plan.newSession || plan.detach;
    child.detach = plan.detach && !inGroup;
    child.statusFd = child.detach && pipes.statusWrite.Valid() ? pipes.statusWrite.Get() : -1;
    if (plan.user != nullptr) {
        child.switchUser = true;
        child.uid = plan.user->uid;
        child.gid = plan.user->gid;
        child.groups = plan.user->groups.data();
        child.groupCount = plan.user->groups.size();
    }
    child.dieWithParent = inGroup;
    child.parent = ::getpid();
    return child;
}

bool ReadReport(int fd, ChildReport& report) {
    ssize_t n = 0;
    do {
        n = ::read(fd, &report, sizeof report);
    } while (n < 0 && errno == EINTR);
    return n == static_cast<ssize_t>(sizeof report);
}

void ReapNow(pid_t pid) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
}

// Collect reads how the start went: nothing before end of file means the program runs. A
// break-away launch first reports the program's pid, and its intermediate is reaped here.
std::uint32_t Collect(pid_t forked, int readFd, ChildState& state) {
    ChildReport report{};
    bool failed = ReadReport(readFd, report);
    if (failed && report.stage == static_cast<int>(ChildStage::Detached)) {
        ReapNow(forked);
        state.pid = static_cast<pid_t>(report.error);
        state.ownChild = false;
        failed = ReadReport(readFd, report);
    } else {
        state.pid = forked;
    }
    if (failed) {
        if (state.ownChild) {
            ReapNow(forked);
        }
        return ErrorOfReport(report);
    }
    return SysError::SUCCESS;
}

std::uint32_t Spawn(const LaunchPlan& plan, ProcessGroup* group, ProcessHandle& out) {
    out.Close();
    if (plan.argv.empty() || plan.argv.front().empty()) {
        return SysError::INVALID_PARAMETER;
    }
    if (group != nullptr && !group->IsOpen()) {
        return SysError::INVALID_PARAMETER;
    }
    std::string path;
    if (!ResolveProgram(plan.argv.front(), PathOf(plan.env), path)) {
        return SysError::FILE_NOT_FOUND;
    }
    const CStrings argv(plan.argv);
    const CStrings envp(plan.env);
    Pipes pipes;
    if (const std::uint32_t error = OpenPipes(pipes); error != SysError::SUCCESS) {
        return error;
    }
    if (const std::uint32_t error = OpenOutput(plan.outputFile, pipes);
        error != SysError::SUCCESS) {
        return error;
    }
    if (plan.reportExit && plan.detach && group == nullptr) {
        if (const std::uint32_t error = OpenStatusPipe(pipes); error != SysError::SUCCESS) {
            return error;
        }
    }
    ChildPlan child = MakeChildPlan(plan, pipes, group != nullptr);
    child.path = path.c_str();
    child.argv = argv.Get();
    child.envp = envp.Get();

    pid_t pid = -1;
    int forkError = 0;
    ProcessThread::Instance().Run([&] {
        pid = ::fork();
        if (pid == 0) {
            RunChild(child);
        }
        forkError = errno;
    });
    if (pid < 0) {
        return ErrorFromErrno(forkError);
    }
    pipes.writeEnd.Reset();
    pipes.statusWrite.Reset();

    auto state = std::make_shared<ChildState>();
    if (const std::uint32_t error = Collect(pid, pipes.readEnd.Get(), *state);
        error != SysError::SUCCESS) {
        return error;
    }
    state->statusFd = std::move(pipes.statusRead);
    // Called directly: the C library's header for it lacks C linkage in this glibc.
    state->pidfd.Reset(static_cast<int>(::syscall(SYS_pidfd_open, state->pid, 0)));
    if (group != nullptr && !group->Get()->Add(state)) {
        ::kill(state->pid, SIGKILL);
        ProcessThread::Instance().Detach(std::move(state));
        return SysError::OPERATION_ABORTED;
    }
    auto impl = std::make_unique<ProcessHandle::Impl>();
    impl->child = std::move(state);
    out = ProcessHandle(std::move(impl));
    return SysError::SUCCESS;
}

}  // namespace

std::uint32_t LaunchAsSessionUser(const LaunchOptions& options, ProcessGroup* group,
                                  ProcessHandle& out, LaunchFailure* failure) {
    LaunchFailure ignored = LaunchFailure::None;
    LaunchFailure& step = failure != nullptr ? *failure : ignored;
    step = LaunchFailure::Creation;
    out.Close();
    if (options.argv.empty()) {
        return SysError::INVALID_PARAMETER;
    }
    SessionRecord session;
    UserAccount account;
    const bool root = ::geteuid() == 0;
    if (!FindSession(options.sessionId, session) || session.user.empty() ||
        !LookupUser(session.user, account) || (!root && account.uid != ::geteuid())) {
        // Only root may act for another user.
        step = LaunchFailure::Token;
        return SysError::NO_TOKEN;
    }
    LaunchPlan plan;
    plan.argv = options.argv;
    plan.env = UserEnvironment(account, session, options.extraEnvironment);
    plan.workingDirectory =
        options.workingDirectory.empty() ? account.home : options.workingDirectory;
    plan.newSession = options.newGroup || group != nullptr;
    plan.detach = options.breakAwayFromJob && group == nullptr;
    plan.reportExit = options.reportExit;
    plan.user = root ? &account : nullptr;
    const std::uint32_t error = Spawn(plan, group, out);
    if (error == SysError::NO_TOKEN) {
        step = LaunchFailure::Token;  // the user switch itself was refused
    } else if (error == SysError::SUCCESS) {
        step = LaunchFailure::None;
    }
    return error;
}

std::uint32_t LaunchAsSelf(const std::vector<std::string>& argv, ProcessGroup* group,
                           ProcessHandle& out) {
    LaunchPlan plan;
    plan.argv = argv;
    plan.env = OwnEnvironment();
    plan.newSession = group != nullptr;
    return Spawn(plan, group, out);
}

namespace {

// HandOverToManager offers a handed-over program to the caller's own service manager:
// SUCCESS when the manager runs it (out then follows the unit when the exit code is
// wanted), else the program is to be started by the caller.
std::uint32_t HandOverToManager(const LaunchPlan& plan, ProcessHandle& out, std::string& unit) {
    posix::TransientService service;
    if (!ResolveProgram(plan.argv.front(), PathOf(plan.env), service.path)) {
        return SysError::FILE_NOT_FOUND;
    }
    service.argv = plan.argv;
    service.env = plan.env;
    service.workingDirectory = plan.workingDirectory;
    if (!plan.reportExit) {
        return posix::StartTransientService(service, unit);
    }
    std::unique_ptr<posix::ServiceWatch> watch;
    const std::uint32_t error = posix::StartWatchedService(service, watch);
    if (error == SysError::SUCCESS) {
        unit = watch->Unit();
        auto impl = std::make_unique<ProcessHandle::Impl>();
        impl->service = std::move(watch);
        out = ProcessHandle(std::move(impl));
    }
    return error;
}

}  // namespace

std::uint32_t LaunchAsSelf(const LaunchOptions& options, ProcessGroup* group, ProcessHandle& out,
                           std::string* serviceUnit) {
    if (serviceUnit != nullptr) {
        serviceUnit->clear();
    }
    out.Close();
    LaunchPlan plan;
    plan.argv = options.argv;
    plan.env = OwnEnvironment();
    AddEntries(plan.env, options.extraEnvironment);
    plan.workingDirectory = options.workingDirectory;
    plan.newSession = options.newGroup || group != nullptr;
    plan.detach = options.breakAwayFromJob && group == nullptr;
    plan.outputFile = options.outputFile;
    plan.reportExit = options.reportExit;
    if (plan.detach && !plan.argv.empty() && !plan.argv.front().empty()) {
        std::string unit;
        const std::uint32_t error = HandOverToManager(plan, out, unit);
        if (error == SysError::SUCCESS) {
            if (serviceUnit != nullptr) {
                *serviceUnit = unit;
            }
            return SysError::SUCCESS;
        }
        if (error == SysError::FILE_NOT_FOUND) {
            return error;
        }
        // No manager, or it refused the unit: the program still starts, on its own.
    }
    return Spawn(plan, group, out);
}

bool AdoptSessionEnvironment() {
    std::vector<std::string> env;
    if (!posix::UserManagerEnvironment(env)) {
        return false;
    }
    for (const std::string& entry : env) {
        const std::size_t equals = entry.find('=');
        ::setenv(entry.substr(0, equals).c_str(), entry.substr(equals + 1).c_str(), 1);
    }
    return true;
}

}  // namespace platform
