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
#include "image/LinarBitmap.h"
#include "jpeg/JPEGError.h"
#include "platform/Exceptions.h"
#include "streams/MemStream.h"

using namespace testing_support;
namespace jo = jpeg_oracle;
using jo::Bytes;

namespace {

std::string jpegError(int code) { return "JPEG error #" + std::to_string(code); }

void load(const Bytes& file, TLinearBitmap& bitmap) {
    TMemStream stream;
    stream.Write(file.data(), static_cast<int64_t>(file.size()));
    stream.Seek(0);
    bitmap.LoadFromStream(stream, "JPG");
}

// Smooth gradients with a few hard edges; components 1 (grey), 3 (RGB) or 4 (CMYK).
Bytes picture(int width, int height, int components) {
    Bytes pixels;
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            const int values[4] = {x * 255 / (width - 1), y * 255 / height, (x + y) * 2 + ((x / 11 + y / 7) % 2 ? 40 : 0),
                                   (x * y) % 97 + 30};
            for (int c = 0; c < components; ++c) pixels.push_back(static_cast<uint8_t>(values[c]));
        }
    return pixels;
}

// Our pixels in libjpeg's layout (grey, or red, green, blue), or a note on what is wrong
// with the pixel format: grey files must give pfIndexed8 with GrayPalette, others pfBGR24.
std::string samplesOf(const TLinearBitmap& bitmap, int components, Bytes& out) {
    const bool grey = components == 1;
    if (bitmap.PixelFormat != (grey ? pfIndexed8 : pfBGR24)) return "pixel format " + std::to_string(bitmap.PixelFormat);
    if (grey && std::memcmp(bitmap.Palette.get(), GrayPalette, PaletteBytes) != 0) return "not GrayPalette";
    out.clear();
    for (int32_t y = 0; y < bitmap.Height; ++y)
        for (const uint8_t* p = bitmap.ScanLine(y); p < bitmap.ScanLine(y) + bitmap.Width * bitmap.PixelSize; p += bitmap.PixelSize)
            if (grey)
                out.push_back(p[0]);
            else
                out.insert(out.end(), {p[2], p[1], p[0]});
    return "";
}

// "" when the codec loads exactly libjpeg's pixels, or fails where libjpeg does with its
// message code; otherwise what differs.
std::string compareWithLibjpeg(const Bytes& file) {
    const jo::Decoded expected = jo::Decode(file);
    TLinearBitmap bitmap;
    try {
        load(file, bitmap);
    } catch (const EJPEG& e) {
        return !expected.ok && e.Message() == jpegError(expected.errorCode) ? "" : "ours: " + e.Message();
    }
    if (!expected.ok) return "libjpeg refused it with #" + std::to_string(expected.errorCode);
    if (bitmap.Width != expected.width || bitmap.Height != expected.height) return "size differs";
    Bytes ours;
    const std::string format = samplesOf(bitmap, expected.components, ours);
    return !format.empty() ? format : ours == expected.pixels ? "" : "pixels differ";
}

void patchFrameSize(Bytes& file, int width, int height) {
    for (size_t p = 0; p + 9 < file.size(); ++p)
        if (file[p] == 0xFF && (file[p + 1] == 0xC0 || file[p + 1] == 0xC2)) {
            const uint8_t size[4] = {uint8_t(height >> 8), uint8_t(height), uint8_t(width >> 8), uint8_t(width)};
            std::memcpy(&file[p + 5], size, 4);
            return;
        }
}

}  // namespace

TEST(JpegRegistry, ExtensionsFiltersAndPlaceInTheRegistry) {
    TJPEGLoader codec;
    for (const char* ext : {"JPG", "JPEG", "JPE", "JFIF", "JP", ""}) {
        const std::string e = ext;
        EXPECT_EQ(codec.CanLoad(e), e == "JPG" || e == "JPEG" || e == "JPE") << e;
        EXPECT_EQ(codec.CanSave(e), e == "JPG" || e == "JPEG") << e;
    }
    EXPECT_EQ(codec.GetLoadFilter(), "Joint Picture Expert Group (*.jpg,*.jpeg,*.jpe)|*.jpg;*.jpeg;*.jpe");
    EXPECT_EQ(codec.GetSaveFilter(), "Joint Picture Expert Group (*.jpg)|*.jpg");
    EXPECT_EQ(messageOf<EUnsupportedFileFormat>([] { Loaders->FindSaver("jpe"); }), "Unsupported file format: JPE");
    // After the icon codec's slot, before the PNG and BMP codecs.
    std::vector<std::string> order;
    for (int i = 0; i < Loaders->Count; ++i) order.push_back(Loaders->Items[i]->ClassName());
    const auto at = [&](const char* name) { return std::find(order.begin(), order.end(), name) - order.begin(); };
    EXPECT_LT(at("TJPEGLoader"), at("TPNGLoader"));
    EXPECT_LT(at("TPNGLoader"), at("TBMPLoader"));
}

