#include "picture/BitmapFile.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <memory>
#include <vector>

#include "platform/CheckedSize.h"

namespace host {

namespace {

[[noreturn]] void Invalid() { throw EInvalidGraphic("Bitmap image is not valid"); }

uint16_t U16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
uint32_t U32(const uint8_t* p) {
    return uint32_t{p[0]} | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) | (uint32_t{p[3]} << 24);
}
void Put16(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}
void Put32(uint8_t* p, uint32_t v) {
    Put16(p, v);
    Put16(p + 2, v >> 16);
}

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

struct Header {
    int32_t width = 0;
    int32_t height = 0;  // magnitude
    bool topDown = false;
    int bits = 0;
    uint32_t compression = 0;
    uint32_t masks[3] = {0, 0, 0};  // red, green, blue
    bool hasMasks = false;
};

// Decodes RLE8 or RLE4 data into 24-bit rows (row counter 0 = bottom row).
void DecodeRLE(ByteReader& in, TBitmap& bitmap, const Header& h, const uint32_t* colors) {
    const int32_t width = h.width, height = h.height;
    int32_t x = 0, y = 0;
    uint8_t* row = bitmap.ScanLine(height - 1);
    auto put = [&](int index) {
        if (x < width) {
            const uint32_t c = colors[index];
            uint8_t* p = row + int64_t{x} * 3;
            p[0] = static_cast<uint8_t>(c);
            p[1] = static_cast<uint8_t>(c >> 8);
            p[2] = static_cast<uint8_t>(c >> 16);
        }
        if (x < INT32_MAX) ++x;
    };
    const bool four = h.compression == BI_RLE4;
    while (y < height) {
        const int n = in.Get();
        if (n < 0) return;
        if (n > 0) {
            const int v = in.Get();
            if (v < 0) return;
            const int32_t count = std::min<int32_t>(n, std::max<int32_t>(width - x, 0));
            for (int32_t k = 0; k < count; ++k) put(four ? ((k & 1) ? (v & 15) : (v >> 4)) : v);
            x = static_cast<int32_t>(std::min<int64_t>(int64_t{x} + (n - count), INT32_MAX));
            continue;
        }
        const int e = in.Get();
        if (e < 0) return;
        if (e == 0) {
            ++y;
            x = 0;
            if (y < height) row = bitmap.ScanLine(height - 1 - y);
        } else if (e == 1) {
            return;
        } else if (e == 2) {
            const int dx = in.Get();
            const int dy = in.Get();
            if (dx < 0 || dy < 0) return;
            x = static_cast<int32_t>(std::min<int64_t>(int64_t{x} + dx, INT32_MAX));
            y += dy;
            if (y < height) row = bitmap.ScanLine(height - 1 - y);
        } else if (!four) {
            for (int k = 0; k < e; ++k) {
                const int v = in.Get();
                if (v < 0) return;
                put(v);
            }
            if (e & 1) in.Get();
        } else {
            int v = 0;
            for (int k = 0; k < e; ++k) {
                if ((k & 1) == 0) {
                    v = in.Get();
                    if (v < 0) return;
                    put(v >> 4);
                } else {
                    put(v & 15);
                }
            }
            if (((e + 1) / 2) & 1) in.Get();
        }
    }
}

void ReadPixels(ByteReader& in, TBitmap& bitmap, const Header& h, const uint32_t* colors) {
    if (h.compression == BI_RLE8 || h.compression == BI_RLE4) {
        DecodeRLE(in, bitmap, h, colors);
        return;
    }
    const int64_t stride = (checkedSize({h.width, h.bits}) + 31) / 32 * 4;
    const int64_t packed = bitmap.RowBytes();
    const TPixelFormat format = bitmap.PixelFormat();
    const bool decode = format == pfCustom;
    std::vector<uint8_t> line;
    Channel red, green, blue;
    if (decode) {
        line.resize(static_cast<size_t>(stride));
        red = Channel::From(h.masks[0]);
        green = Channel::From(h.masks[1]);
        blue = Channel::From(h.masks[2]);
    }
    for (int32_t i = 0; i < h.height; ++i) {
        uint8_t* dest = bitmap.ScanLine(h.topDown ? i : h.height - 1 - i);
        if (!decode) {
            if (in.Read(dest, packed) < packed) return;
            if (stride > packed) {
                uint8_t pad[4];
                if (in.Read(pad, stride - packed) < stride - packed) return;
            }
            continue;
        }
        const int64_t got = in.Read(line.data(), stride);
        // Only whole pixels that arrived are decoded; the rest of the image stays zero.
        const int32_t bytes = h.bits / 8;
        const int32_t pixels = static_cast<int32_t>(std::min<int64_t>(got / bytes, h.width));
        for (int32_t x = 0; x < pixels; ++x) {
            const uint8_t* s = line.data() + int64_t{x} * bytes;
            const uint32_t v = bytes == 2 ? U16(s) : U32(s);
            uint8_t* d = dest + int64_t{x} * 4;
            d[0] = static_cast<uint8_t>(blue.Value(v));
            d[1] = static_cast<uint8_t>(green.Value(v));
            d[2] = static_cast<uint8_t>(red.Value(v));
            d[3] = 0;
        }
        if (got < stride) return;
    }
}

}  // namespace

