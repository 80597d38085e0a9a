// The codec path of the binary with PNG and MNG on either side: pixels compared through
// independent decoders (libpng for PNG, ImageMagick's convert for BMP).
#include <gtest/gtest.h>
#include <png.h>

#include <csetjmp>
#include <cstring>

#include "TestSupport.h"
#include "codecs/PngOracle.h"
#include "image/LinarBitmap.h"

using namespace testing_support;
namespace po = png_oracle;
using Bytes = std::vector<uint8_t>;

namespace {

struct Rgb {
    bool ok = false;
    uint32_t width = 0, height = 0;
    Bytes pixels;  // red, green, blue
};

void ReadFromMemory(png_structp png, png_bytep out, png_size_t n) {
    auto* src = static_cast<std::pair<const Bytes*, size_t>*>(png_get_io_ptr(png));
    if (src->second + n > src->first->size()) png_error(png, "eof");
    std::memcpy(out, src->first->data() + src->second, n);
    src->second += n;
}

// libpng's 8-bit RGB rendering of a PNG without alpha (16-bit samples cut to their high byte).
Rgb LibpngRgb(const Bytes& file) {
    Rgb r;
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    std::pair<const Bytes*, size_t> src{&file, 0};
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_read_struct(&png, &info, nullptr);
        return r;
    }
    png_set_read_fn(png, &src, ReadFromMemory);
    png_read_info(png, info);
    png_set_strip_16(png);
    png_set_palette_to_rgb(png);
    png_set_expand_gray_1_2_4_to_8(png);
    png_set_gray_to_rgb(png);
    png_set_strip_alpha(png);
    png_set_interlace_handling(png);
    png_read_update_info(png, info);
    r.width = png_get_image_width(png, info);
    r.height = png_get_image_height(png, info);
    r.pixels.resize(static_cast<size_t>(r.width) * r.height * 3);
    std::vector<png_bytep> rows(r.height);
    for (uint32_t y = 0; y < r.height; ++y) rows[y] = r.pixels.data() + static_cast<size_t>(y) * r.width * 3;
    png_read_image(png, rows.data());
    png_destroy_read_struct(&png, &info, nullptr);
    r.ok = true;
    return r;
}

// ImageMagick's 8-bit RGB rendering of any image file.
Rgb ConvertRgb(const std::string& path, uint32_t width, uint32_t height) {
    Rgb r;
    TempDir dir;
    const RunResult run = runProgram({"/usr/bin/convert", path, "-depth", "8", "rgb:" + (dir / "out.rgb")});
    if (run.exitCode != 0) return r;
    r.pixels = readFile(dir / "out.rgb");
    r.width = width;
    r.height = height;
    r.ok = r.pixels.size() == static_cast<size_t>(width) * height * 3;
    return r;
}

bool CanSave(const std::string& ext) {
    try {
        Loaders->FindSaver(ext);
        return true;
    } catch (const Exception&) {
        return false;
    }
}

}  // namespace

TEST(PNGConversion, PngToPngKeepsPixelsTransparencyAndGamma) {
    PIXMORPH_REQUIRE_TESTDATA();
    for (const char* name : {"tbbn3p08.png", "tbrn2c08.png", "tbwn0g16.png", "g03n3p04.png", "g25n2c08.png",
                             "basi0g02.png", "basn6a08.png", "basi4a16.png", "s39i3p04.png"}) {
        TempDir dir;
        const Bytes original = readFile(testdata(std::string("pngsuite/") + name));
        writeFile(dir / "in.png", original);
        const RunResult run = runPixmorph({dir / "in.png", "5", dir / "out.png"});
        ASSERT_EQ(run.exitCode, 0) << name << ": " << run.err;
        EXPECT_FALSE(fileExists(dir / "in.png")) << "the input of a completed conversion is deleted";
        const Bytes written = readFile(dir / "out.png");
        EXPECT_EQ(runProgram({"pngcheck", "-q", dir / "out.png"}).exitCode, 0) << name;
        const Rgb want = LibpngRgb(original), got = LibpngRgb(written);
        ASSERT_TRUE(want.ok && got.ok) << name;
        EXPECT_EQ(got.width, want.width);
        EXPECT_EQ(got.pixels, want.pixels) << name;
        const po::Decoded in = po::Decode(original), out = po::Decode(written);
        EXPECT_EQ(out.hasGamma, in.hasGamma) << name;
        EXPECT_EQ(out.gammaFixed, in.gammaFixed) << name;
        if (in.hasTRNS) { EXPECT_TRUE(out.hasTRNS) << name; }
        // Transparent grey keeps its level, reduced to 8 bits with the image when it was 16.
        if (in.hasTRNS && in.colorType == 0 && out.colorType == 0) {
            EXPECT_EQ(out.trnsGray, out.bitDepth == 16 ? in.trnsGray : in.trnsGray >> (in.bitDepth - 8)) << name;
        }
    }
}

