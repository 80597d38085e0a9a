#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "codecs/PNGRows.h"
#include "platform/Exceptions.h"

using namespace pngrows;

namespace {

template <class F>
std::string messageOf(F&& action) {
    try {
        action();
    } catch (const Exception& e) {
        return e.Message();
    }
    return "<no exception>";
}

using Bytes = std::vector<uint8_t>;

// Direct evaluation of the filter definitions, byte by byte.
Bytes UnfilteredByDefinition(int type, const Bytes& filtered, const Bytes& prev, int bpp) {
    Bytes out(filtered.size());
    for (size_t i = 0; i < out.size(); ++i) {
        const int a = i >= static_cast<size_t>(bpp) ? out[i - bpp] : 0;
        const int b = prev[i];
        const int c = i >= static_cast<size_t>(bpp) ? prev[i - bpp] : 0;
        int pred = 0;
        if (type == 1) pred = a;
        if (type == 2) pred = b;
        if (type == 3) pred = (a + b) / 2;
        if (type == 4) pred = Paeth(static_cast<uint8_t>(a), static_cast<uint8_t>(b), static_cast<uint8_t>(c));
        out[i] = static_cast<uint8_t>(filtered[i] + pred);
    }
    return out;
}

}  // namespace

TEST(PNGRows, OnlyTheColourTypeAndDepthPairsOfThePngFormatAreAccepted) {
    // The PNG format's table of allowed pairs.
    const std::vector<std::pair<int, std::vector<int>>> allowed = {
        {0, {1, 2, 4, 8, 16}}, {2, {8, 16}}, {3, {1, 2, 4, 8}}, {4, {8, 16}}, {6, {8, 16}}};
    for (int type = 0; type <= 9; ++type) {
        for (int depth = 0; depth <= 32; ++depth) {
            bool ok = false;
            for (auto& [t, depths] : allowed)
                if (t == type)
                    for (int d : depths) ok = ok || d == depth;
            if (ok)
                EXPECT_NO_THROW(LayoutFor(type, depth)) << type << "/" << depth;
            else
                EXPECT_EQ(messageOf([&] { LayoutFor(type, depth); }), "Invalid PNG data") << type << "/" << depth;
        }
    }
}

TEST(PNGRows, LayoutsMapToTheMemoryFormats) {
    EXPECT_EQ(LayoutFor(0, 16).PixelFormat, kGray16);
    EXPECT_EQ(LayoutFor(0, 16).GrayLevels, 0);
    EXPECT_EQ(LayoutFor(0, 2).PixelFormat, kIndexed8);
    EXPECT_EQ(LayoutFor(0, 2).GrayLevels, 4);
    EXPECT_EQ(LayoutFor(0, 8).GrayLevels, 256);
    EXPECT_EQ(LayoutFor(2, 16).PixelFormat, kBGR24);
    EXPECT_EQ(LayoutFor(2, 16).PixelSize, 3);
    EXPECT_TRUE(LayoutFor(3, 4).Indexed);
    EXPECT_EQ(LayoutFor(4, 16).PixelFormat, kGray16);
    EXPECT_EQ(LayoutFor(4, 8).Channels, 2);
    EXPECT_EQ(LayoutFor(4, 8).PixelFormat, kIndexed8);
    EXPECT_EQ(LayoutFor(6, 8).Channels, 4);
    EXPECT_TRUE(LayoutFor(6, 16).HasAlpha);
    EXPECT_FALSE(LayoutFor(2, 8).HasAlpha);
}

