#include "platform/image_codec.h"

// clang-format off
#include <windows.h>
#include <wincrypt.h>
// clang-format on

#include <cstdint>

// Base64 through the system's CryptStringToBinaryA; the images themselves are decoded in the
// portable image_codec.cpp.

namespace platform {

bool DecodeBase64(const std::string& text, std::vector<std::uint8_t>& bytes) {
    if (text.empty() || text.size() % 4 != 0 || text.size() > MAXDWORD) {
        return false;
    }
    // The system's decoder skips blanks and line breaks: only the strict alphabet passes here.
    const std::size_t padding = text.size() - text.find_last_not_of('=') - 1;
    if (padding > 2 || text.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"
                                              "0123456789+/") != text.size() - padding) {
        return false;
    }
    DWORD size = static_cast<DWORD>(text.size() / 4 * 3);
    bytes.assign(size, 0);
    if (!::CryptStringToBinaryA(text.data(), static_cast<DWORD>(text.size()), CRYPT_STRING_BASE64,
                                bytes.data(), &size, nullptr, nullptr)) {
        bytes.clear();
        return false;
    }
    bytes.resize(size);
    return !bytes.empty();
}

}  // namespace platform
