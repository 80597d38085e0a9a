#include "gif/GIFColorReduction.h"

#include <gtest/gtest.h>

#include <random>

#include "TestSupport.h"
#include "picture/Palettes.h"

using host::TBitmap;
using testing_support::messageOf;

namespace {

struct Rgb {
    uint8_t r, g, b;
};

// A 24-bit bitmap whose pixel (x, y) is pixel(x, y).
template <class F>
TBitmap MakeBitmap(int32_t width, int32_t height, F pixel, host::TPixelFormat format = host::pf24bit) {
    TBitmap bitmap;
    bitmap.NewImage(format, width, height);
    for (int32_t y = 0; y < height; ++y)
        for (int32_t x = 0; x < width; ++x) {
            const Rgb c = pixel(x, y);
            bitmap.SetPixel(x, y, host::RGB(c.r, c.g, c.b));
        }
    return bitmap;
}

TBitmap RandomBitmap(int32_t width, int32_t height, uint32_t seed) {
    std::mt19937 random(seed);
    return MakeBitmap(width, height, [&](int, int) {
        return Rgb{static_cast<uint8_t>(random()), static_cast<uint8_t>(random()), static_cast<uint8_t>(random())};
    });
}

std::vector<uint8_t> Indices(const TBitmap& bitmap) {
    std::vector<uint8_t> out;
    for (int32_t y = 0; y < bitmap.Height(); ++y)
        out.insert(out.end(), bitmap.ScanLine(y), bitmap.ScanLine(y) + bitmap.Width());
    return out;
}

}  // namespace

// Worked values of each lookup: the index and the palette colour handed back.
TEST(ColorLookup, MatchesWorkedValues) {
    auto gray4 = Gray4Palette();
    TSlowColorLookup slowGray4(gray4.get());
    TSlowColorLookup slowDefault(host::DefaultSystemPalette());
    TNetscapeColorLookup netscape;
    TGrayScaleLookup gray;
    TMonochromeLookup mono;
    struct Case {
        TColorLookup* lookup;
        Rgb in;
        int index;
        Rgb chosen;
    } cases[] = {
        {&netscape, {255, 255, 255}, 215, {255, 255, 255}},
        {&netscape, {47, 47, 47}, 0, {0, 0, 0}},
        {&netscape, {48, 48, 48}, 43, {51, 51, 51}},
        {&netscape, {99, 150, 252}, 95, {102, 153, 255}},
        {&netscape, {251, 98, 201}, 154, {204, 51, 204}},
        {&gray, {255, 255, 255}, 255, {255, 255, 255}},
        {&gray, {255, 0, 0}, 76, {76, 76, 76}},
        {&gray, {0, 255, 0}, 149, {149, 149, 149}},
        {&gray, {0, 0, 255}, 28, {28, 28, 28}},
        {&mono, {128, 128, 128}, 1, {255, 255, 255}},
        {&mono, {127, 127, 127}, 0, {0, 0, 0}},
        {&mono, {255, 0, 0}, 0, {0, 0, 0}},
        {&mono, {0, 255, 0}, 1, {255, 255, 255}},
        {&slowGray4, {100, 100, 100}, 1, {128, 128, 128}},
        {&slowGray4, {64, 64, 64}, 0, {0, 0, 0}},          // equally far from 0 and 128: the first
        {&slowGray4, {160, 160, 160}, 1, {128, 128, 128}},  // equally far from 128 and 192
        {&slowGray4, {224, 224, 224}, 3, {255, 255, 255}},
        {&slowDefault, {250, 250, 240}, 10, {255, 251, 240}},
        {&slowDefault, {130, 0, 0}, 1, {128, 0, 0}},
    };
    for (const Case& c : cases) {
        TColorRGB chosen;
        EXPECT_EQ(c.lookup->MatchColor(c.in.r, c.in.g, c.in.b, chosen), c.index)
            << int(c.in.r) << "," << int(c.in.g) << "," << int(c.in.b);
        EXPECT_EQ(chosen.Red, c.chosen.r);
        EXPECT_EQ(chosen.Green, c.chosen.g);
        EXPECT_EQ(chosen.Blue, c.chosen.b);
    }
    EXPECT_EQ(slowGray4.PaletteSize, 4);
    EXPECT_EQ(slowDefault.PaletteSize, 20);
    EXPECT_EQ(netscape.PaletteSize, 216);
    EXPECT_EQ(gray.PaletteSize, 256);
    EXPECT_EQ(mono.PaletteSize, 2);
}

