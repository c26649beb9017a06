// win_text.h: conversions between the daemon's texts and the UTF-16 of the Windows calls,
// shared by the win32 backends only.
//
// Every text of the daemon is UTF-8 (JSON, URLs, registry names, paths, log lines); the
// backends call the wide (W) functions only and convert at that boundary with this one
// pair. The ANSI code page is never involved: it cannot hold every name a user may have.
// Bytes that are not UTF-8 become U+FFFD.
#pragma once

#include <windows.h>

#include <cstddef>
#include <string>

namespace platform::win32 {

// Utf8ToWide converts into a caller's buffer without allocating (for the crash filter):
// at most capacity - 1 characters and a terminator; the count written (0 when the text
// does not fit whole).
inline std::size_t Utf8ToWide(const char* text, std::size_t length, wchar_t* out,
                              std::size_t capacity) {
    if (capacity == 0) {
        return 0;
    }
    const int n = length == 0 ? 0
                              : ::MultiByteToWideChar(CP_UTF8, 0, text, static_cast<int>(length),
                                                      out, static_cast<int>(capacity - 1));
    const std::size_t count = n > 0 ? static_cast<std::size_t>(n) : 0;
    out[count] = L'\0';
    return count;
}

inline std::wstring Utf8ToWide(const std::string& text) {
    if (text.empty()) {
        return {};
    }
    const int size = static_cast<int>(text.size());
    const int n = ::MultiByteToWideChar(CP_UTF8, 0, text.data(), size, nullptr, 0);
    std::wstring out(static_cast<std::size_t>(n > 0 ? n : 0), L'\0');
    if (n > 0) {
        ::MultiByteToWideChar(CP_UTF8, 0, text.data(), size, out.data(), n);
    }
    return out;
}

// WideToUtf8 converts `length` characters, or up to the terminator when `length` is negative.
inline std::string WideToUtf8(const wchar_t* text, int length = -1) {
    if (text == nullptr || length == 0) {
        return {};
    }
    const int n = ::WideCharToMultiByte(CP_UTF8, 0, text, length, nullptr, 0, nullptr, nullptr);
    if (n <= 0) {
        return {};
    }
    std::string out(static_cast<std::size_t>(n), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, text, length, out.data(), n, nullptr, nullptr);
    if (length < 0 && !out.empty() && out.back() == '\0') {
        out.pop_back();
    }
    return out;
}

// WideToUtf8 into a caller's buffer, without allocating: the terminated text converted up
// to its terminator, cut where it does not fit; the bytes written, 0 when nothing fit.
inline std::size_t WideToUtf8(const wchar_t* text, char* out, std::size_t capacity) {
    if (capacity == 0) {
        return 0;
    }
    const int n = ::WideCharToMultiByte(CP_UTF8, 0, text, -1, out, static_cast<int>(capacity),
                                        nullptr, nullptr);
    if (n > 0) {
        return static_cast<std::size_t>(n - 1);
    }
    out[0] = '\0';  // a text too long for the buffer is left out rather than cut
    return 0;
}

inline std::string WideToUtf8(const std::wstring& text) {
    return WideToUtf8(text.c_str(), static_cast<int>(text.size()));
}

}  // namespace platform::win32
