#include <gtest/gtest.h>

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <map>

#include "TestSupport.h"
#include "codecs/PNGLoader.h"
#include "codecs/PngOracle.h"
#include "image/LinarBitmap.h"
#include "platform/Exceptions.h"
#include "streams/MemStream.h"
#include "streams/Streams.h"

using namespace testing_support;
namespace po = png_oracle;
using Bytes = std::vector<uint8_t>;

namespace {

// The codec object's settings are shared; every test starts from the initial ones.
class PNGCodec : public ::testing::Test {
protected:
    void SetUp() override { ResetSettings(); }
    void TearDown() override { ResetSettings(); }
    static void ResetSettings() {
        TPNGLoader& c = PNGLoader();
        c.Reset();
        c.AlphaChannel = false;
        c.FilterMode = -1;
        c.LossyTolerance = 0;
        c.BitDepth = 0;
    }
    TPNGLoader& codec = PNGLoader();
};

std::string messageOf(const std::function<void()>& action) {
    try {
        action();
    } catch (const Exception& e) {
        return e.Message();
    }
    return "<no exception>";
}

void LoadBytes(const Bytes& file, TLinearBitmap& bitmap, const std::string& ext = "PNG") {
    TMemStream memory;
    if (!file.empty()) memory.Write(file.data(), static_cast<int64_t>(file.size()));
    memory.Seek(0);
    PNGLoader().LoadFromStream(memory, ext, bitmap);
}

Bytes SaveBytes(TLinearBitmap& bitmap, const std::string& ext = "PNG") {
    TMemStream memory;
    PNGLoader().SaveToStream(memory, ext, bitmap);
    Bytes out(static_cast<size_t>(memory.GetSize()));
    memory.Seek(0);
    memory.Read(out.data(), static_cast<int64_t>(out.size()));
    return out;
}

Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

// What the codec must make of a file, derived from libpng's samples by the codec's
// rules: 16-bit samples to their high byte (pfGray16 keeps grey whole, little-endian),
// grey and palette images to pfIndexed8, alpha to a separate plane.
struct Expected {
    uint8_t format = pfNone;
    int pixelSize = 0;
    std::vector<Bytes> rows;
    std::vector<Bytes> alpha;
    Bytes palette;  // 768 bytes blue, green, red for pfIndexed8
};

Expected MapByCodecRules(const po::Decoded& d) {
    Expected e;
    const int s = d.bitDepth > 8 ? 2 : 1;
    const int spp = d.channels;
    const bool grey = d.colorType == 0 || d.colorType == 4;
    const bool alpha = d.colorType == 4 || d.colorType == 6;
    if (grey && d.bitDepth == 16) {
        e.format = pfGray16;
        e.pixelSize = 2;
    } else if (grey || d.colorType == 3) {
        e.format = pfIndexed8;
        e.pixelSize = 1;
        e.palette.assign(768, 0);
        if (d.colorType == 3) {
            for (size_t i = 0; i < d.paletteRGB.size() / 3; ++i) {
                e.palette[3 * i] = d.paletteRGB[3 * i + 2];
                e.palette[3 * i + 1] = d.paletteRGB[3 * i + 1];
                e.palette[3 * i + 2] = d.paletteRGB[3 * i];
            }
        } else {
            const int levels = 1 << d.bitDepth;
            for (int i = 0; i < levels; ++i)
                e.palette[3 * i] = e.palette[3 * i + 1] = e.palette[3 * i + 2] =
                    static_cast<uint8_t>(i * 255 / (levels - 1));
        }
    } else {
        e.format = pfBGR24;
        e.pixelSize = 3;
    }
    for (const auto& row : d.rows) {
        Bytes px, a;
        for (uint32_t x = 0; x < d.width; ++x) {
            const uint8_t* sample = &row[static_cast<size_t>(x) * spp * s];
            if (e.format == pfGray16) {
                px.push_back(sample[1]);
                px.push_back(sample[0]);
            } else if (e.format == pfIndexed8) {
                px.push_back(sample[0]);
            } else {
                px.push_back(sample[2 * s]);
                px.push_back(sample[s]);
                px.push_back(sample[0]);
            }
            if (alpha) a.push_back(sample[(spp - 1) * s]);
        }
        e.rows.push_back(px);
        if (alpha) e.alpha.push_back(a);
    }
    return e;
}

void ExpectImageEquals(const TLinearBitmap& bitmap, const Expected& e, const std::string& what) {
    ASSERT_TRUE(bitmap.Present) << what;
    ASSERT_EQ(bitmap.PixelFormat, e.format) << what;
    ASSERT_EQ(bitmap.Height, static_cast<int32_t>(e.rows.size())) << what;
    for (int32_t y = 0; y < bitmap.Height; ++y) {
        const Bytes row(bitmap.ScanLine(y), bitmap.ScanLine(y) + bitmap.Width * bitmap.PixelSize);
        ASSERT_EQ(row, e.rows[y]) << what << " row " << y;
    }
    if (e.format == pfIndexed8) {
        const Bytes palette(bitmap.Palette.get(), bitmap.Palette.get() + 768);
        EXPECT_EQ(palette, e.palette) << what;
    }
}

std::vector<std::string> PngSuiteFiles(bool corrupt) {
    std::vector<std::string> out;
    for (const auto& name : listDirectory(testdata("pngsuite"))) {
        if (name.size() < 4 || name.substr(name.size() - 4) != ".png") continue;
        if ((name[0] == 'x') == corrupt) out.push_back(name);
    }
    std::sort(out.begin(), out.end());
    return out;
}

// A deterministic image with smooth areas, edges and noise, so that every filter type wins somewhere.
void FillTestImage(TLinearBitmap& b, uint32_t seed) {
    uint32_t state = seed * 2654435761u + 1;
    for (int32_t y = 0; y < b.Height; ++y) {
        uint8_t* row = b.ScanLine(y);
        for (int32_t i = 0; i < b.Width * b.PixelSize; ++i) {
            state = state * 1103515245u + 12345u;
            const int region = (i / b.PixelSize / 7 + y / 5) % 4;
            uint8_t v;
            if (region == 0) v = static_cast<uint8_t>(i + y);             // ramps
            else if (region == 1) v = static_cast<uint8_t>(seed * 17);    // flat
            else if (region == 2) v = static_cast<uint8_t>(state >> 24);  // noise
            else v = static_cast<uint8_t>((i * y) >> 3);
            row[i] = v;
        }
    }
}

void MakePaletteImage(TLinearBitmap& b, int32_t w, int32_t h, int colours) {
    b.New(w, h, pfIndexed8);
    std::memset(b.Palette.get(), 0, 768);
    for (int i = 0; i < colours; ++i) {
        b.Palette[3 * i] = static_cast<uint8_t>(i * 3 + 1);
        b.Palette[3 * i + 1] = static_cast<uint8_t>(255 - i);
        b.Palette[3 * i + 2] = static_cast<uint8_t>(i * 7);
    }
    FillTestImage(b, 3);
    for (int32_t y = 0; y < h; ++y)
        for (int32_t x = 0; x < w; ++x) b.ScanLine(y)[x] = static_cast<uint8_t>(b.ScanLine(y)[x] % colours);
}

// Checks everything a written file must satisfy and returns libpng's decoding of it.
po::Decoded CheckWrittenFile(const Bytes& file, const std::string& ext = "PNG") {
    TempDir dir;
    const std::string path = dir / ("out." + std::string(ext == "MNG" ? "mng" : "png"));
    writeFile(path, file);
    const RunResult check = runProgram({"pngcheck", "-q", path});
    EXPECT_EQ(check.exitCode, 0) << "pngcheck: " << check.out << check.err;
    const auto chunks = po::Chunks(file);
    int idats = 0;
    for (const auto& c : chunks) {
        if (c.type != "IDAT") continue;
        ++idats;
        EXPECT_EQ(c.length, c.data.size());
        EXPECT_GE(c.data.size(), 2u);
        if (c.data.size() >= 2) {
            EXPECT_EQ(c.data[0], 0x78);
            EXPECT_EQ(c.data[1], 0xDA);
        }
    }
    EXPECT_EQ(idats, 1);
    po::Decoded d = ext == "MNG" ? po::Decode(po::FirstEmbeddedPng(file), true) : po::Decode(file);
    EXPECT_TRUE(d.ok) << d.error;
    return d;
}

// libpng's samples of a written file against the bitmap that was saved.
void ExpectDecodesTo(const po::Decoded& d, const TLinearBitmap& b) {
    ASSERT_TRUE(d.ok);
    ASSERT_EQ(d.width, static_cast<uint32_t>(b.Width));
    ASSERT_EQ(d.height, static_cast<uint32_t>(b.Height));
    for (int32_t y = 0; y < b.Height; ++y) {
        const uint8_t* px = b.ScanLine(y);
        Bytes want;
        for (int32_t x = 0; x < b.Width; ++x) {
            if (b.PixelFormat == pfBGR24) {
                want.insert(want.end(), {px[3 * x + 2], px[3 * x + 1], px[3 * x]});
            } else if (b.PixelFormat == pfGray16) {
                want.insert(want.end(), {px[2 * x + 1], px[2 * x]});
            } else {
                want.push_back(px[x]);
            }
        }
        ASSERT_EQ(d.rows[y], want) << "row " << y;
    }
    if (b.PixelFormat == pfIndexed8 && d.colorType == 3) {
        for (size_t i = 0; i < d.paletteRGB.size() / 3; ++i) {
            EXPECT_EQ(d.paletteRGB[3 * i], b.Palette[3 * i + 2]);
            EXPECT_EQ(d.paletteRGB[3 * i + 1], b.Palette[3 * i + 1]);
            EXPECT_EQ(d.paletteRGB[3 * i + 2], b.Palette[3 * i]);
        }
    }
}

Bytes SolidRows(uint32_t w, uint32_t h, int bytesPerRow, uint8_t value) {
    Bytes raw;
    for (uint32_t y = 0; y < h; ++y) {
        raw.push_back(0);
        raw.insert(raw.end(), static_cast<size_t>(bytesPerRow), value);
    }
    return raw;
}

}  // namespace

