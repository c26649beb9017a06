#include "platform/url.h"

// clang-format off
#include <windows.h>
#include <winhttp.h>
// clang-format on

#include <cctype>
#include <string>

#include "platform/win32/win_text.h"

namespace platform {

namespace {

std::string Piece(const wchar_t* text, DWORD length) {
    return text != nullptr && length != 0 ? win32::WideToUtf8(text, static_cast<int>(length))
                                          : std::string();
}

// ExplicitPort is the port written after the host, if any: WinHttpCrackUrl reports the
// scheme's default port as well.
std::string ExplicitPort(const std::string& text, const std::string& host) {
    const std::size_t at = text.find(host, text.find("//"));
    if (at == std::string::npos || at + host.size() >= text.size() ||
        text[at + host.size()] != ':') {
        return {};
    }
    std::string port;
    for (std::size_t i = at + host.size() + 1;
         i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])); ++i) {
        port += text[i];
    }
    return port;
}

}  // namespace

bool ParseUrl(const std::string& text, UrlParts& parts) {
    const std::wstring wide = win32::Utf8ToWide(text);
    URL_COMPONENTS components{};
    components.dwStructSize = sizeof(components);
    components.dwSchemeLength = static_cast<DWORD>(-1);
    components.dwHostNameLength = static_cast<DWORD>(-1);
    components.dwUserNameLength = static_cast<DWORD>(-1);
    components.dwPasswordLength = static_cast<DWORD>(-1);
    components.dwUrlPathLength = static_cast<DWORD>(-1);
    if (wide.empty() ||
        !::WinHttpCrackUrl(wide.c_str(), static_cast<DWORD>(wide.size()), 0, &components) ||
        components.dwHostNameLength == 0) {
        return false;
    }
    UrlParts result;
    result.scheme = Piece(components.lpszScheme, components.dwSchemeLength);
    for (char& c : result.scheme) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    result.host = Piece(components.lpszHostName, components.dwHostNameLength);
    result.path = Piece(components.lpszUrlPath, components.dwUrlPathLength);
    result.hasUserInfo = components.dwUserNameLength != 0 || components.dwPasswordLength != 0 ||
                         text.find('@') < text.find('/', text.find("//") + 2);
    result.port = ExplicitPort(text, result.host);
    parts = std::move(result);
    return true;
}

}  // namespace platform
