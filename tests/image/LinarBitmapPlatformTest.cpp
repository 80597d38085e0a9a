#include <gtest/gtest.h>

#include "TestSupport.h"

#include <cstring>
#include <vector>

#include "image/LinarBitmap.h"
#include "picture/Graphics.h"

using namespace host;

using testing_support::messageOf;

namespace {


// A platform bitmap class that always stays at 24 bits, whatever format is asked for.
class TrueColourOnly : public TBitmap {
public:
    PIXMORPH_CLASS_NAME(TrueColourOnly)
    TrueColourOnly() { TBitmap::SetPixelFormat(pf24bit); }
    void SetPixelFormat(TPixelFormat) override {}
};

// A graphic that the platform bitmap cannot take over; it can only paint itself.
class PaintOnly : public TGraphic {
public:
    PIXMORPH_CLASS_NAME(PaintOnly)
    int32_t Width() const override { return 3; }
    int32_t Height() const override { return 2; }
    void SetWidth(int32_t) override {}
    void SetHeight(int32_t) override {}
    bool Empty() const override { return false; }
    void Draw(TCanvas& canvas, const TRect& rect) override {
        canvas.Brush.Color = RGB(1, 2, 3);
        canvas.FillRect(rect);
        canvas.SetPixel(rect.Left + 2, rect.Top + 1, RGB(200, 100, 50));
    }
    void LoadFromStream(TStream&) override {}
    void SaveToStream(TStream&) override {}
};

}  // namespace

TEST(LinarBitmapPalettes, PaletteToHandleAndBack) {
    uint8_t table[PaletteBytes] = {};
    table[0] = 10;  // entry 0: blue 10, green 20, red 30
    table[1] = 20;
    table[2] = 30;
    table[5] = 99;  // entry 1: red 99
    TPaletteHandle handle = PaletteToHandle(table, 2);
    ASSERT_EQ(handle->Entries.size(), 2u);
    EXPECT_EQ(handle->palVersion, 0x300);
    EXPECT_EQ(handle->Entries[0].peRed, 30);
    EXPECT_EQ(handle->Entries[0].peGreen, 20);
    EXPECT_EQ(handle->Entries[0].peBlue, 10);
    EXPECT_EQ(handle->Entries[0].peFlags, 1);
    EXPECT_EQ(handle->Entries[1].peRed, 99);
    uint8_t back[PaletteBytes];
    std::memset(back, 0x77, sizeof back);
    HandleToPalette(handle.get(), 256, back);
    EXPECT_EQ(back[0], 10);
    EXPECT_EQ(back[2], 30);
    EXPECT_EQ(back[5], 99);
    for (int i = 6; i < PaletteBytes; ++i) ASSERT_EQ(back[i], 0) << "entries not read are black: " << i;
    HandleToPalette(nullptr, 256, back);
    EXPECT_EQ(0, std::memcmp(back, GrayPalette, PaletteBytes));
    HandleToPalette(handle.get(), 1, back);  // only one entry asked for
    EXPECT_EQ(back[5], 0);
}

TEST(LinarBitmapPlatform, Gray16GoesOutAsGreyIndexedAndComesBackIndexed) {
    TLinearBitmap g;
    g.New(2, 2, pfGray16);
    const uint8_t pixels[8] = {0x01, 0x10, 0xFF, 0x20, 0x00, 0xFE, 0x80, 0x00};
    std::memcpy(g.Map.get(), pixels, 8);
    TBitmap platform;
    g.AssignTo(platform);
    EXPECT_EQ(platform.PixelFormat(), pf8bit);
    EXPECT_EQ(platform.ScanLine(0)[0], 0x10);
    EXPECT_EQ(platform.ScanLine(0)[1], 0x20);
    EXPECT_EQ(platform.ScanLine(1)[0], 0xFE);
    EXPECT_EQ(platform.ScanLine(1)[1], 0x00);
    EXPECT_EQ(platform.GetPixel(1, 0), RGB(0x20, 0x20, 0x20));
    TLinearBitmap back;
    back.Assign(platform);
    EXPECT_EQ(back.PixelFormat, pfIndexed8);
    EXPECT_EQ(0, std::memcmp(back.Palette.get(), GrayPalette, PaletteBytes));
    EXPECT_EQ(std::vector<uint8_t>(back.Map.get(), back.Map.get() + 4), (std::vector<uint8_t>{0x10, 0x20, 0xFE, 0}));
}

