// The platform's JPEG picture: its decoding and compression settings against libjpeg's,
// and its place among the picture framework's classes.
#include <gtest/gtest.h>

#include <cstring>

#include "TestSupport.h"
#include "codecs/JpegOracle.h"
#include "platform/Exceptions.h"
#include "platform/Graphics.h"
#include "platform/JPEGImage.h"
#include "platform/Stream.h"

using namespace testing_support;
namespace jo = jpeg_oracle;
using Bytes = std::vector<uint8_t>;

namespace {

Bytes gradient(int width, int height) {
    Bytes rgb;
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            rgb.insert(rgb.end(), {static_cast<uint8_t>(x * 5), static_cast<uint8_t>(y * 7), static_cast<uint8_t>((x ^ y) * 3)});
    return rgb;
}

void loadPicture(host::TJPEGImage& jpeg, const Bytes& file) {
    host::TMemoryStream stream;
    stream.Data() = file;
    jpeg.LoadFromStream(stream);
}

Bytes bytesOf(host::TJPEGImage& jpeg) {
    host::TMemoryStream out;
    jpeg.SaveToStream(out);
    return out.Data();
}

// The bitmap's pixels in libjpeg's layout: grey bytes or red, green, blue.
Bytes samplesOf(const host::TBitmap& bitmap) {
    Bytes out;
    for (int32_t y = 0; y < bitmap.Height(); ++y) {
        const uint8_t* p = bitmap.ScanLine(y);
        for (int32_t x = 0; x < bitmap.Width(); ++x)
            if (bitmap.PixelFormat() == host::pf8bit)
                out.push_back(p[x]);
            else
                out.insert(out.end(), {p[3 * x + 2], p[3 * x + 1], p[3 * x]});
    }
    return out;
}

int frameMarkerOf(const Bytes& file) {
    for (const jo::Segment& s : jo::HeaderSegments(file))
        if (s.marker >= 0xC0 && s.marker <= 0xC2) return s.marker;
    return 0;
}

}  // namespace

TEST(TJPEGImage, DecodingSettingsAreLibjpegsSettings) {
    jo::Encoding progressive;
    progressive.progressive = true;
    const Bytes whole = jo::Encode(50, 35, 3, gradient(50, 35), progressive);
    // Cut short, a progressive file still lacks refinement scans: block smoothing shows.
    const Bytes cut(whole.begin(), whole.begin() + static_cast<long>(whole.size() / 3));
    const struct {
        host::TJPEGPerformance performance;
        host::TJPEGScale scale;
        bool smoothing;
        jo::Options options;
    } cases[] = {
        {host::jpBestQuality, host::jsFullSize, true, {false, true, 1}},
        {host::jpBestSpeed, host::jsFullSize, true, {true, true, 1}},
        {host::jpBestQuality, host::jsFullSize, false, {false, false, 1}},
        {host::jpBestQuality, host::jsHalf, true, {false, true, 2}},
        {host::jpBestSpeed, host::jsQuarter, true, {true, true, 4}},
        {host::jpBestQuality, host::jsEighth, true, {false, true, 8}},
    };
    for (const Bytes* file : {&whole, &cut})
        for (const auto& c : cases) {
            const std::string name = std::to_string(c.performance) + "/" + std::to_string(c.scale) + "/" +
                                     std::to_string(c.smoothing) + (file == &cut ? " cut" : "");
            host::TJPEGImage jpeg;
            loadPicture(jpeg, *file);
            jpeg.Performance = c.performance;
            jpeg.Scale = c.scale;
            jpeg.Smoothing = c.smoothing;
            host::TBitmap bitmap;
            jpeg.AssignTo(bitmap);
            const jo::Decoded expected = jo::Decode(*file, c.options);
            ASSERT_TRUE(expected.ok) << name;
            EXPECT_EQ(jpeg.Width(), expected.width) << name;
            EXPECT_EQ(jpeg.Height(), expected.height) << name;
            EXPECT_EQ(bitmap.Width(), expected.width) << name;
            EXPECT_EQ(samplesOf(bitmap), expected.pixels) << name;
        }
}

TEST(TJPEGImage, GreyFilesDecodeToEightBitsWithAGreyRamp) {
    Bytes grey(64 * 8);
    for (size_t i = 0; i < grey.size(); ++i) grey[i] = static_cast<uint8_t>(i * 4);
    host::TJPEGImage jpeg;
    loadPicture(jpeg, jo::Encode(64, 8, 1, grey));
    EXPECT_TRUE(jpeg.Grayscale);
    host::TBitmap bitmap;
    jpeg.AssignTo(bitmap);
    ASSERT_EQ(bitmap.PixelFormat(), host::pf8bit);
    for (int i : {0, 37, 128, 255}) {
        host::TPaletteEntry entry;
        ASSERT_EQ(host::GetPaletteEntries(bitmap.Palette(), i, 1, &entry), 1);
        EXPECT_EQ(std::vector<int>({entry.peRed, entry.peGreen, entry.peBlue}), std::vector<int>({i, i, i}));
    }
}

