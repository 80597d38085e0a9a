#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <initializer_list>
#include <string>
#include <vector>

#include "TestSupport.h"
#include "platform/Exceptions.h"
#include "picture/Graphics.h"
#include "metafile/Metafile.h"
#include "metafile/MetafileRecordTypes.h"
#include "platform/DamageReport.h"
#include "platform/Stream.h"

using namespace testing_support;
using namespace host;

namespace {

using Bytes = std::vector<uint8_t>;

void put16(Bytes& b, int v) {
    b.push_back(static_cast<uint8_t>(v));
    b.push_back(static_cast<uint8_t>(v >> 8));
}
void put32(Bytes& b, int64_t v) {
    put16(b, static_cast<int>(v & 0xFFFF));
    put16(b, static_cast<int>((v >> 16) & 0xFFFF));
}

// A placeable Windows metafile, 96 units per inch, bounding box (0, 0, width, height),
// with the given records (each: function and 16-bit parameter words) and META_EOF.
Bytes placeable(int width, int height, const std::vector<std::pair<int, std::vector<int>>>& records,
                bool goodChecksum = true) {
    Bytes b;
    put32(b, 0x9AC6CDD7);
    put16(b, 0);
    put16(b, 0), put16(b, 0), put16(b, width), put16(b, height);
    put16(b, 96);
    put32(b, 0);
    uint16_t sum = 0;
    for (int i = 0; i < 10; ++i) sum ^= static_cast<uint16_t>(b[2 * i] | b[2 * i + 1] << 8);
    put16(b, goodChecksum ? sum : sum ^ 1);
    Bytes body;
    for (const auto& [function, words] : records) {
        put32(body, 3 + static_cast<int64_t>(words.size()));
        put16(body, function);
        for (int w : words) put16(body, w);
    }
    put32(body, 3), put16(body, META_EOF);
    put16(b, 1), put16(b, 9), put16(b, 0x300);
    put32(b, static_cast<int64_t>(9 + body.size() / 2));
    put16(b, 4), put32(b, 16), put16(b, 0);
    b.insert(b.end(), body.begin(), body.end());
    return b;
}

// An enhanced metafile of width × height pixels at 96 pixels per inch (frame in
// hundredths of a millimetre), with the given records (type and 32-bit fields).
Bytes enhanced(int width, int height, const std::vector<std::pair<uint32_t, std::vector<int64_t>>>& records) {
    Bytes b;
    put32(b, EMR_HEADER), put32(b, 88);
    put32(b, 0), put32(b, 0), put32(b, width - 1), put32(b, height - 1);
    put32(b, 0), put32(b, 0), put32(b, width * 2540 / 96), put32(b, height * 2540 / 96);
    put32(b, 0x464D4520), put32(b, 0x10000);
    put32(b, 0);  // total, patched below
    put32(b, static_cast<int64_t>(records.size() + 2));
    put16(b, 4), put16(b, 0);
    put32(b, 0), put32(b, 0), put32(b, 0);
    put32(b, 960), put32(b, 960), put32(b, 254), put32(b, 254);  // 96 pixels per inch
    for (const auto& [type, fields] : records) {
        put32(b, type);
        put32(b, 8 + 4 * static_cast<int64_t>(fields.size()));
        for (int64_t f : fields) put32(b, f);
    }
    put32(b, EMR_EOF), put32(b, 20), put32(b, 0), put32(b, 16), put32(b, 20);
    const uint32_t total = static_cast<uint32_t>(b.size());
    std::memcpy(&b[48], &total, 4);
    return b;
}

void load(host::TMetafile& metafile, const Bytes& bytes) {
    host::TMemoryStream stream;
    stream.WriteBuffer(bytes.data(), static_cast<int64_t>(bytes.size()));
    stream.SetPosition(0);
    metafile.LoadFromStream(stream);
}

// Renders at the metafile's own size onto white; colours as 0xRRGGBB.
std::vector<uint32_t> render(const Bytes& bytes, int* width = nullptr, int* height = nullptr) {
    host::TMetafile metafile;
    load(metafile, bytes);
    host::TBitmap bitmap;
    bitmap.SetPixelFormat(host::pf24bit);
    bitmap.SetSize(metafile.Width(), metafile.Height());
    bitmap.Canvas().FillRect(host::Rect(0, 0, metafile.Width(), metafile.Height()));
    bitmap.Canvas().Draw(0, 0, metafile);
    std::vector<uint32_t> pixels(static_cast<size_t>(metafile.Width()) * metafile.Height());
    for (int y = 0; y < metafile.Height(); ++y) bitmap.ReadRowRGB(y, 0, metafile.Width(), &pixels[static_cast<size_t>(y) * metafile.Width()]);
    if (width) *width = metafile.Width();
    if (height) *height = metafile.Height();
    return pixels;
}

// Pixels of colour inside [x0, x1) × [y0, y1), white everywhere else.
std::string checkBox(const std::vector<uint32_t>& pixels, int width, int x0, int y0, int x1, int y1, uint32_t color) {
    for (size_t i = 0; i < pixels.size(); ++i) {
        const int x = static_cast<int>(i % width), y = static_cast<int>(i / width);
        const bool inside = x >= x0 && x < x1 && y >= y0 && y < y1;
        if (pixels[i] != (inside ? color : 0xFFFFFFu))
            return std::to_string(x) + "," + std::to_string(y) + " is " + std::to_string(pixels[i]);
    }
    return "";
}

// Pen 0: none; brush 1: solid red (0x0000FF as a COLORREF).
const std::vector<std::pair<int, std::vector<int>>> RedNoPen = {
    {META_CREATEPENINDIRECT, {5, 0, 0, 0, 0}},
    {META_SELECTOBJECT, {0}},
    {META_CREATEBRUSHINDIRECT, {0, 0x00FF, 0, 0}},
    {META_SELECTOBJECT, {1}}};

}  // namespace

