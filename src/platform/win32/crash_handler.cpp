#include "platform/crash_handler.h"

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <mutex>

#include "platform/crash_text.h"
#include "platform/event_log.h"
#include "platform/win32/win_text.h"

namespace platform {

namespace {

constexpr std::size_t kReportSize = 2048;

// What the filter uses is prepared beforehand; the filter itself only reads these.
std::atomic<HANDLE> gLogFile{INVALID_HANDLE_VALUE};
HANDLE gRetiredLogFile = INVALID_HANDLE_VALUE;  // the one before, under gInstallMutex
std::atomic<HANDLE> gEventSource{nullptr};
std::atomic<bool> gReporting{false};
std::mutex gInstallMutex;  // between InstallCrashHandler and SetCrashLogPath, never the filter

// EventSource keeps the event source registered for the life of the process.
struct EventSource {
    ~EventSource() {
        if (HANDLE source = gEventSource.exchange(nullptr); source != nullptr) {
            ::DeregisterEventSource(source);
        }
    }
};

const char* ExceptionName(DWORD code) {
    switch (code) {
        case EXCEPTION_ACCESS_VIOLATION:
            return "EXCEPTION_ACCESS_VIOLATION";
        case EXCEPTION_DATATYPE_MISALIGNMENT:
            return "EXCEPTION_DATATYPE_MISALIGNMENT";
        case EXCEPTION_BREAKPOINT:
            return "EXCEPTION_BREAKPOINT";
        case EXCEPTION_SINGLE_STEP:
            return "EXCEPTION_SINGLE_STEP";
        case EXCEPTION_IN_PAGE_ERROR:
            return "EXCEPTION_IN_PAGE_ERROR";
        case EXCEPTION_ILLEGAL_INSTRUCTION:
            return "EXCEPTION_ILLEGAL_INSTRUCTION";
        case EXCEPTION_NONCONTINUABLE_EXCEPTION:
            return "EXCEPTION_NONCONTINUABLE_EXCEPTION";
        case EXCEPTION_INVALID_DISPOSITION:
            return "EXCEPTION_INVALID_DISPOSITION";
        case EXCEPTION_FLT_DENORMAL_OPERAND:
            return "EXCEPTION_FLT_DENORMAL_OPERAND";
        case EXCEPTION_FLT_DIVIDE_BY_ZERO:
            return "EXCEPTION_FLT_DIVIDE_BY_ZERO";
        case EXCEPTION_FLT_INEXACT_RESULT:
            return "EXCEPTION_FLT_INEXACT_RESULT";
        case EXCEPTION_FLT_INVALID_OPERATION:
            return "EXCEPTION_FLT_INVALID_OPERATION";
        case EXCEPTION_FLT_OVERFLOW:
            return "EXCEPTION_FLT_OVERFLOW";
        case EXCEPTION_FLT_STACK_CHECK:
            return "EXCEPTION_FLT_STACK_CHECK";
        case EXCEPTION_FLT_UNDERFLOW:
            return "EXCEPTION_FLT_UNDERFLOW";
        case EXCEPTION_INT_DIVIDE_BY_ZERO:
            return "EXCEPTION_INT_DIVIDE_BY_ZERO";
        case EXCEPTION_INT_OVERFLOW:
            return "EXCEPTION_INT_OVERFLOW";
        case EXCEPTION_PRIV_INSTRUCTION:
            return "EXCEPTION_PRIV_INSTRUCTION";
        case EXCEPTION_STACK_OVERFLOW:
            return "EXCEPTION_STACK_OVERFLOW";
        case EXCEPTION_ARRAY_BOUNDS_EXCEEDED:
            return "EXCEPTION_ARRAY_BOUNDS_EXCEEDED";
        default:
            return "UNKNOWN EXCEPTION";
    }
}

const char* Operation(ULONG_PTR kind) {
    switch (kind) {
        case 0:
            return "read";
        case 1:
            return "write";
        case 8:
            return "user-mode data execution prevention (DEP) violation";
        default:
            return "unknown";
    }
}

void WriteAll(HANDLE file, const char* data, std::size_t length) {
    while (file != nullptr && file != INVALID_HANDLE_VALUE && length > 0) {
        DWORD written = 0;
        if (!::WriteFile(file, data, static_cast<DWORD>(length), &written, nullptr) ||
            written == 0) {
            return;
        }
        data += written;
        length -= written;
    }
}

void ReportEvent(const CrashText& text) {
    const HANDLE source = gEventSource.load();
    if (source == nullptr) {
        return;
    }
    wchar_t wide[kReportSize];
    win32::Utf8ToWide(text.Data(), text.Length(), wide, kReportSize);
    const wchar_t* strings[1] = {wide};
    ::ReportEventW(source, EVENTLOG_ERROR_TYPE, kEventCategoryReporting, kEventIdText, nullptr, 1,
                   0, strings, nullptr);
}

// AddModule names the module that holds address, and its base address.
void AddModule(const void* address, CrashText& text) {
    HMODULE module = nullptr;
    wchar_t wide[MAX_PATH] = {};
    char path[3 * MAX_PATH] = "?";
    if (::GetModuleHandleExW(
            GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
            static_cast<LPCWSTR>(address), &module) &&
        ::GetModuleFileNameW(module, wide, MAX_PATH) != 0) {
        win32::WideToUtf8(wide, path, sizeof path);
    } else {
        module = nullptr;
    }
    text.Add(" inside ").Add(path).Add(" loaded at base address 0x");
    text.Hex(reinterpret_cast<std::uintptr_t>(module)).Add("\n");
}

void BuildReport(const EXCEPTION_RECORD& record, CrashText& text) {
    text.Add("!EX![Main]SE [").Add(ExceptionName(record.ExceptionCode)).Add("] at address 0x");
    text.Hex(reinterpret_cast<std::uintptr_t>(record.ExceptionAddress));
    AddModule(record.ExceptionAddress, text);
    const bool accessFault = record.ExceptionCode == EXCEPTION_ACCESS_VIOLATION;
    const bool pageFault = record.ExceptionCode == EXCEPTION_IN_PAGE_ERROR;
    if ((accessFault || pageFault) && record.NumberParameters >= 2) {
        text.Add("Invalid operation: ").Add(Operation(record.ExceptionInformation[0]));
        text.Add(" at address 0x").Hex(record.ExceptionInformation[1]).Add("\n");
    }
    if (pageFault && record.NumberParameters >= 3) {
        text.Add("Underlying NTSTATUS code that resulted in the exception ");
        text.Decimal(record.ExceptionInformation[2]).Add("\n");
    }
}

LONG WINAPI CrashFilter(EXCEPTION_POINTERS* pointers) {
    if (gReporting.exchange(true)) {
        // Another thread is reporting its own fault; it ends the process when done.
        ::Sleep(INFINITE);
    }
    char buffer[kReportSize];
    CrashText text(buffer, sizeof buffer);
    BuildReport(*pointers->ExceptionRecord, text);
    WriteAll(gLogFile.load(), text.Data(), text.Length());
    WriteAll(::GetStdHandle(STD_ERROR_HANDLE), text.Data(), text.Length());
    ReportEvent(text);
    return EXCEPTION_EXECUTE_HANDLER;
}

}  // namespace

bool InstallCrashHandler() {
    static EventSource registration;
    std::lock_guard<std::mutex> lock(gInstallMutex);
    if (gEventSource.load() == nullptr) {
        gEventSource.store(
            ::RegisterEventSourceW(nullptr, win32::Utf8ToWide(kEventSourceName).c_str()));
    }
    ::SetUnhandledExceptionFilter(&CrashFilter);
    return true;
}

bool SetCrashLogPath(const std::string& path) {
    HANDLE file = INVALID_HANDLE_VALUE;
    if (!path.empty()) {
        file = ::CreateFileW(win32::Utf8ToWide(path).c_str(), FILE_APPEND_DATA,
                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                             OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE) {
            return false;
        }
    }
    std::lock_guard<std::mutex> lock(gInstallMutex);
    // The replaced handle is closed only at the next change (a day later): a filter that
    // loaded it just before the swap still writes to a valid handle of the old file.
    if (gRetiredLogFile != INVALID_HANDLE_VALUE) {
        ::CloseHandle(gRetiredLogFile);
    }
    gRetiredLogFile = gLogFile.exchange(file);
    return true;
}

// The filter of a stack overflow runs on what is left of the thread's stack; the guarantee
// keeps enough of it for the filter's text.
ThreadCrashStack::ThreadCrashStack() {
    ULONG guarantee = 32 * 1024;
    installed_ = ::SetThreadStackGuarantee(&guarantee) != 0;
}

ThreadCrashStack::~ThreadCrashStack() = default;

}  // namespace platform