TEST(LinarBitmapPlatform, EachFormatRoundTripsThroughThePlatformBitmap) {
    for (uint8_t f : {pfIndexed8, pfBGR24, pfBGRX32}) {
        SCOPED_TRACE(static_cast<int>(f));
        TLinearBitmap a;
        a.New(3, 2, f);
        for (int i = 0; i < a.Size; ++i) a.Map[i] = static_cast<uint8_t>(i * 37 + 5);
        if (f == pfBGRX32)
            for (int i = 3; i < a.Size; i += 4) a.Map[i] = 0;
        if (f == pfIndexed8)
            for (int i = 0; i < PaletteBytes; ++i) a.Palette[i] = static_cast<uint8_t>(255 - i % 256);
        TBitmap platform;
        a.AssignTo(platform);
        EXPECT_EQ(platform.PixelFormat(), static_cast<TPixelFormat>(f));
        TLinearBitmap b;
        b.Assign(platform);
        ASSERT_EQ(b.PixelFormat, f);
        EXPECT_EQ(0, std::memcmp(a.Map.get(), b.Map.get(), static_cast<size_t>(a.Size)));
        if (f == pfIndexed8) {
            EXPECT_EQ(0, std::memcmp(a.Palette.get(), b.Palette.get(), PaletteBytes));
        }
    }
}

TEST(LinarBitmapPlatform, EmptyImageLeavesTheDestinationAlone) {
    TBitmap platform;
    platform.SetPixelFormat(pf24bit);
    platform.SetSize(2, 2);
    platform.SetPixel(1, 1, clWhite);
    TLinearBitmap empty;
    empty.AssignTo(platform);
    EXPECT_EQ(platform.Width(), 2);
    EXPECT_EQ(platform.PixelFormat(), pf24bit);
    EXPECT_EQ(platform.GetPixel(1, 1), clWhite);
    TBitmap nothing;
    TLinearBitmap b;
    b.New(1, 1, pfBGR24);
    b.Assign(nothing);
    EXPECT_FALSE(b.Present) << "an empty platform bitmap empties the image";
}

TEST(LinarBitmapPlatform, IndexedIntoATrueColourOnlyDestinationTakesThePaletteColours) {
    TLinearBitmap a;
    a.New(2, 1, pfIndexed8);
    std::memset(a.Palette.get(), 0, PaletteBytes);
    a.Palette[3 * 7] = 1;  // entry 7: blue 1, green 2, red 3
    a.Palette[3 * 7 + 1] = 2;
    a.Palette[3 * 7 + 2] = 3;
    a.Map[0] = 7;
    a.Map[1] = 0;
    TrueColourOnly dest;
    a.AssignTo(dest);
    EXPECT_EQ(dest.PixelFormat(), pf24bit);
    EXPECT_EQ(dest.GetPixel(0, 0), RGB(3, 2, 1));
    EXPECT_EQ(dest.GetPixel(1, 0), clBlack);
    // Other pairings with such a destination are refused.
    TLinearBitmap x;
    x.New(1, 1, pfBGRX32);
    EXPECT_EQ(messageOf<ELinearBitmap>([&] { x.AssignTo(dest); }), "Unsupported pixel format");
}