TEST(PNGRows, RowBytesRoundUpPartialBytesAndRefuseHugeRows) {
    EXPECT_EQ(RowBytes(3, 1, 1), 1);
    EXPECT_EQ(RowBytes(9, 1, 1), 2);
    EXPECT_EQ(RowBytes(9, 1, 2), 3);
    EXPECT_EQ(RowBytes(5, 3, 16), 30);
    EXPECT_EQ(RowBytes(7, 4, 8), 28);
    EXPECT_EQ(messageOf([] { RowBytes(0xFFFFFFFFll, 4, 16); }), "Invalid bitmap size");
    EXPECT_EQ(FilterStride(1, 1), 1);
    EXPECT_EQ(FilterStride(3, 16), 6);
    EXPECT_EQ(FilterStride(2, 8), 2);
}

TEST(PNGRows, Adam7PassSizes) {
    // An 8 x 8 image: 1x1, 1x1, 2x1, 2x2, 4x2, 4x4, 8x4.
    const int64_t w8[7] = {1, 1, 2, 2, 4, 4, 8}, h8[7] = {1, 1, 1, 2, 2, 4, 4};
    for (int k = 1; k <= 7; ++k) {
        EXPECT_EQ(Adam7Pass(k, 8, 8).Width, w8[k - 1]) << k;
        EXPECT_EQ(Adam7Pass(k, 8, 8).Height, h8[k - 1]) << k;
    }
    // A 1 x 1 image has data only in pass 1.
    EXPECT_EQ(Adam7Pass(1, 1, 1).Width * Adam7Pass(1, 1, 1).Height, 1);
    for (int k = 2; k <= 7; ++k) EXPECT_EQ(Adam7Pass(k, 1, 1).Width * Adam7Pass(k, 1, 1).Height, 0) << k;
    // 5 x 3: columns 0..4 and rows 0..2 counted per pass by hand.
    const int64_t w5[7] = {1, 1, 2, 1, 3, 2, 5}, h3[7] = {1, 1, 0, 1, 1, 2, 1};
    for (int k = 1; k <= 7; ++k) {
        EXPECT_EQ(Adam7Pass(k, 5, 3).Width, w5[k - 1]) << k;
        EXPECT_EQ(Adam7Pass(k, 5, 3).Height, h3[k - 1]) << k;
    }
    // Every pixel lands in exactly one pass.
    for (int64_t w : {1, 2, 3, 7, 8, 9, 13, 33}) {
        for (int64_t h : {1, 4, 5, 17}) {
            int64_t total = 0;
            for (int k = 1; k <= 7; ++k) total += Adam7Pass(k, w, h).Width * Adam7Pass(k, w, h).Height;
            EXPECT_EQ(total, w * h) << w << "x" << h;
        }
    }
}

TEST(PNGRows, PaethPredictorWorkedExamples) {
    // p = a + b - c; the nearest of a, b, c wins, a before b before c.
    EXPECT_EQ(Paeth(10, 20, 10), 20);   // p=20: pa=10 pb=0
    EXPECT_EQ(Paeth(20, 10, 10), 20);   // p=20: pa=0
    EXPECT_EQ(Paeth(10, 10, 20), 10);   // p=0: pa=10 pb=10 pc=20 -> a
    EXPECT_EQ(Paeth(100, 50, 80), 80);  // p=70: pa=30 pb=20 pc=10 -> c
}

