#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "TestSupport.h"
#include "image/LinarBitmap.h"
#include "image/MathUtils.h"
#include "image/MemUtils.h"
#include "platform/Stream.h"
#include "streams/HostStream.h"
#include "streams/Streams.h"

using namespace testing_support;

namespace {


std::vector<uint8_t> pixels(const TLinearBitmap& b) {
    return std::vector<uint8_t>(b.Map.get(), b.Map.get() + b.Size);
}

void fill(TLinearBitmap& b, std::initializer_list<uint8_t> bytes) {
    ASSERT_EQ(static_cast<size_t>(b.Size), bytes.size());
    std::copy(bytes.begin(), bytes.end(), b.Map.get());
}

}  // namespace

// ---------------------------------------------------------------- New / Dispose

TEST(LinearBitmapNew, RejectsBadFormatsAndSizesLeavingTheImageAlone) {
    TLinearBitmap b;
    b.New(2, 1, pfBGR24);
    fill(b, {1, 2, 3, 4, 5, 6});
    EXPECT_EQ(messageOf<ELinearBitmap>([&] { b.New(0, 10, pfBGR24); }), "Invalid bitmap size");
    EXPECT_EQ(messageOf<ELinearBitmap>([&] { b.New(10, -1, pfBGR24); }), "Invalid bitmap size");
    EXPECT_EQ(messageOf<ELinearBitmap>([&] { b.New(10, 10, 4); }), "Unsupported pixel format");
    EXPECT_EQ(messageOf<ELinearBitmap>([&] { b.New(10, 10, pfNone); }), "Unsupported pixel format");
    // 65536 x 65536 x 3 bytes does not fit a 32-bit size: refused before allocating.
    EXPECT_EQ(messageOf<ELinearBitmap>([&] { b.New(65536, 65536, pfBGR24); }), "Invalid bitmap size");
    EXPECT_EQ(messageOf<ELinearBitmap>([&] { b.New(0x7FFFFFFF, 1, pfBGRX32); }), "Invalid bitmap size");
    EXPECT_TRUE(b.Present);
    EXPECT_EQ(b.Width, 2);
    EXPECT_EQ(b.PixelFormat, pfBGR24);
    EXPECT_EQ(pixels(b), (std::vector<uint8_t>{1, 2, 3, 4, 5, 6}));
}

TEST(LinearBitmapNew, SetsTheNumbersAndKeepsPixelsForTheSameShape) {
    TLinearBitmap b;
    EXPECT_FALSE(b.Present);
    EXPECT_EQ(b.PixelFormat, pfNone);
    b.New(5, 3, pfGray16);
    EXPECT_EQ(b.PixelSize, 2);
    EXPECT_EQ(b.BytesPerLine, 10);
    EXPECT_EQ(b.Size, 30);
    EXPECT_EQ(b.Palette, nullptr);
    b.FillBytes(0x5A);
    const uint8_t* map = b.Map.get();
    b.New(5, 3, pfGray16);
    EXPECT_EQ(b.Map.get(), map);
    EXPECT_EQ(b.Map[29], 0x5A);
    EXPECT_EQ(b.ScanLine(2), b.Map.get() + 20);

    b.New(4, 2, pfIndexed8);
    ASSERT_NE(b.Palette, nullptr);
    b.Palette[7] = 99;
    b.New(3, 3, pfIndexed8);  // an existing palette stays with its contents
    EXPECT_EQ(b.Palette[7], 99);
    b.New(3, 3, pfBGRX32);
    EXPECT_EQ(b.Palette, nullptr);
    EXPECT_EQ(b.BytesPerLine, 12);

    b.Dispose();
    EXPECT_FALSE(b.Present);
    EXPECT_EQ(b.Map, nullptr);
    EXPECT_EQ(b.Width, 0);
    EXPECT_EQ(b.Size, 0);
    EXPECT_EQ(b.PixelSize, 0);
    EXPECT_EQ(b.PixelFormat, pfNone);
    EXPECT_EQ(b.BytesPerLine, 12) << "Dispose keeps the stride";
}

