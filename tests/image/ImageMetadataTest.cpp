#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "image/ImageMetadata.h"
#include "image/LinarBitmap.h"
#include "image/Orientation.h"

namespace {

using Bytes = std::vector<uint8_t>;

// IFD0 at 8 with two entries, a make tag and the orientation (SHORT, count 1, value 6),
// written by hand in both byte orders; then copies with one field changed.
const Bytes Big{'M', 'M', 0, 42, 0, 0, 0, 8, 0, 2, 0x01, 0x0F, 0, 2, 0, 0, 0, 4, 'a', 'b', 'c', 0,
                0x01, 0x12, 0, 3, 0, 0, 0, 1, 0, 6, 0, 0, 0, 0, 0, 0};
const Bytes Little{'I', 'I', 42, 0, 8, 0, 0, 0, 2, 0, 0x0F, 0x01, 2, 0, 4, 0, 0, 0, 'a', 'b', 'c', 0,
                   0x12, 0x01, 3, 0, 1, 0, 0, 0, 6, 0, 0, 0, 0, 0, 0, 0};
Bytes With(Bytes b, size_t at, uint8_t value) { return b[at] = value, b; }

TEST(ExifOrientation, ReadsTheTagOfIfdZeroInBothByteOrdersAndNothingOutsideTheData) {
    const std::pair<Bytes, int> cases[] = {
        {Big, 6}, {Little, 6}, {With(Big, 31, 8), 8}, {With(Big, 31, 9), 0}, {With(Little, 30, 0), 0},
        {With(Big, 25, 4), 0}, {With(Little, 26, 2), 0}, {With(Big, 23, 0x13), 0},  // a LONG, two values, another tag
        {With(Big, 4, 1), 0}, {With(Little, 8, 1), 0},                                // IFD beyond the data, one entry counted
        {Bytes(Big.begin(), Big.begin() + 33), 0}, {Bytes(Big.begin(), Big.begin() + 34), 6},  // entry cut off, whole
        {With(Big, 3, 43), 0}, {With(Little, 1, 'M'), 0}, {Bytes(Big.begin(), Big.begin() + 7), 0},  // not TIFF
    };
    for (size_t i = 0; i < std::size(cases); ++i) EXPECT_EQ(ExifOrientation(cases[i].first.data(), cases[i].first.size()), cases[i].second) << i;
    // "MM", 42, IFD0 at 8, one entry: 0x0112 SHORT 1 value 7, no next IFD.
    EXPECT_EQ(MinimalExif(7), (Bytes{'M', 'M', 0, 42, 0, 0, 0, 8, 0, 1, 0x01, 0x12, 0, 3, 0, 0, 0, 1, 0, 7, 0, 0, 0, 0, 0, 0}));
}

// The 3 x 2 picture 1 2 3 / 4 5 6 as stored, and as each orientation shows it (worked by hand).
TEST(ApplyOrientation, TurnsAndMirrorsAsEachOfTheEightOrientationsSays) {
    const struct Case { int orientation, width; Bytes shown; } cases[] = {  // shown: rows top-down
        {1, 3, {1, 2, 3, 4, 5, 6}}, {2, 3, {3, 2, 1, 6, 5, 4}}, {3, 3, {6, 5, 4, 3, 2, 1}}, {4, 3, {4, 5, 6, 1, 2, 3}},
        {5, 2, {1, 4, 2, 5, 3, 6}}, {6, 2, {4, 1, 5, 2, 6, 3}}, {7, 2, {6, 3, 5, 2, 4, 1}}, {8, 2, {3, 6, 2, 5, 1, 4}},
        {0, 3, {1, 2, 3, 4, 5, 6}}, {9, 3, {1, 2, 3, 4, 5, 6}},
    };
    for (const Case& c : cases)
        for (const uint8_t format : {uint8_t{pfIndexed8}, uint8_t{pfBGR24}}) {
            TLinearBitmap image;
            image.New(3, 2, format);
            for (int i = 0; i < 6; ++i) std::memset(image.ScanLine(i / 3) + i % 3 * image.PixelSize, i + 1, size_t(image.PixelSize));
            if (format == pfIndexed8) image.Palette[5] = 77;
            ApplyOrientation(image, c.orientation);
            ASSERT_EQ(std::pair(image.Width, image.Height), std::pair(c.width, 6 / c.width)) << c.orientation;
            EXPECT_TRUE(format != pfIndexed8 || image.Palette[5] == 77) << "the palette stays";
            for (int i = 0; i < 6 * image.PixelSize; ++i)
                EXPECT_EQ(image.ScanLine(i / image.PixelSize / c.width)[i % (c.width * image.PixelSize)], c.shown[size_t(i / image.PixelSize)])
                    << "orientation " << c.orientation << " byte " << i;
        }
}

}  // namespace
