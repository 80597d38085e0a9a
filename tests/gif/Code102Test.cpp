// Code 102 through the real binary: Windows bitmaps in, GIF files out, read back by giflib.
#include <gtest/gtest.h>

#include <algorithm>

#include "TestSupport.h"
#include "codecs/BmpBytes.h"
#include "codecs/ReferenceImages.h"
#include "gif/GifOracle.h"

using namespace testing_support;
using namespace reference_images;

#ifdef PIXMORPH_HAVE_GIFLIB

namespace {

std::string report(const std::string& message) { return "Pixmorph: " + message + "\n"; }

// The first frame's colours through its own (or the global) table.
RGBImage ColoursOf(const gif_oracle::Decoded& gif) {
    RGBImage image;
    if (gif.frames.empty()) return image;
    const gif_oracle::Frame& frame = gif.frames[0];
    const std::vector<uint8_t>& map = frame.localMap.empty() ? gif.globalMap : frame.localMap;
    image.width = frame.width;
    image.height = frame.height;
    for (uint8_t index : frame.pixels)
        for (int c = 0; c < 3; ++c) image.rgb.push_back(map.at(size_t{index} * 3 + c));
    return image;
}

}  // namespace

TEST(Code102, IndexedSuiteBitmapsKeepTheirPalettesAndEveryPixelAndTheInputGoes) {
    PIXMORPH_REQUIRE_TESTDATA();
    TempDir dir;
    struct Case {
        const char* name;
        uint8_t screenPacked, framePacked;
    };
    const Case cases[] = {
        {"pal1.bmp", 0x00, 0x80},     {"pal1wb.bmp", 0x00, 0x80}, {"pal4.bmp", 0x33, 0x83},
        {"pal4gs.bmp", 0x33, 0x83},   {"pal8.bmp", 0x77, 0x87},   {"pal8topdown.bmp", 0x77, 0x87},
        {"pal8os2.bmp", 0x77, 0x87},  {"pal8-0.bmp", 0x77, 0x87}, {"pal8gs.bmp", 0x77, 0x87},
        {"pal8w124.bmp", 0x77, 0x87}, {"pal8rle.bmp", 0x77, 0x87}, {"pal4rle.bmp", 0x33, 0x83},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string input = dir / c.name;
        writeFile(input, readFile(testdata(std::string("bmpsuite/g/") + c.name)));
        const auto r = runPixmorph({input, "102", dir / "out.gif"});
        ASSERT_EQ(r.exitCode, 0) << r.err;
        EXPECT_FALSE(fileExists(input)) << "the input goes after success";
        const std::vector<uint8_t> file = readFile(dir / "out.gif");
        ASSERT_GT(file.size(), 23u);
        EXPECT_EQ(std::string(file.begin(), file.begin() + 6), "GIF87a");
        EXPECT_EQ(file[10], c.screenPacked);
        EXPECT_EQ(file[13], 0x2C);
        EXPECT_EQ(file[22], c.framePacked);
        const gif_oracle::Decoded decoded = gif_oracle::Decode(file);
        ASSERT_TRUE(decoded.ok) << decoded.error;
        EXPECT_EQ(firstDifference(ColoursOf(decoded), bmpSuiteReference("g", c.name)), "");
    }
}

// An 8-bit table holds the palette's colours and every index used, rounded up to a power
// of two (six colours: 8 entries); giflib reads the pixels back through it.
TEST(Code102, EightBitTablesStopAtThePaletteOrTheHighestIndexUsed) {
    TempDir dir;
    const struct {
        int colours, highestIndex, tableEntries;
    } cases[] = {{6, 5, 8}, {2, 5, 8}, {6, 16, 32}, {200, 3, 256}};
    for (const auto& c : cases) {
        std::vector<uint32_t> palette;
        for (int i = 0; i < c.colours; ++i) palette.push_back(0x102030u * static_cast<uint32_t>(i + 1) & 0xFFFFFF);
        bmp_bytes::Info info;
        info.width = 4;
        info.bitCount = 8;
        info.colorsUsed = static_cast<uint32_t>(c.colours);
        const std::vector<uint8_t> row = {0, 1, uint8_t(c.highestIndex), 0};
        writeFile(dir / "in.bmp", bmp_bytes::file(info, palette, row));
        ASSERT_EQ(runPixmorph({dir / "in.bmp", "102", dir / "out.gif"}).exitCode, 0);
        const gif_oracle::Decoded decoded = gif_oracle::Decode(readFile(dir / "out.gif"));
        ASSERT_TRUE(decoded.ok) << decoded.error;
        EXPECT_EQ(decoded.frames.at(0).localMap.size(), size_t(c.tableEntries) * 3) << c.colours;
        RGBImage expected{4, 1, {}};
        for (uint8_t index : row)  // an index past the palette shows black
            for (int shift : {16, 8, 0})
                expected.rgb.push_back(index < c.colours ? uint8_t(palette[index] >> shift) : 0);
        EXPECT_EQ(firstDifference(ColoursOf(decoded), expected), "") << c.colours;
    }
}

