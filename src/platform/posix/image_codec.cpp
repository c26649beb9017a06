#include "platform/image_codec.h"

#include <openssl/evp.h>

#include <cstdint>

// Base64 through OpenSSL; the images themselves are decoded in the portable image_codec.cpp.

namespace platform {

bool DecodeBase64(const std::string& text, std::vector<std::uint8_t>& bytes) {
    if (text.empty() || text.size() % 4 != 0 || text.size() > static_cast<std::size_t>(INT32_MAX)) {
        return false;
    }
    const std::size_t padding = text.size() - text.find_last_not_of('=') - 1;
    if (padding > 2 || text.find('=') < text.size() - padding) {
        return false;
    }
    bytes.assign(text.size() / 4 * 3, 0);
    const int written =
        ::EVP_DecodeBlock(bytes.data(), reinterpret_cast<const unsigned char*>(text.data()),
                          static_cast<int>(text.size()));
    if (written < 0 || static_cast<std::size_t>(written) != bytes.size()) {
        return false;
    }
    bytes.resize(bytes.size() - padding);  // EVP_DecodeBlock counts the padding as zeros
    return !bytes.empty();
}

}  // namespace platform