TEST(PNGRows, UnfilterEachTypeByHand) {
    const Bytes prev = {10, 20, 30, 40, 250, 60};
    // None.
    Bytes row = {1, 2, 3, 4, 5, 6};
    UnfilterRow(0, row.data(), prev.data(), row.size(), 3);
    EXPECT_EQ(row, (Bytes{1, 2, 3, 4, 5, 6}));
    // Sub, bpp 3: x + a, a from 3 bytes back in the already unfiltered row.
    row = {1, 2, 3, 4, 5, 255};
    UnfilterRow(1, row.data(), prev.data(), row.size(), 3);
    EXPECT_EQ(row, (Bytes{1, 2, 3, 5, 7, 2}));
    // Up: x + b, modulo 256.
    row = {1, 2, 3, 4, 10, 6};
    UnfilterRow(2, row.data(), prev.data(), row.size(), 3);
    EXPECT_EQ(row, (Bytes{11, 22, 33, 44, 4, 66}));
    // Average, bpp 1: x + (a + b) div 2.
    row = {1, 2, 3, 4, 5, 6};
    UnfilterRow(3, row.data(), prev.data(), row.size(), 1);
    // 1+5=6; 2+(6+20)/2=15; 3+(15+30)/2=25; 4+(25+40)/2=36; 5+(36+250)/2=148; 6+(148+60)/2=110
    EXPECT_EQ(row, (Bytes{6, 15, 25, 36, 148, 110}));
    // Paeth, bpp 1.
    row = {1, 2, 3, 4, 5, 6};
    UnfilterRow(4, row.data(), prev.data(), row.size(), 1);
    // x0: a=c=0 -> b=10: 11. x1: a=11 b=20 c=10: p=21 pa=10 pb=1 pc=11 -> b: 22.
    // x2: a=22 b=30 c=20: p=32 pa=10 pb=2 pc=12 -> b: 33. x3: a=33 b=40 c=30: p=43 -> b: 44.
    // x4: a=44 b=250 c=40: p=254 pa=210 pb=4 pc=214 -> b: 255. x5: a=255 b=60 c=250: p=65 pa=190 pb=5 pc=185 -> b: 66.
    EXPECT_EQ(row, (Bytes{11, 22, 33, 44, 255, 66}));
    // Paeth picking a and c.
    const Bytes prev2 = {0, 100, 0, 0};
    row = {7, 0, 0, 0};
    UnfilterRow(4, row.data(), prev2.data(), row.size(), 1);
    // x0: b=0 -> 7. x1: a=7 b=100 c=0: p=107 pa=100 pb=7 pc=107 -> b: 100.
    // x2: a=100 b=0 c=100: p=0 pa=100 pb=0 -> b: 0. x3: a=b=c=0 -> 0.
    EXPECT_EQ(row, (Bytes{7, 100, 0, 0}));
    // Paeth picking a: a=7 b=3 c=0: p=10 pa=3 pb=7 pc=10.
    const Bytes prevA = {0, 3};
    row = {7, 1};
    UnfilterRow(4, row.data(), prevA.data(), row.size(), 1);
    EXPECT_EQ(row, (Bytes{7, 8}));
    const Bytes prev3 = {50, 60};
    row = {0, 0};
    UnfilterRow(4, row.data(), prev3.data(), row.size(), 1);
    // x0: 50. x1: a=50 b=60 c=50: p=60 pa=10 pb=0 -> b: 60.
    EXPECT_EQ(row, (Bytes{50, 60}));
    const Bytes prev4 = {200, 10};
    row = {0, 0};
    UnfilterRow(4, row.data(), prev4.data(), row.size(), 1);
    // x1: a=200 b=10 c=200: p=10 pa=190 pb=0 -> b.
    EXPECT_EQ(row, (Bytes{200, 10}));
    const Bytes prev5 = {100, 200};
    row = {0, 0};
    UnfilterRow(4, row.data(), prev5.data(), row.size(), 1);
    // x0: 100. x1: a=100 b=200 c=100: p=200 pb=0 -> 200.
    EXPECT_EQ(row, (Bytes{100, 200}));
}

TEST(PNGRows, UnfilterPaethChoosesTheUpperLeftByte) {
    // a=10, b=200, c=100: p=110, pa=100, pb=90, pc=10 -> c = 100.
    const Bytes prev = {100, 200};
    Bytes row = {10 - 100 + 256, 5};  // the first byte unfilters to 10 (x + b)
    UnfilterRow(4, row.data(), prev.data(), row.size(), 1);
    EXPECT_EQ(row[0], 10);
    EXPECT_EQ(row[1], 105);
}