TEST(Code102, TrueColourBitmapsBecomeTheColourCubeWithItsFixedLayout) {
    PIXMORPH_REQUIRE_TESTDATA();
    TempDir dir;
    // A picture of every channel level around the cube's boundaries, beside suite files.
    const int levels[] = {0, 1, 47, 48, 98, 99, 149, 150, 200, 201, 251, 252, 255};
    {
        std::string ppm = "P6 13 169 255\n";
        for (int r : levels)
            for (int g : levels)
                for (int b : levels) ppm += {char(r), char(g), char(b)};
        writeFile(dir / "levels.ppm", ppm);
        ASSERT_EQ(runProgram({"convert", dir / "levels.ppm", "-type", "TrueColor", "BMP3:" + dir / "levels.bmp"})
                      .exitCode,
                  0);
    }
    for (const char* name : {"levels.bmp", "rgb24.bmp", "rgb32.bmp", "rgb24pal.bmp"}) {
        SCOPED_TRACE(name);
        const std::string input = dir / name;
        if (!fileExists(input)) writeFile(input, readFile(testdata(std::string("bmpsuite/g/") + name)));
        const RGBImage source = decodeWithConvert(input);
        ASSERT_FALSE(source.empty());
        const auto r = runPixmorph({input, "102", dir / "out.gif"});
        ASSERT_EQ(r.exitCode, 0) << r.err;
        EXPECT_FALSE(fileExists(input));
        const std::vector<uint8_t> file = readFile(dir / "out.gif");
        ASSERT_GT(file.size(), 23u + 768 + 1);
        const std::vector<uint8_t> head = {'G', 'I', 'F', '8', '7', 'a',
                                           uint8_t(source.width), uint8_t(source.width >> 8),
                                           uint8_t(source.height), uint8_t(source.height >> 8),
                                           0x77, 0, 0, 0x2C, 0, 0, 0, 0,
                                           uint8_t(source.width), uint8_t(source.width >> 8),
                                           uint8_t(source.height), uint8_t(source.height >> 8), 0x87};
        EXPECT_EQ(std::vector<uint8_t>(file.begin(), file.begin() + 23), head);
        std::vector<uint8_t> table(768, 0);
        for (int i = 0; i < 216; ++i) {
            table[3 * i] = uint8_t(51 * (i / 36));
            table[3 * i + 1] = uint8_t(51 * (i / 6 % 6));
            table[3 * i + 2] = uint8_t(51 * (i % 6));
        }
        EXPECT_EQ(std::vector<uint8_t>(file.begin() + 23, file.begin() + 23 + 768), table);
        EXPECT_EQ(file[23 + 768], 8) << "minimum code size";
        EXPECT_EQ(file.back(), 0x3B);
        const gif_oracle::Decoded decoded = gif_oracle::Decode(file);
        ASSERT_TRUE(decoded.ok) << decoded.error;
        const std::vector<uint8_t>& pixels = decoded.frames.at(0).pixels;
        ASSERT_EQ(pixels.size(), size_t(source.width) * source.height);
        for (size_t i = 0; i < pixels.size(); ++i) {
            const uint8_t* c = &source.rgb[3 * i];
            const int expected = 36 * ((c[0] + 3) / 51) + 6 * ((c[1] + 3) / 51) + (c[2] + 3) / 51;
            ASSERT_EQ(pixels[i], expected) << "pixel " << i;
        }
    }
}