void ReadBitmapFile(TStream& stream, TBitmap& bitmap) {
    ByteReader in(stream);
    uint8_t fileHeader[18];
    if (in.Read(fileHeader, 18) < 18) Invalid();
    if (fileHeader[0] != 'B' || fileHeader[1] != 'M') Invalid();
    const uint32_t offBits = U32(fileHeader + 10);
    const uint32_t headerSize = U32(fileHeader + 14);
    // Every header of 40 bytes or more starts with the 40-byte layout; of a longer one the
    // fields up to the largest known layout are kept and the rest is passed over.
    if (headerSize != 12 && headerSize < 40) Invalid();
    uint8_t info[124] = {};
    std::memcpy(info, fileHeader + 14, 4);
    const uint32_t kept = std::min<uint32_t>(headerSize, sizeof info);
    if (in.Read(info + 4, kept - 4) < kept - 4) Invalid();
    for (int64_t rest = int64_t{headerSize} - kept; rest > 0;) {
        uint8_t skipped[256];
        const int64_t n = std::min<int64_t>(rest, sizeof skipped);
        if (in.Read(skipped, n) < n) Invalid();
        rest -= n;
    }

    Header h;
    int entrySize = 4;
    uint32_t colorsUsed = 0;
    if (headerSize == 12) {
        h.width = U16(info + 4);
        h.height = U16(info + 6);
        if (U16(info + 8) != 1) Invalid();
        h.bits = U16(info + 10);
        entrySize = 3;
    } else {
        const auto width = static_cast<int32_t>(U32(info + 4));
        const auto height = static_cast<int32_t>(U32(info + 8));
        if (U16(info + 12) != 1) Invalid();
        h.bits = U16(info + 14);
        h.compression = U32(info + 16);
        colorsUsed = U32(info + 32);
        if (height == INT32_MIN) Invalid();
        h.width = width;
        h.topDown = height < 0;
        h.height = height < 0 ? -height : height;
        // The 64-byte OS/2 header gives compression 3 and 4 other meanings (Huffman, RLE24).
        if (headerSize == 64 && h.compression >= BI_BITFIELDS) Invalid();
    }
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
    int64_t tableStart = 14 + int64_t{headerSize};
    if (h.compression == BI_BITFIELDS) {
        h.hasMasks = true;
        if (headerSize >= 52) {
            for (int i = 0; i < 3; ++i) h.masks[i] = U32(info + 40 + 4 * i);
        } else {
            uint8_t masks[12];
            if (in.Read(masks, 12) < 12) Invalid();
            for (int i = 0; i < 3; ++i) h.masks[i] = U32(masks + 4 * i);
            tableStart += 12;
        }
    }

    // Colour table: biClrUsed entries (2^bits when 0), of which the first 2^bits count;
    // a table cut short by the pixel-data offset has only the entries before it.
    uint32_t colors[256] = {};
    std::vector<TPaletteEntry> palette;
    int64_t tableEnd = tableStart;
    if (h.bits <= 8) {
        int64_t count = colorsUsed ? colorsUsed : (1u << h.bits);
        if (offBits > tableStart) count = std::min<int64_t>(count, (offBits - tableStart) / entrySize);
        count = std::min<int64_t>(count, 1 << h.bits);
        uint8_t table[256 * 4];
        if (in.Read(table, count * entrySize) < count * entrySize) Invalid();
        tableEnd = tableStart + count * entrySize;
        palette.resize(1u << h.bits);
        for (int64_t i = 0; i < count; ++i) {
            const uint8_t* e = table + i * entrySize;
            palette[i] = {e[2], e[1], e[0], 0};
            colors[i] = (uint32_t{e[2]} << 16) | (uint32_t{e[1]} << 8) | e[0];
        }
    }
    const int64_t pixelOffset = offBits ? int64_t{offBits} : tableEnd;
    if (pixelOffset < 14 + int64_t{headerSize}) Invalid();

    TPixelFormat format;
    if (h.compression == BI_RLE8 || h.compression == BI_RLE4) {
        format = pf24bit;  // decoded as the screen's device-dependent bitmap would hold it
    } else {
        switch (h.bits) {
            case 1: format = pf1bit; break;
            case 4: format = pf4bit; break;
            case 8: format = pf8bit; break;
            case 16:
                if (!h.hasMasks || (h.masks[0] == 0x7C00 && h.masks[1] == 0x03E0 && h.masks[2] == 0x001F))
                    format = pf15bit;
                else if (h.masks[0] == 0xF800 && h.masks[1] == 0x07E0 && h.masks[2] == 0x001F)
                    format = pf16bit;
                else
                    format = pfCustom;
                break;
            case 24: format = pf24bit; break;
            default:
                if (!h.hasMasks || (h.masks[0] == 0xFF0000 && h.masks[1] == 0xFF00 && h.masks[2] == 0xFF))
                    format = pf32bit;
                else
                    format = pfCustom;
        }
    }
    if (format == pfCustom)
        for (uint32_t mask : h.masks) Channel::From(mask);  // rejects scattered masks up front

    TBitmap image;
    if (!palette.empty()) {
        const TPaletteHandle handle = CreatePalette(palette.data(), static_cast<int>(palette.size()));
        image.SetPalette(handle.get());
    }
    try {
        image.NewImage(format, h.width, h.height);
    } catch (const ELinearBitmap&) {
        Invalid();  // dimensions no buffer can hold
    }
    in.MoveTo(pixelOffset);
    ReadPixels(in, image, h, colors);
    const bool transparent = bitmap.Transparent();
    bitmap.TakeOver(image);
    bitmap.SetTransparent(transparent);
}