TEST(JpegLoading, EveryTestFileAndPhotographGivesLibjpegsPixelsOrItsError) {
    PIXMORPH_REQUIRE_TESTDATA();
    int files = 0, refused = 0;
    for (const std::string folder : {"jpeg/libjpeg-turbo", "photos"})
        for (const std::string& name : listDirectory(testdata(folder))) {
            if (name.size() < 4 || name.substr(name.size() - 4) != ".jpg") continue;
            const Bytes file = readFile(testdata(folder + "/" + name));
            EXPECT_EQ(compareWithLibjpeg(file), "") << name;
            ++files;
            refused += !jo::Decode(file).ok;
        }
    EXPECT_EQ(files, 6);
    EXPECT_EQ(refused, 1);  // the 12-bit file
}

TEST(JpegLoading, EveryKindOfFileGivesLibjpegsPixels) {
    struct Case {
        const char* name;
        int components;
        jo::Encoding e;
    };
    std::vector<Case> cases(12);
    cases[0] = {"grey", 1, {}};
    cases[1] = {"grey, progressive, arithmetic", 1, {}}, cases[1].e.progressive = cases[1].e.arithmetic = true;
    cases[2] = {"colour 4:2:0", 3, {}};
    cases[3] = {"4:4:4 with restarts", 3, {}}, cases[3].e.hSample = cases[3].e.vSample = 1, cases[3].e.restartRows = 1;
    cases[4] = {"4:2:2", 3, {}}, cases[4].e.vSample = 1;
    cases[5] = {"4:4:0 progressive", 3, {}}, cases[5].e.hSample = 1, cases[5].e.progressive = true;
    cases[6] = {"arithmetic", 3, {}}, cases[6].e.arithmetic = true;
    cases[7] = {"CMYK, Adobe", 4, {}}, cases[7].e.hSample = cases[7].e.vSample = 1;
    cases[8] = {"CMYK", 4, cases[7].e}, cases[8].e.adobeMarker = false;
    cases[9] = {"YCCK", 4, {}}, cases[9].e.ycck = true;
    cases[10] = {"YCCK progressive", 4, cases[9].e}, cases[10].e.progressive = true;
    cases[11] = {"grey, quality 100 (all 256 levels)", 1, {}}, cases[11].e.quality = 100;
    for (const Case& c : cases)
        for (auto [w, h] : {std::pair{48, 40}, std::pair{256, 9}}) {
            const Bytes file = jo::Encode(w, h, c.components, picture(w, h, c.components), c.e);
            ASSERT_TRUE(jo::Decode(file).ok) << c.name;
            EXPECT_EQ(compareWithLibjpeg(file), "") << c.name << " " << w;
        }
    // No reduction to fewer grey levels: a ramp through all 256 keeps them all.
    TLinearBitmap ramp;
    load(jo::Encode(256, 9, 1, picture(256, 9, 1), cases[11].e), ramp);
    EXPECT_EQ(std::set<uint8_t>(ramp.Map.get(), ramp.Map.get() + ramp.Size).size(), 256u);
}

TEST(JpegLoading, CmykFilesGiveTheColoursOfTheirInk) {
    // Flat areas at quality 100 come back exactly. Adobe's files store 255 for no ink.
    const struct {
        bool adobe;
        uint8_t c, m, y, k;
        std::vector<int> rgb;
    } cases[] = {
        {true, 255, 0, 0, 255, {255, 0, 0}},   {false, 0, 255, 255, 0, {255, 0, 0}},
        {true, 255, 255, 255, 128, {128, 128, 128}}, {false, 0, 0, 0, 128, {127, 127, 127}},
        {true, 0, 255, 255, 128, {0, 128, 128}},
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
        const uint8_t* p = bitmap.ScanLine(8) + 8 * 3;
        EXPECT_EQ(std::vector<int>({p[2], p[1], p[0]}), c.rgb) << c.adobe << " " << int(c.k);
    }
}

