#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "image/ImageMetadata.h"
#include "image/LinarBitmap.h"
#include "image/Orientation.h"

namespace {

using Bytes = std::vector<uint8_t>;

// A TIFF header and IFD0 written field by field: entries of (tag, type, count, value
// bytes as they stand in the file).
struct Entry {
    uint16_t tag, type;
    uint32_t count;
    Bytes value;  // four bytes
};

Bytes Tiff(bool big, const std::vector<Entry>& entries, uint32_t ifdOffset = 8) {
    Bytes b;
    auto u16 = [&](uint16_t v) {
        if (big) b.insert(b.end(), {uint8_t(v >> 8), uint8_t(v)});
        else b.insert(b.end(), {uint8_t(v), uint8_t(v >> 8)});
    };
    auto u32 = [&](uint32_t v) {
        if (big) { u16(uint16_t(v >> 16)); u16(uint16_t(v)); }
        else { u16(uint16_t(v)); u16(uint16_t(v >> 16)); }
    };
    b.insert(b.end(), {uint8_t(big ? 'M' : 'I'), uint8_t(big ? 'M' : 'I')});
    u16(42);
    u32(ifdOffset);
    u16(static_cast<uint16_t>(entries.size()));
    for (const Entry& e : entries) {
        u16(e.tag);
        u16(e.type);
        u32(e.count);
        b.insert(b.end(), e.value.begin(), e.value.end());
    }
    u32(0);
    return b;
}

Bytes Cut(Bytes bytes, size_t size) {
    bytes.resize(size);
    return bytes;
}

TEST(ExifOrientation, ReadsTheTagOfIfdZeroInBothByteOrdersAndNothingOutsideTheData) {
    const Entry make{0x010F, 2, 4, {'a', 'b', 'c', 0}};
    const struct Case {
        const char* what;
        Bytes tiff;
        int expected;
    } cases[] = {
        {"little-endian 6", Tiff(false, {{0x0112, 3, 1, {6, 0, 0, 0}}}), 6},
        {"big-endian 3", Tiff(true, {{0x0112, 3, 1, {0, 3, 0, 0}}}), 3},
        {"behind another tag", Tiff(true, {make, {0x0112, 3, 1, {0, 8, 0, 0}}}), 8},
        {"little-endian behind another tag", Tiff(false, {make, {0x0112, 3, 1, {5, 0, 0, 0}}}), 5},
        {"no orientation tag", Tiff(false, {make}), 0},
        {"a LONG, not a SHORT", Tiff(false, {{0x0112, 4, 1, {6, 0, 0, 0}}}), 0},
        {"two values", Tiff(false, {{0x0112, 3, 2, {6, 0, 6, 0}}}), 0},
        {"value 9", Tiff(true, {{0x0112, 3, 1, {0, 9, 0, 0}}}), 0},
        {"value 0", Tiff(true, {{0x0112, 3, 1, {0, 0, 0, 0}}}), 0},
        {"IFD beyond the data", Tiff(true, {{0x0112, 3, 1, {0, 6, 0, 0}}}, 4000), 0},
        {"entry cut off", Cut(Tiff(true, {{0x0112, 3, 1, {0, 6, 0, 0}}}), 21), 0},
        {"entry whole", Cut(Tiff(true, {{0x0112, 3, 1, {0, 6, 0, 0}}}), 22), 6},
        {"not TIFF", Bytes{'X', 'X', 0, 42, 0, 0, 0, 8}, 0},
        {"wrong magic", Bytes{'M', 'M', 0, 43, 0, 0, 0, 8, 0, 0}, 0},
        {"too short", Bytes{'M', 'M', 0}, 0},
    };
    for (const Case& c : cases) EXPECT_EQ(ExifOrientation(c.tiff.data(), c.tiff.size()), c.expected) << c.what;
}

TEST(ExifOrientation, MinimalExifIsTheHandWrittenStructure) {
    // "MM", 42, IFD0 at 8, one entry: 0x0112 SHORT 1 value 7, no next IFD.
    const Bytes expected{'M', 'M', 0, 42, 0, 0, 0, 8, 0, 1, 0x01, 0x12, 0, 3, 0, 0, 0, 1, 0, 7, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(MinimalExif(7), expected);
    for (int o = 1; o <= 8; ++o) EXPECT_EQ(ExifOrientation(MinimalExif(o).data(), MinimalExif(o).size()), o);
}

// The 3 x 2 picture 1 2 3 / 4 5 6 as stored, and as each orientation shows it (worked by hand).
TEST(ApplyOrientation, TurnsAndMirrorsAsEachOfTheEightOrientationsSays) {
    const struct Case {
        int orientation;
        int width, height;
        std::vector<uint8_t> shown;  // rows top-down
    } cases[] = {
        {1, 3, 2, {1, 2, 3, 4, 5, 6}}, {2, 3, 2, {3, 2, 1, 6, 5, 4}}, {3, 3, 2, {6, 5, 4, 3, 2, 1}},
        {4, 3, 2, {4, 5, 6, 1, 2, 3}}, {5, 2, 3, {1, 4, 2, 5, 3, 6}}, {6, 2, 3, {4, 1, 5, 2, 6, 3}},
        {7, 2, 3, {6, 3, 5, 2, 4, 1}}, {8, 2, 3, {3, 6, 2, 5, 1, 4}}, {0, 3, 2, {1, 2, 3, 4, 5, 6}},
        {9, 3, 2, {1, 2, 3, 4, 5, 6}},
    };
    for (const Case& c : cases) {
        for (const uint8_t format : {uint8_t{pfIndexed8}, uint8_t{pfBGR24}}) {
            TLinearBitmap image;
            image.New(3, 2, format);
            for (int32_t y = 0; y < 2; ++y)
                for (int32_t x = 0; x < 3; ++x)
                    std::memset(image.ScanLine(y) + x * image.PixelSize, 1 + y * 3 + x, static_cast<size_t>(image.PixelSize));
            if (format == pfIndexed8) image.Palette[5] = 77;
            ApplyOrientation(image, c.orientation);
            ASSERT_EQ(image.Width, c.width) << c.orientation;
            ASSERT_EQ(image.Height, c.height) << c.orientation;
            ASSERT_EQ(image.PixelFormat, format);
            if (format == pfIndexed8) EXPECT_EQ(image.Palette[5], 77) << "the palette stays";
            for (int32_t y = 0; y < c.height; ++y)
                for (int32_t x = 0; x < c.width; ++x)
                    for (int32_t b = 0; b < image.PixelSize; ++b)
                        EXPECT_EQ(image.ScanLine(y)[x * image.PixelSize + b], c.shown[static_cast<size_t>(y * c.width + x)])
                            << "orientation " << c.orientation << " at " << x << "," << y;
        }
    }
}

}  // namespace
