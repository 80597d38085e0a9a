// The JPEG codec against libjpeg's own decoding with the same settings, over the test
// files, the photographs and files made with the features the codec must handle.
#include <gtest/gtest.h>

#include <jerror.h>

#include <algorithm>
#include <cstring>
#include <set>

#include "TestSupport.h"
#include "codecs/BMPLoader.h"
#include "codecs/JPEGLoader.h"
#include "codecs/JpegOracle.h"
#include "codecs/PNGLoader.h"
#include "codecs/ReferenceImages.h"
#include "image/LinarBitmap.h"
#include "platform/Exceptions.h"
#include "streams/MemStream.h"

using namespace testing_support;
namespace jo = jpeg_oracle;
using Bytes = std::vector<uint8_t>;

namespace {

std::string jpegError(int code) { return "JPEG error #" + std::to_string(code); }

void load(const Bytes& file, TLinearBitmap& bitmap) {
    TMemStream stream;
    if (!file.empty()) stream.Write(file.data(), static_cast<int64_t>(file.size()));
    stream.Seek(0);
    bitmap.LoadFromStream(stream, "JPG");
}

Bytes save(TLinearBitmap& bitmap) {
    TMemStream stream;
    bitmap.SaveToStream(stream, "JPG");
    Bytes file(static_cast<size_t>(stream.GetSize()));
    stream.Seek(0);
    stream.Read(file.data(), static_cast<int64_t>(file.size()));
    return file;
}

// A picture with smooth gradients and a few hard edges; components 1, 3 (RGB) or 4 (CMYK).
Bytes picture(int width, int height, int components) {
    Bytes pixels;
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            const int edge = (x / 11 + y / 7) % 2 ? 40 : 0;
            const int values[4] = {x * 255 / width, y * 255 / height, (x + y) * 127 / (width + height) + edge,
                                   (x * y) % 97 + 30};
            for (int c = 0; c < components; ++c) pixels.push_back(static_cast<uint8_t>(values[c]));
        }
    return pixels;
}

// Our image in libjpeg's layout (grey bytes or red, green, blue), "" when its pixel
// format and palette are what the codec promises for the number of components.
std::string samplesOf(const TLinearBitmap& bitmap, int components, Bytes& out) {
    out.clear();
    if (components == 1) {
        if (bitmap.PixelFormat != pfIndexed8) return "grey file not loaded as pfIndexed8";
        if (std::memcmp(bitmap.Palette.get(), GrayPalette, PaletteBytes) != 0) return "palette is not GrayPalette";
        for (int32_t y = 0; y < bitmap.Height; ++y) out.insert(out.end(), bitmap.ScanLine(y), bitmap.ScanLine(y) + bitmap.Width);
        return "";
    }
    if (bitmap.PixelFormat != pfBGR24) return "colour file not loaded as pfBGR24";
    for (int32_t y = 0; y < bitmap.Height; ++y) {
        const uint8_t* p = bitmap.ScanLine(y);
        for (int32_t x = 0; x < bitmap.Width; ++x, p += 3) out.insert(out.end(), {p[2], p[1], p[0]});
    }
    return "";
}

// "" when the codec loads exactly libjpeg's pixels, or fails exactly where libjpeg does
// with its message code; otherwise what differs.
std::string compareWithLibjpeg(const Bytes& file) {
    const jo::Decoded expected = jo::Decode(file);
    TLinearBitmap bitmap;
    try {
        load(file, bitmap);
    } catch (const EJPEG& e) {
        if (expected.ok) return "ours failed with " + e.Message() + ", libjpeg decoded it";
        return e.Message() == jpegError(expected.errorCode) ? "" : e.Message() + " where libjpeg gives #" +
                                                                     std::to_string(expected.errorCode);
    }
    if (!expected.ok) return "ours loaded, libjpeg refused with #" + std::to_string(expected.errorCode);
    if (bitmap.Width != expected.width || bitmap.Height != expected.height) return "size differs";
    Bytes ours;
    const std::string format = samplesOf(bitmap, expected.components, ours);
    if (!format.empty()) return format;
    const auto mismatch = std::mismatch(ours.begin(), ours.end(), expected.pixels.begin());
    if (mismatch.first != ours.end())
        return "sample " + std::to_string(mismatch.first - ours.begin()) + " is " + std::to_string(*mismatch.first) +
               ", libjpeg " + std::to_string(*mismatch.second);
    return "";
}

}  // namespace

