// The libmng binding in process: loading and counting, the version check through stand-in
// entry points, missing libraries and entry points, zlib through the library, and the PNG
// chunks CreatePNG builds, read back by libpng.
#include <gtest/gtest.h>

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <new>
#include <random>

#include <cstdio>
#include <jpeglib.h>
#include <jerror.h>

#include "TestSupport.h"
#include "codecs/JpegOracle.h"
#include "codecs/PngOracle.h"
#include "mng/NGImages.h"
#include "mng/NGJPEG.h"

using namespace testing_support;
using ng::TNGImage;

namespace {

// Puts an entry point back when the test ends, whatever happens.
class StandIn {
public:
    StandIn(const char* name, void* address) : name_(name), previous_(ng::ReplaceEntryForTesting(name, address)) {}
    ~StandIn() { ng::ReplaceEntryForTesting(name_, previous_); }

private:
    const char* name_;
    void* previous_;
};

struct Rgb {
    uint8_t r, g, b;
    bool operator==(const Rgb&) const = default;
};

// An image from a function of the pixel position.
template <class F>
void Paint(TNGImage& image, int width, int height, F&& colour) {
    image.Bitmap().NewImage(host::pf24bit, width, height);
    for (int y = 0; y < height; ++y) {
        uint8_t* row = image.Bitmap().ScanLine(y);
        for (int x = 0; x < width; ++x) {
            const Rgb c = colour(x, y);
            row[3 * x] = c.b;
            row[3 * x + 1] = c.g;
            row[3 * x + 2] = c.r;
        }
    }
}

// Colour number k of a test palette; distinct for k below 512.
Rgb ColourNumber(int k) {
    return {static_cast<uint8_t>(k), static_cast<uint8_t>(k * 7 + 3), static_cast<uint8_t>(k >> 8 ? 200 : 10)};
}

// n colours where colour k (k >= 1) covers k + 1 pixels in reading order and colour 0 the
// rest, so that no two colours are used equally often.
Rgb DistinctCounts(int n, int width, int x, int y) {
    int i = y * width + x;
    for (int k = n - 1; k >= 1; --k) {
        if (i < k + 1) return ColourNumber(k);
        i -= k + 1;
    }
    return ColourNumber(0);
}

std::vector<uint8_t> SavePng(TNGImage& image, const TempDir& dir) {
    image.SavePNGToFile(dir / "out.png");
    return readFile(dir / "out.png");
}

std::vector<Rgb> PixelsOf(const png_oracle::Decoded& d) {
    std::vector<Rgb> pixels;
    for (const auto& row : d.rows)
        for (uint32_t x = 0; x < d.width; ++x) {
            if (d.colorType == 3) {
                const uint8_t* p = &d.paletteRGB[row[x] * 3u];
                pixels.push_back({p[0], p[1], p[2]});
            } else {
                const uint8_t* p = &row[x * static_cast<size_t>(d.channels)];
                pixels.push_back({p[0], p[1], p[2]});
            }
        }
    return pixels;
}

// zlib's size for the raw rows with the writer's settings.
size_t ZlibSize(const std::vector<uint8_t>& raw) {
    z_stream s{};
    deflateInit2(&s, 9, Z_DEFLATED, 15, 9, Z_DEFAULT_STRATEGY);
    std::vector<uint8_t> out(deflateBound(&s, raw.size()));
    s.next_in = const_cast<Bytef*>(raw.data());
    s.avail_in = static_cast<uInt>(raw.size());
    s.next_out = out.data();
    s.avail_out = static_cast<uInt>(out.size());
    deflate(&s, Z_FINISH);
    deflateEnd(&s);
    return s.total_out;
}

// The depth the writer must choose: the smallest zlib output over the candidate depths,
// a smaller depth winning only when strictly smaller.
int ExpectedDepth(const png_oracle::Decoded& d, size_t colours) {
    std::vector<int> depths = colours <= 2 ? std::vector<int>{1, 2, 4, 8}
                              : colours <= 4 ? std::vector<int>{2, 4, 8}
                              : colours <= 16 ? std::vector<int>{4, 8}
                                              : std::vector<int>{8};
    int best = 0;
    size_t bestSize = SIZE_MAX;
    for (auto depth = depths.rbegin(); depth != depths.rend(); ++depth) {
        std::vector<uint8_t> raw;
        for (const auto& row : d.rows) {
            raw.push_back(0);
            std::vector<uint8_t> packed((d.width * *depth + 7) / 8, 0);
            for (uint32_t x = 0; x < d.width; ++x)
                packed[x * *depth / 8] |= static_cast<uint8_t>(row[x] << (8 - *depth - (x * *depth) % 8));
            raw.insert(raw.end(), packed.begin(), packed.end());
        }
        const size_t size = ZlibSize(raw);
        if (size < bestSize) {
            bestSize = size;
            best = *depth;
        }
    }
    return best;
}

}  // namespace

