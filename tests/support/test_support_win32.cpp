// The Windows side of the test helpers: environment changes (the C runtime's copy, which
// getenv reads, and the process's, which children inherit), processes by id.
#include <windows.h>

#include <cstdlib>
#include <memory>

#include "support/test_support.h"

namespace vl_test {

ScopedEnv::ScopedEnv(std::string name, const std::optional<std::string>& value)
    : name_(std::move(name)) {
    if (const char* old = std::getenv(name_.c_str()); old != nullptr) {
        old_ = old;
    }
    // An empty value removes the variable.
    ::_putenv_s(name_.c_str(), value.has_value() ? value->c_str() : "");
}

ScopedEnv::~ScopedEnv() {
    ::_putenv_s(name_.c_str(), old_.has_value() ? old_->c_str() : "");
}

namespace {

struct HandleCloser {
    void operator()(HANDLE handle) const { ::CloseHandle(handle); }
};
using UniqueHandle = std::unique_ptr<void, HandleCloser>;

}  // namespace

bool UnderWine() {
    const HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
    return ntdll != nullptr && ::GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

bool ProcessAlive(std::uint32_t pid) {
    const UniqueHandle process(::OpenProcess(SYNCHRONIZE, FALSE, pid));
    return process && ::WaitForSingleObject(process.get(), 0) == WAIT_TIMEOUT;
}

bool KillProcess(std::uint32_t pid) {
    const UniqueHandle process(::OpenProcess(PROCESS_TERMINATE, FALSE, pid));
    return process && ::TerminateProcess(process.get(), 1) != FALSE;
}

}  // namespace vl_test
