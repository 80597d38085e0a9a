#include <gtest/gtest.h>
#include <png.h>

#include <cstring>
#include <map>
#include <vector>

#include "TestSupport.h"
#include "codecs/BmpBytes.h"
#include "picture/BitmapFile.h"
#include "picture/Graphics.h"
#include "platform/Stream.h"
#include "streams/HostStream.h"
#include "streams/Streams.h"

using namespace testing_support;
using namespace host;

namespace {


struct RGBImage {
    int width = 0, height = 0;
    std::vector<uint8_t> rgb;  // top row first, r g b
    bool opaque = true;
};

// Reference decoding through libpng.
bool decodePng(const std::string& path, RGBImage& out) {
    png_image image;
    std::memset(&image, 0, sizeof image);
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&image, path.c_str())) return false;
    image.format = PNG_FORMAT_RGBA;
    std::vector<uint8_t> rgba(PNG_IMAGE_SIZE(image));
    if (!png_image_finish_read(&image, nullptr, rgba.data(), 0, nullptr)) return false;
    out.width = static_cast<int>(image.width);
    out.height = static_cast<int>(image.height);
    out.rgb.clear();
    for (size_t i = 0; i < rgba.size(); i += 4) {
        out.rgb.insert(out.rgb.end(), {rgba[i], rgba[i + 1], rgba[i + 2]});
        if (rgba[i + 3] != 255) out.opaque = false;
    }
    return true;
}

RGBImage fromBitmap(const TBitmap& b) {
    RGBImage out;
    out.width = b.Width();
    out.height = b.Height();
    std::vector<uint32_t> row(static_cast<size_t>(b.Width()));
    for (int y = 0; y < b.Height(); ++y) {
        b.ReadRowRGB(y, 0, b.Width(), row.data());
        for (uint32_t c : row)
            out.rgb.insert(out.rgb.end(), {static_cast<uint8_t>(c >> 16), static_cast<uint8_t>(c >> 8),
                                           static_cast<uint8_t>(c)});
    }
    return out;
}

// First differing pixel as text, or empty when equal.
std::string difference(const RGBImage& a, const RGBImage& b) {
    if (a.width != b.width || a.height != b.height)
        return "size " + std::to_string(a.width) + "x" + std::to_string(a.height) + " vs " +
               std::to_string(b.width) + "x" + std::to_string(b.height);
    for (size_t i = 0; i < a.rgb.size(); i += 3)
        if (std::memcmp(&a.rgb[i], &b.rgb[i], 3) != 0) {
            const size_t p = i / 3;
            char text[128];
            std::snprintf(text, sizeof text, "pixel (%zu,%zu): %02x%02x%02x vs %02x%02x%02x", p % a.width,
                          p / a.width, a.rgb[i], a.rgb[i + 1], a.rgb[i + 2], b.rgb[i], b.rgb[i + 1], b.rgb[i + 2]);
            return text;
        }
    return "";
}

// ImageMagick as the second, independent decoder.
bool decodeWithConvert(const std::string& path, RGBImage& out) {
    TempDir dir;
    const RunResult r = runProgram({"convert", path, "-alpha", "off", "PNG24:" + (dir / "ref.png")});
    if (r.exitCode != 0) return false;
    return decodePng(dir / "ref.png", out);
}

std::vector<uint8_t> le16(uint32_t v) { return {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8)}; }
std::vector<uint8_t> le32(uint32_t v) {
    return {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v >> 16),
            static_cast<uint8_t>(v >> 24)};
}
void append(std::vector<uint8_t>& out, const std::vector<uint8_t>& more) { out.insert(out.end(), more.begin(), more.end()); }

// A file header plus a 40-or-larger information header, then extra (masks, table), then pixels.
std::vector<uint8_t> makeBmp(uint32_t headerSize, int32_t width, int32_t height, uint16_t bits,
                             uint32_t compression, uint32_t clrUsed, const std::vector<uint8_t>& extra,
                             const std::vector<uint8_t>& pixels, const std::vector<uint32_t>& headerMasks = {}) {
    std::vector<uint8_t> f = {'B', 'M'};
    const uint32_t offBits = 14 + headerSize + static_cast<uint32_t>(extra.size());
    append(f, le32(offBits + static_cast<uint32_t>(pixels.size())));
    append(f, le32(0));
    append(f, le32(offBits));
    std::vector<uint8_t> h;
    append(h, le32(headerSize));
    append(h, le32(static_cast<uint32_t>(width)));
    append(h, le32(static_cast<uint32_t>(height)));
    append(h, le16(1));
    append(h, le16(bits));
    append(h, le32(compression));
    append(h, le32(0));
    append(h, le32(2835));
    append(h, le32(2835));
    append(h, le32(clrUsed));
    append(h, le32(0));
    for (uint32_t m : headerMasks) append(h, le32(m));
    h.resize(headerSize, 0);
    append(f, h);
    append(f, extra);
    append(f, pixels);
    return f;
}

