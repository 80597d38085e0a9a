#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <string>
#include <vector>

#include "TestSupport.h"
#include "codecs/CodecBytes.h"
#include "codecs/WMFLoader.h"
#include "metafile/Metafile.h"
#include "metafile/MetafileRecordTypes.h"
#include "metafile/player/PixelClamp.h"
#include "metafile/player/PlayBudget.h"
#include "picture/Graphics.h"
#include "platform/Stream.h"
#include "streams/MemStream.h"

using namespace testing_support;

namespace {

std::string sizeOf(int32_t w, int32_t h) { return std::to_string(w) + " x " + std::to_string(h); }

// "W x H" when the codec reads the file (as pixmorph does) or when it is drawn as
// pixmorph-open draws a picture; else the message.
std::string outcomeOf(const std::vector<uint8_t>& bytes, bool asPicture) {
    TLinearBitmap bitmap;
    try {
        if (!asPicture) {
            TWMFLoader codec;
            const std::string outcome = codec_bytes::LoadOutcome(codec, "EMF", bytes, bitmap);
            return outcome == "loaded" ? sizeOf(bitmap.Width, bitmap.Height) : outcome;
        }
        host::TMemoryStream stream;
        stream.Data().assign(bytes.begin(), bytes.end());
        host::TMetafile metafile;
        metafile.LoadFromStream(stream);
        bitmap.TakeOverGraphic(metafile);
        return sizeOf(bitmap.Width, bitmap.Height);
    } catch (const Exception& e) {
        return e.Message();
    }
}

std::vector<uint8_t> regression(const std::string& file) {
    return readFile(std::string(PIXMORPH_SOURCE_DIR) + "/tests/fuzz/regressions/wmf_fuzzer/" + file);
}

// An EMF of width × height pixels at 96 per inch with the given records (32-bit fields).
std::vector<uint8_t> enhanced(int32_t width, int32_t height, const std::vector<std::vector<int64_t>>& records) {
    std::vector<uint8_t> b;
    auto u32 = [&b](int64_t v) { for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i))); };
    for (int64_t v : {int64_t{host::EMR_HEADER}, int64_t{88}, int64_t{0}, int64_t{0}, int64_t{width - 1},
                      int64_t{height - 1}, int64_t{0}, int64_t{0}, int64_t{width} * 2540 / 96, int64_t{height} * 2540 / 96,
                      int64_t{0x464D4520}, int64_t{0x10000}, int64_t{0}, int64_t{0}, int64_t{1}, int64_t{0},
                      int64_t{0}, int64_t{0}, int64_t{960}, int64_t{960}, int64_t{254}, int64_t{254}})
        u32(v);
    for (const auto& record : records)
        for (int64_t v : record) u32(v);
    for (int64_t v : {int64_t{host::EMR_EOF}, int64_t{20}, int64_t{0}, int64_t{16}, int64_t{20}}) u32(v);
    const uint32_t total = static_cast<uint32_t>(b.size());
    for (int i = 0; i < 4; ++i) b[48 + i] = static_cast<uint8_t>(total >> (8 * i));
    return b;
}

// POLYGON16 of the points (x, y pairs), two to a 32-bit field.
std::vector<int64_t> polygon16(const std::vector<int16_t>& xy) {
    std::vector<int64_t> r = {host::EMR_POLYGON16, static_cast<int64_t>(28 + 2 * xy.size()), 0, 0, 0, 0,
                              static_cast<int64_t>(xy.size() / 2)};
    for (size_t i = 0; i < xy.size(); i += 2) r.push_back(uint16_t(xy[i]) | int64_t{uint16_t(xy[i + 1])} << 16);
    return r;
}

