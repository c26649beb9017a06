#include "platform/crash_handler.h"

#include <windows.h>

#include <cstdint>
#include <mutex>

#include "platform/win32/win_text.h"

namespace platform {

namespace {

struct CrashState {
    std::mutex mutex;
    CrashReport report;
    HANDLE logFile = INVALID_HANDLE_VALUE;
};

CrashState& State() {
    static CrashState state;
    return state;
}

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

std::string Hex(std::uintptr_t value) {
    static const char kDigits[] = "0123456789abcdef";
    std::string text;
    do {
        text.insert(text.begin(), kDigits[value & 0xF]);
        value >>= 4;
    } while (value != 0);
    return text;
}

void ModuleOf(const void* address, std::string& path, std::uintptr_t& base) {
    HMODULE module = nullptr;
    if (!::GetModuleHandleExW(
            GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
            static_cast<LPCWSTR>(address), &module)) {
        path = "?";
        base = 0;
        return;
    }
    wchar_t name[MAX_PATH] = {};
    ::GetModuleFileNameW(module, name, MAX_PATH);
    path = win32::WideToUtf8(name);
    base = reinterpret_cast<std::uintptr_t>(module);
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

std::string BuildReport(const EXCEPTION_RECORD& record) {
    std::string module;
    std::uintptr_t base = 0;
    ModuleOf(record.ExceptionAddress, module, base);
    std::string text = "!EX![Main]SE [";
    text += ExceptionName(record.ExceptionCode);
    text += "] at address 0x" + Hex(reinterpret_cast<std::uintptr_t>(record.ExceptionAddress));
    text += " inside " + module + " loaded at base address 0x" + Hex(base) + "\n";
    const bool accessFault = record.ExceptionCode == EXCEPTION_ACCESS_VIOLATION;
    const bool pageFault = record.ExceptionCode == EXCEPTION_IN_PAGE_ERROR;
    if ((accessFault || pageFault) && record.NumberParameters >= 2) {
        text += "Invalid operation: ";
        text += Operation(record.ExceptionInformation[0]);
        text += " at address 0x" + Hex(record.ExceptionInformation[1]) + "\n";
    }
    if (pageFault && record.NumberParameters >= 3) {
        text += "Underlying NTSTATUS code that resulted in the exception " +
                std::to_string(record.ExceptionInformation[2]) + "\n";
    }
    return text;
}

LONG WINAPI CrashFilter(EXCEPTION_POINTERS* pointers) {
    const std::string text = BuildReport(*pointers->ExceptionRecord);
    CrashReport report;
    {
        std::lock_guard<std::mutex> lock(State().mutex);
        DWORD written = 0;
        if (State().logFile != INVALID_HANDLE_VALUE) {
            ::WriteFile(State().logFile, text.data(), static_cast<DWORD>(text.size()), &written,
                        nullptr);
        }
        report = State().report;
    }
    if (report) {
        report(text);
    }
    return EXCEPTION_EXECUTE_HANDLER;
}

}  // namespace

bool InstallCrashHandler(CrashReport report) {
    {
        std::lock_guard<std::mutex> lock(State().mutex);
        State().report = std::move(report);
    }
    ::SetUnhandledExceptionFilter(&CrashFilter);
    return true;
}

bool SetCrashLogPath(const std::string& path) {
    HANDLE file = INVALID_HANDLE_VALUE;
    if (!path.empty()) {
        const std::wstring wide = win32::Utf8ToWide(path);
        file = ::CreateFileW(wide.c_str(), FILE_APPEND_DATA,
                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                             OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE) {
            return false;
        }
    }
    std::lock_guard<std::mutex> lock(State().mutex);
    if (State().logFile != INVALID_HANDLE_VALUE) {
        ::CloseHandle(State().logFile);
    }
    State().logFile = file;
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
