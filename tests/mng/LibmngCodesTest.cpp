// Codes 104 and 105 through the real binary: PNG files checked by pngcheck and libpng, JNG
// files read back by libmng, ImageMagick and libjpeg; a machine without libmng.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>

#include <jpeglib.h>

#include "TestSupport.h"
#include "codecs/PngOracle.h"
#include "codecs/ReferenceImages.h"
#include "mng/NGImages.h"
#include "picture/Graphics.h"

using namespace testing_support;
using namespace reference_images;

namespace {

std::string report(const std::string& message) { return "Pixmorph: " + message + "\n"; }

// A 24-bit Windows bitmap of the picture colour(x, y) -> {r, g, b}; returns the pixels.
template <class F>
RGBImage WriteBitmap(const std::string& path, int width, int height, F&& colour) {
    host::TBitmap bitmap;
    bitmap.NewImage(host::pf24bit, width, height);
    RGBImage image{width, height, {}};
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            const auto [r, g, b] = colour(x, y);
            bitmap.ScanLine(y)[3 * x] = b;
            bitmap.ScanLine(y)[3 * x + 1] = g;
            bitmap.ScanLine(y)[3 * x + 2] = r;
            image.rgb.insert(image.rgb.end(), {r, g, b});
        }
    bitmap.SaveToFile(path);
    return image;
}

struct Rgb3 {
    uint8_t r, g, b;
};

// Colour k of n: distinct for k below 512.
Rgb3 Colour(int k) { return {static_cast<uint8_t>(k), static_cast<uint8_t>(255 - k), static_cast<uint8_t>(k >> 8)}; }

// A photograph as a 24-bit Windows bitmap, through ImageMagick.
std::string PhotoBitmap(const TempDir& dir, const std::string& size) {
    const std::string path = dir / "photo.bmp";
    const auto r = runProgram({"convert", testdata("photos/Storm.jpg"), "-resize", size, "-type", "TrueColor",
                               "BMP3:" + path});
    return r.exitCode == 0 ? path : std::string();
}

struct JpegPixels {
    int width = 0, height = 0, components = 0;
    std::vector<uint8_t> rgb;
};

JpegPixels DecodeJpeg(const std::vector<uint8_t>& data) {
    jpeg_decompress_struct cinfo{};
    jpeg_error_mgr error{};
    cinfo.err = jpeg_std_error(&error);
    jpeg_create_decompress(&cinfo);
    jpeg_mem_src(&cinfo, data.data(), data.size());
    JpegPixels out;
    if (jpeg_read_header(&cinfo, TRUE) == JPEG_HEADER_OK) {
        jpeg_start_decompress(&cinfo);
        out.width = static_cast<int>(cinfo.output_width);
        out.height = static_cast<int>(cinfo.output_height);
        out.components = cinfo.output_components;
        out.rgb.resize(static_cast<size_t>(out.width) * out.height * out.components);
        while (cinfo.output_scanline < cinfo.output_height) {
            JSAMPROW row = out.rgb.data() + static_cast<size_t>(cinfo.output_scanline) * out.width * out.components;
            jpeg_read_scanlines(&cinfo, &row, 1);
        }
        jpeg_finish_decompress(&cinfo);
    }
    jpeg_destroy_decompress(&cinfo);
    return out;
}

double MeanAbsoluteDifference(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
    if (a.size() != b.size() || a.empty()) return 1e9;
    double sum = 0;
    for (size_t i = 0; i < a.size(); ++i) sum += std::abs(int{a[i]} - int{b[i]});
    return sum / static_cast<double>(a.size());
}

}  // namespace

TEST(Code104, BitmapsOfEveryColourCountBecomeValidPngsWithTheExactPixels) {
    struct Case {
        int colours, colourType;
    };
    const Case cases[] = {{1, 3}, {2, 3}, {16, 3}, {256, 3}, {257, 2}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.colours);
        TempDir dir;
        const int width = 37, height = 29;
        const RGBImage expected = WriteBitmap(dir / "in.bmp", width, height, [&](int x, int y) {
            const Rgb3 colour = Colour((y * width + x) % c.colours);
            return std::array<uint8_t, 3>{colour.r, colour.g, colour.b};
        });
        const auto r = runPixmorph({dir / "in.bmp", "104", dir / "out.png"});
        ASSERT_EQ(r.exitCode, 0) << r.err;
        EXPECT_EQ(listDirectory(dir.path()), std::vector<std::string>{"out.png"});  // the input went
        const auto check = runProgram({"pngcheck", "-q", dir / "out.png"});
        EXPECT_EQ(check.exitCode, 0) << check.out;
        const auto decoded = png_oracle::Decode(readFile(dir / "out.png"));
        ASSERT_TRUE(decoded.ok) << decoded.error;
        EXPECT_EQ(decoded.colorType, c.colourType);
        if (c.colourType == 3) {
            EXPECT_EQ(decoded.paletteRGB.size(), 3u * c.colours);
        }
        if (c.colours >= 256) {
            EXPECT_EQ(decoded.bitDepth, 8);
        }
        EXPECT_EQ(firstDifference(decodePng(dir / "out.png"), expected), "");
    }
}

