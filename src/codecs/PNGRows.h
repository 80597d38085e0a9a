#pragma once

#include <cstddef>
#include <cstdint>

// The row-level work of the PNG and MNG codec, free of streams and images so that
// each step can be tested on its own: header rules, row filters in both directions,
// sample unpacking, Adam7 geometry, the MNG intrapixel transform, filter choice and
// the near-lossless pass. TPNGLoader (PNGLoader.h) drives these over its streams.
namespace pngrows {

// What an IHDR's colour type and bit depth become in memory.
struct SampleLayout {
    int Channels = 0;     // samples per pixel in the file
    int BitDepth = 0;     // bits per sample in the file
    int PixelFormat = 0;  // the TLinearBitmap format code (3, 5 or 6)
    int PixelSize = 0;    // bytes per pixel in memory
    int GrayLevels = 0;   // grey images: palette levels (0 for 16-bit grey, which has no palette)
    bool HasAlpha = false;
    bool Indexed = false;  // colour type 3: the palette comes from PLTE
};

inline constexpr int kIndexed8 = 3;
inline constexpr int kGray16 = 5;
inline constexpr int kBGR24 = 6;

// The layout for a colour type and bit depth. Combinations the PNG format does not
// allow (a palette of depth 16, RGB of depth 4, depth 3, colour type 1...) raise
// "Invalid PNG data", so that no later step sizes a row or a palette from them.
SampleLayout LayoutFor(int colourType, int bitDepth);

// Bytes of one filtered row without its filter byte: (width × channels × depth + 7) div 8.
// Checked: raises the size error when it cannot be one buffer.
int64_t RowBytes(int64_t width, int channels, int bitDepth);

// Bytes from one pixel to the same byte of the next, for the filters: at least 1.
inline int FilterStride(int channels, int bitDepth) {
    const int bits = channels * bitDepth;
    return bits < 8 ? 1 : bits / 8;
}

// Adam7: pass k = 1..7.
struct Pass {
    int XStart, YStart, XStep, YStep;
    int64_t Width, Height;  // pixels and rows of the pass for the given image size
};
Pass Adam7Pass(int k, int64_t width, int64_t height);

// Undoes filter type `type` on `row` (n bytes) in place, given the previous unfiltered
// row `prev` (zeros for the first row of an image or pass). Types above 4 raise
// "Invalid PNG data".
void UnfilterRow(int type, uint8_t* row, const uint8_t* prev, size_t n, int bpp);

// UnfilterRow and UnpackRow in one for 8-bit red-green-blue rows read straight into an
// image row: `row` holds the n filtered bytes and is left as blue-green-red pixels,
// `prev` is the image row above (blue, green, red; zeros above the first). The filters
// work on each byte against the bytes at the same place in its pixel, so the filtered
// bytes with red and blue swapped, unfiltered against a swapped prior row, give the
// swapped pixels. Types above 4 raise "Invalid PNG data".
void UnfilterRowToBGR(int type, uint8_t* row, const uint8_t* prev, size_t n);

// UnfilterRowToBGR on two consecutive rows, `lower` below `upper`. Two Paeth rows, the
// common case in photographs, are unfiltered side by side, which is faster than one
// after the other.
void UnfilterRowPairToBGR(int upperType, uint8_t* upper, int lowerType, uint8_t* lower, const uint8_t* prev,
                          size_t n);

// Unpacks one unfiltered row of `count` pixels into memory pixels (layout.PixelSize
// bytes each) and, when alpha is not null and the file has an alpha channel, the
// high byte of every alpha sample into alpha[0..count).
void UnpackRow(const SampleLayout& layout, const uint8_t* raw, size_t count, uint8_t* pixels, uint8_t* alpha);

// Places a pass row of `count` memory pixels (pixelSize bytes each) into an image row,
// starting at column xStart and stepping xStep columns.
void ScatterPixels(const uint8_t* passPixels, size_t count, int pixelSize, uint8_t* imageRow, int xStart, int xStep);

// MNG filter method 64 on blue, green, red pixels: Undo adds green back to red and blue,
// Apply subtracts it (both modulo 256).
void UndoIntrapixel(uint8_t* bgr, size_t pixels);
void ApplyIntrapixel(uint8_t* bgr, size_t pixels);

// The Paeth predictor of the PNG filters.
inline uint8_t Paeth(uint8_t a, uint8_t b, uint8_t c) {
    const int p = a + b - c;
    const int pa = p > a ? p - a : a - p;
    const int pb = p > b ? p - b : b - p;
    const int pc = p > c ? p - c : c - p;
    if (pa <= pb && pa <= pc) return a;
    if (pb <= pc) return b;
    return c;
}

// Writing: filters raw row `raw` with type 0..4 into `out` (n bytes), `prev` being
// the previous raw row (zeros above the first).
void FilterRow(int type, const uint8_t* raw, const uint8_t* prev, uint8_t* out, size_t n, int bpp);

// The cost of a filtered row for adaptive filtering: mode -1 sums the bytes' absolute
// values read as signed; mode -2 is minus the number of positions i in 4..n-1 at which
// bytes i-4..i are all equal (0 for rows of 4 bytes or fewer). Other modes assert.
int64_t RowCost(int mode, const uint8_t* filtered, size_t n);

// Chooses the filter for a raw row: mode 0..4 is used as it is; a negative mode
// filters with all five types and takes the cheapest (lowest type on ties). The
// chosen filtered row is left in `out` (n bytes); `scratch` holds 4 × n bytes.
int ChooseAndFilterRow(int mode, const uint8_t* raw, const uint8_t* prev, uint8_t* out, uint8_t* scratch, size_t n,
                       int bpp);

// Forms the raw file row of a memory row: 8-bit samples as they are, blue-green-red
// pixels as red-green-blue, little-endian 16-bit samples as big-endian.
void PackRow(int pixelFormat, const uint8_t* pixels, size_t width, uint8_t* raw);

// The near-lossless pass over an image in memory (rows of bytesPerLine bytes).
// palette is the 768-byte blue-green-red table of an indexed image whose palette is
// not the grey ramp (and is reordered in place), or null for grey-ramp indexed images
// (pixelSize 1) and blue-green-red images (pixelSize 3). transparent is the codec's
// TransparentColor: an index, a grey level, or red | green << 8 | blue << 16.
// Returns the filter type to write the changed image with (4 for palettes, else 3).
int NearLossless(uint8_t* map, int64_t width, int64_t height, int64_t bytesPerLine, int pixelSize, uint8_t* palette,
                 uint32_t tolerance, int32_t transparent);

}  // namespace pngrows
