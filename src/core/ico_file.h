// IcoFileBytes lays out a single-image icon file: a 6-byte header (reserved 0, type 1,
// count 1), one 16-byte directory entry (width and height, 0 meaning 256; colour count 0;
// reserved 0; 1 plane; 32 bits; the image data's size; its offset, 22), then the image
// data: a 40-byte bitmap information header whose height is twice the icon's and whose
// image size is the colour bitmap's plus the mask's, the 32-bit colour rows (blue, green,
// red, alpha) from the bottom up, and the 1-bit mask rows (padded to 32 bits) from the
// bottom up, a set bit marking a transparent pixel.
#pragma once

#include <cstdint>
#include <vector>

// IcoFileBytes takes RGBA pixels, rows from the top; sides from 1 to 256. Empty for other
// sizes.
std::vector<std::uint8_t> IcoFileBytes(int width, int height,
                                       const std::vector<std::uint8_t>& rgba);
