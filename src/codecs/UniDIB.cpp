#include "codecs/UniDIB.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <new>

#include "picture/Graphics.h"
#include "picture/PackedPixels.h"
#include "platform/ByteOrder.h"
#include "platform/CheckedSize.h"
#include "platform/DamageReport.h"
#include "platform/Exceptions.h"

namespace {

[[noreturn]] void BitmapDataError() { throw ELinearBitmap("Error in bitmap data"); }
[[noreturn]] void NotABitmap() { throw Exception("Unsupported file format"); }

}  // namespace

// ---------------------------------------------------------------- TBufferedFile

TBufferedFile::TBufferedFile(host::TStream* stream) : Stream(stream) {
    Origin = Stream->GetPosition();
    Buffer.resize(MinCapacity);
    Capacity = MinCapacity;
}

void TBufferedFile::Compact() {
    const int32_t unread = Buffered();
    if (Pos > 0 && unread > 0) std::memmove(Buffer.data(), Buffer.data() + Pos, static_cast<size_t>(unread));
    BufferStart += Pos;
    Pos = 0;
    Last = unread - 1;
}

void TBufferedFile::Refill() {
    Compact();
    const int64_t room = Capacity - (Last + 1);
    if (room <= 0 || StreamEnded) return;
    const int64_t got = Stream->Read(Buffer.data() + Last + 1, room);
    if (got < room) StreamEnded = true;
    if (got > 0) Last += static_cast<int32_t>(got);
}

void TBufferedFile::Fill(int32_t n) {
    if (Buffered() < n && n <= Capacity && !StreamEnded) Refill();
}

void TBufferedFile::Reserve(int32_t n) {
    const int32_t wanted = std::max(n, MinCapacity);
    if (wanted <= Capacity) return;
    Compact();
    Buffer.resize(static_cast<size_t>(wanted));
    Capacity = wanted;
}

void TBufferedFile::SeekTo(int64_t offset) {
    Pos = 0;
    Last = -1;
    BufferStart = offset;
    StreamEnded = false;
    Stream->SetPosition(checkedAdd(Origin, offset));
    Refill();
}

void TBufferedFile::MoveTo(int64_t offset) {
    if (offset >= BufferStart && offset <= BufferStart + Last + 1)
        Pos = static_cast<int32_t>(offset - BufferStart);
    else
        SeekTo(offset);
}

bool TBufferedFile::NextByte(uint8_t& value) {
    if (Pos > Last) {
        Refill();
        if (Pos > Last) return false;
    }
    value = Buffer[static_cast<size_t>(Pos++)];
    return true;
}

uint8_t TBufferedFile::ReadByte() {
    uint8_t value;
    if (!NextByte(value)) throw EReadError("Stream read error");
    return value;
}

int64_t TBufferedFile::Read(uint8_t* dest, int64_t count) {
    int64_t done = 0;
    while (done < count) {
        if (Pos > Last) {
            Refill();
            if (Pos > Last) break;
        }
        const int64_t n = std::min<int64_t>(count - done, Buffered());
        std::memcpy(dest + done, Buffer.data() + Pos, static_cast<size_t>(n));
        Pos += static_cast<int32_t>(n);
        done += n;
    }
    return done;
}

bool TBufferedFile::Skip(int64_t count) {
    while (count > 0) {
        if (Pos > Last) {
            Refill();
            if (Pos > Last) return false;
        }
        const int64_t n = std::min<int64_t>(count, Buffered());
        Pos += static_cast<int32_t>(n);
        count -= n;
    }
    return true;
}

// ---------------------------------------------------------------- TUniDIB

TUniDIB::TUniDIB(int32_t width, int32_t bitCount, int32_t height) {
    if (width < 1 || height < 1) throw ELinearBitmap("Invalid bitmap size");
    BitCount = bitCount <= 1 ? 1 : bitCount <= 4 ? 4 : bitCount <= 8 ? 8 : bitCount <= 16 ? 16 : bitCount <= 24 ? 24 : 32;
    Width = width;
    Height = height;
    // ((width * bits + 31) div 32) * 4, each step checked.
    const int64_t rowBits = checkedAdd(checkedSize({width, BitCount}, MaxBufferSize * 8LL), 31);
    RowBytes = static_cast<int32_t>(checkedSize({rowBits / 32, 4}));
    ImageSize = checkedSize({RowBytes, height});
    HasPalette = BitCount <= 8;
    PaletteCount = HasPalette ? 1 << BitCount : 0;
    if (BitCount == 16)
        SetBitFields(0x7C00, 0x03E0, 0x001F);
    else
        SetBitFields(0xFF0000, 0x00FF00, 0x0000FF);
    try {
        Bits.assign(static_cast<size_t>(ImageSize), 0);
    } catch (const std::bad_alloc&) {
        throw EOutOfMemory("Out of memory");
    }
}

