#pragma once

#include <cstdint>

#include "platform/Exceptions.h"

// A picture that its class cannot hold or read ("Bitmap image is not valid").
PIXMORPH_EXCEPTION(EInvalidGraphic, Exception);

// The plain values that bitmaps, palettes and bitmap files share: palette entries, the
// descriptions of a device-independent bitmap, and pixel formats with their row sizes.
// The bitmap file reader and writer need these without the bitmap class itself.
namespace host {

struct TPaletteEntry {
    uint8_t peRed = 0, peGreen = 0, peBlue = 0, peFlags = 0;
};

// ---------------------------------------------------------------- DIB descriptions

struct TRGBQuad {
    uint8_t rgbBlue = 0, rgbGreen = 0, rgbRed = 0, rgbReserved = 0;
};

enum : uint32_t { BI_RGB = 0, BI_RLE8 = 1, BI_RLE4 = 2, BI_BITFIELDS = 3 };

struct TBitmapInfoHeader {
    uint32_t biSize = 40;
    int32_t biWidth = 0;
    int32_t biHeight = 0;  // negative: rows top-down
    uint16_t biPlanes = 1;
    uint16_t biBitCount = 0;
    uint32_t biCompression = BI_RGB;
    uint32_t biSizeImage = 0;
    int32_t biXPelsPerMeter = 0;
    int32_t biYPelsPerMeter = 0;
    uint32_t biClrUsed = 0;
    uint32_t biClrImportant = 0;
};

struct TBitmapInfo {
    TBitmapInfoHeader bmiHeader;
    TRGBQuad bmiColors[256];
};

// ---------------------------------------------------------------- pixel formats

enum TPixelFormat : uint8_t { pfDevice, pf1bit, pf4bit, pf8bit, pf15bit, pf16bit, pf24bit, pf32bit, pfCustom };

// Bits per stored pixel of a format: device-dependent bitmaps are kept at 24 bits,
// custom layouts (colour masks the other formats cannot express) are decoded to 32.
constexpr int BitsOfPixelFormat(TPixelFormat format) {
    switch (format) {
        case pf1bit: return 1;
        case pf4bit: return 4;
        case pf8bit: return 8;
        case pf15bit:
        case pf16bit: return 16;
        case pf32bit:
        case pfCustom: return 32;
        default: return 24;
    }
}

// Bytes of one row of width pixels of bits each, packed to whole bytes (no padding).
// Raises ELinearBitmap "Invalid bitmap size" for a row no buffer can hold.
int64_t PackedRowBytes(int32_t width, int bits);

}  // namespace host
