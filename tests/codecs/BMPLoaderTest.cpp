#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <map>

#include "TestSupport.h"
#include "codecs/BMPLoader.h"
#include "codecs/BmpBytes.h"
#include "codecs/ReferenceImages.h"
#include "image/LinarBitmap.h"
#include "platform/Exceptions.h"
#include "picture/Graphics.h"
#include "platform/Stream.h"
#include "streams/HostStream.h"
#include "streams/MemStream.h"
#include "streams/Streams.h"

using namespace testing_support;
using namespace reference_images;
using namespace bmp_bytes;

namespace {

// The stream holds exactly these bytes and is positioned at their start.
void fillStream(TMemStream& stream, const Bytes& bytes) {
    stream.Write(bytes.data(), static_cast<int64_t>(bytes.size()));
    stream.Seek(0);
}

// "loaded" or the class and message of the failure; anything but the codec's own
// failures escapes and fails the test.
std::string loadOutcome(const std::string& path, TLinearBitmap& bitmap) {
    try {
        bitmap.LoadFromFile(path);
        return bitmap.Present ? "loaded" : "loaded nothing";
    } catch (const ELinearBitmap& e) {
        return std::string("ELinearBitmap: ") + e.Message();
    } catch (const EOutOfMemory& e) {
        return std::string("EOutOfMemory: ") + e.Message();
    } catch (const Exception& e) {
        return std::string(e.ClassName()) + ": " + e.Message();
    }
}

bool clearFailure(const std::string& outcome) {
    return outcome == "Exception: Unsupported file format" || outcome == "ELinearBitmap: Invalid bitmap size" ||
           outcome == "ELinearBitmap: Error in bitmap data" || outcome.rfind("EOutOfMemory: ", 0) == 0;
}

}  // namespace

// ---------------------------------------------------------------- the suite through the registry

TEST(BMPLoaderSuite, EveryGoodFileLoadsWithTheReferencePixels) {
    PIXMORPH_REQUIRE_TESTDATA();
    const auto names = bmpSuiteFiles("g");
    ASSERT_GE(names.size(), 27u);
    for (const std::string& name : names) {
        SCOPED_TRACE(name);
        TLinearBitmap bitmap;
        ASSERT_EQ(loadOutcome(testdata("bmpsuite/g/" + name), bitmap), "loaded");
        const RGBImage reference = bmpSuiteReference("g", name);
        ASSERT_FALSE(reference.empty());
        EXPECT_EQ(firstDifference(rgbOf(bitmap), reference), "");
    }
}

TEST(BMPLoaderSuite, PixelFormatsAreNormalisedToIndexed8OrBGR24) {
    PIXMORPH_REQUIRE_TESTDATA();
    const std::map<std::string, uint8_t> expected = {
        {"pal1", pfIndexed8},  {"pal4", pfIndexed8},   {"pal8", pfIndexed8}, {"pal8os2", pfIndexed8},
        {"rgb16", pfBGR24},    {"rgb16-565", pfBGR24}, {"rgb24", pfBGR24},   {"rgb32", pfBGR24},
        {"rgb32bf", pfBGR24},  {"pal8rle", pfIndexed8}, {"pal4rle", pfIndexed8}};
    for (const auto& [name, format] : expected) {
        TLinearBitmap bitmap;
        bitmap.LoadFromFile(testdata("bmpsuite/g/" + name + ".bmp"));
        EXPECT_EQ(bitmap.PixelFormat, format) << name;
        EXPECT_EQ(bitmap.Palette != nullptr, format == pfIndexed8) << name;
    }
    // A two-colour file keeps its two colours at indices 0 and 1.
    TLinearBitmap mono;
    mono.LoadFromFile(testdata("bmpsuite/g/pal1bg.bmp"));
    ASSERT_EQ(mono.PixelFormat, pfIndexed8);
    const std::vector<uint8_t> file = readFile(testdata("bmpsuite/g/pal1bg.bmp"));
    EXPECT_EQ(0, std::memcmp(mono.Palette.get(), file.data() + 54, 3));
    EXPECT_EQ(0, std::memcmp(mono.Palette.get() + 3, file.data() + 58, 3));
}