TEST(PNGRows, UnfilterWideStridesMatchTheGenericRule) {
    // bpp 6 and 8 (16-bit RGB and RGBA) and an odd bpp the specialisations do not cover.
    for (int bpp : {1, 2, 3, 4, 5, 6, 8}) {
        Bytes prev(40), filtered(40);
        for (size_t i = 0; i < 40; ++i) {
            prev[i] = static_cast<uint8_t>(i * 37 + 11);
            filtered[i] = static_cast<uint8_t>(i * 91 + 5);
        }
        for (int type = 1; type <= 4; ++type) {
            Bytes row = filtered;
            UnfilterRow(type, row.data(), prev.data(), row.size(), bpp);
            const Bytes expect = UnfilteredByDefinition(type, filtered, prev, bpp);
            EXPECT_EQ(row, expect) << "bpp " << bpp << " type " << type;
            // And the writer's filter inverts it.
            Bytes refiltered(40);
            FilterRow(type, row.data(), prev.data(), refiltered.data(), 40, bpp);
            EXPECT_EQ(refiltered, filtered) << "bpp " << bpp << " type " << type;
        }
    }
}

TEST(PNGRows, PixelWiseAndVectorUnfilteringMatchTheDefinitionAtEveryRowEdge) {
    // Pixel counts on both sides of the 4-byte words and 48-byte vectors of the fast paths;
    // bytes from all values and from three (Paeth's ties). The red-green-blue rows also go
    // straight to blue-green-red, alone and above a Paeth row, which must equal
    // unfiltering and then unpacking.
    uint32_t seed = 1;
    const auto next = [&seed] { return static_cast<uint8_t>((seed = seed * 1103515245u + 12345u) >> 16); };
    for (int bpp : {3, 4})
        for (size_t pixels : {1, 2, 3, 5, 15, 16, 17, 31, 32, 33})
            for (int values : {256, 3})
                for (int type = 0; type <= 4; ++type) {
                    const size_t n = pixels * static_cast<size_t>(bpp);
                    Bytes prev(n), filtered(n);
                    for (size_t i = 0; i < n; ++i) {
                        prev[i] = static_cast<uint8_t>(next() % values * 127);
                        filtered[i] = static_cast<uint8_t>(next() % values * 127);
                    }
                    const Bytes expect = UnfilteredByDefinition(type, filtered, prev, bpp);
                    Bytes row = filtered;
                    UnfilterRow(type, row.data(), prev.data(), n, bpp);
                    EXPECT_EQ(row, expect) << "bpp " << bpp << " pixels " << pixels << " type " << type;
                    if (bpp != 3) continue;
                    Bytes bgr(n), prevBgr(n);
                    UnpackRow(LayoutFor(2, 8), expect.data(), pixels, bgr.data(), nullptr);
                    UnpackRow(LayoutFor(2, 8), prev.data(), pixels, prevBgr.data(), nullptr);
                    row = filtered;
                    UnfilterRowToBGR(type, row.data(), prevBgr.data(), n);
                    EXPECT_EQ(row, bgr) << "pixels " << pixels << " type " << type;
                    // A Paeth row below it, in one call with it.
                    Bytes lower(n), lowerBgr(n);
                    for (uint8_t& v : lower) v = static_cast<uint8_t>(next() % values * 127);
                    UnpackRow(LayoutFor(2, 8), UnfilteredByDefinition(4, lower, expect, bpp).data(), pixels,
                              lowerBgr.data(), nullptr);
                    row = filtered;
                    UnfilterRowPairToBGR(type, row.data(), 4, lower.data(), prevBgr.data(), n);
                    EXPECT_EQ(row, bgr) << "pixels " << pixels << " type " << type;
                    EXPECT_EQ(lower, lowerBgr) << "pixels " << pixels << " type " << type;
                }
}

