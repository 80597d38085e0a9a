#include <gtest/gtest.h>

#include <climits>

#include "codecs/BmpBytes.h"
#include "TestSupport.h"
#include "codecs/UniDIB.h"
#include "platform/Exceptions.h"
#include "picture/Graphics.h"
#include "platform/DamageReport.h"
#include "platform/Stream.h"

using namespace bmp_bytes;

namespace {

struct Decoded {
    bool ok = false;
    host::TBitmap image;
    // Pixels top row first, as 0xRRGGBB.
    std::vector<uint32_t> rgb() const {
        std::vector<uint32_t> out;
        for (int32_t y = 0; y < image.Height(); ++y) {
            const uint8_t* row = image.ScanLine(y);
            for (int32_t x = 0; x < image.Width(); ++x)
                out.push_back(row[3 * x + 2] << 16 | row[3 * x + 1] << 8 | row[3 * x]);
        }
        return out;
    }
};

Decoded decode(const Bytes& bytes, size_t skip = 0) {
    host::TMemoryStream stream;
    stream.Write(bytes.data(), static_cast<int64_t>(bytes.size()));
    stream.SetPosition(static_cast<int64_t>(skip));
    Decoded d;
    ReadUniDIB(stream, d.image);
    d.ok = d.image.PixelFormat() == host::pf24bit;
    return d;
}

std::string errorOf(const Bytes& bytes) {
    try {
        decode(bytes);
        return "no error";
    } catch (const Exception& e) {
        return std::string(e.ClassName()) + ": " + e.Message();
    }
}

// What the codec says of everything it cannot read as a bitmap.
const std::string NotABitmap = "Exception: Unsupported file format";

std::vector<uint32_t> greyTable(int n, int step = 1) {
    std::vector<uint32_t> t;
    for (int i = 0; i < n; ++i) t.push_back(static_cast<uint32_t>(i * step) * 0x010101u);
    return t;
}

uint32_t grey(int level) { return static_cast<uint32_t>(level) * 0x010101u; }

}  // namespace

// ---------------------------------------------------------------- TBufferedFile

TEST(BufferedFile, OffsetsCountFromTheStartPositionAndTheEndIsAnError) {
    host::TMemoryStream stream;
    Bytes data(70000);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i % 251);
    stream.Write(data.data(), static_cast<int64_t>(data.size()));
    stream.SetPosition(1000);
    TBufferedFile file(&stream);
    EXPECT_EQ(file.Origin, 1000);
    EXPECT_EQ(file.ReadByte(), 1000 % 251);
    file.MoveTo(10);  // inside the buffered bytes
    EXPECT_EQ(file.ReadByte(), 1010 % 251);
    file.MoveTo(68000);  // beyond them: the stream is repositioned
    EXPECT_EQ(file.ReadByte(), 69000 % 251);
    uint8_t rest[2000];
    EXPECT_EQ(file.Read(rest, sizeof rest), 999) << "only what the stream holds";
    EXPECT_EQ(rest[998], 69999 % 251);
    EXPECT_THROW(file.ReadByte(), EReadError);
    uint8_t v;
    EXPECT_FALSE(file.NextByte(v));
}

TEST(BufferedFile, FillKeepsUnreadBytesAcrossTheRefill) {
    host::TMemoryStream stream;
    Bytes data(200000);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7);
    stream.Write(data.data(), static_cast<int64_t>(data.size()));
    stream.SetPosition(0);
    TBufferedFile file(&stream);
    file.Fill(10);
    ASSERT_EQ(file.Buffered(), 65536);
    ASSERT_TRUE(file.Skip(65530));
    file.Fill(100);
    ASSERT_GE(file.Buffered(), 100);
    EXPECT_EQ(file.Current()[0], static_cast<uint8_t>(65530 * 7));
    EXPECT_EQ(file.Current()[99], static_cast<uint8_t>(65629 * 7));
    file.Reserve(100000);
    EXPECT_EQ(file.Capacity, 100000);
    EXPECT_EQ(file.ReadByte(), static_cast<uint8_t>(65530 * 7)) << "Reserve keeps the unread bytes";
}