TEST(NGLibrary, TablesHoldTheirNamesInOrderAndTheWriterEntryPointsResolve) {
    EXPECT_EQ(ng::LibmngEntryNames().size(), 144u);
    EXPECT_STREQ(ng::LibmngEntryNames().front(), "mng_version_text");
    EXPECT_STREQ(ng::LibmngEntryNames().back(), "mng_putchunk_jsep");
    EXPECT_EQ(ng::ZlibEntryNames().size(), 28u);
    EXPECT_EQ(ngjpeg::JpegEntryNames().size(), 23u);
    ng::TLibmngReference library;
    ASSERT_TRUE(ng::LibmngLoaded());
    for (const char* name : {"mng_initialize", "mng_write", "mng_putchunk_jhdr", "mng_putchunk_jdat",
                             "mng_status_dynamic", "deflateInit2_", "deflate", "deflateEnd"})
        EXPECT_NE(ng::EntryAddress(name), nullptr) << name;
    // Macros of zlib's header are no exported names.
    EXPECT_EQ(ng::EntryAddress("deflateInit"), nullptr);
    for (const char* name : {"jpeg_CreateCompress", "jpeg_write_scanlines", "jpeg_destroy"})
        EXPECT_NE(ngjpeg::JpegEntryAddress(name), nullptr) << name;
}

TEST(NGLibrary, LoadRequestsAreCountedAndTheLastReleaseFreesAndClearsEverything) {
    ASSERT_EQ(ng::LibmngLoadCount(), 0);
    ng::LoadLibmng();
    ng::LoadLibmng();
    EXPECT_EQ(ng::LibmngLoadCount(), 2);
    ng::UnloadLibmng();
    EXPECT_TRUE(ng::LibmngLoaded());
    EXPECT_NE(ng::EntryAddress("mng_write"), nullptr);
    ng::UnloadLibmng();
    EXPECT_FALSE(ng::LibmngLoaded());
    EXPECT_EQ(ng::EntryAddress("mng_write"), nullptr);
    ng::UnloadLibmng();  // never below zero
    EXPECT_EQ(ng::LibmngLoadCount(), 0);
    {
        TNGImage image;
        TNGImage other;
        EXPECT_EQ(ng::LibmngLoadCount(), 4);  // each image and each bitmap hold one
    }
    EXPECT_EQ(ng::LibmngLoadCount(), 0);
}

namespace {
uint8_t standInMajor, standInMinor, standInRelease;
uint8_t Major() { return standInMajor; }
uint8_t Minor() { return standInMinor; }
uint8_t Release() { return standInRelease; }
}  // namespace

TEST(NGLibrary, VersionCheckRefusesLibrariesBefore105) {
    struct Case {
        uint8_t major, minor, release;
        bool accepted;
    };
    const Case cases[] = {{1, 0, 4, false}, {1, 0, 5, true}, {1, 1, 0, true}, {0, 9, 9, false},
                          {1, 0, 0, false}, {1, 0, 10, true}, {2, 0, 0, true}};
    ng::TLibmngReference library;
    StandIn major("mng_version_major", reinterpret_cast<void*>(&Major));
    StandIn minor("mng_version_minor", reinterpret_cast<void*>(&Minor));
    StandIn release("mng_version_release", reinterpret_cast<void*>(&Release));
    for (const Case& c : cases) {
        standInMajor = c.major;
        standInMinor = c.minor;
        standInRelease = c.release;
        const std::string message = messageOf<ENGImageException>([] { TNGImage image; });
        EXPECT_EQ(message, c.accepted ? "<no exception>" : "NGImage 1.2.0 requires libmng 1.0.5 or later")
            << int{c.major} << "." << int{c.minor} << "." << int{c.release};
    }
    EXPECT_EQ(ng::LibmngLoadCount(), 1);  // refused images gave their load back
}

