// JPEG through the binary: code 101 and the codec path, decoded by libjpeg and
// ImageMagick, never by our own code.
#include <gtest/gtest.h>

#include <jerror.h>

#include <algorithm>

#include "TestSupport.h"
#include "codecs/JpegOracle.h"
#include "codecs/ReferenceImages.h"

using namespace testing_support;
using namespace reference_images;
namespace jo = jpeg_oracle;

namespace {

std::string report(const std::string& message) { return "Pixmorph: " + message + "\n"; }

std::string sample(const std::string& name) { return std::string(PIXMORPH_SOURCE_DIR) + "/samples/" + name; }

struct JpegFacts {
    int frameMarker = 0;
    int components = 0;
    std::vector<std::vector<int>> tables;
};

JpegFacts factsOf(const std::vector<uint8_t>& file) {
    JpegFacts facts;
    for (const jo::Segment& s : jo::HeaderSegments(file)) {
        if (s.marker >= 0xC0 && s.marker <= 0xCF && s.marker != 0xC4 && s.marker != 0xC8 && s.marker != 0xCC) {
            facts.frameMarker = s.marker;
            facts.components = s.payload.size() > 5 ? s.payload[5] : 0;
        }
        if (s.marker == 0xDB)
            for (size_t p = 0; p + 65 <= s.payload.size(); p += 65) facts.tables.push_back(jo::NaturalOrderTable(&s.payload[p + 1]));
    }
    return facts;
}

// A 24-bit bitmap of the picture, written by ImageMagick.
void makeBitmap(const std::string& source, const std::string& bmp, const std::vector<std::string>& options = {}) {
    std::vector<std::string> argv = {"/usr/bin/convert", source};
    argv.insert(argv.end(), options.begin(), options.end());
    argv.insert(argv.end(), {"-type", "TrueColor", "BMP3:" + bmp});
    ASSERT_EQ(runProgram(argv).exitCode, 0) << source;
}

}  // namespace

TEST(Code101, PhotographsBecomeBaselineQuality90JpegsCloseToTheBitmap) {
    PIXMORPH_REQUIRE_TESTDATA();
    TempDir dir;
    for (const char* photo : {"Storm.jpg", "TwoWings.jpg"}) {
        SCOPED_TRACE(photo);
        makeBitmap(testdata(std::string("photos/") + photo), dir / "in.bmp");
        const RGBImage source = decodeWithConvert(dir / "in.bmp");
        ASSERT_FALSE(source.empty());
        const auto r = runPixmorph({dir / "in.bmp", "101", dir / "out.jpg"});
        ASSERT_EQ(r.exitCode, 0) << r.err;
        EXPECT_FALSE(fileExists(dir / "in.bmp"));
        const auto file = readFile(dir / "out.jpg");
        const JpegFacts facts = factsOf(file);
        EXPECT_EQ(facts.frameMarker, 0xC0);
        EXPECT_EQ(facts.components, 3);
        EXPECT_EQ(facts.tables, (std::vector<std::vector<int>>{jo::ScaledTable(false, 90), jo::ScaledTable(true, 90)}));
        const jo::Decoded decoded = jo::Decode(file);
        ASSERT_TRUE(decoded.ok);
        EXPECT_EQ(decoded.width, source.width);
        EXPECT_EQ(decoded.height, source.height);
        EXPECT_GE(jo::Psnr(decoded.pixels, source.rgb), 35.0);
    }
}

