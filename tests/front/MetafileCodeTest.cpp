// Code 106 through the real binary: a Windows bitmap becomes a metafile that draws it.
#include <gtest/gtest.h>

#include "TestSupport.h"
#include "codecs/ReferenceImages.h"
#include "image/LinarBitmap.h"

using namespace testing_support;
using namespace reference_images;

namespace {

std::string sample(const std::string& name) { return std::string(PIXMORPH_SOURCE_DIR) + "/samples/" + name; }

}  // namespace

TEST(Code106, WritesAMetafileOfEitherKindThatDrawsTheBitmapAndDeletesTheInput) {
    TempDir dir;
    // sunset.bmp has 24 bits, stripes.bmp 4 bits with a palette.
    for (const char* name : {"sunset.bmp", "stripes.bmp"}) {
        const RGBImage expected = decodeWithConvert(sample(name));
        ASSERT_FALSE(expected.empty());
        for (const char* out : {"out.wmf", "out.emf", "out.WMF", "out.pic"}) {
            writeFile(dir / "in.bmp", readFile(sample(name)));
            const auto r = runPixmorph({dir / "in.bmp", "106", dir / out});
            ASSERT_EQ(r.exitCode, 0) << r.err;
            EXPECT_FALSE(fileExists(dir / "in.bmp")) << out;
            const std::vector<uint8_t> bytes = readFile(dir / out);
            ASSERT_GT(bytes.size(), 44u);
            const bool wmf = std::string(out) == "out.wmf" || std::string(out) == "out.WMF";
            const uint32_t key = bytes[0] | bytes[1] << 8 | bytes[2] << 16 | uint32_t{bytes[3]} << 24;
            const uint32_t signature = bytes[40] | bytes[41] << 8 | bytes[42] << 16 | uint32_t{bytes[43]} << 24;
            EXPECT_EQ(wmf ? key : signature, wmf ? 0x9AC6CDD7u : 0x464D4520u) << out;
            // Read back through our own codec; an unknown extension is read as what it is.
            const std::string readable = dir / (wmf ? "back.wmf" : "back.emf");
            writeFile(readable, bytes);
            TLinearBitmap back;
            back.LoadFromFile(readable);
            EXPECT_EQ(firstDifference(rgbOf(back), expected), "") << name << " " << out;
            if (wmf) {
                // ImageMagick draws the same pixels.
                const auto run = runProgram({"/usr/bin/convert", "-density", "96", dir / out, dir / "im.png"});
                ASSERT_EQ(run.exitCode, 0) << run.err;
                EXPECT_EQ(firstDifference(decodeWithConvert(dir / "im.png"), expected), "") << name;
            }
        }
    }
}

TEST(Code106, AnInputThatIsNoBitmapStaysAndNothingIsWritten) {
    TempDir dir;
    writeFile(dir / "in.bmp", std::string("not a bitmap"));
    const auto r = runPixmorph({dir / "in.bmp", "106", dir / "out.wmf"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err, "Pixmorph: Bitmap image is not valid.\n");
    EXPECT_EQ(listDirectory(dir.path()), std::vector<std::string>{"in.bmp"});
}
