// The bitmap codes of the fixed table, through the real binary.
#include <gtest/gtest.h>

#include <zlib.h>

#include <algorithm>

#include "TestSupport.h"
#include "codecs/ReferenceImages.h"

using namespace testing_support;
using namespace reference_images;

namespace {

std::string report(const std::string& message) { return "Pixmorph: " + message + "\n"; }

std::string sample(const std::string& name) { return std::string(PIXMORPH_SOURCE_DIR) + "/samples/" + name; }

}  // namespace

TEST(Code100, CopiesABitmapPixelForPixelAndKeepsTheInput) {
    TempDir dir;
    for (const char* name : {"sunset.bmp", "stripes.bmp"}) {
        writeFile(dir / name, readFile(sample(name)));
        const auto r = runPixmorph({dir / name, "100", dir / "out.bmp"});
        ASSERT_EQ(r.exitCode, 0) << r.err;
        EXPECT_TRUE(fileExists(dir / name));
        const auto expected = decodeWithConvert(dir / name);
        ASSERT_FALSE(expected.empty());
        EXPECT_EQ(firstDifference(decodeWithConvert(dir / "out.bmp"), expected), "") << name;
    }
}

TEST(Code100, EveryGoodSuiteFileComesOutWithTheReferencePixels) {
    PIXMORPH_REQUIRE_TESTDATA();
    TempDir dir;
    const auto names = bmpSuiteFiles("g");
    ASSERT_GE(names.size(), 27u);
    for (const std::string& name : names) {
        SCOPED_TRACE(name);
        const std::string output = dir / ("out-" + name);
        const std::string input = testdata("bmpsuite/g/" + name);
        const auto r = runPixmorph({input, "100", output});
        ASSERT_EQ(r.exitCode, 0) << r.err;
        // 16-bit pixels stay 16-bit, and ImageMagick widens 5-bit channels by replicating
        // bits where the suite's renderings round: compare like with like there.
        const bool sixteenBits = readFile(output).at(28) == 16;
        const RGBImage expected = sixteenBits ? decodeWithConvert(input) : bmpSuiteReference("g", name);
        EXPECT_EQ(firstDifference(decodeWithConvert(output), expected), "");
    }
}

TEST(Code100, InputsThatAreNotBitmapsOrCannotBeOpened) {
    TempDir dir;
    writeFile(dir / "text.bmp", std::string("not a bitmap at all"));
    auto r = runPixmorph({dir / "text.bmp", "100", dir / "out.bmp"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err, report("Bitmap image is not valid."));
    r = runPixmorph({dir / "none.bmp", "100", dir / "out.bmp"});
    EXPECT_EQ(r.err, report("Cannot open file \"" + dir / "none.bmp" + "\". No such file or directory."));
    writeFile(dir / "in.bmp", readFile(sample("stripes.bmp")));
    r = runPixmorph({dir / "in.bmp", "100", dir / "missing/out.bmp"});
    EXPECT_EQ(r.err, report("Cannot create file \"" + dir / "missing/out.bmp" + "\". No such file or directory."));
    auto names = listDirectory(dir.path());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"in.bmp", "text.bmp"}));
}

TEST(Codes101To106, AnInputThatIsNoBitmapGivesOneReportNoOutputAndStays) {
    TempDir dir;
    writeFile(dir / "text.bmp", std::string("not a bitmap"));
    for (const char* code : {"101", "102", "103", "104", "105", "106"}) {
        const auto r = runPixmorph({dir / "text.bmp", code, dir / "out.x"});
        EXPECT_EQ(r.exitCode, 1) << code;
        EXPECT_EQ(r.err, report("Bitmap image is not valid.")) << code;
    }
    EXPECT_EQ(listDirectory(dir.path()), (std::vector<std::string>{"text.bmp"}));
}