TEST(LinearBitmapNew, TakeOverMovesTheImageWithoutCopying) {
    TLinearBitmap a, b;
    a.New(2, 2, pfIndexed8);
    const uint8_t* map = a.Map.get();
    const uint8_t* palette = a.Palette.get();
    b.New(1, 1, pfBGR24);
    b.TakeOver(a);
    EXPECT_EQ(b.Map.get(), map);
    EXPECT_EQ(b.Palette.get(), palette);
    EXPECT_EQ(b.Width, 2);
    EXPECT_EQ(b.PixelFormat, pfIndexed8);
    EXPECT_TRUE(b.Present);
    EXPECT_FALSE(a.Present);
    EXPECT_EQ(a.Map, nullptr);
    EXPECT_EQ(a.Palette, nullptr);
    EXPECT_EQ(a.Width, 2) << "the other's numbers keep their values";
}

TEST(LinearBitmapNew, PackLinesRemovesRowPadding) {
    TLinearBitmap b;
    b.New(4, 3, pfIndexed8);  // 12 bytes; read them as 2 pixels per 4-byte row
    fill(b, {1, 2, 9, 9, 3, 4, 9, 9, 5, 6, 9, 9});
    b.Width = 2;
    b.PackLines();
    EXPECT_EQ(b.BytesPerLine, 2);
    EXPECT_EQ(b.Size, 6);
    EXPECT_EQ(pixels(b), (std::vector<uint8_t>{1, 2, 3, 4, 5, 6}));
}

// ---------------------------------------------------------------- Clear / IsGrayScale

TEST(LinearBitmapClear, ZeroRedAndGreyLevelsPerFormat) {
    TLinearBitmap b;
    b.New(3, 2, pfBGR24);
    b.FillBytes(7);
    b.Clear(0);
    EXPECT_EQ(pixels(b), std::vector<uint8_t>(18, 0));
    b.Clear(0x000000FF);  // pure red
    for (int i = 0; i < 6; ++i) {
        EXPECT_EQ(b.Map[i * 3], 0x00);
        EXPECT_EQ(b.Map[i * 3 + 1], 0x00);
        EXPECT_EQ(b.Map[i * 3 + 2], 0xFF);
    }
    b.Clear(0x00336699);  // red 0x99, green 0x66, blue 0x33
    EXPECT_EQ(b.Map[0], 0x33);
    EXPECT_EQ(b.Map[1], 0x66);
    EXPECT_EQ(b.Map[2], 0x99);
    EXPECT_EQ(b.Map[17], 0x99);

    b.New(2, 2, pfIndexed8);
    b.Clear(0x000000FF);
    EXPECT_EQ(pixels(b), std::vector<uint8_t>(4, 85));  // (2*255 + 3) div 6
    b.New(2, 2, pfGray16);
    b.Clear(0x00336699);  // (2*153 + 3*102 + 51 + 3) div 6 = 111
    EXPECT_EQ(pixels(b), std::vector<uint8_t>(8, 111));
    b.New(1, 2, pfBGRX32);
    b.Clear(0x00FFFFFF);
    EXPECT_EQ(pixels(b), std::vector<uint8_t>(8, 255));
}

TEST(LinearBitmapGrey, IsGrayScaleByFormat) {
    TLinearBitmap b;
    EXPECT_FALSE(b.IsGrayScale());
    b.New(2, 1, pfBGR24);
    fill(b, {5, 5, 5, 200, 200, 200});
    EXPECT_TRUE(b.IsGrayScale());
    b.Map[4] = 201;
    EXPECT_FALSE(b.IsGrayScale());
    b.New(1, 1, pfGray16);
    EXPECT_TRUE(b.IsGrayScale());
    b.New(1, 1, pfBGRX32);
    b.FillBytes(0);
    EXPECT_FALSE(b.IsGrayScale());
    b.New(1, 1, pfIndexed8);
    std::memcpy(b.Palette.get(), GrayPalette, PaletteBytes);
    EXPECT_TRUE(b.IsGrayScale());
    b.Palette[255 * 3 + 1] = 254;  // last entry not its own index
    EXPECT_FALSE(b.IsGrayScale());
    MakeGrayPalette(b.Palette.get(), 16);  // grey, but not entry i = (i, i, i)
    EXPECT_FALSE(b.IsGrayScale());
}