TEST(JpegRegistry, ExtensionsFiltersAndPlaceInTheRegistry) {
    TJPEGLoader codec;
    const struct {
        const char* ext;
        bool load, save;
    } cases[] = {{"JPG", true, true}, {"JPEG", true, true}, {"JPE", true, false}, {"JFIF", false, false},
                 {"JP", false, false}, {"", false, false}};
    for (const auto& c : cases) {
        EXPECT_EQ(codec.CanLoad(c.ext), c.load) << c.ext;
        EXPECT_EQ(codec.CanSave(c.ext), c.save) << c.ext;
    }
    EXPECT_EQ(codec.GetLoadFilter(), "Joint Picture Expert Group (*.jpg,*.jpeg,*.jpe)|*.jpg;*.jpeg;*.jpe");
    EXPECT_EQ(codec.GetSaveFilter(), "Joint Picture Expert Group (*.jpg)|*.jpg");

    EXPECT_NE(dynamic_cast<TJPEGLoader*>(&Loaders->FindLoader("jpe")), nullptr);
    EXPECT_EQ(messageOf<EUnsupportedFileFormat>([] { Loaders->FindSaver("jpe"); }), "Unsupported file format: JPE");
    // Registered after the icon codec's slot and before the PNG and BMP codecs.
    int jpeg = -1, png = -1, bmp = -1;
    for (int i = 0; i < Loaders->Count; ++i) {
        if (dynamic_cast<TJPEGLoader*>(Loaders->Items[i])) jpeg = i;
        if (dynamic_cast<TPNGLoader*>(Loaders->Items[i])) png = i;
        if (dynamic_cast<TBMPLoader*>(Loaders->Items[i])) bmp = i;
    }
    EXPECT_GE(jpeg, 0);
    EXPECT_LT(jpeg, png);
    EXPECT_LT(png, bmp);
}

TEST(JpegLoading, EveryTestFileAndPhotographGivesLibjpegsPixelsOrItsError) {
    PIXMORPH_REQUIRE_TESTDATA();
    std::vector<std::string> paths;
    for (const std::string& folder : {std::string("jpeg/libjpeg-turbo"), std::string("photos")})
        for (const std::string& name : listDirectory(testdata(folder)))
            if (name.size() > 4 && name.substr(name.size() - 4) == ".jpg") paths.push_back(testdata(folder + "/" + name));
    ASSERT_GE(paths.size(), 6u);
    int refused = 0;
    for (const std::string& path : paths) {
        const Bytes file = readFile(path);
        EXPECT_EQ(compareWithLibjpeg(file), "") << path;
        refused += !jo::Decode(file).ok;
    }
    // The 12-bit file is refused by an 8-bit libjpeg; everything else decodes.
    EXPECT_EQ(refused, 1);
}

TEST(JpegLoading, EveryKindOfFileGivesLibjpegsPixels) {
    struct Case {
        const char* name;
        int components;
        jo::Encoding encoding;
        int width = 48, height = 40;
    };
    auto with = [](auto change) {
        jo::Encoding e;
        change(e);
        return e;
    };
    const Case cases[] = {
        {"grey", 1, {}},
        {"grey, progressive, arithmetic", 1, with([](jo::Encoding& e) { e.progressive = e.arithmetic = true; })},
        {"colour 4:2:0", 3, {}},
        {"colour 4:4:4 with restarts", 3, with([](jo::Encoding& e) { e.hSample = e.vSample = 1, e.restartRows = 1; })},
        {"colour 4:2:2", 3, with([](jo::Encoding& e) { e.vSample = 1; })},
        {"colour 4:4:0, progressive", 3, with([](jo::Encoding& e) { e.hSample = 1, e.progressive = true; })},
        {"colour, arithmetic", 3, with([](jo::Encoding& e) { e.arithmetic = true; })},
        {"colour, odd size", 3, {}, 33, 17},
        {"CMYK with Adobe's marker", 4, with([](jo::Encoding& e) { e.hSample = e.vSample = 1; })},
        {"CMYK without Adobe's marker", 4, with([](jo::Encoding& e) { e.hSample = e.vSample = 1, e.adobeMarker = false; })},
        {"YCCK", 4, with([](jo::Encoding& e) { e.ycck = true; })},
        {"YCCK, progressive", 4, with([](jo::Encoding& e) { e.ycck = e.progressive = true; })},
    };
    for (const Case& c : cases) {
        const Bytes file = jo::Encode(c.width, c.height, c.components, picture(c.width, c.height, c.components), c.encoding);
        ASSERT_FALSE(file.empty()) << c.name;
        ASSERT_TRUE(jo::Decode(file).ok) << c.name;
        EXPECT_EQ(compareWithLibjpeg(file), "") << c.name;
    }
}