TEST(BMPLoaderSuite, QuestionableFilesLoadOrFailWithAClearMessage) {
    PIXMORPH_REQUIRE_TESTDATA();
    for (const std::string& name : bmpSuiteFiles("q")) {
        TLinearBitmap bitmap;
        const std::string outcome = loadOutcome(testdata("bmpsuite/q/" + name), bitmap);
        EXPECT_TRUE(outcome == "loaded" || clearFailure(outcome)) << name << ": " << outcome;
    }
    // 32-bit files with V4 and V5 headers and unusual masks load with their true colours.
    for (const char* name : {"rgb32-xbgr", "rgb32h52", "rgba32h56", "rgb32-7187", "rgba32-1"}) {
        TLinearBitmap bitmap;
        bitmap.LoadFromFile(testdata(std::string("bmpsuite/q/") + name + ".bmp"));
        const std::string png = testdata(std::string("bmpsuite/html/") + name + ".png");
        const RGBImage reference =
            fileExists(png) ? decodePng(png) : decodeWithConvert(testdata(std::string("bmpsuite/q/") + name + ".bmp"));
        ASSERT_FALSE(reference.empty()) << name;
        EXPECT_EQ(firstDifference(rgbOf(bitmap), reference), "") << name;
    }
}

TEST(BMPLoaderSuite, BadFilesFailCleanlyOrLoadWhatTheyCan) {
    PIXMORPH_REQUIRE_TESTDATA();
    for (const std::string& name : bmpSuiteFiles("b")) {
        TLinearBitmap bitmap;
        const std::string outcome = loadOutcome(testdata("bmpsuite/b/" + name), bitmap);
        EXPECT_TRUE(outcome == "loaded" || clearFailure(outcome)) << name << ": " << outcome;
    }
    TLinearBitmap big;
    EXPECT_TRUE(clearFailure(loadOutcome(testdata("bmpsuite/b/reallybig.bmp"), big)));
    EXPECT_FALSE(big.Present);
}

TEST(BMPLoaderSuite, ExtraFilesLoadLikeImageMagickDecodesThem) {
    PIXMORPH_REQUIRE_TESTDATA();
    const std::string folder = testdata("bmp-extra/libjpeg-turbo");
    const auto names = bmpFilesIn(folder);
    ASSERT_FALSE(names.empty());
    for (const std::string& name : names) {
        SCOPED_TRACE(name);
        TLinearBitmap bitmap;
        ASSERT_EQ(loadOutcome(folder + "/" + name, bitmap), "loaded");
        EXPECT_EQ(firstDifference(rgbOf(bitmap), decodeWithConvert(folder + "/" + name)), "");
    }
}

// ---------------------------------------------------------------- the codec's own cases

TEST(BMPLoader, RegisteredForBmpWithItsFilterAndGraphicClass) {
    ASSERT_NE(Loaders, nullptr);
    TBitmapLoader& loader = Loaders->FindLoader("bmp");
    EXPECT_STREQ(loader.ClassName(), "TBMPLoader");
    EXPECT_STREQ(Loaders->FindSaver("Bmp").ClassName(), "TBMPLoader");
    EXPECT_EQ(loader.GetLoadFilter(), "Windows bitmap (*.bmp)|*.bmp");
    EXPECT_EQ(loader.GetSaveFilter(), "Windows bitmap (*.bmp)|*.bmp");
    EXPECT_FALSE(loader.CanLoad("BM"));
    EXPECT_FALSE(loader.CanLoad("DIB"));
    auto factory = host::TPicture::FindFileFormat("BMP");
    ASSERT_TRUE(factory);
    EXPECT_STREQ(factory()->ClassName(), "TVKBitmap");
}