void TUniDIB::SetColorTable(const TRGBQuad* table, int32_t count) {
    const int32_t n = std::clamp(count, 0, PaletteCount);
    std::copy(table, table + n, ColorTable);
}

void TUniDIB::SetBitFields(uint32_t red, uint32_t green, uint32_t blue) {
    RedMask = red;
    GreenMask = green;
    BlueMask = blue;
}

void TUniDIB::SetRow(int64_t x, int64_t y) {
    RowStart = (y >= 0 && y < Height) ? y * RowBytes : -1;
    PixelIndex = x;
}

void TUniDIB::WriteNext(uint8_t value) {
    if (RowStart < 0 || PixelIndex < 0 || PixelIndex >= Width) BitmapDataError();
    uint8_t* row = Bits.data() + RowStart;
    switch (BitCount) {
        case 1: {
            const int shift = 7 - static_cast<int>(PixelIndex & 7);
            uint8_t& b = row[PixelIndex >> 3];
            b = static_cast<uint8_t>((b & ~(1 << shift)) | ((value & 1) << shift));
            break;
        }
        case 4: {
            uint8_t& b = row[PixelIndex >> 1];
            if (PixelIndex & 1)
                b = static_cast<uint8_t>((b & 0xF0) | (value & 0x0F));
            else
                b = static_cast<uint8_t>((b & 0x0F) | (value << 4));
            break;
        }
        case 8: row[PixelIndex] = value; break;
        default: BitmapDataError();
    }
    ++PixelIndex;
}

void TUniDIB::WriteRun(uint8_t value, int64_t count) {
    if (count <= 0) return;
    if (RowStart < 0 || PixelIndex < 0 || PixelIndex > Width - count) BitmapDataError();
    if (BitCount == 8) {
        std::memset(Bits.data() + RowStart + PixelIndex, value, static_cast<size_t>(count));
        PixelIndex += count;
        return;
    }
    for (int64_t i = 0; i < count; ++i) WriteNext((i & 1) ? (value & 0x0F) : (value >> 4));
}

namespace {

// Position and width of a channel mask, to scale its values to 0..255.
struct Channel {
    int shift = 0;
    uint32_t max = 0;  // the mask shifted down; 0 for an empty mask

    explicit Channel(uint32_t mask) {
        if (mask == 0) return;
        while (!(mask & 1)) {
            mask >>= 1;
            ++shift;
        }
        max = mask;
    }
    uint8_t operator()(uint32_t pixel) const {
        if (max == 0) return 0;
        const uint64_t v = (pixel >> shift) & max;
        return static_cast<uint8_t>((v * 255 + max / 2) / max);
    }
};

// The levels 0..Max scaled to 0..255 as Channel scales them, looked up per pixel.
template <uint32_t Max>
struct Levels {
    uint8_t of[Max + 1];
    constexpr Levels() : of() {
        for (uint32_t v = 0; v <= Max; ++v) of[v] = static_cast<uint8_t>((v * 255 + Max / 2) / Max);
    }
};
constexpr Levels<31> FiveBitLevels;
constexpr Levels<63> SixBitLevels;

// 16-bit pixels of 5-5-5 (GreenBits 5) or 5-6-5 (GreenBits 6).
template <int GreenBits>
void Row16ToBGR(const uint8_t* __restrict row, int32_t width, uint8_t* __restrict out) {
    constexpr uint32_t greenMax = (1u << GreenBits) - 1;
    const uint8_t* green = GreenBits == 6 ? SixBitLevels.of : FiveBitLevels.of;
    for (int32_t x = 0; x < width; ++x, row += 2, out += 3) {
        const uint32_t pixel = host::ReadLE16(row);
        out[0] = FiveBitLevels.of[pixel & 31];
        out[1] = green[(pixel >> 5) & greenMax];
        out[2] = FiveBitLevels.of[(pixel >> (5 + GreenBits)) & 31];
    }
}

}  // namespace

