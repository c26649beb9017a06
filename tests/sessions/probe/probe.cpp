// vl_session_probe: the child process of the session tests.
//   report <out> <secret>     writes uid, gid, groups, cwd, environment, open descriptors
//                             and whether <secret> can be read, one "key=value" per line
//   exit <code>               exits with code
//   sleep                     sleeps until killed
//   tree <pidfile> <setsid>   starts a sleeping grandchild (in a session of its own when
//                             setsid is 1), writes its pid, then sleeps
//   crash <kind> <log>        installs the crash handler on <log> and crashes:
//                             write, read, divide, abort, thread-overflow
//   launch <session> <out>    tries to start /bin/true as the user of <session>; writes the
//                             error number
//   orphan <pidfile>          starts "sleep" in a process group, writes its pid, then dies
//                             at once as a crashed daemon would
//   spawn <pidfile> <away>    starts "sleep" (handed over to the user's session when away
//                             is 1), writes its pid, then sleeps, as a worker would
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/crash_handler.h"
#include "platform/process.h"

extern char** environ;

namespace {

std::string OpenDescriptors() {
    std::string list;
    DIR* dir = ::opendir("/proc/self/fd");
    if (dir == nullptr) {
        return "?";
    }
    while (const dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (name == "." || name == ".." || std::atoi(name.c_str()) == ::dirfd(dir)) {
            continue;
        }
        list += (list.empty() ? "" : ",") + name;
    }
    ::closedir(dir);
    return list;
}

int Report(const char* out, const char* secret) {
    const std::string descriptors = OpenDescriptors();  // before the report file is open
    std::ofstream file(out);
    file << "uid=" << ::getuid() << "\neuid=" << ::geteuid() << "\ngid=" << ::getgid() << "\n";
    std::vector<gid_t> groups(256);
    const int count = ::getgroups(static_cast<int>(groups.size()), groups.data());
    file << "groups=";
    for (int i = 0; i < count; ++i) {
        file << (i > 0 ? "," : "") << groups[static_cast<std::size_t>(i)];
    }
    char cwd[4096] = {};
    file << "\ncwd=" << (::getcwd(cwd, sizeof cwd) != nullptr ? cwd : "?") << "\n";
    file << "fds=" << descriptors << "\n";
    char input[4096] = {};
    const ssize_t length = ::readlink("/proc/self/fd/0", input, sizeof input - 1);
    file << "stdin=" << (length > 0 ? input : "?") << "\n";
    file << "secret=" << (std::ifstream(secret) ? "readable" : "denied") << "\n";
    file << "sid=" << ::getsid(0) << "\npid=" << ::getpid() << "\n";
    for (char** entry = environ; *entry != nullptr; ++entry) {
        file << "env:" << *entry << "\n";
    }
    return file ? 0 : 1;
}

int Tree(const char* pidFile, bool ownSession) {
    const pid_t child = ::fork();
    if (child == 0) {
        if (ownSession) {
            ::setsid();
        }
        for (;;) {
            ::pause();
        }
    }
    std::ofstream(pidFile) << child << "\n";
    for (;;) {
        ::pause();
    }
}

// Deeper calls until the stack runs out; the volatile test keeps the compiler from calling it
// endless or folding the frames away.
volatile bool gBottomless = true;
int Descend(int depth) {
    volatile char frame[512];
    frame[0] = static_cast<char>(depth);
    return gBottomless ? Descend(depth + 1) + frame[0] : depth;
}

// The faults are the point here: sanitizer builds must not stop them first.
__attribute__((no_sanitize("undefined"))) int Crash(const std::string& kind, const char* log) {
    platform::InstallCrashHandler();
    platform::SetCrashLogPath(log);
    // Volatile on both levels: the compiler can neither see the null pointer nor drop the
    // store as dead (an optimised build did).
    volatile int* volatile nowhere = nullptr;
    volatile int zero = 0;
    if (kind == "write") {
        *nowhere = 1;
    } else if (kind == "read") {
        return *nowhere;
    } else if (kind == "divide") {
        return 10 / zero;
    } else if (kind == "abort") {
        std::abort();
    } else if (kind == "thread-overflow") {
        // A thread of its own, as every thread of the daemon has its crash stack.
        std::thread([] {
            const platform::ThreadCrashStack crashStack;
            Descend(0);
        }).join();
    }
    return 2;
}

int Launch(const char* session, const char* out) {
    platform::LaunchOptions options;
    options.sessionId = static_cast<std::uint32_t>(std::strtoul(session, nullptr, 10));
    options.argv = {"/bin/true"};
    platform::ProcessHandle handle;
    const std::uint32_t error = platform::LaunchAsSessionUser(options, nullptr, handle);
    std::uint32_t exitCode = 0;
    if (error == 0) {
        handle.Wait(platform::kInfiniteWait, exitCode);
    }
    std::ofstream(out) << error << "\n";
    return 0;
}

int Orphan(const char* pidFile) {
    platform::ProcessGroup group;
    platform::ProcessHandle handle;
    if (group.Create() != 0 ||
        platform::LaunchAsSelf({"/proc/self/exe", "sleep"}, &group, handle) != 0) {
        return 1;
    }
    std::ofstream(pidFile) << handle.Pid() << "\n";
    ::_exit(0);  // no destructor runs: nothing closes the group
}

int Spawn(const char* pidFile, bool away) {
    platform::LaunchOptions options;
    options.argv = {"/proc/self/exe", "sleep"};
    options.breakAwayFromJob = away;
    platform::ProcessHandle handle;
    if (platform::LaunchAsSelf(options, nullptr, handle) != 0) {
        return 1;
    }
    std::ofstream(pidFile) << handle.Pid() << "\n";
    for (;;) {
        ::pause();
    }
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "report" && argc == 4) {
        return Report(argv[2], argv[3]);
    }
    if (mode == "exit" && argc == 3) {
        return std::atoi(argv[2]);
    }
    if (mode == "sleep") {
        for (;;) {
            ::pause();
        }
    }
    if (mode == "tree" && argc == 4) {
        return Tree(argv[2], std::string(argv[3]) == "1");
    }
    if (mode == "crash" && argc == 4) {
        return Crash(argv[2], argv[3]);
    }
    if (mode == "launch" && argc == 4) {
        return Launch(argv[2], argv[3]);
    }
    if (mode == "orphan" && argc == 3) {
        return Orphan(argv[2]);
    }
    if (mode == "spawn" && argc == 4) {
        return Spawn(argv[2], std::string(argv[3]) == "1");
    }
    std::fprintf(stderr,
                 "usage: vl_session_probe report|exit|sleep|tree|crash|launch|orphan|spawn ...\n");
    return 64;
}
