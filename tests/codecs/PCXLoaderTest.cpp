#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "TestSupport.h"
#include "codecs/PCXLoader.h"
#include "codecs/CodecBytes.h"
#include "codecs/ReferenceImages.h"
#include "image/LinarBitmap.h"
#include "platform/Exceptions.h"
#include "streams/MemStream.h"

using namespace testing_support;
using namespace reference_images;

namespace {

using Bytes = std::vector<uint8_t>;

void put16(Bytes& b, size_t at, int v) {
    b[at] = static_cast<uint8_t>(v);
    b[at + 1] = static_cast<uint8_t>(v >> 8);
}

// A version-5 header for a width x height image of `planes` planes, followed by `data`.
Bytes pcxFile(int width, int height, int planes, const Bytes& data, int bytesPerLine = -1, int version = 5) {
    Bytes file;
    file.reserve(128 + data.size());
    file.resize(128);
    file[0] = 10, file[1] = static_cast<uint8_t>(version), file[2] = 1, file[3] = 8;
    put16(file, 8, width - 1);
    put16(file, 10, height - 1);
    file[65] = static_cast<uint8_t>(planes);
    put16(file, 66, bytesPerLine < 0 ? width : bytesPerLine);
    file.insert(file.end(), data.begin(), data.end());
    return file;
}

std::string load(const Bytes& file, TLinearBitmap& bitmap) {
    TPCXLoader codec;
    return codec_bytes::LoadOutcome(codec, "PCX", file, bitmap);
}

Bytes save(TLinearBitmap& bitmap) {
    TMemStream stream;
    TPCXLoader().SaveToStream(stream, "PCX", bitmap);
    Bytes out(static_cast<size_t>(stream.GetSize()));
    stream.Seek(0);
    stream.Read(out.data(), static_cast<int64_t>(out.size()));
    return out;
}

TLinearBitmap indexedImage(int width, int height, const Bytes& pixels) {
    TLinearBitmap bitmap;
    bitmap.New(width, height, pfIndexed8);
    std::memcpy(bitmap.Map.get(), pixels.data(), pixels.size());
    for (int i = 0; i < PaletteBytes; ++i) bitmap.Palette[i] = static_cast<uint8_t>(i * 7);
    return bitmap;
}

// ---------------------------------------------------------------- reading crafted files

struct ReadCase {
    const char* name;
    Bytes file;
    std::string outcome;
    RGBImage pixels;  // checked when loaded
};

class PcxRead : public ::testing::TestWithParam<ReadCase> {};

TEST_P(PcxRead, DecodesRunsAcrossRowsAndPlanesAndRefusesWhatDoesNotFit) {
    const ReadCase& c = GetParam();
    TLinearBitmap bitmap;
    ASSERT_EQ(load(c.file, bitmap), c.outcome);
    if (c.outcome == "loaded") {
        EXPECT_EQ(firstDifference(rgbOf(bitmap), c.pixels), "");
    }
}

Bytes withPalette(Bytes data, uint8_t red) {
    data.push_back(0x0C);
    for (int i = 0; i < 256; ++i) data.insert(data.end(), {red, static_cast<uint8_t>(i), 0});
    return data;
}

INSTANTIATE_TEST_SUITE_P(
    Files, PcxRead,
    ::testing::Values(
        ReadCase{"RunSpansPlanesAndRows", pcxFile(2, 2, 3, {0xCC, 9}), "loaded", {2, 2, Bytes(12, 9)}},
        ReadCase{"PlanesInRedGreenBlueOrder", pcxFile(1, 1, 3, {1, 2, 3}), "loaded", {1, 1, {1, 2, 3}}},
        ReadCase{"CountZeroMeansOne", pcxFile(2, 1, 1, withPalette({0xC0, 4, 5}, 1)), "loaded", {2, 1, {1, 4, 0, 1, 5, 0}}},
        ReadCase{"GarbageBeforePaletteSkipped", pcxFile(1, 1, 1, withPalette({7, 0xAA, 0xBB}, 3)), "loaded", {1, 1, {3, 7, 0}}},
        ReadCase{"NoTrailerGivesGreyRamp", pcxFile(2, 1, 1, {0x50, 0x90}), "loaded", {2, 1, {0x50, 0x50, 0x50, 0x90, 0x90, 0x90}}},
        ReadCase{"PaddingColumnCut", pcxFile(1, 2, 1, {0x30, 0x31, 0x32, 0x33}, 2), "loaded", {1, 2, {0x30, 0x30, 0x30, 0x32, 0x32, 0x32}}},
        // The columns past the window are passed over, runs too, whole or in part.
        ReadCase{"PaddingRunSpansIntoNextRow", pcxFile(1, 2, 1, {0x10, 0xC3, 0x20, 0x40, 0x41}, 3), "loaded",
                 {1, 2, {0x10, 0x10, 0x10, 0x20, 0x20, 0x20}}},
        ReadCase{"PaddingOfEachPlaneCut", pcxFile(1, 1, 3, {0xC3, 5, 6, 0xC2, 7}, 2), "loaded", {1, 1, {5, 5, 7}}},
        ReadCase{"RunOverrunsImage", pcxFile(2, 1, 1, {0xC5, 1}), "Error in bitmap data", {}},
        ReadCase{"RunOverrunsLastPlane", pcxFile(1, 1, 3, {1, 2, 0xC2, 3}), "Error in bitmap data", {}},
        ReadCase{"Version3", pcxFile(1, 1, 1, {0}, -1, 3), "Unsupported file format", {}},
        ReadCase{"FourPlanes", pcxFile(1, 1, 4, {0, 0, 0, 0}), "Unsupported file format", {}},
        ReadCase{"NoWidth", pcxFile(0, 1, 1, {0}, 1), "Invalid bitmap size", {}},
        ReadCase{"PixelsCutShort", pcxFile(4, 4, 1, {1, 2}), "Read less than expected", {}},
        ReadCase{"HeaderCutShort", Bytes(60, 10), "Read less than expected", {}}),
    [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------- writing

struct WriteCase {
    const char* name;
    int width, height;
    Bytes pixels;   // pfIndexed8
    Bytes encoded;  // between the header and the palette trailer
};

class PcxWrite : public ::testing::TestWithParam<WriteCase> {};

// `count` consecutive values from `first`: bytes that differ from their neighbours.
Bytes Ramp(int count, int first) {
    Bytes bytes(static_cast<size_t>(count));
    for (int i = 0; i < count; ++i) bytes[static_cast<size_t>(i)] = static_cast<uint8_t>(first + i);
    return bytes;
}

Bytes Join(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
}

TEST_P(PcxWrite, RunsHoldAtMost63BytesAndNeverSpanRows) {
    const WriteCase& c = GetParam();
    TLinearBitmap bitmap = indexedImage(c.width, c.height, c.pixels);
    const Bytes file = save(bitmap);
    ASSERT_EQ(file.size(), 128 + c.encoded.size() + 769);
    EXPECT_EQ(Bytes(file.begin() + 128, file.end() - 769), c.encoded);
    EXPECT_EQ(file[file.size() - 769], 0x0C);
    EXPECT_EQ(file[66] | file[67] << 8, c.width) << "bytes per line is the width, not rounded up";
}

INSTANTIATE_TEST_SUITE_P(
    Images, PcxWrite,
    ::testing::Values(WriteCase{"HighLiteral", 1, 1, {0xC5}, {0xC1, 0xC5}},
                      WriteCase{"LowLiteral", 1, 1, {0x41}, {0x41}},
                      WriteCase{"Run64", 64, 1, Bytes(64, 7), {0xFF, 7, 7}},
                      WriteCase{"HighRun64", 64, 1, Bytes(64, 0xC8), {0xFF, 0xC8, 0xC1, 0xC8}},
                      WriteCase{"RowsEndRuns", 3, 2, {5, 5, 5, 5, 5, 5}, {0xC3, 5, 0xC3, 5}},
                      WriteCase{"OddWidth", 3, 1, {1, 2, 2}, {1, 0xC2, 2}},
                      // Rows are scanned in blocks of 64 bytes: runs across their edges and
                      // the row's end, literal stretches longer than two words.
                      WriteCase{"RunIntoTheRowEndAcrossABlock", 70, 1, Join({Ramp(60, 0), Bytes(10, 5)}),
                                Join({Ramp(60, 0), {0xCA, 5}})},
                      WriteCase{"Run63AcrossABlock", 94, 1, Join({Ramp(30, 100), Bytes(63, 9), {50}}),
                                Join({Ramp(30, 100), {0xFF, 9, 50}})},
                      WriteCase{"Run64AcrossABlock", 95, 1, Join({Ramp(30, 100), Bytes(64, 9), {50}}),
                                Join({Ramp(30, 100), {0xFF, 9, 9, 50}})},
                      WriteCase{"Run65AcrossABlock", 96, 1, Join({Ramp(30, 100), Bytes(65, 9), {50}}),
                                Join({Ramp(30, 100), {0xFF, 9, 0xC2, 9, 50}})},
                      WriteCase{"RunOverFourBlocks", 200, 1, Bytes(200, 0xC8),
                                {0xFF, 0xC8, 0xFF, 0xC8, 0xFF, 0xC8, 0xCB, 0xC8}},
                      WriteCase{"LongRunLeavesOne", 127, 1, Bytes(127, 7), {0xFF, 7, 0xFF, 7, 7}},
                      WriteCase{"LongHighRunLeavesOne", 190, 1, Bytes(190, 0xC8),
                                {0xFF, 0xC8, 0xFF, 0xC8, 0xFF, 0xC8, 0xC1, 0xC8}},
                      WriteCase{"LongLiteralStretches", 61, 1, Join({Ramp(40, 0x90), {0xC5}, Ramp(20, 0)}),
                                Join({Ramp(40, 0x90), {0xC1, 0xC5}, Ramp(20, 0)})},
                      WriteCase{"RowOfOneWholeBlock", 64, 1, Join({Ramp(62, 0), {3, 3}}), Join({Ramp(62, 0), {0xC2, 3}})},
                      WriteCase{"BlockRowsEndRuns", 66, 2, Bytes(132, 4), {0xFF, 4, 0xC3, 4, 0xFF, 4, 0xC3, 4}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(PcxWrite, ThreePlaneRowsAreRedGreenBlue) {
    TLinearBitmap bitmap;
    bitmap.New(2, 1, pfBGR24);
    const uint8_t bgr[] = {1, 2, 3, 1, 2, 4};
    std::memcpy(bitmap.Map.get(), bgr, sizeof bgr);
    const Bytes file = save(bitmap);
    EXPECT_EQ(file[65], 3);
    EXPECT_EQ(Bytes(file.begin() + 128, file.end()), (Bytes{3, 4, 0xC2, 2, 0xC2, 1}));
}

TEST(PcxWrite, SizesTheHeaderCannotHoldAreRefused) {
    TLinearBitmap bitmap;
    bitmap.New(65536, 1, pfIndexed8);
    EXPECT_EQ(messageOf<ELinearBitmap>([&] { save(bitmap); }), "Invalid bitmap size");
}

TEST(PcxRoundTrip, WrittenFilesReadBackAndImageMagickAgrees) {
    std::mt19937 random(7);
    TempDir dir;
    for (const uint8_t format : {pfIndexed8, pfBGR24, pfGray16}) {
        TLinearBitmap bitmap;
        bitmap.New(37, 5, format);
        for (int32_t i = 0; i < bitmap.Size; ++i) bitmap.Map[i] = static_cast<uint8_t>(random() % 4 * 60);
        if (format == pfIndexed8)
            for (int i = 0; i < PaletteBytes; ++i) bitmap.Palette[i] = static_cast<uint8_t>(random());
        const std::string path = dir / "image.pcx";
        bitmap.SaveToFile(path);
        TLinearBitmap back;
        back.LoadFromFile(path);
        const RGBImage expected = rgbOf(bitmap);
        EXPECT_EQ(firstDifference(rgbOf(back), expected), "") << int{format};
        EXPECT_EQ(firstDifference(decodeWithConvert(path), expected), "") << int{format};
    }
}

// ---------------------------------------------------------------- real files

struct SuiteCase {
    const char* file;
    const char* reference;  // "" compares with ImageMagick; an error message for refused files
};

TEST(PcxSuite, EightBitFilesMatchTheirReferenceOthersAreRefused) {
    PIXMORPH_REQUIRE_TESTDATA();
    const std::string unsupported = "Unsupported file format";
    const SuiteCase cases[] = {
        {"read/indexed8.pcx", "read/indexed8.png"},  {"read/ccbug_463951.pcx", "read/ccbug_463951.png"},
        {"read/rgb.pcx", "read/rgb.png"},            {"read/rgb-gimp-2.8.10.pcx", "read/rgb-gimp-2.8.10.png"},
        {"read/bw.pcx", "read/bw.png"},              {"write-basic/rgb.pcx", "write-basic/rgb.png"},
        {"write-basic/bw.pcx", "write-basic/bw.png"}, {"write-format/Format_Indexed8.pcx", ""},
        {"write-format/Format_Grayscale8.pcx", ""},  {"write-format/Format_RGB888.pcx", ""},
        {"write-format/Format_RGB16.pcx", ""},       {"write-format/Format_RGBX8888.pcx", ""},
        {"read/mono.pcx", "!"},                      {"read/16color.pcx", "!"},
        {"read/CGA_FSD.pcx", "!"},                   {"read/ICONDOC.pcx", "!"},
        {"read/indexed4.pcx", "!"},                  {"read/dice_rgba.pcx", "!"},
        {"write-basic/rgba.pcx", "!"},               {"write-format/Format_Mono.pcx", "!"},
    };
    for (const SuiteCase& c : cases) {
        const std::string path = testdata(std::string("pcx/kimageformats/") + c.file);
        TLinearBitmap bitmap;
        const std::string outcome = load(readFile(path), bitmap);
        if (std::string(c.reference) == "!") {
            EXPECT_EQ(outcome, unsupported) << c.file;
            continue;
        }
        ASSERT_EQ(outcome, "loaded") << c.file;
        const RGBImage reference = *c.reference ? decodePng(testdata(std::string("pcx/kimageformats/") + c.reference))
                                                : decodeWithConvert(path);
        ASSERT_FALSE(reference.empty()) << c.file;
        EXPECT_EQ(firstDifference(rgbOf(bitmap), reference), "") << c.file;
    }
}

}  // namespace