void TUniDIB::RowToBGR(int32_t y, uint8_t* out) const {
    const uint8_t* row = Row(Height - 1 - y);
    switch (BitCount) {
        case 1:
        case 4:
        case 8:
            host::UnpackRow(row, BitCount, 0, Width, [&](int64_t x, uint8_t index) {
                const TRGBQuad& c = ColorTable[index];
                uint8_t* p = out + x * 3;
                p[0] = c.Blue;
                p[1] = c.Green;
                p[2] = c.Red;
            });
            break;
        case 24: std::memcpy(out, row, static_cast<size_t>(Width) * 3); break;
        case 16:
        case 32: {
            if (BitCount == 32 && RedMask == 0xFF0000 && GreenMask == 0xFF00 && BlueMask == 0xFF) {
                for (int32_t x = 0; x < Width; ++x, row += 4) {
                    *out++ = row[0];
                    *out++ = row[1];
                    *out++ = row[2];
                }
                break;
            }
            if (BitCount == 16 && RedMask == 0x7C00 && GreenMask == 0x03E0 && BlueMask == 0x001F) {
                Row16ToBGR<5>(row, Width, out);
                break;
            }
            if (BitCount == 16 && RedMask == 0xF800 && GreenMask == 0x07E0 && BlueMask == 0x001F) {
                Row16ToBGR<6>(row, Width, out);
                break;
            }
            const Channel red(RedMask), green(GreenMask), blue(BlueMask);
            const int step = BitCount / 8;
            for (int32_t x = 0; x < Width; ++x, row += step) {
                const uint32_t pixel = step == 2 ? host::ReadLE16(row) : host::ReadLE32(row);
                *out++ = blue(pixel);
                *out++ = green(pixel);
                *out++ = red(pixel);
            }
            break;
        }
    }
}

int32_t ConvertRowsToBGR(TBufferedFile& file, const TDIBRows& rows, TUniDIB& row, host::TBitmap& target) {
    const bool twoBit = rows.SourceBits == 2;
    const int64_t copy = twoBit ? rows.RowBytes : std::min<int64_t>(rows.RowBytes, row.RowBytes);
    std::vector<uint8_t> source(twoBit ? static_cast<size_t>(copy) : 0);
    uint8_t* pixels = row.Row(0);
    file.MoveTo(rows.Offset);
    for (int32_t i = 0; i < rows.Rows; ++i) {
        const int64_t got = file.Read(twoBit ? source.data() : pixels, copy);
        if (twoBit) {
            // Each 2-bit pixel becomes a nibble: a source byte's four pixels fill two row bytes.
            std::fill(pixels, pixels + row.RowBytes, 0);
            host::UnpackRow(source.data(), 2, 0, std::min<int64_t>(row.Width, got * 4), [pixels](int64_t x, uint8_t v) {
                uint8_t& d = pixels[x >> 1];
                d = (x & 1) ? static_cast<uint8_t>((d & 0xF0) | v) : static_cast<uint8_t>((d & 0x0F) | (v << 4));
            });
        } else if (got < copy) {
            std::memset(pixels + got, 0, static_cast<size_t>(copy - got));
        }
        row.RowToBGR(0, target.ScanLine(rows.TopDown ? i : rows.Rows - 1 - i));
        if (got < copy) return i;
        if (!file.Skip(rows.Stride - copy)) return i + 1;
    }
    return rows.Rows;
}

// ---------------------------------------------------------------- default colour tables

namespace {

struct DefaultTables {
    TRGBQuad mono[2];
    TRGBQuad ega[16];
    TRGBQuad vga[256];

    static uint8_t scale6(int v) { return static_cast<uint8_t>((v << 2) | (v >> 4)); }
    static TRGBQuad rgb6(int r, int g, int b) { return {scale6(b), scale6(g), scale6(r), 0}; }

