// The ICO and CUR codec: real files against their reference renderings, hand-made files
// of every depth, hostile directories, and written files read back by us and ImageMagick.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "TestSupport.h"
#include "codecs/ICOLoader.h"
#include "codecs/IconFiles.h"
#include "image/LinarBitmap.h"
#include "picture/Dialogs.h"
#include "streams/MemStream.h"

using namespace testing_support;
using namespace icon_files;

namespace {

constexpr uint32_t Magenta = 0xFF00FF;  // as 0xRRGGBB

// Colour of a pixel of a linear bitmap as 0xRRGGBB.
uint32_t rgbAt(const TLinearBitmap& bitmap, int x, int y) {
    const uint8_t* p = bitmap.PixelFormat == pfIndexed8 ? bitmap.Palette.get() + 3 * bitmap.ScanLine(y)[x]
                                                        : bitmap.ScanLine(y) + 3 * x;
    return static_cast<uint32_t>(p[2]) << 16 | p[1] << 8 | p[0];
}

// "" when every pixel the oracle shows at least half opaque has its colour and every other
// one has `transparent`; otherwise the first difference.
std::string differenceFromOracle(const TLinearBitmap& ours, const RGBAImage& oracle, uint32_t transparent) {
    if (ours.Width != oracle.width || ours.Height != oracle.height)
        return Format("size %dx%d, oracle %dx%d", ours.Width, ours.Height, oracle.width, oracle.height);
    for (int y = 0; y < oracle.height; ++y)
        for (int x = 0; x < oracle.width; ++x) {
            const uint32_t expected = oracle.alphaAt(x, y) < 128 ? transparent : oracle.rgbAt(x, y);
            if (rgbAt(ours, x, y) != expected)
                return Format("%d,%d: ours %06x, expected %06x", x, y, rgbAt(ours, x, y), expected);
        }
    return "";
}

class IconCodec : public ::testing::Test {
protected:
    void SetUp() override { host::SetAskUser(false); }

    // A fresh codec each time, so that no colour or hot spot leaks from another test.
    TICOLoader codec;

