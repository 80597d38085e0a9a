#include "picture/BitmapFile.h"

#include <algorithm>
#include <cerrno>
#include <bit>
#include <cstring>
#include <memory>
#include <vector>

#include "platform/ByteOrder.h"
#include "platform/CheckedSize.h"
#include "platform/DamageReport.h"
#include "platform/Exceptions.h"
#include "platform/Files.h"

namespace host {

namespace {

[[noreturn]] void Invalid() { throw EInvalidGraphic("Bitmap image is not valid"); }

constexpr int FileHeaderBytes = 14;
constexpr uint32_t CoreHeaderBytes = 12;      // 16-bit sizes, 3-byte colour entries
constexpr uint32_t InfoHeaderBytes = 40;      // the layout every larger header starts with
constexpr uint32_t MasksInHeaderBytes = 52;   // from this size on the header holds the masks
constexpr uint32_t OS2HeaderBytes = 64;       // the OS/2 2.x header
constexpr uint32_t LargestHeaderBytes = 124;  // the largest layout whose fields are read
constexpr int MaskBytes = 12;                 // red, green and blue masks
constexpr int32_t WriteBlockBytes = 1 << 20;

// Forward reader over a platform stream with a block buffer, so that nothing reads the
// file a few bytes per call. Offsets count from where the bitmap starts.
class ByteReader {
public:
    explicit ByteReader(TStream& stream) : stream_(stream) {
        try {
            origin_ = stream.GetPosition();
        } catch (const EStreamError&) {
            origin_ = -1;  // a forward-only stream: moves are made by reading
        }
    }

    int64_t Offset() const { return consumed_; }

    // Up to n bytes; fewer only at the end of the stream.
    int64_t Read(uint8_t* dest, int64_t n) {
        int64_t done = 0;
        while (done < n) {
            if (pos_ == len_) {
                if (eof_) break;
                if (n - done >= BlockSize) {
                    // Large requests go straight into the destination.
                    const int64_t got = stream_.Read(dest + done, n - done);
                    if (got <= 0) {
                        eof_ = true;
                        break;
                    }
                    done += got;
                    consumed_ += got;
                    continue;
                }
                Refill();
                if (pos_ == len_) break;
            }
            const int64_t take = std::min<int64_t>(n - done, len_ - pos_);
            std::memcpy(dest + done, buffer_.get() + pos_, static_cast<size_t>(take));
            pos_ += static_cast<int32_t>(take);
            done += take;
            consumed_ += take;
        }
        return done;
    }

    // The next byte, or -1 at the end.
    int Get() {
        if (pos_ == len_) {
            if (eof_) return -1;
            Refill();
            if (pos_ == len_) return -1;
        }
        ++consumed_;
        return buffer_[pos_++];
    }

    // Moves to an offset from the bitmap's start; forward by skipping or seeking,
    // backward by seeking (a forward-only stream cannot go back: invalid data).
    void MoveTo(int64_t offset) {
        if (offset >= consumed_) {
            int64_t skip = offset - consumed_;
            const int64_t buffered = std::min<int64_t>(skip, len_ - pos_);
            pos_ += static_cast<int32_t>(buffered);
            consumed_ += buffered;
            skip -= buffered;
            if (skip == 0) return;
            if (origin_ < 0) {
                while (skip > 0 && !eof_) {
                    Refill();
                    const int64_t take = std::min<int64_t>(skip, len_);
                    pos_ = static_cast<int32_t>(take);
                    consumed_ += take;
                    skip -= take;
                }
                return;
            }
            if (origin_ + offset >= stream_.GetSize()) {
                eof_ = true;  // nothing there: the pixels stay as created
                consumed_ = offset;
                pos_ = len_ = 0;
                return;
            }
        } else if (origin_ < 0) {
            Invalid();
        }
        stream_.Seek(origin_ + offset, soBeginning);
        consumed_ = offset;
        pos_ = len_ = 0;
        eof_ = false;
    }

private:
    static constexpr int32_t BlockSize = 65536;

    void Refill() {
        if (!buffer_) buffer_ = std::make_unique<uint8_t[]>(BlockSize);
        pos_ = 0;
        len_ = 0;
        const int64_t got = stream_.Read(buffer_.get(), BlockSize);
        if (got <= 0)
            eof_ = true;
        else
            len_ = static_cast<int32_t>(got);
    }

    TStream& stream_;
    int64_t origin_ = -1;
    std::unique_ptr<uint8_t[]> buffer_;
    int32_t pos_ = 0;
    int32_t len_ = 0;
    int64_t consumed_ = 0;
    bool eof_ = false;
};

// One colour channel described by a mask: where it sits and how wide it is.
struct Channel {
    uint32_t mask = 0;
    int shift = 0;
    uint32_t max = 0;  // mask >> shift

