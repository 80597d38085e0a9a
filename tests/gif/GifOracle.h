#pragma once

#include <cstdint>
#include <string>
#include <vector>

// giflib as an independent decoder for the GIF writer's tests.
namespace gif_oracle {

struct Frame {
    int left = 0, top = 0, width = 0, height = 0;
    bool interlaced = false;
    std::vector<uint8_t> localMap;  // red, green, blue per entry; empty when the frame has none
    std::vector<uint8_t> pixels;    // width * height indices, rows top to bottom (de-interlaced)
    int transparentIndex = -1;      // from the frame's graphic control block
    std::vector<std::string> comments;
};

struct Decoded {
    bool ok = false;
    std::string error;
    std::string version;  // "87a" or "89a" as the file states
    int screenWidth = 0, screenHeight = 0;
    std::vector<uint8_t> globalMap;
    std::vector<Frame> frames;
};

Decoded Decode(const std::vector<uint8_t>& file);

// The data sub-block lengths of the image data that starts at offset (the minimum code
// size byte), up to and including the zero terminator; offset is left behind it.
std::vector<int> SubBlockLengths(const std::vector<uint8_t>& file, size_t& offset);

}  // namespace gif_oracle
