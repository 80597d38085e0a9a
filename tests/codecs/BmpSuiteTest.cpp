#include <gtest/gtest.h>

#include <algorithm>
#include <map>

#include "TestSupport.h"
#include "codecs/ReferenceImages.h"
#include "codecs/UniDIB.h"
#include "platform/Exceptions.h"
#include "platform/Stream.h"

using namespace testing_support;
using namespace reference_images;

namespace {

std::vector<std::string> bmpFiles(const std::string& folder) {
    std::vector<std::string> names;
    for (const std::string& name : listDirectory(testdata("bmpsuite/" + folder)))
        if (name.size() > 4 && name.substr(name.size() - 4) == ".bmp") names.push_back(name);
    std::sort(names.begin(), names.end());
    return names;
}

// Files of the suite that show the same picture as another file's rendering (ImageMagick
// finds no differing pixel between each file and that rendering; for the 16-bit ones the
// suite's renderings scale 5- and 6-bit channels with rounding, v * 255 / 31, where
// ImageMagick replicates bits).
const std::map<std::string, std::string> sameRendering = {
    {"pal1wb", "pal1"},        {"pal4rle", "pal4"},          {"pal8-0", "pal8"},
    {"pal8nonsquare", "pal8nonsquare-e"},                    {"pal8os2", "pal8"},
    {"pal8rle", "pal8"},       {"pal8topdown", "pal8"},      {"pal8v4", "pal8"},
    {"pal8v5", "pal8"},        {"rgb16-565pal", "rgb16-565"}, {"rgb16bfdef", "rgb16"},
    {"rgb24pal", "rgb24"},     {"rgb32", "rgb24"},           {"rgb32bf", "rgb24"},
    {"rgb32bfdef", "rgb24"}};

// The BMP Suite's own rendering where it has one, otherwise ImageMagick's decoding.
RGBImage referenceFor(const std::string& folder, const std::string& name) {
    std::string base = name.substr(0, name.size() - 4);
    if (auto same = sameRendering.find(base); same != sameRendering.end()) base = same->second;
    const std::string png = testdata("bmpsuite/html/" + base + ".png");
    if (fileExists(png)) return decodePng(png);
    return decodeWithConvert(testdata("bmpsuite/" + folder + "/" + name));
}

RGBImage ownReader(const std::string& path) {
    host::TMemoryStream stream;
    stream.LoadFromFile(path);
    std::unique_ptr<TUniDIB> dib;
    RGBImage image;
    if (ReadUniDIB(stream, dib) != dibOK) return image;
    image.width = dib->Width;
    image.height = dib->Height;
    image.rgb.resize(static_cast<size_t>(dib->Width) * dib->Height * 3);
    for (int32_t y = 0; y < dib->Height; ++y) dib->RowToBGR(y, image.rgb.data() + static_cast<size_t>(y) * dib->Width * 3);
    for (size_t i = 0; i < image.rgb.size(); i += 3) std::swap(image.rgb[i], image.rgb[i + 2]);
    return image;
}

}  // namespace

TEST(BmpSuiteOwnReader, EveryGoodFileMatchesTheReference) {
    const auto names = bmpFiles("g");
    ASSERT_GE(names.size(), 20u);
    for (const std::string& name : names) {
        SCOPED_TRACE(name);
        const RGBImage reference = referenceFor("g", name);
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
    for (const std::string& base : questionableMatching) {
        SCOPED_TRACE(base);
        std::string reference = base;
        if (base.rfind("pal8os2", 0) == 0 || base == "pal8oversizepal") reference = "pal8";
        const std::string png = testdata("bmpsuite/html/" + reference + ".png");
        const RGBImage expected = fileExists(png) ? decodePng(png) : decodeWithConvert(testdata("bmpsuite/q/" + base + ".bmp"));
        ASSERT_FALSE(expected.empty());
        EXPECT_EQ(firstDifference(ownReader(testdata("bmpsuite/q/" + base + ".bmp")), expected), "");
    }
    for (const std::string& name : bmpFiles("q")) {
        const std::string result = outcome(testdata("bmpsuite/q/" + name));
        EXPECT_TRUE(result == "loaded" || result == "refused") << name << ": " << result;
    }
    // Huffman-coded, JPEG, PNG, RLE24 and 64-bit pixels are not decoded.
    for (const char* name : {"pal1huffmsb", "rgb24jpeg", "rgb24png", "rgb24rle24", "rgba64"})
        EXPECT_EQ(outcome(testdata(std::string("bmpsuite/q/") + name + ".bmp")), "refused") << name;
}

TEST(BmpSuiteOwnReader, BadFilesFailCleanlyOrLoadWhatTheyCan) {
    const std::map<std::string, std::string> expected = {
        {"badbitcount.bmp", "refused"},        {"badheadersize.bmp", "refused"},
        {"badplanes.bmp", "refused"},          {"badrle.bmp", "Error in bitmap data"},
        {"badrle4.bmp", "Error in bitmap data"}, {"badrle4bis.bmp", "Error in bitmap data"},
        {"badrle4ter.bmp", "Error in bitmap data"}, {"badrlebis.bmp", "Error in bitmap data"},
        {"badrleter.bmp", "Error in bitmap data"}, {"badwidth.bmp", "Invalid bitmap size"},
        {"reallybig.bmp", "Invalid bitmap size"}};
    for (const std::string& name : bmpFiles("b")) {
        const auto known = expected.find(name);
        EXPECT_EQ(outcome(testdata("bmpsuite/b/" + name)), known == expected.end() ? "loaded" : known->second) << name;
    }
}