// ---------------------------------------------------------------- reading PngSuite

TEST_F(PNGCodec, EveryValidPngSuiteFileDecodesLikeLibpng) {
    PIXMORPH_REQUIRE_TESTDATA();
    const auto files = PngSuiteFiles(false);
    ASSERT_GT(files.size(), 150u);
    for (const auto& name : files) {
        const Bytes file = readFile(testdata("pngsuite/" + name));
        const po::Decoded d = po::Decode(file);
        ASSERT_TRUE(d.ok) << name << ": " << d.error;
        const Expected e = MapByCodecRules(d);
        for (bool withAlpha : {false, true}) {
            codec.AlphaChannel = withAlpha;
            TLinearBitmap bitmap;
            try {
                LoadBytes(file, bitmap);
            } catch (const Exception& ex) {
                ADD_FAILURE() << name << ": " << ex.Message();
                continue;
            }
            ExpectImageEquals(bitmap, e, name);
            EXPECT_EQ(codec.BitDepth, d.bitDepth) << name;
            // Ancillary data as libpng sees it.
            int32_t transparent = -1;
            if (d.hasTRNS) {
                if (d.colorType == 0) transparent = d.trnsGray;
                if (d.colorType == 2 && d.bitDepth == 8)
                    transparent = (d.trnsRed & 255) | ((d.trnsGreen & 255) << 8) | ((d.trnsBlue & 255) << 16);
                if (d.colorType == 3 && !withAlpha)
                    for (size_t i = 0; i < d.trnsAlpha.size() && transparent < 0; ++i)
                        if (d.trnsAlpha[i] == 0) transparent = static_cast<int32_t>(i);
            }
            EXPECT_EQ(codec.TransparentColor, transparent) << name;
            EXPECT_DOUBLE_EQ(codec.Gamma, d.hasGamma ? d.gammaFixed / 100000.0 : 0.0) << name;
            if (withAlpha && !e.alpha.empty()) {
                ASSERT_TRUE(codec.AlphaBitmap) << name;
                for (int32_t y = 0; y < bitmap.Height; ++y)
                    ASSERT_EQ(Bytes(codec.AlphaBitmap->ScanLine(y), codec.AlphaBitmap->ScanLine(y) + bitmap.Width),
                              e.alpha[y])
                        << name << " alpha row " << y;
            } else {
                EXPECT_FALSE(codec.AlphaBitmap) << name;
            }
            if (withAlpha && d.colorType == 3 && d.hasTRNS) {
                ASSERT_TRUE(codec.PaletteAlpha) << name;
                for (int i = 0; i < 256; ++i)
                    EXPECT_EQ(codec.PaletteAlpha[i], i < static_cast<int>(d.trnsAlpha.size()) ? d.trnsAlpha[i] : 255)
                        << name;
            }
            if (withAlpha && (d.colorType == 2 || d.colorType == 6) && !d.paletteRGB.empty()) {
                ASSERT_TRUE(codec.TruecolorPalette) << name;
                EXPECT_EQ(codec.TruecolorPalette[2], d.paletteRGB[0]) << name;
            }
        }
    }
}

TEST_F(PNGCodec, CorruptPngSuiteFilesFailWithTheCodecsMessages) {
    PIXMORPH_REQUIRE_TESTDATA();
    // What each file is broken by, from the suite's own description.
    const std::map<std::string, std::string> expected = {
        {"xc1n0g08.png", "Invalid PNG data"},     {"xc9n2c08.png", "Invalid PNG data"},
        {"xcrn0g04.png", "Invalid PNG header"},   {"xcsn0g01.png", "CRC error"},
        {"xd0n2c08.png", "Invalid PNG data"},     {"xd3n2c08.png", "Invalid PNG data"},
        {"xd9n2c08.png", "Invalid PNG data"},     {"xdtn0g01.png", "Unsupported PNG data"},
        {"xhdn0g08.png", "CRC error"},            {"xlfn0g04.png", "Invalid PNG header"},
        {"xs1n0g01.png", "Invalid PNG header"},   {"xs2n0g01.png", "Invalid PNG header"},
        {"xs4n0g01.png", "Invalid PNG header"},   {"xs7n0g01.png", "Invalid PNG header"},
    };
    const auto files = PngSuiteFiles(true);
    EXPECT_EQ(files.size(), expected.size());
    for (const auto& name : files) {
        TLinearBitmap bitmap;
        const Bytes file = readFile(testdata("pngsuite/" + name));
        ASSERT_TRUE(expected.count(name)) << name;
        EXPECT_EQ(messageOf([&] { LoadBytes(file, bitmap); }), expected.at(name)) << name;
        EXPECT_FALSE(po::Decode(file).ok) << name << " is accepted by libpng too";
    }
}