TEST(PNGRows, UnknownFilterTypeIsInvalidData) {
    Bytes row(4), prev(4);
    for (int type : {5, 6, 255}) {
        EXPECT_EQ(messageOf([&] { UnfilterRow(type, row.data(), prev.data(), 4, 1); }), "Invalid PNG data");
        EXPECT_EQ(messageOf([&] { UnfilterRowToBGR(type, row.data(), prev.data(), 3); }), "Invalid PNG data");
    }
}

TEST(PNGRows, UnpackLowDepthSamplesMostSignificantFirst) {
    uint8_t px[16];
    const uint8_t one[] = {0xB4};  // 1011 0100
    UnpackRow(LayoutFor(0, 1), one, 6, px, nullptr);
    EXPECT_EQ(Bytes(px, px + 6), (Bytes{1, 0, 1, 1, 0, 1}));
    const uint8_t two[] = {0xE4, 0x80};  // 11 10 01 00 | 10
    UnpackRow(LayoutFor(3, 2), two, 5, px, nullptr);
    EXPECT_EQ(Bytes(px, px + 5), (Bytes{3, 2, 1, 0, 2}));
    const uint8_t four[] = {0x9F, 0x20};
    UnpackRow(LayoutFor(0, 4), four, 3, px, nullptr);
    EXPECT_EQ(Bytes(px, px + 3), (Bytes{9, 15, 2}));
}

TEST(PNGRows, UnpackEightAndSixteenBitPixels) {
    uint8_t px[16] = {}, alpha[4] = {};
    const uint8_t rgb[] = {1, 2, 3, 4, 5, 6};
    UnpackRow(LayoutFor(2, 8), rgb, 2, px, alpha);
    EXPECT_EQ(Bytes(px, px + 6), (Bytes{3, 2, 1, 6, 5, 4}));
    const uint8_t rgba[] = {1, 2, 3, 200, 4, 5, 6, 100};
    UnpackRow(LayoutFor(6, 8), rgba, 2, px, alpha);
    EXPECT_EQ(Bytes(px, px + 6), (Bytes{3, 2, 1, 6, 5, 4}));
    EXPECT_EQ(Bytes(alpha, alpha + 2), (Bytes{200, 100}));
    const uint8_t ga[] = {9, 77, 8, 66};
    UnpackRow(LayoutFor(4, 8), ga, 2, px, alpha);
    EXPECT_EQ(Bytes(px, px + 2), (Bytes{9, 8}));
    EXPECT_EQ(Bytes(alpha, alpha + 2), (Bytes{77, 66}));
    const uint8_t g16[] = {0x12, 0x34, 0xAB, 0xCD};
    UnpackRow(LayoutFor(0, 16), g16, 2, px, nullptr);
    EXPECT_EQ(Bytes(px, px + 4), (Bytes{0x34, 0x12, 0xCD, 0xAB}));
    const uint8_t ga16[] = {0x12, 0x34, 0xEE, 0x01};
    UnpackRow(LayoutFor(4, 16), ga16, 1, px, alpha);
    EXPECT_EQ(Bytes(px, px + 2), (Bytes{0x34, 0x12}));
    EXPECT_EQ(alpha[0], 0xEE);
    const uint8_t rgb16[] = {0x11, 0x01, 0x22, 0x02, 0x33, 0x03};
    UnpackRow(LayoutFor(2, 16), rgb16, 1, px, nullptr);
    EXPECT_EQ(Bytes(px, px + 3), (Bytes{0x33, 0x22, 0x11}));
    const uint8_t rgba16[] = {0x11, 0x01, 0x22, 0x02, 0x33, 0x03, 0x44, 0x04};
    alpha[0] = 0;
    UnpackRow(LayoutFor(6, 16), rgba16, 1, px, alpha);
    EXPECT_EQ(Bytes(px, px + 3), (Bytes{0x33, 0x22, 0x11}));
    EXPECT_EQ(alpha[0], 0x44);
    // Without an alpha image, alpha samples are dropped and nothing is written there.
    UnpackRow(LayoutFor(6, 16), rgba16, 1, px, nullptr);
}