TEST(BMPLoader, OwnReaderTakesWhatThePlatformRefusesAndAllThirtyTwoBitFiles) {
    // A headerless 1-bit bitmap: black for 0, white for 1.
    TMemStream headerlessStream;
    const Bytes headerlessBytes = headerless(3, 1, 2, 1, {0xA0, 0x00});
    fillStream(headerlessStream, headerlessBytes);
    TLinearBitmap a;
    a.LoadFromStream(headerlessStream, "bmp");
    EXPECT_EQ(rgbOf(a).rgb, (std::vector<uint8_t>{255, 255, 255, 0, 0, 0, 255, 255, 255}));
    EXPECT_EQ(a.PixelFormat, pfBGR24);

    // A 32-bit V5 file with red in the low byte.
    Info info;
    info.headerSize = 124;
    info.width = 2;
    info.bitCount = 32;
    info.compression = 3;
    info.masks = {0xFF, 0xFF00, 0xFF0000, 0xFF000000};
    const Bytes v5 = file(info, {}, {0x11, 0x22, 0x33, 0xFF, 0x00, 0x00, 0xFF, 0x80});
    TMemStream v5Stream;
    fillStream(v5Stream, v5);
    TLinearBitmap b;
    b.LoadFromStream(v5Stream, "BMP");
    EXPECT_EQ(b.PixelFormat, pfBGR24);
    EXPECT_EQ(rgbOf(b).rgb, (std::vector<uint8_t>{0x11, 0x22, 0x33, 0x00, 0x00, 0xFF}));
}

