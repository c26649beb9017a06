#include "platform/shell_link.h"

// shobjidl.h and shlguid.h need the declarations of windows.h before them.
// clang-format off
#include <windows.h>
#include <shlguid.h>
#include <shobjidl.h>
// clang-format on

#include <vector>

#include "platform/sys_error.h"
#include "platform/win32/com_ptr.h"
#include "platform/win32/win_text.h"

namespace platform {

namespace {

using win32::ComApartment;
using win32::ComPtr;

// The longest texts a link holds: the shell's own limit for arguments and descriptions.
constexpr int kLinkTextChars = 32768;

std::uint32_t Code(HRESULT result) {
    return static_cast<std::uint32_t>(result);
}

// OpenLink makes the shell's link object and its file interface.
HRESULT OpenLink(ComPtr<IShellLinkW>& link, ComPtr<IPersistFile>& file) {
    HRESULT result = ::CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER,
                                        IID_IShellLinkW, reinterpret_cast<void**>(link.Out()));
    if (SUCCEEDED(result)) {
        result = link.As(file);
    }
    return result;
}

HRESULT Describe(IShellLinkW& link, const ShellLink& text) {
    HRESULT result = link.SetPath(win32::Utf8ToWide(text.target).c_str());
    if (SUCCEEDED(result)) {
        result = link.SetArguments(win32::Utf8ToWide(text.arguments).c_str());
    }
    if (SUCCEEDED(result)) {
        result = link.SetWorkingDirectory(win32::Utf8ToWide(text.workingFolder).c_str());
    }
    if (SUCCEEDED(result)) {
        result = link.SetDescription(win32::Utf8ToWide(text.description).c_str());
    }
    if (SUCCEEDED(result) && !text.iconPath.empty()) {
        result = link.SetIconLocation(win32::Utf8ToWide(text.iconPath).c_str(), text.iconIndex);
    }
    return result;
}

HRESULT Read(IShellLinkW& link, ShellLink& text) {
    std::vector<wchar_t> buffer(kLinkTextChars);
    const int size = kLinkTextChars;
    const auto take = [&buffer](HRESULT result, std::string& out) {
        if (SUCCEEDED(result)) {
            out = win32::WideToUtf8(buffer.data());
        }
        return result;
    };
    HRESULT result = take(link.GetPath(buffer.data(), size, nullptr, SLGP_RAWPATH), text.target);
    if (SUCCEEDED(result)) {
        result = take(link.GetArguments(buffer.data(), size), text.arguments);
    }
    if (SUCCEEDED(result)) {
        result = take(link.GetWorkingDirectory(buffer.data(), size), text.workingFolder);
    }
    if (SUCCEEDED(result)) {
        result = take(link.GetDescription(buffer.data(), size), text.description);
    }
    int index = 0;
    if (SUCCEEDED(result)) {
        result = take(link.GetIconLocation(buffer.data(), size, &index), text.iconPath);
        text.iconIndex = index;
    }
    return result;
}

}  // namespace

std::uint32_t SaveShellLink(const std::string& path, const ShellLink& link) {
    const ComApartment apartment;
    ComPtr<IShellLinkW> shellLink;
    ComPtr<IPersistFile> file;
    HRESULT result = OpenLink(shellLink, file);
    if (SUCCEEDED(result)) {
        result = Describe(*shellLink.Get(), link);
    }
    if (SUCCEEDED(result)) {
        result = file->Save(win32::Utf8ToWide(path).c_str(), TRUE);
    }
    return SUCCEEDED(result) ? SysError::SUCCESS : Code(result);
}

std::uint32_t LoadShellLink(const std::string& path, ShellLink& link) {
    const ComApartment apartment;
    ComPtr<IShellLinkW> shellLink;
    ComPtr<IPersistFile> file;
    HRESULT result = OpenLink(shellLink, file);
    if (SUCCEEDED(result)) {
        result = file->Load(win32::Utf8ToWide(path).c_str(), STGM_READ);
    }
    if (SUCCEEDED(result)) {
        result = Read(*shellLink.Get(), link);
    }
    return SUCCEEDED(result) ? SysError::SUCCESS : Code(result);
}

}  // namespace platform
