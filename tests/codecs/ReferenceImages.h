#pragma once

// Independent decodings for comparing our codecs' pixels: libpng for reference PNG
// renderings, ImageMagick's convert (to a binary PPM) where no rendering exists.
#include <cstdint>
#include <string>
#include <vector>

class TLinearBitmap;

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

// The linear bitmap's pixels as RGB, whatever its format.
RGBImage rgbOf(const TLinearBitmap& bitmap);

// The first differing pixel as "x,y: ours r g b, reference r g b", or "" when equal.
std::string firstDifference(const RGBImage& ours, const RGBImage& reference);

// The .bmp files of a directory, sorted.
std::vector<std::string> bmpFilesIn(const std::string& directory);
// The .bmp files of a BMP Suite folder ("g", "q", "b"), sorted.
std::vector<std::string> bmpSuiteFiles(const std::string& folder);
// The suite's own rendering of a file where it has one (or the rendering of a file that
// shows the same picture), otherwise ImageMagick's decoding of the file itself.
RGBImage bmpSuiteReference(const std::string& folder, const std::string& name);

}  // namespace reference_images