TEST(BMPLoader, NotABitmapFailsWithUnsupportedFileFormat) {
    for (const Bytes& bytes : {Bytes{'B', 'A', 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, Bytes{'G', 'I', 'F', '8', '9', 'a'},
                               Bytes{}}) {
        TMemStream stream;
        fillStream(stream, bytes);
        TLinearBitmap bitmap;
        try {
            bitmap.LoadFromStream(stream, "BMP");
            ADD_FAILURE() << "loaded";
        } catch (const Exception& e) {
            EXPECT_STREQ(e.ClassName(), "Exception");
            EXPECT_EQ(e.Message(), "Unsupported file format");
        }
    }
}

TEST(BMPLoader, BitmapInsideALargerForwardOnlyStream) {
    // A stream that cannot seek: the codec takes it into memory first, and offsets count
    // from where the bitmap starts.
    class ForwardOnly : public TBaseStream {
    public:
        explicit ForwardOnly(Bytes data) : data_(std::move(data)) { CanRead = true; }
        int64_t Write(const void*, int64_t) override { return 0; }
        int64_t Read(void* buffer, int64_t count) override {
            const int64_t n = std::min<int64_t>(count, static_cast<int64_t>(data_.size()) - pos_);
            std::memcpy(buffer, data_.data() + pos_, static_cast<size_t>(n));
            pos_ += n;
            return n;
        }
        int64_t Available() override { return static_cast<int64_t>(data_.size()) - pos_; }
        int64_t pos_ = 0;

    private:
        Bytes data_;
    };
    Info info;
    info.width = 1;
    info.height = 1;
    Bytes bytes(7, 0x55);
    append(bytes, file(info, {}, {0x01, 0x02, 0x03, 0x00}));
    ForwardOnly stream(bytes);
    uint8_t skip[7];
    stream.Read(skip, 7);
    TLinearBitmap bitmap;
    bitmap.LoadFromStream(stream, "BMP");
    EXPECT_EQ(rgbOf(bitmap).rgb, (std::vector<uint8_t>{0x03, 0x02, 0x01}));
}

// ---------------------------------------------------------------- saving

namespace {

uint32_t le32(const std::vector<uint8_t>& b, size_t o) {
    return b[o] | b[o + 1] << 8 | b[o + 2] << 16 | static_cast<uint32_t>(b[o + 3]) << 24;
}

}  // namespace

TEST(BMPLoaderSave, EightBitFilesCarryThePaletteAndPaddedBottomUpRows) {
    TempDir dir;
    TLinearBitmap bitmap;
    bitmap.New(3, 2, pfIndexed8);
    for (int i = 0; i < 256; ++i) {
        bitmap.Palette[3 * i] = static_cast<uint8_t>(i);        // blue
        bitmap.Palette[3 * i + 1] = static_cast<uint8_t>(255 - i);  // green
        bitmap.Palette[3 * i + 2] = 7;                          // red
    }
    const uint8_t pixels[6] = {1, 2, 3, 4, 5, 6};
    std::memcpy(bitmap.ScanLine(0), pixels, 6);
    bitmap.SaveToFile(dir / "out.bmp");
    const std::vector<uint8_t> f = readFile(dir / "out.bmp");
    // 14 + 40 + 1024 bytes of headers and table, rows of 3 bytes padded to 4.
    ASSERT_EQ(f.size(), 14u + 40 + 1024 + 8);
    EXPECT_EQ(f[0], 'B');
    EXPECT_EQ(f[1], 'M');
    EXPECT_EQ(le32(f, 2), f.size());
    EXPECT_EQ(le32(f, 10), 1078u);
    EXPECT_EQ(le32(f, 14), 40u);
    EXPECT_EQ(le32(f, 18), 3u);
    EXPECT_EQ(le32(f, 22), 2u);
    EXPECT_EQ(f[28], 8);
    EXPECT_EQ(le32(f, 30), 0u);
    EXPECT_EQ((std::vector<uint8_t>(f.begin() + 54 + 4 * 200, f.begin() + 54 + 4 * 201)),
              (std::vector<uint8_t>{200, 55, 7, 0}));
    EXPECT_EQ((std::vector<uint8_t>(f.begin() + 1078, f.end())), (std::vector<uint8_t>{4, 5, 6, 0, 1, 2, 3, 0}));
    // ImageMagick reads what we wrote.
    const RGBImage theirs = decodeWithConvert(dir / "out.bmp");
    EXPECT_EQ(firstDifference(rgbOf(bitmap), theirs), "");
}

TEST(BMPLoaderSave, RoundTripsKeepPixelsForEveryFormat) {
    PIXMORPH_REQUIRE_TESTDATA();
    TempDir dir;
    TLinearBitmap rgb;
    rgb.LoadFromFile(testdata("bmpsuite/g/rgb24.bmp"));
    TLinearBitmap gray;
    gray.New(5, 3, pfGray16);
    for (int i = 0; i < 15; ++i) {
        gray.Map[2 * i] = 0x99;
        gray.Map[2 * i + 1] = static_cast<uint8_t>(i * 17);
    }
    TLinearBitmap bgrx;
    bgrx.New(3, 3, pfBGRX32);
    for (int i = 0; i < 36; ++i) bgrx.Map[i] = static_cast<uint8_t>(i * 7);
    TLinearBitmap pal;
    pal.LoadFromFile(testdata("bmpsuite/g/pal8.bmp"));
    for (TLinearBitmap* image : {&rgb, &gray, &bgrx, &pal}) {
        SCOPED_TRACE(image->PixelFormat);
        image->SaveToFile(dir / "round.bmp");
        EXPECT_EQ(firstDifference(rgbOf(*image), decodeWithConvert(dir / "round.bmp")), "");
        TLinearBitmap back;
        back.LoadFromFile(dir / "round.bmp");
        EXPECT_EQ(firstDifference(rgbOf(back), rgbOf(*image)), "");
        const uint8_t expectedFormat =
            image->PixelFormat == pfGray16 || image->PixelFormat == pfIndexed8 ? pfIndexed8 : pfBGR24;
        EXPECT_EQ(back.PixelFormat, expectedFormat);
    }
    // A grey image is written as 8 bits with the grey palette.
    gray.SaveToFile(dir / "gray.bmp");
    const std::vector<uint8_t> f = readFile(dir / "gray.bmp");
    EXPECT_EQ(f[28], 8);
    EXPECT_EQ(f[54 + 4 * 100], 100);
}

TEST(BMPLoaderSave, AnEmptyImageIsRefusedInsteadOfWritingAnEmptyFile) {
    TMemStream stream;
    TLinearBitmap empty;
    EXPECT_THROW(Loaders->FindSaver("BMP").SaveToStream(stream, "BMP", empty), ELinearBitmap);
    EXPECT_EQ(stream.GetSize(), 0);
}

// ---------------------------------------------------------------- the program

// Headerless row padding, large images with little data, and header sizes, each converted
// by the binary and read back by ImageMagick; the pixels follow from the bytes written.
TEST(BMPLoaderProgram, LayoutsTheReadersMustTakeConvertWithTheirPixels) {
    using Pixel = std::function<uint32_t(int, int)>;  // 0xRRGGBB at (x, y), y from the top
    struct Case { std::string name; Bytes file; std::string code; int width, height; Pixel pixel; };
    std::vector<Case> cases;
    // 16 x 3 at 1 bit, 2 bytes per row, rows 4-byte aligned with junk in the padding.
    const Bytes rows = {0xF0, 0x0F, 0xEE, 0xEE, 0xAA, 0x55, 0xEE, 0xEE, 0x00, 0xFF, 0xEE, 0xEE};
    cases.push_back({"headerless", headerless(16, 3, 2, 1, rows), "5", 16, 3, [&](int x, int y) -> uint32_t {
                         return (rows[4 * y + x / 8] >> (7 - x % 8)) & 1 ? 0xFFFFFF : 0;
                     }});
    // 2000 x 2000 RLE8 that ends after one run of ten red pixels in the bottom row.
    Info rle;
    rle.width = rle.height = 2000;
    rle.bitCount = 8;
    rle.compression = 1;
    cases.push_back({"rle8", file(rle, {0x000000, 0xFF0000}, {10, 1}), "5", 2000, 2000,
                     [](int x, int y) -> uint32_t { return y == 1999 && x < 10 ? 0xFF0000 : 0; }});
    // 1100 x 1000 at 24 bits with its bottom fifth of rows; row r from the bottom is grey r + 1.
    Info part;
    part.width = 1100;
    part.height = 1000;
    Bytes partRows;
    for (int r = 0; r < 200; ++r) partRows.insert(partRows.end(), 1100 * 3, static_cast<uint8_t>(r + 1));
    cases.push_back({"fifth", file(part, {}, partRows), "5", 1100, 1000, [](int, int y) -> uint32_t {
                         const int r = 999 - y;
                         return r < 200 ? 0x010101u * static_cast<uint32_t>(r + 1) : 0;
                     }});
    // Information headers of 40 bytes or more in the 40-byte layout, through the platform reader.
    const Bytes twoByTwo = {0x10, 0x20, 0x30, 0x40, 0x50, 0x60, 0, 0, 0x70, 0x80, 0x90, 0xA0, 0xB0, 0xC0, 0, 0};
    const Pixel twoByTwoPixel = [&](int x, int y) -> uint32_t {
        const uint8_t* p = twoByTwo.data() + 8 * (1 - y) + 3 * x;
        return uint32_t{p[2]} << 16 | uint32_t{p[1]} << 8 | p[0];
    };
    for (uint32_t size : {44u, 48u, 60u, 100u, 128u}) {
        Info info;
        info.headerSize = size;
        info.width = info.height = 2;
        cases.push_back({"header" + std::to_string(size), file(info, {}, twoByTwo), "100", 2, 2, twoByTwoPixel});
    }
    // A 64-byte header with compression 3 is read as plain rows: 32 bits as blue, green, red.
    Info os2;
    os2.headerSize = 64;
    os2.width = 2;
    os2.height = 1;
    os2.bitCount = 32;
    os2.compression = 3;
    cases.push_back({"os2", file(os2, {}, {0x11, 0x22, 0x33, 0xFF, 0x44, 0x55, 0x66, 0xFF}), "5", 2, 1,
                     [](int x, int) -> uint32_t { return x == 0 ? 0x332211 : 0x665544; }});
    // 3 x 2 at 5-6-5, rows of 6 bytes padded to 8: converted as they are read, each channel
    // scaled to 0..255 with rounding (1 of 31 is 8, 2 of 63 is 8).
    const Info rgb565{.width = 3, .height = 2, .bitCount = 16, .compression = 3, .masks = {0xF800, 0x07E0, 0x001F}};
    const uint32_t rgb565Pixels[2][3] = {{0xFFFFFF, 0x080808, 0x000000}, {0xFF0000, 0x00FF00, 0x0000FF}};
    cases.push_back({"rgb565",
                     file(rgb565, {}, {0x00, 0xF8, 0xE0, 0x07, 0x1F, 0x00, 0xEE, 0xEE,
                                       0xFF, 0xFF, 0x41, 0x08, 0x00, 0x00, 0xEE, 0xEE}),
                     "5", 3, 2, [&](int x, int y) { return rgb565Pixels[y][x]; }});
    // 2 x 3 at 32 bits, top-down, its data ending inside the second row's second pixel:
    // that pixel keeps the two bytes it has, the rest of the image stays black.
    const Info cut32{.width = 2, .height = -3, .bitCount = 32};
    const uint32_t cut32Pixels[3][2] = {{0x030201, 0x060504}, {0x090807, 0x000B0A}, {0, 0}};
    cases.push_back({"cut32", file(cut32, {}, {1, 2, 3, 0xFF, 4, 5, 6, 0xFF, 7, 8, 9, 0xFF, 10, 11}), "5", 2, 3,
                     [&](int x, int y) { return cut32Pixels[y][x]; }});
    TempDir dir;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        writeFile(dir / (c.name + ".bmp"), c.file);
        const RunResult run = runPixmorph({dir / (c.name + ".bmp"), c.code, dir / (c.name + "-out.bmp")});
        ASSERT_EQ(run.exitCode, 0) << run.err;
        RGBImage expected;
        expected.width = c.width;
        expected.height = c.height;
        for (int y = 0; y < c.height; ++y)
            for (int x = 0; x < c.width; ++x) {
                const uint32_t rgb = c.pixel(x, y);
                expected.rgb.insert(expected.rgb.end(), {static_cast<uint8_t>(rgb >> 16), static_cast<uint8_t>(rgb >> 8),
                                                         static_cast<uint8_t>(rgb)});
            }
        EXPECT_EQ(firstDifference(decodeWithConvert(dir / (c.name + "-out.bmp")), expected), "");
    }
    // The limit on one image buffer comes from the environment.
    writeFile(dir / "fifth.bmp", cases[2].file);
    const RunResult limited = runProgram({"/usr/bin/env", "PIXMORPH_MAX_IMAGE_BYTES=1M", PIXMORPH_BINARY,
                                          dir / "fifth.bmp", "5", dir / "limited.bmp"});
    EXPECT_EQ(limited.err, "Pixmorph: Invalid bitmap size.\n");
}