TEST_F(PNGCodec, LoadsThroughTheRegistryByExtension) {
    PIXMORPH_REQUIRE_TESTDATA();
    TLinearBitmap bitmap;
    bitmap.LoadFromFile(testdata("pngsuite/basn2c08.png"));
    EXPECT_EQ(bitmap.PixelFormat, pfBGR24);
    EXPECT_EQ(bitmap.Width, 32);
    EXPECT_EQ(&Loaders->FindLoader("png"), &PNGLoader());
    EXPECT_EQ(&Loaders->FindSaver("MNG"), &PNGLoader());
    EXPECT_FALSE(codec.CanLoad("PN"));
    EXPECT_FALSE(codec.CanLoad("png"));  // the registry upper-cases before asking
    EXPECT_EQ(codec.GetLoadFilter(),
              "Portable Network Graphics (*.png)|*.png|Multiple-image Network Graphics (*.mng)|*.mng");
    EXPECT_EQ(codec.GetSaveFilter(), codec.GetLoadFilter());
}

// ---------------------------------------------------------------- reading: edge cases

TEST_F(PNGCodec, HeaderProblemsAreReportedAsSuch) {
    TLinearBitmap b;
    EXPECT_EQ(messageOf([&] { LoadBytes({}, b); }), "Invalid PNG header");
    EXPECT_EQ(messageOf([&] { LoadBytes({0x89, 'P', 'N', 'G'}, b); }), "Invalid PNG header");
    Bytes jpeg = {0xFF, 0xD8, 0xFF, 0xE0, 0, 16, 'J', 'F', 'I', 'F', 0};
    EXPECT_EQ(messageOf([&] { LoadBytes(jpeg, b); }), "Invalid PNG header");
    // A signature and nothing else: the chunk loop meets the end of the stream.
    EXPECT_EQ(messageOf([&] { LoadBytes(po::PngSignature(), b); }), "Read less than expected");
}

TEST_F(PNGCodec, OneBitGreyGetsATwoLevelPalette) {
    const Bytes file = Cat({po::PngSignature(), po::Ihdr(8, 1, 1, 0), po::Chunk("IDAT", po::Zlib({0, 0xA5})),
                            po::Chunk("IEND", {})});
    TLinearBitmap b;
    LoadBytes(file, b);
    ASSERT_EQ(b.PixelFormat, pfIndexed8);
    EXPECT_EQ(Bytes(b.ScanLine(0), b.ScanLine(0) + 8), (Bytes{1, 0, 1, 0, 0, 1, 0, 1}));
    EXPECT_EQ(Bytes(b.Palette.get(), b.Palette.get() + 6), (Bytes{0, 0, 0, 255, 255, 255}));
    EXPECT_EQ(Bytes(b.Palette.get() + 6, b.Palette.get() + 768), Bytes(762, 0));
}

TEST_F(PNGCodec, PaletteTransparencyTakesTheFirstFullyTransparentIndex) {
    const Bytes file = Cat({po::PngSignature(), po::Ihdr(2, 1, 8, 3),
                            po::Chunk("PLTE", {1, 2, 3, 4, 5, 6, 7, 8, 9}), po::Chunk("tRNS", {255, 0, 255}),
                            po::Chunk("IDAT", po::Zlib({0, 2, 1})), po::Chunk("IEND", {})});
    TLinearBitmap b;
    LoadBytes(file, b);
    EXPECT_EQ(codec.TransparentColor, 1);
    EXPECT_EQ(Bytes(b.Palette.get(), b.Palette.get() + 9), (Bytes{3, 2, 1, 6, 5, 4, 9, 8, 7}));
    EXPECT_EQ(Bytes(b.ScanLine(0), b.ScanLine(0) + 2), (Bytes{2, 1}));
    // Saved again: a tRNS of two bytes, 255 then 0.
    const Bytes saved = SaveBytes(b);
    bool found = false;
    for (const auto& c : po::Chunks(saved))
        if (c.type == "tRNS") {
            found = true;
            EXPECT_EQ(c.data, (Bytes{255, 0}));
        }
    EXPECT_TRUE(found);
    ExpectDecodesTo(CheckWrittenFile(saved), b);
}

TEST_F(PNGCodec, AncillaryChunkCrcIsNotCheckedButCriticalOnesAre) {
    Bytes text = po::Chunk("tEXt", {'a', 0, 'b'});
    text.back() ^= 0xFF;
    const Bytes idat = po::Chunk("IDAT", po::Zlib({0, 7}));
    TLinearBitmap b;
    LoadBytes(Cat({po::PngSignature(), po::Ihdr(1, 1, 8, 0), text, idat, po::Chunk("IEND", {})}), b);
    EXPECT_EQ(b.ScanLine(0)[0], 7);
    Bytes ihdr = po::Ihdr(1, 1, 8, 0);
    ihdr.back() ^= 1;
    EXPECT_EQ(messageOf([&] { LoadBytes(Cat({po::PngSignature(), ihdr, idat, po::Chunk("IEND", {})}), b); }),
              "CRC error");
    Bytes badIdat = idat;
    badIdat.back() ^= 1;
    EXPECT_EQ(messageOf([&] {
                  LoadBytes(Cat({po::PngSignature(), po::Ihdr(1, 1, 8, 0), badIdat, po::Chunk("IEND", {})}), b);
              }),
              "CRC error");
    // An unknown critical chunk.
    EXPECT_EQ(messageOf([&] {
                  LoadBytes(Cat({po::PngSignature(), po::Ihdr(1, 1, 8, 0), po::Chunk("ABCD", {}), idat}), b);
              }),
              "Unsupported PNG data");
}

