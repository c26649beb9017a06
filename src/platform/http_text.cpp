#include "platform/http_text.h"

#include <algorithm>

namespace platform {

bool CleanText(std::string_view text) {
    return text.find_first_of(std::string_view("\r\n\0", 3)) == std::string_view::npos;
}

bool ValidHeaderName(std::string_view name) {
    constexpr std::string_view kSeparators = "()<>@,;:\\\"/[]?={} \t";
    return !name.empty() && std::all_of(name.begin(), name.end(), [&](unsigned char c) {
        return c > ' ' && c < 0x7f && kSeparators.find(static_cast<char>(c)) == kSeparators.npos;
    });
}

}  // namespace platform
