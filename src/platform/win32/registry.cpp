// The registry port over the Windows registry functions. Names cross the port as UTF-8.
#include "platform/registry.h"

#include <windows.h>

#include <mutex>

#include "platform/win32/win_text.h"

namespace platform {
namespace {

REGSAM ViewFlags(RegistryView view) {
    switch (view) {
        case RegistryView::Force32:
            return KEY_WOW64_32KEY;
        case RegistryView::Force64:
            return KEY_WOW64_64KEY;
        default:
            return 0;
    }
}

// MaxNameLength asks the longest sub-key or value name, for a buffer that was too short.
DWORD MaxNameLength(HKEY key, bool values) {
    DWORD maxSubkey = 0;
    DWORD maxValue = 0;
    ::RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, nullptr, &maxSubkey, nullptr, nullptr,
                       &maxValue, nullptr, nullptr, nullptr);
    return values ? maxValue : maxSubkey;
}

// EnumNames lists sub-key or value names from index 0 to the end, with a 255-character buffer
// that grows when a name does not fit.
std::uint32_t EnumNames(HKEY key, bool values, std::vector<std::string>& names) {
    names.clear();
    std::wstring buffer(256, L'\0');
    for (DWORD index = 0;; ++index) {
        DWORD length = static_cast<DWORD>(buffer.size());
        const LSTATUS rc = values ? ::RegEnumValueW(key, index, buffer.data(), &length, nullptr,
                                                    nullptr, nullptr, nullptr)
                                  : ::RegEnumKeyExW(key, index, buffer.data(), &length, nullptr,
                                                    nullptr, nullptr, nullptr);
        if (rc == ERROR_NO_MORE_ITEMS) {
            return ERROR_SUCCESS;
        }
        if (rc == ERROR_MORE_DATA) {
            const DWORD needed = MaxNameLength(key, values) + 1;
            buffer.assign(needed > buffer.size() ? needed : buffer.size() * 2, L'\0');
            --index;
            continue;
        }
        if (rc != ERROR_SUCCESS) {
            return static_cast<std::uint32_t>(rc);
        }
        names.push_back(win32::WideToUtf8(buffer.data(), static_cast<int>(length)));
    }
}

}  // namespace

struct RegistryKey::Impl {
    HKEY key = nullptr;

    ~Impl() {
        if (key != nullptr) {
            ::RegCloseKey(key);
        }
    }
};

