// The PNG codec beside libpng, in one run over the same images: decoding (ours against
// libpng), encoding (ours against libpng's defaults: zlib level 6, adaptive filters) with
// both file sizes, and the peak memory of a PNG to BMP conversion with the binary.
#include <png.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "bench/BenchSupport.h"
#include "codecs/PNGLoader.h"
#include "front/Units.h"
#include "image/LinarBitmap.h"
#include "streams/MemStream.h"

using bench_support::BestSeconds;
using bench_support::ReadAll;
using bench_support::runMeasured;
using Bytes = std::vector<uint8_t>;
namespace fs = std::filesystem;

namespace {

// ---- libpng side

struct MemReader {
    const Bytes* bytes;
    size_t pos;
};

void ReadFn(png_structp png, png_bytep out, png_size_t n) {
    auto* r = static_cast<MemReader*>(png_get_io_ptr(png));
    if (r->pos + n > r->bytes->size()) png_error(png, "eof");
    std::memcpy(out, r->bytes->data() + r->pos, n);
    r->pos += n;
}

void WriteFn(png_structp png, png_bytep data, png_size_t n) {
    auto* out = static_cast<Bytes*>(png_get_io_ptr(png));
    out->insert(out->end(), data, data + n);
}
void FlushFn(png_structp) {}

// Decodes with libpng's defaults into rows of the file's own layout.
void QuietWarning(png_structp, png_const_charp) {}

size_t LibpngDecode(const Bytes& file, Bytes& pixels) {
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, QuietWarning);
    png_infop info = png_create_info_struct(png);
    MemReader reader{&file, 0};
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_read_struct(&png, &info, nullptr);
        return 0;
    }
    png_set_read_fn(png, &reader, ReadFn);
    png_read_info(png, info);
    png_set_interlace_handling(png);
    png_read_update_info(png, info);
    const size_t rowBytes = png_get_rowbytes(png, info);
    const uint32_t h = png_get_image_height(png, info);
    pixels.resize(rowBytes * h);
    std::vector<png_bytep> rows(h);
    for (uint32_t y = 0; y < h; ++y) rows[y] = pixels.data() + y * rowBytes;
    png_read_image(png, rows.data());
    png_read_end(png, nullptr);
    png_destroy_read_struct(&png, &info, nullptr);
    return rowBytes * h;
}

// libpng's defaults: zlib level 6, adaptive filtering over all five types.
Bytes LibpngEncodeRGB(const TLinearBitmap& b) {
    Bytes out;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        return {};
    }
    png_set_write_fn(png, &out, WriteFn, FlushFn);
    png_set_IHDR(png, info, static_cast<uint32_t>(b.Width), static_cast<uint32_t>(b.Height), 8, PNG_COLOR_TYPE_RGB,
                 PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    png_set_bgr(png);  // our rows are blue, green, red; libpng swaps while writing
    for (int32_t y = 0; y < b.Height; ++y) png_write_row(png, const_cast<png_bytep>(b.ScanLine(y)));
    png_write_end(png, info);
    png_destroy_write_struct(&png, &info);
    return out;
}

// ---- our side

void OursDecode(const Bytes& file, TLinearBitmap& bitmap) {
    TMemStream stream;
    stream.Write(file.data(), static_cast<int64_t>(file.size()));
    stream.Seek(0);
    PNGLoader().LoadFromStream(stream, "PNG", bitmap);
}

Bytes OursEncode(TLinearBitmap& bitmap) {
    TMemStream stream;
    PNGLoader().SaveToStream(stream, "PNG", bitmap);
    Bytes out(static_cast<size_t>(stream.GetSize()));
    stream.Seek(0);
    stream.Read(out.data(), static_cast<int64_t>(out.size()));
    return out;
}

// A flat-colour screenshot: window frames, title bars, text-like strokes, a gradient bar.
void MakeScreenshot(TLinearBitmap& b, int32_t w, int32_t h) {
    b.New(w, h, pfBGR24);
    for (int32_t y = 0; y < h; ++y) {
        uint8_t* row = b.ScanLine(y);
        for (int32_t x = 0; x < w; ++x) {
            uint8_t bl = 0xF0, g = 0xF0, r = 0xF0;  // desktop
            const int wx = x % 640, wy = y % 480;
            if (wx > 20 && wx < 620 && wy > 20 && wy < 460) {
                if (wy < 48) {
                    bl = 0xA0; g = 0x60; r = 0x30;  // title bar
                    if (wx > 40 && wx < 300 && (wy - 28) % 12 < 8 && ((wx / 3) % 4) != 0) bl = g = r = 0xFF;
                } else {
                    bl = g = r = 0xFF;  // window body with lines of "text"
                    const int line = (wy - 60) % 18;
                    if (wy > 60 && line < 11 && wx > 40 && wx < 560 && ((wx * 7 + wy / 18 * 13) % 23) < 14 &&
                        ((wx / 6 + wy / 18) % 9) != 0)
                        bl = g = r = 0x20;
                    if (wy > 400 && wy < 430) {
                        bl = static_cast<uint8_t>(wx * 255 / 640);  // gradient bar
                        g = 0x80;
                        r = static_cast<uint8_t>(255 - wx * 255 / 640);
                    }
                }
            }
            row[3 * x] = bl;
            row[3 * x + 1] = g;
            row[3 * x + 2] = r;
        }
    }
}

