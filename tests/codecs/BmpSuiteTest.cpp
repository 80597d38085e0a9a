#include <gtest/gtest.h>

#include <algorithm>
#include <map>

#include "TestSupport.h"
#include "codecs/ReferenceImages.h"
#include "codecs/UniDIB.h"
#include "platform/Exceptions.h"
#include "picture/Graphics.h"
#include "platform/Stream.h"

using namespace testing_support;
using namespace reference_images;

namespace {

// The own reader's picture; empty when it refuses the file as no bitmap.
RGBImage ownReader(const std::string& path) {
    host::TMemoryStream stream;
    stream.LoadFromFile(path);
    host::TBitmap bitmap;
    RGBImage image;
    try {
        ReadUniDIB(stream, bitmap);
    } catch (const ELinearBitmap&) {
        throw;
    } catch (const Exception&) {
        return image;
    }
    image.width = bitmap.Width();
    image.height = bitmap.Height();
    for (int32_t y = 0; y < bitmap.Height(); ++y) {
        const uint8_t* row = bitmap.ScanLine(y);
        for (int32_t x = 0; x < bitmap.Width(); ++x)
            image.rgb.insert(image.rgb.end(), {row[3 * x + 2], row[3 * x + 1], row[3 * x]});
    }
    return image;
}

}  // namespace

TEST(BmpSuiteOwnReader, EveryGoodFileMatchesTheReference) {
    PIXMORPH_REQUIRE_TESTDATA();
    const auto names = bmpSuiteFiles("g");
    ASSERT_GE(names.size(), 20u);
    for (const std::string& name : names) {
        SCOPED_TRACE(name);
        const RGBImage reference = bmpSuiteReference("g", name);
        ASSERT_FALSE(reference.empty());
        const RGBImage ours = ownReader(testdata("bmpsuite/g/" + name));
        ASSERT_FALSE(ours.empty());
        EXPECT_EQ(firstDifference(ours, reference), "");
    }
}

namespace {

// Questionable files that show a picture the suite renders: they must load with its colours.
const std::vector<std::string> questionableMatching = {
    "pal1p1",        "pal2",          "pal2color",      "pal4rlecut",    "pal8offs",       "pal8os2-hs",
    "pal8os2-sz",    "pal8os2sp",     "pal8os2v2",      "pal8os2v2-40sz", "pal8os2v2-sz",  "pal8oversizepal",
    "pal8rlecut",    "rgb16-231",     "rgb16-3103",     "rgb24largepal", "rgb24lprof",     "rgb24prof",
    "rgb24prof2",    "rgb32-7187",    "rgb32-xbgr",     "rgb32fakealpha", "rgb32h52",      "rgba32-1",
    "rgba32-2",      "rgba32-61754",  "rgba32-81284",   "rgba32h56"};

// The rest of the questionable files either load or are refused with a result code or
// one of the image errors; so do the bad ones.
std::string outcome(const std::string& path) {
    try {
        return ownReader(path).empty() ? "refused" : "loaded";
    } catch (const ELinearBitmap& e) {
        return e.Message();
    }
}

}  // namespace

TEST(BmpSuiteOwnReader, QuestionableFilesLoadWithTheirColoursOrAreRefused) {
    PIXMORPH_REQUIRE_TESTDATA();
    for (const std::string& base : questionableMatching) {
        SCOPED_TRACE(base);
        std::string reference = base;
        if (base.rfind("pal8os2", 0) == 0 || base == "pal8oversizepal") reference = "pal8";
        const std::string png = testdata("bmpsuite/html/" + reference + ".png");
        const RGBImage expected = fileExists(png) ? decodePng(png) : decodeWithConvert(testdata("bmpsuite/q/" + base + ".bmp"));
        ASSERT_FALSE(expected.empty());
        EXPECT_EQ(firstDifference(ownReader(testdata("bmpsuite/q/" + base + ".bmp")), expected), "");
    }
    for (const std::string& name : bmpSuiteFiles("q")) {
        const std::string result = outcome(testdata("bmpsuite/q/" + name));
        EXPECT_TRUE(result == "loaded" || result == "refused") << name << ": " << result;
    }
    // JPEG, PNG, RLE24 and 64-bit pixels are not decoded; Huffman-coded rows are taken raw.
    EXPECT_EQ(outcome(testdata("bmpsuite/q/pal1huffmsb.bmp")), "loaded");
    for (const char* name : {"rgb24jpeg", "rgb24png", "rgb24rle24", "rgba64"})
        EXPECT_EQ(outcome(testdata(std::string("bmpsuite/q/") + name + ".bmp")), "refused") << name;
}

TEST(BmpSuiteOwnReader, BadFilesFailCleanlyOrLoadWhatTheyCan) {
    PIXMORPH_REQUIRE_TESTDATA();
    const std::map<std::string, std::string> expected = {
        {"badbitcount.bmp", "refused"},        {"badheadersize.bmp", "refused"},
        {"badplanes.bmp", "refused"},          {"badrle.bmp", "Error in bitmap data"},
        {"badrle4.bmp", "Error in bitmap data"}, {"badrle4bis.bmp", "Error in bitmap data"},
        {"badrle4ter.bmp", "Error in bitmap data"}, {"badrlebis.bmp", "Error in bitmap data"},
        {"badrleter.bmp", "Error in bitmap data"}, {"badwidth.bmp", "Invalid bitmap size"},
        {"reallybig.bmp", "Invalid bitmap size"}};
    for (const std::string& name : bmpSuiteFiles("b")) {
        const auto known = expected.find(name);
        EXPECT_EQ(outcome(testdata("bmpsuite/b/" + name)), known == expected.end() ? "loaded" : known->second) << name;
    }
}