TEST(JpegLoading, CmykFilesGiveTheColoursOfTheirInk) {
    // Flat 16 x 16 areas at quality 100 come back exactly. Adobe's files store 255 for no
    // ink, the others 0.
    const struct {
        const char* name;
        bool adobe;
        uint8_t c, m, y, k;
        uint8_t red, green, blue;
    } cases[] = {
        {"red, Adobe", true, 255, 0, 0, 255, 255, 0, 0},
        {"red", false, 0, 255, 255, 0, 255, 0, 0},
        {"half black, Adobe", true, 255, 255, 255, 128, 128, 128, 128},
        {"half black", false, 0, 0, 0, 128, 127, 127, 127},
        {"cyan over half black, Adobe", true, 0, 255, 255, 128, 0, 128, 128},
    };
    for (const auto& c : cases) {
        Bytes pixels;
        for (int i = 0; i < 16 * 16; ++i) pixels.insert(pixels.end(), {c.c, c.m, c.y, c.k});
        jo::Encoding encoding;
        encoding.quality = 100;
        encoding.hSample = encoding.vSample = 1;
        encoding.adobeMarker = c.adobe;
        TLinearBitmap bitmap;
        load(jo::Encode(16, 16, 4, pixels, encoding), bitmap);
        ASSERT_EQ(bitmap.PixelFormat, pfBGR24) << c.name;
        const uint8_t* p = bitmap.ScanLine(8) + 8 * 3;
        EXPECT_EQ(std::vector<int>({p[2], p[1], p[0]}), std::vector<int>({c.red, c.green, c.blue})) << c.name;
    }
}

TEST(JpegLoading, CmykFilesFromImageMagickLookAsImageMagickShowsThem) {
    TempDir dir;
    const int w = 40, h = 32;
    const Bytes rgb = picture(w, h, 3);
    std::string ppm = "P6\n" + std::to_string(w) + " " + std::to_string(h) + "\n255\n";
    writeFile(dir / "in.ppm", ppm + std::string(rgb.begin(), rgb.end()));
    ASSERT_EQ(runProgram({"/usr/bin/convert", dir / "in.ppm", "-colorspace", "CMYK", dir / "cmyk.jpg"}).exitCode, 0);
    const auto reference = reference_images::decodeWithConvert(dir / "cmyk.jpg");
    ASSERT_FALSE(reference.empty());
    TLinearBitmap bitmap;
    load(readFile(dir / "cmyk.jpg"), bitmap);
    Bytes ours;
    ASSERT_EQ(samplesOf(bitmap, 3, ours), "");
    ASSERT_EQ(ours.size(), reference.rgb.size());
    int worst = 0;
    for (size_t i = 0; i < ours.size(); ++i) worst = std::max(worst, std::abs(int(ours[i]) - int(reference.rgb[i])));
    EXPECT_LE(worst, 1);
}

TEST(JpegLoading, GreyFilesKeepAllTheirLevels) {
    Bytes ramp;
    for (int y = 0; y < 8; ++y)
        for (int x = 0; x < 256; ++x) ramp.push_back(static_cast<uint8_t>(x));
    jo::Encoding encoding;
    encoding.quality = 100;
    const Bytes file = jo::Encode(256, 8, 1, ramp, encoding);
    EXPECT_EQ(compareWithLibjpeg(file), "");
    TLinearBitmap bitmap;
    load(file, bitmap);
    const std::set<uint8_t> levels(bitmap.Map.get(), bitmap.Map.get() + bitmap.Size);
    EXPECT_EQ(levels.size(), 256u);
    EXPECT_TRUE(bitmap.IsGrayScale());
}