TBitmap load(const std::vector<uint8_t>& bytes) {
    TMemoryStream stream;
    stream.Data() = bytes;
    TBitmap b;
    b.LoadFromStream(stream);
    return b;
}

// Palette of entries given as 0xRRGGBB, written as 4-byte B G R 0 entries.
std::vector<uint8_t> table(std::initializer_list<uint32_t> colors) {
    std::vector<uint8_t> t;
    for (uint32_t c : colors) append(t, {static_cast<uint8_t>(c), static_cast<uint8_t>(c >> 8), static_cast<uint8_t>(c >> 16), 0});
    return t;
}

uint32_t px(const TBitmap& b, int x, int y) {
    uint32_t c;
    b.ReadRowRGB(y, x, 1, &c);
    return c;
}

const std::map<std::string, std::string>& referenceOf() {
    static const std::map<std::string, std::string> refs = {
        {"pal1", "pal1"},         {"pal1bg", "pal1bg"},   {"pal1wb", "pal1"},       {"pal4", "pal4"},
        {"pal4gs", "pal4gs"},     {"pal4rle", "pal4"},    {"pal8-0", "pal8"},       {"pal8", "pal8"},
        {"pal8gs", "pal8gs"},     {"pal8os2", "pal8"},    {"pal8rle", "pal8"},      {"pal8topdown", "pal8"},
        {"pal8v4", "pal8"},       {"pal8v5", "pal8"},     {"pal8w124", "pal8w124"}, {"pal8w125", "pal8w125"},
        {"pal8w126", "pal8w126"}, {"rgb16-565", "rgb16-565"}, {"rgb16-565pal", "rgb16-565"}, {"rgb16", "rgb16"},
        {"rgb16bfdef", "rgb16"},  {"rgb24", "rgb24"},     {"rgb24pal", "rgb24"},    {"rgb32", "rgb24"},
        {"rgb32bf", "rgb24"},     {"rgb32bfdef", "rgb24"},
    };
    return refs;
}

std::string stem(const std::string& name) { return name.substr(0, name.rfind('.')); }

}  // namespace

// ---------------------------------------------------------------- the BMP suite

TEST(BitmapReaderSuite, EveryGoodFileEqualsItsReferenceRendering) {
    PIXMORPH_REQUIRE_TESTDATA();
    const std::string dir = testdata("bmpsuite/g");
    const auto names = listDirectory(dir);
    ASSERT_GE(names.size(), 20u);
    int compared = 0;
    for (const std::string& name : names) {
        SCOPED_TRACE(name);
        TBitmap b;
        ASSERT_NO_THROW(b.LoadFromFile(dir + "/" + name));
        RGBImage reference;
        const auto it = referenceOf().find(stem(name));
        bool haveReference = false;
        if (it != referenceOf().end()) {
            ASSERT_TRUE(decodePng(testdata("bmpsuite/html/" + it->second + ".png"), reference));
            haveReference = reference.opaque;
        }
        if (!haveReference) {
            ASSERT_TRUE(decodeWithConvert(dir + "/" + name, reference)) << "no decoder for it";
        }
        EXPECT_EQ(difference(fromBitmap(b), reference), "");
        ++compared;
    }
    EXPECT_EQ(compared, static_cast<int>(names.size()));
}

TEST(BitmapReaderSuite, GoodFilesKeepTheirDepth) {
    PIXMORPH_REQUIRE_TESTDATA();
    const std::map<std::string, TPixelFormat> expected = {
        {"pal1.bmp", pf1bit},      {"pal4.bmp", pf4bit},       {"pal8.bmp", pf8bit},
        {"pal4rle.bmp", pf4bit},   {"pal8rle.bmp", pf8bit},   {"rgb16.bmp", pf15bit},
        {"rgb16bfdef.bmp", pf15bit}, {"rgb16-565.bmp", pf16bit}, {"rgb24.bmp", pf24bit},
        {"rgb32.bmp", pf32bit},    {"rgb32bfdef.bmp", pf32bit}, {"rgb32bf.bmp", pfCustom},
    };
    for (const auto& [name, format] : expected) {
        TBitmap b;
        b.LoadFromFile(testdata("bmpsuite/g/" + name));
        EXPECT_EQ(b.PixelFormat(), format) << name;
    }
}