    static Channel From(uint32_t mask) {
        Channel c;
        c.mask = mask;
        if (mask == 0) return c;
        c.shift = std::countr_zero(mask);
        c.max = mask >> c.shift;
        if ((c.max & (c.max + 1)) != 0) Invalid();  // the bits must be contiguous
        return c;
    }
    uint32_t Value(uint32_t pixel) const {
        if (max == 0) return 0;
        const uint32_t v = (pixel & mask) >> shift;
        if (max == 255) return v;
        return static_cast<uint32_t>((uint64_t{v} * 255 + max / 2) / max);
    }
};

// What the headers say about the image.
struct Header {
    uint32_t pixelOffset = 0;  // of the pixel data; 0: right behind the colour table
    uint32_t size = 0;         // of the information header
    int32_t width = 0;
    int32_t height = 0;  // magnitude
    bool topDown = false;
    int bits = 0;
    uint32_t compression = 0;
    uint32_t colorsUsed = 0;
    int entrySize = 4;  // bytes of a colour table entry
    uint32_t masks[3] = {0, 0, 0};  // red, green, blue
    bool hasMasks = false;

    bool RunLengthEncoded() const { return compression == BI_RLE8 || compression == BI_RLE4; }
    // Bytes of one row in the file: padded to whole 32-bit words.
    int64_t FileRowBytes() const { return (checkedSize({width, bits}) + 31) / 32 * 4; }
    // Image row of the i-th row stored in the file.
    int32_t ImageRow(int32_t i) const { return topDown ? i : height - 1 - i; }
};

// ---------------------------------------------------------------- headers

// The file header and the information header's first field, its size.
void ReadFileHeader(ByteReader& in, Header& h, uint8_t (&info)[LargestHeaderBytes]) {
    uint8_t fileHeader[FileHeaderBytes + 4];
    if (in.Read(fileHeader, sizeof fileHeader) < static_cast<int64_t>(sizeof fileHeader)) Invalid();
    if (fileHeader[0] != 'B' || fileHeader[1] != 'M') Invalid();
    h.pixelOffset = ReadLE32(fileHeader + 10);
    h.size = ReadLE32(fileHeader + FileHeaderBytes);
    std::memcpy(info, fileHeader + FileHeaderBytes, 4);
}

void SkipBytes(ByteReader& in, int64_t count) {
    for (int64_t rest = count; rest > 0;) {
        uint8_t skipped[256];
        const int64_t n = std::min<int64_t>(rest, sizeof skipped);
        if (in.Read(skipped, n) < n) Invalid();
        rest -= n;
    }
}

// Every header of 40 bytes or more starts with the 40-byte layout; of a longer one the
// fields up to the largest known layout are kept and the rest is passed over.
void ReadInfoHeader(ByteReader& in, const Header& h, uint8_t (&info)[LargestHeaderBytes]) {
    if (h.size != CoreHeaderBytes && h.size < InfoHeaderBytes) Invalid();
    const uint32_t kept = std::min<uint32_t>(h.size, LargestHeaderBytes);
    if (in.Read(info + 4, kept - 4) < kept - 4) Invalid();
    SkipBytes(in, int64_t{h.size} - kept);
}

void ParseCoreHeader(const uint8_t* info, Header& h) {
    h.width = ReadLE16(info + 4);
    h.height = ReadLE16(info + 6);
    if (ReadLE16(info + 8) != 1) Invalid();
    h.bits = ReadLE16(info + 10);
    h.entrySize = 3;
}

void ParseInfoHeader(const uint8_t* info, Header& h) {
    if (h.size == CoreHeaderBytes) {
        ParseCoreHeader(info, h);
        return;
    }
    const int32_t width = ReadLE32Signed(info + 4);
    const int32_t height = ReadLE32Signed(info + 8);
    if (ReadLE16(info + 12) != 1) Invalid();
    h.bits = ReadLE16(info + 14);
    h.compression = ReadLE32(info + 16);
    h.colorsUsed = ReadLE32(info + 32);
    if (height == INT32_MIN) Invalid();
    h.width = width;
    h.topDown = height < 0;
    h.height = height < 0 ? -height : height;
    // The 64-byte OS/2 header gives compression 3 and 4 other meanings (Huffman, RLE24).
    if (h.size == OS2HeaderBytes && h.compression >= BI_BITFIELDS) Invalid();
}

// Sizes, depths and compressions the reader decodes.
void CheckLayout(const Header& h) {
    if (h.width <= 0 || h.height <= 0) Invalid();
    switch (h.bits) {
        case 1: case 4: case 8: case 16: case 24: case 32: break;
        default: Invalid();
    }
    switch (h.compression) {
        case BI_RGB: break;
        case BI_RLE8: if (h.bits != 8 || h.topDown) Invalid(); break;
        case BI_RLE4: if (h.bits != 4 || h.topDown) Invalid(); break;
        case BI_BITFIELDS: if (h.bits != 16 && h.bits != 32) Invalid(); break;
        default: Invalid();
    }
}

// The colour masks of bit-field data: inside a header of 52 bytes or more, otherwise
// right behind it. Returns the offset of the colour table.
int64_t ReadMasks(ByteReader& in, const uint8_t* info, Header& h) {
    int64_t tableStart = FileHeaderBytes + int64_t{h.size};
    if (h.compression != BI_BITFIELDS) return tableStart;
    h.hasMasks = true;
    const uint8_t* masks = info + InfoHeaderBytes;
    uint8_t following[MaskBytes];
    if (h.size < MasksInHeaderBytes) {
        if (in.Read(following, MaskBytes) < MaskBytes) Invalid();
        masks = following;
        tableStart += MaskBytes;
    }
    for (int i = 0; i < 3; ++i) h.masks[i] = ReadLE32(masks + 4 * i);
    return tableStart;
}

// Colour table: biClrUsed entries (2^bits when 0), of which the first 2^bits count;
// a table cut short by the pixel-data offset has only the entries before it. The palette
// gets 2^bits entries, black where the file has none. Returns the offset after the table.
int64_t ReadColorTable(ByteReader& in, const Header& h, int64_t tableStart, std::vector<TPaletteEntry>& palette) {
    if (h.bits > 8) return tableStart;
    int64_t count = h.colorsUsed ? h.colorsUsed : (1u << h.bits);
    if (h.pixelOffset > tableStart) count = std::min<int64_t>(count, (h.pixelOffset - tableStart) / h.entrySize);
    count = std::min<int64_t>(count, 1 << h.bits);
    uint8_t table[256 * 4];
    if (in.Read(table, count * h.entrySize) < count * h.entrySize) Invalid();
    palette.resize(1u << h.bits);
    for (int64_t i = 0; i < count; ++i) {
        const uint8_t* e = table + i * h.entrySize;
        palette[i] = {e[2], e[1], e[0], 0};
    }
    return tableStart + count * h.entrySize;
}

int64_t PixelDataOffset(const Header& h, int64_t tableEnd) {
    const int64_t offset = h.pixelOffset ? int64_t{h.pixelOffset} : tableEnd;
    if (offset < FileHeaderBytes + int64_t{h.size}) Invalid();
    return offset;
}

// ---------------------------------------------------------------- pixel format

bool MasksAre(const Header& h, uint32_t red, uint32_t green, uint32_t blue) {
    return h.masks[0] == red && h.masks[1] == green && h.masks[2] == blue;
}

TPixelFormat FormatOf16Bits(const Header& h) {
    if (!h.hasMasks || MasksAre(h, 0x7C00, 0x03E0, 0x001F)) return pf15bit;
    if (MasksAre(h, 0xF800, 0x07E0, 0x001F)) return pf16bit;
    return pfCustom;
}

TPixelFormat FormatOf32Bits(const Header& h) {
    if (!h.hasMasks || MasksAre(h, 0xFF0000, 0xFF00, 0xFF)) return pf32bit;
    return pfCustom;
}

// The first black entry of the colour table, or -1.
int BlackIndex(const std::vector<TPaletteEntry>& palette) {
    for (size_t i = 0; i < palette.size(); ++i)
        if (palette[i].peRed == 0 && palette[i].peGreen == 0 && palette[i].peBlue == 0) return static_cast<int>(i);
    return -1;
}

// The format the image is held in. Masks that no format expresses are decoded to
// pfCustom; scattered masks are refused before any pixel is read.
TPixelFormat ChoosePixelFormat(const Header& h) {
    // RLE data keeps its indices (RLEDecoder gives the pixels it never reaches black).
    if (h.RunLengthEncoded()) return h.bits == 8 ? pf8bit : pf4bit;
    TPixelFormat format;
    switch (h.bits) {
        case 1: format = pf1bit; break;
        case 4: format = pf4bit; break;
        case 8: format = pf8bit; break;
        case 16: format = FormatOf16Bits(h); break;
        case 24: format = pf24bit; break;
        default: format = FormatOf32Bits(h);
    }
    if (format == pfCustom)
        for (uint32_t mask : h.masks) Channel::From(mask);
    return format;
}

// Bytes of a row of the image the file gives; dimensions that no buffer can hold are
// invalid.
int64_t ImageRowBytes(TPixelFormat format, const Header& h) {
    try {
        const int64_t rowBytes = PackedRowBytes(h.width, BitsOfPixelFormat(format));
        PixelBufferBytes(checkedSize({rowBytes, h.height}));
        return rowBytes;
    } catch (const ELinearBitmap&) {
        Invalid();
    }
}

// A zeroed image of the format and size, with the colour table as its palette.
TDecodedBitmap NewImage(TPixelFormat format, const Header& h, std::vector<TPaletteEntry> palette) {
    TDecodedBitmap image;
    image.Format = format;
    image.Width = h.width;
    image.Height = h.height;
    image.Palette = std::move(palette);
    const int64_t rowBytes = ImageRowBytes(format, h);
    image.Pixels = AllocatePixels(rowBytes * h.height);
    image.RowBytes = static_cast<int32_t>(rowBytes);
    return image;
}

// ---------------------------------------------------------------- pixels

// Decodes RLE8 or RLE4 data into indexed rows of the same depth (row counter 0 = bottom
// row), keeping the file's indices and colour table. Pixels the data never reaches are
// black: the table's first black entry fills the image first; a table without black gives
// black to an entry the data never uses, and only when the data uses all of them and
// leaves pixels unreached does RLE4 widen to 8 bits (black at 16) and RLE8 go to 24 bits.
// Data that ends early ends decoding; what was decoded stays.
class RLEDecoder {
public:
    RLEDecoder(ByteReader& in, TDecodedBitmap& image, const Header& h)
        : in_(in), image_(image), h_(h), fourBits_(h.compression == BI_RLE4), black_(BlackIndex(image.Palette)),
          row_(image.Row(image.Height - 1)) {}

