#include "platform/debug_output.h"

namespace platform {

void WriteDebugOutput(const std::string& /*line*/) {}

}  // namespace platform
