#pragma once

// Independent decodings for comparing our codecs' pixels: libpng for reference PNG
// renderings, ImageMagick's convert (to a binary PPM) where no rendering exists.
#include <cstdint>
#include <string>
#include <vector>

namespace reference_images {

struct RGBImage {
    int width = 0;
    int height = 0;
    std::vector<uint8_t> rgb;  // rows top-down, 3 bytes per pixel
    bool empty() const { return width == 0; }
};

// Decodes a PNG with libpng to 8-bit RGB (palette and grey expanded, alpha and
// 16-bit precision dropped). Empty on failure.
RGBImage decodePng(const std::string& path);
// Decodes any image file with /usr/bin/convert into 8-bit RGB. Empty on failure.
RGBImage decodeWithConvert(const std::string& path);

// The first differing pixel as "x,y: ours r g b, reference r g b", or "" when equal.
std::string firstDifference(const RGBImage& ours, const RGBImage& reference);

}  // namespace reference_images
