#include "platform/crash_handler.h"

#include <fcntl.h>
#include <link.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <ucontext.h>
#include <unistd.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <mutex>

#include "platform/crash_text.h"

namespace platform {

namespace {

constexpr int kFatalSignals[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT};
constexpr std::size_t kMaxModules = 256;
constexpr std::size_t kModulePathSize = 256;
constexpr std::uintptr_t kStackOverflowDistance = 64 * 1024;

struct Module {
    std::uintptr_t start;
    std::uintptr_t end;
    char path[kModulePathSize];
};

// Everything the handler reads is prepared at install time in static storage.
Module gModules[kMaxModules];
std::size_t gModuleCount = 0;
constexpr std::size_t kAltStackSize = 64 * 1024;
alignas(16) char gAltStack[kAltStackSize];
std::atomic<int> gLogFd{-1};  // a fixed number; SetCrashLogPath swaps the file under it
int gSyslogFd = -1;
char gSyslogPrefix[64];
std::size_t gSyslogPrefixLength = 0;
std::mutex gInstallMutex;

void WriteAll(int fd, const char* data, std::size_t length) {
    while (fd >= 0 && length > 0) {
        const ssize_t n = ::write(fd, data, length);
        if (n <= 0) {
            return;
        }
        data += n;
        length -= static_cast<std::size_t>(n);
    }
}

// ---- what the fault was -------------------------------------------------------------------

std::uintptr_t ProgramCounter(const ucontext_t* context) {
#if defined(__x86_64__)
    return static_cast<std::uintptr_t>(context->uc_mcontext.gregs[REG_RIP]);
#elif defined(__aarch64__)
    return static_cast<std::uintptr_t>(context->uc_mcontext.pc);
#else
    (void)context;
    return 0;
#endif
}

std::uintptr_t StackPointer(const ucontext_t* context) {
#if defined(__x86_64__)
    return static_cast<std::uintptr_t>(context->uc_mcontext.gregs[REG_RSP]);
#elif defined(__aarch64__)
    return static_cast<std::uintptr_t>(context->uc_mcontext.sp);
#else
    (void)context;
    return 0;
#endif
}

// Operation reads the access kind from the x86-64 page-fault error code: bit 1 is a write,
// bit 4 an instruction fetch.
const char* Operation(const ucontext_t* context) {
#if defined(__x86_64__)
    const auto error = static_cast<std::uint64_t>(context->uc_mcontext.gregs[REG_ERR]);
    if ((error & 0x10) != 0) {
        return "user-mode data execution prevention (DEP) violation";
    }
    return (error & 0x2) != 0 ? "write" : "read";
#else
    (void)context;
    return "unknown";
#endif
}

bool NearStack(std::uintptr_t address, std::uintptr_t sp) {
    const std::uintptr_t distance = address > sp ? address - sp : sp - address;
    return sp != 0 && distance < kStackOverflowDistance;
}

const char* FpeName(int code) {
    switch (code) {
        case FPE_INTDIV:
            return "EXCEPTION_INT_DIVIDE_BY_ZERO";
        case FPE_INTOVF:
            return "EXCEPTION_INT_OVERFLOW";
        case FPE_FLTDIV:
            return "EXCEPTION_FLT_DIVIDE_BY_ZERO";
        case FPE_FLTOVF:
            return "EXCEPTION_FLT_OVERFLOW";
        case FPE_FLTUND:
            return "EXCEPTION_FLT_UNDERFLOW";
        case FPE_FLTRES:
            return "EXCEPTION_FLT_INEXACT_RESULT";
        case FPE_FLTINV:
            return "EXCEPTION_FLT_INVALID_OPERATION";
        case FPE_FLTSUB:
            return "EXCEPTION_ARRAY_BOUNDS_EXCEEDED";
        default:
            return "EXCEPTION_INT_DIVIDE_BY_ZERO";
    }
}

const char* ExceptionName(int sig, const siginfo_t* info, const ucontext_t* context) {
    switch (sig) {
        case SIGSEGV:
            return NearStack(reinterpret_cast<std::uintptr_t>(info->si_addr), StackPointer(context))
                       ? "EXCEPTION_STACK_OVERFLOW"
                       : "EXCEPTION_ACCESS_VIOLATION";
        case SIGBUS:
            return info->si_code == BUS_ADRALN ? "EXCEPTION_DATATYPE_MISALIGNMENT"
                                               : "EXCEPTION_IN_PAGE_ERROR";
        case SIGILL:
            return info->si_code == ILL_PRVOPC || info->si_code == ILL_PRVREG
                       ? "EXCEPTION_PRIV_INSTRUCTION"
                       : "EXCEPTION_ILLEGAL_INSTRUCTION";
        case SIGFPE:
            return FpeName(info->si_code);
        default:
            return "UNKNOWN EXCEPTION";
    }
}

const Module* ModuleAt(std::uintptr_t address) {
    for (std::size_t i = 0; i < gModuleCount; ++i) {
        if (address >= gModules[i].start && address < gModules[i].end) {
            return &gModules[i];
        }
    }
    return nullptr;
}

void BuildReport(int sig, const siginfo_t* info, const ucontext_t* context, CrashText& text) {
    const char* name = ExceptionName(sig, info, context);
    const std::uintptr_t pc = ProgramCounter(context);
    const Module* module = ModuleAt(pc);
    text.Add("!EX![Main]SE [").Add(name).Add("] at address 0x").Hex(pc);
    text.Add(" inside ").Add(module != nullptr ? module->path : "?");
    text.Add(" loaded at base address 0x").Hex(module != nullptr ? module->start : 0).Add("\n");
    const bool accessFault = sig == SIGSEGV && std::strcmp(name, "EXCEPTION_ACCESS_VIOLATION") == 0;
    const bool pageFault = sig == SIGBUS && std::strcmp(name, "EXCEPTION_IN_PAGE_ERROR") == 0;
    if (accessFault || pageFault) {
        text.Add("Invalid operation: ").Add(accessFault ? Operation(context) : "unknown");
        text.Add(" at address 0x").Hex(reinterpret_cast<std::uintptr_t>(info->si_addr)).Add("\n");
    }
}

void OnFatalSignal(int sig, siginfo_t* info, void* rawContext) {
    const int savedErrno = errno;
    char buffer[2048];
    CrashText text(buffer, sizeof buffer);
    BuildReport(sig, info, static_cast<const ucontext_t*>(rawContext), text);
    WriteAll(gLogFd.load(), text.Data(), text.Length());
    WriteAll(STDERR_FILENO, text.Data(), text.Length());
    if (gSyslogFd >= 0) {
        char line[2200];
        std::memcpy(line, gSyslogPrefix, gSyslogPrefixLength);
        std::size_t length = gSyslogPrefixLength;
        const std::size_t room = sizeof line - length;
        const std::size_t body = text.Length() < room ? text.Length() : room;
        std::memcpy(line + length, text.Data(), body);
        ::send(gSyslogFd, line, length + body, MSG_DONTWAIT | MSG_NOSIGNAL);
    }
    errno = savedErrno;
    // The action is back to the default (SA_RESETHAND): the signal raised again ends the
    // process as soon as this handler returns, faults and raised signals alike.
    ::raise(sig);
}

// ---- install-time preparation -------------------------------------------------------------

void CopyPath(char* target, const char* source) {
    std::strncpy(target, source, kModulePathSize - 1);
    target[kModulePathSize - 1] = '\0';
}

int AddModule(dl_phdr_info* info, std::size_t, void*) {
    if (gModuleCount == kMaxModules) {
        return 1;
    }
    std::uintptr_t start = UINTPTR_MAX;
    std::uintptr_t end = 0;
    for (int i = 0; i < info->dlpi_phnum; ++i) {
        const ElfW(Phdr)& header = info->dlpi_phdr[i];
        if (header.p_type != PT_LOAD) {
            continue;
        }
        const std::uintptr_t low = info->dlpi_addr + header.p_vaddr;
        start = low < start ? low : start;
        end = low + header.p_memsz > end ? low + header.p_memsz : end;
    }
    if (start >= end) {
        return 0;
    }
    Module& module = gModules[gModuleCount++];
    module.start = start & ~static_cast<std::uintptr_t>(0xFFF);
    module.end = end;
    if (info->dlpi_name != nullptr && info->dlpi_name[0] != '\0') {
        CopyPath(module.path, info->dlpi_name);
    } else {
        // The executable has no name in the list.
        char path[kModulePathSize] = {};
        const ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
        CopyPath(module.path, n > 0 ? path : "?");
    }
    return 0;
}

void OpenSyslog() {
    if (gSyslogFd >= 0) {
        return;
    }
    const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, "/dev/log", sizeof address.sun_path - 1);
    if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        if (fd >= 0) {
            ::close(fd);
        }
        return;
    }
    gSyslogFd = fd;
    // Facility daemon, severity error: <27>.
    char prefix[sizeof gSyslogPrefix];
    CrashText text(prefix, sizeof prefix);
    text.Add("<27>Vantaro Launcher[").Decimal(static_cast<unsigned long>(::getpid())).Add("]: ");
    std::memcpy(gSyslogPrefix, text.Data(), text.Length());
    gSyslogPrefixLength = text.Length();
}

}  // namespace