TEST(MulDiv, RoundsHalfAwayFromZeroAndRefusesADivisionByZero) {
    EXPECT_EQ(host::MulDiv(3, 2540, 96), 79);   // 79.375
    EXPECT_EQ(host::MulDiv(79, 96, 2540), 3);   // 2.986
    EXPECT_EQ(host::MulDiv(1, 3, 2), 2);        // 1.5
    EXPECT_EQ(host::MulDiv(-1, 3, 2), -2);
    EXPECT_EQ(host::MulDiv(5, 7, 0), -1);
    EXPECT_EQ(host::MulDiv(0x40000000, 8, 1), -1);
}

TEST(MetafilePlay, WindowsMetafileFillsARectangleWhereTheWindowMapsIt) {
    // Window 0..200 × 0..100 on a 100 × 50 picture: logical (20, 10)-(100, 60) is
    // pixels (10, 5)-(50, 30); the fill leaves out the right and bottom edges.
    auto records = RedNoPen;
    records.insert(records.begin(), {{META_SETWINDOWORG, {0, 0}}, {META_SETWINDOWEXT, {100, 200}}});
    records.push_back({META_RECTANGLE, {60, 100, 10, 20}});
    int w, h;
    const auto pixels = render(placeable(100, 50, records), &w, &h);
    ASSERT_EQ(w, 100);
    ASSERT_EQ(h, 50);
    EXPECT_EQ(checkBox(pixels, w, 10, 5, 50, 30, 0xFF0000), "");
}

TEST(MetafilePlay, EnhancedMetafileFollowsTheMappingModeAndTheWorldTransform) {
    const int64_t nullPen = 0x80000008, whiteBrush = 0x80000000;
    struct Case {
        const char* name;
        std::vector<std::pair<uint32_t, std::vector<int64_t>>> setup;
        int x0, y0, x1, y1;
    };
    const float two = 2.0f, one = 1.0f, zero = 0.0f, five = 5.0f;
    auto bits = [](float f) {
        uint32_t u;
        std::memcpy(&u, &f, 4);
        return static_cast<int64_t>(u);
    };
    const Case cases[] = {
        {"device units", {}, 10, 20, 30, 40},
        {"anisotropic, window twice the viewport",
         {{EMR_SETMAPMODE, {8}}, {EMR_SETWINDOWEXTEX, {200, 200}}, {EMR_SETVIEWPORTEXTEX, {100, 100}}}, 5, 10, 15, 20},
        {"window origin", {{EMR_SETWINDOWORGEX, {5, 10}}}, 5, 10, 25, 30},
        {"world scaled by 2 and moved by 5",
         {{EMR_SETWORLDTRANSFORM, {bits(two), bits(zero), bits(zero), bits(two), bits(five), bits(five)}}}, 25, 45, 65, 85},
        {"identity world after a move",
         {{EMR_SETWORLDTRANSFORM, {bits(one), bits(zero), bits(zero), bits(one), bits(five), bits(zero)}},
          {EMR_MODIFYWORLDTRANSFORM, {0, 0, 0, 0, 0, 0, 1}}},
         10, 20, 30, 40},
    };
    for (const Case& c : cases) {
        auto records = c.setup;
        records.push_back({EMR_CREATEBRUSHINDIRECT, {1, 0, 0x00FF00, 0}});  // brush 1: green
        records.push_back({EMR_SELECTOBJECT, {1}});
        records.push_back({EMR_SELECTOBJECT, {nullPen}});
        records.push_back({EMR_RECTANGLE, {10, 20, 30, 40}});
        records.push_back({EMR_SELECTOBJECT, {whiteBrush}});
        int w, h;
        const auto pixels = render(enhanced(100, 100, records), &w, &h);
        ASSERT_EQ(w, 100) << c.name;
        EXPECT_EQ(checkBox(pixels, w, c.x0, c.y0, c.x1, c.y1, 0x00FF00), "") << c.name;
    }
}

