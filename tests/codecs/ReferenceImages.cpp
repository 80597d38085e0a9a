#include "codecs/ReferenceImages.h"

#include <png.h>

#include <algorithm>
#include <csetjmp>
#include <cstdio>
#include <map>
#include <memory>

#include "TestSupport.h"
#include "image/LinarBitmap.h"

namespace reference_images {

RGBImage decodePng(const std::string& path) {
    RGBImage image;
    FILE* file = std::fopen(path.c_str(), "rb");
    if (!file) return image;
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png ? png_create_info_struct(png) : nullptr;
    if (!info) {
        png_destroy_read_struct(&png, nullptr, nullptr);
        std::fclose(file);
        return image;
    }
    std::vector<uint8_t> pixels;
    std::vector<png_bytep> rows;
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_read_struct(&png, &info, nullptr);
        std::fclose(file);
        return RGBImage{};
    }
    png_init_io(png, file);
    png_read_info(png, info);
    // Plain sample values: no gamma or colour-space conversion, 16-bit samples
    // scaled to 8 bits, alpha dropped rather than composed.
    png_set_expand(png);
    png_set_scale_16(png);
    png_set_strip_alpha(png);
    png_set_gray_to_rgb(png);
    png_set_interlace_handling(png);
    png_read_update_info(png, info);
    const png_uint_32 width = png_get_image_width(png, info), height = png_get_image_height(png, info);
    const size_t rowBytes = png_get_rowbytes(png, info);
    if (rowBytes != width * 3) longjmp(png_jmpbuf(png), 1);
    pixels.resize(rowBytes * height);
    rows.resize(height);
    for (png_uint_32 y = 0; y < height; ++y) rows[y] = pixels.data() + y * rowBytes;
    png_read_image(png, rows.data());
    png_read_end(png, nullptr);
    png_destroy_read_struct(&png, &info, nullptr);
    std::fclose(file);
    image.width = static_cast<int>(width);
    image.height = static_cast<int>(height);
    image.rgb = std::move(pixels);
    return image;
}

RGBImage decodeWithConvert(const std::string& path) {
    RGBImage image;
    testing_support::TempDir dir;
    const std::string out = dir / "reference.ppm";
    const auto run = testing_support::runProgram({"/usr/bin/convert", path + "[0]", "-depth", "8", "ppm:" + out});
    if (run.exitCode != 0) return image;
    const std::vector<uint8_t> bytes = testing_support::readFile(out);
    // P6 <width> <height> <maxval> then one whitespace byte and the pixels.
    size_t pos = 0;
    auto token = [&]() {
        while (pos < bytes.size() && (isspace(bytes[pos]) || bytes[pos] == '#')) {
            if (bytes[pos] == '#')
                while (pos < bytes.size() && bytes[pos] != '\n') ++pos;
            else
                ++pos;
        }
        std::string t;
        while (pos < bytes.size() && !isspace(bytes[pos])) t += static_cast<char>(bytes[pos++]);
        return t;
    };
    if (token() != "P6") return image;
    const int w = std::stoi(token()), h = std::stoi(token()), maxval = std::stoi(token());
    ++pos;
    if (maxval != 255 || bytes.size() < pos + static_cast<size_t>(w) * h * 3) return image;
    image.width = w;
    image.height = h;
    image.rgb.assign(bytes.begin() + static_cast<long>(pos), bytes.begin() + static_cast<long>(pos) + w * h * 3);
    return image;
}

// The linear bitmap's pixels as RGB, whatever its format.
RGBImage rgbOf(const TLinearBitmap& bitmap) {
    RGBImage image;
    if (!bitmap.Present) return image;
    image.width = bitmap.Width;
    image.height = bitmap.Height;
    for (int32_t y = 0; y < bitmap.Height; ++y) {
        const uint8_t* row = bitmap.ScanLine(y);
        for (int32_t x = 0; x < bitmap.Width; ++x) {
            uint8_t b, g, r;
            switch (bitmap.PixelFormat) {
                case pfIndexed8: {
                    const uint8_t* entry = bitmap.Palette.get() + 3 * row[x];
                    b = entry[0], g = entry[1], r = entry[2];
                    break;
                }
                case pfGray16: b = g = r = row[2 * x + 1]; break;
                case pfBGR24: b = row[3 * x], g = row[3 * x + 1], r = row[3 * x + 2]; break;
                default: b = row[4 * x], g = row[4 * x + 1], r = row[4 * x + 2]; break;
            }
            image.rgb.insert(image.rgb.end(), {r, g, b});
        }
    }
    return image;
}


std::string firstDifference(const RGBImage& ours, const RGBImage& reference) {
    if (ours.width != reference.width || ours.height != reference.height)
        return "size " + std::to_string(ours.width) + "x" + std::to_string(ours.height) + ", reference " +
               std::to_string(reference.width) + "x" + std::to_string(reference.height);
    for (size_t i = 0; i < ours.rgb.size(); i += 3) {
        if (ours.rgb[i] != reference.rgb[i] || ours.rgb[i + 1] != reference.rgb[i + 1] ||
            ours.rgb[i + 2] != reference.rgb[i + 2]) {
            const size_t pixel = i / 3;
            char text[160];
            std::snprintf(text, sizeof text, "%zu,%zu: ours %d %d %d, reference %d %d %d", pixel % ours.width,
                          pixel / ours.width, ours.rgb[i], ours.rgb[i + 1], ours.rgb[i + 2], reference.rgb[i],
                          reference.rgb[i + 1], reference.rgb[i + 2]);
            return text;
        }
    }
    return "";
}

std::vector<std::string> bmpFilesIn(const std::string& directory) {
    std::vector<std::string> names;
    for (const std::string& name : testing_support::listDirectory(directory))
        if (name.size() > 4 && name.substr(name.size() - 4) == ".bmp") names.push_back(name);
    std::sort(names.begin(), names.end());
    return names;
}

std::vector<std::string> bmpSuiteFiles(const std::string& folder) {
    return bmpFilesIn(testing_support::testdata("bmpsuite/" + folder));
}

namespace {

// Files of the suite that show the same picture as another file's rendering (ImageMagick
// finds no differing pixel between each file and that rendering; for the 16-bit ones the
// suite's renderings scale 5- and 6-bit channels with rounding, v * 255 / 31, where
// ImageMagick replicates bits).
const std::map<std::string, std::string> sameRendering = {
    {"pal1wb", "pal1"},        {"pal4rle", "pal4"},          {"pal8-0", "pal8"},
    {"pal8nonsquare", "pal8nonsquare-e"},                    {"pal8os2", "pal8"},
    {"pal8rle", "pal8"},       {"pal8topdown", "pal8"},      {"pal8v4", "pal8"},
    {"pal8v5", "pal8"},        {"rgb16-565pal", "rgb16-565"}, {"rgb16bfdef", "rgb16"},
    {"rgb24pal", "rgb24"},     {"rgb32", "rgb24"},           {"rgb32bf", "rgb24"},
    {"rgb32bfdef", "rgb24"}};

}  // namespace

// The BMP Suite's own rendering where it has one, otherwise ImageMagick's decoding.
RGBImage bmpSuiteReference(const std::string& folder, const std::string& name) {
    std::string base = name.substr(0, name.size() - 4);
    if (auto same = sameRendering.find(base); same != sameRendering.end()) base = same->second;
    const std::string png = testing_support::testdata("bmpsuite/html/" + base + ".png");
    if (testing_support::fileExists(png)) return decodePng(png);
    return decodeWithConvert(testing_support::testdata("bmpsuite/" + folder + "/" + name));
}


}  // namespace reference_images
