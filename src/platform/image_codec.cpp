#include "platform/image_codec.h"

#include <stb_image.h>
#include <stb_image_resize.h>
#include <stb_image_write.h>

#include <cstdint>
#include <memory>

// Decoding, scaling and PNG output are stb's on every system; only Base64 is the backend's.

namespace platform {

namespace {

constexpr int kChannels = 4;

bool FitsInt(std::size_t size) {
    return size <= static_cast<std::size_t>(INT32_MAX);
}

}  // namespace

bool ReadImageSize(const std::vector<std::uint8_t>& bytes, int& width, int& height) {
    int channels = 0;
    return !bytes.empty() && FitsInt(bytes.size()) &&
           ::stbi_info_from_memory(bytes.data(), static_cast<int>(bytes.size()), &width, &height,
                                   &channels) == 1;
}

bool DecodeImage(const std::vector<std::uint8_t>& bytes, RgbaImage& image) {
    if (bytes.empty() || !FitsInt(bytes.size())) {
        return false;
    }
    int channels = 0;
    std::unique_ptr<stbi_uc, decltype(&::stbi_image_free)> pixels(
        ::stbi_load_from_memory(bytes.data(), static_cast<int>(bytes.size()), &image.width,
                                &image.height, &channels, kChannels),
        &::stbi_image_free);
    if (!pixels) {
        return false;
    }
    const std::size_t size =
        static_cast<std::size_t>(image.width) * static_cast<std::size_t>(image.height) * kChannels;
    image.pixels.assign(pixels.get(), pixels.get() + size);
    return true;
}

bool ScaleImage(const RgbaImage& image, int width, int height, RgbaImage& scaled) {
    if (width < 1 || height < 1 || image.pixels.empty()) {
        return false;
    }
    scaled.width = width;
    scaled.height = height;
    scaled.pixels.assign(
        static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * kChannels, 0);
    return ::stbir_resize_uint8(image.pixels.data(), image.width, image.height, 0,
                                scaled.pixels.data(), width, height, 0, kChannels) == 1;
}

bool EncodePng(const RgbaImage& image, std::vector<std::uint8_t>& png) {
    png.clear();
    const auto append = [](void* context, void* data, int size) {
        auto* out = static_cast<std::vector<std::uint8_t>*>(context);
        const auto* bytes = static_cast<const std::uint8_t*>(data);
        out->insert(out->end(), bytes, bytes + size);
    };
    return ::stbi_write_png_to_func(append, &png, image.width, image.height, kChannels,
                                    image.pixels.data(), image.width * kChannels) == 1;
}

}  // namespace platform