TEST(TJPEGImage, CompressionSettingsReachTheFile) {
    host::TBitmap bitmap;
    bitmap.NewImage(host::pf24bit, 40, 24);
    const Bytes rgb = gradient(40, 24);
    for (int y = 0; y < 24; ++y)
        for (int x = 0; x < 40; ++x) {
            const uint8_t* s = &rgb[static_cast<size_t>((y * 40 + x) * 3)];
            uint8_t* d = bitmap.ScanLine(y) + 3 * x;
            d[0] = s[2], d[1] = s[1], d[2] = s[0];
        }
    const struct {
        const char* name;
        int quality;
        bool progressive, grayscale;
        int marker, components;
    } cases[] = {
        {"defaults", 90, false, false, 0xC0, 3},
        {"quality 50", 50, false, false, 0xC0, 3},
        {"quality 5: tables held to 8 bits", 5, false, false, 0xC0, 3},
        {"progressive", 90, true, false, 0xC2, 3},
        {"grayscale", 75, false, true, 0xC0, 1},
    };
    for (const auto& c : cases) {
        host::TJPEGImage jpeg;
        EXPECT_EQ(jpeg.CompressionQuality, 90);
        jpeg.CompressionQuality = c.quality;
        jpeg.ProgressiveEncoding = c.progressive;
        jpeg.Grayscale = c.grayscale;
        jpeg.Assign(bitmap);
        EXPECT_EQ(jpeg.Width(), 40);
        const Bytes file = bytesOf(jpeg);
        EXPECT_EQ(frameMarkerOf(file), c.marker) << c.name;
        for (const jo::Segment& s : jo::HeaderSegments(file))
            if (s.marker == 0xDB) {
                EXPECT_EQ(jo::NaturalOrderTable(&s.payload[1]), jo::ScaledTable(s.payload[0] == 1, c.quality)) << c.name;
            }
        const jo::Decoded decoded = jo::Decode(file);
        ASSERT_TRUE(decoded.ok) << c.name;
        EXPECT_EQ(decoded.components, c.components) << c.name;
        if (!c.grayscale && c.quality >= 50) {
            EXPECT_GE(jo::Psnr(decoded.pixels, rgb), 30.0) << c.name;
        }
    }
}

TEST(TJPEGImage, BitmapsOfOtherDepthsAreTakenAsTwentyFourBits) {
    host::TBitmap bitmap;
    bitmap.NewImage(host::pf8bit, 16, 16);
    host::TPaletteEntry entries[2] = {{200, 30, 10, 0}, {20, 40, 220, 0}};
    const host::TPaletteHandle palette = host::CreatePalette(entries, 2);
    bitmap.SetPalette(palette.get());
    for (int y = 0; y < 16; ++y) std::memset(bitmap.ScanLine(y), y < 8 ? 0 : 1, 16);
    host::TJPEGImage jpeg;
    jpeg.CompressionQuality = 100;
    jpeg.Assign(bitmap);
    const jo::Decoded decoded = jo::Decode(bytesOf(jpeg));
    ASSERT_TRUE(decoded.ok);
    ASSERT_EQ(decoded.components, 3);
    // Away from the edge between the two colours, quality 100 keeps them within a step or two.
    for (auto [row, r, g, b] : {std::tuple{1, 200, 30, 10}, std::tuple{14, 20, 40, 220}}) {
        const uint8_t* p = &decoded.pixels[static_cast<size_t>(row * 16 + 1) * 3];
        EXPECT_NEAR(p[0], r, 3);
        EXPECT_NEAR(p[1], g, 3);
        EXPECT_NEAR(p[2], b, 3);
    }
}

TEST(TJPEGImage, CopiesRefusalsAndTheEmptyPicture) {
    host::TJPEGImage empty;
    EXPECT_TRUE(empty.Empty());
    EXPECT_TRUE(bytesOf(empty).empty());
    host::TBitmap bitmap;
    bitmap.NewImage(host::pf24bit, 3, 3);
    empty.AssignTo(bitmap);
    EXPECT_TRUE(bitmap.Empty());

    const Bytes file = jo::Encode(20, 10, 3, gradient(20, 10));
    host::TJPEGImage jpeg;
    loadPicture(jpeg, file);
    host::TJPEGImage copy;
    copy.Assign(jpeg);
    EXPECT_EQ(bytesOf(copy), file);
    EXPECT_EQ(copy.Width(), 20);
    EXPECT_EQ(copy.Height(), 10);

    host::TPersistent other;
    EXPECT_EQ(messageOf<EConvertError>([&] { copy.Assign(other); }), "Cannot assign a TPersistent to a TJPEGImage");
    EXPECT_EQ(messageOf<EConvertError>([&] { copy.AssignTo(other); }), "Cannot assign a TJPEGImage to a TPersistent");

    // A failed read leaves the picture empty, not half read.
    EXPECT_EQ(messageOf<EJPEG>([&] { loadPicture(copy, {'n', 'o'}); }).rfind("JPEG error #", 0), 0u);
    EXPECT_TRUE(copy.Empty());
    EXPECT_EQ(copy.Width(), 0);

    const host::TGraphicFactory factory = host::TPicture::FindFileFormat("JPG");
    ASSERT_TRUE(factory);
    EXPECT_STREQ(factory()->ClassName(), "TJPEGImage");
}
