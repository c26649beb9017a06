#include "platform/named_mutex.h"

#include <windows.h>

#include "platform/win32/win_handle.h"
#include "platform/win32/win_text.h"

namespace platform {

bool NamedMutexExists(const std::string& name, std::string* refusal) {
    if (refusal != nullptr) {
        refusal->clear();
    }
    const win32::Handle mutex(::OpenMutexW(SYNCHRONIZE, FALSE, win32::Utf8ToWide(name).c_str()));
    return mutex.Valid();
}

NamedMutexOwner::NamedMutexOwner(const std::string& name) {
    HANDLE mutex = ::CreateMutexW(nullptr, TRUE, win32::Utf8ToWide(name).c_str());
    if (mutex == nullptr) {
        return;
    }
    if (::GetLastError() == ERROR_ALREADY_EXISTS) {
        ::CloseHandle(mutex);
        return;
    }
    handle_ = reinterpret_cast<std::intptr_t>(mutex);
    owned_ = true;
}

NamedMutexOwner::~NamedMutexOwner() {
    if (owned_) {
        HANDLE mutex = reinterpret_cast<HANDLE>(handle_);
        ::ReleaseMutex(mutex);
        ::CloseHandle(mutex);
    }
}

}  // namespace platform