TEST(MetafilePlay, SaveAndRestoreReturnTheBrushAndClippingLimitsTheFill) {
    std::vector<std::pair<uint32_t, std::vector<int64_t>>> records = {
        {EMR_CREATEBRUSHINDIRECT, {1, 0, 0x0000FF, 0}},
        {EMR_SELECTOBJECT, {0x80000008}},
        {EMR_SAVEDC, {}},
        {EMR_SELECTOBJECT, {1}},                   // red brush
        {EMR_INTERSECTCLIPRECT, {0, 0, 20, 20}},
        {EMR_RESTOREDC, {-1}},                     // white brush, no clip
        {EMR_RECTANGLE, {0, 0, 50, 50}},           // white on white: nothing to see
        {EMR_SELECTOBJECT, {1}},
        {EMR_INTERSECTCLIPRECT, {10, 10, 30, 30}},
        {EMR_RECTANGLE, {0, 0, 50, 50}},           // red only inside the clip
    };
    int w, h;
    const auto pixels = render(enhanced(60, 60, records), &w, &h);
    EXPECT_EQ(checkBox(pixels, w, 10, 10, 30, 30, 0xFF0000), "");
}

TEST(MetafileLoad, SizesComeFromTheHeaderOfEitherKind) {
    host::TMetafile wmf;
    load(wmf, placeable(300, 150, {}));
    EXPECT_FALSE(wmf.Enhanced());
    EXPECT_EQ(wmf.MMWidth(), 7938);  // 300 / 96 inch = 79.375 mm
    EXPECT_EQ(wmf.Width(), 300);
    EXPECT_EQ(wmf.Height(), 150);

    host::TMetafile emf;
    load(emf, enhanced(64, 48, {}));
    EXPECT_TRUE(emf.Enhanced());
    EXPECT_EQ(emf.Width(), 64);  // 1693 hundredths of a mm × 960 px ÷ 25400
    EXPECT_EQ(emf.Height(), 48);
}

TEST(MetafileLoad, DataThatIsNoMetafileOrWhoseRecordsLeaveTheDataIsRefused) {
    auto truncatedRecord = placeable(10, 10, {{META_RECTANGLE, {1, 2, 3, 4}}});
    truncatedRecord.resize(truncatedRecord.size() - 8);  // the rectangle ends past the data
    auto zeroSizeRecord = placeable(10, 10, {{META_RECTANGLE, {1, 2, 3, 4}}});
    zeroSizeRecord[22 + 18] = 0;  // the first record's size in words
    auto emfLongTotal = enhanced(10, 10, {});
    emfLongTotal[48] += 4;  // claims four more bytes than there are
    auto emfRecordPastEnd = enhanced(10, 10, {{EMR_RECTANGLE, {0, 0, 5, 5}}});
    emfRecordPastEnd[88 + 4] = 200;
    auto headerOnly = placeable(10, 10, {});
    headerOnly.resize(22);
    auto badKey = placeable(10, 10, {});
    badKey[0] ^= 1;
    const std::pair<const char*, Bytes> cases[] = {
        {"empty", {}},
        {"bad checksum", placeable(10, 10, {}, false)},
        {"bad key", badKey},
        {"record past the end", truncatedRecord},
        {"record of size 0", zeroSizeRecord},
        {"EMF total past the end", emfLongTotal},
        {"EMF record past the end", emfRecordPastEnd},
        {"placeable header only", headerOnly},
    };
    for (const auto& c : cases) {
        host::TMetafile metafile;
        EXPECT_EQ(messageOf<EInvalidGraphic>([&] { load(metafile, c.second); }), "Metafile is not valid") << c.first;
    }
}