TEST(NGLibrary, ALibraryThatCannotBeLoadedFailsTheFirstCallAndIsTriedAgainLater) {
    ng::SetLibraryNameForTesting("libmng-that-is-not-there.so.1");
    EXPECT_EQ(messageOf<ng::ENGDLLNotLoaded>([] { TNGImage image; }), "libmng.dll was not loaded correctly");
    EXPECT_EQ(ng::LibmngLoadCount(), 0);
    ng::SetLibraryNameForTesting("libmng.so.1");
    EXPECT_EQ(messageOf<ENGImageException>([] { TNGImage image; }), "<no exception>");
}

TEST(NGLibrary, AnEntryPointTheLibraryLacksRaisesInsteadOfBeingCalled) {
    TNGImage image;
    Paint(image, 4, 4, [](int, int) { return Rgb{1, 2, 3}; });
    TempDir dir;
    StandIn missing("mng_putchunk_srgb", nullptr);
    EXPECT_EQ(messageOf<ng::ENGFuncUnknown>([&] { image.SavePNGToFile(dir / "x.png"); }),
              "Function not available in this version");
}

// libmng decodes JNG data with a libjpeg of its own: the JPEG reader's scan limit is
// checked on the file before libmng is called.
TEST(NGLibrary, JNGDataOfMoreScansThanTheJPEGReaderTakesIsRefusedBeforeLibmng) {
    const std::pair<int, std::string> cases[] = {  // repeats of each scan, outcome
        {0, "16 x 16"}, {200, "JPEG error #" + std::to_string(JERR_BAD_PROGRESSION)}};
    for (const auto& [repeats, outcome] : cases) {
        const auto jpeg = jpeg_oracle::Encode(16, 16, 1, std::vector<uint8_t>(256, 90),
                                              {.progressive = true, .hSample = 1, .vSample = 1, .repeatLastScan = repeats});
        std::vector<uint8_t> file = {0x8B, 'J', 'N', 'G', '\r', '\n', 0x1A, '\n'};
        for (const auto& chunk : {png_oracle::Chunk("JHDR", {0, 0, 0, 16, 0, 0, 0, 16, 8, 8, 8, 8, 0, 0, 0, 0}),
                                  png_oracle::Chunk("JDAT", jpeg), png_oracle::Chunk("IEND", {})})
            file.insert(file.end(), chunk.begin(), chunk.end());
        TempDir dir;
        writeFile(dir / "a.jng", file);
        TNGImage image;
        const std::string refusal = messageOf<Exception>([&] { image.LoadFromFile(dir / "a.jng"); });
        EXPECT_EQ(refusal != "<no exception>" ? refusal : std::to_string(image.Width()) + " x " + std::to_string(image.Height()),
                  outcome) << repeats;
    }
}

TEST(NGLibrary, LibmngErrorsNameTheStepAndLibmngsCodes) {
    TNGImage image;
    TempDir dir;
    // Text is no PNG: libmng's "invalid signature" (1025 in its header).
    writeFile(dir / "text.png", std::string("this is not a picture at all"));
    const std::string message = messageOf<ENGImageException>([&] { image.LoadFromFile(dir / "text.png"); });
    EXPECT_EQ(message.rfind("PNG/JNG/MNG error ", 0), 0u) << message;
    EXPECT_NE(message.find(" \r\nin function LoadFromFile/read\r\nCode=1025; Severity="), std::string::npos)
        << message;
    EXPECT_NE(message.find("; Chunknr="), std::string::npos) << message;
    EXPECT_NE(message.find("; Extra="), std::string::npos) << message;
    EXPECT_EQ(messageOf<ENGImageException>([&] { image.CopyToClipboard(); }),
              "PNG/JNG/MNG clipboard not yet supported");
}

namespace {
// A platform stream that refuses every write, as a full disk would.
class FullStream : public host::TStream {
public:
    int64_t Read(void*, int64_t) override { return 0; }
    int64_t Write(const void*, int64_t) override { return 0; }
    int64_t Seek(int64_t, uint16_t) override { return 0; }
    void SetSize(int64_t) override {}
};
}  // namespace