TEST(JpegLoading, DamagedFilesKeepTheRowsLibjpegMakesOfThem) {
    const Bytes whole = jo::Encode(48, 40, 3, picture(48, 40, 3));
    jo::Encoding progressive;
    progressive.progressive = true;
    const Bytes wholeProgressive = jo::Encode(48, 40, 3, picture(48, 40, 3), progressive);
    const size_t sos = [&] {
        for (size_t p = 0; p + 1 < whole.size(); ++p)
            if (whole[p] == 0xFF && whole[p + 1] == 0xDA) return p;
        return size_t{0};
    }();
    Bytes stray = whole;
    stray.insert(stray.begin() + static_cast<long>(sos), {0x12, 0x34, 0x56});
    Bytes trailing = whole;
    trailing.insert(trailing.end(), {'j', 'u', 'n', 'k'});
    const struct {
        const char* name;
        Bytes file;
        bool warns;
    } cases[] = {
        {"cut at 60%", Bytes(whole.begin(), whole.begin() + static_cast<long>(whole.size() * 6 / 10)), true},
        {"cut after the first scan's header", Bytes(whole.begin(), whole.begin() + static_cast<long>(sos + 20)), true},
        {"progressive, cut at half", Bytes(wholeProgressive.begin(), wholeProgressive.begin() + static_cast<long>(wholeProgressive.size() / 2)), true},
        {"stray bytes before a marker", stray, true},
        {"bytes after the end", trailing, false},
    };
    for (const auto& c : cases) {
        const jo::Decoded expected = jo::Decode(c.file);
        ASSERT_TRUE(expected.ok) << c.name;
        EXPECT_EQ(expected.warnings > 0, c.warns) << c.name;
        EXPECT_EQ(compareWithLibjpeg(c.file), "") << c.name;
    }
}

TEST(JpegLoading, DataLibjpegRefusesFailsWithItsMessageCodeAndNoImage) {
    Bytes baseline = jo::Encode(16, 16, 3, picture(16, 16, 3));
    Bytes twelveBits = baseline;
    for (size_t p = 0; p + 4 < twelveBits.size(); ++p)
        if (twelveBits[p] == 0xFF && twelveBits[p + 1] == 0xC0) {
            twelveBits[p + 1] = 0xC1;
            twelveBits[p + 4] = 12;
            break;
        }
    const struct {
        const char* name;
        Bytes file;
        int code;
    } cases[] = {
        {"empty", {}, JERR_INPUT_EMPTY},
        {"text", {'n', 'o', 't', ' ', 'j', 'p', 'e', 'g'}, JERR_NO_SOI},
        {"start and end only", {0xFF, 0xD8, 0xFF, 0xD9}, JERR_NO_IMAGE},
        {"12-bit samples", twelveBits, JERR_BAD_PRECISION},
    };
    for (const auto& c : cases) {
        TLinearBitmap bitmap;
        EXPECT_EQ(messageOf<EJPEG>([&] { load(c.file, bitmap); }), jpegError(c.code)) << c.name;
        EXPECT_FALSE(bitmap.Present) << c.name;
        EXPECT_EQ(compareWithLibjpeg(c.file), "") << c.name;
    }
}

TEST(JpegLoading, HeadersClaimingImagesNoBufferMayHoldFailBeforeDecoding) {
    jo::Encoding progressive;
    progressive.progressive = true;
    const struct {
        const char* name;
        Bytes file;
        int width, height;
        std::string message;
    } cases[] = {
        {"baseline 65000 x 65000", jo::Encode(16, 16, 3, picture(16, 16, 3)), 65000, 65000, "Invalid bitmap size"},
        {"progressive grey 60000 x 40000", jo::Encode(16, 16, 1, picture(16, 16, 1), progressive), 60000, 40000,
         "Invalid bitmap size"},
        {"beyond libjpeg's limit", jo::Encode(16, 16, 3, picture(16, 16, 3)), 65535, 65535,
         jpegError(JERR_IMAGE_TOO_BIG)},
    };
    for (auto c : cases) {
        for (size_t p = 0; p + 9 < c.file.size(); ++p)
            if (c.file[p] == 0xFF && (c.file[p + 1] == 0xC0 || c.file[p + 1] == 0xC2)) {
                c.file[p + 5] = static_cast<uint8_t>(c.height >> 8), c.file[p + 6] = static_cast<uint8_t>(c.height);
                c.file[p + 7] = static_cast<uint8_t>(c.width >> 8), c.file[p + 8] = static_cast<uint8_t>(c.width);
                break;
            }
        TLinearBitmap bitmap;
        std::string message = "<no exception>";
        try {
            load(c.file, bitmap);
        } catch (const Exception& e) {
            message = e.Message();
        }
        EXPECT_EQ(message, c.message) << c.name;
        EXPECT_FALSE(bitmap.Present) << c.name;
    }
}