TEST(BitmapReaderSuite, QuestionableFilesLoadOrFailWithTheMessage) {
    PIXMORPH_REQUIRE_TESTDATA();
    const std::string dir = testdata("bmpsuite/q");
    int loaded = 0, refused = 0;
    for (const std::string& name : listDirectory(dir)) {
        SCOPED_TRACE(name);
        TBitmap b;
        try {
            b.LoadFromFile(dir + "/" + name);
            ++loaded;
            EXPECT_FALSE(b.Empty());
        } catch (const EInvalidGraphic& e) {
            EXPECT_EQ(e.Message(), "Bitmap image is not valid");
            ++refused;
        }
    }
    EXPECT_GT(loaded, 10);
    EXPECT_GT(refused, 3);
}

TEST(BitmapReaderSuite, BadFilesNeverCrashAndFailOnlyWithTheMessage) {
    PIXMORPH_REQUIRE_TESTDATA();
    const std::string dir = testdata("bmpsuite/b");
    for (const std::string& name : listDirectory(dir)) {
        SCOPED_TRACE(name);
        TBitmap b;
        try {
            b.LoadFromFile(dir + "/" + name);
        } catch (const EInvalidGraphic& e) {
            EXPECT_EQ(e.Message(), "Bitmap image is not valid");
        }
    }
    TBitmap big;
    EXPECT_EQ(messageOf<EInvalidGraphic>([&] { big.LoadFromFile(dir + "/reallybig.bmp"); }),
              "Bitmap image is not valid");
}

TEST(BitmapReaderSuite, ExtraFilesLoadLikeImageMagickReadsThem) {
    PIXMORPH_REQUIRE_TESTDATA();
    const std::string dir = testdata("bmp-extra");
    for (const std::string& name : listDirectory(dir)) {
        if (name.size() < 4 || name.substr(name.size() - 4) != ".bmp") continue;
        SCOPED_TRACE(name);
        TBitmap b;
        ASSERT_NO_THROW(b.LoadFromFile(dir + "/" + name));
        RGBImage reference;
        ASSERT_TRUE(decodeWithConvert(dir + "/" + name, reference));
        EXPECT_EQ(difference(fromBitmap(b), reference), "");
    }
}

// ---------------------------------------------------------------- hand-made files

TEST(BitmapReaderMasks, SixteenBitMasksAreHonoured) {
    // 4-4-4 masks: a layout that neither 5-5-5 nor 5-6-5 reading would get right.
    const auto f = makeBmp(40, 2, 1, 16, BI_BITFIELDS, 0, [] {
        std::vector<uint8_t> m;
        append(m, le32(0x0F00));
        append(m, le32(0x00F0));
        append(m, le32(0x000F));
        return m;
    }(), {0x00, 0x0F, 0x8F, 0x00});  // pixel 0 = 0x0F00 (red), pixel 1 = 0x008F (green 8, blue 15)
    TBitmap b = load(f);
    EXPECT_EQ(b.PixelFormat(), pfCustom);
    EXPECT_EQ(px(b, 0, 0), 0xFF0000u);
    // green 8 of 15: (8 * 255 + 7) div 15 = 136 = 0x88
    EXPECT_EQ(px(b, 1, 0), 0x0088FFu);
}

TEST(BitmapReaderMasks, ThirtyTwoBitMasksInsideAV5HeaderAreHonoured) {
    // Red in the low byte, blue in the third: the reverse of the default order.
    const auto f = makeBmp(124, 1, 1, 32, BI_BITFIELDS, 0, {}, {0x11, 0x22, 0x33, 0x44},
                           {0x000000FF, 0x0000FF00, 0x00FF0000, 0xFF000000});
    TBitmap b = load(f);
    EXPECT_EQ(b.PixelFormat(), pfCustom);
    EXPECT_EQ(px(b, 0, 0), 0x112233u);  // R 0x11, G 0x22, B 0x33
    const auto v4 = makeBmp(108, 1, 1, 32, BI_BITFIELDS, 0, {}, {0x11, 0x22, 0x33, 0x44},
                            {0x00FF0000, 0x0000FF00, 0x000000FF, 0});
    TBitmap c = load(v4);
    EXPECT_EQ(c.PixelFormat(), pf32bit);
    EXPECT_EQ(px(c, 0, 0), 0x332211u);
}

