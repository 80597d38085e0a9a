#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Netpbm grey and colour images (PGM "P2"/"P5", PPM "P3"/"P6") for the sample plug-in.
namespace netpbm {

struct Image {
    int32_t width = 0;
    int32_t height = 0;
    int channels = 0;         // 1 grey, 3 red-green-blue
    bool sixteenBit = false;  // grey only: samples scaled to 0..65535
    // Rows without gaps. Grey: one byte, or two little-endian bytes when sixteenBit;
    // colour: blue, green, red (samples scaled to 0..255).
    std::vector<uint8_t> pixels;
};

// 0 or the plug-in result code for bad data (3).
int32_t Decode(const uint8_t* data, size_t size, Image& image);

// The file for rows of grey (channels 1) or blue-green-red (channels 3) bytes, rows
// rowStride bytes apart: "P5" or "P6" with maxval 255.
std::vector<uint8_t> Encode(const uint8_t* pixels, int32_t width, int32_t height, int64_t rowStride, int channels);

// Rec. 601 luma of blue, green, red, rounded.
inline uint8_t Luma(uint8_t blue, uint8_t green, uint8_t red) {
    return static_cast<uint8_t>((299 * red + 587 * green + 114 * blue + 500) / 1000);
}

}  // namespace netpbm
