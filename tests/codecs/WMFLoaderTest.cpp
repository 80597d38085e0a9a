#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "TestSupport.h"
#include "codecs/ReferenceImages.h"
#include "codecs/WMFLoader.h"
#include "image/LinarBitmap.h"
#include "platform/Exceptions.h"
#include "metafile/Metafile.h"
#include "streams/MemStream.h"

using namespace testing_support;
using namespace reference_images;

namespace {

// 61 × 47 with far more than 256 colours.
void makeTrueColor(TLinearBitmap& bitmap) {
    bitmap.New(61, 47, pfBGR24);
    for (int y = 0; y < 47; ++y)
        for (int x = 0; x < 61; ++x) {
            uint8_t* p = bitmap.ScanLine(y) + 3 * x;
            p[0] = static_cast<uint8_t>(x * 4), p[1] = static_cast<uint8_t>(y * 5), p[2] = static_cast<uint8_t>(x * y);
        }
}

// 33 × 21 indexed, 150 palette entries used, the rest of the palette unused.
void makeIndexed(TLinearBitmap& bitmap) {
    bitmap.New(33, 21, pfIndexed8);
    for (int i = 0; i < 256; ++i) {
        uint8_t* e = bitmap.Palette.get() + 3 * i;
        e[0] = static_cast<uint8_t>(255 - i), e[1] = static_cast<uint8_t>(i * 3), e[2] = static_cast<uint8_t>(i / 2);
    }
    for (int y = 0; y < 21; ++y)
        for (int x = 0; x < 33; ++x) bitmap.ScanLine(y)[x] = static_cast<uint8_t>((x + 7 * y) % 150);
}

void roundTrip(TLinearBitmap& source, const std::string& ext, TLinearBitmap& result) {
    TWMFLoader codec;
    TMemStream stream;
    codec.SaveToStream(stream, ext, source);
    stream.Seek(0);
    codec.LoadFromStream(stream, ext, result);
}

uint32_t le32(const std::vector<uint8_t>& b, size_t at) {
    return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | uint32_t{b[at + 3]} << 24;
}

// ImageMagick's rendering at the screen's 96 pixels per inch, on white.
RGBImage convertAt96(const std::string& path) {
    TempDir dir;
    const std::string flat = dir / "flat.png";
    const auto run = runProgram({"/usr/bin/convert", "-density", "96", path, "-background", "white", "-flatten", flat});
    if (run.exitCode != 0) return {};
    return decodeWithConvert(flat);
}

}  // namespace

TEST(WMFLoader, FiltersAndExtensions) {
    TWMFLoader codec;
    EXPECT_EQ(codec.GetLoadFilter(), "Windows metafile (*.wmf,*.emf)|*.wmf;*.emf");
    EXPECT_EQ(codec.GetSaveFilter(), "Windows metafile (*.wmf)|*.wmf|Windows enhanced metafile (*.emf)|*.emf");
    for (const char* ext : {"WMF", "EMF"}) EXPECT_TRUE(codec.CanLoad(ext) && codec.CanSave(ext)) << ext;
    for (const char* ext : {"", "WM", "BMP", "wmf"}) EXPECT_FALSE(codec.CanLoad(ext)) << ext;
    EXPECT_EQ(&Loaders->FindLoader("emf"), Loaders->Items[Loaders->Count - 1]);
}

