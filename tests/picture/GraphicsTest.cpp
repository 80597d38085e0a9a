#include <gtest/gtest.h>

#include <vector>

#include "TestSupport.h"
#include "picture/Graphics.h"

using namespace testing_support;
using namespace host;

namespace {


TBitmap make(TPixelFormat f, int w, int h, TColor fill = clBlack) {
    TBitmap b;
    b.SetPixelFormat(f);
    b.SetSize(w, h);
    b.Canvas().Brush.Color = fill;
    b.Canvas().FillRect(Rect(0, 0, w, h));
    return b;
}

}  // namespace

TEST(PlatformPalette, CreateReadAndNearest) {
    const TPaletteEntry entries[3] = {{0, 0, 0, 0}, {250, 10, 10, 1}, {10, 10, 250, 0}};
    TPaletteHandle p = CreatePalette(entries, 3);
    TPaletteEntry out[5] = {};
    EXPECT_EQ(GetPaletteEntries(p.get(), 1, 5, out), 2);
    EXPECT_EQ(out[0].peRed, 250);
    EXPECT_EQ(out[0].peFlags, 1);
    EXPECT_EQ(GetPaletteEntries(nullptr, 0, 5, out), 0);
    EXPECT_EQ(GetNearestPaletteIndex(p.get(), RGB(200, 0, 0)), 1);
    EXPECT_EQ(GetNearestPaletteIndex(p.get(), RGB(0, 0, 200)), 2);
    EXPECT_EQ(GetNearestPaletteIndex(p.get(), RGB(20, 20, 20)), 0);
}

TEST(PlatformBitmap, NewBitmapsAreEmptyAndResizingKeepsTheCommonArea) {
    TBitmap b;
    EXPECT_TRUE(b.Empty());
    EXPECT_EQ(b.PixelFormat(), pfDevice);
    b.SetPixelFormat(pf24bit);
    b.SetWidth(3);
    EXPECT_TRUE(b.Empty());
    b.SetHeight(2);
    ASSERT_FALSE(b.Empty());
    EXPECT_EQ(b.RowBytes(), 9);
    EXPECT_EQ(b.GetPixel(2, 1), clBlack) << "new pixels are zero";
    b.SetPixel(1, 1, RGB(1, 2, 3));
    b.SetPixel(2, 0, RGB(9, 9, 9));
    b.SetSize(5, 3);
    EXPECT_EQ(b.GetPixel(1, 1), RGB(1, 2, 3));
    EXPECT_EQ(b.GetPixel(2, 0), RGB(9, 9, 9));
    EXPECT_EQ(b.GetPixel(4, 2), clBlack);
    EXPECT_EQ(b.ScanLine(1) - b.ScanLine(0), 15);
    EXPECT_EQ(messageOf<EInvalidGraphic>([&] { b.ScanLine(3); }), "Scan line index out of range");
    EXPECT_EQ(messageOf<ELinearBitmap>([&] { b.SetSize(100000, 100000); }), "Invalid bitmap size");
    EXPECT_EQ(b.Width(), 5) << "a refused size changes nothing";

    TBitmap one;
    one.SetPixelFormat(pf1bit);
    one.SetSize(3, 1);
    one.ScanLine(0)[0] = 0xFF;  // pixels 3..7 of the byte lie beyond the width
    one.SetWidth(8);
    EXPECT_EQ(one.ScanLine(0)[0], 0xE0) << "pixels that come into view start at zero";
}

