// win_text.h: conversions between the daemon's 8-bit texts and the UTF-16 of the Windows
// calls, shared by the win32 backends only.
//
// Two families: Utf8ToWide/WideToUtf8 for texts that travel as UTF-8 (JSON, URLs, registry
// names, paths handed over by the core), Widen/Narrow for texts in the ANSI code page.
#pragma once

#include <windows.h>

#include <string>

namespace platform::win32 {

namespace detail {

inline std::wstring ToWide(UINT codePage, const std::string& text) {
    if (text.empty()) {
        return {};
    }
    const int size = static_cast<int>(text.size());
    const int n = ::MultiByteToWideChar(codePage, 0, text.data(), size, nullptr, 0);
    std::wstring out(static_cast<std::size_t>(n > 0 ? n : 0), L'\0');
    if (n > 0) {
        ::MultiByteToWideChar(codePage, 0, text.data(), size, out.data(), n);
    }
    return out;
}

// FromWide converts `length` characters, or up to the terminator when `length` is negative.
inline std::string FromWide(UINT codePage, const wchar_t* text, int length) {
    if (text == nullptr || length == 0) {
        return {};
    }
    const int n = ::WideCharToMultiByte(codePage, 0, text, length, nullptr, 0, nullptr, nullptr);
    if (n <= 0) {
        return {};
    }
    std::string out(static_cast<std::size_t>(n), '\0');
    ::WideCharToMultiByte(codePage, 0, text, length, out.data(), n, nullptr, nullptr);
    if (length < 0 && !out.empty() && out.back() == '\0') {
        out.pop_back();
    }
    return out;
}

}  // namespace detail

inline std::wstring Utf8ToWide(const std::string& text) {
    return detail::ToWide(CP_UTF8, text);
}

inline std::string WideToUtf8(const wchar_t* text, int length = -1) {
    return detail::FromWide(CP_UTF8, text, length);
}

inline std::string WideToUtf8(const std::wstring& text) {
    return WideToUtf8(text.c_str(), static_cast<int>(text.size()));
}

inline std::wstring Widen(const std::string& text) {
    return detail::ToWide(CP_ACP, text);
}

inline std::string Narrow(const wchar_t* text, int length = -1) {
    return detail::FromWide(CP_ACP, text, length);
}

inline std::string Narrow(const std::wstring& text) {
    return Narrow(text.c_str(), static_cast<int>(text.size()));
}

}  // namespace platform::win32
