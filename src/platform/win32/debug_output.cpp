#include "platform/debug_output.h"

#include <windows.h>

#include "platform/win32/win_text.h"

namespace platform {

void WriteDebugOutput(const std::string& line) {
    ::OutputDebugStringW(win32::Widen(line + "\r\n").c_str());
}

}  // namespace platform