// The pruned search must answer exactly as the platform's linear scan, ties included.
TEST(ColorLookup, SlowLookupAgreesWithThePlatformsNearestEntry) {
    std::mt19937 random(7);
    for (int size : {1, 2, 7, 64, 256}) {
        std::vector<host::TPaletteEntry> entries(size);
        for (auto& e : entries)  // few levels, so that duplicates and ties are common
            e = {static_cast<uint8_t>(random() % 5 * 60), static_cast<uint8_t>(random() % 5 * 60),
                 static_cast<uint8_t>(random() % 5 * 60), 0};
        auto palette = host::CreatePalette(entries.data(), size);
        TSlowColorLookup lookup(palette.get());
        for (int i = 0; i < 3000; ++i) {
            const auto r = static_cast<uint8_t>(random()), g = static_cast<uint8_t>(random() % 8 * 30),
                       b = static_cast<uint8_t>(random());
            TColorRGB chosen;
            ASSERT_EQ(lookup.MatchColor(r, g, b, chosen), host::GetNearestPaletteIndex(palette.get(), host::RGB(r, g, b)))
                << size;
        }
    }
}

namespace {

// A plain model of serpentine error diffusion over a whole-image error array, written
// from the weight tables; the engines keep only a few rows in ring buffers instead.
struct Pattern {
    uint8_t method;
    int32_t divisor;
    std::vector<TDitherWeight> weights;
};

const Pattern Patterns[] = {
    {dmFloydSteinberg, 16, {{0, 1, 7}, {1, -1, 3}, {1, 0, 5}, {1, 1, 1}}},
    {dmStucki, 42, {{0, 1, 8}, {0, 2, 4}, {1, -2, 2}, {1, -1, 4}, {1, 0, 8}, {1, 1, 4}, {1, 2, 2},
                    {2, -2, 1}, {2, -1, 2}, {2, 0, 4}, {2, 1, 2}, {2, 2, 1}}},
    {dmSierra, 32, {{0, 1, 5}, {0, 2, 3}, {1, -2, 2}, {1, -1, 4}, {1, 0, 5}, {1, 1, 4}, {1, 2, 2},
                    {2, -1, 2}, {2, 0, 3}, {2, 1, 2}}},
    {dmJaJuNi, 48, {{0, 1, 7}, {0, 2, 5}, {1, -2, 3}, {1, -1, 5}, {1, 0, 7}, {1, 1, 5}, {1, 2, 3},
                    {2, -2, 1}, {2, -1, 3}, {2, 0, 5}, {2, 1, 3}, {2, 2, 1}}},
    {dmSteveArche, 200, {{0, 2, 32}, {1, -3, 12}, {1, -1, 26}, {1, 1, 30}, {1, 3, 16}, {2, -2, 12},
                         {2, 0, 26}, {2, 2, 12}, {3, -3, 5}, {3, -1, 12}, {3, 1, 12}, {3, 3, 5}}},
    {dmBurkes, 32, {{0, 1, 8}, {0, 2, 4}, {1, -2, 2}, {1, -1, 4}, {1, 0, 8}, {1, 1, 4}, {1, 2, 2}}},
    {dmNearest, 1, {}},
};

std::vector<uint8_t> ModelDither(const Pattern& p, TColorLookup& lookup, const std::vector<Rgb>& image, int w, int h) {
    std::vector<int32_t> error[3];
    for (auto& e : error) e.assign(static_cast<size_t>(w) * h, 0);
    std::vector<uint8_t> out(static_cast<size_t>(w) * h);
    for (int y = 0; y < h; ++y) {
        const int dir = y % 2 == 0 ? 1 : -1;
        for (int i = 0; i < w; ++i) {
            const int x = dir > 0 ? i : w - 1 - i;
            const Rgb& in = image[static_cast<size_t>(y) * w + x];
            const int channel[3] = {in.r, in.g, in.b};
            int adjusted[3];
            for (int c = 0; c < 3; ++c) {
                const int v = channel[c] + (error[c][static_cast<size_t>(y) * w + x] + p.divisor / 2) / p.divisor;
                adjusted[c] = std::clamp(v, 0, 255);
            }
            TColorRGB chosen;
            out[static_cast<size_t>(y) * w + x] = lookup.MatchColor(adjusted[0], adjusted[1], adjusted[2], chosen);
            const int e[3] = {adjusted[0] - chosen.Red, adjusted[1] - chosen.Green, adjusted[2] - chosen.Blue};
            for (const TDitherWeight& wt : p.weights) {
                const int tx = x + wt.Offset * dir, ty = y + wt.Row;
                if (tx < 0 || tx >= w || ty >= h) continue;
                for (int c = 0; c < 3; ++c) error[c][static_cast<size_t>(ty) * w + tx] += e[c] * wt.Weight;
            }
        }
    }
    return out;
}

}  // namespace