TEST(BitmapReaderMasks, FiveSixFiveAndFiveFiveFiveKeepTheirFormat) {
    auto masks = [](uint32_t r, uint32_t g, uint32_t b) {
        std::vector<uint8_t> m;
        append(m, le32(r));
        append(m, le32(g));
        append(m, le32(b));
        return m;
    };
    // 0xF800 is pure red in 5-6-5; read as 5-5-5 it would be red 31 and green 0 too, so
    // use 0x07E0: all green in 5-6-5, but red 1 and green 31 in 5-5-5.
    TBitmap b = load(makeBmp(40, 1, 1, 16, BI_BITFIELDS, 0, masks(0xF800, 0x07E0, 0x001F), {0xE0, 0x07, 0, 0}));
    EXPECT_EQ(b.PixelFormat(), pf16bit);
    EXPECT_EQ(px(b, 0, 0), 0x00FF00u);
    TBitmap c = load(makeBmp(40, 1, 1, 16, BI_RGB, 0, {}, {0xE0, 0x03, 0, 0}));  // 5-5-5 green
    EXPECT_EQ(c.PixelFormat(), pf15bit);
    EXPECT_EQ(px(c, 0, 0), 0x00FF00u);
    // Scattered mask bits are not a colour channel.
    EXPECT_EQ(messageOf<EInvalidGraphic>(
                  [&] { load(makeBmp(40, 1, 1, 16, BI_BITFIELDS, 0, masks(0xA000, 0x07E0, 0x001F), {0, 0, 0, 0})); }),
              "Bitmap image is not valid");
}

TEST(BitmapReaderLayout, CoreHeaderTopDownAndEmbeddedBitmaps) {
    // Core header, 1 bit, 3-byte table entries: black then red.
    std::vector<uint8_t> f = {'B', 'M'};
    append(f, le32(0));
    append(f, le32(0));
    append(f, le32(14 + 12 + 6));
    append(f, le32(12));
    append(f, le16(3));
    append(f, le16(2));
    append(f, le16(1));
    append(f, le16(1));
    append(f, {0, 0, 0, 0, 0, 0xFF});
    append(f, {0xA0, 0, 0, 0});  // bottom row: 1 0 1
    append(f, {0x40, 0, 0, 0});  // top row: 0 1 0
    TBitmap b = load(f);
    ASSERT_EQ(b.PixelFormat(), pf1bit);
    EXPECT_EQ(px(b, 0, 1), 0xFF0000u);
    EXPECT_EQ(px(b, 1, 1), 0x000000u);
    EXPECT_EQ(px(b, 1, 0), 0xFF0000u);

    // Top-down 24-bit: the first stored row is the top row.
    const auto td = makeBmp(40, 1, -2, 24, BI_RGB, 0, {}, {1, 2, 3, 0, 4, 5, 6, 0});
    TBitmap t = load(td);
    EXPECT_EQ(px(t, 0, 0), 0x030201u);
    EXPECT_EQ(px(t, 0, 1), 0x060504u);

    // A bitmap inside a larger stream: offsets count from where it starts.
    TMemoryStream stream;
    stream.Data() = {9, 9, 9, 9, 9};
    append(stream.Data(), td);
    stream.SetPosition(5);
    TBitmap e;
    e.LoadFromStream(stream);
    EXPECT_EQ(px(e, 0, 1), 0x060504u);
}

TEST(BitmapReaderLayout, ForwardOnlyStreamsAreReadToo) {
    TempDir dir;
    writeFile(dir / "a.bmp", makeBmp(40, 2, 1, 8, BI_RGB, 2, table({0x102030, 0xA0B0C0}), {1, 0, 0, 0}));
    ::TFileStream file(dir / "a.bmp", fsRead);
    THostStream forward(&file);
    TBitmap b;
    b.LoadFromStream(forward);
    EXPECT_EQ(px(b, 0, 0), 0xA0B0C0u);
    EXPECT_EQ(px(b, 1, 0), 0x102030u);
}

TEST(BitmapReaderLayout, PixelDataEndingEarlyLoadsWhatIsThere) {
    // 2 x 3, 24 bits, rows of 8 bytes; only the bottom row and half of the next arrive.
    auto f = makeBmp(40, 2, 3, 24, BI_RGB, 0, {}, {1, 2, 3, 4, 5, 6, 0, 0, 7, 8, 9});
    TBitmap b = load(f);
    EXPECT_EQ(px(b, 0, 2), 0x030201u);
    EXPECT_EQ(px(b, 1, 2), 0x060504u);
    EXPECT_EQ(px(b, 0, 1), 0x090807u);
    EXPECT_EQ(px(b, 1, 1), 0u);
    EXPECT_EQ(px(b, 0, 0), 0u);
    // A pixel-data offset beyond the end: the whole image stays as created.
    auto g = makeBmp(40, 2, 2, 8, BI_RGB, 1, table({0xFFFFFF}), {});
    g[10] = 0xFF;
    g[11] = 0xFF;
    TBitmap c = load(g);
    EXPECT_EQ(px(c, 0, 0), 0xFFFFFFu) << "index 0 everywhere";
}