TEST(BMPLoaderProgram, CodecPathConvertsEveryGoodFileAndDeletesTheInput) {
    PIXMORPH_REQUIRE_TESTDATA();
    // What we write is read back by ImageMagick and compared with the suite's rendering.
    TempDir dir;
    for (const std::string& name : bmpSuiteFiles("g")) {
        SCOPED_TRACE(name);
        const std::string input = dir / name;
        const std::string output = dir / ("out-" + name);
        writeFile(input, readFile(testdata("bmpsuite/g/" + name)));
        const RunResult run = runPixmorph({input, "5", output});
        ASSERT_EQ(run.exitCode, 0) << run.err;
        EXPECT_FALSE(fileExists(input));
        EXPECT_EQ(firstDifference(decodeWithConvert(output), bmpSuiteReference("g", name)), "");
    }
    // A file that neither reader accepts: one report, the input kept, no output.
    const std::string bad = dir / "bad.bmp";
    writeFile(bad, std::string("BA not a bitmap at all"));
    const RunResult run = runPixmorph({bad, "5", dir / "bad-out.bmp"});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_NE(run.err.find("Unsupported file format"), std::string::npos) << run.err;
    EXPECT_TRUE(fileExists(bad));
    EXPECT_FALSE(fileExists(dir / "bad-out.bmp"));
}