    // The rows the data ended before (0 when it ended with its last row or an end marker).
    int32_t Run() {
        if (black_ > 0) FillWithBlack();
        while (y_ < image_.Height && Step()) {
        }
        const int32_t missing = dataEnded_ ? RowsNotReached() : 0;
        const int64_t end = int64_t{image_.Height} * image_.Width;
        if (black_ < 0 && !used_[0]) {
            // The pixels never reached hold index 0 already, which no pixel uses.
            if (!gaps_.empty() || RasterPosition(y_, x_) < end) image_.Palette[0] = TPaletteEntry{};
            return missing;
        }
        SkipTo(end);
        if (!gaps_.empty()) ShowGapsBlack();
        return missing;
    }

private:
    enum : int { EndOfLine = 0, EndOfBitmap = 1, Delta = 2 };

    static int NibbleOf(int value, int32_t k) { return (k & 1) ? (value & 15) : (value >> 4); }

    // The next data byte, or -1 when the data has ended.
    int Next() {
        const int v = in_.Get();
        if (v < 0) dataEnded_ = true;
        return v;
    }

    // One run or escape; false when decoding ends.
    bool Step() {
        const int count = Next();
        if (count < 0) return false;
        if (count > 0) return EncodedRun(count);
        const int escape = Next();
        if (escape < 0 || escape == EndOfBitmap) return false;
        if (escape == EndOfLine) {
            SkipTo(RasterPosition(y_ + 1, 0));
            GoTo(y_ + 1, 0);
            return true;
        }
        if (escape == Delta) return MoveBy();
        return fourBits_ ? AbsoluteRun4(escape) : AbsoluteRun8(escape);
    }