TEST(JpegLoading, DamagedFilesKeepTheRowsLibjpegMakesOfThem) {
    const Bytes whole = jo::Encode(48, 40, 3, picture(48, 40, 3));
    jo::Encoding progressive;
    progressive.progressive = true;
    const Bytes wholeProgressive = jo::Encode(48, 40, 3, picture(48, 40, 3), progressive);
    size_t sos = 0;  // where the first scan's header starts
    while (sos + 1 < whole.size() && !(whole[sos] == 0xFF && whole[sos + 1] == 0xDA)) ++sos;
    Bytes stray = whole, trailing = whole, tall = whole;
    stray.insert(stray.begin() + static_cast<long>(sos), {0x12, 0x34, 0x56});
    // Data for 3 of 250 rows of blocks: the rows behind it are filled as libjpeg fills them.
    patchFrameSize(tall, 48, 4000);
    trailing.insert(trailing.end(), {'j', 'u', 'n', 'k'});
    const std::pair<Bytes, bool> cases[] = {
        {Bytes(whole.begin(), whole.begin() + static_cast<long>((sos + whole.size()) / 2)), true},
        {Bytes(whole.begin(), whole.begin() + static_cast<long>(sos + 20)), true},
        {Bytes(wholeProgressive.begin(), wholeProgressive.end() - static_cast<long>(wholeProgressive.size() / 4)), true},
        {stray, true},
        {tall, true},
        {trailing, false},
    };
    for (const auto& [file, warns] : cases) {
        const jo::Decoded expected = jo::Decode(file);
        ASSERT_TRUE(expected.ok) << file.size() << " #" << expected.errorCode;
        EXPECT_EQ(expected.warnings > 0, warns) << file.size();
        EXPECT_EQ(compareWithLibjpeg(file), "") << file.size();
    }
}

TEST(JpegLoading, BadDataFailsWithLibjpegsCodeOrTheSizeErrorAndNoImage) {
    Bytes twelveBits = jo::Encode(16, 16, 3, picture(16, 16, 3));
    for (size_t p = 0; p + 4 < twelveBits.size(); ++p)
        if (twelveBits[p] == 0xFF && twelveBits[p + 1] == 0xC0) {
            twelveBits[p + 1] = 0xC1, twelveBits[p + 4] = 12;
            break;
        }
    jo::Encoding progressive;
    progressive.progressive = true;
    Bytes huge = jo::Encode(16, 16, 3, picture(16, 16, 3)), hugeGrey = jo::Encode(16, 16, 1, picture(16, 16, 1), progressive),
          tooBig = huge;
    patchFrameSize(huge, 65000, 65000);
    patchFrameSize(hugeGrey, 60000, 40000);
    patchFrameSize(tooBig, 65535, 65535);
    // Real encoders write a few dozen scans at most; a scan that sends again what an
    // earlier one sent, or thousands of scans, only waste time.
    progressive.repeatLastScan = 3100;
    const Bytes endless = jo::Encode(24, 16, 3, picture(24, 16, 3), progressive);
    ASSERT_TRUE(jo::Decode(endless).ok);
    progressive.repeatLastScan = 1;
    const Bytes repeated = jo::Encode(24, 16, 3, picture(24, 16, 3), progressive);
    const std::pair<Bytes, std::string> cases[] = {
        {{}, jpegError(JERR_INPUT_EMPTY)},
        {{'n', 'o', 't', ' ', 'j', 'p', 'e', 'g'}, jpegError(JERR_NO_SOI)},
        {{0xFF, 0xD8, 0xFF, 0xD9}, jpegError(JERR_NO_IMAGE)},
        {twelveBits, jpegError(JERR_BAD_PRECISION)},
        {tooBig, jpegError(JERR_IMAGE_TOO_BIG)},
        {endless, jpegError(JERR_BAD_PROGRESSION)},
        {repeated, jpegError(JERR_BAD_PROGRESSION)},
        {huge, "Invalid bitmap size"},
        {hugeGrey, "Invalid bitmap size"},
    };
    for (const auto& c : cases) {
        TLinearBitmap bitmap;
        EXPECT_EQ(messageOf<Exception>([&] { load(c.first, bitmap); }), c.second);
        EXPECT_FALSE(bitmap.Present) << c.second;
    }
}