void WriteBitmapFile(TStream& stream, const TBitmapFileImage& image) {
    const int bits = image.BitCount;
    if (bits != 1 && bits != 4 && bits != 8 && bits != 16 && bits != 24 && bits != 32)
        throw EInvalidGraphic("Invalid pixel format");
    if (image.Width <= 0 || image.Height <= 0) throw ELinearBitmap("Invalid bitmap size");
    const int64_t packed = (checkedSize({image.Width, bits}) + 7) / 8;
    const int64_t stride = (checkedSize({image.Width, bits}) + 31) / 32 * 4;
    const int64_t imageSize = checkedSize({stride, image.Height});
    const bool masks = bits == 16 && image.Masks565;
    const int tableEntries = bits <= 8 ? 1 << bits : 0;
    const int64_t headerBytes = 14 + 40 + (masks ? 12 : 0) + tableEntries * 4;
    const int64_t fileSize = checkedAdd(headerBytes, imageSize, 0xFFFFFFFFll);

    std::vector<uint8_t> header(static_cast<size_t>(headerBytes), 0);
    uint8_t* p = header.data();
    p[0] = 'B';
    p[1] = 'M';
    Put32(p + 2, static_cast<uint32_t>(fileSize));
    Put32(p + 10, static_cast<uint32_t>(headerBytes));
    Put32(p + 14, 40);
    Put32(p + 18, static_cast<uint32_t>(image.Width));
    Put32(p + 22, static_cast<uint32_t>(image.Height));
    Put16(p + 26, 1);
    Put16(p + 28, static_cast<uint32_t>(bits));
    Put32(p + 30, masks ? BI_BITFIELDS : BI_RGB);
    Put32(p + 34, static_cast<uint32_t>(imageSize));
    if (masks) {
        Put32(p + 54, 0xF800);
        Put32(p + 58, 0x07E0);
        Put32(p + 62, 0x001F);
    }
    uint8_t* table = p + 54 + (masks ? 12 : 0);
    const int given = std::clamp(image.ColorCount, 0, tableEntries);
    for (int i = 0; i < given; ++i) {
        table[i * 4] = image.Colors[i].peBlue;
        table[i * 4 + 1] = image.Colors[i].peGreen;
        table[i * 4 + 2] = image.Colors[i].peRed;
    }
    stream.WriteBuffer(header.data(), headerBytes);

    // Rows go out bottom-up, gathered into blocks of about a megabyte.
    const int64_t rowsPerBlock = std::max<int64_t>(1, (1 << 20) / stride);
    std::vector<uint8_t> block(static_cast<size_t>(std::min<int64_t>(rowsPerBlock, image.Height) * stride), 0);
    int64_t filled = 0;
    for (int32_t y = image.Height - 1; y >= 0; --y) {
        uint8_t* d = block.data() + filled;
        std::memcpy(d, image.Row(y), static_cast<size_t>(packed));
        std::memset(d + packed, 0, static_cast<size_t>(stride - packed));
        filled += stride;
        if (filled + stride > static_cast<int64_t>(block.size()) || y == 0) {
            stream.WriteBuffer(block.data(), filled);
            filled = 0;
        }
    }
}

}  // namespace host