TEST_F(PNGCodec, AncillaryChunksTooShortForTheirTypeArePassedOverWhole) {
    struct Case { int colourType; Bytes raw; Bytes palette; };
    const Case cases[] = {
        {0, {0, 7, 200, 3}, {}},
        {2, {0, 1, 2, 3, 4, 5, 6}, {}},
        {3, {0, 1, 0, 1}, {9, 9, 9, 200, 100, 50}},
    };
    for (const auto& c : cases) {
        Bytes file = Cat({po::PngSignature(), po::Ihdr(c.colourType == 2 ? 2 : 3, 1, 8, c.colourType)});
        if (!c.palette.empty()) file = Cat({file, po::Chunk("PLTE", c.palette)});
        for (const char* type : {"gAMA", "cHRM", "sRGB", "iCCP", "tEXt", "tRNS"}) file = Cat({file, po::Chunk(type, {})});
        // A grey transparency sample needs two bytes; one is as malformed as none.
        if (c.colourType == 0) file = Cat({file, po::Chunk("tRNS", {7})});
        file = Cat({file, po::Chunk("IDAT", po::Zlib(c.raw)), po::Chunk("IEND", {})});
        TLinearBitmap b;
        LoadBytes(file, b);
        ExpectImageEquals(b, MapByCodecRules(po::Decode(file)), "colour type " + std::to_string(c.colourType));
        EXPECT_EQ(codec.Gamma, 0);
        EXPECT_EQ(codec.TransparentColor, -1);
    }
    TLinearBitmap b;
    const Bytes emptyHeader = Cat({po::PngSignature(), po::Chunk("IHDR", {}), po::Chunk("IEND", {})});
    EXPECT_EQ(messageOf([&] { LoadBytes(emptyHeader, b); }), "Invalid PNG data");
}

TEST_F(PNGCodec, DataAfterTheLastRowIsPassedOverUpToTheTrailer) {
    // A 4 x 1 grey image: one filter byte and four samples make the whole image.
    const Bytes row = {0, 1, 2, 3, 4};
    Bytes stored = {0x78, 0x01, 0x00, 5, 0, 0xFA, 0xFF};  // a stored block that is not the last
    stored.insert(stored.end(), row.begin(), row.end());
    stored.push_back(0x07);  // a final block of the reserved type: damage
    stored.insert(stored.end(), {0, 0, 0, 0});
    const Bytes cases[] = {po::Zlib(Cat({row, row})), stored, Cat({po::Zlib(row), Bytes(600, 0xAB)})};
    for (const Bytes& data : cases) {
        TLinearBitmap b;
        LoadBytes(Cat({po::PngSignature(), po::Ihdr(4, 1, 8, 0), po::Chunk("IDAT", data), po::Chunk("IEND", {})}), b);
        EXPECT_EQ(Bytes(b.ScanLine(0), b.ScanLine(0) + 4), (Bytes{1, 2, 3, 4}));
    }
}

TEST_F(PNGCodec, FileEndingAfterTheLastIdatLoads) {
    TLinearBitmap b;
    LoadBytes(Cat({po::PngSignature(), po::Ihdr(2, 1, 8, 0), po::Chunk("IDAT", po::Zlib({0, 9, 8}))}), b);
    EXPECT_EQ(Bytes(b.ScanLine(0), b.ScanLine(0) + 2), (Bytes{9, 8}));
    // No image at all.
    EXPECT_EQ(messageOf([&] { LoadBytes(Cat({po::PngSignature(), po::Chunk("IEND", {})}), b); }),
              "Unsupported PNG data");
    // Image data before the header.
    EXPECT_EQ(messageOf([&] { LoadBytes(Cat({po::PngSignature(), po::Chunk("IDAT", po::Zlib({0, 1}))}), b); }),
              "Invalid PNG data");
}

TEST_F(PNGCodec, ImpossibleHeadersAndPalettesAreInvalidData) {
    TLinearBitmap b;
    const Bytes idat = po::Chunk("IDAT", po::Zlib({0, 1}));
    // A palette image of depth 16 and RGB of depth 4: the PNG format has no such images.
    for (auto [d, t] : {std::pair{16, 3}, {4, 2}, {2, 6}, {3, 0}, {32, 0}, {8, 5}, {8, 1}}) {
        const int depth = d, type = t;
        EXPECT_EQ(messageOf([&] { LoadBytes(Cat({po::PngSignature(), po::Ihdr(1, 1, depth, type), idat}), b); }),
                  "Invalid PNG data")
            << depth << "/" << type;
    }
    // PLTE of 257 entries, and one whose length is not a multiple of three.
    for (size_t n : {771u, 770u, 4u}) {
        EXPECT_EQ(messageOf([&] {
                      LoadBytes(Cat({po::PngSignature(), po::Ihdr(1, 1, 8, 3), po::Chunk("PLTE", Bytes(n, 9)), idat}), b);
                  }),
                  "Invalid PNG data")
            << n;
    }
    // IHDR of the wrong length; unknown interlace and filter methods; a bad zlib header.
    Bytes longHeader = Cat({po::Ihdr(1, 1, 8, 0)});
    EXPECT_EQ(messageOf([&] {
                  LoadBytes(Cat({po::PngSignature(), po::Chunk("IHDR", Bytes(14, 1)), idat}), b);
              }),
              "Invalid PNG data");
    EXPECT_EQ(messageOf([&] { LoadBytes(Cat({po::PngSignature(), po::Ihdr(1, 1, 8, 0, 2), idat}), b); }),
              "Invalid PNG data");
    EXPECT_EQ(messageOf([&] { LoadBytes(Cat({po::PngSignature(), po::Ihdr(1, 1, 8, 0, 0, 64), idat}), b); }),
              "Invalid PNG data");
    EXPECT_EQ(messageOf([&] {
                  LoadBytes(Cat({po::PngSignature(), po::Ihdr(1, 1, 8, 0), po::Chunk("IDAT", {0x79, 0x9C, 0, 0})}), b);
              }),
              "Invalid PNG data");
    // A row filter type above 4.
    EXPECT_EQ(messageOf([&] {
                  LoadBytes(Cat({po::PngSignature(), po::Ihdr(1, 1, 8, 0), po::Chunk("IDAT", po::Zlib({5, 1}))}), b);
              }),
              "Invalid PNG data");
    // Filter method 64 in a PNG (not MNG) datastream.
    EXPECT_EQ(messageOf([&] {
                  LoadBytes(Cat({po::PngSignature(), po::Ihdr(1, 1, 8, 2, 0, 64), po::Chunk("IDAT", po::Zlib({0, 1, 2, 3}))}), b);
              }),
              "Invalid PNG data");
}

TEST_F(PNGCodec, HeadersClaimingHugeImagesFailBeforeAllocating) {
    TLinearBitmap b;
    const Bytes idat = po::Chunk("IDAT", po::Zlib({0, 1}));
    for (auto [w, h] : {std::pair<uint32_t, uint32_t>{0xFFFFFFFFu, 0xFFFFFFFFu}, {0x80000000u, 1}, {1, 0x80000000u},
                        {100000, 100000}, {0, 5}, {5, 0}}) {
        const uint32_t width = w, height = h;
        EXPECT_EQ(messageOf([&] { LoadBytes(Cat({po::PngSignature(), po::Ihdr(width, height, 16, 6), idat}), b); }),
                  "Invalid bitmap size")
            << w << "x" << h;
    }
}