// ---------------------------------------------------------------- ChangePixelFormat

TEST(LinearBitmapFormat, TrueColourToIndexedUsesThe332Cube) {
    TLinearBitmap b;
    b.New(3, 1, pfBGR24);
    fill(b, {255, 255, 255, 0x40, 0x20, 0x80, 0, 0, 0});
    b.ChangePixelFormat(pfIndexed8);
    EXPECT_EQ(b.PixelFormat, pfIndexed8);
    EXPECT_EQ(b.PixelSize, 1);
    EXPECT_EQ(b.BytesPerLine, 3);
    EXPECT_EQ(b.Size, 3);
    // blue 0x40 shr 6 = 1; green 0x20 shr 5 = 1, shl 2 = 4; red and E0 = 0x80: 0x85.
    EXPECT_EQ(pixels(b), (std::vector<uint8_t>{255, 0x85, 0}));
    ASSERT_NE(b.Palette, nullptr);
    const uint8_t* p = b.Palette.get();
    EXPECT_EQ(p[255 * 3], 255);
    EXPECT_EQ(p[255 * 3 + 1], 255);
    EXPECT_EQ(p[255 * 3 + 2], 255);
    // Entry 0x85: red level 4 = 146, green level 1 = 36, blue level 1 = 85 (stored B, G, R).
    EXPECT_EQ(p[0x85 * 3], 85);
    EXPECT_EQ(p[0x85 * 3 + 1], 36);
    EXPECT_EQ(p[0x85 * 3 + 2], 146);
    const int levels[8] = {0, 36, 73, 109, 146, 182, 219, 255};
    for (int k = 0; k < 8; ++k) {
        EXPECT_EQ(p[(k << 5) * 3 + 2], levels[k]) << "red level " << k;
        EXPECT_EQ(p[(k << 2) * 3 + 1], levels[k]) << "green level " << k;
    }
    for (int k = 0; k < 4; ++k) EXPECT_EQ(p[k * 3], k * 85) << "blue level " << k;
}

TEST(LinearBitmapFormat, Gray16ConversionsTakeTheHighByte) {
    TLinearBitmap b;
    b.New(2, 1, pfGray16);
    fill(b, {0x34, 0x12, 0xFF, 0xAB});
    TLinearBitmap c;
    c.Assign(b);
    c.ChangePixelFormat(pfBGRX32);
    EXPECT_EQ(pixels(c), (std::vector<uint8_t>{0x12, 0x12, 0x12, 0, 0xAB, 0xAB, 0xAB, 0}));
    c.Assign(b);
    c.ChangePixelFormat(pfBGR24);
    EXPECT_EQ(pixels(c), (std::vector<uint8_t>{0x12, 0x12, 0x12, 0xAB, 0xAB, 0xAB}));
    b.ChangePixelFormat(pfIndexed8);
    EXPECT_EQ(pixels(b), (std::vector<uint8_t>{0x12, 0xAB}));
    EXPECT_EQ(0, std::memcmp(b.Palette.get(), GrayPalette, PaletteBytes));
}