TEST(NGLibrary, AStreamFailureInsideTheLibraryComesBackAsTheStreamsOwnError) {
    TNGImage image;
    Paint(image, 8, 8, [](int x, int) { return ColourNumber(x); });
    image.Bitmap().CreatePNG();
    FullStream full;
    EXPECT_EQ(messageOf<EWriteError>([&] { image.SaveToStream(full); }), "Stream write error");
}

TEST(NGLibrary, ImagesAssignedFromEachOtherShareOneBitmap) {
    TNGImage first, second;
    Paint(first, 3, 2, [](int, int) { return Rgb{9, 9, 9}; });
    second.Assign(first);
    EXPECT_EQ(&second.Bitmap(), &first.Bitmap());
    EXPECT_EQ(first.Bitmap().ObserverCount(), 2u);
    host::TBitmap platform;
    platform.NewImage(host::pf8bit, 5, 7);
    second.Assign(platform);
    EXPECT_NE(&second.Bitmap(), &first.Bitmap());
    EXPECT_EQ(second.Width(), 5);
    EXPECT_EQ(first.Bitmap().ObserverCount(), 1u);
}

// ---------------------------------------------------------------- zlib through the library

TEST(CompressZ, RoundTripsThroughZlibAndReportsBadSettings) {
    TNGImage image;
    std::mt19937 random(7);
    std::vector<std::vector<uint8_t>> inputs = {{}, {42}, std::vector<uint8_t>(1 << 20, 0)};
    std::vector<uint8_t> noise(200000);
    for (auto& b : noise) b = static_cast<uint8_t>(random());
    inputs.push_back(noise);
    for (const auto& input : inputs) {
        const ng::TCompressed c = image.Bitmap().CompressZ(input);
        ASSERT_EQ(c.Result, Z_OK);
        std::vector<uint8_t> back(input.size() + 1);
        uLongf length = back.size();
        ASSERT_EQ(uncompress(back.data(), &length, c.Data.data(), c.Data.size()), Z_OK);
        back.resize(length);
        EXPECT_EQ(back, input);
    }
    image.Bitmap().ZLibLevel = 12;
    const ng::TCompressed bad = image.Bitmap().CompressZ(noise);
    EXPECT_EQ(bad.Result, Z_STREAM_ERROR);
    EXPECT_TRUE(bad.Data.empty());
    Paint(image, 4, 4, [](int, int) { return Rgb{1, 1, 1}; });
    EXPECT_EQ(messageOf<ENGImageException>([&] { image.Bitmap().CreatePNG(); }), "Serious ZLIB error...");
}

namespace {
int deflateCalls = 0;
int AlwaysShortOfRoom(z_stream*, int) {
    ++deflateCalls;
    return Z_BUF_ERROR;
}
}  // namespace

TEST(CompressZ, ABufferErrorIsRetriedAFewTimesThenFailsInsteadOfLoopingForever) {
    TNGImage image;
    Paint(image, 300, 1, [](int x, int) { return ColourNumber(x); });
    StandIn deflate("deflate", reinterpret_cast<void*>(&AlwaysShortOfRoom));
    deflateCalls = 0;
    EXPECT_EQ(messageOf<ENGImageException>([&] { image.Bitmap().CreatePNG(); }), "Serious ZLIB error...");
    EXPECT_EQ(deflateCalls, 4);
}

namespace {
using DeflateEndEntry = int (*)(z_stream*);
DeflateEndEntry libraryDeflateEnd = nullptr;
int deflateEnds = 0;
int RunsOutOfMemory(z_stream*, int) { throw std::bad_alloc(); }
int CountedDeflateEnd(z_stream* stream) {
    ++deflateEnds;
    return libraryDeflateEnd(stream);
}
}  // namespace

TEST(CompressZ, AStreamLeftByAnExceptionIsStillEnded) {
    TNGImage image;
    libraryDeflateEnd = reinterpret_cast<DeflateEndEntry>(ng::EntryAddress("deflateEnd"));
    ASSERT_NE(libraryDeflateEnd, nullptr);
    StandIn deflate("deflate", reinterpret_cast<void*>(&RunsOutOfMemory));
    StandIn end("deflateEnd", reinterpret_cast<void*>(&CountedDeflateEnd));
    deflateEnds = 0;
    EXPECT_THROW(image.Bitmap().CompressZ(std::vector<uint8_t>(1000, 7)), std::bad_alloc);
    EXPECT_EQ(deflateEnds, 1);
}