TEST(PNGRows, ScatterPlacesPassPixelsAtTheirColumns) {
    Bytes row(3 * 9, 0);
    const uint8_t pass[] = {1, 2, 3, 4, 5, 6};
    ScatterPixels(pass, 2, 3, row.data(), 1, 4);  // columns 1 and 5
    EXPECT_EQ(Bytes(row.begin() + 3, row.begin() + 6), (Bytes{1, 2, 3}));
    EXPECT_EQ(Bytes(row.begin() + 15, row.begin() + 18), (Bytes{4, 5, 6}));
    EXPECT_EQ(row[0] + row[6] + row[12] + row[18], 0);
}

TEST(PNGRows, IntrapixelTransformRoundTripsModulo256) {
    Bytes px = {10, 200, 250, 0, 1, 2};
    ApplyIntrapixel(px.data(), 2);
    // blue - green, green, red - green.
    EXPECT_EQ(px, (Bytes{66, 200, 50, 255, 1, 1}));
    UndoIntrapixel(px.data(), 2);
    EXPECT_EQ(px, (Bytes{10, 200, 250, 0, 1, 2}));
}

TEST(PNGRows, RowCostsByHand) {
    const Bytes f = {0, 1, 255, 128, 127};  // 0 + 1 + 1 + 128 + 127
    EXPECT_EQ(RowCost(-1, f.data(), f.size()), 257);
    const Bytes runs = {7, 7, 7, 7, 7, 7, 1, 2, 2, 2, 2, 2};  // i=4,5 and i=11
    EXPECT_EQ(RowCost(-2, runs.data(), runs.size()), -3);
    const Bytes shortRow = {3, 3, 3, 3};
    EXPECT_EQ(RowCost(-2, shortRow.data(), shortRow.size()), 0);
    EXPECT_THROW(RowCost(0, f.data(), f.size()), EAssertionFailed);
}

TEST(PNGRows, AdaptiveChoiceTakesCheapestAndLowestOnTies) {
    Bytes out(6), scratch(24);
    const Bytes zeros(6, 0), prev(6, 0);
    EXPECT_EQ(ChooseAndFilterRow(-1, zeros.data(), prev.data(), out.data(), scratch.data(), 6, 1), 0);
    // A ramp: Sub gives 1,1,1,... (cost 6 with the first byte 1), None costs 21.
    const Bytes ramp = {1, 2, 3, 4, 5, 6};
    EXPECT_EQ(ChooseAndFilterRow(-1, ramp.data(), prev.data(), out.data(), scratch.data(), 6, 1), 1);
    EXPECT_EQ(out, (Bytes{1, 1, 1, 1, 1, 1}));
    // The same row as above: Up gives zeros.
    const Bytes noisy = {9, 200, 3, 77, 140, 5};
    EXPECT_EQ(ChooseAndFilterRow(-1, noisy.data(), noisy.data(), out.data(), scratch.data(), 6, 1), 2);
    EXPECT_EQ(out, Bytes(6, 0));
    // A fixed mode is used as it is.
    EXPECT_EQ(ChooseAndFilterRow(3, ramp.data(), prev.data(), out.data(), scratch.data(), 6, 1), 3);
    EXPECT_EQ(out, (Bytes{1, 2, 2, 3, 3, 4}));  // x - a/2
}

TEST(PNGRows, PackRowForms16BitBigEndianAndRgbOrder) {
    uint8_t raw[8];
    const uint8_t bgr[] = {1, 2, 3};
    PackRow(kBGR24, bgr, 1, raw);
    EXPECT_EQ(Bytes(raw, raw + 3), (Bytes{3, 2, 1}));
    const uint8_t g16[] = {0x34, 0x12};
    PackRow(kGray16, g16, 1, raw);
    EXPECT_EQ(Bytes(raw, raw + 2), (Bytes{0x12, 0x34}));
    EXPECT_EQ(messageOf([&] { PackRow(7, bgr, 1, raw); }), "Unsupported pixel format");
}

