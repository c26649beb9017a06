// The crash handler reports a fatal fault of the daemon in one text, then lets the process
// end as it would have without it:
//   "!EX![Main]SE [<name>] at address 0x<address> inside <module> loaded at base address
//   0x<base>\n" and, for access violations and in-page errors, "Invalid operation: <read |
//   write | user-mode data execution prevention (DEP) violation | unknown> at address
//   0x<data address>\n". Addresses are lower-case hexadecimal without leading zeros.
//
// The text is written once to each of the crash log file, standard error and the system's
// event log, straight from a fixed buffer and through handles opened beforehand: the handler
// takes no lock and never enters the logger, whose locks the faulting thread may hold.
//
// Windows: the unhandled-exception filter builds the text, writes it (WriteFile, and
// ReportEventW through an event source registered at install), then ends the process
// without the system's error dialog. A second thread that faults meanwhile waits for the
// first report to end the process.
//
// POSIX: a handler for SIGSEGV, SIGBUS, SIGILL, SIGFPE and SIGABRT, running on an alternate
// stack of the installing thread, builds the text with no allocation and writes it with
// write(2) to the crash log file, to standard error and to the system log socket: nothing
// but async-signal-safe calls may run in a signal handler. The module table (path and load
// address of the executable and every shared object) is captured at install time; code
// loaded later is reported inside "?". Signals are named after the Windows exceptions:
// SIGSEGV EXCEPTION_ACCESS_VIOLATION (EXCEPTION_STACK_OVERFLOW when the faulting address is
// next to the stack pointer), SIGBUS EXCEPTION_IN_PAGE_ERROR (EXCEPTION_DATATYPE_MISALIGNMENT
// for a misaligned access), SIGILL EXCEPTION_ILLEGAL_INSTRUCTION (EXCEPTION_PRIV_INSTRUCTION
// for a privileged one), SIGFPE after its code (EXCEPTION_INT_DIVIDE_BY_ZERO,
// EXCEPTION_INT_OVERFLOW, EXCEPTION_FLT_*), anything else "UNKNOWN EXCEPTION". Read or write
// is known on x86-64 from the page-fault error code, else "unknown". The handler then
// restores the default action and raises the signal again, so the process still dies by it.
// Every other thread gets its alternate stack from a ThreadCrashStack made at its entry;
// without one, a stack overflow on that thread dies without a report.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

namespace platform {

// InstallCrashHandler installs the handler. False when it cannot be installed.
bool InstallCrashHandler();

// SetCrashLogPath opens the file that the crash text is appended to (the current log file);
// the previous one is closed. An empty path closes it. False when the file cannot be opened.
bool SetCrashLogPath(const std::string& path);

// ThreadCrashStack gives the calling thread what the crash handler needs to report a stack
// overflow on it (POSIX: an alternate signal stack; Windows: a stack guarantee for the
// filter), for as long as it lives. Every thread the daemon starts makes one at its entry:
//   std::thread([] { platform::ThreadCrashStack crashStack; ... });
class ThreadCrashStack {
  public:
    ThreadCrashStack();
    ~ThreadCrashStack();
    ThreadCrashStack(const ThreadCrashStack&) = delete;
    ThreadCrashStack& operator=(const ThreadCrashStack&) = delete;

    // Installed is false when the system refused the stack (the thread then runs without).
    bool Installed() const { return installed_; }

  private:
    std::unique_ptr<std::byte[]> stack_;
    bool installed_ = false;
};

}  // namespace platform
