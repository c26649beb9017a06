// The Windows side of the test helpers: environment changes (the C runtime's copy, which
// getenv reads, and the process's, which children inherit).
#include <cstdlib>

#include "support/test_support.h"

namespace vl_test {

ScopedEnv::ScopedEnv(std::string name, const std::optional<std::string>& value)
    : name_(std::move(name)) {
    if (const char* old = std::getenv(name_.c_str()); old != nullptr) {
        old_ = old;
    }
    // An empty value removes the variable.
    ::_putenv_s(name_.c_str(), value.has_value() ? value->c_str() : "");
}

ScopedEnv::~ScopedEnv() {
    ::_putenv_s(name_.c_str(), old_.has_value() ? old_->c_str() : "");
}

}  // namespace vl_test
