#include "platform/debug_output.h"

#include <unistd.h>

#include <cerrno>

namespace platform {

void WriteDebugOutput(const std::string& /*line*/) {}

void WriteStandardOutput(const std::string& text) {
    std::size_t written = 0;
    while (written < text.size()) {
        const ssize_t n = ::write(STDOUT_FILENO, text.data() + written, text.size() - written);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return;  // a closed or full output loses its copy, never the daemon
        }
        written += static_cast<std::size_t>(n);
    }
}

}  // namespace platform