TEST_F(PNGCodec, MngYieldsItsFirstImage) {
    const Bytes image = Cat({po::Ihdr(2, 1, 8, 0), po::Chunk("IDAT", po::Zlib({0, 4, 5})), po::Chunk("IEND", {})});
    const Bytes mhdr = po::Chunk("MHDR", Bytes(28, 0));
    TLinearBitmap b;
    LoadBytes(Cat({po::MngSignature(), mhdr, po::Chunk("DEFI", {0, 1}), image,
                   po::Chunk("IHDR", Bytes(13, 0)), po::Chunk("MEND", {})}),
              b);
    EXPECT_EQ(Bytes(b.ScanLine(0), b.ScanLine(0) + 2), (Bytes{4, 5}));
    // Frames are started by a LOOP: not an image the codec can take as the first one.
    EXPECT_EQ(messageOf([&] {
                  LoadBytes(Cat({po::MngSignature(), mhdr, po::Chunk("LOOP", {0, 0, 0, 0, 1}), image}), b);
              }),
              "Unsupported PNG data");
    // An image of delta or JNG kind is refused as well.
    EXPECT_EQ(messageOf([&] { LoadBytes(Cat({po::MngSignature(), mhdr, po::Chunk("JHDR", Bytes(16, 0))}), b); }),
              "Unsupported PNG data");
}

TEST_F(PNGCodec, FrameChunksArePassedOverInMngButAreUnknownCriticalChunksInPng) {
    const Bytes image = Cat({po::Ihdr(2, 1, 8, 0), po::Chunk("IDAT", po::Zlib({0, 4, 5})), po::Chunk("IEND", {})});
    for (const char* type : {"TERM", "BACK", "MOVE"}) {
        TLinearBitmap b;
        LoadBytes(Cat({po::MngSignature(), po::Chunk("MHDR", Bytes(28, 0)), po::Chunk(type, {0}), image}), b, "MNG");
        EXPECT_EQ(Bytes(b.ScanLine(0), b.ScanLine(0) + 2), (Bytes{4, 5})) << type;
        EXPECT_EQ(messageOf([&] { LoadBytes(Cat({po::PngSignature(), po::Chunk(type, {0}), image}), b); }),
                  "Unsupported PNG data")
            << type;
    }
}

TEST_F(PNGCodec, ATruecolourFilesPaletteIsWrittenWithAGreyImageToo) {
    codec.TruecolorPalette = AllocateBytes(768);
    std::memset(codec.TruecolorPalette.get(), 0, 768);
    const uint8_t entries[6] = {3, 2, 1, 6, 5, 4};  // blue, green, red
    std::memcpy(codec.TruecolorPalette.get(), entries, 6);
    TLinearBitmap b;
    b.New(3, 2, pfIndexed8);
    std::memcpy(b.Palette.get(), GrayPalette, 768);
    FillTestImage(b, 4);
    const Bytes file = SaveBytes(b);
    Bytes palette;
    for (const auto& c : po::Chunks(file))
        if (c.type == "PLTE") palette = c.data;
    EXPECT_EQ(palette, (Bytes{1, 2, 3, 4, 5, 6}));
    TLinearBitmap back;
    LoadBytes(file, back);
    EXPECT_EQ(Bytes(back.Map.get(), back.Map.get() + 6), Bytes(b.Map.get(), b.Map.get() + 6));
}

TEST_F(PNGCodec, MngTestFilesLoadTheirFirstImageLikeLibpng) {
    PIXMORPH_REQUIRE_TESTDATA();
    for (const char* name : {"animation.mng", "ball.mng", "fire.mng", "dutch.mng"}) {
        const Bytes file = readFile(testdata(std::string("mng/") + name));
        const po::Decoded d = po::Decode(po::FirstEmbeddedPng(file));
        ASSERT_TRUE(d.ok) << name << ": " << d.error;
        TLinearBitmap b;
        try {
            LoadBytes(file, b, "MNG");
        } catch (const Exception& e) {
            ADD_FAILURE() << name << ": " << e.Message();
            continue;
        }
        ExpectImageEquals(b, MapByCodecRules(d), name);
    }
    TLinearBitmap b;
    const std::string message = messageOf([&] { LoadBytes(readFile(testdata("mng/corrupt.mng")), b, "MNG"); });
    EXPECT_EQ(message, "Read less than expected");
}

TEST_F(PNGCodec, InterlacedImagesEqualTheirPlainTwins) {
    PIXMORPH_REQUIRE_TESTDATA();
    // A 1 x 1 interlaced image: only pass 1 carries data.
    TLinearBitmap b;
    LoadBytes(Cat({po::PngSignature(), po::Ihdr(1, 1, 16, 0, 1), po::Chunk("IDAT", po::Zlib({0, 0x12, 0x34})),
                   po::Chunk("IEND", {})}),
              b);
    ASSERT_EQ(b.PixelFormat, pfGray16);
    EXPECT_EQ(b.ScanLine(0)[0], 0x34);
    EXPECT_EQ(b.ScanLine(0)[1], 0x12);
    // The PngSuite pairs basi/basn decode to the same pixels.
    for (const char* kind : {"0g01", "0g02", "0g04", "0g08", "0g16", "2c08", "2c16", "3p01", "3p02", "3p04", "3p08",
                             "4a08", "4a16", "6a08", "6a16"}) {
        TLinearBitmap interlaced, plain;
        LoadBytes(readFile(testdata(std::string("pngsuite/basi") + kind + ".png")), interlaced);
        LoadBytes(readFile(testdata(std::string("pngsuite/basn") + kind + ".png")), plain);
        ASSERT_EQ(interlaced.Size, plain.Size) << kind;
        EXPECT_EQ(0, std::memcmp(interlaced.Map.get(), plain.Map.get(), static_cast<size_t>(plain.Size))) << kind;
    }
}

TEST_F(PNGCodec, ImageDataSplitOverManyChunksWithAStoredBlockAcrossThem) {
    // 300 x 40 grey rows, stored (level 0) so that stored blocks cross the chunk boundaries.
    Bytes raw;
    for (int y = 0; y < 40; ++y) {
        raw.push_back(static_cast<uint8_t>(y % 5));
        for (int x = 0; x < 300; ++x) raw.push_back(static_cast<uint8_t>(x * y));
    }
    const Bytes z = po::Zlib(raw, 0);
    Bytes file = Cat({po::PngSignature(), po::Ihdr(300, 40, 8, 0)});
    for (size_t p = 0; p < z.size(); p += 997) {
        const Bytes part(z.begin() + p, z.begin() + std::min(z.size(), p + 997));
        const Bytes c = po::Chunk("IDAT", part);
        file.insert(file.end(), c.begin(), c.end());
        if (p == 0) {
            const Bytes empty = po::Chunk("IDAT", {});
            file.insert(file.end(), empty.begin(), empty.end());
        }
    }
    const Bytes iend = po::Chunk("IEND", {});
    file.insert(file.end(), iend.begin(), iend.end());
    TLinearBitmap b;
    LoadBytes(file, b);
    ExpectImageEquals(b, MapByCodecRules(po::Decode(file)), "split");
    // A foreign chunk between two IDAT chunks breaks the image data.
    Bytes broken = Cat({po::PngSignature(), po::Ihdr(300, 40, 8, 0), po::Chunk("IDAT", Bytes(z.begin(), z.begin() + 500)),
                        po::Chunk("tEXt", {'a', 0}), po::Chunk("IDAT", Bytes(z.begin() + 500, z.end())), iend});
    EXPECT_EQ(messageOf([&] { LoadBytes(broken, b); }), "Invalid PNG data");
}