TEST(JpegSaving, EveryPixelFormatGivesABaselineQuality90FileOfTheColoursItShows) {
    const int w = 48, h = 40;
    const Bytes rgb = picture(w, h, 3), grey = picture(w, h, 1);
    for (uint8_t format : {pfBGR24, pfIndexed8, pfGray16, pfBGRX32})
        for (bool isGrey : {false, true}) {
            if (format == pfGray16 && !isGrey) continue;
            TLinearBitmap image;
            image.New(w, h, format == pfBGRX32 ? pfBGRX32 : pfBGR24);
            for (int i = 0; i < w * h; ++i) {
                uint8_t* p = image.Map.get() + i * image.PixelSize;
                for (int c = 0; c < image.PixelSize; ++c) p[c] = isGrey ? grey[i] : c < 3 ? rgb[3 * i + 2 - c] : 0xEE;
            }
            if (format == pfIndexed8 || format == pfGray16) image.ChangePixelFormat(pfIndexed8);  // 3-3-2 cube
            if (format == pfIndexed8 && isGrey) std::memcpy(image.Map.get(), grey.data(), grey.size());
            if (isGrey && format != pfBGR24 && format != pfBGRX32) std::memcpy(image.Palette.get(), GrayPalette, PaletteBytes);
            if (format == pfGray16) {
                TLinearBitmap sixteen;
                sixteen.New(w, h, pfGray16);
                for (int i = 0; i < w * h; ++i) sixteen.Map[2 * i] = 0x5A, sixteen.Map[2 * i + 1] = grey[i];
                image.TakeOver(sixteen);
            }
            // What the image shows, through its palette where it has one.
            Bytes shown;
            TLinearBitmap copy(image);
            copy.ChangePixelFormat(pfBGR24);
            for (int i = 0; i < w * h; ++i) {
                const uint8_t* p = copy.Map.get() + 3 * i;
                if (isGrey)
                    shown.push_back(p[1]);
                else
                    shown.insert(shown.end(), {p[2], p[1], p[0]});
            }
            TMemStream stream;
            image.SaveToStream(stream, "JPG");
            Bytes file(static_cast<size_t>(stream.GetSize()));
            stream.Seek(0);
            stream.Read(file.data(), static_cast<int64_t>(file.size()));

            const std::string name = std::to_string(format) + (isGrey ? " grey" : " colour");
            std::vector<std::vector<int>> tables;
            int frame = 0, components = 0;
            for (const jo::Segment& s : jo::HeaderSegments(file)) {
                if (s.marker == 0xDB) tables.push_back(jo::NaturalOrderTable(&s.payload[1]));
                if (s.marker >= 0xC0 && s.marker <= 0xC2) frame = s.marker, components = s.payload[5];
            }
            EXPECT_EQ(frame, 0xC0) << name;
            EXPECT_EQ(components, isGrey ? 1 : 3) << name;
            ASSERT_FALSE(tables.empty()) << name;
            EXPECT_EQ(tables[0], jo::ScaledTable(false, 90)) << name;
            // libjpeg, given the colours the image shows, writes a file of the same pixels.
            EXPECT_EQ(jo::Decode(file).pixels, jo::Decode(jo::Encode(w, h, isGrey ? 1 : 3, shown)).pixels) << name;
        }
    TLinearBitmap empty;
    TMemStream stream;
    EXPECT_EQ(messageOf<ELinearBitmap>([&] { empty.SaveToStream(stream, "JPG"); }), "Invalid bitmap size");
}

TEST(MakeGrayscale8, WorkedExamples) {
    // (2 * red + 3 * green + blue + 3) div 6: red -> 85, green -> 128, blue -> 43, white -> 255.
    const uint8_t colours[4][3] = {{0, 0, 255}, {0, 255, 0}, {255, 0, 0}, {255, 255, 255}};
    for (uint8_t format : {pfBGR24, pfBGRX32, pfIndexed8}) {
        TLinearBitmap image;
        image.New(4, 1, format);
        image.FillBytes(0);
        for (int x = 0; x < 4; ++x)
            std::memcpy(format == pfIndexed8 ? &image.Palette[3 * (x + 10)] : image.ScanLine(0) + x * image.PixelSize, colours[x], 3);
        if (format == pfIndexed8)
            for (int x = 0; x < 4; ++x) image.ScanLine(0)[x] = static_cast<uint8_t>(x + 10);
        MakeGrayscale8(image);
        ASSERT_EQ(image.PixelFormat, pfIndexed8);
        EXPECT_EQ(std::vector<int>(image.ScanLine(0), image.ScanLine(0) + 4), std::vector<int>({85, 128, 43, 255}));
        EXPECT_TRUE(image.IsGrayScale());
    }
}