// A triangle of corners (low, low), (high, high) and (low, high) whose long side is a
// staircase of one-pixel steps: 2 × (high - low) + 2 points, no two lines in a row
// collinear (the renderer would merge those).
std::vector<int16_t> staircaseTriangle(int16_t low, int16_t high) {
    std::vector<int16_t> xy = {low, low};
    for (int16_t k = low; k < high; ++k)
        xy.insert(xy.end(), {static_cast<int16_t>(k + 1), k, static_cast<int16_t>(k + 1), static_cast<int16_t>(k + 1)});
    xy.insert(xy.end(), {low, high});
    return xy;
}

// The pixels of a side × side picture drawn by the codec that are black, by the test.
std::string firstWrongPixel(const std::vector<uint8_t>& file, int side, const std::function<bool(int, int)>& black) {
    TWMFLoader codec;
    TLinearBitmap bitmap;
    const std::string outcome = codec_bytes::LoadOutcome(codec, "EMF", file, bitmap);
    if (outcome != "loaded") return outcome;
    for (int y = 0; y < side; ++y)
        for (int x = 0; x < side; ++x)
            if (bitmap.Palette[3 * bitmap.ScanLine(y)[x]] != (black(x, y) ? 0 : 255))
                return std::to_string(x) + "," + std::to_string(y);
    return "";
}

}  // namespace

// The crafted files that once took minutes or gigabytes end by their bounds.
TEST(MetafileBounds, CraftedFilesEndByTheirBounds) {
    const struct {
        const char* file;
        bool asPicture;
        std::string outcome;
    } cases[] = {
        {"emf-frame-16000-tiny.emf", false, "16000 x 16000"},
        {"emf-frame-423333-hundredths.emf", false, "16000 x 16000"},
        {"wmf-placeable-16000-units.wmf", false, "16000 x 16000"},
        {"emf-1bit-dib-16384x128-into-10x10.emf", false, "10 x 10"},
        {"emf-polyline-64000-points.emf", false, "1000 x 1000"},
        {"emf-clip-path-32000-points.emf", true, "1000 x 1000"},
        {"emf-20000-full-frame-rectangles.emf", false, "Metafile is not valid"},
        {"emf-40000x100.emf", false, "Invalid bitmap size"},
        {"emf-40000x100.emf", true, "Invalid bitmap size"},
    };
    for (const auto& c : cases) EXPECT_EQ(outcomeOf(regression(c.file), c.asPicture), c.outcome) << c.file;
}

// Each bound of the playback budget holds up to its value and refuses one past it; the
// bounds share one budget, so shares of them add up.
TEST(MetafileBounds, PlaybackBudgetRefusesJustPastEachBound) {
    using host::PlayBudget;
    const struct {
        const char* bound;
        std::function<void(PlayBudget&)> upTo, past;
    } cases[] = {
        {"records", [](PlayBudget& b) { for (int64_t i = 0; i < host::MaxRecordsPlayed; ++i) b.record(); },
         [](PlayBudget& b) { b.record(); }},
        {"points", [](PlayBudget& b) { b.path(host::MaxPathPoints); }, [](PlayBudget& b) { b.path(host::MaxPathPoints + 1); }},
        {"path work", [](PlayBudget& b) { b.path(host::MaxPathPoints), b.path(host::MaxPathPoints); },
         [](PlayBudget& b) { b.path(1); }},
        {"coverage", [](PlayBudget& b) { b.area(100 * host::CoveragePerPicturePixel + host::CoverageAllowance); },
         [](PlayBudget& b) { b.area(1); }},
        {"glyphs", [](PlayBudget& b) { b.glyphs(host::MaxRecordsPlayed / host::GlyphRecordShare); },
         [](PlayBudget& b) { b.glyphs(1); }},
        {"coverage of many glyphs, each factor alone within the bound",
         [](PlayBudget& b) { b.area(100 * host::CoveragePerPicturePixel + host::CoverageAllowance, 1); },
         [](PlayBudget& b) { b.area(int64_t{1} << 40, int64_t{1} << 40); }},
        {"shared: half the records and half the path work",
         [](PlayBudget& b) {
             for (int64_t i = 0; i < host::MaxRecordsPlayed / 2; ++i) b.record();
             b.path(host::MaxPathPoints);
         },
         [](PlayBudget& b) { b.area(1); }},
    };
    for (const auto& c : cases) {
        PlayBudget budget(100);
        EXPECT_NO_THROW(c.upTo(budget)) << c.bound;
        EXPECT_EQ(messageOf<EInvalidGraphic>([&] { c.past(budget); }), "Metafile is not valid") << c.bound;
    }
}

