#pragma once

#include <cstdint>
#include <string>
#include <vector>

// libpng as an independent decoder for the PNG codec's tests: it yields the file's
// samples (de-interlaced, sub-byte samples unpacked to one byte, 16-bit samples
// big-endian as in the file) and its palette, tRNS and gAMA.
namespace png_oracle {

struct Decoded {
    bool ok = false;
    std::string error;
    uint32_t width = 0, height = 0;
    int bitDepth = 0, colorType = 0, channels = 0, filterMethod = 0;
    std::vector<std::vector<uint8_t>> rows;  // per row: width * channels samples of (bitDepth > 8 ? 2 : 1) bytes
    std::vector<uint8_t> paletteRGB;         // num_palette * 3 (red, green, blue)
    bool hasTRNS = false;
    std::vector<uint8_t> trnsAlpha;          // palette images
    uint16_t trnsGray = 0, trnsRed = 0, trnsGreen = 0, trnsBlue = 0;
    bool hasGamma = false;
    uint32_t gammaFixed = 0;                 // gAMA value
    bool hasICCP = false;                    // png_get_iCCP: the profile, inflated by libpng
    std::vector<uint8_t> iccProfile;
    bool hasEXIF = false;                    // png_get_eXIf_1: the chunk's data
    std::vector<uint8_t> exif;
};

// allowMng: accept MNG filter method 64 (libpng undoes the intrapixel transform).
Decoded Decode(const std::vector<uint8_t>& file, bool allowMng = false);

// The chunks of a PNG or MNG datastream after its 8-byte signature.
struct ChunkInfo {
    std::string type;
    std::vector<uint8_t> data;
    uint32_t crc = 0;
    uint32_t length = 0;
};
std::vector<ChunkInfo> Chunks(const std::vector<uint8_t>& file);

// Builds files for tests: signature + chunks, CRCs from zlib.
std::vector<uint8_t> Chunk(const std::string& type, const std::vector<uint8_t>& data);
std::vector<uint8_t> Ihdr(uint32_t w, uint32_t h, int depth, int colorType, int interlace = 0, int filter = 0);
std::vector<uint8_t> PngSignature();
std::vector<uint8_t> MngSignature();
// zlib stream of the given bytes at a level.
std::vector<uint8_t> Zlib(const std::vector<uint8_t>& raw, int level = 6);

// The datastream from the first IHDR to its IEND behind a PNG signature (for MNG files).
std::vector<uint8_t> FirstEmbeddedPng(const std::vector<uint8_t>& mng);

}  // namespace png_oracle
