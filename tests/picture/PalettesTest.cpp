#include "picture/Palettes.h"

#include <gtest/gtest.h>

#include <algorithm>

using namespace host;

namespace {

bool Holds(const TLogPalette& palette, int r, int g, int b) {
    return std::any_of(palette.Entries.begin(), palette.Entries.end(),
                       [&](const TPaletteEntry& e) { return e.peRed == r && e.peGreen == g && e.peBlue == b; });
}

}  // namespace

TEST(PlatformPalettes, DefaultHoldsTheTwentySystemColours) {
    const TLogPalette& p = *DefaultSystemPalette();
    ASSERT_EQ(p.Entries.size(), 20u);
    const int expected[][4] = {{0, 0, 0, 0},       {7, 192, 192, 192}, {8, 192, 220, 192}, {12, 128, 128, 128},
                               {13, 255, 0, 0},    {14, 0, 255, 0},    {16, 0, 0, 255},    {19, 255, 255, 255}};
    for (const auto& e : expected) {
        EXPECT_EQ(p.Entries[e[0]].peRed, e[1]) << e[0];
        EXPECT_EQ(p.Entries[e[0]].peGreen, e[2]) << e[0];
        EXPECT_EQ(p.Entries[e[0]].peBlue, e[3]) << e[0];
    }
}

TEST(PlatformPalettes, HalftoneKeepsSystemColoursAtBothEndsAroundTheCubeAndGreys) {
    TPaletteHandle p = CreateHalftonePalette();
    ASSERT_EQ(p->Entries.size(), 256u);
    const TLogPalette& system = *DefaultSystemPalette();
    for (int i = 0; i < 10; ++i) {
        EXPECT_EQ(p->Entries[i].peGreen, system.Entries[i].peGreen) << i;
        EXPECT_EQ(p->Entries[246 + i].peGreen, system.Entries[10 + i].peGreen) << i;
    }
    for (int r = 0; r < 256; r += 51)
        for (int g = 0; g < 256; g += 51)
            for (int b = 0; b < 256; b += 51) EXPECT_TRUE(Holds(*p, r, g, b)) << r << "," << g << "," << b;
    // Between the cube levels the greys leave no gap wider than 13.
    for (int v = 0; v < 256; ++v) {
        const TPaletteEntry& e = p->Entries[GetNearestPaletteIndex(p.get(), RGB(v, v, v))];
        EXPECT_LE(std::abs(e.peRed - v), 6) << v;
    }
}

TEST(PlatformPalettes, NearestEntryPrefersTheFirstOfEquals) {
    const TPaletteEntry entries[] = {{10, 0, 0, 0}, {0, 0, 0, 0}, {20, 0, 0, 0}, {0, 0, 0, 0}};
    TPaletteHandle p = CreatePalette(entries, 4);
    EXPECT_EQ(GetNearestPaletteIndex(p.get(), RGB(15, 0, 0)), 0);  // 10 and 20 equally near
    EXPECT_EQ(GetNearestPaletteIndex(p.get(), RGB(0, 0, 0)), 1);   // two exact blacks
    EXPECT_EQ(GetNearestPaletteIndex(p.get(), RGB(0, 3, 4)), 1);   // 25 against 125 and 425
    EXPECT_EQ(GetNearestPaletteIndex(nullptr, RGB(1, 2, 3)), 0);
}