    // count pixels of one value (RLE4: its two nibbles in turn); those past the row end
    // only move the cursor.
    bool EncodedRun(int count) {
        const int value = Next();
        if (value < 0) return false;
        const int32_t inside = std::min<int32_t>(count, std::max<int32_t>(image_.Width - x_, 0));
        for (int32_t k = 0; k < inside; ++k) Put(fourBits_ ? NibbleOf(value, k) : value);
        x_ = static_cast<int32_t>(std::min<int64_t>(int64_t{x_} + (count - inside), INT32_MAX));
        return true;
    }

    bool MoveBy() {
        const int dx = Next();
        const int dy = Next();
        if (dx < 0 || dy < 0) return false;
        const int32_t x = static_cast<int32_t>(std::min<int64_t>(int64_t{x_} + dx, INT32_MAX));
        SkipTo(RasterPosition(y_ + dy, x));
        GoTo(y_ + dy, x);
        return true;
    }

    // Absolute runs end on a 16-bit boundary of the data.
    bool AbsoluteRun8(int count) {
        for (int k = 0; k < count; ++k) {
            const int v = Next();
            if (v < 0) return false;
            Put(v);
        }
        if (count & 1) in_.Get();
        return true;
    }

    bool AbsoluteRun4(int count) {
        int v = 0;
        for (int k = 0; k < count; ++k) {
            if ((k & 1) == 0) {
                v = Next();
                if (v < 0) return false;
            }
            Put(NibbleOf(v, k));
        }
        if (((count + 1) / 2) & 1) in_.Get();
        return true;
    }

    // Rows from the cursor's on that the data left unfinished.
    int32_t RowsNotReached() const {
        if (y_ >= image_.Height) return 0;
        return image_.Height - y_ - (x_ >= image_.Width ? 1 : 0);
    }

    // Pixels in decoding order (row counter first), the cursor's included; rows past the
    // last end the image.
    int64_t RasterPosition(int64_t y, int32_t x) const {
        if (y >= image_.Height) return int64_t{image_.Height} * image_.Width;
        return y * image_.Width + std::min(x, image_.Width);
    }

