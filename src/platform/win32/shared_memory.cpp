#include "platform/shared_memory.h"

// sddl.h needs the declarations of windows.h before it.
// clang-format off
#include <windows.h>
#include <sddl.h>
// clang-format on

#include <cstring>

#include "platform/sys_error.h"
#include "platform/win32/win_handle.h"
#include "platform/win32/win_text.h"

namespace platform {

namespace {

using win32::Handle;

// kBlockAccess gives the system account and administrators full access and interactive
// users read access.
constexpr const wchar_t* kBlockAccess = L"D:P(A;OICI;GA;;;SY)(A;OICI;GA;;;BA)(A;OICI;GR;;;IU)";

// View owns a mapped view.
class View {
  public:
    explicit View(void* address) : address_(address) {}
    ~View() {
        if (address_ != nullptr) {
            ::UnmapViewOfFile(address_);
        }
    }
    View(const View&) = delete;
    View& operator=(const View&) = delete;
    char* Get() const { return static_cast<char*>(address_); }

  private:
    void* address_;
};

}  // namespace

struct SharedMemoryWriter::Impl {
    Handle section;
    std::size_t size = 0;
};

SharedMemoryWriter::SharedMemoryWriter() = default;
SharedMemoryWriter::~SharedMemoryWriter() = default;
SharedMemoryWriter::SharedMemoryWriter(SharedMemoryWriter&&) noexcept = default;
SharedMemoryWriter& SharedMemoryWriter::operator=(SharedMemoryWriter&&) noexcept = default;

std::uint32_t SharedMemoryWriter::Create(const std::string& name, std::size_t size) {
    Close();
    if (name.empty() || size == 0) {
        return SysError::INVALID_PARAMETER;
    }
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(kBlockAccess, SDDL_REVISION_1,
                                                                &descriptor, nullptr)) {
        return ::GetLastError();
    }
    SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor, FALSE};
    auto impl = std::make_unique<Impl>();
    impl->size = size;
    impl->section.Reset(::CreateFileMappingW(INVALID_HANDLE_VALUE, &attributes, PAGE_READWRITE, 0,
                                             static_cast<DWORD>(size),
                                             win32::Utf8ToWide(name).c_str()));
    const DWORD error = ::GetLastError();
    ::LocalFree(descriptor);
    if (!impl->section.Valid()) {
        return error;
    }
    impl_ = std::move(impl);
    return SysError::SUCCESS;
}

bool SharedMemoryWriter::IsOpen() const {
    return impl_ != nullptr;
}

std::uint32_t SharedMemoryWriter::Write(std::string_view text) {
    if (!impl_) {
        return SysError::INVALID_HANDLE;
    }
    if (text.size() > impl_->size) {
        return SysError::INSUFFICIENT_BUFFER;
    }
    View view(::MapViewOfFile(impl_->section.Get(), FILE_MAP_ALL_ACCESS, 0, 0, impl_->size));
    if (view.Get() == nullptr) {
        return ::GetLastError();
    }
    std::memcpy(view.Get(), text.data(), text.size());
    std::memset(view.Get() + text.size(), 0, impl_->size - text.size());
    return SysError::SUCCESS;
}

void SharedMemoryWriter::Close() {
    impl_.reset();
}

std::uint32_t ReadSharedMemory(const std::string& name, std::size_t size, std::string& text) {
    text.clear();
    Handle section(::OpenFileMappingW(FILE_MAP_READ, FALSE, win32::Utf8ToWide(name).c_str()));
    if (!section.Valid()) {
        return ::GetLastError();
    }
    View view(::MapViewOfFile(section.Get(), FILE_MAP_READ, 0, 0, size));
    if (view.Get() == nullptr) {
        return ::GetLastError();
    }
    text.assign(view.Get(), strnlen(view.Get(), size));
    return SysError::SUCCESS;
}

}  // namespace platform