TEST(PNGConversion, MngFirstImageToPng) {
    PIXMORPH_REQUIRE_TESTDATA();
    for (const char* name : {"animation.mng", "ball.mng", "dutch.mng"}) {
        TempDir dir;
        const Bytes original = readFile(testdata(std::string("mng/") + name));
        writeFile(dir / "in.mng", original);
        const RunResult run = runPixmorph({dir / "in.mng", "5", dir / "out.png"});
        ASSERT_EQ(run.exitCode, 0) << name << ": " << run.err;
        const Rgb want = LibpngRgb(po::FirstEmbeddedPng(original)), got = LibpngRgb(readFile(dir / "out.png"));
        ASSERT_TRUE(want.ok && got.ok) << name;
        EXPECT_EQ(got.pixels, want.pixels) << name;
    }
    // A broken MNG: an error, and the input stays.
    TempDir dir;
    writeFile(dir / "in.mng", readFile(testdata("mng/corrupt.mng")));
    const RunResult run = runPixmorph({dir / "in.mng", "5", dir / "out.png"});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_TRUE(fileExists(dir / "in.mng"));
    EXPECT_FALSE(fileExists(dir / "out.png"));
}

TEST(PNGConversion, PngToBmp) {
    PIXMORPH_REQUIRE_TESTDATA();
    if (!CanSave("BMP")) GTEST_SKIP() << "no BMP codec registered yet";
    for (const char* name : {"basn2c08.png", "basn3p04.png", "basn0g16.png", "basi6a16.png", "f04n2c08.png",
                             "basn0g01.png"}) {
        TempDir dir;
        const Bytes original = readFile(testdata(std::string("pngsuite/") + name));
        const Rgb want = LibpngRgb(original);
        writeFile(dir / "in.png", original);
        const RunResult run = runPixmorph({dir / "in.png", "5", dir / "out.bmp"});
        ASSERT_EQ(run.exitCode, 0) << name << ": " << run.err;
        const Rgb bmp = ConvertRgb(dir / "out.bmp", want.width, want.height);
        ASSERT_TRUE(bmp.ok) << name;
        EXPECT_EQ(bmp.pixels, want.pixels) << name;
    }
}

TEST(PNGConversion, BmpToPngAndMngAndBack) {
    PIXMORPH_REQUIRE_TESTDATA();
    if (!CanSave("BMP")) GTEST_SKIP() << "no BMP codec registered yet";
    for (const char* name : {"basn2c08.png", "basn3p08.png", "s37n3p04.png"}) {
        TempDir dir;
        // ImageMagick makes the bitmap and renders it: an independent source of the pixels.
        ASSERT_EQ(runProgram({"/usr/bin/convert", testdata(std::string("pngsuite/") + name), "BMP3:" + (dir / "in.bmp")})
                      .exitCode,
                  0);
        const Rgb source = LibpngRgb(readFile(testdata(std::string("pngsuite/") + name)));
        const Rgb want = ConvertRgb(dir / "in.bmp", source.width, source.height);
        ASSERT_TRUE(want.ok) << name;
        const Bytes bmp = readFile(dir / "in.bmp");

        RunResult run = runPixmorph({dir / "in.bmp", "5", dir / "out.png"});
        ASSERT_EQ(run.exitCode, 0) << name << ": " << run.err;
        const Bytes png = readFile(dir / "out.png");
        EXPECT_EQ(runProgram({"pngcheck", "-q", dir / "out.png"}).exitCode, 0) << name;
        EXPECT_EQ(LibpngRgb(png).pixels, want.pixels) << name << " BMP to PNG";

        writeFile(dir / "in.bmp", bmp);
        run = runPixmorph({dir / "in.bmp", "5", dir / "out.mng"});
        ASSERT_EQ(run.exitCode, 0) << name << ": " << run.err;
        EXPECT_EQ(runProgram({"pngcheck", "-q", dir / "out.mng"}).exitCode, 0) << name;
        run = runPixmorph({dir / "out.mng", "5", dir / "back.bmp"});
        ASSERT_EQ(run.exitCode, 0) << name << ": " << run.err;
        EXPECT_EQ(ConvertRgb(dir / "back.bmp", source.width, source.height).pixels, want.pixels) << name << " via MNG";
    }
}
