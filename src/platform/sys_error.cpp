#include "platform/sys_error.h"

namespace platform {

std::string SystemErrorMessage(std::uint32_t code) {
    std::string text;
    if (!TryFormatSystemMessage(code, text)) {
        return "error " + std::to_string(code);
    }
    return text;
}

}  // namespace platform