// ---------------------------------------------------------------- PNG chunks

TEST(CreatePNG, ColourCountsGiveTheirColourTypeDepthPaletteOrderAndExactPixels) {
    struct Case {
        int colours, width, height, colourType;
    };
    const Case cases[] = {{1, 40, 30, 3}, {2, 33, 7, 3},      {3, 20, 20, 3},     {16, 31, 17, 3},
                          {17, 40, 10, 3}, {256, 300, 120, 3}, {257, 300, 120, 2}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.colours);
        TNGImage image;
        Paint(image, c.width, c.height, [&](int x, int y) { return DistinctCounts(c.colours, c.width, x, y); });
        TempDir dir;
        const auto file = SavePng(image, dir);
        const auto decoded = png_oracle::Decode(file);
        ASSERT_TRUE(decoded.ok) << decoded.error;
        EXPECT_EQ(decoded.colorType, c.colourType);
        EXPECT_FALSE(decoded.hasTRNS);
        std::vector<Rgb> expected;
        for (int y = 0; y < c.height; ++y)
            for (int x = 0; x < c.width; ++x) expected.push_back(DistinctCounts(c.colours, c.width, x, y));
        EXPECT_TRUE(PixelsOf(decoded) == expected);
        if (c.colourType == 2) {
            EXPECT_EQ(decoded.bitDepth, 8);
            continue;
        }
        EXPECT_EQ(decoded.paletteRGB.size(), static_cast<size_t>(c.colours) * 3);
        EXPECT_EQ(decoded.bitDepth, ExpectedDepth(decoded, static_cast<size_t>(c.colours)));
        // The palette lists the colours from the most used to the least used.
        std::map<int, size_t> uses;
        for (const auto& row : decoded.rows)
            for (uint32_t x = 0; x < decoded.width; ++x) ++uses[row[x]];
        for (int i = 1; i < c.colours; ++i) EXPECT_GT(uses[i - 1], uses[i]) << "entry " << i;
        const auto chunks = png_oracle::Chunks(file);
        ASSERT_GE(chunks.size(), 2u);
        EXPECT_EQ(chunks[1].type, "sRGB");
        EXPECT_EQ(chunks[1].data, std::vector<uint8_t>{0});
        const auto check = runProgram({"pngcheck", "-q", dir / "out.png"});
        EXPECT_EQ(check.exitCode, 0) << check.out << check.err;
    }
}

TEST(CreatePNG, ImageDataIsSplitIntoChunksOf65536BytesAndTheRest) {
    TNGImage image;
    std::mt19937 random(3);
    // Noise does not compress: about 270 KB of image data.
    Paint(image, 300, 300, [&](int, int) {
        const uint32_t v = random();
        return Rgb{static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v >> 16)};
    });
    TempDir dir;
    const auto chunks = png_oracle::Chunks(SavePng(image, dir));
    std::vector<uint32_t> idat;
    for (const auto& chunk : chunks)
        if (chunk.type == "IDAT") idat.push_back(chunk.length);
    ASSERT_GE(idat.size(), 4u);
    for (size_t i = 0; i + 1 < idat.size(); ++i) EXPECT_EQ(idat[i], 65536u);
    EXPECT_GT(idat.back(), 0u);
    EXPECT_LE(idat.back(), 65536u);
    EXPECT_EQ(chunks.back().type, "IEND");
}

TEST(CreatePNG, AMaskColourBecomesTheFirstPaletteEntryWithOneTransparentValue) {
    TNGImage image;
    // Red is the least used colour; it becomes transparent and goes first.
    Paint(image, 10, 10, [](int x, int y) {
        if (x == 9 && y == 9) return Rgb{255, 0, 0};
        return x < 6 ? Rgb{0, 0, 255} : Rgb{0, 255, 0};
    });
    image.Bitmap().MaskColor = host::RGB(255, 0, 0);
    TempDir dir;
    const auto decoded = png_oracle::Decode(SavePng(image, dir));
    ASSERT_TRUE(decoded.ok) << decoded.error;
    EXPECT_EQ(decoded.colorType, 3);
    ASSERT_TRUE(decoded.hasTRNS);
    EXPECT_EQ(decoded.trnsAlpha, std::vector<uint8_t>{0});
    EXPECT_EQ(decoded.paletteRGB, (std::vector<uint8_t>{255, 0, 0, 0, 0, 255, 0, 255, 0}));
}

