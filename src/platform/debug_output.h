// debug_output.h: the debugger's output channel and the standard-output copy of the log.
#pragma once

#include <string>

namespace platform {

// WriteDebugOutput sends one line to an attached debugger; nothing on POSIX, where the
// standard-output copy of the log serves the same purpose.
void WriteDebugOutput(const std::string& line);

// WriteStandardOutput writes text to standard output unbuffered, in one call where the
// system takes it whole, so that a line reaches a pipe or a terminal in one piece and none is
// left in a buffer when the process is killed.
void WriteStandardOutput(const std::string& text);

}  // namespace platform