TEST(MetafilePlay, RecordsWhoseFieldsDoNotFitAreSkipped) {
    // Each case is followed by a good rectangle, which must still be drawn.
    struct Case {
        const char* name;
        std::vector<std::pair<int, std::vector<int>>> records;
    };
    const Case cases[] = {
        {"polygon count beyond the record", {{META_POLYGON, {30000, 0, 0, 10, 10}}}},
        {"selected object out of range", {{META_SELECTOBJECT, {3000}}}},
        {"stretch-DIB header that does not fit", {{META_STRETCHDIB, {0x20, 0xCC, 0, 1, 1, 0, 0, 5, 5, 0, 0, 40, 0}}}},
        {"text longer than the record", {{META_TEXTOUT, {500, 0x4141}}}},
        {"region with more scans than data",
         {{META_CREATEREGION, {0, 6, 0, 0, 0, 900, 0, 0, 0, 10, 10}}, {META_SELECTCLIPREGION, {2}}}},
    };
    for (const Case& c : cases) {
        auto records = RedNoPen;
        records.insert(records.end(), c.records.begin(), c.records.end());
        records.push_back({META_RECTANGLE, {8, 8, 2, 2}});
        int w, h;
        const auto pixels = render(placeable(10, 10, records), &w, &h);
        EXPECT_EQ(checkBox(pixels, w, 2, 2, 8, 8, 0xFF0000), "") << c.name;
    }
}

// A bitmap whose record holds only some of its rows draws those, the rest black, and the
// rows missing are reported as damage.
TEST(MetafilePlay, ABitmapCutShortDrawsTheRowsItHoldsAndReportsTheRest) {
    const std::vector<int> words = {0x20, 0xCC, 0, 4, 4, 0, 0, 4, 4, 0, 0,  // SRCCOPY, 4 x 4 onto 4 x 4 at 0, 0
                                    40, 0, 4, 0, 4, 0, 1, 24, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,  // 24 bits
                                    // The bottom row red, the one above green (blue, green, red bytes); the top two missing.
                                    0x0000, 0x00FF, 0xFF00, 0x0000, 0x00FF, 0xFF00,
                                    0xFF00, 0x0000, 0x00FF, 0xFF00, 0x0000, 0x00FF};
    const host::TDamageRecord damage;
    std::vector<uint32_t> expected(8, 0);
    expected.resize(12, 0x00FF00), expected.resize(16, 0xFF0000);
    EXPECT_EQ(render(placeable(4, 4, {{META_STRETCHDIB, words}})), expected);
    EXPECT_EQ(damage.Reports(), std::vector<std::string>{"Metafile: Premature end of bitmap data (2 of 4 rows missing)"});
}

TEST(MetafileCanvas, RecordsABitmapThatBothKindsPlayBackExactly) {
    host::TBitmap source;
    source.SetPixelFormat(host::pf24bit);
    source.SetSize(7, 5);
    for (int y = 0; y < 5; ++y)
        for (int x = 0; x < 7; ++x) source.SetPixel(x, y, host::RGB(static_cast<uint8_t>(x * 30), static_cast<uint8_t>(y * 50), 77));
    for (bool enhancedKind : {true, false}) {
        host::TMetafile metafile;
        metafile.SetWidth(7);
        metafile.SetHeight(5);
        {
            host::TMetafileCanvas canvas(metafile);
            canvas.Draw(0, 0, source);
        }
        metafile.SetEnhanced(enhancedKind);
        const Bytes file = metafile.Bytes();
        ASSERT_GE(file.size(), 22u);
        if (enhancedKind) {
            EXPECT_EQ(file[40] | file[41] << 8 | file[42] << 16 | uint32_t{file[43]} << 24, 0x464D4520u);
        } else {
            EXPECT_EQ(file[0] | file[1] << 8 | file[2] << 16 | uint32_t{file[3]} << 24, 0x9AC6CDD7u);
        }
        int w, h;
        const auto pixels = render(file, &w, &h);
        ASSERT_EQ(w, 7);
        ASSERT_EQ(h, 5);
        for (int y = 0; y < 5; ++y)
            for (int x = 0; x < 7; ++x)
                EXPECT_EQ(pixels[static_cast<size_t>(y) * 7 + x], uint32_t{static_cast<uint32_t>(x * 30) << 16 | static_cast<uint32_t>(y * 50) << 8 | 77})
                    << x << "," << y << (enhancedKind ? " EMF" : " WMF");
    }
}