    DefaultTables() {
        mono[0] = {0, 0, 0, 0};
        mono[1] = {255, 255, 255, 0};
        // The EGA colours in 6-bit levels: 0, 0x2A (0xAA) and 0x15 (0x55), 0x3F.
        static const uint8_t egaRGB[16][3] = {
            {0x00, 0x00, 0x00}, {0x00, 0x00, 0x2A}, {0x00, 0x2A, 0x00}, {0x00, 0x2A, 0x2A},
            {0x2A, 0x00, 0x00}, {0x2A, 0x00, 0x2A}, {0x2A, 0x15, 0x00}, {0x2A, 0x2A, 0x2A},
            {0x15, 0x15, 0x15}, {0x15, 0x15, 0x3F}, {0x15, 0x3F, 0x15}, {0x15, 0x3F, 0x3F},
            {0x3F, 0x15, 0x15}, {0x3F, 0x15, 0x3F}, {0x3F, 0x3F, 0x15}, {0x3F, 0x3F, 0x3F}};
        for (int i = 0; i < 16; ++i) ega[i] = vga[i] = rgb6(egaRGB[i][0], egaRGB[i][1], egaRGB[i][2]);
        static const uint8_t grey[16] = {0x00, 0x05, 0x08, 0x0B, 0x0E, 0x11, 0x14, 0x18,
                                         0x1C, 0x20, 0x24, 0x28, 0x2D, 0x32, 0x38, 0x3F};
        for (int i = 0; i < 16; ++i) vga[16 + i] = rgb6(grey[i], grey[i], grey[i]);
        // Nine hue wheels of 24 entries (three intensities, three saturations each),
        // running blue, magenta, red, yellow, green, cyan and back towards blue.
        static const uint8_t levels[9][5] = {
            {0x00, 0x10, 0x1F, 0x2F, 0x3F}, {0x1F, 0x27, 0x2F, 0x37, 0x3F}, {0x2D, 0x31, 0x36, 0x3A, 0x3F},
            {0x00, 0x07, 0x0E, 0x15, 0x1C}, {0x0E, 0x11, 0x15, 0x18, 0x1C}, {0x14, 0x16, 0x18, 0x1A, 0x1C},
            {0x00, 0x04, 0x08, 0x0C, 0x10}, {0x08, 0x0A, 0x0C, 0x0E, 0x10}, {0x0B, 0x0C, 0x0D, 0x0F, 0x10}};
        for (int w = 0; w < 9; ++w) {
            const uint8_t* l = levels[w];
            const int lo = l[0], hi = l[4];
            TRGBQuad* e = vga + 32 + w * 24;
            for (int s = 0; s < 4; ++s) {
                e[s] = rgb6(l[s], lo, hi);           // blue towards magenta: red rises
                e[4 + s] = rgb6(hi, lo, l[4 - s]);   // magenta towards red: blue falls
                e[8 + s] = rgb6(hi, l[s], lo);       // red towards yellow: green rises
                e[12 + s] = rgb6(l[4 - s], hi, lo);  // yellow towards green: red falls
                e[16 + s] = rgb6(lo, hi, l[s]);      // green towards cyan: blue rises
                e[20 + s] = rgb6(lo, l[4 - s], hi);  // cyan towards blue: green falls
            }
        }
        for (int i = 248; i < 256; ++i) vga[i] = {0, 0, 0, 0};
    }
};

const DefaultTables& defaults() {
    static const DefaultTables tables;
    return tables;
}

}  // namespace

const TRGBQuad* DefaultColorTable(int32_t bitCount) {
    switch (bitCount) {
        case 1: return defaults().mono;
        case 4: return defaults().ega;
        case 8: return defaults().vga;
        default: return nullptr;
    }
}

// ---------------------------------------------------------------- the reader