TEST(PlatformBitmap, PixelFormatConversions) {
    TBitmap b = make(pf24bit, 2, 1);
    b.SetPixel(0, 0, RGB(0x84, 0x40, 0x08));
    b.SetPixel(1, 0, clWhite);
    b.SetPixelFormat(pf15bit);
    // 5-5-5: red 0x84 >> 3 = 16, green 0x40 >> 3 = 8, blue 0x08 >> 3 = 1.
    EXPECT_EQ(b.ScanLine(0)[0] | (b.ScanLine(0)[1] << 8), (16 << 10) | (8 << 5) | 1);
    // Back up: 16 * 255 / 31 = 131.6 -> 132; 8 -> 65.8 -> 66; 1 -> 8.2 -> 8.
    EXPECT_EQ(b.GetPixel(0, 0), RGB(132, 66, 8));
    b.SetPixelFormat(pf16bit);
    EXPECT_EQ(b.GetPixel(1, 0), clWhite);
    b.SetPixelFormat(pf32bit);
    EXPECT_EQ(b.ScanLine(0)[4], 0xFF);
    EXPECT_EQ(b.ScanLine(0)[7], 0);

    // Indexed: colours go to the nearest palette entry; widening keeps the indices.
    TBitmap c = make(pf24bit, 3, 1);
    c.SetPixel(0, 0, RGB(240, 20, 20));
    c.SetPixel(1, 0, RGB(10, 10, 10));
    c.SetPixel(2, 0, RGB(20, 20, 240));
    c.SetPixelFormat(pf4bit);
    const TPaletteEntry entries[3] = {{0, 0, 0, 0}, {255, 0, 0, 0}, {0, 0, 255, 0}};
    TBitmap d;
    d.SetPixelFormat(pf8bit);
    auto p = CreatePalette(entries, 3);
    d.SetPalette(p.get());
    d.SetSize(3, 1);
    d.Canvas().Draw(0, 0, c);
    EXPECT_EQ(d.ScanLine(0)[0], 1);
    EXPECT_EQ(d.ScanLine(0)[1], 0);
    EXPECT_EQ(d.ScanLine(0)[2], 2);
    TBitmap e;
    e.SetPixelFormat(pf1bit);
    e.SetPalette(p.get());  // black, red (blue is never used)
    e.SetSize(9, 1);
    e.ScanLine(0)[1] = 0x80;  // pixel 8 = 1
    e.SetPixelFormat(pf8bit);
    EXPECT_EQ(e.ScanLine(0)[8], 1);
    EXPECT_EQ(e.ScanLine(0)[7], 0);
    EXPECT_EQ(e.GetPixel(8, 0), RGB(255, 0, 0));
    e.SetPixelFormat(pf24bit);
    EXPECT_EQ(e.ScanLine(0)[8 * 3 + 2], 255);
}

TEST(PlatformBitmap, AssignCopiesIndependently) {
    TBitmap a = make(pf8bit, 2, 2, clWhite);
    a.SetTransparentColor(clWhite);
    a.SetTransparent(true);
    TBitmap b;
    b.Assign(a);
    EXPECT_EQ(b.PixelFormat(), pf8bit);
    EXPECT_EQ(b.GetPixel(1, 1), clWhite);
    EXPECT_TRUE(b.Transparent());
    EXPECT_EQ(b.TransparentColor(), clWhite);
    b.SetPixel(0, 0, clBlack);
    EXPECT_EQ(a.GetPixel(0, 0), clWhite);
    TPicture empty;
    EXPECT_EQ(messageOf<EConvertError>([&] { b.Assign(empty); }), "Cannot assign a TPicture to a TBitmap");
}

TEST(PlatformBitmap, TransparencyAndItsMonochromeMask) {
    TBitmap b = make(pf24bit, 3, 2, RGB(0, 255, 0));
    b.SetPixel(1, 0, RGB(255, 0, 0));
    EXPECT_EQ(b.TransparentMode(), tmAuto);
    EXPECT_EQ(b.TransparentColor(), RGB(0, 255, 0)) << "bottom-left pixel";
    auto mask = b.CreateMask();
    EXPECT_EQ(mask->PixelFormat(), pf1bit);
    EXPECT_EQ(mask->ScanLine(0)[0], 0xA0);  // 1 0 1: only the red pixel is opaque
    EXPECT_EQ(mask->ScanLine(1)[0], 0xE0);
    EXPECT_EQ(mask->GetPixel(0, 0), clWhite);

    // Drawn transparently, pixels of the transparent colour leave the canvas alone.
    b.SetTransparent(true);
    TBitmap dest = make(pf24bit, 3, 2, RGB(0, 0, 255));
    dest.Canvas().Draw(0, 0, b);
    EXPECT_EQ(dest.GetPixel(0, 0), RGB(0, 0, 255));
    EXPECT_EQ(dest.GetPixel(1, 0), RGB(255, 0, 0));
    b.SetTransparentColor(RGB(255, 0, 0));
    EXPECT_EQ(b.TransparentMode(), tmFixed);
    dest.Canvas().Draw(0, 0, b);
    EXPECT_EQ(dest.GetPixel(0, 0), RGB(0, 255, 0));
    EXPECT_EQ(dest.GetPixel(1, 0), RGB(255, 0, 0)) << "left as it was";
}