TEST_F(PNGCodec, TruncatedImageDataFailsCleanly) {
    Bytes raw = SolidRows(50, 50, 150, 7);
    const Bytes z = po::Zlib(raw, 9);
    TLinearBitmap b;
    // The deflate data ends before the rows do.
    Bytes shortRaw(raw.begin(), raw.begin() + 2000);
    const std::string m = messageOf([&] {
        LoadBytes(Cat({po::PngSignature(), po::Ihdr(50, 50, 8, 2), po::Chunk("IDAT", po::Zlib(shortRaw))}), b);
    });
    EXPECT_TRUE(m == "Read less than expected" || m == "Invalid PNG data") << m;
    // The file ends inside the IDAT chunk.
    Bytes file = Cat({po::PngSignature(), po::Ihdr(50, 50, 8, 2), po::Chunk("IDAT", z)});
    file.resize(file.size() - 10);
    EXPECT_NE(messageOf([&] { LoadBytes(file, b); }), "<no exception>");
}

// ---------------------------------------------------------------- writing

TEST_F(PNGCodec, WrittenFilesAreValidAndDecodeToThePixelsWritten) {
    for (uint8_t format : {pfIndexed8, pfGray16, pfBGR24}) {
        for (auto [w, h] : {std::pair{1, 1}, {3, 2}, {37, 19}, {130, 64}}) {
            TLinearBitmap b;
            if (format == pfIndexed8) {
                MakePaletteImage(b, w, h, 200);
            } else {
                b.New(w, h, format);
                FillTestImage(b, static_cast<uint32_t>(w + h));
            }
            for (int mode : {-1, -2, 0, 1, 2, 3, 4, -3}) {
                codec.FilterMode = mode;
                const Bytes file = SaveBytes(b);
                EXPECT_EQ(codec.FilterMode, mode);
                const po::Decoded d = CheckWrittenFile(file);
                ExpectDecodesTo(d, b);
                EXPECT_EQ(d.bitDepth, format == pfGray16 ? 16 : 8);
                EXPECT_EQ(d.colorType, format == pfBGR24 ? 2 : format == pfGray16 ? 0 : 3);
                // And our own reader gets the same image back.
                TLinearBitmap back;
                LoadBytes(file, back);
                ASSERT_EQ(back.Size, b.Size);
                EXPECT_EQ(0, std::memcmp(back.Map.get(), b.Map.get(), static_cast<size_t>(b.Size)));
            }
        }
    }
}

TEST_F(PNGCodec, FilterTypesInTheWrittenData) {
    // Decompress with zlib and look at the filter bytes.
    TLinearBitmap b;
    b.New(16, 4, pfBGR24);
    b.FillBytes(0);
    for (int mode : {0, 1, 2, 3, 4}) {
        codec.FilterMode = mode;
        const Bytes file = SaveBytes(b);
        for (const auto& c : po::Chunks(file)) {
            if (c.type != "IDAT") continue;
            Bytes raw(4 * 49);
            uLongf n = raw.size();
            ASSERT_EQ(uncompress(raw.data(), &n, c.data.data(), c.data.size()), Z_OK);
            ASSERT_EQ(n, raw.size());
            for (int y = 0; y < 4; ++y) EXPECT_EQ(raw[y * 49], mode);
        }
    }
    // Adaptive: all-zero rows get type 0.
    codec.FilterMode = -1;
    for (const auto& c : po::Chunks(SaveBytes(b)))
        if (c.type == "IDAT") {
            Bytes raw(4 * 49);
            uLongf n = raw.size();
            ASSERT_EQ(uncompress(raw.data(), &n, c.data.data(), c.data.size()), Z_OK);
            for (int y = 0; y < 4; ++y) EXPECT_EQ(raw[y * 49], 0);
        }
}

TEST_F(PNGCodec, GreyRampPaletteIsWrittenAsGreyWithoutPalette) {
    TLinearBitmap b;
    b.New(20, 10, pfIndexed8);
    std::memcpy(b.Palette.get(), GrayPalette, 768);
    FillTestImage(b, 9);
    const Bytes file = SaveBytes(b);
    for (const auto& c : po::Chunks(file)) EXPECT_NE(c.type, "PLTE");
    const po::Decoded d = CheckWrittenFile(file);
    EXPECT_EQ(d.colorType, 0);
    ExpectDecodesTo(d, b);
}

TEST_F(PNGCodec, PaletteStopsAfterTheLastNonBlackEntryButCoversUsedIndices) {
    TLinearBitmap b;
    b.New(4, 1, pfIndexed8);
    std::memset(b.Palette.get(), 0, 768);
    b.Palette[3 * 5 + 2] = 200;  // entry 5 is red; entries 6..255 black
    const uint8_t px[] = {0, 5, 1, 2};
    std::memcpy(b.ScanLine(0), px, 4);
    for (const auto& c : po::Chunks(SaveBytes(b)))
        if (c.type == "PLTE") { EXPECT_EQ(c.length, 18u); }
    // Index 9 is black but used: the palette must reach it for the file to be valid.
    b.ScanLine(0)[3] = 9;
    const Bytes file = SaveBytes(b);
    for (const auto& c : po::Chunks(file))
        if (c.type == "PLTE") { EXPECT_EQ(c.length, 30u); }
    ExpectDecodesTo(CheckWrittenFile(file), b);
}

TEST_F(PNGCodec, UnsupportedFormatsFailBeforeWritingAnything) {
    TLinearBitmap b;
    b.New(2, 2, pfBGRX32);
    TMemStream memory;
    try {
        PNGLoader().SaveToStream(memory, "PNG", b);
        ADD_FAILURE() << "no exception";
    } catch (const ELinearBitmap& e) {
        EXPECT_EQ(e.Message(), "Unsupported pixel format");
    }
    EXPECT_EQ(memory.GetSize(), 0);
    TLinearBitmap empty;
    EXPECT_EQ(messageOf([&] { SaveBytes(empty); }), "Unsupported pixel format");
}

TEST_F(PNGCodec, LowBitDepthFromTheLastReadStillWritesEightBitPalettes) {
    PIXMORPH_REQUIRE_TESTDATA();
    for (const char* name : {"basn3p01.png", "basn3p02.png", "basn3p04.png", "basn0g02.png"}) {
        TLinearBitmap b;
        LoadBytes(readFile(testdata(std::string("pngsuite/") + name)), b);
        ASSERT_LT(codec.BitDepth, 8) << name;
        const Bytes file = SaveBytes(b);
        const po::Decoded d = CheckWrittenFile(file);
        EXPECT_EQ(d.bitDepth, 8) << name;
        ExpectDecodesTo(d, b);
    }
}