namespace {

// Compression codes of the info header.
enum : uint32_t { biRGB = 0, biRLE8 = 1, biRLE4 = 2, biBitFields = 3, biAlphaBitFields = 6 };

struct Header {
    int64_t dataOffset = 0;
    uint32_t headerSize = 0;
    int64_t width = 0;
    int64_t height = 0;  // negative: rows stored top-down
    uint32_t planes = 0;
    uint32_t bitCount = 0;
    uint32_t compression = biRGB;
    int64_t colorCount = 0;
    int64_t sourceRowSize = 0;  // bytes per row in the file
    int64_t sourceStride = 0;   // distance between rows in the file
    bool headerless = false;
    bool hasMasks = false;
    uint32_t masks[3] = {0, 0, 0};  // red, green, blue
};

// Little-endian fields of the buffered header bytes; outside them the header is cut short.
struct HeaderBytes {
    const uint8_t* data;
    int32_t size;
    bool has(int64_t offset, int64_t width) const { return offset >= 0 && offset + width <= size; }
    const uint8_t* at(int64_t o, int64_t width) const {
        if (!has(o, width)) throw EReadError("Stream read error");
        return data + o;
    }
    uint32_t u8(int64_t o) const { return *at(o, 1); }
    uint32_t u16(int64_t o) const { return host::ReadLE16(at(o, 2)); }
    uint32_t u32(int64_t o) const { return host::ReadLE32(at(o, 4)); }
    int32_t i32(int64_t o) const { return static_cast<int32_t>(u32(o)); }
};

bool knownHeaderSize(uint32_t size) {
    switch (size) {
        case 12: case 40: case 52: case 56: case 64: case 108: case 124: return true;
        default: return false;
    }
}

class Reader {
public:
    Reader(TBufferedFile& file, Header& h) : file(file), h(h) {}

    void run(host::TBitmap& target);

private:
    void readHeader();
    // The image, as 24 bits, must fit one buffer: checked before anything is allocated.
    void checkSizes();
    void readColorTable(TUniDIB& dib);
    // Rows arrive bottom-up unless the height is negative; a headerless bitmap is a
    // device-dependent bitmap, whose rows run from the top.
    bool topDown() const { return h.height < 0 || h.headerless; }
    int32_t imageRow(int64_t counter) const {
        return static_cast<int32_t>(topDown() ? counter : rows - 1 - counter);
    }
    // Each returns the rows the data ended before.
    int64_t convertUncompressed(TUniDIB& row, host::TBitmap& image);
    int64_t decodeRLE(TUniDIB& row, host::TBitmap& image);
    // Image rows [from, to) in decoding order get the colour of pixels left as zero bits
    // (entry 0 of an indexed table), as a whole decoded bitmap would show them.
    void fillUnwritten(const TUniDIB& row, host::TBitmap& image, int64_t from, int64_t to) const;

