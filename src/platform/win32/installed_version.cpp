#include "platform/installed_version.h"

#include <windows.h>

#include "platform/win32/win_text.h"

namespace platform {
namespace {

// The upgrade code of the launcher's installer package.
constexpr const wchar_t* kUpgradeCode = L"{6F3A1C52-8E4B-4D7A-9B21-3C5E7D9A0B14}";

using EnumRelatedProductsFn = UINT(WINAPI*)(LPCWSTR, DWORD, DWORD, LPWSTR);
using GetProductInfoFn = UINT(WINAPI*)(LPCWSTR, LPCWSTR, LPWSTR, LPDWORD);

struct Library {
    HMODULE handle;
    explicit Library(const wchar_t* name) : handle(::LoadLibraryW(name)) {}
    ~Library() {
        if (handle != nullptr) {
            ::FreeLibrary(handle);
        }
    }
    Library(const Library&) = delete;
    Library& operator=(const Library&) = delete;
};

template <typename Fn>
Fn Resolve(HMODULE module, const char* name) {
    return reinterpret_cast<Fn>(reinterpret_cast<void*>(::GetProcAddress(module, name)));
}

}  // namespace

std::string InstalledLauncherVersion() {
    // The installer library is loaded at run time so that the daemon starts on machines
    // where it is missing, and links without its import library.
    Library msi(L"msi.dll");
    if (msi.handle == nullptr) {
        return {};
    }
    auto enumRelated = Resolve<EnumRelatedProductsFn>(msi.handle, "MsiEnumRelatedProductsW");
    auto productInfo = Resolve<GetProductInfoFn>(msi.handle, "MsiGetProductInfoW");
    if (enumRelated == nullptr || productInfo == nullptr) {
        return {};
    }
    wchar_t product[39] = {};
    if (enumRelated(kUpgradeCode, 0, 0, product) != ERROR_SUCCESS) {
        return {};
    }
    wchar_t second[39] = {};
    if (enumRelated(kUpgradeCode, 0, 1, second) == ERROR_SUCCESS) {
        ::lstrcpynW(product, second, 39);
    }
    wchar_t version[64] = {};
    DWORD size = 64;
    if (productInfo(product, L"VersionString", version, &size) != ERROR_SUCCESS) {
        return {};
    }
    return win32::WideToUtf8(version, static_cast<int>(size));
}

}  // namespace platform
