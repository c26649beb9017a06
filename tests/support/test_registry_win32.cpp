// The Windows side of the test registry: HKEY_LOCAL_MACHINE redirected, for this process, to
// a scratch key below HKEY_CURRENT_USER (RegOverridePredefKey), so that the registry port's
// own calls on HKEY_LOCAL_MACHINE read and write it without rights on the machine's keys.
// Both views of the scratch key are the same key: the tests write the 64-bit one.
#include <windows.h>

#include <atomic>

#include "support/test_registry.h"

namespace vl_test {
namespace {

std::wstring Wide(const std::string& text) {
    if (text.empty()) {
        return {};
    }
    const int size =
        ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring out(static_cast<std::size_t>(size), L'\0');
    ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), size);
    return out;
}

struct KeyCloser {
    void operator()(HKEY key) const { ::RegCloseKey(key); }
};
using UniqueKey = std::unique_ptr<std::remove_pointer_t<HKEY>, KeyCloser>;

UniqueKey CreateKey(HKEY parent, const std::wstring& path) {
    HKEY key = nullptr;
    if (::RegCreateKeyExW(parent, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                          nullptr) != ERROR_SUCCESS) {
        return nullptr;
    }
    return UniqueKey(key);
}

bool WriteKey(HKEY scratch, const RegistryKeyData& data) {
    const UniqueKey key = CreateKey(scratch, Wide(data.path));
    if (!key) {
        return false;
    }
    bool ok = true;
    for (const auto& [name, value] : data.strings) {
        const std::wstring text = Wide(value);
        ok = ok && ::RegSetValueExW(key.get(), Wide(name).c_str(), 0, REG_SZ,
                                    reinterpret_cast<const BYTE*>(text.c_str()),
                                    static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t))) ==
                       ERROR_SUCCESS;
    }
    for (const auto& [name, value] : data.dwords) {
        const DWORD number = value;
        ok = ok && ::RegSetValueExW(key.get(), Wide(name).c_str(), 0, REG_DWORD,
                                    reinterpret_cast<const BYTE*>(&number),
                                    sizeof number) == ERROR_SUCCESS;
    }
    return ok;
}

}  // namespace

struct TestRegistry::Impl {
    std::wstring path;  // below HKEY_CURRENT_USER
    UniqueKey scratch;
};

TestRegistry::TestRegistry(const TempDir&) : impl_(std::make_unique<Impl>()) {
    static std::atomic<unsigned> counter{0};
    impl_->path = L"Software\\VantaroLauncherTests\\" + std::to_wstring(::GetCurrentProcessId()) +
                  L"_" + std::to_wstring(counter.fetch_add(1));
    impl_->scratch = CreateKey(HKEY_CURRENT_USER, impl_->path);
    if (!impl_->scratch) {
        why_ = "no scratch key for the registry";
    } else if (::RegOverridePredefKey(HKEY_LOCAL_MACHINE, impl_->scratch.get()) != ERROR_SUCCESS) {
        why_ = "HKEY_LOCAL_MACHINE cannot be redirected";
    }
}

TestRegistry::~TestRegistry() {
    ::RegOverridePredefKey(HKEY_LOCAL_MACHINE, nullptr);
    impl_->scratch.reset();
    ::RegDeleteTreeW(HKEY_CURRENT_USER, impl_->path.c_str());
    ::RegDeleteKeyW(HKEY_CURRENT_USER, impl_->path.c_str());
}

bool TestRegistry::Replace(const std::vector<RegistryKeyData>& keys) {
    if (!impl_->scratch || ::RegDeleteTreeW(impl_->scratch.get(), nullptr) != ERROR_SUCCESS) {
        return false;
    }
    for (const RegistryKeyData& key : keys) {
        if (!WriteKey(impl_->scratch.get(), key)) {
            return false;
        }
    }
    return true;
}

bool TestRegistry::MakeUnreadable() {
    // The redirection keeps its own handle of the deleted key.
    return impl_->scratch && ::RegDeleteTreeW(impl_->scratch.get(), nullptr) == ERROR_SUCCESS &&
           ::RegDeleteKeyW(HKEY_CURRENT_USER, impl_->path.c_str()) == ERROR_SUCCESS;
}

}  // namespace vl_test