    TBufferedFile& file;
    Header& h;
    int64_t rows = 0;
};

void Reader::readHeader() {
    file.Fill(78);
    const HeaderBytes b{file.Current(), file.Buffered()};
    const uint32_t type = b.u16(0);
    if (type == 0x4D42) {
        h.dataOffset = b.u32(10);
        h.headerSize = b.u32(14);
        if (!knownHeaderSize(h.headerSize)) NotABitmap();
        // The whole information header must be there, however little of it is read.
        file.Fill(static_cast<int32_t>(14 + h.headerSize));
        if (file.Buffered() < static_cast<int32_t>(14 + h.headerSize)) NotABitmap();
        if (h.headerSize == 12) {
            h.width = b.u16(18);
            h.height = b.u16(20);
            h.planes = b.u16(22);
            h.bitCount = b.u16(24);
        } else {
            h.width = b.i32(18);
            h.height = b.i32(22);
            h.planes = b.u16(26);
            h.bitCount = b.u16(28);
            h.compression = b.u32(30);
            h.colorCount = b.u32(46);
        }
        // The OS/2 2.x header gives compression 3 and 4 other meanings (Huffman 1D, RLE24).
        // Its 3 is read as rows without compression, as bit fields are when no masks are
        // read; 4 and above are refused.
        if (h.headerSize == 64 && h.compression > biBitFields) NotABitmap();
        if (h.headerSize == 64 && h.compression == biBitFields) h.compression = biRGB;
        switch (h.compression) {
            case biRGB: break;
            case biRLE8: if (h.bitCount != 8) NotABitmap(); break;
            case biRLE4: if (h.bitCount != 4) NotABitmap(); break;
            case biBitFields:
            case biAlphaBitFields:
                if (h.bitCount == 16 || h.bitCount == 32) {
                    // Behind a 40-byte header the masks follow it; larger headers hold them.
                    h.hasMasks = true;
                    for (int i = 0; i < 3; ++i) h.masks[i] = b.u32(14 + 40 + 4 * i);
                } else if (h.compression == biAlphaBitFields) {
                    NotABitmap();
                }
                break;
            default: NotABitmap();
        }
        switch (h.bitCount) {
            case 1: case 2: case 4: case 8: case 16: case 24: case 32: break;
            default: NotABitmap();
        }
        if (h.width < 1 || h.height == 0) throw ELinearBitmap("Invalid bitmap size");
        if (h.bitCount <= 8 && h.colorCount == 0) h.colorCount = int64_t{1} << h.bitCount;
        h.sourceRowSize = checkedSize({checkedAdd(checkedSize({h.width, h.bitCount}, MaxBufferSize * 8LL), 31) / 32, 4});
        h.sourceStride = h.sourceRowSize;
    } else if (type == 0) {
        h.headerless = true;
        h.width = b.u16(2);
        h.height = b.u16(4);
        // Each row holds bmWidthBytes bytes of pixels, and rows start on 4-byte boundaries.
        h.sourceRowSize = b.u16(6);
        h.sourceStride = (h.sourceRowSize + 3) / 4 * 4;
        h.planes = b.u8(8);
        h.bitCount = b.u8(9);
        h.dataOffset = 10;
        switch (h.bitCount) {
            case 1: case 4: case 8: case 16: case 24: case 32: break;
            default: NotABitmap();
        }
        if (h.width < 1 || h.height < 1 || h.sourceRowSize < 1) throw ELinearBitmap("Invalid bitmap size");
    } else {
        NotABitmap();
    }
    if (h.planes != 1) NotABitmap();
    rows = h.height < 0 ? -h.height : h.height;
}

void Reader::readColorTable(TUniDIB& dib) {
    if (h.headerless) {
        if (const TRGBQuad* table = DefaultColorTable(h.bitCount)) dib.SetColorTable(table, 1 << h.bitCount);
        return;
    }
    if (h.bitCount > 8) return;
    const int64_t tableOffset = 14 + int64_t{h.headerSize};
    // Four-byte entries when the table has room for them before the pixel data.
    const int entrySize = tableOffset + 4 * h.colorCount <= h.dataOffset ? 4 : 3;
    const int64_t count = std::min<int64_t>(h.colorCount, int64_t{1} << h.bitCount);
    TRGBQuad table[256];
    file.MoveTo(tableOffset);
    file.Reserve(1024);
    file.Fill(static_cast<int32_t>(count * entrySize));
    for (int64_t i = 0; i < count; ++i) {
        table[i].Blue = file.ReadByte();
        table[i].Green = file.ReadByte();
        table[i].Red = file.ReadByte();
        table[i].Reserved = entrySize == 4 ? file.ReadByte() : 0;
    }
    // Two-bit pixels are widened to four bits, so their four entries lead the table as well.
    dib.SetColorTable(table, static_cast<int32_t>(count));
}

void Reader::checkSizes() {
    if (rows > std::numeric_limits<int32_t>::max() || h.width > std::numeric_limits<int32_t>::max())
        throw ELinearBitmap("Invalid bitmap size");
    checkedSize({h.width, 3, rows});
}

void Reader::fillUnwritten(const TUniDIB& row, host::TBitmap& image, int64_t from, int64_t to) const {
    if (from >= to || !row.HasPalette) return;
    const TRGBQuad& c = row.ColorTable[0];
    if (c.Blue == 0 && c.Green == 0 && c.Red == 0) return;  // new rows are black already
    std::vector<uint8_t> blank(static_cast<size_t>(h.width) * 3);
    for (size_t i = 0; i < blank.size(); i += 3) blank[i] = c.Blue, blank[i + 1] = c.Green, blank[i + 2] = c.Red;
    for (int64_t counter = from; counter < to; ++counter)
        std::memcpy(image.ScanLine(imageRow(counter)), blank.data(), blank.size());
}

int64_t Reader::convertUncompressed(TUniDIB& row, host::TBitmap& image) {
    const TDIBRows layout{h.dataOffset, h.sourceRowSize, h.sourceStride, static_cast<int32_t>(rows), topDown(),
                          static_cast<int32_t>(h.bitCount)};
    const int32_t complete = ConvertRowsToBGR(file, layout, row, image);
    // The row cut short was converted with zero bytes; the rows after it were never written.
    fillUnwritten(row, image, int64_t{complete} + 1, rows);
    return rows - complete;
}

// Decoded one row at a time (RLE never goes back to a row it left) into row, whose
// pixels go into the image when the cursor leaves it: no bitmap beside the image.
int64_t Reader::decodeRLE(TUniDIB& row, host::TBitmap& image) {
    const bool four = h.compression == biRLE4;
    int64_t counter = 0;
    int64_t x = 0;
    // The cursor goes to pixel newX of row newCounter: the row it leaves is done.
    auto moveTo = [&](int64_t newCounter, int64_t newX) {
        if (newCounter != counter) {
            row.RowToBGR(0, image.ScanLine(imageRow(counter)));
            fillUnwritten(row, image, counter + 1, std::min(newCounter, rows));
            std::fill(row.Bits.begin(), row.Bits.end(), 0);
            counter = newCounter;
        }
        x = newX;
        row.SetRow(x, 0);
    };
    // Input that ends early ends decoding; what was decoded stays.
    auto finish = [&](bool dataEnded) {
        if (counter >= rows) return int64_t{0};
        const int64_t missing = dataEnded ? rows - counter - (x >= h.width ? 1 : 0) : 0;
        moveTo(rows, 0);
        return missing;
    };
    row.SetRow(0, 0);
    uint8_t n, e;
    while (counter < rows) {
        if (!file.NextByte(n)) return finish(true);
        if (n > 0) {
            uint8_t v;
            if (!file.NextByte(v)) return finish(true);
            row.WriteRun(v, n);
            x += n;
            continue;
        }
        if (!file.NextByte(e)) return finish(true);
        if (e == 0) {
            moveTo(counter + 1, 0);
        } else if (e == 1) {
            return finish(false);
        } else if (e == 2) {
            uint8_t dx, dy;
            if (!file.NextByte(dx) || !file.NextByte(dy)) return finish(true);
            // A cursor past the row end is only an error once a pixel is written there.
            moveTo(counter + dy, x + dx);
        } else if (!four) {
            uint8_t run[255];
            const int64_t got = file.Read(run, e);
            for (int64_t i = 0; i < got; ++i) row.WriteNext(run[i]);
            x += got;
            if (got < e || ((e & 1) && !file.Skip(1))) return finish(true);
        } else {
            const int bytes = (e + 1) / 2;
            uint8_t run[128];
            const int64_t got = file.Read(run, bytes);
            const int64_t pixels = std::min<int64_t>(e, got * 2);
            host::UnpackRow(run, 4, 0, pixels, [&row](int64_t, uint8_t index) { row.WriteNext(index); });
            x += pixels;
            if (got < bytes || ((bytes & 1) && !file.Skip(1))) return finish(true);
        }
    }
    return finish(false);
}

void Reader::run(host::TBitmap& target) {
    readHeader();
    checkSizes();
    TUniDIB row(static_cast<int32_t>(h.width), static_cast<int32_t>(h.bitCount), 1);
    if (h.hasMasks) row.SetBitFields(h.masks[0], h.masks[1], h.masks[2]);
    readColorTable(row);
    host::TBitmap image;
    image.NewImage(host::pf24bit, row.Width, static_cast<int32_t>(rows));
    int64_t missing;
    if (h.compression == biRLE8 || h.compression == biRLE4) {
        file.MoveTo(h.dataOffset);
        missing = decodeRLE(row, image);
    } else {
        missing = convertUncompressed(row, image);
    }
    target.TakeOver(image);
    // A file cut short converts as far as it goes, and says so.
    if (missing > 0)
        host::ReportDamage(Format("BMP: Premature end of data (%d of %d rows missing)", static_cast<int>(missing),
                                  static_cast<int>(rows)));
}

}  // namespace

void ReadUniDIB(host::TStream& stream, host::TBitmap& target) {
    // What cannot be read as a bitmap is one failure to the caller; only the size errors
    // and running out of memory say more.
    try {
        TBufferedFile file(&stream);
        Header header;
        Reader(file, header).run(target);
    } catch (const ELinearBitmap&) {
        throw;
    } catch (const EOutOfMemory&) {
        throw;
    } catch (const std::bad_alloc&) {
        throw EOutOfMemory("Out of memory");
    } catch (const std::exception&) {
        NotABitmap();
    }
}