TEST_F(PNGCodec, TransparencyAndGammaCarryOverFromTheLastRead) {
    PIXMORPH_REQUIRE_TESTDATA();
    struct Case {
        const char* name;
        int colorType;
    };
    for (const Case& c : {Case{"tbrn2c08.png", 2}, Case{"tbbn3p08.png", 3}, Case{"tbbn0g04.png", 3},
                          Case{"tp0n0g08.png", 0}, Case{"g03n3p04.png", 3}, Case{"g10n2c08.png", 2},
                          Case{"tbwn0g16.png", 0}}) {
        const Bytes original = readFile(testdata(std::string("pngsuite/") + c.name));
        const po::Decoded in = po::Decode(original);
        TLinearBitmap b;
        LoadBytes(original, b);
        const Bytes file = SaveBytes(b);
        const po::Decoded out = CheckWrittenFile(file);
        EXPECT_EQ(out.colorType, c.colorType) << c.name;
        ExpectDecodesTo(out, b);
        EXPECT_EQ(out.hasGamma, in.hasGamma) << c.name;
        EXPECT_EQ(out.gammaFixed, in.gammaFixed) << c.name;
        // A palette's transparency is kept as its first fully transparent entry.
        bool transparent = in.hasTRNS;
        if (in.colorType == 3) transparent = std::count(in.trnsAlpha.begin(), in.trnsAlpha.end(), 0) > 0;
        EXPECT_EQ(out.hasTRNS, transparent) << c.name;
        if (in.hasTRNS && out.hasTRNS) {
            if (c.colorType == 2) {
                EXPECT_EQ(out.trnsRed, in.trnsRed & 255) << c.name;
                EXPECT_EQ(out.trnsGreen, in.trnsGreen & 255) << c.name;
                EXPECT_EQ(out.trnsBlue, in.trnsBlue & 255) << c.name;
            } else if (c.colorType == 0) {
                EXPECT_EQ(out.trnsGray, in.trnsGray) << c.name;
            } else {
                // The first fully transparent entry stays the one fully transparent entry.
                size_t first = 0;
                if (in.colorType == 3)
                    while (first < in.trnsAlpha.size() && in.trnsAlpha[first] != 0) ++first;
                else
                    first = in.trnsGray;  // low-depth grey: the level is the index
                ASSERT_EQ(out.trnsAlpha.size(), first + 1) << c.name;
                EXPECT_EQ(out.trnsAlpha.back(), 0) << c.name;
            }
        }
    }
}

TEST_F(PNGCodec, GammaIsWrittenBeforeThePalette) {
    PIXMORPH_REQUIRE_TESTDATA();
    TLinearBitmap b;
    LoadBytes(readFile(testdata("pngsuite/g03n3p04.png")), b);
    std::vector<std::string> order;
    for (const auto& c : po::Chunks(SaveBytes(b))) order.push_back(c.type);
    EXPECT_EQ(order, (std::vector<std::string>{"IHDR", "gAMA", "PLTE", "IDAT", "IEND"}));
}

TEST_F(PNGCodec, SixteenBitGreyTransparencyFollowsTheImageToEightBits) {
    PIXMORPH_REQUIRE_TESTDATA();
    // tbwn0g16 makes grey 65535 transparent; the same picture in 8 bits has the level
    // 255 there (the high byte), so an 8-bit grey image saved next gets tRNS 255.
    TLinearBitmap g16;
    LoadBytes(readFile(testdata("pngsuite/tbwn0g16.png")), g16);
    ASSERT_EQ(codec.TransparentColor, 65535);
    TLinearBitmap grey;
    grey.New(4, 4, pfIndexed8);
    std::memcpy(grey.Palette.get(), GrayPalette, 768);
    grey.FillBytes(3);
    po::Decoded d = CheckWrittenFile(SaveBytes(grey));
    EXPECT_TRUE(d.hasTRNS);
    EXPECT_EQ(d.trnsGray, 255);
    // Saved as 16 bits it keeps the full value.
    d = CheckWrittenFile(SaveBytes(g16));
    EXPECT_TRUE(d.hasTRNS);
    EXPECT_EQ(d.trnsGray, 65535);
}

TEST_F(PNGCodec, TransparencyTheWrittenImageCannotHoldIsLeftOut) {
    PIXMORPH_REQUIRE_TESTDATA();
    // A grey level of 16 bits kept from the last read is no palette index.
    TLinearBitmap g16;
    LoadBytes(readFile(testdata("pngsuite/tbwn0g16.png")), g16);
    TLinearBitmap p;
    MakePaletteImage(p, 5, 5, 10);
    const po::Decoded d = CheckWrittenFile(SaveBytes(p));
    EXPECT_FALSE(d.hasTRNS);
    ExpectDecodesTo(d, p);
}

TEST_F(PNGCodec, MngWritesIntrapixelDifferencesAndReadsThemBack) {
    TLinearBitmap b;
    b.New(33, 17, pfBGR24);
    FillTestImage(b, 5);
    const Bytes file = SaveBytes(b, "MNG");
    EXPECT_EQ(Bytes(file.begin(), file.begin() + 8), po::MngSignature());
    const auto chunks = po::Chunks(file);
    ASSERT_GE(chunks.size(), 4u);
    EXPECT_EQ(chunks.front().type, "MHDR");
    EXPECT_EQ(chunks.back().type, "MEND");
    for (const auto& c : chunks)
        if (c.type == "IHDR") { EXPECT_EQ(c.data[11], 64); }
    ExpectDecodesTo(CheckWrittenFile(file, "MNG"), b);
    TLinearBitmap back;
    LoadBytes(file, back, "MNG");
    ASSERT_EQ(back.Size, b.Size);
    EXPECT_EQ(0, std::memcmp(back.Map.get(), b.Map.get(), static_cast<size_t>(b.Size)));
    // Other formats keep filter method 0 in MNG.
    TLinearBitmap p;
    MakePaletteImage(p, 9, 9, 20);
    const Bytes pm = SaveBytes(p, "MNG");
    for (const auto& c : po::Chunks(pm))
        if (c.type == "IHDR") { EXPECT_EQ(c.data[11], 0); }
    ExpectDecodesTo(CheckWrittenFile(pm, "MNG"), p);
    // Filter method 64 on a non-truecolour image cannot be undone.
    TLinearBitmap bad;
    EXPECT_EQ(messageOf([&] {
                  LoadBytes(Cat({po::MngSignature(), po::Ihdr(1, 1, 8, 0, 0, 64), po::Chunk("IDAT", po::Zlib({0, 1}))}),
                            bad, "MNG");
              }),
              "Unsupported pixel format");
}