TEST(PNGRows, NearLosslessGreyWorkedExample) {
    // Tolerance 4 (half 2). Row 1, byte 1: g=(12+20)/2=16, f=40: h=24 mod 4=0 -> 40.
    // byte 2: g=(40+30)/2=35, f=50: h=15 mod 4=3 >= 2 -> 50+4-3=51.
    Bytes img = {10, 20, 30, 12, 40, 50};
    EXPECT_EQ(NearLossless(img.data(), 3, 2, 3, 1, nullptr, 4, -1), 3);
    EXPECT_EQ(img, (Bytes{10, 20, 30, 12, 40, 51}));
    // Within tolerance the prediction is taken: g=(12+20)/2=16, f=18 -> 16;
    // then g=(16+30)/2=23, f=20 -> 23.
    img = {10, 20, 30, 12, 18, 20};
    NearLossless(img.data(), 3, 2, 3, 1, nullptr, 4, -1);
    EXPECT_EQ(img, (Bytes{10, 20, 30, 12, 16, 23}));
    // Small remainder rounds down, clamped at 0: g=(200+0)/2=100, f=1: h=(1-100) mod 256=157 mod 7=3 < 4 -> 1-3 -> 0.
    img = {0, 0, 200, 1};
    NearLossless(img.data(), 2, 2, 2, 1, nullptr, 7, -1);
    EXPECT_EQ(img[3], 0);
    // Large remainder rounds up, clamped at 255: g=(0+0)/2=0, f=254, tolerance 5 (half 3):
    // h=254 mod 5=4 >= 3 -> 254+5-4=255.
    img = {0, 0, 0, 254};
    NearLossless(img.data(), 2, 2, 2, 1, nullptr, 5, -1);
    EXPECT_EQ(img[3], 255);
}

TEST(PNGRows, NearLosslessGreyNeverCreatesOrChangesTheTransparentLevel) {
    // C = 16: the pixel 16 stays; a new value that would be 16 is not stored.
    Bytes img = {10, 20, 30, 12, 16, 18};
    NearLossless(img.data(), 3, 2, 3, 1, nullptr, 4, 16);
    // byte 1 is C and skipped. byte 2: g=(16+30)/2=23, f=18 -> |5| > 4: h=(18-23) mod 256=251 mod 4=3 >= 2 -> 19.
    EXPECT_EQ(img, (Bytes{10, 20, 30, 12, 16, 19}));
    img = {10, 20, 30, 12, 18, 50};
    NearLossless(img.data(), 3, 2, 3, 1, nullptr, 4, 16);
    // byte 1: g=16, f=18 -> would be 16 = C: not stored, stays 18.
    EXPECT_EQ(img[4], 18);
}

TEST(PNGRows, NearLosslessRgbMatchesTransparencyInRedGreenBlueOrder) {
    // Two rows of two BGR pixels. The transparent colour is red 3, green 2, blue 1,
    // i.e. TransparentColor = 3 | 2 << 8 | 1 << 16; in memory that pixel is 1, 2, 3.
    const int32_t c = 3 | (2 << 8) | (1 << 16);
    Bytes img = {50, 50, 50, 60, 60, 60,
                 1, 2, 3, 1, 2, 3};
    NearLossless(img.data(), 2, 2, 6, 3, nullptr, 100, c);
    // Row 1 byte 3..5 belong to a pixel equal to C: skipped, so the pixel survives.
    EXPECT_EQ(Bytes(img.begin() + 9, img.end()), (Bytes{1, 2, 3}));
    // The byte-order-swapped value (blue in bits 0-7) is not the transparent colour:
    // the pixel is then smoothed like any other.
    img = {50, 50, 50, 60, 60, 60, 1, 2, 3, 1, 2, 3};
    NearLossless(img.data(), 2, 2, 6, 3, nullptr, 100, 1 | (2 << 8) | (3 << 16));
    EXPECT_NE(Bytes(img.begin() + 9, img.end()), (Bytes{1, 2, 3}));
}