struct Image {
    std::string name;
    Bytes file;  // the PNG read by both decoders
};

}  // namespace

int main() {
    InitializeUnits();
    const fs::path dir = fs::temp_directory_path() / ("pixmorph-png-bench-" + std::to_string(::getpid()));
    fs::create_directories(dir);

    std::vector<Image> images;
    for (const char* photo : {"Storm", "TwoWings"}) {
        if (!bench_support::haveTestdata()) break;
        const std::string png = dir / (std::string(photo) + ".png");
        const auto c = runMeasured({"/usr/bin/convert", bench_support::testdata(std::string("photos/") + photo + ".jpg"), png});
        if (c.exitCode != 0) {
            std::fprintf(stderr, "convert failed for %s\n", photo);
            return 1;
        }
        images.push_back({photo, ReadAll(png)});
    }
    if (bench_support::haveTestdata())
        images.push_back({"Ubuntu-Mate (PNG art)", ReadAll(bench_support::testdata("photos/Ubuntu-Mate-Cold-no-logo.png"))});
    {
        TLinearBitmap shot;
        MakeScreenshot(shot, 1920, 1080);
        images.push_back({"screenshot 1920x1080", LibpngEncodeRGB(shot)});
    }

    std::printf("%-24s %11s %11s %7s | %11s %11s %7s %11s %11s\n", "image", "dec ours", "dec libpng", "ratio",
                "enc ours", "enc libpng", "ratio", "size ours", "size libpng");
    const int rounds = 3;
    for (auto& img : images) {
        TLinearBitmap bitmap;
        Bytes pixels;
        const double decOurs = BestSeconds(rounds, [&] { OursDecode(img.file, bitmap); });
        const double decPng = BestSeconds(rounds, [&] { LibpngDecode(img.file, pixels); });
        // Both decoders must agree (8-bit RGB files: blue-green-red against red-green-blue).
        bool same = bitmap.PixelFormat == pfBGR24 && pixels.size() == static_cast<size_t>(bitmap.Size);
        for (size_t i = 0; same && i + 2 < pixels.size(); i += 3)
            same = pixels[i] == bitmap.Map[i + 2] && pixels[i + 1] == bitmap.Map[i + 1] && pixels[i + 2] == bitmap.Map[i];
        if (!same) std::printf("%s: our pixels differ from libpng's (or not an 8-bit RGB file)\n", img.name.c_str());
        // Both encoders get the same 24-bit image.
        bitmap.ChangePixelFormat(pfBGR24);
        Bytes ours, theirs;
        const double encOurs = BestSeconds(rounds, [&] { ours = OursEncode(bitmap); });
        const double encPng = BestSeconds(rounds, [&] { theirs = LibpngEncodeRGB(bitmap); });
        std::printf("%-24s %9.1fms %9.1fms %7.2f | %9.1fms %9.1fms %7.2f %11zu %11zu\n", img.name.c_str(),
                    decOurs * 1e3, decPng * 1e3, decPng / decOurs, encOurs * 1e3, encPng * 1e3, encPng / encOurs,
                    ours.size(), theirs.size());
    }
    std::printf("(ratio = libpng time / our time: above 1 means we are faster)\n");

    // Peak memory of the binary converting the largest photograph from PNG to BMP.
    {
        const Image& big = images[images.size() > 1 ? 1 : 0];
        TLinearBitmap decoded;
        OursDecode(big.file, decoded);
        const std::string in = dir / "in.png", out = dir / "out.bmp";
        std::ofstream(in, std::ios::binary).write(reinterpret_cast<const char*>(big.file.data()),
                                                  static_cast<std::streamsize>(big.file.size()));
        const auto cost = runMeasured({PIXMORPH_BINARY, in, "5", out});
        const double decodedKb = decoded.Size / 1024.0;
        std::printf("PNG to BMP with the binary (%s, %dx%d): exit %d, %.3f s, peak %ld KiB = %.2f x the decoded image (%.0f KiB)\n",
                    big.name.c_str(), decoded.Width, decoded.Height, cost.exitCode, cost.seconds, cost.peakRssKb,
                    cost.peakRssKb / decodedKb, decodedKb);
    }
    fs::remove_all(dir);
    return 0;
}