TEST(CreatePNG, AMaskColourMetOnlyAfterThe257thColourStillGivesAnAlphaChannel) {
    TNGImage image;
    // 400 colours in the first row; the mask colour only in the last pixel.
    Paint(image, 400, 3, [](int x, int y) { return y == 2 && x == 399 ? Rgb{1, 2, 3} : ColourNumber(x); });
    image.Bitmap().MaskColor = host::RGB(1, 2, 3);
    TempDir dir;
    const auto decoded = png_oracle::Decode(SavePng(image, dir));
    ASSERT_TRUE(decoded.ok) << decoded.error;
    ASSERT_EQ(decoded.colorType, 6);
    for (uint32_t y = 0; y < 3; ++y)
        for (uint32_t x = 0; x < 400; ++x)
            EXPECT_EQ(decoded.rows[y][4 * x + 3], y == 2 && x == 399 ? 0 : 255) << x << "," << y;
}

// ---------------------------------------------------------------- JNG

namespace {
JDIMENSION NoRowsWritten(j_compress_ptr, JSAMPARRAY, JDIMENSION) { return 0; }
}  // namespace

TEST(CreateJNG, MissingOrStuckJpegEntryPointsFailTheSaveInsteadOfLooping) {
    TNGImage image;
    Paint(image, 16, 16, [](int x, int y) { return ColourNumber(x + y); });
    TempDir dir;
    {
        void* previous = ngjpeg::ReplaceJpegEntryForTesting("jpeg_write_scanlines", nullptr);
        EXPECT_EQ(messageOf<ng::ENGFuncUnknown>([&] { image.SaveJNGToFile(dir / "a.jng"); }),
                  "Function not available in this version");
        ngjpeg::ReplaceJpegEntryForTesting("jpeg_write_scanlines", reinterpret_cast<void*>(&NoRowsWritten));
        EXPECT_EQ(messageOf<EJPEG>([&] { image.SaveJNGToFile(dir / "a.jng"); }), "JPEG error #0");
        ngjpeg::ReplaceJpegEntryForTesting("jpeg_write_scanlines", previous);
    }
    EXPECT_EQ(messageOf<Exception>([&] { image.SaveJNGToFile(dir / "a.jng"); }), "<no exception>");
}

TEST(CreateJNG, AMaskColourGivesAOneBitAlphaChannel) {
    TNGImage image;
    Paint(image, 11, 2, [](int x, int y) { return x == 3 || (y == 1 && x == 10) ? Rgb{7, 7, 7} : Rgb{200, 9, 9}; });
    image.Bitmap().MaskColor = host::RGB(7, 7, 7);
    TempDir dir;
    image.SaveJNGToFile(dir / "a.jng");
    const auto chunks = png_oracle::Chunks(readFile(dir / "a.jng"));
    ASSERT_FALSE(chunks.empty());
    ASSERT_EQ(chunks[0].type, "JHDR");
    EXPECT_EQ(chunks[0].data[8], 14);   // colour with alpha
    EXPECT_EQ(chunks[0].data[12], 1);   // alpha sample depth
    std::vector<uint8_t> alpha;
    for (const auto& chunk : chunks)
        if (chunk.type == "IDAT") alpha.insert(alpha.end(), chunk.data.begin(), chunk.data.end());
    std::vector<uint8_t> rows(64);
    uLongf length = rows.size();
    ASSERT_EQ(uncompress(rows.data(), &length, alpha.data(), alpha.size()), Z_OK);
    rows.resize(length);
    // Filter byte, then 11 bits of which the masked pixels are 0; the unused bits stay 1.
    EXPECT_EQ(rows, (std::vector<uint8_t>{0, 0b11101111, 0b11111111, 0, 0b11101111, 0b11011111}));
}