TEST(Code104, BitmapsOfEveryStoredDepthKeepTheirPixels) {
    PIXMORPH_REQUIRE_TESTDATA();
    for (const char* name : {"pal1.bmp", "pal4.bmp", "pal4rle.bmp", "pal8.bmp", "pal8topdown.bmp", "rgb16.bmp",
                             "rgb16-565.bmp", "rgb24.bmp", "rgb32bf.bmp"}) {
        SCOPED_TRACE(name);
        TempDir dir;
        writeFile(dir / "in.bmp", readFile(testdata(std::string("bmpsuite/g/") + name)));
        const auto r = runPixmorph({dir / "in.bmp", "104", dir / "out.png"});
        ASSERT_EQ(r.exitCode, 0) << r.err;
        EXPECT_EQ(runProgram({"pngcheck", "-q", dir / "out.png"}).exitCode, 0);
        EXPECT_EQ(firstDifference(decodePng(dir / "out.png"), bmpSuiteReference("g", name)), "");
    }
}

TEST(Code104, APhotographBecomesAnRgbPngWithEveryPixelKept) {
    PIXMORPH_REQUIRE_TESTDATA();
    TempDir dir;
    const std::string bmp = PhotoBitmap(dir, "960x640!");
    ASSERT_FALSE(bmp.empty());
    const RGBImage expected = decodeWithConvert(bmp);
    const auto r = runPixmorph({bmp, "104", dir / "photo.png"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_FALSE(fileExists(bmp));
    EXPECT_EQ(runProgram({"pngcheck", "-q", dir / "photo.png"}).exitCode, 0);
    const auto file = readFile(dir / "photo.png");
    const auto decoded = png_oracle::Decode(file);
    EXPECT_EQ(decoded.colorType, 2);
    EXPECT_EQ(decoded.bitDepth, 8);
    EXPECT_EQ(firstDifference(decodePng(dir / "photo.png"), expected), "");
    std::vector<uint32_t> idat;
    for (const auto& chunk : png_oracle::Chunks(file))
        if (chunk.type == "IDAT") idat.push_back(chunk.length);
    ASSERT_GE(idat.size(), 2u);
    for (size_t i = 0; i + 1 < idat.size(); ++i) EXPECT_EQ(idat[i], 65536u);
}

TEST(Code105, APhotographBecomesABaselineQuality90JngThatLibmngImageMagickAndLibjpegRead) {
    PIXMORPH_REQUIRE_TESTDATA();
    TempDir dir;
    const std::string bmp = PhotoBitmap(dir, "1920x1280!");
    ASSERT_FALSE(bmp.empty());
    const RGBImage source = decodeWithConvert(bmp);
    const auto r = runPixmorph({bmp, "105", dir / "photo.jng"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_FALSE(fileExists(bmp));

    const auto file = readFile(dir / "photo.jng");
    ASSERT_GT(file.size(), 8u);
    EXPECT_EQ(std::vector<uint8_t>(file.begin(), file.begin() + 8),
              (std::vector<uint8_t>{0x8B, 'J', 'N', 'G', '\r', '\n', 0x1A, '\n'}));
    const auto chunks = png_oracle::Chunks(file);
    ASSERT_GE(chunks.size(), 4u);
    ASSERT_EQ(chunks[0].type, "JHDR");
    // 1920 x 1280, colour, 8-bit samples, JPEG compression, sequential, no alpha.
    EXPECT_EQ(chunks[0].data, (std::vector<uint8_t>{0, 0, 7, 0x80, 0, 0, 5, 0x00, 10, 8, 8, 0, 0, 0, 0, 0}));
    EXPECT_EQ(chunks[1].type, "sRGB");
    EXPECT_EQ(chunks.back().type, "IEND");
    std::vector<uint8_t> jpeg;
    std::vector<size_t> sizes;
    for (const auto& chunk : chunks) {
        EXPECT_NE(chunk.type, "IDAT");
        if (chunk.type != "JDAT") continue;
        jpeg.insert(jpeg.end(), chunk.data.begin(), chunk.data.end());
        sizes.push_back(chunk.data.size());
    }
    ASSERT_GE(sizes.size(), 2u);
    for (size_t i = 0; i + 1 < sizes.size(); ++i) EXPECT_EQ(sizes[i], 65536u);

    // Baseline: a SOF0 marker and no progressive one. Quality 90 scales libjpeg's
    // luminance table by 20%: its first entries 16, 11, 12 become 3, 2, 2.
    bool baseline = false, progressive = false;
    for (size_t i = 0; i + 1 < jpeg.size(); ++i) {
        if (jpeg[i] != 0xFF) continue;
        baseline |= jpeg[i + 1] == 0xC0;
        progressive |= jpeg[i + 1] == 0xC2;
        if (jpeg[i + 1] == 0xDB && i + 8 < jpeg.size() && jpeg[i + 4] == 0) {
            EXPECT_EQ(jpeg[i + 5], 3);
            EXPECT_EQ(jpeg[i + 6], 2);
            EXPECT_EQ(jpeg[i + 7], 2);
        }
    }
    EXPECT_TRUE(baseline);
    EXPECT_FALSE(progressive);
    const JpegPixels decoded = DecodeJpeg(jpeg);
    ASSERT_EQ(decoded.width, 1920);
    ASSERT_EQ(decoded.height, 1280);
    ASSERT_EQ(decoded.components, 3);
    EXPECT_LT(MeanAbsoluteDifference(decoded.rgb, source.rgb), 3.0);

    // ImageMagick reads the JNG as the same picture.
    const RGBImage viaConvert = decodeWithConvert(dir / "photo.jng");
    EXPECT_LT(MeanAbsoluteDifference(viaConvert.rgb, decoded.rgb), 1.0);

    // So does libmng's own reader.
    ng::TNGImage image;
    image.LoadFromFile(dir / "photo.jng");
    ASSERT_EQ(image.Width(), 1920);
    ASSERT_EQ(image.Height(), 1280);
    std::vector<uint8_t> viaLibmng;
    for (int y = 0; y < 1280; ++y)
        for (int x = 0; x < 1920; ++x) {
            const uint8_t* p = image.Bitmap().ScanLine(y) + 3 * x;
            viaLibmng.insert(viaLibmng.end(), {p[2], p[1], p[0]});
        }
    EXPECT_LT(MeanAbsoluteDifference(viaLibmng, decoded.rgb), 1.0);
}

TEST(Codes104And105, InputsThatAreNotBitmapsAreReportedAndKept) {
    TempDir dir;
    writeFile(dir / "text.bmp", std::string("not a bitmap"));
    for (const char* code : {"104", "105"}) {
        const auto r = runPixmorph({dir / "text.bmp", code, dir / "out.png"});
        EXPECT_EQ(r.exitCode, 1) << code;
        EXPECT_EQ(r.err, report("Bitmap image is not valid.")) << code;
    }
    EXPECT_EQ(listDirectory(dir.path()), std::vector<std::string>{"text.bmp"});
}

namespace {
RunResult RunWithoutLibmng(const std::vector<std::string>& args) {
    std::vector<std::string> argv = {"env", std::string("LD_PRELOAD=") + NO_LIBMNG_PRELOAD, PIXMORPH_BINARY};
    argv.insert(argv.end(), args.begin(), args.end());
    return runProgram(argv);
}
const std::string Refused = "[libmng load refused]\n";
}  // namespace

TEST(Codes104And105, WithoutLibmngTheyFailWithTheLibrarysMessageAndKeepTheInput) {
    TempDir dir;
    WriteBitmap(dir / "in.bmp", 5, 4, [](int x, int y) { return std::array<uint8_t, 3>{1, uint8_t(x), uint8_t(y)}; });
    for (const char* code : {"104", "105"}) {
        const auto r = RunWithoutLibmng({dir / "in.bmp", code, dir / "out.png"});
        EXPECT_EQ(r.exitCode, 1) << code;
        EXPECT_EQ(r.err, Refused + report("libmng.dll was not loaded correctly.")) << code;
    }
    EXPECT_EQ(listDirectory(dir.path()), std::vector<std::string>{"in.bmp"});
}

TEST(Codes104And105, NoOtherConversionLoadsLibmngAndTheBinaryDoesNotLinkIt) {
    TempDir dir;
    WriteBitmap(dir / "in.bmp", 5, 4, [](int x, int y) { return std::array<uint8_t, 3>{9, uint8_t(x), uint8_t(y)}; });
    auto r = RunWithoutLibmng({dir / "in.bmp", "100", dir / "copy.bmp"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.err, "");
    r = RunWithoutLibmng({dir / "in.bmp", "5", dir / "out.png"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(fileExists(dir / "out.png"));
    const auto elf = runProgram({"readelf", "-d", PIXMORPH_BINARY});
    ASSERT_EQ(elf.exitCode, 0);
    EXPECT_NE(elf.out.find("NEEDED"), std::string::npos);
    EXPECT_EQ(elf.out.find("libmng"), std::string::npos);
}
