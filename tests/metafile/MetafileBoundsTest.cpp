#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "TestSupport.h"
#include "codecs/CodecBytes.h"
#include "codecs/WMFLoader.h"
#include "metafile/Metafile.h"
#include "metafile/MetafileRecordTypes.h"
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
        RenderMetafile(metafile, bitmap, TMetafileDepth::TrueColour);
        return sizeOf(bitmap.Width, bitmap.Height);
    } catch (const Exception& e) {
        return e.Message();
    }
}

std::vector<uint8_t> regression(const std::string& file) {
    return readFile(std::string(PIXMORPH_SOURCE_DIR) + "/tests/fuzz/regressions/wmf_fuzzer/" + file);
}

// An EMF of width × height pixels at 96 per inch: no pen, no brush, one polygon.
std::vector<uint8_t> polygonEMF(int32_t width, int32_t height, const std::vector<int16_t>& xy) {
    std::vector<uint8_t> b;
    auto u32 = [&b](int64_t v) { for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i))); };
    u32(host::EMR_HEADER), u32(88), u32(0), u32(0), u32(width - 1), u32(height - 1);
    u32(0), u32(0), u32(width * 2540 / 96), u32(height * 2540 / 96), u32(0x464D4520), u32(0x10000);
    u32(0), u32(4), u32(1), u32(0), u32(0), u32(0), u32(960), u32(960), u32(254), u32(254);
    u32(host::EMR_SELECTOBJECT), u32(12), u32(0x80000005);  // the null brush; the pen stays black
    u32(host::EMR_POLYGON16), u32(28 + 2 * xy.size()), u32(0), u32(0), u32(0), u32(0), u32(xy.size() / 2);
    for (int16_t v : xy) b.push_back(static_cast<uint8_t>(v)), b.push_back(static_cast<uint8_t>(v >> 8));
    u32(host::EMR_EOF), u32(20), u32(0), u32(16), u32(20);
    const uint32_t total = static_cast<uint32_t>(b.size());
    for (int i = 0; i < 4; ++i) b[48 + i] = static_cast<uint8_t>(total >> (8 * i));
    return b;
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

// Each bound of the playback budget holds up to its value and refuses one past it.
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
    };
    for (const auto& c : cases) {
        PlayBudget budget(100);
        EXPECT_NO_THROW(c.upTo(budget)) << c.bound;
        EXPECT_EQ(messageOf<EInvalidGraphic>([&] { c.past(budget); }), "Metafile is not valid") << c.bound;
    }
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

// A square traced by 1,000 points, cut into pieces for the renderer, is drawn whole: its
// one-pixel outline on the pixel centres and nothing else.
TEST(MetafileBounds, LongOutlineCutIntoPiecesDrawsEveryPixelOfIt) {
    constexpr int16_t Low = 10, High = 260, Side = 270;
    std::vector<int16_t> xy;
    for (int16_t i = 0; i < High - Low; ++i) {
        xy.insert(xy.begin() + 2 * i, {static_cast<int16_t>(Low + i), Low});
        xy.insert(xy.end(), {High, static_cast<int16_t>(Low + i)});
    }
    for (int16_t i = 0; i < High - Low; ++i) xy.insert(xy.end(), {static_cast<int16_t>(High - i), High});
    for (int16_t i = 0; i < High - Low; ++i) xy.insert(xy.end(), {Low, static_cast<int16_t>(High - i)});
    TWMFLoader codec;
    TLinearBitmap bitmap;
    ASSERT_EQ(codec_bytes::LoadOutcome(codec, "EMF", polygonEMF(Side, Side, xy), bitmap), "loaded");
    for (int y = 0; y < Side; ++y)
        for (int x = 0; x < Side; ++x) {
            const bool across = (y == Low || y == High) && x >= Low && x <= High;
            const bool down = (x == Low || x == High) && y >= Low && y <= High;
            EXPECT_EQ(bitmap.Palette[3 * bitmap.ScanLine(y)[x]], across || down ? 0 : 255) << x << "," << y;
        }
}