TEST_F(PNGCodec, NearLosslessStaysWithinToleranceAndKeepsTransparentPixels) {
    for (uint8_t format : {pfBGR24, pfIndexed8}) {
        TLinearBitmap b;
        b.New(40, 30, format);
        if (format == pfIndexed8) std::memcpy(b.Palette.get(), GrayPalette, 768);
        FillTestImage(b, 11);
        codec.LossyTolerance = 6;
        codec.TransparentColor = format == pfBGR24 ? (30 | (20 << 8) | (10 << 16)) : 77;
        // Plant transparent pixels (stored blue, green, red).
        for (int32_t y = 3; y < 30; y += 7)
            for (int32_t x = 2; x < 40; x += 9) {
                uint8_t* px = b.ScanLine(y) + x * b.PixelSize;
                if (format == pfBGR24) {
                    px[0] = 10; px[1] = 20; px[2] = 30;
                } else {
                    px[0] = 77;
                }
            }
        const TLinearBitmap original(b);
        const Bytes file = SaveBytes(b);
        EXPECT_EQ(0, std::memcmp(original.Map.get(), b.Map.get(), static_cast<size_t>(b.Size))) << "bitmap changed";
        const po::Decoded d = CheckWrittenFile(file);
        ASSERT_TRUE(d.ok);
        int changed = 0;
        for (int32_t y = 0; y < 30; ++y) {
            for (int32_t x = 0; x < 40; ++x) {
                const uint8_t* px = b.ScanLine(y) + x * b.PixelSize;
                const bool wasTransparent = format == pfBGR24 ? (px[0] == 10 && px[1] == 20 && px[2] == 30) : px[0] == 77;
                for (int k = 0; k < b.PixelSize; ++k) {
                    const int written = format == pfBGR24 ? d.rows[y][3 * x + 2 - k] : d.rows[y][x];
                    // Within the tolerance; a truecolour byte may be one more off where it
                    // had to be kept from turning the pixel transparent.
                    EXPECT_LE(std::abs(written - px[k]), format == pfBGR24 ? 7 : 6) << y << "," << x;
                    if (written != px[k]) ++changed;
                    if (wasTransparent) { EXPECT_EQ(written, px[k]) << "transparent pixel changed at " << y << "," << x; }
                }
                // No other pixel becomes transparent.
                if (!wasTransparent) {
                    if (format == pfBGR24)
                        EXPECT_FALSE(d.rows[y][3 * x] == 30 && d.rows[y][3 * x + 1] == 20 && d.rows[y][3 * x + 2] == 10);
                    else
                        EXPECT_NE(d.rows[y][x], 77);
                }
            }
        }
        EXPECT_GT(changed, 0);
    }
}

TEST_F(PNGCodec, NearLosslessPaletteImageKeepsColoursClose) {
    TLinearBitmap b;
    MakePaletteImage(b, 30, 20, 60);
    const TLinearBitmap original(b);
    codec.LossyTolerance = 10;
    const Bytes file = SaveBytes(b);
    EXPECT_EQ(0, std::memcmp(original.Map.get(), b.Map.get(), static_cast<size_t>(b.Size))) << "bitmap changed";
    const po::Decoded d = CheckWrittenFile(file);
    ASSERT_TRUE(d.ok);
    for (int32_t y = 0; y < 20; ++y)
        for (int32_t x = 0; x < 30; ++x) {
            const uint8_t* was = &b.Palette[3 * b.ScanLine(y)[x]];
            const uint8_t* now = &d.paletteRGB[3 * d.rows[y][x]];
            const int dist = std::abs(now[0] - was[2]) + std::abs(now[1] - was[1]) + std::abs(now[2] - was[0]);
            EXPECT_LT(dist, 10);
        }
}

TEST_F(PNGCodec, FilterModeMinusThreeKeepsTheSmallestTrialAndRestoresTheSetting) {
    TLinearBitmap b;
    b.New(64, 32, pfBGR24);
    FillTestImage(b, 21);
    size_t smallest = SIZE_MAX;
    for (int mode = -2; mode <= 4; ++mode) {
        codec.FilterMode = mode;
        smallest = std::min(smallest, SaveBytes(b).size());
    }
    codec.FilterMode = -3;
    const Bytes file = SaveBytes(b);
    EXPECT_EQ(codec.FilterMode, -3);
    EXPECT_EQ(file.size(), smallest);
    ExpectDecodesTo(CheckWrittenFile(file), b);
}

TEST_F(PNGCodec, SavesToStreamsThatCannotSeek) {
    // A forward-only stream gets the same bytes as a seekable one.
    class ForwardOnly : public TBaseStream {
    public:
        Bytes data;
        ForwardOnly() { CanWrite = true; }
        int64_t Write(const void* b, int64_t n) override {
            data.insert(data.end(), static_cast<const uint8_t*>(b), static_cast<const uint8_t*>(b) + n);
            return n;
        }
        int64_t Read(void*, int64_t) override { return 0; }
        int64_t Available() override { return 0; }
    };
    TLinearBitmap b;
    b.New(10, 10, pfGray16);
    FillTestImage(b, 2);
    ForwardOnly out;
    PNGLoader().SaveToStream(out, "PNG", b);
    EXPECT_EQ(out.data, SaveBytes(b));
}

namespace {

void PutBigEndian(Bytes& out, uint32_t v) {
    for (int shift : {24, 16, 8, 0}) out.push_back(static_cast<uint8_t>(v >> shift));
}

void PutChunk(Bytes& out, const char* type, const Bytes& data) {
    PutBigEndian(out, static_cast<uint32_t>(data.size()));
    const size_t start = out.size();
    out.insert(out.end(), type, type + 4);
    out.insert(out.end(), data.begin(), data.end());
    PutBigEndian(out, static_cast<uint32_t>(crc32(0, out.data() + start, static_cast<uInt>(out.size() - start))));
}

}  // namespace

TEST_F(PNGCodec, DataThatStopsInsideTheImageDataIsAnError) {
    // 32 x 32 RGB rows of noise compress to more than the IDAT chunks carry; the file then
    // ends where the next chunk's header should be (with and without the CRC, and after an
    // empty IDAT chunk): an error, never an image made of what happened to be in memory.
    Bytes rows;
    for (int i = 0; i < 32 * (1 + 96); ++i) rows.push_back(static_cast<uint8_t>(i % 97 == 0 ? 0 : i * 131 + 7));
    Bytes compressed(compressBound(static_cast<uLong>(rows.size())));
    uLongf length = static_cast<uLongf>(compressed.size());
    ASSERT_EQ(compress(compressed.data(), &length, rows.data(), static_cast<uLong>(rows.size())), Z_OK);
    compressed.resize(length / 2);

    Bytes file = po::PngSignature();
    Bytes ihdr;
    PutBigEndian(ihdr, 32);
    PutBigEndian(ihdr, 32);
    for (uint8_t b : {8, 2, 0, 0, 0}) ihdr.push_back(b);
    PutChunk(file, "IHDR", ihdr);
    PutChunk(file, "IDAT", compressed);
    for (bool emptyChunk : {false, true}) {
        if (emptyChunk) PutChunk(file, "IDAT", {});
        for (size_t cut : {size_t{0}, size_t{2}, size_t{4}, size_t{6}}) {
            const Bytes truncated(file.begin(), file.end() - static_cast<std::ptrdiff_t>(cut));
            TLinearBitmap b;
            EXPECT_NE(messageOf([&] { LoadBytes(truncated, b); }), "<no exception>") << cut;
        }
    }
}
