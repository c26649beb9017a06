#include "platform/image_codec.h"

namespace platform {

// Inline icons are not decoded on Windows yet: each call fails, and the shortcut request
// answers that its icon is unusable.

bool DecodeBase64(const std::string&, std::vector<std::uint8_t>&) {
    return false;
}

bool ReadImageSize(const std::vector<std::uint8_t>&, int&, int&) {
    return false;
}

bool DecodeImage(const std::vector<std::uint8_t>&, RgbaImage&) {
    return false;
}

bool ScaleImage(const RgbaImage&, int, int, RgbaImage&) {
    return false;
}

bool EncodePng(const RgbaImage&, std::vector<std::uint8_t>&) {
    return false;
}

}  // namespace platform
