#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "picture/BitmapTypes.h"
#include "picture/PixelBuffer.h"
#include "platform/Stream.h"

// The Windows bitmap file format as the platform bitmap reads and writes it.
namespace host {

// A bitmap as the reader decodes it, for the platform bitmap to take over without a copy:
// rows top row first, packed to whole bytes (PackedRowBytes of the format's bits) in the
// layout the platform bitmap keeps for Format.
struct TDecodedBitmap {
    TPixelFormat Format = pfDevice;
    int32_t Width = 0;
    int32_t Height = 0;
    int32_t RowBytes = 0;
    // The file's colour table (2^bits entries, missing ones black) for 1, 4 and 8 bits,
    // kept even when RLE data goes to 8 or 24 bits; empty for deeper files.
    std::vector<TPaletteEntry> Palette;
    PixelBuffer Pixels;

    uint8_t* Row(int32_t y) { return Pixels.get() + int64_t{y} * RowBytes; }
};

// Reads the bitmap that starts at the stream's position (offsets in the file count from
// there). Accepted:
// "BM"; information headers of 12 (core, 3-byte colour entries), 40, 52, 56, 64, 108 and
// 124 bytes; planes 1; 1, 4, 8, 16, 24 and 32 bits; uncompressed rows bottom-up or
// top-down; RLE8 and RLE4, kept as 8 and 4-bit indices with their table, the pixels the
// data never reaches black (the table's first black entry, else an entry no pixel uses
// made black; only when every entry is used does RLE4 widen to 8 bits, black at 16, and
// RLE8 go to 24 bits); colour masks for 16 and 32 bits (after a
// 40-byte header with compression 3, or inside the larger headers), honoured: 5-5-5 and
// 5-6-5 become pf15bit and pf16bit, blue-green-red 32 bits pf32bit, any other masks are
// decoded to pfCustom (32-bit blue, green, red, 0). Anything else raises EInvalidGraphic
// "Bitmap image is not valid", as do headers and colour table cut short. Pixel data that
// ends early leaves the rest zero and is reported through host::ReportDamage ("BMP:
// Premature end of data (<n> of <rows> rows missing)").
TDecodedBitmap ReadBitmapFile(TStream& stream);

// What WriteBitmapFile writes: Row(y) gives the packed pixels of row y (0 = top).
struct TBitmapFileImage {
    int32_t Width = 0;
    int32_t Height = 0;
    int BitCount = 24;      // 1, 4, 8, 16, 24 or 32
    bool Masks565 = false;  // 16 bits: 5-6-5 with colour masks; otherwise 5-5-5
    const TPaletteEntry* Colors = nullptr;  // up to 2^BitCount entries for 1, 4, 8 bits
    int ColorCount = 0;                     // the rest of the table is black
    std::function<const uint8_t*(int32_t y)> Row;
};

// Writes the 14-byte file header, the 40-byte information header (plus the three masks
// for 5-6-5), the colour table (4-byte entries, 2^BitCount of them for 1, 4, 8 bits) and
// the rows bottom-up, each padded to 4 bytes, in large blocks; every write is checked.
void WriteBitmapFile(TStream& stream, const TBitmapFileImage& image);

// A bitmap file that reading and writing again would give back with the same rows: the
// headers the writer would write, and where the rows lie in the file.
struct TBitmapFileCopy {
    TPixelFormat Format = pfDevice;  // as ReadBitmapFile gives the rows
    int32_t Width = 0;
    std::vector<uint8_t> Headers;
    int64_t PixelOffset = 0;  // of the rows, from the start of the stream
    int64_t RowBytes = 0;     // of a row without its padding, which the writer zeroes
    int64_t Stride = 0;       // from one row to the next, in both files
    int32_t Rows = 0;
};

// Reads the headers of the bitmap at the stream's position and plans its copy when the
// rows would come out as they are: no compression, rows bottom-up, 1, 4, 8, 24 bits, 16
// (5-5-5, or 5-6-5 with its masks) or 32 (blue, green, red), every row present in the
// stream, a size the reader and the writer accept. Anything else, a stream that cannot
// seek and a file they refuse included, gives none: ReadBitmapFile decides then. The
// stream is back at its position afterwards.
std::optional<TBitmapFileCopy> PlanBitmapFileCopy(TStream& stream);

// The pixel format ReadBitmapFile gives the bitmap at the stream's position (for RLE
// data, the depth its indices are decoded in), pfDevice
// where it refuses the headers; none when a stream that cannot seek leaves it untold.
// The stream is back at its position.
std::optional<TPixelFormat> BitmapFileFormat(TStream& stream);

// Writes the planned copy of source into dest at its position: the headers, then the
// rows, moved inside the kernel when they have no padding. Failures raise
// EWriteError "Stream write error" (carrying the system's reason) or EReadError
// "Stream read error".
void CopyBitmapFile(TFileStream& source, const TBitmapFileCopy& plan, TFileStream& dest);

}  // namespace host
