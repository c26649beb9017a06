#include "platform/digest.h"

#include <array>
#include <cctype>

namespace platform {

std::string DigestName(const std::string& algorithm) {
    std::string name;
    for (const char c : algorithm.empty() ? std::string("MD5") : algorithm) {
        if (c != '-') {
            name += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        }
    }
    static constexpr std::array<const char*, 5> kKnown = {"MD5", "SHA1", "SHA256", "SHA384",
                                                          "SHA512"};
    for (const char* known : kKnown) {
        if (name == known) {
            return name;
        }
    }
    return {};
}

}  // namespace platform