TEST(BMPLoader, AHeaderClaimingMoreThanTheImageLimitFailsBeforeAnyReaderAllocates) {
    // 779 bytes of RLE4 claiming 2,818,175 x 64 pixels: half a gigabyte of 24-bit pixels,
    // beyond the limit the fuzz targets run with (found by bmp_fuzzer as a timeout).
    const ScopedImageLimit limit(int64_t{32} << 20);
    const std::vector<uint8_t> bytes = readFile(std::string(PIXMORPH_SOURCE_DIR) +
                                                "/tests/fuzz/regressions/bmp_fuzzer/rle4-huge-width-timeout.bmp");
    TMemStream stream;
    fillStream(stream, bytes);
    TLinearBitmap bitmap;
    try {
        bitmap.LoadFromStream(stream, "BMP");
        ADD_FAILURE() << "loaded " << bitmap.Width << "x" << bitmap.Height;
    } catch (const ELinearBitmap& e) {
        EXPECT_EQ(e.Message(), "Invalid bitmap size");
    }
    // The same header with the stream holding enough data loads.
    Info info;
    info.width = 3000;
    info.height = 2000;
    info.bitCount = 8;
    TMemStream big;
    const Bytes whole = file(info, std::vector<uint32_t>(256, 0x808080), Bytes(3000 * 2000, 1));
    fillStream(big, whole);
    bitmap.LoadFromStream(big, "BMP");
    EXPECT_EQ(bitmap.Width, 3000);
    // And so does one missing half its pixel data: the rest stays as created.
    TMemStream half;
    fillStream(half, Bytes(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(whole.size() / 2)));
    bitmap.LoadFromStream(half, "BMP");
    EXPECT_EQ(bitmap.Height, 2000);
}