TEST(BitmapReaderLayout, InvalidHeadersFailWithTheMessage) {
    const std::vector<uint8_t> ok = makeBmp(40, 1, 1, 24, BI_RGB, 0, {}, {1, 2, 3, 0});
    ASSERT_NO_THROW(load(ok));
    auto broken = [&](auto change) {
        std::vector<uint8_t> f = ok;
        change(f);
        return messageOf<EInvalidGraphic>([&] { load(f); });
    };
    const std::string invalid = "Bitmap image is not valid";
    EXPECT_EQ(broken([](auto& f) { f[1] = 'A'; }), invalid);
    EXPECT_EQ(broken([](auto& f) { f[14] = 16; }), invalid) << "header size 16";
    EXPECT_EQ(broken([](auto& f) { f[26] = 2; }), invalid) << "planes 2";
    EXPECT_EQ(broken([](auto& f) { f[28] = 2; }), invalid) << "2 bits";
    EXPECT_EQ(broken([](auto& f) { f[30] = 4; }), invalid) << "JPEG compression";
    EXPECT_EQ(broken([](auto& f) { f[30] = 1; }), invalid) << "RLE8 with 24 bits";
    EXPECT_EQ(broken([](auto& f) { f[18] = 0; }), invalid) << "width 0";
    EXPECT_EQ(broken([](auto& f) { f[22] = 0; }), invalid) << "height 0";
    EXPECT_EQ(broken([](auto& f) { f[10] = 20; }), invalid) << "pixel data inside the header";
    EXPECT_EQ(broken([](auto& f) { f.resize(30); }), invalid) << "header cut short";
    EXPECT_EQ(broken([](auto& f) {  // 2^31 pixels claimed
                  f[18] = 0; f[19] = 0; f[20] = 1; f[21] = 0;  // width 65536
                  f[22] = 0; f[23] = 0; f[24] = 1; f[25] = 0;  // height 65536
              }),
              invalid);
    // RLE in a top-down file.
    EXPECT_EQ(messageOf<EInvalidGraphic>([] { load(makeBmp(40, 2, -2, 8, BI_RLE8, 0, table({0}), {0, 1})); }), invalid);
}

TEST(BitmapReaderRLE, RLE8RunsEscapesDeltasAndClipping) {
    // 4 x 3, colours: 0 black, 1 red, 2 green, 3 blue. Rows counted from the bottom.
    const auto colors = table({0x000000, 0xFF0000, 0x00FF00, 0x0000FF});
    const std::vector<uint8_t> data = {
        6, 1,          // bottom row: six red; only four fit, the rest are dropped
        0, 0,          // end of line
        0, 3, 2, 3, 2, 0,  // absolute run of three (odd: one pad byte)
        0, 0,
        0, 2, 1, 0,    // delta: one pixel right
        1, 3,          // blue at x = 1 of the top row
        0, 1,          // end of bitmap
        5, 2,          // never read
    };
    TBitmap b = load(makeBmp(40, 4, 3, 8, BI_RLE8, 4, colors, data));
    ASSERT_EQ(b.PixelFormat(), pf8bit);
    for (int x = 0; x < 4; ++x) EXPECT_EQ(px(b, x, 2), 0xFF0000u) << x;
    EXPECT_EQ(px(b, 0, 1), 0x00FF00u);
    EXPECT_EQ(px(b, 1, 1), 0x0000FFu);
    EXPECT_EQ(px(b, 2, 1), 0x00FF00u);
    EXPECT_EQ(px(b, 3, 1), 0u);
    EXPECT_EQ(px(b, 0, 0), 0u);
    EXPECT_EQ(px(b, 1, 0), 0x0000FFu);
    EXPECT_EQ(px(b, 2, 0), 0u);
}

// RLE data keeps its depth and indices; the pixels it skips are black, through the
// table's black entry or, without one, an entry no pixel uses.
TEST(BitmapReaderRLE, IndicesAreKeptAndSkippedPixelsShowBlack) {
    // Two red, skip one, one green; the top row is never reached.
    const std::vector<uint8_t> rle8 = {2, 1, 0, 2, 1, 0, 1, 2, 0, 1}, rle4 = {2, 0x11, 0, 2, 1, 0, 1, 0x20, 0, 1};
    const struct {
        int bits, compression, entries;
        bool black;
        TPixelFormat format;
    } cases[] = {{8, BI_RLE8, 4, true, pf8bit}, {4, BI_RLE4, 4, true, pf4bit}, {8, BI_RLE8, 256, false, pf8bit},
                 {4, BI_RLE4, 16, false, pf4bit}};
    for (const auto& c : cases) {
        std::vector<uint8_t> entries = table({0xFFFFFF, 0xFF0000, 0x00FF00, c.black ? 0u : 0xFFFFFFu});
        for (int i = 4; i < c.entries; ++i) append(entries, table({0xFFFFFF}));
        TBitmap b = load(makeBmp(40, 4, 2, static_cast<uint16_t>(c.bits), static_cast<uint32_t>(c.compression),
                                 static_cast<uint32_t>(c.entries), entries, c.bits == 8 ? rle8 : rle4));
        EXPECT_EQ(b.PixelFormat(), c.format) << c.bits << " bits, " << c.entries << " entries";
        const uint32_t bottom[4] = {0xFF0000, 0xFF0000, 0, 0x00FF00};
        for (int x = 0; x < 4; ++x) {
            EXPECT_EQ(px(b, x, 1), bottom[x]) << x;
            EXPECT_EQ(px(b, x, 0), 0u) << x;
        }
    }
}