TEST(PlatformCanvas, FillClipsAndDrawCopiesAtAnOffset) {
    TBitmap dest = make(pf24bit, 4, 3);
    dest.Canvas().Brush.Color = RGB(10, 20, 30);
    dest.Canvas().FillRect(Rect(-5, 2, 2, 10));
    EXPECT_EQ(dest.GetPixel(1, 2), RGB(10, 20, 30));
    EXPECT_EQ(dest.GetPixel(2, 2), clBlack);
    EXPECT_EQ(dest.GetPixel(1, 1), clBlack);
    TBitmap src = make(pf8bit, 2, 2);
    const TPaletteEntry entries[4] = {{1, 1, 1, 0}, {2, 2, 2, 0}, {3, 3, 3, 0}, {4, 4, 4, 0}};
    auto p = CreatePalette(entries, 4);
    src.SetPalette(p.get());
    src.ScanLine(0)[0] = 0;
    src.ScanLine(0)[1] = 1;
    src.ScanLine(1)[0] = 2;
    src.ScanLine(1)[1] = 3;
    dest.Canvas().Draw(3, -1, src);  // only the bottom-left source pixel lands, at (3, 0)
    EXPECT_EQ(dest.GetPixel(3, 0), RGB(3, 3, 3));
    EXPECT_EQ(dest.GetPixel(2, 0), clBlack);
    EXPECT_EQ(dest.GetPixel(3, 1), clBlack);
}

TEST(PlatformCanvas, StretchDrawNearestAndHalftoneAverage) {
    TBitmap src = make(pf24bit, 2, 1);
    src.SetPixel(0, 0, RGB(100, 0, 0));
    src.SetPixel(1, 0, RGB(0, 0, 200));
    TBitmap big = make(pf24bit, 4, 2);
    big.Canvas().StretchDraw(Rect(0, 0, 4, 2), src);
    for (int y = 0; y < 2; ++y) {
        EXPECT_EQ(big.GetPixel(0, y), RGB(100, 0, 0));
        EXPECT_EQ(big.GetPixel(1, y), RGB(100, 0, 0));
        EXPECT_EQ(big.GetPixel(2, y), RGB(0, 0, 200));
        EXPECT_EQ(big.GetPixel(3, y), RGB(0, 0, 200));
    }
    // Mirrored by a negative width.
    TBitmap mirror = make(pf24bit, 2, 1);
    mirror.Canvas().StretchDraw(Rect(2, 0, 0, 1), src);
    EXPECT_EQ(mirror.GetPixel(0, 0), RGB(0, 0, 200));
    EXPECT_EQ(mirror.GetPixel(1, 0), RGB(100, 0, 0));

    TBitmap small = make(pf24bit, 1, 1);
    small.Canvas().SetStretchBltMode(HALFTONE);
    small.Canvas().StretchDraw(Rect(0, 0, 1, 1), src);
    EXPECT_EQ(small.GetPixel(0, 0), RGB(50, 0, 100)) << "mean of the two";
    EXPECT_EQ(small.Canvas().SetStretchBltMode(COLORONCOLOR), HALFTONE);
    small.Canvas().StretchDraw(Rect(0, 0, 1, 1), src);
    EXPECT_EQ(small.GetPixel(0, 0), RGB(0, 0, 200)) << "nearest: the pixel under the centre";
}