    void GoTo(int64_t y, int32_t x) {
        y_ = static_cast<int32_t>(std::min<int64_t>(y, image_.Height));
        x_ = x;
        if (y_ < image_.Height) row_ = image_.Row(image_.Height - 1 - y_);
    }

    // The cursor leaves the pixels up to end unwritten. A table with black shows them
    // black already; otherwise they are marked, for black to be given them at the end.
    void SkipTo(int64_t end) {
        const int64_t begin = RasterPosition(y_, x_);
        if (black_ >= 0 || end <= begin) return;
        if (gaps_.empty()) gaps_.assign(static_cast<size_t>((int64_t{image_.Height} * image_.Width + 7) / 8), 0);
        for (int64_t p = begin; p < end && (p & 7); ++p) gaps_[static_cast<size_t>(p >> 3)] |= uint8_t(1u << (p & 7));
        const int64_t firstByte = (begin + 7) >> 3, lastByte = end >> 3;
        if (lastByte > firstByte)
            std::memset(gaps_.data() + firstByte, 0xFF, static_cast<size_t>(lastByte - firstByte));
        for (int64_t p = std::max(begin, lastByte << 3); p < end; ++p)
            gaps_[static_cast<size_t>(p >> 3)] |= uint8_t(1u << (p & 7));
    }

    bool Gap(int64_t p) const { return (gaps_[static_cast<size_t>(p >> 3)] >> (p & 7)) & 1; }

    // Calls use(y, x0, x1) for every run of pixels x0 .. x1 - 1 of image row y (counted
    // from the top) that the data never reached, passing over whole bytes of the marks.
    template <class Use>
    void ForEachGap(Use use) const {
        const int64_t end = int64_t{image_.Height} * image_.Width;
        for (int64_t p = 0; p < end;) {
            while (p < end && !Gap(p)) p += (p & 7) == 0 && gaps_[static_cast<size_t>(p >> 3)] == 0 ? 8 : 1;
            int64_t q = p;
            while (q < end && Gap(q)) q += (q & 7) == 0 && gaps_[static_cast<size_t>(q >> 3)] == 0xFF ? 8 : 1;
            q = std::min(q, end);
            for (int64_t r = p; r < q;) {
                const int64_t y = r / image_.Width, x = r % image_.Width;
                const int64_t stop = std::min(q, (y + 1) * image_.Width);
                use(static_cast<int32_t>(image_.Height - 1 - y), static_cast<int32_t>(x),
                    static_cast<int32_t>(x + stop - r));
                r = stop;
            }
            p = q;
        }
    }

    void ShowGapsBlack() {
        const int entries = 1 << h_.bits;
        int unused = 0;
        while (unused < entries && used_[unused]) ++unused;
        if (unused < entries) {
            image_.Palette[static_cast<size_t>(unused)] = TPaletteEntry{};
            ForEachGap([&](int32_t y, int32_t x0, int32_t x1) { SetIndices(image_, y, x0, x1, unused); });
            return;
        }
        // Every entry shows some pixel: black needs a place of its own.
        std::vector<TPaletteEntry> palette = image_.Palette;
        palette.resize(256);
        TDecodedBitmap wide = NewImage(fourBits_ ? pf8bit : pf24bit, h_, std::move(palette));
        for (int32_t y = 0; y < image_.Height; ++y) {
            const uint8_t* s = image_.Row(y);
            uint8_t* d = wide.Row(y);
            for (int32_t x = 0; x < image_.Width; ++x) {
                if (fourBits_)
                    d[x] = static_cast<uint8_t>(NibbleOf(s[x / 2], x));
                else
                    PutColor(d + int64_t{x} * 3, wide.Palette[s[x]]);
            }
        }
        ForEachGap([&](int32_t y, int32_t x0, int32_t x1) {
            if (fourBits_)
                std::memset(wide.Row(y) + x0, entries, static_cast<size_t>(x1 - x0));
            else
                std::memset(wide.Row(y) + int64_t{x0} * 3, 0, static_cast<size_t>(x1 - x0) * 3);
        });
        image_ = std::move(wide);
    }

    void FillWithBlack() {
        const int value = image_.Format == pf4bit ? black_ * 0x11 : black_;
        std::memset(image_.Pixels.get(), value, static_cast<size_t>(int64_t{image_.RowBytes} * image_.Height));
    }

    static void SetIndices(TDecodedBitmap& image, int32_t y, int32_t x0, int32_t x1, int index) {
        uint8_t* row = image.Row(y);
        if (image.Format == pf8bit) {
            std::memset(row + x0, index, static_cast<size_t>(x1 - x0));
            return;
        }
        for (int32_t x = x0; x < x1; ++x) PutNibble(row[x / 2], (x & 1) != 0, index);
    }

