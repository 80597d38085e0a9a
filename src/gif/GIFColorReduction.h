#pragma once

#include <cstdint>
#include <memory>

#include "platform/Graphics.h"

// Colour reduction for GIF frames: turns a bitmap of any depth into an 8-bit paletted
// bitmap by choosing a palette (the reduction method), matching every pixel to it and
// optionally diffusing the matching error (the dither method).

// Reduction methods, as stored in TGIFImage::ReductionMethod.
enum TColorReduction : uint8_t {
    rmNone = 0,             // keep the colours (24 bits; the caller collects them)
    rmWindows20 = 1,        // the platform's 20-colour default palette
    rmWindows256 = 2,       // the platform's halftone palette
    rmWindowsGray = 3,      // four grey levels
    rmMonochrome = 4,       // black and white
    rmGrayScale = 5,        // 256 grey levels
    rmNetscape = 6,         // the 6x6x6 colour cube
    rmQuantize = 7,         // octree-quantised palette of 2^ReductionDepth colours
    rmQuantizeWindows = 8,  // octree-quantised palette around the 20 system colours
    rmPalette = 9,          // the palette passed in
};

// Dither methods, as stored in TGIFImage::DitherMethod.
enum TDitherMode : uint8_t {
    dmNearest = 0,
    dmFloydSteinberg = 1,
    dmStucki = 2,
    dmSierra = 3,
    dmJaJuNi = 4,
    dmSteveArche = 5,
    dmBurkes = 6,
};

// Returns a new bitmap (8 bits, or a 24-bit copy for rmNone) owned by the caller. The
// source is switched to 24 bits by the reading. A method or dither value out of range
// yields an empty bitmap. Palette is used by rmPalette only.
std::unique_ptr<host::TBitmap> ReduceToPalette(host::TBitmap& Bitmap, uint8_t ReductionMethod, uint8_t DitherMethod,
                                               host::HPALETTE Palette, int32_t ReductionDepth);