// One row of grey 100 through the black-and-white lookup, worked by hand from each
// pattern's weights along the row.
TEST(DitherEngine, OneRowWorkedByHand) {
    const struct {
        uint8_t method;
        std::vector<uint8_t> expected;
    } cases[] = {
        {dmNearest, {0, 0, 0}},         // 100 is below the threshold everywhere
        {dmFloydSteinberg, {0, 1, 0}},  // 100; 100 + 708/16 = 144 white; 100 - 769/16 = 52
        {dmStucki, {0, 0, 1}},          // 100; 100 + 821/42 = 119; 100 + 1373/42 = 132
        {dmSierra, {0, 0, 1}},          // 100; 100 + 516/32 = 116; 100 + 896/32 = 128
        {dmJaJuNi, {0, 0, 0}},          // 100; 100 + 724/48 = 115; 100 + 1329/48 = 127
        {dmSteveArche, {0, 0, 0}},      // 100; 100; 100 + 3300/200 = 116
        {dmBurkes, {0, 0, 1}},          // 100; 100 + 816/32 = 125; 100 + 1416/32 = 144
    };
    for (const auto& c : cases) {
        TBitmap source = MakeBitmap(3, 1, [](int, int) { return Rgb{100, 100, 100}; });
        auto result = ReduceToPalette(source, rmMonochrome, c.method, nullptr, 8);
        EXPECT_EQ(Indices(*result), c.expected) << int(c.method);
    }
}

// Two rows of grey 100, Floyd-Steinberg: the second row runs right to left and takes
// 167, -299, 149 (sixteenths) from the first row's errors 100, -111, 52.
TEST(DitherEngine, FloydSteinbergSecondRowRunsBackWorkedByHand) {
    TBitmap source = MakeBitmap(3, 2, [](int, int) { return Rgb{100, 100, 100}; });
    auto result = ReduceToPalette(source, rmMonochrome, dmFloydSteinberg, nullptr, 8);
    // Row 1 from the right: 100 + 157/16 = 109 black (e 109); 100 + (-299 + 763 + 8)/16 = 129
    // white (e -126); 100 + (167 - 882 + 8)/16 = 56 black.
    EXPECT_EQ(Indices(*result), (std::vector<uint8_t>{0, 1, 0, 0, 1, 0}));
}

