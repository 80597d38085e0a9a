#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "TestSupport.h"
#include "codecs/HIPSLoader.h"
#include "codecs/CodecBytes.h"
#include "codecs/ReferenceImages.h"
#include "image/LinarBitmap.h"
#include "platform/Exceptions.h"
#include "streams/MemStream.h"

using namespace testing_support;
using namespace reference_images;

namespace {

using Bytes = std::vector<uint8_t>;

// A newer-layout header (rows, columns, format, planes) followed by the pixel bytes.
Bytes newerHips(int rows, int columns, const std::string& format, const std::string& planes, const Bytes& pixels,
                const std::string& eol = "\n") {
    std::string text;
    for (const std::string& line : std::initializer_list<std::string>{"name", "seq", "1", "date", std::to_string(rows), std::to_string(columns),
                                    std::to_string(rows), std::to_string(columns), "0", "0", format, planes, "0", "0",
                                    "0", "history"})
        text += line + eol;
    Bytes file(text.begin(), text.end());
    file.insert(file.end(), pixels.begin(), pixels.end());
    return file;
}

// An older-layout header: its history and description run up to the line holding ".".
Bytes olderHips(int rows, int columns, const std::string& bits, const Bytes& pixels,
                const std::string& historyAndDescription = "history\ndescription\n") {
    std::string text = "name\nseq\n1\ndate\n" + std::to_string(rows) + "\n" + std::to_string(columns) + "\n" + bits +
                       "\n0\n0\n" + historyAndDescription + ".\n";
    Bytes file(text.begin(), text.end());
    file.insert(file.end(), pixels.begin(), pixels.end());
    return file;
}

Bytes bytesOf(const std::string& text) { return Bytes(text.begin(), text.end()); }

Bytes floatsLE(std::initializer_list<float> values) {
    Bytes out;
    for (float v : values) {
        uint8_t b[4];
        std::memcpy(b, &v, 4);
        out.insert(out.end(), b, b + 4);
    }
    return out;
}

std::string load(const Bytes& file, TLinearBitmap& bitmap) {
    THIPSLoader codec;
    return codec_bytes::LoadOutcome(codec, "HIPS", file, bitmap);
}

struct HipsCase {
    const char* name;
    Bytes file;
    std::string outcome;
    uint8_t format;
    RGBImage pixels;
};

class HipsRead : public ::testing::TestWithParam<HipsCase> {};

TEST_P(HipsRead, PixelKindsLayoutsAndFloatRounding) {
    const HipsCase& c = GetParam();
    TLinearBitmap bitmap;
    ASSERT_EQ(load(c.file, bitmap), c.outcome);
    if (c.outcome != "loaded") return;
    EXPECT_EQ(int{bitmap.PixelFormat}, int{c.format});
    EXPECT_EQ(firstDifference(rgbOf(bitmap), c.pixels), "");
}

RGBImage grey(int w, int h, const Bytes& levels) {
    RGBImage image{w, h, {}};
    for (uint8_t v : levels) image.rgb.insert(image.rgb.end(), {v, v, v});
    return image;
}

INSTANTIATE_TEST_SUITE_P(
    Files, HipsRead,
    ::testing::Values(
        HipsCase{"OlderGrey", olderHips(1, 2, "8", {10, 20}), "loaded", pfIndexed8, grey(2, 1, {10, 20})},
        HipsCase{"OlderHistoryOverSeveralLines", olderHips(1, 2, "8", {'.', '\n'}, "cmd |\\\ncmd2\n\ntwo\nlines\n"),
                 "loaded", pfIndexed8, grey(2, 1, {'.', '\n'})},
        HipsCase{"OlderEmptyDescription", olderHips(1, 1, "8", {7}, ""), "loaded", pfIndexed8, grey(1, 1, {7})},
        HipsCase{"OlderWithoutEndMark", bytesOf("name\nseq\n1\ndate\n1\n1\n8\n0\n0\nhistory\n\x07"),
                 "Error reading from stream - Read less than expected", 0, {}},
        HipsCase{"OlderSixteenBits", olderHips(1, 2, "16", {1, 2, 3, 4}), "Unsupported bitmap format", 0, {}},
        HipsCase{"NewerRGBRedFirst", newerHips(1, 1, "35", "1", {1, 2, 3}), "loaded", pfBGR24, {1, 1, {1, 2, 3}}},
        HipsCase{"SinglePlaneFloatBigEndian", newerHips(1, 1, "3", "1", {0x43, 0x7F, 0, 0}), "loaded", pfIndexed8,
                 grey(1, 1, {255})},
        HipsCase{"FloatRGBFirstIsBlueRoundedAndClamped", newerHips(1, 2, "37", "1", floatsLE({2.5f, 300, -5, 3.5f, 0.49f, 254.5f})),
                 "loaded", pfBGR24, {2, 1, {0, 255, 2, 254, 0, 4}}},
        HipsCase{"TwoFloatPlanesLeaveBlueZero", newerHips(1, 1, "3", "2", floatsLE({7, 8})), "loaded", pfBGR24,
                 {1, 1, {7, 8, 0}}},
        HipsCase{"PlaneCountOutOfRangeIsOne", newerHips(1, 2, "0", "999", {5, 6}), "loaded", pfIndexed8, grey(2, 1, {5, 6})},
        HipsCase{"PlaneCountZeroIsOne", newerHips(1, 1, "3", "0", {0x40, 0x40, 0, 0}), "loaded", pfIndexed8, grey(1, 1, {3})},
        HipsCase{"UnknownFormat", newerHips(1, 1, "30", "1", {0}), "Unsupported bitmap format", 0, {}},
        HipsCase{"CRLFHeaderFails", newerHips(1, 1, "0", "1", {0}, "\r\n"), "Error reading from stream - Read less than expected", 0, {}},
        HipsCase{"PixelsCutShort", newerHips(2, 2, "0", "1", {1, 2, 3}), "Read less than expected", 0, {}},
        HipsCase{"HugeSizeFailsBeforeAllocating", newerHips(2000000000, 2000000000, "0", "1", {1}), "Invalid bitmap size", 0, {}},
        HipsCase{"HeaderCutShort", Bytes{'a', '\n', 'b', '\n'}, "Error reading from stream - Read less than expected", 0, {}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(HipsGallery, EveryFileLoadsItsFirstPlaneOrIsRefused) {
    PIXMORPH_REQUIRE_TESTDATA();
    struct { const char* file; int width, height; } loadable[] = {
        {"gallery/turing_turing.hips", 512, 512}, {"gallery/turing_turing.thresh.hips", 128, 128},
        {"gallery/thermal_teapot.hips", 256, 256}, {"gallery/silly_lenna.hips", 512, 480},
        {"gallery/silly_lenna.rgb.hips", 512, 480}, {"gallery/movies_range.hips", 128, 128},
        {"gallery/silly_Earth.hips", 0, 0},        {"gallery/textures_stc1.hips", 0, 0},
    };
    for (const auto& c : loadable) {
        const Bytes file = readFile(testdata(std::string("hips/") + c.file));
        TLinearBitmap bitmap;
        ASSERT_EQ(load(file, bitmap), "loaded") << c.file;
        if (c.width) {
            EXPECT_EQ(bitmap.Width, c.width) << c.file;
            EXPECT_EQ(bitmap.Height, c.height) << c.file;
        }
        // Single-frame grey files end with their pixels, whichever header they have.
        if (std::string(c.file).find("turing") != std::string::npos || c.file == std::string("gallery/silly_lenna.hips")) {
            EXPECT_EQ(0, std::memcmp(bitmap.Map.get(), file.data() + file.size() - bitmap.Size, bitmap.Size)) << c.file;
        }
    }
    for (const char* file : {"gallery/kde_F1.hips", "libman/x2.hips"}) {
        TLinearBitmap bitmap;
        EXPECT_EQ(load(readFile(testdata(std::string("hips/") + file)), bitmap), "Unsupported bitmap format") << file;
    }
}

}  // namespace
