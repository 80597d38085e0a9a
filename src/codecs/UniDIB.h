#pragma once

#include <cstdint>
#include <vector>

#include "platform/Stream.h"

namespace host {
class TBitmap;
}

// The BMP codec's own reader: a read-ahead buffer over a platform stream, a
// device-independent bitmap row held in plain memory, and the decoder that converts a
// Windows bitmap through it, row by row, into a 24-bit platform bitmap (core, info, V4 and V5 headers, OS/2 2.x headers, headerless
// bitmaps, RLE8, RLE4, bit fields). It takes what the platform reader refuses, and
// every file that reader would read as 32-bit blue, green, red, without the platform's
// reading it first.

struct TRGBQuad {
    uint8_t Blue = 0;
    uint8_t Green = 0;
    uint8_t Red = 0;
    uint8_t Reserved = 0;
};

// Read-ahead over a platform stream. Offsets given to it count from where the
// stream stood when the buffer was created, so a bitmap embedded in a larger
// stream reads its own offsets.
class TBufferedFile {
public:
    static constexpr int32_t MinCapacity = 65536;

    explicit TBufferedFile(host::TStream* stream);

    // Makes at least n unread bytes available when the buffer can hold them and the
    // stream has them.
    void Fill(int32_t n);
    // Capacity at least max(n, 65536), the unread bytes kept.
    void Reserve(int32_t n);
    // Empties the buffer, positions the stream at Origin + offset and refills.
    void SeekTo(int64_t offset);
    // Goes to an offset, within the buffer when it holds it.
    void MoveTo(int64_t offset);
    // The next byte; at the end of the stream EReadError "Stream read error".
    uint8_t ReadByte();
    // The next byte into value, or false at the end of the stream.
    bool NextByte(uint8_t& value);
    // Up to count bytes into dest (fewer only at the end of the stream).
    int64_t Read(uint8_t* dest, int64_t count);
    // Skips up to count bytes; false when the stream ended first.
    bool Skip(int64_t count);

    // Unread bytes in the buffer, and where they start.
    int32_t Buffered() const { return Last - Pos + 1; }
    const uint8_t* Current() const { return Buffer.data() + Pos; }
    // Offset (from Origin) of the next byte.
    int64_t Offset() const { return BufferStart + Pos; }

    int64_t Origin = 0;
    std::vector<uint8_t> Buffer;
    int32_t Capacity = 0;
    int32_t Pos = 0;
    int32_t Last = -1;
    host::TStream* Stream;

private:
    void Compact();
    void Refill();

    int64_t BufferStart = 0;  // offset (from Origin) of Buffer[0]
    bool StreamEnded = false;
};

// A device-independent bitmap in memory: rows bottom-up (row 0 is the bottom row),
// each padded to 4 bytes, at 1, 4, 8, 16, 24 or 32 bits per pixel.
class TUniDIB {
public:
    // The bit count is rounded up to the next of 1, 4, 8, 16, 24, 32 (above 32: 32);
    // width and height must be positive. The pixels start as zero bytes.
    // A size that does not fit one buffer raises ELinearBitmap "Invalid bitmap size".
    TUniDIB(int32_t width, int32_t bitCount, int32_t height);

    int32_t Width;
    int32_t Height;
    int32_t BitCount;
    int32_t RowBytes;
    int64_t ImageSize;
    bool HasPalette;
    int32_t PaletteCount;
    TRGBQuad ColorTable[256];
    // Channel masks of 16- and 32-bit pixels (5-5-5 and blue, green, red by default).
    uint32_t RedMask;
    uint32_t GreenMask;
    uint32_t BlueMask;
    std::vector<uint8_t> Bits;

    // Installs up to PaletteCount entries from entry 0; the rest stay as they were.
    void SetColorTable(const TRGBQuad* table, int32_t count);
    void SetBitFields(uint32_t red, uint32_t green, uint32_t blue);
    // Places the cursor at pixel x of row y (0 = bottom row).
    void SetRow(int64_t x, int64_t y);
    // Stores one pixel at the cursor (1, 4 and 8 bits) and advances it. A pixel past
    // the row end or a row outside the image raises ELinearBitmap "Error in bitmap data".
    void WriteNext(uint8_t value);
    // count copies of value (8 bits), or count pixels alternating the nibbles of value
    // (4 bits), with the same check.
    void WriteRun(uint8_t value, int64_t count);

    uint8_t* Row(int32_t y) { return Bits.data() + static_cast<int64_t>(y) * RowBytes; }
    const uint8_t* Row(int32_t y) const { return Bits.data() + static_cast<int64_t>(y) * RowBytes; }

    // Row y counted from the top, as Width blue, green, red triplets: colour table
    // lookup for up to 8 bits, the channel masks for 16 and 32 bits.
    void RowToBGR(int32_t y, uint8_t* out) const;

private:
    int64_t RowStart = -1;  // index in Bits of the cursor's row, -1 outside the image
    int64_t PixelIndex = 0;
};

// Decodes the bitmap at the stream's position into target as 24-bit blue, green, red
// rows (pfBGR24's layout, pf24bit); target changes only when it succeeds. Rows are
// converted as they are read, RLE data one row at a time, so no bitmap of the file's
// depth is held beside the image, whose size is checked before anything is allocated.
// Data that ends early leaves the rest as zero bits show (colour-table entry 0, or
// black) and is reported through host::ReportDamage ("BMP: Premature end of data (<n>
// of <rows> rows missing)"). Sizes that cannot be held raise ELinearBitmap "Invalid
// bitmap size"; an RLE run or delta leaving the image raises ELinearBitmap "Error in
// bitmap data"; out of memory raises EOutOfMemory; anything else that is not a bitmap
// it reads (no signature, an unknown header size, planes or compression, headers or
// colour table cut short, a failing stream) raises Exception "Unsupported file format".
void ReadUniDIB(host::TStream& stream, host::TBitmap& target);

// Where a bitmap's uncompressed rows lie: Rows rows from Offset (counted from where the
// buffered file started), Stride bytes apart, of which the first RowBytes hold pixels;
// the bottom row comes first unless TopDown.
struct TDIBRows {
    int64_t Offset = 0;
    int64_t RowBytes = 0;
    int64_t Stride = 0;
    int32_t Rows = 0;
    bool TopDown = false;
    int32_t SourceBits = 0;  // 2: pixels widened to the row's 4 bits; else as the row holds them
};

// Reads the rows one at a time into row (a TUniDIB one row high, of their width, depth
// and masks) and converts each into its row of target (24 bits, as large) as it arrives.
// Data that ends early ends reading: a row cut short is converted with zero bytes for
// the missing ones, and the rows after it stay as target has them. Returns the rows
// whose pixels all arrived.
int32_t ConvertRowsToBGR(TBufferedFile& file, const TDIBRows& rows, TUniDIB& row, host::TBitmap& target);


// The default colour tables of headerless bitmaps (entries as blue, green, red, 0).
const TRGBQuad* DefaultColorTable(int32_t bitCount);