// Every engine against the whole-image model, on shapes down to one pixel wide or high
// (where the patterns reach furthest outside the image).
TEST(DitherEngine, EveryEngineMatchesThePlainModel) {
    auto cube = NetscapePalette();
    TNetscapeColorLookup netscape;
    TMonochromeLookup mono;
    auto gray4 = Gray4Palette();
    TSlowColorLookup slow(gray4.get());
    const struct {
        uint8_t method;
        TColorLookup* lookup;
    } lookups[] = {{rmNetscape, &netscape}, {rmMonochrome, &mono}, {rmWindowsGray, &slow}};
    const int shapes[][2] = {{1, 1}, {1, 9}, {9, 1}, {2, 5}, {17, 13}};
    for (const Pattern& p : Patterns)
        for (const auto& l : lookups)
            for (const auto& shape : shapes) {
                const int w = shape[0], h = shape[1];
                std::mt19937 random(w * 100 + h);
                std::vector<Rgb> image(static_cast<size_t>(w) * h);
                for (auto& px : image)
                    px = {static_cast<uint8_t>(random()), static_cast<uint8_t>(random()), static_cast<uint8_t>(random())};
                TBitmap source = MakeBitmap(w, h, [&](int x, int y) { return image[static_cast<size_t>(y) * w + x]; });
                auto result = ReduceToPalette(source, l.method, p.method, nullptr, 8);
                ASSERT_EQ(Indices(*result), ModelDither(p, *l.lookup, image, w, h))
                    << "dither " << int(p.method) << ", reduction " << int(l.method) << ", " << w << "x" << h;
            }
}

TEST(ColorQuantizer, NeverHoldsMoreLeavesThanItsLimit) {
    for (int32_t limit : {1, 2, 16, 236, 256}) {
        TColorQuantizer quantizer(limit, 8);
        std::mt19937 random(limit);
        for (int i = 0; i < 20000; ++i) {
            quantizer.AddColor(static_cast<uint8_t>(random()), static_cast<uint8_t>(random()),
                               static_cast<uint8_t>(random()));
            ASSERT_LE(quantizer.LeafCount(), limit);
        }
        EXPECT_EQ(quantizer.CollectPalette().size(), static_cast<size_t>(quantizer.LeafCount()));
        EXPECT_GE(quantizer.LeafCount(), limit == 1 ? 1 : limit / 2) << "reduced far more than needed";
    }
}

