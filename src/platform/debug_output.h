// debug_output.h: the debugger's output channel.
#pragma once

#include <string>

namespace platform {

// WriteDebugOutput sends one line to an attached debugger; nothing on POSIX, where the
// standard-output copy of the log serves the same purpose.
void WriteDebugOutput(const std::string& line);

}  // namespace platform
