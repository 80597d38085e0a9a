#include <gtest/gtest.h>

#include "TestSupport.h"

#include <cstring>
#include <string>

#include "TestData.h"
#include "image/LinarBitmap.h"
#include "picture/Graphics.h"

namespace {

// The picture a file's graphic gives: copied (Assign) or handed over (TakeOverGraphic).
TLinearBitmap pictureOf(const std::string& file, bool handOver) {
    host::TPicture picture;
    picture.LoadFromFile(test_data::testdata(file));
    TLinearBitmap image;
    if (handOver)
        image.TakeOverGraphic(*picture.Graphic());
    else
        image.Assign(*picture.Graphic());
    return image;
}

}  // namespace

// Handing a graphic over moves its rows or draws it in bands instead of copying it, and
// must give the very picture a copy gives: size, format, palette and every pixel. The
// files cover each graphic that hands itself over differently (platform bitmaps of every
// depth, GIF frames, metafiles drawn in bands, the codecs' own images) and ones that are
// copied as before.
TEST(LinarBitmapHandOver, GivesThePictureACopyGives) {
    PIXMORPH_REQUIRE_TESTDATA();
    const char* const files[] = {
        // platform bitmaps: indexed, RLE, 5-5-5 and 5-6-5, 24 and 32 bits, top-down
        "bmpsuite/g/pal1.bmp", "bmpsuite/g/pal4rle.bmp", "bmpsuite/g/pal8.bmp", "bmpsuite/g/rgb16-565.bmp",
        "bmpsuite/g/rgb16.bmp", "bmpsuite/g/rgb24.bmp", "bmpsuite/g/rgb32.bmp", "bmpsuite/g/rgb32bf.bmp",
        "bmpsuite/g/pal8topdown.bmp",
        // GIF frames filling the screen, and one placed inside it on the background
        "gif/giflib/pic/porsche.gif", "gif/giflib/pic/treescap-interlaced.gif",
        "gif/image-rs/images/anim/any-disposal.gif",
        // metafiles, drawn in bands
        "metafile/wmf-libwmf/Eg.wmf", "metafile/emf-libemf2svg/test-002.emf",
        // the other graphics
        "jpeg/libjpeg-turbo/testorig.png", "ico/faint/test-data/24bipp.ico",
        "pcx/kimageformats/write-basic/rgb.pcx",
    };
    for (const char* file : files) {
        SCOPED_TRACE(file);
        const TLinearBitmap copied = pictureOf(file, false);
        const TLinearBitmap handed = pictureOf(file, true);
        ASSERT_TRUE(copied.Present);
        ASSERT_EQ(handed.Width, copied.Width);
        ASSERT_EQ(handed.Height, copied.Height);
        ASSERT_EQ(handed.PixelFormat, copied.PixelFormat);
        for (int32_t y = 0; y < copied.Height; ++y)
            ASSERT_EQ(std::memcmp(handed.ScanLine(y), copied.ScanLine(y), static_cast<size_t>(copied.BytesPerLine)), 0)
                << "row " << y;
        if (copied.PixelFormat == pfIndexed8)
            EXPECT_EQ(std::memcmp(handed.Palette.get(), copied.Palette.get(), PaletteBytes), 0);
    }
}