// Red, green and blue once each.
TEST(ColorQuantizer, PalettesWorkedByHand) {
    auto rgb = [](int x, int) {
        return x == 0 ? Rgb{255, 0, 0} : x == 1 ? Rgb{0, 255, 0} : Rgb{0, 0, 255};
    };
    auto entry = [](const host::TLogPalette& p, int i) {
        const auto& e = p.Entries[i];
        return std::vector<int>{e.peRed, e.peGreen, e.peBlue};
    };
    {  // Room for all three: depth first, children by (red, green, blue) bits: blue, green, red.
        TBitmap source = MakeBitmap(3, 1, rgb);
        TDIBReader reader(source, host::pf24bit);
        auto palette = QuantizedPalette(reader, 256, 8, false);
        ASSERT_EQ(palette->Entries.size(), 256u);
        EXPECT_EQ(entry(*palette, 0), (std::vector<int>{0, 0, 255}));
        EXPECT_EQ(entry(*palette, 1), (std::vector<int>{0, 255, 0}));
        EXPECT_EQ(entry(*palette, 2), (std::vector<int>{255, 0, 0}));
        EXPECT_EQ(entry(*palette, 3), (std::vector<int>{0, 0, 0}));
        EXPECT_EQ(palette->Entries[2].peFlags, 0);
        EXPECT_EQ(palette->Entries[3].peFlags, 4);
        TBitmap again = MakeBitmap(3, 1, rgb);
        auto result = ReduceToPalette(again, rmQuantize, dmNearest, nullptr, 8);
        EXPECT_EQ(Indices(*result), (std::vector<uint8_t>{2, 1, 0}));
    }
    {  // Two colours: the three chains share only the root, which merges them into their mean.
        TBitmap source = MakeBitmap(3, 1, rgb);
        TDIBReader reader(source, host::pf24bit);
        auto palette = QuantizedPalette(reader, 2, 8, false);
        ASSERT_EQ(palette->Entries.size(), 2u);
        EXPECT_EQ(entry(*palette, 0), (std::vector<int>{85, 85, 85}));
        EXPECT_EQ(entry(*palette, 1), (std::vector<int>{0, 0, 0}));
    }
    {  // With the system colours around the quantised ones.
        TBitmap source = MakeBitmap(3, 1, rgb);
        auto result = ReduceToPalette(source, rmQuantizeWindows, dmNearest, nullptr, 8);
        const auto* palette = result->Palette();
        ASSERT_NE(palette, nullptr);
        ASSERT_EQ(palette->Entries.size(), 256u);
        const auto& system = host::DefaultSystemPalette()->Entries;
        for (int i = 0; i < 10; ++i) {
            EXPECT_EQ(entry(*palette, i), entry(*host::DefaultSystemPalette(), i));
            EXPECT_EQ(entry(*palette, 246 + i), entry(*host::DefaultSystemPalette(), 10 + i));
        }
        EXPECT_EQ(entry(*palette, 10), (std::vector<int>{0, 0, 255}));
        EXPECT_EQ(entry(*palette, 12), (std::vector<int>{255, 0, 0}));
        EXPECT_EQ(system.size(), 20u);
        // Pure red, green and blue are also system colours 249, 250 and 252: the first wins.
        EXPECT_EQ(Indices(*result), (std::vector<uint8_t>{12, 11, 10}));
    }
}

TEST(ReduceToPalette, DefaultsGiveTheCubeIndexAndTable) {
    TBitmap source = RandomBitmap(37, 11, 3);
    std::vector<Rgb> pixels;
    for (int y = 0; y < 11; ++y)
        for (int x = 0; x < 37; ++x) {
            const host::TColor c = source.GetPixel(x, y);
            pixels.push_back({host::GetRValue(c), host::GetGValue(c), host::GetBValue(c)});
        }
    auto result = ReduceToPalette(source, rmNetscape, dmNearest, nullptr, 8);
    ASSERT_EQ(result->PixelFormat(), host::pf8bit);
    ASSERT_EQ(result->Width(), 37);
    ASSERT_EQ(result->Height(), 11);
    const auto indices = Indices(*result);
    for (size_t i = 0; i < pixels.size(); ++i) {
        const auto level = [](int v) { return (v + 3) / 51; };
        ASSERT_EQ(indices[i], 36 * level(pixels[i].r) + 6 * level(pixels[i].g) + level(pixels[i].b)) << i;
    }
    const auto& table = result->Palette()->Entries;
    ASSERT_EQ(table.size(), 256u);
    for (int i = 0; i < 256; ++i) {
        const int r = i < 216 ? i / 36 * 51 : 0, g = i < 216 ? i / 6 % 6 * 51 : 0, b = i < 216 ? i % 6 * 51 : 0;
        EXPECT_EQ(table[i].peRed, r) << i;
        EXPECT_EQ(table[i].peGreen, g) << i;
        EXPECT_EQ(table[i].peBlue, b) << i;
    }
}