TEST(LinearBitmapFormat, IndexedAndThirtyTwoBitToTrueColour) {
    TLinearBitmap b;
    b.New(2, 1, pfIndexed8);
    std::memset(b.Palette.get(), 0, PaletteBytes);
    b.Palette[3] = 10;  // entry 1: blue 10, green 20, red 30
    b.Palette[4] = 20;
    b.Palette[5] = 30;
    fill(b, {1, 0});
    b.ChangePixelFormat(pfBGR24);
    EXPECT_EQ(b.Palette, nullptr);
    EXPECT_EQ(pixels(b), (std::vector<uint8_t>{10, 20, 30, 0, 0, 0}));
    b.ChangePixelFormat(pfBGRX32);
    EXPECT_EQ(b.BytesPerLine, 8);
    EXPECT_EQ(pixels(b), (std::vector<uint8_t>{10, 20, 30, 0, 0, 0, 0, 0}));
    b.Map[3] = 0x77;  // the spare byte is dropped going back
    b.ChangePixelFormat(pfBGR24);
    EXPECT_EQ(pixels(b), (std::vector<uint8_t>{10, 20, 30, 0, 0, 0}));

    TLinearBitmap x;
    x.New(1, 1, pfBGRX32);
    fill(x, {0xFF, 0x00, 0xFF, 0x55});  // magenta
    x.ChangePixelFormat(pfIndexed8);
    EXPECT_EQ(x.Map[0], 3 | 0xE0);
    TLinearBitmap y;
    y.New(1, 1, pfIndexed8);
    std::memcpy(y.Palette.get(), GrayPalette, PaletteBytes);
    y.Map[0] = 9;
    y.ChangePixelFormat(pfBGRX32);
    EXPECT_EQ(pixels(y), (std::vector<uint8_t>{9, 9, 9, 0}));
}

TEST(LinearBitmapFormat, UnsupportedTargetsRaiseAndChangeNothing) {
    TLinearBitmap b;
    b.New(1, 1, pfBGR24);
    fill(b, {1, 2, 3});
    for (uint8_t target : std::initializer_list<uint8_t>{pfGray16, pfNone, 4, 0}) {
        EXPECT_EQ(messageOf<ELinearBitmap>([&] { b.ChangePixelFormat(target); }), "Unsupported pixel format");
        EXPECT_EQ(b.PixelFormat, pfBGR24);
        EXPECT_EQ(pixels(b), (std::vector<uint8_t>{1, 2, 3}));
    }
    b.ChangePixelFormat(pfBGR24);  // same format: nothing
    TLinearBitmap empty;
    empty.ChangePixelFormat(pfGray16);  // not present: nothing, no error
    EXPECT_FALSE(empty.Present);
}

// ---------------------------------------------------------------- ResizeCanvas

TEST(LinearBitmapResize, EmptyImageBecomesGreyIndexedFilledWithTheColour) {
    TLinearBitmap b;
    b.ResizeCanvas(3, 2, 0, 0, 0x000000FF);
    ASSERT_TRUE(b.Present);
    EXPECT_EQ(b.PixelFormat, pfIndexed8);
    EXPECT_EQ(0, std::memcmp(b.Palette.get(), GrayPalette, PaletteBytes));
    EXPECT_EQ(pixels(b), std::vector<uint8_t>(6, 85));
    b.ResizeCanvas(0, 5, 0, 0, 0);
    EXPECT_FALSE(b.Present);
}

TEST(LinearBitmapResize, NegativeXOffsetDropsLeftColumnsAndYOffsetShiftsRowsDown) {
    TLinearBitmap b;
    b.New(4, 2, pfIndexed8);
    fill(b, {1, 2, 3, 4, 5, 6, 7, 8});
    b.ResizeCanvas(4, 2, -2, 0, 0);
    EXPECT_EQ(pixels(b), (std::vector<uint8_t>{3, 4, 0, 0, 7, 8, 0, 0}));

    TLinearBitmap c;
    c.New(2, 2, pfBGR24);
    fill(c, {1, 1, 1, 2, 2, 2, 3, 3, 3, 4, 4, 4});
    c.ResizeCanvas(3, 5, 1, 3, 0x00FF0000);  // fill blue
    ASSERT_EQ(c.Size, 45);
    const std::vector<uint8_t> blue = {0xFF, 0, 0};
    auto px = [&](int x, int y) { return std::vector<uint8_t>(c.ScanLine(y) + x * 3, c.ScanLine(y) + x * 3 + 3); };
    for (int y = 0; y < 3; ++y)
        for (int x = 0; x < 3; ++x) EXPECT_EQ(px(x, y), blue) << x << "," << y;
    EXPECT_EQ(px(0, 3), blue);
    EXPECT_EQ(px(1, 3), (std::vector<uint8_t>{1, 1, 1}));
    EXPECT_EQ(px(2, 3), (std::vector<uint8_t>{2, 2, 2}));
    EXPECT_EQ(px(1, 4), (std::vector<uint8_t>{3, 3, 3}));
    EXPECT_EQ(px(2, 4), (std::vector<uint8_t>{4, 4, 4}));
    EXPECT_EQ(c.PixelFormat, pfBGR24);
}