// RLE bitmaps whose table has no black keep their indices and table; only the pixels the
// data never reaches are black: an entry no pixel uses turns black, or, with every entry
// used, RLE4 widens to 8 bits with black at 16. giflib reads the indices and colours back.
TEST(Code102, RLEBitmapsWithoutBlackKeepTheirIndicesAndTable) {
    TempDir dir;
    auto colour = [](int i) { return static_cast<uint32_t>(i << 16 | ((i * 7) & 0xFF) << 8 | (255 - i)); };
    const struct {
        int bits, width, height;
        int skippedRows;  // the data ends with the end of the bitmap this many rows early
        int blackIndex;   // where the skipped pixels land
    } cases[] = {{8, 128, 128, 0, -1}, {8, 128, 128, 5, 0}, {4, 16, 8, 0, -1}, {4, 16, 8, 3, 16}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.bits << " bits, " << c.skippedRows << " rows skipped");
        const int entries = 1 << c.bits;
        auto index = [&](int x, int y) {  // RLE8 skipping rows leaves entry 0 unused
            const int v = (x * 3 + y * 5 + (x * y) % 17) % entries;
            return c.skippedRows && c.bits == 8 && v == 0 ? 1 : v;
        };
        std::vector<uint32_t> table;
        for (int i = 0; i < entries; ++i) table.push_back(colour(i));
        bmp_bytes::Bytes data;
        for (int y = c.height - 1; y >= c.skippedRows; --y) {  // bottom row first
            for (int x = 0; x < c.width; ++x)
                bmp_bytes::append(data, {1, static_cast<uint8_t>(c.bits == 4 ? index(x, y) << 4 : index(x, y))});
            bmp_bytes::append(data, {0, 0});
        }
        bmp_bytes::append(data, {0, 1});
        const bmp_bytes::Info info{.width = c.width, .height = c.height, .bitCount = static_cast<uint32_t>(c.bits),
                                   .compression = c.bits == 8 ? 1u : 2u, .masks = {}};
        writeFile(dir / "in.bmp", bmp_bytes::file(info, table, data));
        const auto r = runPixmorph({dir / "in.bmp", "102", dir / "out.gif"});
        ASSERT_EQ(r.exitCode, 0) << r.err;
        const gif_oracle::Decoded decoded = gif_oracle::Decode(readFile(dir / "out.gif"));
        ASSERT_TRUE(decoded.ok) << decoded.error;
        RGBImage expected{c.width, c.height, {}};
        std::vector<uint8_t> indices;
        for (int y = 0; y < c.height; ++y)
            for (int x = 0; x < c.width; ++x) {
                const bool skipped = y < c.skippedRows;
                indices.push_back(static_cast<uint8_t>(skipped ? c.blackIndex : index(x, y)));
                const uint32_t rgb = skipped ? 0 : colour(index(x, y));
                expected.rgb.insert(expected.rgb.end(), {uint8_t(rgb >> 16), uint8_t(rgb >> 8), uint8_t(rgb)});
            }
        EXPECT_EQ(decoded.frames.at(0).pixels, indices);
        EXPECT_EQ(firstDifference(ColoursOf(decoded), expected), "");
    }
}

TEST(Code102, FailuresKeepTheInputAndLeaveNoOutput) {
    PIXMORPH_REQUIRE_TESTDATA();
    TempDir dir;
    writeFile(dir / "text.bmp", std::string("not a bitmap"));
    auto r = runPixmorph({dir / "text.bmp", "102", dir / "out.gif"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err, report("Bitmap image is not valid."));
    writeFile(dir / "in.bmp", readFile(testdata("bmpsuite/g/pal8.bmp")));
    r = runPixmorph({dir / "in.bmp", "102", dir / "missing/out.gif"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err, report("Cannot create file \"" + dir / "missing/out.gif" + "\". No such file or directory."));
    // A disk that fills up part way leaves neither a partial file nor a lost input.
    r = runPixmorph({dir / "in.bmp", "102", dir / "out.gif"}, 100);
    EXPECT_EQ(r.exitCode, 1);
    auto names = listDirectory(dir.path());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"in.bmp", "text.bmp"}));
}

#endif