TEST(Code101, GreyAndEightBitBitmapsAreWrittenInColourAndBadInputsKeepEverything) {
    TempDir dir;
    makeBitmap(sample("sunset.bmp"), dir / "grey.bmp", {"-colorspace", "Gray", "-colorspace", "sRGB"});
    for (const std::string& path : {dir / "grey.bmp", sample("stripes.bmp")}) {
        writeFile(dir / "in.bmp", readFile(path));
        const RGBImage source = decodeWithConvert(dir / "in.bmp");
        const auto r = runPixmorph({dir / "in.bmp", "101", dir / "out.jpg"});
        ASSERT_EQ(r.exitCode, 0) << r.err;
        const auto file = readFile(dir / "out.jpg");
        EXPECT_EQ(factsOf(file).components, 3) << path;
        EXPECT_GE(jo::Psnr(jo::Decode(file).pixels, source.rgb), 25.0) << path;
    }
    writeFile(dir / "text.bmp", std::string("not a bitmap"));
    const auto r = runPixmorph({dir / "text.bmp", "101", dir / "text.jpg"});
    EXPECT_EQ(r.err, report("Bitmap image is not valid."));
    auto names = listDirectory(dir.path());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"grey.bmp", "out.jpg", "text.bmp"}));
}

TEST(JpegCodecPath, BitmapToJpegToBitmapKeepsTheSizeAndTheColours) {
    PIXMORPH_REQUIRE_TESTDATA();
    TempDir dir;
    makeBitmap(testdata("photos/Storm.jpg"), dir / "photo.bmp");
    makeBitmap(sample("sunset.bmp"), dir / "grey.bmp", {"-colorspace", "Gray", "-colorspace", "sRGB"});
    const struct {
        const char* name;
        std::string path;
        int components;
    } cases[] = {{"colour photograph", dir / "photo.bmp", 3}, {"grey", dir / "grey.bmp", 1}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        writeFile(dir / "a.bmp", readFile(c.path));
        const RGBImage source = decodeWithConvert(dir / "a.bmp");
        auto r = runPixmorph({dir / "a.bmp", "5", dir / "b.jpg"});
        ASSERT_EQ(r.exitCode, 0) << r.err;
        EXPECT_FALSE(fileExists(dir / "a.bmp"));
        const JpegFacts facts = factsOf(readFile(dir / "b.jpg"));
        EXPECT_EQ(facts.frameMarker, 0xC0);
        EXPECT_EQ(facts.components, c.components);
        EXPECT_EQ(facts.tables[0], jo::ScaledTable(false, 90));
        r = runPixmorph({dir / "b.jpg", "5", dir / "c.bmp"});
        ASSERT_EQ(r.exitCode, 0) << r.err;
        const RGBImage back = decodeWithConvert(dir / "c.bmp");
        EXPECT_EQ(back.width, source.width);
        EXPECT_EQ(back.height, source.height);
        EXPECT_GE(jo::Psnr(back.rgb, source.rgb), 35.0);
    }
}

TEST(JpegCodecPath, BadFilesReportOnceKeepTheInputAndWriteNothing) {
    TempDir dir;
    std::vector<uint8_t> huge = jo::Encode(16, 16, 3, std::vector<uint8_t>(16 * 16 * 3, 100));
    for (size_t p = 0; p + 9 < huge.size(); ++p)
        if (huge[p] == 0xFF && huge[p + 1] == 0xC0) {
            huge[p + 5] = huge[p + 7] = 0xFD;  // 64992 x 64992
            break;
        }
    writeFile(dir / "huge.jpg", huge);
    writeFile(dir / "text.jpg", std::string("no JPEG here"));
    writeFile(dir / "in.bmp", readFile(sample("sunset.bmp")));
    const struct {
        std::string input, output, message;
    } cases[] = {
        {"huge.jpg", "out.bmp", "Invalid bitmap size."},
        {"text.jpg", "out.bmp", "JPEG error #" + std::to_string(JERR_NO_SOI) + "."},
        {"in.bmp", "out.jpe", "Unsupported file format: JPE."},
    };
    for (const auto& c : cases) {
        const auto r = runPixmorph({dir / c.input, "5", dir / c.output});
        EXPECT_EQ(r.exitCode, 1) << c.input;
        EXPECT_EQ(r.err, report(c.message)) << c.input;
    }
    auto names = listDirectory(dir.path());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"huge.jpg", "in.bmp", "text.jpg"}));
}
