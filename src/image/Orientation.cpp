#include "image/Orientation.h"

#include <cstring>

#include "image/LinarBitmap.h"

namespace {

// Where the pixel shown at (x, y) of the turned image lies in the stored one: a column
// and a row step of the source for each step of x and of y, and the source's start.
struct TWalk {
    int64_t startX, startY;
    int64_t xStepX, xStepY;  // per step of x
    int64_t yStepX, yStepY;  // per step of y
};

TWalk WalkFor(int orientation, int64_t w, int64_t h) {
    switch (orientation) {
        case 2: return {w - 1, 0, -1, 0, 0, 1};
        case 3: return {w - 1, h - 1, -1, 0, 0, -1};
        case 4: return {0, h - 1, 1, 0, 0, -1};
        case 5: return {0, 0, 0, 1, 1, 0};
        case 6: return {0, h - 1, 0, -1, 1, 0};
        case 7: return {w - 1, h - 1, 0, -1, -1, 0};
        default: return {w - 1, 0, 0, 1, -1, 0};  // 8
    }
}

}  // namespace

void ApplyOrientation(TLinearBitmap& image, int orientation) {
    if (!image.Present || orientation < 2 || orientation > 8) return;
    const bool swaps = orientation >= 5;
    const int32_t width = swaps ? image.Height : image.Width;
    const int32_t height = swaps ? image.Width : image.Height;
    const TWalk walk = WalkFor(orientation, image.Width, image.Height);
    const auto size = static_cast<size_t>(image.PixelSize);
    TLinearBitmap turned;
    turned.New(width, height, image.PixelFormat);
    if (image.Palette && turned.Palette) std::memcpy(turned.Palette.get(), image.Palette.get(), PaletteBytes);
    for (int32_t y = 0; y < height; ++y) {
        int64_t sx = walk.startX + walk.yStepX * y;
        int64_t sy = walk.startY + walk.yStepY * y;
        uint8_t* d = turned.ScanLine(y);
        for (int32_t x = 0; x < width; ++x, d += size, sx += walk.xStepX, sy += walk.xStepY)
            std::memcpy(d, image.ScanLine(static_cast<int32_t>(sy)) + sx * static_cast<int64_t>(size), size);
    }
    image.TakeOver(turned);
}