// ---------------------------------------------------------------- RLE

TEST(UniDIBRle8, RunsEscapesDeltasAndPaddedAbsoluteRuns) {
    // 5 x 3, bottom row first: run of two 5s, absolute run 7 8 9 (odd: one pad byte),
    // end of line; delta (1, 1) skips the middle row and lands at x = 1 of the top
    // row; run of three 10s; end of bitmap.
    const Bytes rle = {2, 5, 0, 3, 7, 8, 9, 0, 0, 0, 0, 2, 1, 1, 3, 10, 0, 1};
    Info info;
    info.width = 5;
    info.height = 3;
    info.bitCount = 8;
    info.compression = 1;
    const Decoded d = decode(file(info, greyTable(256), rle));
    ASSERT_TRUE(d.ok);
    EXPECT_EQ(d.rgb(), (std::vector<uint32_t>{0, grey(10), grey(10), grey(10), 0,  //
                                              0, 0, 0, 0, 0,                       //
                                              grey(5), grey(5), grey(7), grey(8), grey(9)}));
}

TEST(UniDIBRle4, AbsoluteRunsPadToWordsAndRunsAlternateNibbles) {
    // Absolute run of 3 pixels: two data bytes, no pad. Absolute run of 5: three data
    // bytes and one pad byte. Then a run of 4 alternating 9 and 10 on the next row.
    const Bytes rle = {0, 3, 0x12, 0x30, 0, 5, 0x45, 0x67, 0x80, 0x00, 0, 0, 4, 0x9A, 0, 1};
    Info info;
    info.width = 8;
    info.height = 2;
    info.bitCount = 4;
    info.compression = 2;
    const Decoded d = decode(file(info, greyTable(16, 17), rle));
    ASSERT_TRUE(d.ok);
    std::vector<uint32_t> expected;
    for (int v : {9, 10, 9, 10, 0, 0, 0, 0}) expected.push_back(grey(v * 17));
    for (int v : {1, 2, 3, 4, 5, 6, 7, 8}) expected.push_back(grey(v * 17));
    EXPECT_EQ(d.rgb(), expected);
}

TEST(UniDIBRle8, EndOfBitmapDeltaPastTheLastRowAndEarlyEndKeepWhatWasDecoded) {
    Info info;
    info.width = 2;
    info.height = 2;
    info.bitCount = 8;
    info.compression = 1;
    const std::vector<uint32_t> bottomOnly{0, 0, grey(3), grey(3)};
    EXPECT_EQ(decode(file(info, greyTable(256), {2, 3, 0, 1, 2, 9})).rgb(), bottomOnly);
    EXPECT_EQ(decode(file(info, greyTable(256), {2, 3, 0, 2, 0, 5, 2, 9})).rgb(), bottomOnly);
    EXPECT_EQ(decode(file(info, greyTable(256), {2, 3, 0, 0, 2})).rgb(), bottomOnly) << "ends inside a run";
    EXPECT_EQ(decode(file(info, greyTable(256), {2, 3, 0, 0, 0, 7, 1})).rgb(),
              (std::vector<uint32_t>{grey(1), 0, grey(3), grey(3)}))
        << "an absolute run cut short writes what arrived";
}