TEST(ReduceToPalette, MethodsPalettesAndEmptyResults) {
    auto gray = [](int x, int) { return Rgb{static_cast<uint8_t>(x * 50), static_cast<uint8_t>(x * 50), static_cast<uint8_t>(x * 50)}; };
    const std::vector<host::TPaletteEntry> two = {{10, 10, 10, 0}, {240, 240, 240, 0}};
    auto given = host::CreatePalette(two.data(), 2);
    const struct {
        uint8_t method, dither;
        host::HPALETTE palette;
        std::vector<uint8_t> expected;  // greys 0, 50, 100, 150, 200, 250; empty: no image
    } cases[] = {
        {rmWindows20, dmNearest, nullptr, {0, 0, 12, 11, 7, 19}},  // black, greys 128 and 160, silver, white
        {rmWindowsGray, dmNearest, nullptr, {0, 0, 1, 1, 2, 3}},
        {rmMonochrome, dmNearest, nullptr, {0, 0, 0, 1, 1, 1}},
        {rmGrayScale, dmNearest, nullptr, {0, 50, 100, 150, 200, 250}},
        {rmNetscape, dmNearest, nullptr, {0, 43, 86, 129, 129, 172}},
        {rmPalette, dmNearest, given.get(), {0, 0, 0, 1, 1, 1}},
        {rmPalette, dmNearest, nullptr, {}},
        {10, dmNearest, nullptr, {}},
        {rmNetscape, 7, nullptr, {}},
    };
    for (const auto& c : cases) {
        TBitmap source = MakeBitmap(6, 1, gray, host::pf32bit);
        auto result = ReduceToPalette(source, c.method, c.dither, c.palette, 8);
        if (c.method <= rmPalette) {
            EXPECT_EQ(source.PixelFormat(), host::pf24bit) << "the reading switches it to 24 bits";
        }
        EXPECT_EQ(Indices(*result), c.expected) << int(c.method) << "/" << int(c.dither);
        EXPECT_EQ(result->Empty(), c.expected.empty());
    }
    // The halftone palette holds the cube, so cube colours come back exactly.
    TBitmap cubeColors = MakeBitmap(2, 1, [](int x, int) { return x ? Rgb{51, 102, 153} : Rgb{255, 204, 0}; });
    auto halftone = ReduceToPalette(cubeColors, rmWindows256, dmNearest, nullptr, 8);
    for (int x = 0; x < 2; ++x) EXPECT_EQ(halftone->GetPixel(x, 0), cubeColors.GetPixel(x, 0));
    // No reduction: a 24-bit copy.
    TBitmap source = MakeBitmap(6, 1, gray, host::pf32bit);
    auto copy = ReduceToPalette(source, rmNone, dmNearest, nullptr, 8);
    EXPECT_EQ(copy->PixelFormat(), host::pf24bit);
    EXPECT_EQ(copy->GetPixel(5, 0), host::RGB(250, 250, 250));
}

TEST(ReduceToPalette, SizesAndFormatsTheWriterRefuses) {
    TBitmap target;
    auto palette = NetscapePalette();
    EXPECT_EQ(messageOf<GIFException>([&] { TDIBWriter(target, palette.get(), 2, 2, host::pf4bit); }),
              "Unsupported PixelFormat");
    EXPECT_EQ(messageOf<GIFException>([&] { TDIBWriter(target, palette.get(), 0, 2, host::pf8bit); }),
              "Invalid image dimensions");
    EXPECT_EQ(messageOf<ELinearBitmap>([&] { TDIBWriter(target, palette.get(), 70000, 70000, host::pf8bit); }),
              "Invalid bitmap size");
    EXPECT_EQ(messageOf<EInvalidGraphic>([&] {
                  TDIBWriter writer(target, palette.get(), 2, 2, host::pf8bit);
                  writer.ScanLine(2);
              }),
              "Scan line index out of range");
    // 30000 x 30000 is a bitmap at 1 bit but not at 24: refused before the rows are converted.
    TBitmap huge;
    huge.NewImage(host::pf1bit, 30000, 30000);
    for (uint8_t method : {rmNone, rmNetscape})
        EXPECT_EQ(messageOf<ELinearBitmap>([&] { ReduceToPalette(huge, method, dmNearest, nullptr, 8); }),
                  "Invalid bitmap size");
    EXPECT_EQ(huge.PixelFormat(), host::pf1bit);
}