TEST(PNGRows, NearLosslessRgbFlipsTheLowBitOfAPixelThatBecameTransparent) {
    // Row 1, pixel 1 smooths into exactly C: g for each byte = (left + above) / 2.
    // left pixel (10, 20, 30), above (10, 20, 30): g = 10, 20, 30 within tolerance 8.
    const int32_t c = 30 | (20 << 8) | (10 << 16);
    Bytes img = {0, 0, 0, 10, 20, 30,
                 10, 20, 30, 12, 22, 33};
    NearLossless(img.data(), 2, 2, 6, 3, nullptr, 8, c);
    EXPECT_EQ(Bytes(img.begin() + 9, img.end()), (Bytes{10, 20, 31}));
}

TEST(PNGRows, NearLosslessPaletteSortsByLuminanceKeyAndPinsTheTransparentIndex) {
    // Entry i: blue 255 - i, green 0, red 0, so key 255 - i: all keys differ and the
    // sorted order reverses the palette.
    Bytes palette(768);
    for (int i = 0; i < 256; ++i) palette[3 * i] = static_cast<uint8_t>(255 - i);
    Bytes img = {0, 1, 2, 3};
    Bytes pal = palette;
    EXPECT_EQ(NearLossless(img.data(), 2, 2, 2, 1, pal.data(), 1, -1), 4);
    EXPECT_EQ(pal[0], 0);        // new entry 0 is old entry 255 (blue 0)
    EXPECT_EQ(pal[3 * 255], 255);  // new entry 255 is old entry 0
    // Pixels follow their entries: 0 -> 255, 1 -> 254, ... Tolerance 1 changes nothing
    // more (distances are at least 1).
    EXPECT_EQ(img, (Bytes{255, 254, 253, 252}));

    // C = 10: old entry 10 keeps index 10; old entry 245, which sorted to 10, takes
    // entry 10's sorted position 245.
    pal = palette;
    img = {10, 245, 0, 9};
    NearLossless(img.data(), 2, 2, 2, 1, pal.data(), 1, 10);
    EXPECT_EQ(pal[3 * 10], 245);  // blue of old entry 10
    EXPECT_EQ(pal[3 * 245], 10);  // blue of old entry 245
    EXPECT_EQ(img, (Bytes{10, 245, 255, 246}));
}

TEST(PNGRows, NearLosslessPaletteReplacesCloseColoursByThePrediction) {
    // Palette sorted already by key (entry i has red i/2... simpler: blue i): keys i.
    Bytes pal(768);
    for (int i = 0; i < 256; ++i) pal[3 * i] = static_cast<uint8_t>(i);
    // Row 1 pixel 1: left 100, above 100, above-left 100 -> prediction 100; the pixel
    // 102 is at distance 2 < 3 and becomes 100. Pixel 1 of row 2: prediction 100 (left
    // 100, above 100, above-left 100), pixel 110 at distance 10 stays.
    Bytes img = {100, 100, 100, 102, 100, 110};
    NearLossless(img.data(), 2, 3, 2, 1, pal.data(), 3, -1);
    EXPECT_EQ(img, (Bytes{100, 100, 100, 100, 100, 110}));
    // The transparent index is never produced nor replaced.
    img = {100, 100, 100, 102, 100, 110};
    NearLossless(img.data(), 2, 3, 2, 1, pal.data(), 3, 102);
    EXPECT_EQ(img[3], 102);
    img = {100, 100, 100, 101, 100, 110};
    NearLossless(img.data(), 2, 3, 2, 1, pal.data(), 3, 100);
    EXPECT_EQ(img[3], 101);
}
