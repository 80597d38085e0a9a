#pragma once

// Icon and cursor files built by hand from a description of their pixels, and ImageMagick's
// reading of such files with the transparency it finds, for the ICO codec's tests.
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace icon_files {

// One image of a hand-made file. Index(x, y) gives the palette index (up to 8 bits) or
// the 0xRRGGBB colour (24 and 32 bits) of the pixel x, y counted from the top; Masked
// marks the transparent ones.
struct HandImage {
    int width = 16;
    int height = 16;
    int bitCount = 4;
    std::vector<uint32_t> palette;  // 0xRRGGBB, 2^bitCount entries for up to 8 bits
    std::function<uint32_t(int x, int y)> index = [](int, int) { return 0u; };
    std::function<bool(int x, int y)> masked = [](int, int) { return false; };
    uint16_t field1 = 1;  // hot spot x / planes
    uint16_t field2 = 0;  // hot spot y / bit count
    uint32_t headerSize = 40;
    uint32_t compression = 0;
    int entryWidth = -1;   // as written into the directory; -1: width
    int entryHeight = -1;  // -1: height
};

// A whole file: header, directory, then the images one behind the other.
std::vector<uint8_t> iconFile(int type, const std::vector<HandImage>& images);

uint32_t le32At(const std::vector<uint8_t>& bytes, size_t offset);
uint16_t le16At(const std::vector<uint8_t>& bytes, size_t offset);

struct RGBAImage {
    int width = 0;
    int height = 0;
    std::vector<uint8_t> rgba;  // rows top-down
    bool empty() const { return width == 0; }
    uint32_t rgbAt(int x, int y) const;  // 0xRRGGBB
    uint8_t alphaAt(int x, int y) const { return rgba[(static_cast<size_t>(y) * width + x) * 4 + 3]; }
};

// Image `index` of a file as /usr/bin/convert reads it, with its alpha. Empty on failure.
RGBAImage decodeWithConvert(const std::string& path, int index = 0);

}  // namespace icon_files