// A table without black and pixels the data skips: an entry no pixel uses turns black (here
// 5, entry 0 being used); with every entry used RLE4 widens to 8 bits with black at 16 and
// RLE8 goes to 24 bits. Either way every index keeps its colour and the top row is black.
TEST(BitmapReaderRLE, TablesWithoutBlackGiveSkippedPixelsAnUnusedEntryOrWiden) {
    auto colour = [](int i) { return 0x00FF80u | static_cast<uint32_t>(i) << 16; };
    for (const int bits : {4, 8}) {
        for (const int leftOut : {-1, 5}) {
            SCOPED_TRACE(testing::Message() << bits << " bits, " << leftOut << " left out");
            const int entries = 1 << bits;
            std::vector<uint8_t> colours, data;
            for (int i = 0; i < entries; ++i) {  // one pixel of each index but the one left out
                append(colours, table({colour(i)}));
                append(data, {1, static_cast<uint8_t>(i == leftOut ? 0 : bits == 4 ? i << 4 : i)});
            }
            append(data, {0, 1});
            TBitmap b = load(makeBmp(40, entries, 2, static_cast<uint16_t>(bits), bits == 4 ? BI_RLE4 : BI_RLE8,
                                     static_cast<uint32_t>(entries), colours, data));
            EXPECT_EQ(b.PixelFormat(), leftOut >= 0 ? (bits == 4 ? pf4bit : pf8bit) : (bits == 4 ? pf8bit : pf24bit));
            for (int x = 0; x < entries; ++x) {
                ASSERT_EQ(px(b, x, 1), colour(x == leftOut ? 0 : x)) << x;
                ASSERT_EQ(px(b, x, 0), 0u) << x;
            }
        }
    }
}

TEST(BitmapReaderRLE, RLE4AbsoluteRunsAreAlignedToWords) {
    const auto colors = table({0x000000, 0xFF0000, 0x00FF00, 0x0000FF, 0xFFFFFF});
    const std::vector<uint8_t> data = {
        0, 3, 0x12, 0x30,        // 3 pixels: two bytes, no padding
        2, 0x44,                 // two white
        0, 0,
        0, 5, 0x12, 0x34, 0x10, 0,  // 5 pixels: three bytes and one pad byte
        1, 0x20,                 // one green
        0, 1,
    };
    TBitmap b = load(makeBmp(40, 6, 2, 4, BI_RLE4, 5, colors, data));
    const uint32_t bottom[6] = {0xFF0000, 0x00FF00, 0x0000FF, 0xFFFFFF, 0xFFFFFF, 0};
    const uint32_t top[6] = {0xFF0000, 0x00FF00, 0x0000FF, 0xFFFFFF, 0xFF0000, 0x00FF00};
    for (int x = 0; x < 6; ++x) {
        EXPECT_EQ(px(b, x, 1), bottom[x]) << x;
        EXPECT_EQ(px(b, x, 0), top[x]) << x;
    }
}

TEST(BitmapReaderRLE, DeltaPastTheLastRowAndTruncatedDataStopCleanly) {
    const auto colors = table({0, 0xFFFFFF});
    TBitmap b = load(makeBmp(40, 2, 2, 8, BI_RLE8, 2, colors, {1, 1, 0, 2, 0, 200, 2, 1}));
    EXPECT_EQ(px(b, 0, 1), 0xFFFFFFu);
    EXPECT_EQ(px(b, 1, 1), 0u);
    TBitmap c = load(makeBmp(40, 2, 2, 8, BI_RLE8, 2, colors, {2, 1, 0}));  // ends inside an escape
    EXPECT_EQ(px(c, 1, 1), 0xFFFFFFu);
    EXPECT_EQ(px(c, 0, 0), 0u);
    // Index beyond the table: black, not a read past it.
    TBitmap d = load(makeBmp(40, 1, 1, 8, BI_RLE8, 2, colors, {1, 250, 0, 1}));
    EXPECT_EQ(px(d, 0, 0), 0u);
}