// Data that ends before the last row is told, with the rows it left; an end marker or a
// delta past the last row is no damage. Pixels never written show entry 0 of the table.
TEST(UniDIBDamage, DataEndingEarlyIsReportedWithTheRowsItLeft) {
    const Info rle{.width = 2, .height = 2, .bitCount = 8, .compression = 1, .masks = {}};
    Info topDown = rle, plain, twoBit;
    topDown.height = -2;
    plain.width = twoBit.width = 2;
    plain.height = twoBit.height = 3;
    twoBit.bitCount = 2;
    const uint32_t T = 0xABCDEF;
    std::vector<uint32_t> tinted = greyTable(256);
    tinted[0] = T;
    const struct {
        const char* what;
        Bytes bytes;
        int missing;
        std::vector<uint32_t> pixels;
    } cases[] = {
        {"end of bitmap", file(rle, greyTable(256), {2, 3, 0, 1, 2, 9}), 0, {0, 0, grey(3), grey(3)}},
        {"delta past the last row", file(rle, greyTable(256), {2, 3, 0, 2, 0, 5}), 0, {0, 0, grey(3), grey(3)}},
        {"inside the second row", file(rle, tinted, {2, 3, 0, 0, 1}), 1, {T, T, grey(3), grey(3)}},
        {"after a whole first row", file(rle, greyTable(256), {2, 3}), 1, {0, 0, grey(3), grey(3)}},
        {"inside the first run", file(rle, tinted, {2}), 2, {T, T, T, T}},
        {"top-down", file(topDown, tinted, {2, 3, 0, 0, 1, 4}), 1, {grey(3), grey(3), grey(4), T}},
        {"24 bits", file(plain, {}, {1, 2, 3, 4, 5, 6, 0, 0, 7, 8, 9}), 2, {0, 0, 0x090807, 0, 0x030201, 0x060504}},
        {"2 bits", file(twoBit, {0x000001, 0x000002, 0x000003, T}, {0xE4, 0, 0, 0}), 2, {1, 1, 1, 1, T, 0x000003}},
        {"headerless", headerless(2, 2, 2, 8, {1}), 2, {0x0000AA, 0, 0, 0}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const host::TDamageRecord damage;
        EXPECT_EQ(decode(c.bytes).rgb(), c.pixels);
        std::vector<std::string> expected;
        if (c.missing)
            expected.push_back("BMP: Premature end of data (" + std::to_string(c.missing) + " of " +
                               std::to_string(c.pixels.size() / 2) + " rows missing)");
        EXPECT_EQ(damage.Reports(), expected);
    }
}

TEST(UniDIBRle, RunsAndAbsoluteRunsPastTheRowEndAreBitmapDataErrors) {
    Info info;
    info.width = 4;
    info.height = 2;
    info.bitCount = 8;
    info.compression = 1;
    const std::string error = "ELinearBitmap: Error in bitmap data";
    EXPECT_EQ(errorOf(file(info, greyTable(256), {5, 1, 0, 1})), error);
    EXPECT_EQ(errorOf(file(info, greyTable(256), {2, 1, 0, 3, 1, 2, 3, 0})), error);
    EXPECT_EQ(errorOf(file(info, greyTable(256), {0, 2, 4, 0, 1, 1})), error) << "delta to the row end";
    EXPECT_EQ(errorOf(file(info, greyTable(256), {0, 2, 255, 0, 1, 1})), error);
    info.bitCount = 4;
    info.compression = 2;
    EXPECT_EQ(errorOf(file(info, greyTable(16), {5, 0x11, 0, 1})), error);
    EXPECT_EQ(errorOf(file(info, greyTable(16), {0, 5, 0x12, 0x34, 0x50, 0})), error);
    EXPECT_EQ(decode(file(info, greyTable(16, 17), {4, 0x12, 0, 1})).rgb(),
              (std::vector<uint32_t>{0, 0, 0, 0, grey(17), grey(34), grey(17), grey(34)}))
        << "a run that ends exactly at the row end is fine";
}

// ---------------------------------------------------------------- headers and tables

TEST(UniDIBHeaderless, OneBitIsBlackAndWhiteAndRowsUseTheGivenStride) {
    // 10 pixels per row, 2 bytes per row, rows 4-byte aligned (the padding is no pixel):
    // rows in file order from the top.
    const Bytes rows = {0xA0, 0x40, 0x55, 0x55, 0xFF, 0xC0, 0x55, 0x55};
    const Decoded d = decode(headerless(10, 2, 2, 1, rows));
    ASSERT_TRUE(d.ok);
    const uint32_t W = 0xFFFFFF, B = 0;
    EXPECT_EQ(d.rgb(), (std::vector<uint32_t>{W, B, W, B, B, B, B, B, B, W,  //
                                              W, W, W, W, W, W, W, W, W, W}));
}

TEST(UniDIBHeaderless, FourAndEightBitsGetTheEgaAndVgaTables) {
    const Decoded ega = decode(headerless(2, 1, 2, 4, {0x6E, 0x00}));
    ASSERT_TRUE(ega.ok);
    EXPECT_EQ(ega.rgb(), (std::vector<uint32_t>{0xAA5500, 0xFFFF55}));

    const Decoded vga = decode(headerless(12, 1, 12, 8, {1, 9, 16, 19, 20, 30, 31, 32, 33, 34, 35, 248}));
    ASSERT_TRUE(vga.ok);
    EXPECT_EQ(vga.rgb(), (std::vector<uint32_t>{0x0000AA, 0x5555FF, 0x000000, 0x2C2C2C, 0x383838, 0xE3E3E3,
                                                0xFFFFFF, 0x0000FF, 0x4100FF, 0x7D00FF, 0xBE00FF, 0x000000}));
    // The wheels: magenta at 36, red at 40, the second wheel's blue at 56 (6-bit 1F,1F,3F),
    // the last wheel's final entry at 247 (6-bit 0B,0C,10).
    const Decoded wheel = decode(headerless(4, 1, 4, 8, {36, 40, 56, 247}));
    EXPECT_EQ(wheel.rgb(), (std::vector<uint32_t>{0xFF00FF, 0xFF0000, 0x7D7DFF, 0x2C3041}));
}

TEST(UniDIBHeaderless, PlanesOtherThanOneAndOddDepthsAreNotBitmaps) {
    EXPECT_EQ(errorOf(headerless(8, 1, 2, 1, {0, 0}, 4)), NotABitmap);
    EXPECT_EQ(errorOf(headerless(8, 1, 2, 3, {0, 0})), NotABitmap);
}

TEST(UniDIBColorTable, CoreHeaderWithThreeByteEntriesRightBeforeThePixels) {
    Info info;
    info.headerSize = 12;
    info.width = 2;
    info.bitCount = 1;
    const Decoded d = decode(file(info, {0xFF0000, 0x00FF00}, {0x40, 0, 0, 0}, 3));
    ASSERT_TRUE(d.ok);
    EXPECT_EQ(d.rgb(), (std::vector<uint32_t>{0xFF0000, 0x00FF00}));
    // The same table with room for four-byte entries is read with four-byte entries.
    const Decoded four = decode(file(info, {0x0000FF, 0x123456}, {0x40, 0, 0, 0}, 4));
    EXPECT_EQ(four.rgb(), (std::vector<uint32_t>{0x0000FF, 0x123456}));
}

TEST(UniDIBColorTable, ZeroColorsUsedMeansAFullTableAndShortTablesLeaveBlack) {
    Info info;
    info.width = 2;
    info.bitCount = 8;
    std::vector<uint32_t> table = greyTable(256);
    table[200] = 0xABCDEF;
    const Decoded full = decode(file(info, table, {200, 255, 0, 0}));
    EXPECT_EQ(full.rgb(), (std::vector<uint32_t>{0xABCDEF, 0xFFFFFF}));

    info.colorsUsed = 2;
    const Decoded shortTable = decode(file(info, {0x112233, 0x445566}, {1, 5, 0, 0}));
    EXPECT_EQ(shortTable.rgb(), (std::vector<uint32_t>{0x445566, 0}));

    // More colours declared than an 8-bit pixel can index: the first 256 serve.
    info.colorsUsed = 300;
    std::vector<uint32_t> big = greyTable(256);
    big.resize(300, 0xFF0000);
    const Decoded oversized = decode(file(info, big, {7, 255, 0, 0}));
    EXPECT_EQ(oversized.rgb(), (std::vector<uint32_t>{grey(7), grey(255)}));
}

TEST(UniDIBColorTable, TwoBitPixelsAreWidened) {
    Info info;
    info.width = 5;
    info.bitCount = 2;
    const Decoded d = decode(file(info, {0x000001, 0x000002, 0x000003, 0x000004}, {0x1B, 0x80, 0, 0}));
    ASSERT_TRUE(d.ok);
    EXPECT_EQ(d.rgb(), (std::vector<uint32_t>{1, 2, 3, 4, 3}));
}

TEST(UniDIBRows, TopDownAndBottomUpAndEmbeddedInALargerStream) {
    Info info;
    info.width = 1;
    info.height = 2;
    const Bytes pixels = {0x01, 0x02, 0x03, 0, 0x04, 0x05, 0x06, 0};
    EXPECT_EQ(decode(file(info, {}, pixels)).rgb(), (std::vector<uint32_t>{0x060504, 0x030201}));
    info.height = -2;
    EXPECT_EQ(decode(file(info, {}, pixels)).rgb(), (std::vector<uint32_t>{0x030201, 0x060504}));

    Bytes embedded(100, 0x42);
    append(embedded, file(info, {}, pixels));
    const Decoded d = decode(embedded, 100);
    ASSERT_TRUE(d.ok);
    EXPECT_EQ(d.rgb(), (std::vector<uint32_t>{0x030201, 0x060504}));
}

TEST(UniDIBRows, DataEndingEarlyKeepsTheRowsThatArrived) {
    Info info;
    info.width = 2;
    info.height = 3;
    // Bottom row whole, the middle row's first pixel, then nothing.
    const Decoded d = decode(file(info, {}, {1, 2, 3, 4, 5, 6, 0, 0, 7, 8, 9}));
    ASSERT_TRUE(d.ok);
    EXPECT_EQ(d.rgb(), (std::vector<uint32_t>{0, 0, 0x090807, 0, 0x030201, 0x060504}));
}

// ---------------------------------------------------------------- bit fields

TEST(UniDIBBitFields, SixteenBitMasksAfterAFortyByteHeaderAndTheDefault555) {
    Info info;
    info.width = 4;
    info.bitCount = 16;
    info.compression = 3;
    info.masks = {0xF800, 0x07E0, 0x001F};
    // 5-6-5: pure red, pure green, pure blue, and the middle of each range
    // (16/31 -> 132, 32/63 -> 130 after rounding to 0..255).
    const Decoded d = decode(file(info, {}, {0x00, 0xF8, 0xE0, 0x07, 0x1F, 0x00, 0x10, 0x84}));
    ASSERT_TRUE(d.ok);
    EXPECT_EQ(d.rgb(), (std::vector<uint32_t>{0xFF0000, 0x00FF00, 0x0000FF, 0x848284}));

    Info plain;
    plain.width = 2;
    plain.bitCount = 16;
    // 5-5-5: 0x7C00 red, 0x03E0 green; bit 15 ignored.
    const Decoded def = decode(file(plain, {}, {0x00, 0xFC, 0xE0, 0x03}));
    EXPECT_EQ(def.rgb(), (std::vector<uint32_t>{0xFF0000, 0x00FF00}));
}

TEST(UniDIBBitFields, ThirtyTwoBitV4AndV5HeadersKeepTheirTrueColours) {
    for (uint32_t headerSize : {52u, 56u, 108u, 124u}) {
        Info info;
        info.headerSize = headerSize;
        info.width = 2;
        info.bitCount = 32;
        info.compression = 3;
        // Red in the low byte, blue in the third: the pixel bytes 11 22 33 44 are R G B A.
        info.masks = {0x000000FF, 0x0000FF00, 0x00FF0000, 0xFF000000};
        const Decoded d = decode(file(info, {}, {0x11, 0x22, 0x33, 0x44, 0xFF, 0, 0, 0}));
        ASSERT_TRUE(d.ok) << headerSize;
        EXPECT_EQ(d.rgb(), (std::vector<uint32_t>{0x112233, 0xFF0000})) << headerSize;
    }
    // Ten bits per channel scale down to eight.
    Info wide;
    wide.headerSize = 124;
    wide.width = 2;
    wide.bitCount = 32;
    wide.compression = 3;
    wide.masks = {0x3FF00000, 0x000FFC00, 0x000003FF};
    // Blue 0x3FF is full; red 0x200 is 512/1023 of full, 128 of 255.
    const Decoded d = decode(file(wide, {}, {0xFF, 0x03, 0x00, 0x00, 0x00, 0x00, 0x00, 0x20}));
    EXPECT_EQ(d.rgb(), (std::vector<uint32_t>{0x0000FF, 0x800000}));
}

TEST(UniDIBBitFields, ThirtyTwoBitsWithoutMasksAreBlueGreenRedAndAByteIgnored) {
    Info info;
    info.width = 1;
    info.bitCount = 32;
    const Decoded d = decode(file(info, {}, {0x10, 0x20, 0x30, 0x99}));
    EXPECT_EQ(d.rgb(), (std::vector<uint32_t>{0x302010}));
}

// ---------------------------------------------------------------- refusals and hostile sizes

TEST(UniDIBRefusals, SignatureHeaderSizePlanesAndCompressionAreChecked) {
    Info info;
    Bytes ba = file(info, {}, {0, 0, 0, 0});
    ba[1] = 'A';
    EXPECT_EQ(errorOf(ba), NotABitmap);
    Info odd = info;
    odd.headerSize = 20;
    EXPECT_EQ(errorOf(file(odd, {}, {0, 0, 0, 0})), NotABitmap);
    Info planes = info;
    planes.planes = 2;
    EXPECT_EQ(errorOf(file(planes, {}, {0, 0, 0, 0})), NotABitmap);
    for (uint32_t compression : {4u, 5u, 7u}) {
        Info c = info;
        c.compression = compression;
        EXPECT_EQ(errorOf(file(c, {}, {0, 0, 0, 0})), NotABitmap) << compression;
    }
    Info rle = info;  // RLE8 needs 8 bits
    rle.compression = 1;
    EXPECT_EQ(errorOf(file(rle, {}, {0, 1})), NotABitmap);
    Info rle24 = info;  // compression 4 in an OS/2 2.x header is RLE24
    rle24.headerSize = 64;
    rle24.compression = 4;
    EXPECT_EQ(errorOf(file(rle24, {}, {0, 0, 0, 0})), NotABitmap);
    Info depth = info;
    depth.bitCount = 64;
    EXPECT_EQ(errorOf(file(depth, {}, Bytes(8))), NotABitmap);
}

TEST(UniDIBRefusals, TruncatedHeadersAreReadErrors) {
    Info info;
    const Bytes whole = file(info, {}, {0, 0, 0, 0});
    EXPECT_EQ(errorOf(Bytes(whole.begin(), whole.begin() + 30)), NotABitmap);
    info.bitCount = 8;
    const Bytes table = file(info, greyTable(256), {0, 0, 0, 0});
    EXPECT_EQ(errorOf(Bytes(table.begin(), table.begin() + 300)), NotABitmap) << "cut inside the table";
}

TEST(UniDIBRefusals, ImpossibleSizesFailBeforeAllocating) {
    Info info;
    info.width = INT32_MAX;
    info.height = INT32_MAX;
    EXPECT_EQ(errorOf(file(info, {}, {0})), "ELinearBitmap: Invalid bitmap size");
    info.width = 1;
    info.height = INT32_MIN;
    EXPECT_EQ(errorOf(file(info, {}, {0})), "ELinearBitmap: Invalid bitmap size");
    info.width = 70000;  // 4.9e9 pixels at 8 bits: more than one buffer may hold
    info.height = 70000;
    info.bitCount = 8;
    EXPECT_EQ(errorOf(file(info, greyTable(256), {0})), "ELinearBitmap: Invalid bitmap size");
    info.width = 0;
    info.height = 1;
    EXPECT_EQ(errorOf(file(info, greyTable(256), {0})), "ELinearBitmap: Invalid bitmap size");
    info.width = -5;
    EXPECT_EQ(errorOf(file(info, greyTable(256), {0})), "ELinearBitmap: Invalid bitmap size");
    // Above the library's limit on one image buffer, raw, RLE or headerless.
    const testing_support::ScopedImageLimit limit(1 << 20);
    info.width = 1100;
    info.height = 1000;
    EXPECT_EQ(errorOf(file(info, greyTable(256), {1, 2, 3})), "ELinearBitmap: Invalid bitmap size");
    info.compression = 1;
    EXPECT_EQ(errorOf(file(info, greyTable(256), {0, 1})), "ELinearBitmap: Invalid bitmap size");
    EXPECT_EQ(errorOf(headerless(1100, 1000, 1100, 8, {1, 2, 3})), "ELinearBitmap: Invalid bitmap size");
}