bool InstallCrashHandler() {
    std::lock_guard<std::mutex> lock(gInstallMutex);
    gModuleCount = 0;
    ::dl_iterate_phdr(&AddModule, nullptr);
    OpenSyslog();
    stack_t stack{};
    stack.ss_sp = gAltStack;
    stack.ss_size = kAltStackSize;
    if (::sigaltstack(&stack, nullptr) != 0) {
        return false;
    }
    struct sigaction action {};
    action.sa_sigaction = &OnFatalSignal;
    action.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_RESETHAND;
    sigemptyset(&action.sa_mask);
    for (int sig : kFatalSignals) {
        if (::sigaction(sig, &action, nullptr) != 0) {
            return false;
        }
    }
    return true;
}

bool SetCrashLogPath(const std::string& path) {
    std::lock_guard<std::mutex> lock(gInstallMutex);
    const int file = path.empty()
                         ? ::open("/dev/null", O_WRONLY | O_CLOEXEC)
                         : ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0640);
    if (file < 0) {
        return false;
    }
    const int current = gLogFd.load();
    if (current < 0) {
        gLogFd.store(file);
        return true;
    }
    // Replacing the file under the same number keeps the handler free of any race.
    const bool replaced = ::dup3(file, current, O_CLOEXEC) == current;
    ::close(file);
    return replaced;
}

ThreadCrashStack::ThreadCrashStack() : stack_(std::make_unique<std::byte[]>(kAltStackSize)) {
    stack_t stack{};
    stack.ss_sp = stack_.get();
    stack.ss_size = kAltStackSize;
    installed_ = ::sigaltstack(&stack, nullptr) == 0;
}

ThreadCrashStack::~ThreadCrashStack() {
    if (!installed_) {
        return;
    }
    // The memory goes with this object: the thread must not keep pointing at it.
    stack_t disable{};
    disable.ss_flags = SS_DISABLE;
    ::sigaltstack(&disable, nullptr);
}

}  // namespace platform