TEST(LinearBitmapResize, ShrinkingAndOffsetsFarOutsideStayInsideTheBuffers) {
    TLinearBitmap b;
    b.New(3, 3, pfIndexed8);
    fill(b, {1, 2, 3, 4, 5, 6, 7, 8, 9});
    b.ResizeCanvas(2, 2, 0, -1, 0);  // drop the top row, cut the right column
    EXPECT_EQ(pixels(b), (std::vector<uint8_t>{4, 5, 7, 8}));
    for (auto [x, y] : std::vector<std::pair<int, int>>{{100, 0}, {-100, 0}, {0, 100}, {0, -100}}) {
        TLinearBitmap c;
        c.New(3, 3, pfIndexed8);
        c.FillBytes(9);
        c.ResizeCanvas(4, 4, x, y, 0);
        EXPECT_EQ(pixels(c), std::vector<uint8_t>(16, 0)) << x << "," << y;
    }
}

// ---------------------------------------------------------------- Assign

TEST(LinearBitmapAssign, CopiesPixelsAndPaletteAndEmptiesOnEmptySource) {
    TLinearBitmap a, b;
    a.New(2, 2, pfIndexed8);
    fill(a, {1, 2, 3, 4});
    std::memcpy(a.Palette.get(), GrayPalette, PaletteBytes);
    a.Palette[0] = 42;
    b.Assign(a);
    EXPECT_EQ(pixels(b), pixels(a));
    EXPECT_NE(b.Map.get(), a.Map.get());
    EXPECT_EQ(0, std::memcmp(b.Palette.get(), a.Palette.get(), PaletteBytes));
    TLinearBitmap empty;
    b.Assign(empty);
    EXPECT_FALSE(b.Present);
    TLinearBitmap c(a);
    EXPECT_EQ(pixels(c), pixels(a));
}

namespace {
class Stranger : public TAssignObject {
public:
    PIXMORPH_CLASS_NAME(Stranger)
};
}  // namespace

TEST(LinearBitmapAssign, UnsupportedPartnersReportTheClassNamesInsteadOfRecursing) {
    TLinearBitmap b;
    TObject plain;
    EXPECT_EQ(messageOf<Exception>([&] { b.Assign(plain); }), "Cannot assign TObject to TLinearBitmap");
    EXPECT_EQ(messageOf<Exception>([&] { b.AssignTo(plain); }), "Cannot assign TLinearBitmap to TObject");
    Stranger s;
    // Neither side supports the other: the dispatch must end, naming the pair.
    EXPECT_EQ(messageOf<Exception>([&] { b.Assign(s); }), "Cannot assign Stranger to TLinearBitmap");
    EXPECT_EQ(messageOf<Exception>([&] { s.Assign(b); }), "Cannot assign TLinearBitmap to Stranger");
}

// ---------------------------------------------------------------- helpers

TEST(LinarBitmapHelpers, ExtractExtension) {
    EXPECT_EQ(ExtractExtension("x.png"), "PNG");
    EXPECT_EQ(ExtractExtension("archive.tar.gz"), "GZ");
    EXPECT_EQ(ExtractExtension("dir.x\\name"), "");
    EXPECT_EQ(ExtractExtension("C:\\A.B\\FILE"), "");
    EXPECT_EQ(ExtractExtension("/tmp/a.b/file"), "");
    EXPECT_EQ(ExtractExtension("c:x.bMp"), "BMP");
    EXPECT_EQ(ExtractExtension("d:name"), "");
    EXPECT_EQ(ExtractExtension("noext"), "");
    EXPECT_EQ(ExtractExtension("trailing."), "");
    EXPECT_EQ(ExtractExtension("/p/\xe4.J\xe4g"), "J\xe4G") << "only ASCII letters are upper-cased";
}