RegistryKey::RegistryKey() = default;
RegistryKey::RegistryKey(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
RegistryKey::~RegistryKey() = default;
RegistryKey::RegistryKey(RegistryKey&&) noexcept = default;
RegistryKey& RegistryKey::operator=(RegistryKey&&) noexcept = default;

std::uint32_t RegistryKey::EnumSubkeys(std::vector<std::string>& names) const {
    names.clear();
    return impl_ ? EnumNames(impl_->key, false, names) : ERROR_INVALID_HANDLE;
}

std::uint32_t RegistryKey::EnumValues(std::vector<std::string>& names) const {
    names.clear();
    return impl_ ? EnumNames(impl_->key, true, names) : ERROR_INVALID_HANDLE;
}

std::uint32_t RegistryKey::QueryString(const std::string& name, std::string& value) const {
    if (!impl_) {
        return ERROR_INVALID_HANDLE;
    }
    const std::wstring wideName = win32::Utf8ToWide(name);
    DWORD type = 0;
    DWORD size = 0;
    LSTATUS rc = ::RegQueryValueExW(impl_->key, wideName.c_str(), nullptr, &type, nullptr, &size);
    if (rc != ERROR_SUCCESS) {
        return static_cast<std::uint32_t>(rc);
    }
    if (type != REG_SZ && type != REG_EXPAND_SZ) {
        return ERROR_INVALID_DATA;
    }
    // One spare character keeps a value stored without its terminating zero readable.
    std::wstring buffer(size / sizeof(wchar_t) + 1, L'\0');
    DWORD bufferSize = static_cast<DWORD>(buffer.size() * sizeof(wchar_t));
    rc = ::RegQueryValueExW(impl_->key, wideName.c_str(), nullptr, &type,
                            reinterpret_cast<BYTE*>(buffer.data()), &bufferSize);
    if (rc != ERROR_SUCCESS) {
        return static_cast<std::uint32_t>(rc);
    }
    std::size_t length = bufferSize / sizeof(wchar_t);
    while (length > 0 && buffer[length - 1] == L'\0') {
        --length;
    }
    value = win32::WideToUtf8(buffer.data(), static_cast<int>(length));
    return ERROR_SUCCESS;
}

std::uint32_t RegistryKey::SetString(const std::string& name, const std::string& value) {
    if (!impl_) {
        return ERROR_INVALID_HANDLE;
    }
    const std::wstring wideValue = win32::Utf8ToWide(value);
    const auto bytes = static_cast<DWORD>((wideValue.size() + 1) * sizeof(wchar_t));
    return static_cast<std::uint32_t>(
        ::RegSetValueExW(impl_->key, win32::Utf8ToWide(name).c_str(), 0, REG_SZ,
                         reinterpret_cast<const BYTE*>(wideValue.c_str()), bytes));
}

std::uint32_t RegistryKey::DeleteValue(const std::string& name) {
    if (!impl_) {
        return ERROR_INVALID_HANDLE;
    }
    return static_cast<std::uint32_t>(
        ::RegDeleteValueW(impl_->key, win32::Utf8ToWide(name).c_str()));
}

std::uint32_t RegistryKey::Close() {
    if (!impl_) {
        return ERROR_INVALID_HANDLE;
    }
    const LSTATUS rc = ::RegCloseKey(impl_->key);
    impl_->key = nullptr;
    impl_.reset();
    return static_cast<std::uint32_t>(rc);
}

RegistrySnapshot::RegistrySnapshot() = default;
RegistrySnapshot::~RegistrySnapshot() = default;

std::uint32_t OpenRegistryKey(RegistryRoot root, const std::string& path, RegistryView view,
                              RegistryAccess access, RegistryKey& key) {
    key = RegistryKey();
    if (root != RegistryRoot::LocalMachine) {
        return ERROR_INVALID_PARAMETER;
    }
    const REGSAM sam =
        (access == RegistryAccess::ReadWrite ? KEY_READ | KEY_WRITE : KEY_READ) | ViewFlags(view);
    auto impl = std::make_unique<RegistryKey::Impl>();
    const LSTATUS rc =
        ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, win32::Utf8ToWide(path).c_str(), 0, sam, &impl->key);
    if (rc != ERROR_SUCCESS) {
        impl->key = nullptr;
        return static_cast<std::uint32_t>(rc);
    }
    key = RegistryKey(std::move(impl));
    return ERROR_SUCCESS;
}

std::uint32_t CreateRegistryKey(RegistryRoot root, const std::string& path, RegistryView view,
                                RegistryKey& key) {
    key = RegistryKey();
    if (root != RegistryRoot::LocalMachine) {
        return ERROR_INVALID_PARAMETER;
    }
    auto impl = std::make_unique<RegistryKey::Impl>();
    const LSTATUS rc =
        ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, win32::Utf8ToWide(path).c_str(), 0, nullptr, 0,
                          KEY_READ | KEY_WRITE | ViewFlags(view), nullptr, &impl->key, nullptr);
    if (rc != ERROR_SUCCESS) {
        impl->key = nullptr;
        return static_cast<std::uint32_t>(rc);
    }
    key = RegistryKey(std::move(impl));
    return ERROR_SUCCESS;
}

std::uint32_t DeleteRegistryKey(RegistryRoot root, const std::string& path, RegistryView view) {
    if (root != RegistryRoot::LocalMachine || path.empty()) {
        return ERROR_INVALID_PARAMETER;
    }
    const std::wstring widePath = win32::Utf8ToWide(path);
    auto impl = std::make_unique<RegistryKey::Impl>();
    LSTATUS rc = ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, widePath.c_str(), 0,
                                 DELETE | KEY_READ | KEY_WRITE | ViewFlags(view), &impl->key);
    if (rc != ERROR_SUCCESS) {
        impl->key = nullptr;
        return static_cast<std::uint32_t>(rc);
    }
    // The tree call empties the key; the key itself goes with the view-aware call.
    rc = ::RegDeleteTreeW(impl->key, nullptr);
    impl.reset();
    if (rc != ERROR_SUCCESS) {
        return static_cast<std::uint32_t>(rc);
    }
    return static_cast<std::uint32_t>(
        ::RegDeleteKeyExW(HKEY_LOCAL_MACHINE, widePath.c_str(), ViewFlags(view), 0));
}

void SetRegistryIssueSink(RegistryIssueSink sink) {
    // The system registry has no text lines of its own to report; the sink is kept for symmetry.
    static std::mutex mutex;
    static RegistryIssueSink kept;
    std::lock_guard<std::mutex> lock(mutex);
    kept = std::move(sink);
}

std::string RegistryLocation() {
    return {};
}

bool SetRegistryLocation(const std::string&) {
    return false;
}

}  // namespace platform
