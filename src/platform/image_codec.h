// image_codec.h: the image decoding and encoding that inline icons need: Base64 data, the
// common image formats (PNG, JPEG, GIF, BMP), scaling, and PNG output.
//
// Every system: stb_image, stb_image_resize and stb_image_write (Debian's libstb headers;
// the Windows build compiles their implementation). Base64: OpenSSL's decoder on POSIX,
// CryptStringToBinaryA on Windows, both held to the strict alphabet.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace platform {

// RgbaImage holds 8-bit red, green, blue, alpha pixels, row by row from the top.
struct RgbaImage {
    int width = 0;
    int height = 0;
    std::vector<std::uint8_t> pixels;  // width * height * 4 bytes
};

// DecodeBase64 decodes standard Base64 (RFC 4648 alphabet, "=" padding, no blanks); false
// for anything else, and for empty data.
bool DecodeBase64(const std::string& text, std::vector<std::uint8_t>& bytes);

// ReadImageSize reads an encoded image's dimensions from its header, without decoding it,
// so that a huge image can be refused before any pixel memory is taken. False when the
// bytes are no known image format.
bool ReadImageSize(const std::vector<std::uint8_t>& bytes, int& width, int& height);

// DecodeImage decodes the bytes to RGBA; false when they are no image it can read.
bool DecodeImage(const std::vector<std::uint8_t>& bytes, RgbaImage& image);

// ScaleImage resamples image to width x height (each at least 1).
bool ScaleImage(const RgbaImage& image, int width, int height, RgbaImage& scaled);

// EncodePng gives the PNG file bytes of the image.
bool EncodePng(const RgbaImage& image, std::vector<std::uint8_t>& png);

}  // namespace platform