TEST(BMPLoader, PlainFilesKeepRowOrderPaddingAndTheirTable) {
    // 3 x 2 at 24 bits: rows of 9 bytes padded to 12; bottom-up, then top-down.
    Info info;
    info.width = 3;
    info.height = 2;
    const Bytes rows = {1, 2, 3, 4, 5, 6, 7, 8, 9, 0xEE, 0xEE, 0xEE, 10, 11, 12, 13, 14, 15, 16, 17, 18, 0xEE, 0xEE, 0xEE};
    const std::vector<uint8_t> bottomUp = {12, 11, 10, 15, 14, 13, 18, 17, 16, 3, 2, 1, 6, 5, 4, 9, 8, 7};
    const std::vector<uint8_t> topDown = {3, 2, 1, 6, 5, 4, 9, 8, 7, 12, 11, 10, 15, 14, 13, 18, 17, 16};
    for (int32_t height : {2, -2}) {
        info.height = height;
        const Bytes bytes = file(info, {}, rows);
        TMemStream stream;
        fillStream(stream, bytes);
        TLinearBitmap bitmap;
        bitmap.LoadFromStream(stream, "BMP");
        ASSERT_EQ(bitmap.PixelFormat, pfBGR24);
        EXPECT_EQ(rgbOf(bitmap).rgb, height > 0 ? bottomUp : topDown) << height;
        EXPECT_EQ(stream.GetPosition(), static_cast<int64_t>(bytes.size()));
    }
    // 8 bits with a full table: indices and table arrive as they are.
    info.height = 1;
    info.bitCount = 8;
    std::vector<uint32_t> table(256);
    for (int i = 0; i < 256; ++i) table[i] = static_cast<uint32_t>(i) << 16 | static_cast<uint32_t>(255 - i);
    const Bytes bytes = file(info, table, {0, 7, 255, 0});
    TMemStream stream;
    fillStream(stream, bytes);
    TLinearBitmap bitmap;
    bitmap.LoadFromStream(stream, "BMP");
    ASSERT_EQ(bitmap.PixelFormat, pfIndexed8);
    EXPECT_EQ((std::vector<uint8_t>(bitmap.Map.get(), bitmap.Map.get() + 3)), (std::vector<uint8_t>{0, 7, 255}));
    EXPECT_EQ(rgbOf(bitmap).rgb, (std::vector<uint8_t>{0, 0, 255, 7, 0, 248, 255, 0, 0}));
}

TEST(BMPLoader, PicturesOfBmpFilesReadThroughBothReaders) {
    PIXMORPH_REQUIRE_TESTDATA();
    TempDir dir;
    // Headerless: only the own reader takes it.
    writeFile(dir / "headerless.bmp", headerless(2, 1, 2, 4, {0x6E, 0x00}));
    host::TPicture picture;
    picture.LoadFromFile(dir / "headerless.bmp");
    ASSERT_NE(picture.Graphic(), nullptr);
    EXPECT_STREQ(picture.Graphic()->ClassName(), "TVKBitmap");
    host::TBitmap& bitmap = picture.Bitmap();
    EXPECT_EQ(bitmap.PixelFormat(), host::pf24bit);
    EXPECT_EQ(bitmap.GetPixel(0, 0), host::RGB(0xAA, 0x55, 0x00));
    EXPECT_EQ(bitmap.GetPixel(1, 0), host::RGB(0xFF, 0xFF, 0x55));
    // An ordinary 4-bit file stays with the platform reader at its own depth.
    picture.LoadFromFile(testdata("bmpsuite/g/pal4.bmp"));
    EXPECT_EQ(picture.Bitmap().PixelFormat(), host::pf4bit);
}