TEST(LinarBitmapPlatform, OtherDepthsGraphicsAndPicturesArriveAsTrueColour) {
    TBitmap one;
    one.SetPixelFormat(pf1bit);
    one.SetSize(2, 1);
    one.ScanLine(0)[0] = 0x40;  // pixel 1 = index 1 = white in the default palette
    TLinearBitmap a;
    a.Assign(one);
    ASSERT_EQ(a.PixelFormat, pfBGR24);
    EXPECT_EQ(std::vector<uint8_t>(a.Map.get(), a.Map.get() + 6), (std::vector<uint8_t>{0, 0, 0, 255, 255, 255}));

    PaintOnly painter;
    a.Assign(painter);
    ASSERT_EQ(a.PixelFormat, pfBGR24);
    EXPECT_EQ(a.Width, 3);
    EXPECT_EQ(a.Height, 2);
    EXPECT_EQ(a.Map[0], 3);  // blue of RGB(1, 2, 3)
    EXPECT_EQ(a.Map[2], 1);
    EXPECT_EQ(a.ScanLine(1)[6], 50);
    EXPECT_EQ(a.ScanLine(1)[8], 200);

    // A picture goes through the platform's assignment: 32 bits become 24.
    TPicture picture;
    TBitmap& inside = picture.Bitmap();
    inside.SetPixelFormat(pf32bit);
    inside.SetSize(1, 1);
    inside.SetPixel(0, 0, RGB(9, 8, 7));
    a.Assign(picture);
    EXPECT_EQ(a.PixelFormat, pfBGR24);
    EXPECT_EQ(std::vector<uint8_t>(a.Map.get(), a.Map.get() + 3), (std::vector<uint8_t>{7, 8, 9}));

    // Into a picture: its bitmap takes the image.
    TPicture target;
    a.AssignTo(target);
    ASSERT_NE(dynamic_cast<TBitmap*>(target.Graphic()), nullptr);
    EXPECT_EQ(target.Bitmap().GetPixel(0, 0), RGB(9, 8, 7));

    TCanvas canvas;
    EXPECT_EQ(messageOf<Exception>([&] { a.AssignTo(canvas); }), "Cannot assign TLinearBitmap to TCanvas");
    EXPECT_EQ(messageOf<Exception>([&] { a.Assign(canvas); }), "Cannot assign TCanvas to TLinearBitmap");
}

TEST(LinarBitmapDraw, StretchesEveryFormatIntoTheCanvas) {
    TBitmap dest;
    dest.SetPixelFormat(pf24bit);
    dest.SetSize(4, 2);

    TLinearBitmap idx;
    idx.New(2, 1, pfIndexed8);  // rows of 2 bytes: the description pads them to 4
    std::memset(idx.Palette.get(), 0, PaletteBytes);
    idx.Palette[3] = 255;  // entry 1 blue
    idx.Map[0] = 1;
    idx.Map[1] = 0;
    idx.Draw(dest.Canvas(), Rect(0, 0, 4, 2), false);
    EXPECT_EQ(dest.Canvas().GetStretchBltMode(), COLORONCOLOR);
    for (int y = 0; y < 2; ++y) {
        EXPECT_EQ(dest.GetPixel(0, y), RGB(0, 0, 255));
        EXPECT_EQ(dest.GetPixel(1, y), RGB(0, 0, 255));
        EXPECT_EQ(dest.GetPixel(2, y), clBlack);
        EXPECT_EQ(dest.GetPixel(3, y), clBlack);
    }

    TLinearBitmap grey;
    grey.New(1, 1, pfGray16);
    grey.Map[0] = 0xFF;
    grey.Map[1] = 0x40;
    grey.DrawToDC(dest.Canvas(), Rect(1, 1, 2, 2), false);
    EXPECT_EQ(dest.GetPixel(1, 1), RGB(0x40, 0x40, 0x40));
    EXPECT_EQ(dest.GetPixel(2, 1), clBlack);

    TLinearBitmap x32;
    x32.New(1, 2, pfBGRX32);
    const uint8_t px[8] = {1, 2, 3, 0, 4, 5, 6, 0};
    std::memcpy(x32.Map.get(), px, 8);
    x32.DrawToDC(dest.Canvas(), Rect(3, 0, 4, 2), false);
    EXPECT_EQ(dest.GetPixel(3, 0), RGB(3, 2, 1));
    EXPECT_EQ(dest.GetPixel(3, 1), RGB(6, 5, 4));

    // Smooth: halftone stretching averages, and the brush origin survives.
    TLinearBitmap rgb;
    rgb.New(2, 1, pfBGR24);
    const uint8_t two[6] = {0, 0, 100, 200, 0, 0};
    std::memcpy(rgb.Map.get(), two, 6);
    dest.Canvas().SetBrushOrg({5, 6});
    rgb.Draw(dest.Canvas(), Rect(0, 0, 1, 1), true);
    EXPECT_EQ(dest.Canvas().GetStretchBltMode(), HALFTONE);
    EXPECT_EQ(dest.Canvas().GetBrushOrg().X, 5);
    EXPECT_EQ(dest.GetPixel(0, 0), RGB(50, 0, 100));

    TLinearBitmap empty;
    EXPECT_EQ(messageOf<Exception>([&] { empty.DrawToDC(dest.Canvas(), Rect(0, 0, 1, 1), false); }),
              "Unsupported pixel format");
}