TEST(WMFLoader, BothKindsReadBackExactlyTheSourcePixels) {
    struct Case {
        const char* ext;
        bool indexed;
        uint32_t signatureAt;
        uint32_t signature;
    };
    const Case cases[] = {{"EMF", false, 40, 0x464D4520},
                          {"wmf", false, 0, 0x9AC6CDD7},
                          {"emf", true, 40, 0x464D4520},
                          {"WMF", true, 0, 0x9AC6CDD7}};
    for (const Case& c : cases) {
        TLinearBitmap source, result;
        c.indexed ? makeIndexed(source) : makeTrueColor(source);
        TWMFLoader codec;
        TMemStream stream;
        codec.SaveToStream(stream, c.ext, source);
        std::vector<uint8_t> bytes(static_cast<size_t>(stream.GetSize()));
        stream.Seek(0);
        stream.Read(bytes.data(), static_cast<int64_t>(bytes.size()));
        ASSERT_GT(bytes.size(), 100u);
        EXPECT_EQ(le32(bytes, c.signatureAt), c.signature) << c.ext;
        stream.Seek(0);
        codec.LoadFromStream(stream, c.ext, result);
        EXPECT_EQ(result.PixelFormat, c.indexed ? pfIndexed8 : pfBGR24) << c.ext;
        EXPECT_EQ(firstDifference(rgbOf(result), rgbOf(source)), "") << c.ext << (c.indexed ? " indexed" : "");
    }
}

TEST(WMFLoader, AnIndexedImageCarriesItsPaletteIntoTheMetafile) {
    TLinearBitmap source;
    makeIndexed(source);
    host::TMetafile metafile;
    TWMFLoader codec;
    TMemStream stream;
    codec.SaveToStream(stream, "EMF", source);
    std::vector<uint8_t> bytes(static_cast<size_t>(stream.GetSize()));
    stream.Seek(0);
    stream.Read(bytes.data(), static_cast<int64_t>(bytes.size()));
    // The header's palette count, and the entries in the end record.
    ASSERT_EQ(le32(bytes, 68), 256u);
    const size_t eof = bytes.size() - (20 + 4 * 256);
    ASSERT_EQ(le32(bytes, eof), 14u);
    for (int i : {0, 1, 149, 255}) {
        const uint8_t* e = source.Palette.get() + 3 * i;
        EXPECT_EQ(bytes[eof + 16 + 4 * i], e[2]) << i;  // red
        EXPECT_EQ(bytes[eof + 17 + 4 * i], e[1]) << i;
        EXPECT_EQ(bytes[eof + 18 + 4 * i], e[0]) << i;
    }
}

TEST(WMFLoader, FewColoursBecomeAPaletteInOrderOfFirstAppearance) {
    // White first, then black, then a grey that appears last.
    TLinearBitmap source, result;
    source.New(4, 3, pfBGR24);
    std::memset(source.Map.get(), 0xFF, static_cast<size_t>(source.Size));
    std::memset(source.ScanLine(1), 0, 12);
    std::memset(source.ScanLine(2) + 9, 0x80, 3);
    roundTrip(source, "WMF", result);
    ASSERT_EQ(result.PixelFormat, pfIndexed8);
    const uint8_t expected[9] = {255, 255, 255, 0, 0, 0, 128, 128, 128};
    EXPECT_EQ(std::memcmp(result.Palette.get(), expected, 9), 0);
    EXPECT_EQ(result.ScanLine(0)[0], 0);
    EXPECT_EQ(result.ScanLine(1)[3], 1);
    EXPECT_EQ(result.ScanLine(2)[3], 2);
    EXPECT_EQ(result.Palette[9], 0);  // entries after the collected colours are black
}

TEST(WMFLoader, TwoHundredFiftySevenColoursStayTrueColour) {
    TLinearBitmap source, result;
    source.New(257, 1, pfBGR24);
    for (int x = 0; x < 257; ++x) {
        uint8_t* p = source.ScanLine(0) + 3 * x;
        p[0] = static_cast<uint8_t>(x), p[1] = static_cast<uint8_t>(x >> 8), p[2] = 9;
    }
    EXPECT_EQ(CountColors(source), 257);
    roundTrip(source, "EMF", result);
    EXPECT_EQ(result.PixelFormat, pfBGR24);
    EXPECT_EQ(firstDifference(rgbOf(result), rgbOf(source)), "");
}