TEST(JpegLoading, ProgressiveFilesWithEndlessScansAreRefused) {
    // A standard file has at most about 2800 scans (four components, 63 coefficients in
    // 11 steps each, and the DC steps); beyond that, scans repeat to waste time.
    jo::Encoding encoding;
    encoding.progressive = true;
    encoding.repeatLastScan = 100;
    const Bytes repeated = jo::Encode(24, 16, 3, picture(24, 16, 3), encoding);
    EXPECT_EQ(compareWithLibjpeg(repeated), "");
    encoding.repeatLastScan = 3100;
    const Bytes endless = jo::Encode(24, 16, 3, picture(24, 16, 3), encoding);
    ASSERT_TRUE(jo::Decode(endless).ok);
    TLinearBitmap bitmap;
    EXPECT_EQ(messageOf<EJPEG>([&] { load(endless, bitmap); }), jpegError(JERR_BAD_PROGRESSION));
}

namespace {

struct SavedFile {
    int components = 0;
    int frameMarker = 0;
    std::vector<std::vector<int>> tables;  // by table number, natural order
};

SavedFile inspect(const Bytes& file) {
    SavedFile saved;
    for (const jo::Segment& s : jo::HeaderSegments(file)) {
        if (s.marker >= 0xC0 && s.marker <= 0xC2) {
            saved.frameMarker = s.marker;
            saved.components = s.payload.size() > 5 ? s.payload[5] : 0;
        }
        if (s.marker == 0xDB)
            for (size_t p = 0; p + 65 <= s.payload.size(); p += 65) {
                const size_t id = s.payload[p] & 15;
                if (saved.tables.size() <= id) saved.tables.resize(id + 1);
                saved.tables[id] = jo::NaturalOrderTable(&s.payload[p + 1]);
            }
    }
    return saved;
}

}  // namespace