TEST(LinarBitmapHelpers, ColoursAndPalettes) {
    EXPECT_EQ(ColorToBGR(0x11223344u), 0x11443322u);
    EXPECT_EQ(ColorToBGR(0x000000FFu), 0x00FF0000u);
    uint8_t t[PaletteBytes] = {};
    MakeGrayPalette(t, 4);
    const uint8_t expected[12] = {0, 0, 0, 85, 85, 85, 170, 170, 170, 255, 255, 255};
    EXPECT_EQ(0, std::memcmp(t, expected, 12));
    EXPECT_EQ(t[12], 0);
    for (int i = 0; i < 256; ++i) EXPECT_EQ(GrayPalette[i * 3 + 1], i);
    uint8_t src[PaletteBytes], dst[PaletteBytes];
    for (int i = 0; i < PaletteBytes; ++i) src[i] = static_cast<uint8_t>(i % 251);
    SwapPaletteRB(src, dst);
    EXPECT_EQ(dst[0], src[2]);
    EXPECT_EQ(dst[1], src[1]);
    EXPECT_EQ(dst[2], src[0]);
    EXPECT_EQ(dst[767], src[765]);
}

TEST(LinarBitmapHelpers, InterleavePlanesFromOwnMapAndFromSeparatePlanes) {
    TLinearBitmap b;
    b.New(2, 1, pfBGR24);
    fill(b, {1, 2, 10, 20, 100, 200});  // blue plane, green plane, red plane
    InterleavePlanes(b, nullptr, 3);
    EXPECT_EQ(pixels(b), (std::vector<uint8_t>{1, 10, 100, 2, 20, 200}));
    const uint8_t planes[4] = {7, 8, 9, 10};  // only two planes: red stays
    InterleavePlanes(b, planes, 2);
    EXPECT_EQ(pixels(b), (std::vector<uint8_t>{7, 9, 100, 8, 10, 200}));
}

TEST(LinarBitmapHelpers, MathAndMemory) {
    EXPECT_EQ(Swap32(0x11223344u), 0x44332211u);
    float f = 1.0f;  // 0x3F800000
    Swap32Float(f);
    uint32_t bits;
    std::memcpy(&bits, &f, 4);
    EXPECT_EQ(bits, 0x0000803Fu);
    int32_t a = 1, b = 2;
    SwapValues(a, b);
    EXPECT_EQ(a, 2);
    EXPECT_EQ(b, 1);
    EXPECT_EQ(Clamp(-5, 0, 10), 0);
    EXPECT_EQ(Clamp(15, 0, 10), 10);
    EXPECT_EQ(Clamp(5, 0, 10), 5);
    EXPECT_EQ(RoundUp4(5), 8);
    EXPECT_EQ(RoundUp4(8), 8);
    EXPECT_EQ(RoundUp8(9), 16);
    EXPECT_EQ(RoundUp8(0), 0);
    const uint8_t buf[] = {1, 2, 3, 2, 4, 2, 3};
    EXPECT_EQ(ScanByte(buf, 7, 2), 1);
    EXPECT_EQ(ScanByte(buf, 7, 9), -1);
    EXPECT_EQ(ScanByte(buf, 1, 2), -1);
    EXPECT_EQ(ScanWord(buf, 7, 0x0302), 1);   // bytes 02 03
    EXPECT_EQ(ScanWord(buf, 7, 0x0402), 3);   // bytes 02 04
    EXPECT_EQ(ScanWord(buf, 6, 0x0302), 1);
    EXPECT_EQ(ScanWord(buf + 4, 2, 0x0302), -1) << "02 at the end, 03 just outside the range";
    EXPECT_EQ(ScanWord(buf + 4, 3, 0x0302), 1);
    uint8_t z[7] = {1, 1, 1, 1, 1, 1, 1};
    ZeroMem(z + 1, 5);
    EXPECT_EQ(z[0], 1);
    EXPECT_EQ(z[1], 0);
    EXPECT_EQ(z[5], 0);
    EXPECT_EQ(z[6], 1);
    std::unique_ptr<uint8_t[]> block = std::make_unique<uint8_t[]>(4);
    ReleaseAndClear(block);
    EXPECT_EQ(block, nullptr);
    ReleaseAndClear(block);
}