// Played coordinates become pixel indices within their range whatever their size; an
// undefined one goes to the low end.
TEST(MetafileBounds, PlayedCoordinatesAreClampedBeforeTheyBecomeIntegers) {
    const struct {
        double value;
        int32_t expected;
    } cases[] = {{4.95e9, 100}, {-4.95e9, 0}, {1e300, 100}, {-1e300, 0}, {std::nan(""), 0}, {57.9, 57}, {0.5, 0}};
    for (const auto& c : cases) EXPECT_EQ(host::ClampedPixel(c.value, 0, 100), c.expected) << c.value;
    EXPECT_EQ(host::ClampedCost(1e300, 1000), 1000);
    EXPECT_EQ(host::ClampedCost(std::nan(""), 1000), 0);
}

// Reading and writing share one guard: what the writer records, the reader draws.
TEST(MetafileBounds, WriterRefusesWhatTheReaderRefuses) {
    for (const int32_t width : {host::MaxPictureSide, host::MaxPictureSide + 1}) {
        host::TBitmap bitmap;
        bitmap.SetPixelFormat(host::pf24bit);
        bitmap.SetSize(width, 1);
        host::TMetafile metafile;
        metafile.SetWidth(width), metafile.SetHeight(1);
        host::TMetafileCanvas(metafile).Draw(0, 0, bitmap);
        std::string written;
        try {
            written = outcomeOf(metafile.Bytes(), false);
        } catch (const Exception& e) {
            written = e.Message();
        }
        EXPECT_EQ(written, width == host::MaxPictureSide ? sizeOf(width, 1) : "Invalid bitmap size");
    }
}

// Outlines of many points reach the renderer in ways it handles in time: a staircase of
// 502 points is stroked in pieces and still drawn whole (its one-pixel outline on the
// pixel centres), and taken as a clip it is drawn into a mask that limits a fill to its inside.
TEST(MetafileBounds, OutlinesOfManyPointsDrawExactlyTheirPixels) {
    constexpr int16_t Low = 10, High = 260, Side = 270;
    constexpr int64_t NullBrush = 0x80000005, BlackBrush = 0x80000004, NullPen = 0x80000008, Copy = 5;
    auto onOutline = [](int x, int y) {
        const bool stair = (y == x || y == x - 1) && y >= Low && y < High;
        return stair || (x == High && y == High) || (x == Low && y >= Low && y <= High) ||
               (y == High && x >= Low && x <= High);
    };
    auto inside = [](int x, int y) { return x >= Low && x <= y && y < High; };
    const std::vector<int64_t> wholeFrame = {host::EMR_RECTANGLE, 24, 0, 0, Side + 1, Side + 1};
    const std::vector<uint8_t> stroked =
        enhanced(Side, Side, {{host::EMR_SELECTOBJECT, 12, NullBrush}, polygon16(staircaseTriangle(Low, High))});
    const std::vector<uint8_t> clipped = enhanced(
        Side, Side,
        {{host::EMR_BEGINPATH, 8}, polygon16(staircaseTriangle(Low, High)), {host::EMR_ENDPATH, 8},
         {host::EMR_SELECTCLIPPATH, 12, Copy}, {host::EMR_SELECTOBJECT, 12, BlackBrush},
         {host::EMR_SELECTOBJECT, 12, NullPen}, wholeFrame});
    EXPECT_EQ(firstWrongPixel(stroked, Side, onOutline), "");
    EXPECT_EQ(firstWrongPixel(clipped, Side, inside), "");
}