TEST(WMFLoader, ColourCountOfOtherFormatsCountsDistinctBytes) {
    TLinearBitmap gray;
    gray.New(3, 2, pfGray16);  // 12 bytes: values 0, 1, 2 each four times
    for (int32_t i = 0; i < gray.Size; ++i) gray.Map[i] = static_cast<uint8_t>(i % 3);
    EXPECT_EQ(CountColors(gray), 3);
}

TEST(WMFLoader, AFrameGivingNoUsableSizeFailsBeforeRendering) {
    // EMF header with frame right = left (zero), right < left, and one giving 40000 pixels.
    for (int32_t right : {0, -2540, 40000 * 2540 / 96}) {
        std::vector<uint8_t> b(108, 0);
        auto put = [&](size_t at, uint32_t v) { std::memcpy(&b[at], &v, 4); };
        put(0, 1), put(4, 88), put(32, static_cast<uint32_t>(right)), put(36, 2540);
        put(40, 0x464D4520), put(44, 0x10000), put(48, 108), put(52, 2);
        put(72, 960), put(76, 960), put(80, 254), put(84, 254);
        put(88, 14), put(92, 20), put(104, 20);
        TMemStream stream;
        stream.Write(b.data(), static_cast<int64_t>(b.size()));
        stream.Seek(0);
        TLinearBitmap bitmap;
        TWMFLoader codec;
        EXPECT_EQ(messageOf<ELinearBitmap>([&] { codec.LoadFromStream(stream, "EMF", bitmap); }), "Invalid bitmap size")
            << right;
        EXPECT_FALSE(bitmap.Present);
    }
}

TEST(WMFLoader, ImageMagickDrawsOurWindowsMetafileWithTheSamePixels) {
    TempDir dir;
    for (bool indexed : {false, true}) {
        TLinearBitmap source;
        indexed ? makeIndexed(source) : makeTrueColor(source);
        const std::string path = dir / (indexed ? "indexed.wmf" : "true.wmf");
        source.SaveToFile(path);
        const RGBImage theirs = convertAt96(path);
        ASSERT_FALSE(theirs.empty()) << "convert cannot read WMF (its WMF coder is missing)";
        EXPECT_EQ(firstDifference(theirs, rgbOf(source)), "") << path;
    }
}