    void load(const std::vector<uint8_t>& bytes, TLinearBitmap& bitmap, const char* ext = "ICO") {
        TMemStream stream;
        stream.Write(bytes.data(), static_cast<int64_t>(bytes.size()));
        stream.Seek(0);
        codec.LoadFromStream(stream, ext, bitmap);
    }
    std::vector<uint8_t> save(TLinearBitmap& bitmap, const char* ext) {
        TMemStream stream;
        codec.SaveToStream(stream, ext, bitmap);
        std::vector<uint8_t> bytes(static_cast<size_t>(stream.GetSize()));
        stream.Seek(0);
        stream.Read(bytes.data(), static_cast<int64_t>(bytes.size()));
        return bytes;
    }
    std::string loadFailure(const std::vector<uint8_t>& bytes) {
        return messageOf<Exception>([&] {
            TLinearBitmap bitmap;
            load(bytes, bitmap);
        });
    }
};

// A palette of 2^bits distinct colours, none of them magenta unless asked for (then at index 1).
std::vector<uint32_t> palette(int bits, bool withMagenta) {
    std::vector<uint32_t> colors;
    for (int i = 0; i < (1 << bits); ++i) colors.push_back(static_cast<uint32_t>(0x010203 * i + 0x100000 * (i & 7)) & 0xFFFFFF);
    if (withMagenta) colors[1] = Magenta;
    return colors;
}

// ---------------------------------------------------------------- the shared test files

// ImageMagick reads the colour bits straight behind the first 40 bytes of any header, so
// for a file with a larger one it reads a copy whose header is cut to those 40 bytes.
const char* const HeaderCutTo40 = "header cut to 40 bytes";

std::string copyWithHeaderCutTo40(const std::string& path, const TempDir& dir) {
    std::vector<uint8_t> bytes = readFile(path);
    const uint32_t offset = le32At(bytes, 18), headerSize = le32At(bytes, offset);
    const uint32_t cut = headerSize - 40;
    bytes.erase(bytes.begin() + offset + 40, bytes.begin() + offset + headerSize);
    bytes[offset] = 40;
    const uint32_t size = le32At(bytes, 14) - cut;
    for (int i = 0; i < 4; ++i) bytes[14 + i] = static_cast<uint8_t>(size >> (8 * i));
    writeFile(dir / "cut.ico", bytes);
    return dir / "cut.ico";
}

struct TestFile {
    const char* file;
    // A reference rendering of image 0; "" for ImageMagick's reading of the file.
    const char* oracle;
    const char* message;  // the failure instead, or nullptr
};

// What each file holds was read from its directory and headers; only the fuzzers' files
// hold no readable image.
const TestFile testFiles[] = {
    {"exiftool/ICO-1x1-1bpp.ico", "", nullptr},
    {"faint/test-data/24bipp.ico", "faint/test-data/24bipp-key.png", nullptr},
    {"faint/test-data/24bipp-256x256.cur", "", nullptr},  // 256 pixels, 32 bits
    {"faint/test-data/32-bipp_8-bit-alpha_no-palette-BI_RGB.ico", "", nullptr},
    {"faint/test-data/24bipp-6x6.cur", "", nullptr},
    {"faint/icons/faint-icon.ico", "", nullptr},  // PNG and 32-bit entries
    {"faint/icons/installer.ico", "", nullptr},
    {"image-rs/bad/Bad_smile-incorrect-image-length.ico", "", nullptr},
    {"image-rs/images/bmp-24bpp-mask.ico", "image-rs/reference/bmp-24bpp-mask.ico.png", nullptr},
    {"image-rs/images/bmp-32bpp-alpha.ico", "", nullptr},
    {"image-rs/images/bmp-32bpp-conflicting-and-mask.ico", "", nullptr},  // the alpha wins
    {"image-rs/images/bmp_v5_with_icc.ico", HeaderCutTo40, nullptr},
    {"image-rs/images/lenient-bpp.ico", "", nullptr},  // a 256-pixel PNG
    {"image-rs/images/multiple_entries_with_different_bit_depth.ico", "", nullptr},
    {"image-rs/images/png-32bpp-alpha.ico", "", nullptr},
    {"image-rs/images/png_l8.ico", "", nullptr},
    {"image-rs/images/png_rgb8.ico", "", nullptr},
    {"image-rs/images/smile.ico", "image-rs/reference/smile.ico.png", nullptr},
    {"image-rs/images/truncated_mask_32bpp.ico", "", nullptr},  // 32 bits need no mask
    {"image-rs/images/two-entry-order-test.ico", "", nullptr},
    {"image-rs/regression/crash-981fee302fe0fc543ee48292cc3d6ace7e97e633.ico", nullptr, "Size mismatch in icon 0"},
    {"image-rs/regression/oom-0d0085eb7f66ea55d9119206235cd29e089b9140.ico", nullptr, "Unsupported pixel format"},
    {"image-rs/regression/oom-ff076e7064c13ec1f8e2c5bbbfb7a77a08db2361.ico", nullptr, "Unsupported pixel format"},
};

TEST_F(IconCodec, EveryTestFileLoadsImageZeroAsItsReferenceShowsOrFailsWithTheCodecsMessage) {
    PIXMORPH_REQUIRE_TESTDATA();
    std::vector<std::string> covered;
    for (const TestFile& test : testFiles) {
        SCOPED_TRACE(test.file);
        covered.push_back(test.file);
        const std::string path = testdata(std::string("ico/") + test.file);
        TLinearBitmap bitmap;
        const std::string failure = messageOf<Exception>([&] { bitmap.LoadFromFile(path); });
        if (test.message) {
            EXPECT_EQ(failure, test.message);
            EXPECT_FALSE(bitmap.Present);
            continue;
        }
        ASSERT_EQ(failure, "<no exception>");
        TempDir dir;
        const RGBAImage oracle = decodeWithConvert(test.oracle == HeaderCutTo40 ? copyWithHeaderCutTo40(path, dir)
                                                   : *test.oracle ? testdata(std::string("ico/") + test.oracle)
                                                                  : path);
        ASSERT_FALSE(oracle.empty());
        EXPECT_EQ(differenceFromOracle(bitmap, oracle, Magenta), "");
    }
    // Every cursor of the editor's set is 32 bits deep.
    for (const std::string& name : listDirectory(testdata("ico/faint/cursors"))) {
        SCOPED_TRACE(name);
        covered.push_back("faint/cursors/" + name);
        const std::string path = testdata("ico/faint/cursors/" + name);
        TLinearBitmap bitmap;
        ASSERT_EQ(messageOf<Exception>([&] { bitmap.LoadFromFile(path); }), "<no exception>");
        EXPECT_EQ(differenceFromOracle(bitmap, decodeWithConvert(path), Magenta), "");
    }
    EXPECT_EQ(covered.size(), 23u + 32u) << "a test file is missing from the table";
}

// ---------------------------------------------------------------- hand-made files

struct DepthCase {
    int bits;
    bool paletteHasMagenta;
    uint8_t format;  // what the image becomes
};

TEST_F(IconCodec, EveryDepthReadsToItsPixelsWithTheMaskInTheTransparentColour) {
    const DepthCase cases[] = {
        {1, false, pfIndexed8}, {4, false, pfIndexed8}, {4, true, pfIndexed8},
        {8, false, pfBGR24},    {8, true, pfIndexed8},  {24, false, pfBGR24},
    };
    for (const DepthCase& c : cases) {
        for (const int width : {16, 13, 1}) {
            SCOPED_TRACE(Format("%d bits, width %d, magenta in palette %d", c.bits, width, c.paletteHasMagenta));
            HandImage image;
            image.width = width;
            image.height = 11;
            image.bitCount = c.bits;
            if (c.bits <= 8) image.palette = palette(c.bits, c.paletteHasMagenta);
            const uint32_t levels = c.bits == 24 ? 0x1000000u : 1u << c.bits;
            image.index = [&](int x, int y) { return static_cast<uint32_t>(x * 7 + y * 3 + 0x123400 * (c.bits == 24)) % levels; };
            image.masked = [](int x, int y) { return (x + 2 * y) % 5 == 0; };
            TLinearBitmap bitmap;
            load(iconFile(1, {image}), bitmap);
            ASSERT_TRUE(bitmap.Present);
            EXPECT_EQ(bitmap.PixelFormat, c.format);
            EXPECT_EQ(bitmap.Width, width);
            EXPECT_EQ(bitmap.Height, 11);
            for (int y = 0; y < 11; ++y)
                for (int x = 0; x < width; ++x) {
                    const uint32_t v = image.index(x, y);
                    const uint32_t expected = image.masked(x, y) ? Magenta : c.bits <= 8 ? image.palette[v] : v;
                    ASSERT_EQ(rgbAt(bitmap, x, y), expected) << x << "," << y;
                }
            if (c.bits < 8 && !c.paletteHasMagenta) {
                // The colour gets an entry of its own at the end.
                const uint8_t* last = bitmap.Palette.get() + 3 * 255;
                EXPECT_EQ(static_cast<uint32_t>(last[2]) << 16 | last[1] << 8 | last[0], Magenta);
            }
        }
    }
}

TEST_F(IconCodec, PixelsTakeTheFirstPaletteEntryOfTheirColour) {
    HandImage image;
    image.width = 4;
    image.height = 1;
    image.palette = palette(4, false);
    image.palette[7] = image.palette[3];
    image.palette[9] = image.palette[12] = Magenta;
    const uint32_t indices[4] = {7, 12, 3, 5};
    image.index = [&](int x, int) { return indices[x]; };
    image.masked = [](int x, int) { return x == 3; };
    TLinearBitmap bitmap;
    load(iconFile(1, {image}), bitmap);
    ASSERT_EQ(bitmap.PixelFormat, pfIndexed8);
    const uint8_t* row = bitmap.ScanLine(0);
    EXPECT_EQ((std::vector<int>{row[0], row[1], row[2], row[3]}), (std::vector<int>{3, 9, 3, 9}));
}

TEST_F(IconCodec, FilesWithoutAReadableImageFailWithTheFirstEntrysMessageAndLeaveTheImageAlone) {
    HandImage good;
    good.palette = palette(4, false);
    const std::vector<uint8_t> one = iconFile(1, {good});

    struct Case {
        const char* what;
        std::function<std::vector<uint8_t>()> bytes;
        const char* message;
    };
    const Case cases[] = {
        {"no entries", [] { return iconFile(1, {}); }, "No icons in file"},
        {"255 pixels said to be 256", [&] { HandImage i = good; i.width = 255; i.entryWidth = 0; return iconFile(1, {i}); },
         "Size mismatch in icon 0"},
        {"height disagrees", [&] { HandImage i = good; i.entryHeight = 8; return iconFile(1, {i}); },
         "Size mismatch in icon 0"},
        {"two broken entries",
         [&] {
             HandImage deep = good, low = good;
             deep.bitCount = 2;
             deep.palette.resize(4);
             low.entryHeight = 8;
             return iconFile(1, {deep, low});
         },
         "Unsupported pixel format"},
        {"2 bits", [&] { HandImage i = good; i.bitCount = 2; i.palette.resize(4); return iconFile(1, {i}); },
         "Unsupported pixel format"},
        {"run-length compressed", [&] { HandImage i = good; i.compression = 2; return iconFile(1, {i}); },
         "Unsupported pixel format"},
        {"PNG inside",
         [&] {
             auto bytes = one;
             const uint8_t signature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
             std::memcpy(bytes.data() + 22, signature, 8);
             return bytes;
         },
         "Unsupported pixel format"},
        {"offset past the end", [&] { auto b = one; b[6 + 12 + 2] = 0x10; return b; }, "Size mismatch in icon 0"},
        {"size past the end", [&] { auto b = one; b[6 + 8 + 3] = 0x7F; return b; }, "Size mismatch in icon 0"},
        {"cut inside the colour table", [&] { auto b = one; b.resize(22 + 40 + 6); return b; }, "Size mismatch in icon 0"},
        {"cut inside the header", [&] { auto b = one; b.resize(22 + 20); return b; }, "Size mismatch in icon 0"},
        {"header cut short", [] { return std::vector<uint8_t>{0, 0, 1}; }, "Read less than expected"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TLinearBitmap bitmap;
        bitmap.New(3, 2, pfBGR24);
        bitmap.FillBytes(0x5A);
        EXPECT_EQ(messageOf<Exception>([&] { load(c.bytes(), bitmap); }), c.message);
        // A failed read keeps what the image held.
        EXPECT_TRUE(bitmap.Present && bitmap.Width == 3 && bitmap.ScanLine(1)[8] == 0x5A);
    }
}

// The images TIconList reads from a file, as "width x height bits".
std::vector<std::string> listed(const std::vector<uint8_t>& bytes) {
    TMemStream stream;
    stream.Write(bytes.data(), static_cast<int64_t>(bytes.size()));
    stream.Seek(0);
    TIconList list;
    list.LoadFromStream(stream);
    std::vector<std::string> lines;
    for (int32_t i = 0; i < list.Count(); ++i) lines.push_back(Format("%dx%d %d", list[i].Width, list[i].Height, list[i].BitCount));
    return lines;
}

TEST_F(IconCodec, ThousandsOfEntriesOnOneLargeImageCannotMultiplyItInMemory) {
    HandImage big;
    big.width = big.height = 255;
    big.bitCount = 24;
    std::vector<uint8_t> bytes = iconFile(1, {big});
    // 4000 directory entries, every one naming the same image data.
    const uint32_t dataOffset = le32At(bytes, 18) + 16 * 3999;
    std::vector<uint8_t> entry(bytes.begin() + 6, bytes.begin() + 22);
    std::vector<uint8_t> data(bytes.begin() + 22, bytes.end());
    for (int i = 0; i < 4; ++i) entry[12 + i] = static_cast<uint8_t>(dataOffset >> (8 * i));
    std::vector<uint8_t> file = {0, 0, 1, 0, 0xA0, 0x0F};
    for (int i = 0; i < 4000; ++i) file.insert(file.end(), entry.begin(), entry.end());
    file.insert(file.end(), data.begin(), data.end());
    EXPECT_EQ(listed(file), std::vector<std::string>{"255x255 24"});
}

TEST_F(IconCodec, EntriesThatCannotBeReadAreLeftOutAndTheFirstReadableOneIsTaken) {
    HandImage good, deep, large;
    good.palette = palette(4, false);
    deep.bitCount = 2;
    deep.palette.resize(4);
    large.width = large.height = 256;  // a directory byte of 0
    large.entryWidth = large.entryHeight = 0;
    large.bitCount = 32;
    std::vector<uint8_t> claimsMore = iconFile(1, {good});
    claimsMore[4] = claimsMore[5] = 0xFF;  // the entries after the first lie in the image data
    const std::pair<std::vector<uint8_t>, std::vector<std::string>> cases[] = {
        {iconFile(1, {deep, good}), {"16x16 4"}},
        {iconFile(2, {large, deep, good}), {"256x256 32", "16x16 4"}},
        {claimsMore, {"16x16 4"}},
    };
    for (const auto& [bytes, images] : cases) {
        EXPECT_EQ(listed(bytes), images);
        TLinearBitmap bitmap;
        load(bytes, bitmap);
        EXPECT_EQ(Format("%dx%d", bitmap.Width, bitmap.Height), images[0].substr(0, images[0].find(' ')));
    }
}

TEST_F(IconCodec, LargerInformationHeadersPutTheColourTableBehindThemselves) {
    HandImage image;
    image.headerSize = 124;
    image.palette = palette(4, false);
    image.index = [](int x, int y) { return static_cast<uint32_t>(x ^ y) & 15; };
    TLinearBitmap bitmap;
    load(iconFile(1, {image}), bitmap);
    for (int y = 0; y < 16; ++y)
        for (int x = 0; x < 16; ++x) ASSERT_EQ(rgbAt(bitmap, x, y), image.palette[(x ^ y) & 15]);
}

// ---------------------------------------------------------------- writing

TEST_F(IconCodec, A24BitImageIsWrittenWithTheLayoutOfTheFormat) {
    TLinearBitmap bitmap;
    bitmap.New(3, 2, pfBGR24);
    // Top row: red, magenta, blue; bottom row: green, white, black.
    const uint8_t rows[2][9] = {{0, 0, 255, 255, 0, 255, 255, 0, 0}, {0, 255, 0, 255, 255, 255, 0, 0, 0}};
    for (int y = 0; y < 2; ++y) std::memcpy(bitmap.ScanLine(y), rows[y], 9);
    const auto bytes = save(bitmap, "ICO");
    // Rows of 12 bytes (9 padded) for the colours, 4 for the mask.
    ASSERT_EQ(bytes.size(), 6u + 16 + 40 + 24 + 8);
    const std::vector<uint8_t> head(bytes.begin(), bytes.begin() + 22);
    EXPECT_EQ(head, (std::vector<uint8_t>{0, 0, 1, 0, 1, 0, 3, 2, 0, 0, 1, 0, 24, 0, 72, 0, 0, 0, 22, 0, 0, 0}));
    EXPECT_EQ(le32At(bytes, 22), 40u);
    EXPECT_EQ(le32At(bytes, 26), 3u);
    EXPECT_EQ(le32At(bytes, 30), 4u);
    EXPECT_EQ(le16At(bytes, 34), 1u);
    EXPECT_EQ(le16At(bytes, 36), 24u);
    EXPECT_EQ(le32At(bytes, 42), 32u);
    // File row 0 is the bottom row; the magenta pixel of the top row became black and masked.
    const std::vector<uint8_t> pixels(bytes.begin() + 62, bytes.begin() + 86);
    EXPECT_EQ(pixels, (std::vector<uint8_t>{0, 255, 0, 255, 255, 255, 0, 0, 0, 0, 0, 0,  //
                                            0, 0, 255, 0, 0, 0, 255, 0, 0, 0, 0, 0}));
    const std::vector<uint8_t> mask(bytes.begin() + 86, bytes.end());
    EXPECT_EQ(mask, (std::vector<uint8_t>{0, 0, 0, 0, 0x40, 0, 0, 0}));
}

struct PaletteWriteCase {
    int highestIndex;  // of an opaque pixel
    int bits;          // written depth
};

TEST_F(IconCodec, PaletteImagesAreWrittenWithFourBitsWhenTheirOpaqueIndicesFit) {
    for (const PaletteWriteCase c : {PaletteWriteCase{1, 4}, {15, 4}, {16, 8}, {255, 8}}) {
        SCOPED_TRACE(c.highestIndex);
        TLinearBitmap bitmap;
        bitmap.New(5, 3, pfIndexed8);
        for (int i = 0; i < 256; ++i) {
            bitmap.Palette[3 * i] = static_cast<uint8_t>(i);
            bitmap.Palette[3 * i + 1] = static_cast<uint8_t>(255 - i);
            bitmap.Palette[3 * i + 2] = 7;
        }
        // Index 200 is magenta: its pixels are masked, and it does not count as used.
        bitmap.Palette[600] = 255, bitmap.Palette[601] = 0, bitmap.Palette[602] = 255;
        for (int y = 0; y < 3; ++y)
            for (int x = 0; x < 5; ++x) bitmap.ScanLine(y)[x] = static_cast<uint8_t>((x + y) % 2 ? 200 : x);
        bitmap.ScanLine(2)[4] = static_cast<uint8_t>(c.highestIndex);
        const auto bytes = save(bitmap, "ICO");
        const size_t paletteBytes = size_t{4} << c.bits;
        EXPECT_EQ(bytes[6 + 2], c.bits == 4 ? 16 : 0);  // colour count
        EXPECT_EQ(le16At(bytes, 22 + 14), c.bits);
        EXPECT_EQ(bytes.size(), 22 + 40 + paletteBytes + (c.bits == 4 ? 4 : 8) * 3 + 4 * 3);
        TLinearBitmap again;
        load(bytes, again);
        for (int y = 0; y < 3; ++y)
            for (int x = 0; x < 5; ++x) ASSERT_EQ(rgbAt(again, x, y), rgbAt(bitmap, x, y)) << x << "," << y;
    }
}

TEST_F(IconCodec, OnlyImagesUpTo255PixelsFitAnIcon) {
    for (const auto& [w, h, ok] : {std::tuple{255, 255, true}, {256, 1, false}, {1, 256, false}}) {
        TLinearBitmap bitmap;
        bitmap.New(w, h, pfBGR24);
        bitmap.FillBytes(9);
        if (ok) {
            TLinearBitmap again;
            load(save(bitmap, "ICO"), again);
            EXPECT_EQ(again.Width, 255);
            EXPECT_EQ(rgbAt(again, 254, 254), 0x090909u);
        } else {
            EXPECT_EQ(messageOf<Exception>([&] { save(bitmap, "ICO"); }), "Image is too large for icon");
        }
    }
}

TEST_F(IconCodec, WrittenIconsAndCursorsReadBackAndImageMagickSeesTheSamePixels) {
    TempDir dir;
    const uint8_t formats[] = {pfBGR24, pfIndexed8, pfGray16, pfBGRX32};
    for (const uint8_t format : formats) {
        for (const char* ext : {"ico", "cur"}) {
            SCOPED_TRACE(Format("format %d, %s", format, ext));
            TLinearBitmap bitmap;
            bitmap.New(37, 21, format);
            for (int y = 0; y < 21; ++y) {
                uint8_t* row = bitmap.ScanLine(y);
                for (int i = 0; i < bitmap.BytesPerLine; ++i) row[i] = static_cast<uint8_t>(i * 13 + y * 29);
            }
            if (format == pfIndexed8) {
                for (int i = 0; i < 768; ++i) bitmap.Palette[i] = static_cast<uint8_t>(i * 7);
                bitmap.Palette[0] = 255, bitmap.Palette[1] = 0, bitmap.Palette[2] = 255;
                bitmap.ScanLine(3)[5] = 0;
            } else if (format != pfGray16) {
                const int size = bitmap.PixelSize;
                std::memcpy(bitmap.ScanLine(4) + 6 * size, "\xFF\x00\xFF", 3);
            }
            const std::string path = dir / (std::string("out.") + ext);
            bitmap.SaveToFile(path);
            const auto bytes = readFile(path);
            EXPECT_EQ(le16At(bytes, 2), ext[0] == 'i' ? 1 : 2);
            TLinearBitmap again;
            again.LoadFromFile(path);
            const RGBAImage oracle = decodeWithConvert(path);
            ASSERT_FALSE(oracle.empty());
            for (int y = 0; y < 21; ++y)
                for (int x = 0; x < 37; ++x) {
                    // Grey pixels are their high byte; every other format keeps its colour.
                    uint32_t expected;
                    if (format == pfGray16) {
                        const uint8_t g = bitmap.ScanLine(y)[2 * x + 1];
                        expected = g * 0x010101u;
                    } else {
                        expected = format == pfIndexed8
                                       ? rgbAt(bitmap, x, y)
                                       : static_cast<uint32_t>(bitmap.ScanLine(y)[x * bitmap.PixelSize + 2]) << 16 |
                                             bitmap.ScanLine(y)[x * bitmap.PixelSize + 1] << 8 |
                                             bitmap.ScanLine(y)[x * bitmap.PixelSize];
                    }
                    ASSERT_EQ(rgbAt(again, x, y), expected) << x << "," << y;
                    ASSERT_EQ(oracle.alphaAt(x, y) == 0, expected == Magenta) << x << "," << y;
                    if (expected != Magenta) {
                        ASSERT_EQ(oracle.rgbAt(x, y), expected) << x << "," << y;
                    }
                }
        }
    }
}

TEST_F(IconCodec, ACursorsHotSpotGoesIntoTheNextCursorButNeverIntoAnIcon) {
    TLinearBitmap bitmap;
    bitmap.New(4, 4, pfBGR24);
    bitmap.FillBytes(1);
    auto bytes = save(bitmap, "CUR");
    EXPECT_EQ(le16At(bytes, 2), 2u);
    EXPECT_EQ(le16At(bytes, 10), 0u);  // no cursor read yet
    EXPECT_EQ(le16At(bytes, 12), 0u);

    HandImage cursor;
    cursor.bitCount = 24;
    cursor.field1 = 5;
    cursor.field2 = 14;
    load(iconFile(2, {cursor}), bitmap, "CUR");
    HandImage icon;
    icon.palette = palette(4, false);
    load(iconFile(1, {icon}), bitmap);  // an icon's fields are no hot spot
    bytes = save(bitmap, "CUR");
    EXPECT_EQ(le16At(bytes, 10), 5u);
    EXPECT_EQ(le16At(bytes, 12), 14u);
    // Read back by another codec, the cursor brings its hot spot along.
    TICOLoader other;
    TMemStream stream;
    stream.Write(bytes.data(), static_cast<int64_t>(bytes.size()));
    stream.Seek(0);
    TLinearBitmap again;
    other.LoadFromStream(stream, "CUR", again);
    EXPECT_EQ(other.HotSpotX, 5);
    EXPECT_EQ(other.HotSpotY, 14);
    // An icon's entry holds one plane and its depth.
    bytes = save(bitmap, "ICO");
    EXPECT_EQ(le16At(bytes, 10), 1u);
    EXPECT_EQ(le16At(bytes, 12), le16At(bytes, 22 + 14));
}

TEST_F(IconCodec, TheRememberedTransparentColourFillsMaskedPixelsAndMasksThemAgain) {
    codec.TransparentColor = 0x00FF00;  // green, as a person may have chosen it
    HandImage image;
    image.bitCount = 24;
    image.index = [](int x, int y) { return 0x000080u + static_cast<uint32_t>(x); };
    image.masked = [](int x, int y) { return x < y; };
    TLinearBitmap bitmap;
    load(iconFile(1, {image}), bitmap);
    for (int y = 0; y < 16; ++y)
        for (int x = 0; x < 16; ++x) ASSERT_EQ(rgbAt(bitmap, x, y), x < y ? 0x00FF00u : 0x000080u + x);
    const auto bytes = save(bitmap, "ICO");
    // Mask row of the top image row (the last file row): no pixel masked; of the bottom
    // row (the first file row): all but the last.
    EXPECT_EQ(bytes[bytes.size() - 4], 0);
    const size_t firstMaskRow = bytes.size() - 16 * 4;
    EXPECT_EQ(bytes[firstMaskRow], 0xFF);
    EXPECT_EQ(bytes[firstMaskRow + 1], 0xFE);
}

TEST_F(IconCodec, NothingToWriteIsRefused) {
    TLinearBitmap empty;
    EXPECT_EQ(messageOf<Exception>([&] { save(empty, "ICO"); }), "Invalid bitmap size");
}

}  // namespace