// ---------------------------------------------------------------- writer

namespace {
class CountingStream : public TMemoryStream {
public:
    int writes = 0;
    int64_t Write(const void* buffer, int64_t count) override {
        ++writes;
        return TMemoryStream::Write(buffer, count);
    }
};
class FullDisk : public TMemoryStream {
public:
    int64_t Write(const void* buffer, int64_t count) override {
        const int64_t room = std::max<int64_t>(0, 2000 - GetSize());
        return TMemoryStream::Write(buffer, std::min(count, room));
    }
};
}  // namespace

TEST(BitmapWriter, EightBitLayoutByteForByte) {
    TBitmap b;
    b.SetPixelFormat(pf8bit);
    TPaletteEntry entries[2] = {{0x10, 0x20, 0x30, 0}, {0xFF, 0x00, 0x80, 0}};
    auto palette = CreatePalette(entries, 2);
    b.SetPalette(palette.get());
    b.SetSize(3, 2);
    b.ScanLine(0)[0] = 1;  // top row 1 0 0, bottom row 0 0 1
    b.ScanLine(1)[2] = 1;
    TMemoryStream out;
    b.SaveToStream(out);
    const auto& d = out.Data();
    ASSERT_EQ(d.size(), 14u + 40 + 1024 + 8);
    EXPECT_EQ(std::vector<uint8_t>(d.begin(), d.begin() + 14),
              (std::vector<uint8_t>{'B', 'M', 0x3E, 0x04, 0, 0, 0, 0, 0, 0, 0x36, 0x04, 0, 0}));
    EXPECT_EQ(d[14], 40);
    EXPECT_EQ(d[18], 3);
    EXPECT_EQ(d[22], 2);
    EXPECT_EQ(d[26], 1);
    EXPECT_EQ(d[28], 8);
    EXPECT_EQ(d[30], 0);
    EXPECT_EQ(d[34], 8) << "image size";
    EXPECT_EQ(std::vector<uint8_t>(d.begin() + 54, d.begin() + 62),
              (std::vector<uint8_t>{0x30, 0x20, 0x10, 0, 0x80, 0x00, 0xFF, 0}));
    EXPECT_EQ(d[62], 0) << "entries beyond the palette are black";
    EXPECT_EQ(std::vector<uint8_t>(d.begin() + 1078, d.end()), (std::vector<uint8_t>{0, 0, 1, 0, 1, 0, 0, 0}));
}

TEST(BitmapWriter, EveryFormatRoundTripsAndImageMagickAgrees) {
    TempDir dir;
    for (TPixelFormat f : {pf1bit, pf4bit, pf8bit, pf15bit, pf16bit, pf24bit, pf32bit}) {
        SCOPED_TRACE(static_cast<int>(f));
        TBitmap b;
        b.SetPixelFormat(pf24bit);
        b.SetSize(7, 5);
        for (int y = 0; y < 5; ++y)
            for (int x = 0; x < 7; ++x) b.SetPixel(x, y, (x + y) % 2 ? clWhite : RGB(0, 0, 255));
        b.SetPixel(6, 0, RGB(255, 0, 0));
        b.SetPixelFormat(f);
        const std::string name = dir / ("f" + std::to_string(f) + ".bmp");
        b.SaveToFile(name);
        TBitmap back;
        back.LoadFromFile(name);
        EXPECT_EQ(back.PixelFormat(), f);
        EXPECT_EQ(difference(fromBitmap(back), fromBitmap(b)), "");
        RGBImage reference;
        ASSERT_TRUE(decodeWithConvert(name, reference));
        EXPECT_EQ(difference(reference, fromBitmap(b)), "");
    }
}

TEST(BitmapWriter, WritesInLargeBlocksAndReportsAFullDisk) {
    TBitmap b;
    b.SetPixelFormat(pf24bit);
    b.SetSize(1000, 1000);
    CountingStream out;
    b.SaveToStream(out);
    EXPECT_EQ(out.GetSize(), 14 + 40 + 3000 * 1000);
    EXPECT_LE(out.writes, 5);
    FullDisk full;
    EXPECT_EQ(messageOf<EWriteError>([&] { b.SaveToStream(full); }), "Stream write error");
}

TEST(BitmapFiles, FileErrorsNameTheFile) {
    TempDir dir;
    TBitmap b;
    const std::string missing = dir / "missing.bmp";
    EXPECT_EQ(messageOf<EFOpenError>([&] { b.LoadFromFile(missing); }),
              "Cannot open file \"" + missing + "\". No such file or directory");
    b.SetSize(1, 1);
    const std::string bad = dir / "no/such/dir.bmp";
    EXPECT_EQ(messageOf<EFCreateError>([&] { b.SaveToFile(bad); }),
              "Cannot create file \"" + bad + "\". No such file or directory");
}

