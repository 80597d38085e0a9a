#include "codecs/IconFiles.h"

#include <cstdio>
#include <fstream>
#include <sstream>

#include "TestSupport.h"

namespace icon_files {

namespace {

void put(std::vector<uint8_t>& out, uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

// The image's bytes as a file holds them: header, colour table, colour rows bottom-up,
// mask rows bottom-up, each row padded to four bytes.
std::vector<uint8_t> imageData(const HandImage& image) {
    std::vector<uint8_t> out;
    put(out, image.headerSize, 4);
    put(out, static_cast<uint32_t>(image.width), 4);
    put(out, static_cast<uint32_t>(image.height * 2), 4);
    put(out, 1, 2);
    put(out, static_cast<uint32_t>(image.bitCount), 2);
    put(out, image.compression, 4);
    while (out.size() < image.headerSize) out.push_back(0);
    for (uint32_t color : image.palette) put(out, color, 4);  // blue, green, red, 0
    const int bits = image.bitCount;
    const size_t xorRow = (static_cast<size_t>(image.width) * bits + 31) / 32 * 4;
    const size_t andRow = (static_cast<size_t>(image.width) + 31) / 32 * 4;
    for (int y = image.height - 1; y >= 0; --y) {
        std::vector<uint8_t> row(xorRow, 0);
        for (int x = 0; x < image.width; ++x) {
            const uint32_t v = image.index(x, y);
            if (bits == 24 || bits == 32) {
                row[static_cast<size_t>(x) * (bits / 8)] = static_cast<uint8_t>(v);
                row[static_cast<size_t>(x) * (bits / 8) + 1] = static_cast<uint8_t>(v >> 8);
                row[static_cast<size_t>(x) * (bits / 8) + 2] = static_cast<uint8_t>(v >> 16);
                if (bits == 32) row[static_cast<size_t>(x) * 4 + 3] = 255;
            } else {
                const size_t bit = static_cast<size_t>(x) * bits;
                row[bit / 8] |= static_cast<uint8_t>(v << (8 - bits - bit % 8));
            }
        }
        out.insert(out.end(), row.begin(), row.end());
    }
    for (int y = image.height - 1; y >= 0; --y) {
        std::vector<uint8_t> row(andRow, 0);
        for (int x = 0; x < image.width; ++x)
            if (image.masked(x, y)) row[static_cast<size_t>(x) / 8] |= static_cast<uint8_t>(0x80 >> (x % 8));
        out.insert(out.end(), row.begin(), row.end());
    }
    return out;
}

}  // namespace

std::vector<uint8_t> iconFile(int type, const std::vector<HandImage>& images) {
    std::vector<uint8_t> out;
    put(out, 0, 2);
    put(out, static_cast<uint32_t>(type), 2);
    put(out, static_cast<uint32_t>(images.size()), 2);
    std::vector<std::vector<uint8_t>> data;
    for (const HandImage& image : images) data.push_back(imageData(image));
    uint32_t offset = static_cast<uint32_t>(6 + 16 * images.size());
    for (size_t i = 0; i < images.size(); ++i) {
        const HandImage& image = images[i];
        out.push_back(static_cast<uint8_t>(image.entryWidth < 0 ? image.width : image.entryWidth));
        out.push_back(static_cast<uint8_t>(image.entryHeight < 0 ? image.height : image.entryHeight));
        out.push_back(image.bitCount < 8 ? static_cast<uint8_t>(1 << image.bitCount) : 0);
        out.push_back(0);
        put(out, image.field1, 2);
        put(out, image.field2, 2);
        put(out, static_cast<uint32_t>(data[i].size()), 4);
        put(out, offset, 4);
        offset += static_cast<uint32_t>(data[i].size());
    }
    for (const auto& bytes : data) out.insert(out.end(), bytes.begin(), bytes.end());
    return out;
}

uint32_t le32At(const std::vector<uint8_t>& bytes, size_t offset) {
    return bytes.at(offset) | bytes.at(offset + 1) << 8 | bytes.at(offset + 2) << 16 |
           static_cast<uint32_t>(bytes.at(offset + 3)) << 24;
}

uint16_t le16At(const std::vector<uint8_t>& bytes, size_t offset) {
    return static_cast<uint16_t>(bytes.at(offset) | bytes.at(offset + 1) << 8);
}

uint32_t RGBAImage::rgbAt(int x, int y) const {
    const uint8_t* p = rgba.data() + (static_cast<size_t>(y) * width + x) * 4;
    return static_cast<uint32_t>(p[0]) << 16 | p[1] << 8 | p[2];
}

RGBAImage decodeWithConvert(const std::string& path, int index) {
    testing_support::TempDir dir;
    const std::string out = dir / "out.pam";
    const auto run = testing_support::runProgram(
        {"/usr/bin/convert", path + "[" + std::to_string(index) + "]", "-alpha", "on", "-depth", "8", "pam:" + out});
    if (run.exitCode != 0) return {};
    const std::vector<uint8_t> bytes = testing_support::readFile(out);
    const std::string text(bytes.begin(), bytes.end());
    const size_t end = text.find("ENDHDR\n");
    if (end == std::string::npos) return {};
    std::istringstream header(text.substr(0, end));
    RGBAImage image;
    std::string key, tuple;
    int depth = 0;
    while (header >> key) {
        if (key == "WIDTH") header >> image.width;
        else if (key == "HEIGHT") header >> image.height;
        else if (key == "DEPTH") header >> depth;
        else if (key == "TUPLTYPE") header >> tuple;
    }
    const size_t pixels = static_cast<size_t>(image.width) * image.height * 4;
    if (depth != 4 || tuple != "RGB_ALPHA" || bytes.size() < end + 7 + pixels) return {};
    image.rgba.assign(bytes.begin() + static_cast<long>(end + 7), bytes.begin() + static_cast<long>(end + 7 + pixels));
    return image;
}

}  // namespace icon_files