namespace {

// An image whose every byte differs from its neighbours', with a palette that is not grey.
TLinearBitmap patterned(uint8_t format) {
    TLinearBitmap image;
    image.New(7, 5, format);
    for (int32_t i = 0; i < image.Size; ++i) image.Map[i] = static_cast<uint8_t>(i * 37 + 11);
    if (format == pfIndexed8)
        for (int i = 0; i < PaletteBytes; ++i) image.Palette[i] = static_cast<uint8_t>(255 - i % 251);
    return image;
}

}  // namespace

TEST(LinearBitmapHandOver, RowsMoveThroughAPlatformBitmapAndBackWithoutChange) {
    for (uint8_t format : {pfIndexed8, pfBGR24, pfBGRX32}) {
        SCOPED_TRACE(int{format});
        TLinearBitmap original = patterned(format);
        TLinearBitmap moving(original);
        const uint8_t* rows = moving.Map.get();
        TBitmap platform;
        moving.MoveToPlatformBitmap(platform);
        EXPECT_FALSE(moving.Present);
        EXPECT_EQ(platform.Width(), 7);
        EXPECT_EQ(platform.ScanLine(0), rows) << "the rows should change hands, not be copied";

        TLinearBitmap back;
        back.TakeOverPlatformBitmap(platform);
        EXPECT_TRUE(platform.Empty());
        ASSERT_EQ(back.PixelFormat, format);
        EXPECT_EQ(back.Map.get(), rows);
        EXPECT_EQ(0, std::memcmp(back.Map.get(), original.Map.get(), static_cast<size_t>(original.Size)));
        if (format == pfIndexed8) {
            EXPECT_EQ(0, std::memcmp(back.Palette.get(), original.Palette.get(), PaletteBytes));
        }
    }
}

TEST(LinearBitmapHandOver, Gray16ArrivesAsEightBitGreyAndPinnedBitmapsAreCopiedInto) {
    TLinearBitmap grey;
    grey.New(3, 2, pfGray16);
    for (int32_t i = 0; i < 6; ++i) reinterpret_cast<uint16_t*>(grey.Map.get())[i] = static_cast<uint16_t>(i * 0x1234);
    TBitmap platform;
    grey.MoveToPlatformBitmap(platform);
    EXPECT_FALSE(grey.Present);
    TLinearBitmap back;
    back.TakeOverPlatformBitmap(platform);
    ASSERT_EQ(back.PixelFormat, pfIndexed8);
    EXPECT_EQ(0, std::memcmp(back.Palette.get(), GrayPalette, PaletteBytes));
    for (int32_t i = 0; i < 6; ++i) EXPECT_EQ(back.Map[i], (i * 0x1234) >> 8);

    TLinearBitmap indexed = patterned(pfIndexed8);
    TrueColourOnly pinned;
    indexed.MoveToPlatformBitmap(pinned);
    EXPECT_FALSE(indexed.Present);
    ASSERT_EQ(pinned.PixelFormat(), pf24bit);
    const TLinearBitmap reference = patterned(pfIndexed8);
    EXPECT_EQ(0, std::memcmp(pinned.ScanLine(0), reference.Palette.get() + reference.Map[0] * 3, 3));
}