// ---------------------------------------------------------------- copying

namespace {

// What loading and saving write for a file: its bytes, or the message of the refusal.
std::string loadedAndSaved(const std::string& path) {
    try {
        TBitmap b;
        b.LoadFromFile(path);
        TMemoryStream out;
        b.SaveToStream(out);
        return {out.Data().begin(), out.Data().end()};
    } catch (const Exception& e) {
        return "refused: " + e.Message();
    }
}

// Hand-made files at the edges of what a copy may take: padding, truncation, row order,
// header kinds, short colour tables, offsets into the table, the image limit.
std::vector<std::pair<std::string, bmp_bytes::Bytes>> oddFiles() {
    using namespace bmp_bytes;
    const Bytes rows3x2(24, 0xA5);  // 3 pixels of 24 bits, 3 bytes of padding, 2 rows
    const Bytes bits1 = {0xFF, 0xFF, 0xFF, 0xFF};  // the bits past the width set
    Info v5;
    v5.headerSize = 140;
    v5.width = 2;
    v5.height = 2;
    v5.bitCount = 32;
    Info core{12, 3, 1, 1, 1, 0, 0, {}};
    Info masks565{40, 2, 2, 1, 16, BI_BITFIELDS, 0, {0xF800, 0x07E0, 0x001F}};
    Info masks555{40, 2, 2, 1, 16, BI_BITFIELDS, 0, {0x7C00, 0x03E0, 0x001F}};
    Info pal8{40, 4, 2, 1, 8, 0, 2, {}};
    return {
        {"padding-not-zero", file({40, 3, 2, 1, 24, 0, 0, {}}, {}, rows3x2)},
        {"last-row-cut", file({40, 3, 2, 1, 24, 0, 0, {}}, {}, Bytes(rows3x2.begin(), rows3x2.end() - 1))},
        {"last-padding-missing", file({40, 3, 2, 1, 24, 0, 0, {}}, {}, Bytes(rows3x2.begin(), rows3x2.end() - 3))},
        {"top-down", file({40, 3, -2, 1, 24, 0, 0, {}}, {}, rows3x2)},
        {"offset-far-behind-the-headers", file({40, 3, 2, 1, 24, 0, 0, {}}, {}, rows3x2, 4, 4000)},
        {"offset-past-the-end", file({40, 3, 2, 1, 24, 0, 0, {}}, {}, {}, 4, 3000)},
        {"offset-into-the-table", file(pal8, {0x102030, 0x405060}, Bytes(8, 1), 4, 54)},
        {"short-table", file(pal8, {0x102030, 0x405060}, Bytes(8, 1))},
        {"core-1-bit", file(core, {0x000000, 0xFFFFFF}, bits1, 3)},
        {"large-header-32-bit", file(v5, {}, Bytes(16, 0x7F))},
        {"masks-565", file(masks565, {}, Bytes(8, 0x3C))},
        {"masks-555", file(masks555, {}, Bytes(8, 0x3C))},
        // Rows of exactly the limit: the writer could, the reader keeps its spare bytes.
        {"at-the-image-limit", file({40, 4, 32768, 1, 8, 0, 0, {}}, {}, Bytes(4 * 32768, 9))},
    };
}

}  // namespace

TEST(BitmapFileCopy, WritesTheBytesLoadingAndSavingWriteForEveryFileItTakes) {
    PIXMORPH_REQUIRE_TESTDATA();
    TempDir dir;
    std::vector<std::string> paths;
    for (const char* folder : {"bmpsuite/g", "bmpsuite/q", "bmpsuite/b", "bmpsuite/x", "bmp-extra/libjpeg-turbo"})
        for (const std::string& name : listDirectory(testdata(folder))) paths.push_back(testdata(folder) + "/" + name);
    for (const auto& [name, bytes] : oddFiles()) {
        writeFile(dir / name, bytes);
        paths.push_back(dir / name);
    }
    const ScopedImageLimit limit(128 << 10);
    int copied = 0;
    for (const std::string& path : paths) {
        SCOPED_TRACE(path);
        host::TFileStream source(path, fmOpenRead);
        const auto plan = PlanBitmapFileCopy(source);
        if (!plan) continue;
        {
            host::TFileStream dest(dir / "copy.bmp", fmCreate);
            CopyBitmapFile(source, *plan, dest);
        }
        const std::vector<uint8_t> copy = readFile(dir / "copy.bmp");
        EXPECT_EQ(std::string(copy.begin(), copy.end()), loadedAndSaved(path));
        ++copied;
    }
    EXPECT_GE(copied, 55);
}