TEST(PlatformCanvas, StretchDIBitsReadsPaddedRowsBothWaysUp) {
    TBitmapInfo info;
    info.bmiHeader.biWidth = 3;
    info.bmiHeader.biHeight = -2;  // top-down
    info.bmiHeader.biBitCount = 8;
    info.bmiHeader.biClrUsed = 2;
    info.bmiColors[1] = {30, 20, 10, 0};  // blue 30, green 20, red 10
    const uint8_t bits[8] = {1, 0, 0, 0xEE, 0, 0, 1, 0xEE};  // stride 4
    TBitmap dest = make(pf24bit, 3, 2);
    EXPECT_EQ(dest.Canvas().StretchDIBits(0, 0, 3, 2, 0, 0, 3, 2, bits, info, DIB_RGB_COLORS, SRCCOPY), 2);
    EXPECT_EQ(dest.GetPixel(0, 0), RGB(10, 20, 30));
    EXPECT_EQ(dest.GetPixel(2, 1), RGB(10, 20, 30));
    EXPECT_EQ(dest.GetPixel(1, 0), clBlack);
    info.bmiHeader.biHeight = 2;  // bottom-up: the first stored row is the bottom one
    dest.Canvas().StretchDIBits(0, 0, 3, 2, 0, 0, 3, 2, bits, info, DIB_RGB_COLORS, SRCCOPY);
    EXPECT_EQ(dest.GetPixel(0, 1), RGB(10, 20, 30));
    EXPECT_EQ(dest.GetPixel(0, 0), clBlack);
    EXPECT_EQ(dest.GetPixel(2, 0), RGB(10, 20, 30));
    info.bmiHeader.biBitCount = 2;
    EXPECT_EQ(dest.Canvas().StretchDIBits(0, 0, 3, 2, 0, 0, 3, 2, bits, info, DIB_RGB_COLORS, SRCCOPY), 0);
}

namespace {
class Marker : public TBitmap {
public:
    PIXMORPH_CLASS_NAME(Marker)
    std::unique_ptr<TGraphic> NewInstance() const override { return std::make_unique<Marker>(); }
};
}  // namespace

TEST(PlatformPicture, ExtensionsPickTheLastRegisteredClass) {
    TempDir dir;
    TBitmap b = make(pf24bit, 2, 2, clWhite);
    b.SaveToFile(dir / "a.BMP");
    // Whatever class start-up registered for "bmp" (the BMP codec's TVKBitmap) is put back at the end.
    const TGraphicFactory startup = TPicture::FindFileFormat("bmp");
    ASSERT_TRUE(startup);
    TPicture picture;
    picture.LoadFromFile(dir / "a.BMP");
    ASSERT_NE(picture.Graphic(), nullptr);
    EXPECT_STREQ(picture.Graphic()->ClassName(), startup()->ClassName());
    EXPECT_EQ(picture.Width(), 2);

    TPicture::RegisterFileFormat("Bmp", "Marked bitmaps", [] { return std::make_unique<Marker>(); });
    picture.LoadFromFile(dir / "a.BMP");
    EXPECT_STREQ(picture.Graphic()->ClassName(), "Marker");
    TPicture copy;
    copy.Assign(picture);
    EXPECT_STREQ(copy.Graphic()->ClassName(), "Marker");
    EXPECT_NE(copy.Graphic(), picture.Graphic());
    TPicture::UnregisterFileFormat("BMP");
    EXPECT_EQ(TPicture::FindFileFormat("bmp"), nullptr);
    TPicture::RegisterFileFormat("bmp", "Windows bitmap", startup);

    EXPECT_EQ(messageOf<EInvalidGraphic>([&] { picture.LoadFromFile(dir / "x.Qqq"); }),
              "Unknown picture file extension (.qqq)");
    TBitmap& bitmap = copy.Bitmap();
    EXPECT_EQ(&bitmap, copy.Graphic()) << "a Marker is a bitmap";
    TBitmap target;
    picture.AssignTo(target);
    EXPECT_EQ(target.Width(), 2);
}
