#include "platform/debug_output.h"

#include <windows.h>

#include "platform/win32/win_text.h"

namespace platform {

void WriteDebugOutput(const std::string& line) {
    ::OutputDebugStringW(win32::Utf8ToWide(line + "\r\n").c_str());
}

void WriteStandardOutput(const std::string& text) {
    const HANDLE output = ::GetStdHandle(STD_OUTPUT_HANDLE);
    if (output == nullptr || output == INVALID_HANDLE_VALUE) {
        return;  // a service has no console
    }
    std::size_t written = 0;
    while (written < text.size()) {
        DWORD chunk = 0;
        const DWORD wanted = static_cast<DWORD>(text.size() - written);
        if (!::WriteFile(output, text.data() + written, wanted, &chunk, nullptr) || chunk == 0) {
            return;
        }
        written += chunk;
    }
}

}  // namespace platform