TEST(CodecPath, BitmapToBitmapDeletesTheInputAfterwardsAndKeepsEveryPixel) {
    TempDir dir;
    writeFile(dir / "a b.bmp", readFile(sample("stripes.bmp")));
    const auto expected = decodeWithConvert(dir / "a b.bmp");
    const auto r = runPixmorph({dir / "a*b.bmp", "5", dir / "c*d.BMP"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_FALSE(fileExists(dir / "a b.bmp"));
    EXPECT_EQ(firstDifference(decodeWithConvert(dir / "c d.BMP"), expected), "");
    EXPECT_EQ(listDirectory(dir.path()), std::vector<std::string>{"c d.BMP"});
}

TEST(CodecPath, FailuresKeepTheInputAndAnEarlierOutput) {
    TempDir dir;
    writeFile(dir / "in.bmp", readFile(sample("sunset.bmp")));
    writeFile(dir / "out.bmp", std::string("earlier"));
    auto r = runPixmorph({dir / "missing.bmp", "5", dir / "out.bmp"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err, report("Error opening \"" + dir / "missing.bmp" + "\" - No such file or directory."));
    r = runPixmorph({dir / "in.bmp", "5", dir / "out.xyz"});
    EXPECT_EQ(r.err, report("Unsupported file format: XYZ."));
    writeFile(dir / "broken.bmp", std::string("BM but nothing else"));
    r = runPixmorph({dir / "broken.bmp", "5", dir / "out.bmp"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err, report("Unsupported file format."));
    EXPECT_EQ(readFile(dir / "out.bmp"), std::vector<uint8_t>({'e', 'a', 'r', 'l', 'i', 'e', 'r'}));
    auto names = listDirectory(dir.path());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"broken.bmp", "in.bmp", "out.bmp"}));
}

namespace {

std::vector<uint8_t> bigEndian32(uint32_t v) {
    return {static_cast<uint8_t>(v >> 24), static_cast<uint8_t>(v >> 16), static_cast<uint8_t>(v >> 8),
            static_cast<uint8_t>(v)};
}

// A PNG whose header claims width x height RGB pixels and that ends right after it.
std::vector<uint8_t> pngClaiming(uint32_t width, uint32_t height) {
    std::vector<uint8_t> png = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n', 0, 0, 0, 13, 'I', 'H', 'D', 'R'};
    for (uint32_t v : {width, height})
        for (uint8_t b : bigEndian32(v)) png.push_back(b);
    for (uint8_t b : {8, 2, 0, 0, 0}) png.push_back(b);
    const uint32_t crc = crc32(0, png.data() + 12, 17);
    for (uint8_t b : bigEndian32(crc)) png.push_back(b);
    return png;  // no IDAT, no IEND: the data ends here
}

}  // namespace

TEST(CodecPath, HostileHeadersFailWithAClearMessageBeforeAnythingIsAllocatedOrWritten) {
    TempDir dir;
    writeFile(dir / "huge.png", pngClaiming(60000, 60000));   // 10.8 GB of pixels
    writeFile(dir / "large.png", pngClaiming(15000, 15000));  // 675 MB, but no data
    std::vector<uint8_t> bmp = readFile(sample("sunset.bmp"));
    for (int i = 0; i < 4; ++i) bmp[18 + i] = bmp[22 + i] = i == 2 ? 0x01 : 0x00;  // 65536 x 65536
    bmp.resize(200);
    writeFile(dir / "huge.bmp", bmp);
    const std::pair<const char*, const char*> cases[] = {
        {"huge.png", "Invalid bitmap size."}, {"large.png", "Read less than expected."},
        {"huge.bmp", "Invalid bitmap size."}};
    for (const auto& [name, message] : cases) {
        const auto r = runPixmorph({dir / name, "5", dir / "out.bmp"});
        EXPECT_EQ(r.exitCode, 1) << name;
        EXPECT_EQ(r.err, report(message)) << name;
        EXPECT_TRUE(fileExists(dir / name));
        EXPECT_FALSE(fileExists(dir / "out.bmp"));
    }
}