TEST(JpegSaving, EveryPixelFormatGivesABaselineQuality90FileCloseToTheImage) {
    const int w = 48, h = 40;
    const Bytes rgb = picture(w, h, 3), grey = picture(w, h, 1);
    // Each case builds its image and the colours (or grey levels) it shows.
    const struct {
        const char* name;
        uint8_t format;
        bool grey;
    } cases[] = {
        {"pfBGR24 colour", pfBGR24, false}, {"pfBGR24 grey", pfBGR24, true},     {"pfIndexed8 grey", pfIndexed8, true},
        {"pfIndexed8 colour", pfIndexed8, false}, {"pfGray16", pfGray16, true}, {"pfBGRX32 colour", pfBGRX32, false},
        {"pfBGRX32 grey", pfBGRX32, true},
    };
    for (const auto& c : cases) {
        TLinearBitmap image;
        image.New(w, h, c.format == pfIndexed8 && !c.grey ? uint8_t{pfBGR24} : c.format);
        Bytes shown;
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) {
                const size_t i = static_cast<size_t>(y * w + x);
                const uint8_t r = c.grey ? grey[i] : rgb[3 * i], g = c.grey ? grey[i] : rgb[3 * i + 1],
                              b = c.grey ? grey[i] : rgb[3 * i + 2];
                uint8_t* p = image.ScanLine(y) + x * image.PixelSize;
                switch (image.PixelFormat) {
                    case pfIndexed8: p[0] = g; break;
                    case pfGray16: p[0] = 0x5A, p[1] = g; break;
                    default: p[0] = b, p[1] = g, p[2] = r; if (image.PixelSize == 4) p[3] = 0xEE;
                }
            }
        if (c.format == pfIndexed8) {
            if (c.grey) std::memcpy(image.Palette.get(), GrayPalette, PaletteBytes);
            else image.ChangePixelFormat(pfIndexed8);  // the 3-3-2 cube: colours of its palette
        }
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) {
                const uint8_t* p = image.ScanLine(y) + x * image.PixelSize;
                if (c.grey) {
                    shown.push_back(image.PixelFormat == pfGray16 ? p[1] : p[0]);
                } else if (image.PixelFormat == pfIndexed8) {
                    const uint8_t* e = image.Palette.get() + 3 * p[0];
                    shown.insert(shown.end(), {e[2], e[1], e[0]});
                } else {
                    shown.insert(shown.end(), {p[2], p[1], p[0]});
                }
            }

        const Bytes file = save(image);
        const SavedFile saved = inspect(file);
        EXPECT_EQ(saved.frameMarker, 0xC0) << c.name;
        EXPECT_EQ(saved.components, c.grey ? 1 : 3) << c.name;
        ASSERT_EQ(saved.tables.size(), c.grey ? 1u : 2u) << c.name;
        EXPECT_EQ(saved.tables[0], jo::ScaledTable(false, 90)) << c.name;
        if (!c.grey) {
            EXPECT_EQ(saved.tables[1], jo::ScaledTable(true, 90)) << c.name;
        }
        // libjpeg given the colours the image shows, with the same settings, makes a file
        // that decodes to the same pixels.
        const jo::Decoded decoded = jo::Decode(file);
        ASSERT_TRUE(decoded.ok) << c.name;
        const jo::Decoded expected = jo::Decode(jo::Encode(w, h, c.grey ? 1 : 3, shown));
        EXPECT_EQ(decoded.pixels, expected.pixels) << c.name;
        EXPECT_GE(jo::Psnr(decoded.pixels, shown), c.format == pfIndexed8 && !c.grey ? 25.0 : 30.0) << c.name;
    }
}

TEST(JpegSaving, AnEmptyImageAndJpeFilesAreRefused) {
    TLinearBitmap empty;
    EXPECT_EQ(messageOf<ELinearBitmap>([&] { save(empty); }), "Invalid bitmap size");
    TempDir dir;
    TLinearBitmap image;
    image.New(4, 4, pfBGR24);
    image.Clear(0xFF);
    EXPECT_EQ(messageOf<EUnsupportedFileFormat>([&] { image.SaveToFile(dir / "x.jpe"); }), "Unsupported file format: JPE");
    image.SaveToFile(dir / "x.jpeg");
    TLinearBitmap back;
    back.LoadFromFile(dir / "x.jpeg");
    EXPECT_EQ(back.Width, 4);
}

TEST(MakeGrayscale8, WorkedExamples) {
    // (2 * red + 3 * green + blue + 3) div 6: red 255 -> 85, green 255 -> 128, white -> 255.
    for (uint8_t format : {pfBGR24, pfBGRX32}) {
        TLinearBitmap image;
        image.New(3, 1, format);
        image.FillBytes(0);
        const uint8_t colours[3][3] = {{0, 0, 255}, {0, 255, 0}, {255, 255, 255}};
        for (int x = 0; x < 3; ++x) std::memcpy(image.ScanLine(0) + x * image.PixelSize, colours[x], 3);
        MakeGrayscale8(image);
        ASSERT_EQ(image.PixelFormat, pfIndexed8);
        EXPECT_EQ(std::vector<int>(image.ScanLine(0), image.ScanLine(0) + 3), std::vector<int>({85, 128, 255}));
        EXPECT_TRUE(image.IsGrayScale());
    }
    TLinearBitmap indexed;
    indexed.New(2, 1, pfIndexed8);
    std::memset(indexed.Palette.get(), 0, PaletteBytes);
    indexed.Palette[3 * 7 + 2] = 255;  // entry 7: red
    indexed.Palette[3 * 9 + 0] = 255;  // entry 9: blue
    indexed.ScanLine(0)[0] = 7;
    indexed.ScanLine(0)[1] = 9;
    MakeGrayscale8(indexed);
    EXPECT_EQ(std::vector<int>(indexed.ScanLine(0), indexed.ScanLine(0) + 2), std::vector<int>({85, 43}));
    EXPECT_TRUE(indexed.IsGrayScale());
}