// Every sample file: placeable and enhanced files load with the size their header
// gives and render without fault; the three without a placeable header are refused.
TEST(WMFLoaderSamples, EveryFileRendersOrIsRefusedAsNoMetafile) {
    PIXMORPH_REQUIRE_TESTDATA();
    int rendered = 0;
    for (const char* folder : {"metafile/wmf-libwmf", "metafile/emf-libemf2svg"}) {
        for (const std::string& name : listDirectory(testdata(folder))) {
            const std::string path = testdata(std::string(folder) + "/" + name);
            const std::vector<uint8_t> bytes = readFile(path);
            const bool placeable = bytes.size() >= 22 && le32(bytes, 0) == 0x9AC6CDD7;
            const bool emf = bytes.size() > 100 && le32(bytes, 0) == 1 && le32(bytes, 40) == 0x464D4520;
            if (!placeable && !emf) {
                host::TMetafile metafile;
                EXPECT_EQ(messageOf<EInvalidGraphic>([&] { metafile.LoadFromFile(path); }), "Metafile is not valid") << name;
                continue;
            }
            // The size from the header, worked out here on its own.
            int expectedWidth, expectedHeight;
            auto i16 = [&](size_t at) { return static_cast<int16_t>(bytes[at] | bytes[at + 1] << 8); };
            if (placeable) {
                const int inch = (bytes[14] | bytes[15] << 8) ? (bytes[14] | bytes[15] << 8) : 96;
                const double mmW = std::round((i16(10) - i16(6)) * 2540.0 / inch);
                const double mmH = std::round((i16(12) - i16(8)) * 2540.0 / inch);
                expectedWidth = static_cast<int>(std::round(mmW * 96 / 2540));
                expectedHeight = static_cast<int>(std::round(mmH * 96 / 2540));
            } else {
                auto i32 = [&](size_t at) { return static_cast<int32_t>(le32(bytes, at)); };
                expectedWidth = static_cast<int>(std::round((i32(32) - i32(24)) * double(i32(72)) / (i32(80) * 100.0)));
                expectedHeight = static_cast<int>(std::round((i32(36) - i32(28)) * double(i32(76)) / (i32(84) * 100.0)));
            }
            host::TMetafile metafile;
            metafile.LoadFromFile(path);
            EXPECT_EQ(metafile.Width(), expectedWidth) << name;
            EXPECT_EQ(metafile.Height(), expectedHeight) << name;
            // Large pages are played into a smaller bitmap: every record still runs.
            const int64_t pixels = int64_t{expectedWidth} * expectedHeight;
            const int scale = pixels > 4000000 ? 16 : 1;
            host::TBitmap bitmap;
            bitmap.SetPixelFormat(host::pf24bit);
            bitmap.SetSize(expectedWidth / scale, expectedHeight / scale);
            bitmap.Canvas().FillRect(host::Rect(0, 0, bitmap.Width(), bitmap.Height()));
            bitmap.Canvas().StretchDraw(host::Rect(0, 0, bitmap.Width(), bitmap.Height()), metafile);
            // Something was drawn, unless the header's bounds say the picture is empty.
            const bool emptyBounds = emf && static_cast<int32_t>(le32(bytes, 16)) < static_cast<int32_t>(le32(bytes, 8));
            bool drawn = false;
            std::vector<uint32_t> row(static_cast<size_t>(bitmap.Width()));
            for (int32_t y = 0; y < bitmap.Height() && !drawn; ++y) {
                bitmap.ReadRowRGB(y, 0, bitmap.Width(), row.data());
                drawn = std::any_of(row.begin(), row.end(), [](uint32_t c) { return c != 0xFFFFFF; });
            }
            EXPECT_EQ(drawn, !emptyBounds) << name;
            ++rendered;
        }
    }
    EXPECT_EQ(rendered, 14 + 47);
}

// ImageMagick renders these drawings (it cannot render the text of the others: it
// finds no fonts, and it draws cell.wmf on black). Its edges are antialiased and its
// sizes round up, so the measure is the share of pixels of the common area whose
// channels all lie within 51 (20 %) of its rendering.
TEST(WMFLoaderSamples, DrawingsMatchImageMagicksRendering) {
    PIXMORPH_REQUIRE_TESTDATA();
    const std::pair<const char*, double> cases[] = {{"arrow01.wmf", 0.95}, {"sample.wmf", 0.95}, {"sample2.wmf", 0.95},
                                                    {"2doorvan.wmf", 0.84}, {"anim0002.wmf", 0.83}, {"ant.wmf", 0.76}};
    for (const auto& [name, least] : cases) {
        const std::string path = testdata(std::string("metafile/wmf-libwmf/") + name);
        TLinearBitmap ours;
        ours.LoadFromFile(path);
        const RGBImage mine = rgbOf(ours);
        const RGBImage theirs = convertAt96(path);
        ASSERT_FALSE(theirs.empty()) << name;
        const int w = std::min(mine.width, theirs.width), h = std::min(mine.height, theirs.height);
        ASSERT_GE(w, mine.width - 1) << name;
        ASSERT_GE(h, mine.height - 1) << name;
        int64_t close = 0;
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) {
                const uint8_t* a = &mine.rgb[(static_cast<size_t>(y) * mine.width + x) * 3];
                const uint8_t* b = &theirs.rgb[(static_cast<size_t>(y) * theirs.width + x) * 3];
                close += std::abs(a[0] - b[0]) <= 51 && std::abs(a[1] - b[1]) <= 51 && std::abs(a[2] - b[2]) <= 51;
            }
        const double share = static_cast<double>(close) / (int64_t{w} * h);
        EXPECT_GE(share, least) << name;
        RecordProperty(name, std::to_string(share));
    }
}
