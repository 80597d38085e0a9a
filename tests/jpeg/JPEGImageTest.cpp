// The platform's JPEG picture: its decoding and compression settings against libjpeg's,
// copies, refusals, and its place in the picture framework.
#include <gtest/gtest.h>

#include "TestSupport.h"
#include "codecs/JpegOracle.h"
#include "platform/Exceptions.h"
#include "picture/Graphics.h"
#include "jpeg/JPEGImage.h"
#include "platform/Stream.h"

using namespace testing_support;
namespace jo = jpeg_oracle;
using jo::Bytes;

namespace {

Bytes gradient(int width, int height) {
    Bytes rgb;
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) rgb.insert(rgb.end(), {uint8_t(x * 5), uint8_t(y * 7), uint8_t((x ^ y) * 3)});
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

}  // namespace

TEST(TJPEGImage, DecodingSettingsAreLibjpegsSettings) {
    jo::Encoding progressive;
    progressive.progressive = true;
    const Bytes whole = jo::Encode(50, 35, 3, gradient(50, 35), progressive);
    // Cut short, a progressive file lacks its refinement scans: block smoothing shows.
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
            SCOPED_TRACE(std::to_string(c.performance) + std::to_string(c.scale) + std::to_string(c.smoothing) +
                         (file == &cut ? " cut" : ""));
            host::TJPEGImage jpeg;
            loadPicture(jpeg, *file);
            jpeg.Performance = c.performance;
            jpeg.Scale = c.scale;
            jpeg.Smoothing = c.smoothing;
            host::TBitmap bitmap;
            jpeg.AssignTo(bitmap);
            const jo::Decoded expected = jo::Decode(*file, c.options);
            ASSERT_TRUE(expected.ok);
            EXPECT_EQ(jpeg.Width(), expected.width);
            EXPECT_EQ(jpeg.Height(), expected.height);
            ASSERT_EQ(bitmap.Width(), expected.width);
            Bytes ours;
            for (int32_t y = 0; y < bitmap.Height(); ++y)
                for (const uint8_t* p = bitmap.ScanLine(y); p < bitmap.ScanLine(y) + 3 * bitmap.Width(); p += 3)
                    ours.insert(ours.end(), {p[2], p[1], p[0]});
            EXPECT_TRUE(ours == expected.pixels);
        }
}

TEST(TJPEGImage, CompressionSettingsReachTheFile) {
    host::TBitmap bitmap;
    bitmap.NewImage(host::pf24bit, 40, 24);
    const Bytes rgb = gradient(40, 24);
    for (size_t i = 0; i < rgb.size(); i += 3)
        for (size_t c = 0; c < 3; ++c) bitmap.ScanLine(0)[i + c] = rgb[i + 2 - c];
    const struct {
        int quality;
        bool progressive, grayscale;
        int marker, components;
    } cases[] = {
        {90, false, false, 0xC0, 3},
        {50, false, false, 0xC0, 3},
        {5, false, false, 0xC0, 3},  // tables held to 8 bits: a baseline file still
        {90, true, false, 0xC2, 3},
        {75, false, true, 0xC0, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.quality);
        host::TJPEGImage jpeg;
        EXPECT_EQ(jpeg.CompressionQuality, 90);
        jpeg.CompressionQuality = c.quality;
        jpeg.ProgressiveEncoding = c.progressive;
        jpeg.Grayscale = c.grayscale;
        jpeg.Assign(bitmap);
        EXPECT_EQ(jpeg.Width(), 40);
        const Bytes file = bytesOf(jpeg);
        int frame = 0;
        for (const jo::Segment& s : jo::HeaderSegments(file)) {
            if (s.marker == 0xDB) {
                EXPECT_EQ(jo::NaturalOrderTable(&s.payload[1]), jo::ScaledTable(s.payload[0] == 1, c.quality));
            }
            if (s.marker >= 0xC0 && s.marker <= 0xC2) frame = s.marker;
        }
        EXPECT_EQ(frame, c.marker);
        const jo::Decoded decoded = jo::Decode(file);
        ASSERT_TRUE(decoded.ok);
        EXPECT_EQ(decoded.components, c.components);
        if (c.components == 3 && c.quality >= 50) {
            EXPECT_GE(jo::Psnr(decoded.pixels, rgb), 30.0);
        }
    }
}

TEST(TJPEGImage, CopiesRefusalsAndTheEmptyPicture) {
    const Bytes file = jo::Encode(20, 10, 3, gradient(20, 10));
    host::TJPEGImage jpeg, copy;
    loadPicture(jpeg, file);
    copy.Assign(jpeg);
    EXPECT_EQ(bytesOf(copy), file);
    EXPECT_EQ(copy.Height(), 10);
    host::TPersistent other;
    EXPECT_EQ(messageOf<EConvertError>([&] { copy.AssignTo(other); }), "Cannot assign a TJPEGImage to a TPersistent");
    // A failed read leaves the picture empty, not half read; an empty one decodes to nothing.
    EXPECT_EQ(messageOf<EJPEG>([&] { loadPicture(copy, {'n', 'o'}); }).rfind("JPEG error #", 0), 0u);
    EXPECT_TRUE(copy.Empty() && copy.Width() == 0 && bytesOf(copy).empty());
    host::TBitmap bitmap;
    bitmap.NewImage(host::pf24bit, 3, 3);
    copy.AssignTo(bitmap);
    EXPECT_TRUE(bitmap.Empty());
    const host::TGraphicFactory factory = host::TPicture::FindFileFormat("JPG");
    ASSERT_TRUE(factory);
    EXPECT_STREQ(factory()->ClassName(), "TJPEGImage");
}
