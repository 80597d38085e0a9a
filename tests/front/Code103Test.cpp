// Code 103: a Windows bitmap becomes a one-image icon, through the real binary.
#include <gtest/gtest.h>

#include "TestSupport.h"
#include "codecs/IconFiles.h"

using namespace testing_support;
using namespace icon_files;

namespace {

struct BitmapCase {
    const char* file;  // in the BMP Suite's good set
    int iconBits;      // the depth the icon is written with
};

}  // namespace

TEST(Code103, EveryBitmapBecomesAnIconWithItsPixelsAndTheInputIsDeleted) {
    PIXMORPH_REQUIRE_TESTDATA();
    // Palette images whose indices fit four bits stay that small; 8-bit ones with more
    // colours take eight; true colour stays 24 bits.
    const BitmapCase cases[] = {
        {"pal1.bmp", 4}, {"pal4.bmp", 4}, {"pal8.bmp", 8}, {"rgb24.bmp", 24}, {"rgb32.bmp", 24},
    };
    TempDir dir;
    for (const BitmapCase& c : cases) {
        SCOPED_TRACE(c.file);
        const std::string source = testdata(std::string("bmpsuite/g/") + c.file);
        writeFile(dir / "in.bmp", readFile(source));
        const auto r = runPixmorph({dir / "in.bmp", "103", dir / "out.ico"});
        ASSERT_EQ(r.exitCode, 0) << r.err;
        EXPECT_EQ(r.err, "");
        EXPECT_FALSE(fileExists(dir / "in.bmp"));
        const auto bytes = readFile(dir / "out.ico");
        EXPECT_EQ(le16At(bytes, 2), 1u);  // an icon
        EXPECT_EQ(le16At(bytes, 4), 1u);  // of one image
        EXPECT_EQ(le16At(bytes, 22 + 14), c.iconBits);
        const RGBAImage expected = decodeWithConvert(source);
        const RGBAImage icon = decodeWithConvert(dir / "out.ico");
        ASSERT_FALSE(expected.empty());
        ASSERT_EQ(icon.width, expected.width);
        ASSERT_EQ(icon.height, expected.height);
        for (int y = 0; y < icon.height; ++y)
            for (int x = 0; x < icon.width; ++x) {
                // Magenta pixels are the transparent ones.
                const bool transparent = expected.rgbAt(x, y) == 0xFF00FF;
                ASSERT_EQ(icon.alphaAt(x, y) == 0, transparent) << x << "," << y;
                if (!transparent) {
                    ASSERT_EQ(icon.rgbAt(x, y), expected.rgbAt(x, y)) << x << "," << y;
                }
            }
    }
}

TEST(Code103, ABitmapOver255PixelsIsRefusedAndTheInputStays) {
    TempDir dir;
    ASSERT_EQ(runProgram({"/usr/bin/convert", "-size", "256x8", "xc:#336699", "BMP3:" + (dir / "wide.bmp")}).exitCode, 0);
    const auto r = runPixmorph({dir / "wide.bmp", "103", dir / "out.ico"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err, "Pixmorph: Image is too large for icon.\n");
    EXPECT_EQ(listDirectory(dir.path()), std::vector<std::string>{"wide.bmp"});
}