    void Put(int index) {
        if (x_ < image_.Width) {
            used_[index] = true;
            if (fourBits_)
                PutNibble(row_[x_ / 2], (x_ & 1) != 0, index);
            else
                row_[x_] = static_cast<uint8_t>(index);
        }
        if (x_ < INT32_MAX) ++x_;
    }

    static void PutNibble(uint8_t& pair, bool low, int index) {
        pair = low ? static_cast<uint8_t>((pair & 0xF0) | index) : static_cast<uint8_t>((pair & 0x0F) | (index << 4));
    }

    static void PutColor(uint8_t* p, const TPaletteEntry& c) {
        p[0] = c.peBlue;
        p[1] = c.peGreen;
        p[2] = c.peRed;
    }

    ByteReader& in_;
    TDecodedBitmap& image_;
    const Header& h_;
    const bool fourBits_;
    const int black_;  // the table's first black entry, or -1
    uint8_t* row_;
    int32_t x_ = 0;
    int32_t y_ = 0;
    bool dataEnded_ = false;
    bool used_[256] = {};
    std::vector<uint8_t> gaps_;  // one bit a pixel, in decoding order; empty until a gap
};

// Rows the image holds as the file stores them, less the padding. Returns the rows whose
// pixels all arrived.
int32_t ReadPackedRows(ByteReader& in, TDecodedBitmap& image, const Header& h) {
    const int64_t stride = h.FileRowBytes();
    const int64_t packed = image.RowBytes;
    for (int32_t i = 0; i < h.height; ++i) {
        if (in.Read(image.Row(h.ImageRow(i)), packed) < packed) return i;
        if (stride > packed) {
            uint8_t pad[4];
            if (in.Read(pad, stride - packed) < stride - packed) return i + 1;
        }
    }
    return h.height;
}

// Rows of 16 or 32-bit pixels decoded through their masks into blue, green, red, 0.
// Returns the rows whose pixels all arrived.
int32_t ReadMaskedRows(ByteReader& in, TDecodedBitmap& image, const Header& h) {
    const int64_t stride = h.FileRowBytes();
    std::vector<uint8_t> line(static_cast<size_t>(stride));
    const Channel red = Channel::From(h.masks[0]);
    const Channel green = Channel::From(h.masks[1]);
    const Channel blue = Channel::From(h.masks[2]);
    const int32_t bytes = h.bits / 8;
    for (int32_t i = 0; i < h.height; ++i) {
        uint8_t* dest = image.Row(h.ImageRow(i));
        const int64_t got = in.Read(line.data(), stride);
        // Only whole pixels that arrived are decoded; the rest of the image stays zero.
        const int32_t pixels = static_cast<int32_t>(std::min<int64_t>(got / bytes, h.width));
        for (int32_t x = 0; x < pixels; ++x) {
            const uint8_t* s = line.data() + int64_t{x} * bytes;
            const uint32_t v = bytes == 2 ? ReadLE16(s) : ReadLE32(s);
            uint8_t* d = dest + int64_t{x} * 4;
            d[0] = static_cast<uint8_t>(blue.Value(v));
            d[1] = static_cast<uint8_t>(green.Value(v));
            d[2] = static_cast<uint8_t>(red.Value(v));
            d[3] = 0;
        }
        if (got < stride) return pixels == h.width ? i + 1 : i;
    }
    return h.height;
}

// Decodes the pixels; returns the rows the data ended before.
int32_t ReadPixels(ByteReader& in, TDecodedBitmap& image, const Header& h) {
    if (h.RunLengthEncoded()) return RLEDecoder(in, image, h).Run();
    return h.height - (image.Format == pfCustom ? ReadMaskedRows(in, image, h) : ReadPackedRows(in, image, h));
}

// ---------------------------------------------------------------- writing

// Sizes of the file WriteBitmapFile writes.
struct FileLayout {
    int64_t packed = 0;  // bytes of a row as the image hands it out
    int64_t stride = 0;  // bytes of a row in the file
    int64_t imageSize = 0;
    bool masks = false;  // 5-6-5 masks behind the information header
    int tableEntries = 0;
    int64_t headerBytes = 0;
    int64_t fileSize = 0;
};

FileLayout LayoutOf(const TBitmapFileImage& image) {
    const int bits = image.BitCount;
    if (bits != 1 && bits != 4 && bits != 8 && bits != 16 && bits != 24 && bits != 32)
        throw EInvalidGraphic("Invalid pixel format");
    if (image.Width <= 0 || image.Height <= 0) throw ELinearBitmap("Invalid bitmap size");
    FileLayout layout;
    layout.packed = (checkedSize({image.Width, bits}) + 7) / 8;
    layout.stride = (checkedSize({image.Width, bits}) + 31) / 32 * 4;
    layout.imageSize = checkedSize({layout.stride, image.Height});
    layout.masks = bits == 16 && image.Masks565;
    layout.tableEntries = bits <= 8 ? 1 << bits : 0;
    layout.headerBytes = FileHeaderBytes + InfoHeaderBytes + (layout.masks ? MaskBytes : 0) + layout.tableEntries * 4;
    layout.fileSize = checkedAdd(layout.headerBytes, layout.imageSize, 0xFFFFFFFFll);
    return layout;
}

// File header, information header, masks and colour table.
std::vector<uint8_t> HeadersOf(const TBitmapFileImage& image, const FileLayout& layout) {
    std::vector<uint8_t> header(static_cast<size_t>(layout.headerBytes), 0);
    uint8_t* p = header.data();
    p[0] = 'B';
    p[1] = 'M';
    WriteLE32(p + 2, static_cast<uint32_t>(layout.fileSize));
    WriteLE32(p + 10, static_cast<uint32_t>(layout.headerBytes));
    uint8_t* info = p + FileHeaderBytes;
    WriteLE32(info, InfoHeaderBytes);
    WriteLE32(info + 4, static_cast<uint32_t>(image.Width));
    WriteLE32(info + 8, static_cast<uint32_t>(image.Height));
    WriteLE16(info + 12, 1);
    WriteLE16(info + 14, static_cast<uint16_t>(image.BitCount));
    WriteLE32(info + 16, layout.masks ? BI_BITFIELDS : BI_RGB);
    WriteLE32(info + 20, static_cast<uint32_t>(layout.imageSize));
    uint8_t* table = info + InfoHeaderBytes;
    if (layout.masks) {
        WriteLE32(table, 0xF800);
        WriteLE32(table + 4, 0x07E0);
        WriteLE32(table + 8, 0x001F);
        table += MaskBytes;
    }
    const int given = std::clamp(image.ColorCount, 0, layout.tableEntries);
    for (int i = 0; i < given; ++i) {
        table[i * 4] = image.Colors[i].peBlue;
        table[i * 4 + 1] = image.Colors[i].peGreen;
        table[i * 4 + 2] = image.Colors[i].peRed;
    }
    return header;
}

// Rows go out bottom-up, gathered into blocks of about a megabyte.
void WriteRows(TStream& stream, const TBitmapFileImage& image, const FileLayout& layout) {
    const int64_t stride = layout.stride;
    const int64_t rowsPerBlock = std::max<int64_t>(1, WriteBlockBytes / stride);
    std::vector<uint8_t> block(static_cast<size_t>(std::min<int64_t>(rowsPerBlock, image.Height) * stride), 0);
    int64_t filled = 0;
    for (int32_t y = image.Height - 1; y >= 0; --y) {
        uint8_t* d = block.data() + filled;
        std::memcpy(d, image.Row(y), static_cast<size_t>(layout.packed));
        std::memset(d + layout.packed, 0, static_cast<size_t>(stride - layout.packed));
        filled += stride;
        if (filled + stride > static_cast<int64_t>(block.size()) || y == 0) {
            stream.WriteBuffer(block.data(), filled);
            filled = 0;
        }
    }
}

// What the headers of a file give: the layout, the colour table, where the pixels are and
// the format they are held in.
struct BitmapHeaders {
    Header h;
    std::vector<TPaletteEntry> palette;
    int64_t pixelOffset = 0;
    TPixelFormat format = pfDevice;
};

BitmapHeaders ReadHeaders(ByteReader& in) {
    BitmapHeaders headers;
    Header& h = headers.h;
    uint8_t info[LargestHeaderBytes] = {};
    ReadFileHeader(in, h, info);
    ReadInfoHeader(in, h, info);
    ParseInfoHeader(info, h);
    CheckLayout(h);
    const int64_t tableStart = ReadMasks(in, info, h);
    const int64_t tableEnd = ReadColorTable(in, h, tableStart, headers.palette);
    headers.pixelOffset = PixelDataOffset(h, tableEnd);
    headers.format = ChoosePixelFormat(h);
    return headers;
}

// ---------------------------------------------------------------- copying

// The copy of a file whose rows reading and writing would leave as they are: uncompressed,
// bottom-up like the rows written, in a format that keeps every stored bit, and complete
// in a file of fileSize bytes. Raises what the reader or the writer would raise.
std::optional<TBitmapFileCopy> PlanFor(const BitmapHeaders& headers, int64_t fileSize) {
    const Header& h = headers.h;
    if (h.RunLengthEncoded() || h.topDown || headers.format == pfCustom) return std::nullopt;
    TBitmapFileImage image;
    image.Width = h.width;
    image.Height = h.height;
    image.BitCount = BitsOfPixelFormat(headers.format);
    image.Masks565 = headers.format == pf16bit;
    image.Colors = headers.palette.data();
    image.ColorCount = static_cast<int>(headers.palette.size());
    const FileLayout layout = LayoutOf(image);
    ImageRowBytes(headers.format, h);
    if (headers.pixelOffset > fileSize - layout.imageSize) return std::nullopt;
    TBitmapFileCopy plan;
    plan.Format = headers.format;
    plan.Width = h.width;
    plan.Headers = HeadersOf(image, layout);
    plan.PixelOffset = headers.pixelOffset;
    plan.RowBytes = layout.packed;
    plan.Stride = layout.stride;
    plan.Rows = h.height;
    return plan;
}

[[noreturn]] void CopyFailed(CopyFailure side) {
    if (side == CopyFailure::Dest) throw EWriteError("Stream write error", errno);
    throw EReadError("Stream read error");
}

void CopyRowsInKernel(TFileStream& source, const TBitmapFileCopy& plan, TFileStream& dest) {
    const int64_t bytes = plan.Stride * plan.Rows;
    CopyFailure side = CopyFailure::None;
    if (CopyFileRange(source.Handle(), plan.PixelOffset, dest.Handle(), bytes, &side) != bytes) CopyFailed(side);
}

// Rows in blocks of about a megabyte, their padding written as zero as the writer does.
void CopyRowsClearingPadding(TFileStream& source, const TBitmapFileCopy& plan, TFileStream& dest) {
    const int64_t rowsPerBlock = std::max<int64_t>(1, WriteBlockBytes / plan.Stride);
    std::vector<uint8_t> block(static_cast<size_t>(std::min<int64_t>(rowsPerBlock, plan.Rows) * plan.Stride));
    source.Seek(plan.PixelOffset, soBeginning);
    for (int64_t first = 0; first < plan.Rows; first += rowsPerBlock) {
        const int64_t count = std::min<int64_t>(rowsPerBlock, plan.Rows - first);
        source.ReadBuffer(block.data(), count * plan.Stride);
        for (int64_t i = 0; i < count; ++i)
            std::memset(block.data() + i * plan.Stride + plan.RowBytes, 0,
                        static_cast<size_t>(plan.Stride - plan.RowBytes));
        dest.WriteBuffer(block.data(), count * plan.Stride);
    }
}

// What use(headers, start) makes of the headers at the stream's position; `refused` where
// the reader (or use) raises for them; none for a stream that cannot seek, since what is
// read of a pipe cannot be read again. The stream is back at its position.
template <class Result, class Use>
std::optional<Result> FromHeaders(TStream& stream, Result refused, Use use) {
    const int64_t start = stream.Seek(0, soCurrent);
    if (start < 0) return std::nullopt;
    Result result = refused;
    try {
        ByteReader in(stream);
        result = use(ReadHeaders(in), start);
    } catch (const Exception&) {
        // Whatever the reader or the writer refuses, they refuse themselves.
    }
    stream.Seek(start, soBeginning);
    return result;
}

}  // namespace

TDecodedBitmap ReadBitmapFile(TStream& stream) {
    ByteReader in(stream);
    BitmapHeaders headers = ReadHeaders(in);
    TDecodedBitmap image = NewImage(headers.format, headers.h, std::move(headers.palette));
    in.MoveTo(headers.pixelOffset);
    // A file cut short converts as far as it goes, and says so.
    if (const int32_t missing = ReadPixels(in, image, headers.h))
        ReportDamage(Format("BMP: Premature end of data (%d of %d rows missing)", missing, headers.h.height));
    return image;
}

void WriteBitmapFile(TStream& stream, const TBitmapFileImage& image) {
    const FileLayout layout = LayoutOf(image);
    const std::vector<uint8_t> header = HeadersOf(image, layout);
    stream.WriteBuffer(header.data(), layout.headerBytes);
    WriteRows(stream, image, layout);
}

std::optional<TBitmapFileCopy> PlanBitmapFileCopy(TStream& stream) {
    using Plan = std::optional<TBitmapFileCopy>;
    return FromHeaders<Plan>(stream, std::nullopt, [&](const BitmapHeaders& headers, int64_t start) {
               Plan plan = PlanFor(headers, stream.GetSize() - start);
               if (plan) plan->PixelOffset += start;
               return plan;
           })
        .value_or(std::nullopt);
}

std::optional<TPixelFormat> BitmapFileFormat(TStream& stream) {
    return FromHeaders<TPixelFormat>(stream, pfDevice, [](const BitmapHeaders& headers, int64_t) { return headers.format; });
}

void CopyBitmapFile(TFileStream& source, const TBitmapFileCopy& plan, TFileStream& dest) {
    dest.WriteBuffer(plan.Headers.data(), static_cast<int64_t>(plan.Headers.size()));
    if (plan.RowBytes == plan.Stride)
        CopyRowsInKernel(source, plan, dest);
    else
        CopyRowsClearingPadding(source, plan, dest);
}

}  // namespace host
