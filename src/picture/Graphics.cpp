#include "picture/Graphics.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "picture/BitmapFile.h"
#include "picture/PackedPixels.h"
#include "platform/ByteOrder.h"
#include "platform/CheckedSize.h"
#include "platform/SysUtils.h"

namespace host {

// ---------------------------------------------------------------- palettes

TPaletteHandle CreatePalette(const TPaletteEntry* entries, int count) {
    auto palette = std::make_unique<TLogPalette>();
    count = std::clamp(count, 0, 256);
    palette->Entries.assign(entries, entries + count);
    return palette;
}

int GetPaletteEntries(HPALETTE palette, int start, int count, TPaletteEntry* out) {
    if (!palette || start < 0 || count <= 0) return 0;
    const int size = static_cast<int>(palette->Entries.size());
    if (start >= size) return 0;
    const int n = std::min(count, size - start);
    std::copy(palette->Entries.begin() + start, palette->Entries.begin() + start + n, out);
    return n;
}

int GetNearestPaletteIndex(HPALETTE palette, TColor color) {
    if (!palette || palette->Entries.empty()) return 0;
    const int r = GetRValue(color), g = GetGValue(color), b = GetBValue(color);
    int best = 0;
    int bestDistance = 1 << 30;
    for (size_t i = 0; i < palette->Entries.size(); ++i) {
        const TPaletteEntry& e = palette->Entries[i];
        const int dr = e.peRed - r, dg = e.peGreen - g, db = e.peBlue - b;
        const int distance = dr * dr + dg * dg + db * db;
        if (distance < bestDistance) {
            bestDistance = distance;
            best = static_cast<int>(i);
            if (distance == 0) break;
        }
    }
    return best;
}

// ---------------------------------------------------------------- persistent objects

void TPersistent::Assign(TPersistent& Source) { Source.AssignTo(*this); }

void TPersistent::AssignTo(TPersistent& Dest) {
    throw EConvertError(Format("Cannot assign a %s to a %s", ClassName(), Dest.ClassName()));
}

void TGraphic::LoadFromFile(const std::string& fileName) {
    TFileStream stream(fileName, fmOpenRead);
    LoadFromStream(stream);
}

void TGraphic::SaveToFile(const std::string& fileName) {
    TFileStream stream(fileName, fmCreate);
    SaveToStream(stream);
    stream.Close();
}

// ---------------------------------------------------------------- pixel rows

namespace {

// Colours inside the bitmap code are 0x00RRGGBB words: blue in the low byte, as the
// bytes of a 32-bit pixel read little-endian.
constexpr uint32_t ToRGBWord(TColor c) {
    return (static_cast<uint32_t>(GetRValue(c)) << 16) | (static_cast<uint32_t>(GetGValue(c)) << 8) | GetBValue(c);
}
constexpr TColor ToColor(uint32_t w) {
    return RGB(static_cast<uint8_t>(w >> 16), static_cast<uint8_t>(w >> 8), static_cast<uint8_t>(w));
}

// 5- and 6-bit channels widened to the nearest 8-bit level: v * 255 / max, rounded.
inline uint32_t Expand5(uint32_t v) { return (v * 255 + 15) / 31; }
inline uint32_t Expand6(uint32_t v) { return (v * 255 + 31) / 63; }

bool IsIndexed(TPixelFormat f) { return f == pf1bit || f == pf4bit || f == pf8bit; }

void BuildColorTable(const TLogPalette& palette, uint32_t (&table)[256]) {
    std::fill(std::begin(table), std::end(table), 0u);
    const size_t n = std::min<size_t>(palette.Entries.size(), 256);
    for (size_t i = 0; i < n; ++i) {
        const TPaletteEntry& e = palette.Entries[i];
        table[i] = (uint32_t{e.peRed} << 16) | (uint32_t{e.peGreen} << 8) | e.peBlue;
    }
}

void DecodeRow(TPixelFormat f, const uint8_t* row, int32_t x, int32_t n, const uint32_t* table, uint32_t* out) {
    switch (f) {
        case pf1bit:
        case pf4bit:
        case pf8bit:
            UnpackRow(row, BitsOfPixelFormat(f), x, n, [&](int64_t i, uint8_t index) { out[i] = table[index]; });
            break;
        case pf15bit:
            for (int32_t i = 0; i < n; ++i) {
                const uint32_t v = ReadLE16(row + (x + i) * 2);
                out[i] = (Expand5((v >> 10) & 31) << 16) | (Expand5((v >> 5) & 31) << 8) | Expand5(v & 31);
            }
            break;
        case pf16bit:
            for (int32_t i = 0; i < n; ++i) {
                const uint32_t v = ReadLE16(row + (x + i) * 2);
                out[i] = (Expand5((v >> 11) & 31) << 16) | (Expand6((v >> 5) & 63) << 8) | Expand5(v & 31);
            }
            break;
        case pfDevice:
        case pf24bit:
            for (int32_t i = 0; i < n; ++i) {
                const uint8_t* p = row + (x + i) * 3;
                out[i] = (uint32_t{p[2]} << 16) | (uint32_t{p[1]} << 8) | p[0];
            }
            break;
        case pf32bit:
        case pfCustom:
            for (int32_t i = 0; i < n; ++i) {
                const uint8_t* p = row + (x + i) * 4;
                out[i] = (uint32_t{p[2]} << 16) | (uint32_t{p[1]} << 8) | p[0];
            }
            break;
    }
}

}  // namespace

// Maps colours to the nearest palette entry, remembering recent answers.
class NearestIndex {
public:
    explicit NearestIndex(const TLogPalette& palette) : palette_(palette) {
        std::fill(std::begin(keys_), std::end(keys_), 0xFFFFFFFFu);
    }
    uint8_t operator()(uint32_t rgb) {
        const uint32_t slot = (rgb ^ (rgb >> 11) ^ (rgb >> 19)) & (Slots - 1);
        if (keys_[slot] != rgb) {
            keys_[slot] = rgb;
            values_[slot] = static_cast<uint8_t>(GetNearestPaletteIndex(&palette_, ToColor(rgb)));
        }
        return values_[slot];
    }

private:
    static constexpr uint32_t Slots = 4096;
    const TLogPalette& palette_;
    uint32_t keys_[Slots];
    uint8_t values_[Slots] = {};
};

namespace {

void EncodeRow(TPixelFormat f, uint8_t* row, int32_t x, int32_t n, const uint32_t* in, NearestIndex* nearest) {
    switch (f) {
        case pf1bit:
            for (int32_t i = 0; i < n; ++i) {
                const int32_t p = x + i;
                const uint8_t bit = static_cast<uint8_t>(0x80 >> (p & 7));
                if ((*nearest)(in[i]) & 1)
                    row[p >> 3] |= bit;
                else
                    row[p >> 3] &= static_cast<uint8_t>(~bit);
            }
            break;
        case pf4bit:
            for (int32_t i = 0; i < n; ++i) {
                const int32_t p = x + i;
                const uint8_t v = (*nearest)(in[i]) & 15;
                uint8_t& b = row[p >> 1];
                b = (p & 1) ? static_cast<uint8_t>((b & 0xF0) | v) : static_cast<uint8_t>((b & 0x0F) | (v << 4));
            }
            break;
        case pf8bit:
            for (int32_t i = 0; i < n; ++i) row[x + i] = (*nearest)(in[i]);
            break;
        case pf15bit:
        case pf16bit:
            for (int32_t i = 0; i < n; ++i) {
                const uint32_t c = in[i];
                const uint32_t r = (c >> 16) & 0xFF, g = (c >> 8) & 0xFF, b = c & 0xFF;
                const uint32_t v = f == pf15bit ? ((r >> 3) << 10) | ((g >> 3) << 5) | (b >> 3)
                                                : ((r >> 3) << 11) | ((g >> 2) << 5) | (b >> 3);
                WriteLE16(row + (x + i) * 2, static_cast<uint16_t>(v));
            }
            break;
        case pfDevice:
        case pf24bit:
            for (int32_t i = 0; i < n; ++i) {
                uint8_t* p = row + (x + i) * 3;
                p[0] = static_cast<uint8_t>(in[i]);
                p[1] = static_cast<uint8_t>(in[i] >> 8);
                p[2] = static_cast<uint8_t>(in[i] >> 16);
            }
            break;
        case pf32bit:
        case pfCustom:
            for (int32_t i = 0; i < n; ++i) {
                uint8_t* p = row + (x + i) * 4;
                p[0] = static_cast<uint8_t>(in[i]);
                p[1] = static_cast<uint8_t>(in[i] >> 8);
                p[2] = static_cast<uint8_t>(in[i] >> 16);
                p[3] = 0;
            }
            break;
    }
}

void DefaultPalette(TPixelFormat f, TLogPalette& palette) {
    palette.Entries.clear();
    if (f == pf1bit) {
        palette.Entries = {{0, 0, 0, 0}, {255, 255, 255, 0}};
    } else if (f == pf4bit) {
        static const uint8_t vga[16][3] = {{0, 0, 0},       {128, 0, 0},   {0, 128, 0},   {128, 128, 0},
                                           {0, 0, 128},     {128, 0, 128}, {0, 128, 128}, {192, 192, 192},
                                           {128, 128, 128}, {255, 0, 0},   {0, 255, 0},   {255, 255, 0},
                                           {0, 0, 255},     {255, 0, 255}, {0, 255, 255}, {255, 255, 255}};
        for (const auto& c : vga) palette.Entries.push_back({c[0], c[1], c[2], 0});
    } else {
        for (int r = 0; r < 6; ++r)
            for (int g = 0; g < 6; ++g)
                for (int b = 0; b < 6; ++b)
                    palette.Entries.push_back({static_cast<uint8_t>(r * 51), static_cast<uint8_t>(g * 51),
                                               static_cast<uint8_t>(b * 51), 0});
        for (int i = 0; i < 40; ++i) {
            const auto v = static_cast<uint8_t>((i + 1) * 255 / 41);
            palette.Entries.push_back({v, v, v, 0});
        }
    }
}

}  // namespace

// ---------------------------------------------------------------- TBitmap

TBitmap::Bits TBitmap::AllocateBits(int64_t rowBytes, int32_t height) {
    return AllocatePixels(checkedSize({rowBytes, height}));
}

TBitmap::TBitmap() = default;
TBitmap::~TBitmap() = default;

void TBitmap::NewImage(TPixelFormat format, int32_t width, int32_t height) {
    if (width < 0 || height < 0) throw ELinearBitmap("Invalid bitmap size");
    CheckImageLimits(width, height);
    const int64_t rowBytes = PackedRowBytes(width, BitsOfPixelFormat(format));
    Bits bits = width > 0 && height > 0 ? AllocateBits(rowBytes, height) : Bits();
    bits_ = std::move(bits);
    format_ = format;
    width_ = width;
    height_ = height;
    rowBytes_ = static_cast<int32_t>(rowBytes);
    if (IsIndexed(format) && palette_.Entries.empty()) DefaultPalette(format, palette_);
    nearest_.reset();
}

void TGraphic::CopyToBitmap(TBitmap& bitmap) {
    try {
        bitmap.Assign(*this);
    } catch (const EConvertError&) {
        // Only a graphic that cannot be assigned is drawn instead; one whose data failed
        // would fail again, after a whole white bitmap had been filled for it.
        bitmap.SetPixelFormat(pf24bit);
        bitmap.SetSize(Width(), Height());
        // A new platform bitmap is white only once painted so.
        bitmap.Canvas().Brush.Color = clWhite;
        bitmap.Canvas().FillRect(Rect(0, 0, bitmap.Width(), bitmap.Height()));
        bitmap.Canvas().Draw(0, 0, *this);
    }
}

void TBitmap::TakeOver(TBitmap& Other) {
    if (&Other == this) return;
    width_ = Other.width_;
    height_ = Other.height_;
    format_ = Other.format_;
    rowBytes_ = Other.rowBytes_;
    bits_ = std::move(Other.bits_);
    palette_ = std::move(Other.palette_);
    transparentColor_ = Other.transparentColor_;
    transparentMode_ = Other.transparentMode_;
    SetTransparent(Other.Transparent());
    Other.width_ = Other.height_ = Other.rowBytes_ = 0;
    Other.palette_.Entries.clear();
    Other.nearest_.reset();
    nearest_.reset();
}

void TBitmap::AdoptPixels(TPixelFormat format, int32_t width, int32_t height, PixelBuffer bits) {
    if (width <= 0 || height <= 0 || !bits) throw ELinearBitmap("Invalid bitmap size");
    bits_ = std::move(bits);
    format_ = format;
    width_ = width;
    height_ = height;
    rowBytes_ = static_cast<int32_t>(PackedRowBytes(width, BitsOfPixelFormat(format)));
    if (IsIndexed(format) && palette_.Entries.empty()) DefaultPalette(format, palette_);
    nearest_.reset();
}

PixelBuffer TBitmap::ReleasePixels() {
    width_ = height_ = rowBytes_ = 0;
    nearest_.reset();
    return std::move(bits_);
}

void TBitmap::SetSize(int32_t width, int32_t height) {
    if (width == width_ && height == height_) return;
    if (width < 0 || height < 0) throw ELinearBitmap("Invalid bitmap size");
    CheckImageLimits(width, height);
    const int64_t rowBytes = PackedRowBytes(width, BitsPerPixel());
    Bits bits = width > 0 && height > 0 ? AllocateBits(rowBytes, height) : Bits();
    if (bits && bits_) {
        const int64_t common = std::min<int64_t>(rowBytes, rowBytes_);
        const int32_t rows = std::min(height, height_);
        for (int32_t y = 0; y < rows; ++y)
            std::memcpy(bits.get() + y * rowBytes, bits_.get() + int64_t{y} * rowBytes_, static_cast<size_t>(common));
        // Pixels beyond the old width in a shared last byte start out zero as well.
        const int64_t oldBits = int64_t{width_} * BitsPerPixel();
        if (width > width_ && (oldBits & 7) != 0) {
            const auto keep = static_cast<uint8_t>(0xFF00 >> (oldBits & 7));
            for (int32_t y = 0; y < rows; ++y) bits.get()[y * rowBytes + oldBits / 8] &= keep;
        }
    }
    bits_ = std::move(bits);
    width_ = width;
    height_ = height;
    rowBytes_ = static_cast<int32_t>(rowBytes);
    if (IsIndexed(format_) && palette_.Entries.empty()) {
        DefaultPalette(format_, palette_);
        nearest_.reset();
    }
}

uint8_t* TBitmap::ScanLine(int32_t y) {
    if (!bits_ || y < 0 || y >= height_) throw EInvalidGraphic("Scan line index out of range");
    return bits_.get() + int64_t{y} * rowBytes_;
}

const uint8_t* TBitmap::ScanLine(int32_t y) const {
    if (!bits_ || y < 0 || y >= height_) throw EInvalidGraphic("Scan line index out of range");
    return bits_.get() + int64_t{y} * rowBytes_;
}

void TBitmap::SetPixelFormat(TPixelFormat format) {
    if (format > pfCustom) throw EInvalidGraphic("Invalid pixel format");
    if (format == format_) return;
    const TPixelFormat old = format_;
    if (IsIndexed(format) && palette_.Entries.empty()) DefaultPalette(format, palette_);
    nearest_.reset();
    if (!bits_) {
        format_ = format;
        rowBytes_ = static_cast<int32_t>(PackedRowBytes(width_, BitsOfPixelFormat(format)));
        return;
    }
    const int64_t rowBytes = PackedRowBytes(width_, BitsOfPixelFormat(format));
    Bits bits = AllocateBits(rowBytes, height_);
    if (IsIndexed(old) && IsIndexed(format) && BitsOfPixelFormat(format) > BitsOfPixelFormat(old)) {
        // Widening keeps every index as it is.
        const int oldBits = BitsOfPixelFormat(old);
        for (int32_t y = 0; y < height_; ++y) {
            const uint8_t* s = bits_.get() + int64_t{y} * rowBytes_;
            uint8_t* d = bits.get() + y * rowBytes;
            UnpackRow(s, oldBits, 0, width_, [&](int64_t x, uint8_t v) {
                if (format == pf8bit)
                    d[x] = v;
                else
                    d[x >> 1] |= static_cast<uint8_t>((x & 1) ? v : v << 4);
            });
        }
    } else {
        uint32_t table[256];
        BuildColorTable(palette_, table);
        std::vector<uint32_t> line(static_cast<size_t>(width_));
        NearestIndex nearest(palette_);
        for (int32_t y = 0; y < height_; ++y) {
            DecodeRow(old, bits_.get() + int64_t{y} * rowBytes_, 0, width_, table, line.data());
            EncodeRow(format, bits.get() + y * rowBytes, 0, width_, line.data(), &nearest);
        }
    }
    bits_ = std::move(bits);
    rowBytes_ = static_cast<int32_t>(rowBytes);
    format_ = format;
}

void TBitmap::SetPalette(HPALETTE palette) {
    nearest_.reset();
    if (!palette) {
        palette_.Entries.clear();
        return;
    }
    if (palette == &palette_) return;
    palette_.Entries.assign(palette->Entries.begin(),
                            palette->Entries.begin() + std::min<size_t>(palette->Entries.size(), 256));
}

int TBitmap::GetDIBColorTable(int start, int count, TRGBQuad* out) const {
    if (!IsIndexed(format_)) return 0;
    std::vector<TPaletteEntry> entries(static_cast<size_t>(std::max(count, 0)));
    const int n = GetPaletteEntries(Palette(), start, count, entries.data());
    for (int i = 0; i < n; ++i) out[i] = {entries[i].peBlue, entries[i].peGreen, entries[i].peRed, 0};
    return n;
}

TCanvas& TBitmap::Canvas() {
    if (!canvas_) canvas_ = std::make_unique<TCanvas>(this);
    return *canvas_;
}

TColor TBitmap::TransparentColor() const {
    if (transparentMode_ == tmFixed && transparentColor_ != clDefault) return transparentColor_;
    if (Empty()) return clDefault;
    return GetPixel(0, height_ - 1);
}

void TBitmap::SetTransparentColor(TColor color) {
    transparentColor_ = color;
    transparentMode_ = color == clDefault ? tmAuto : tmFixed;
}

std::unique_ptr<TBitmap> TBitmap::CreateMask() const {
    auto mask = std::make_unique<TBitmap>();
    mask->format_ = pf1bit;
    mask->palette_.Entries = {{0, 0, 0, 0}, {255, 255, 255, 0}};
    mask->SetSize(width_, height_);
    if (Empty()) return mask;
    const uint32_t key = ToRGBWord(TransparentColor());
    uint32_t table[256];
    BuildColorTable(palette_, table);
    std::vector<uint32_t> line(static_cast<size_t>(width_));
    for (int32_t y = 0; y < height_; ++y) {
        DecodeRow(format_, ScanLine(y), 0, width_, table, line.data());
        uint8_t* m = mask->ScanLine(y);
        for (int32_t x = 0; x < width_; ++x)
            if (line[x] == key) m[x >> 3] |= static_cast<uint8_t>(0x80 >> (x & 7));
    }
    return mask;
}

void TBitmap::ReadRowRGB(int32_t y, int32_t x, int32_t count, uint32_t* out) const {
    if (count <= 0) return;
    if (x < 0 || count > width_ - x) throw EInvalidGraphic("Scan line index out of range");
    uint32_t table[256];
    if (IsIndexed(format_)) BuildColorTable(palette_, table);
    DecodeRow(format_, ScanLine(y), x, count, table, out);
}

void TBitmap::WriteRowRGB(int32_t y, int32_t x, int32_t count, const uint32_t* in) {
    if (count <= 0) return;
    if (x < 0 || count > width_ - x) throw EInvalidGraphic("Scan line index out of range");
    if (IsIndexed(format_)) {
        if (!nearest_) nearest_ = std::make_unique<NearestIndex>(palette_);
        EncodeRow(format_, ScanLine(y), x, count, in, nearest_.get());
    } else {
        EncodeRow(format_, ScanLine(y), x, count, in, nullptr);
    }
}

TColor TBitmap::GetPixel(int32_t x, int32_t y) const {
    if (x < 0 || y < 0 || x >= width_ || y >= height_) return clBlack;
    uint32_t rgb;
    ReadRowRGB(y, x, 1, &rgb);
    return ToColor(rgb);
}

void TBitmap::SetPixel(int32_t x, int32_t y, TColor color) {
    if (x < 0 || y < 0 || x >= width_ || y >= height_) return;
    const uint32_t rgb = ToRGBWord(color);
    WriteRowRGB(y, x, 1, &rgb);
}

void TBitmap::Assign(TPersistent& Source) {
    auto* source = dynamic_cast<TBitmap*>(&Source);
    if (!source) {
        TPersistent::Assign(Source);
        return;
    }
    if (source == this) return;
    Bits bits;
    if (source->bits_) {
        bits = AllocateBits(source->rowBytes_, source->height_);
        std::memcpy(bits.get(), source->bits_.get(), static_cast<size_t>(int64_t{source->rowBytes_} * source->height_));
    }
    bits_ = std::move(bits);
    width_ = source->width_;
    height_ = source->height_;
    format_ = source->format_;
    rowBytes_ = source->rowBytes_;
    palette_ = source->palette_;
    nearest_.reset();
    transparentColor_ = source->transparentColor_;
    transparentMode_ = source->transparentMode_;
    SetTransparent(source->Transparent());
}

void TBitmap::Draw(TCanvas& canvas, const TRect& rect) {
    canvas.StretchBitmap(rect, *this, Rect(0, 0, width_, height_), Transparent());
}

void TBitmap::LoadFromStream(TStream& stream) {
    TDecodedBitmap decoded = ReadBitmapFile(stream);
    // The image is built aside and moved in whole: a failed read leaves this one as it was.
    TBitmap image;
    image.palette_.Entries = std::move(decoded.Palette);
    image.AdoptPixels(decoded.Format, decoded.Width, decoded.Height, std::move(decoded.Pixels));
    const bool transparent = Transparent();
    TakeOver(image);
    SetTransparent(transparent);
}

void TBitmap::SaveToStream(TStream& stream) {
    if (Empty()) return;
    TBitmapFileImage image;
    image.Width = width_;
    image.Height = height_;
    image.BitCount = BitsPerPixel();
    image.Masks565 = format_ == pf16bit;
    if (IsIndexed(format_)) {
        image.Colors = palette_.Entries.data();
        image.ColorCount = static_cast<int>(palette_.Entries.size());
    }
    image.Row = [this](int32_t y) -> const uint8_t* { return bits_.get() + int64_t{y} * rowBytes_; };
    WriteBitmapFile(stream, image);
}

// ---------------------------------------------------------------- canvas

namespace {

// Where each destination pixel of a span takes its source from (nearest pixel centre).
std::vector<int32_t> SourceIndices(int32_t destCount, int32_t srcStart, int32_t srcCount, bool mirrored) {
    std::vector<int32_t> map(static_cast<size_t>(destCount));
    for (int32_t i = 0; i < destCount; ++i) {
        const int32_t k = mirrored ? destCount - 1 - i : i;
        map[i] = srcStart + static_cast<int32_t>((int64_t{k} * 2 + 1) * srcCount / (int64_t{destCount} * 2));
    }
    return map;
}

// Paints rows delivered by decode(sourceRow, out) (sourceWidth colours each) into the
// target: the source rectangle stretched into the destination, clipped to the target.
template <class Decode>
void StretchInto(TBitmap& target, int32_t xDest, int32_t yDest, int32_t destWidth, int32_t destHeight,
                 int32_t xSrc, int32_t ySrc, int32_t srcWidth, int32_t srcHeight, int32_t sourceWidth,
                 int32_t sourceHeight, Decode decode, bool skipKey, uint32_t key, bool halftone) {
    if (destWidth == 0 || destHeight == 0 || srcWidth <= 0 || srcHeight <= 0) return;
    // Source rectangle limited to the source image.
    if (xSrc < 0 || ySrc < 0 || xSrc > sourceWidth - srcWidth || ySrc > sourceHeight - srcHeight) return;
    const bool mirrorX = destWidth < 0, mirrorY = destHeight < 0;
    const int32_t dw = mirrorX ? -destWidth : destWidth, dh = mirrorY ? -destHeight : destHeight;
    const int32_t left = mirrorX ? xDest + destWidth : xDest, top = mirrorY ? yDest + destHeight : yDest;
    const int32_t x0 = std::max(left, 0), x1 = static_cast<int32_t>(std::min<int64_t>(int64_t{left} + dw, target.Width()));
    const int32_t y0 = std::max(top, 0), y1 = static_cast<int32_t>(std::min<int64_t>(int64_t{top} + dh, target.Height()));
    if (x0 >= x1 || y0 >= y1) return;
    const std::vector<int32_t> columns = SourceIndices(dw, xSrc, srcWidth, mirrorX);
    const std::vector<int32_t> rows = SourceIndices(dh, ySrc, srcHeight, mirrorY);
    std::vector<uint32_t> source(static_cast<size_t>(sourceWidth));
    std::vector<uint32_t> line(static_cast<size_t>(x1 - x0));
    std::vector<uint32_t> existing;
    const bool average = halftone && (dw < srcWidth || dh < srcHeight);
    std::vector<uint64_t> sums;
    int32_t decodedRow = -1;
    for (int32_t y = y0; y < y1; ++y) {
        if (average) {
            // Box filter: the mean of the source pixels that the destination pixel covers.
            const int32_t j = mirrorY ? dh - 1 - (y - top) : y - top;
            const int32_t sy0 = ySrc + static_cast<int32_t>(int64_t{j} * srcHeight / dh);
            const int32_t sy1 = std::max(sy0 + 1, ySrc + static_cast<int32_t>(int64_t{j + 1} * srcHeight / dh));
            sums.assign(static_cast<size_t>(x1 - x0) * 4, 0);
            for (int32_t sy = sy0; sy < sy1; ++sy) {
                decode(sy, source.data());
                for (int32_t x = x0; x < x1; ++x) {
                    const int32_t i = mirrorX ? dw - 1 - (x - left) : x - left;
                    const int32_t sx0 = xSrc + static_cast<int32_t>(int64_t{i} * srcWidth / dw);
                    const int32_t sx1 = std::max(sx0 + 1, xSrc + static_cast<int32_t>(int64_t{i + 1} * srcWidth / dw));
                    uint64_t* s = &sums[static_cast<size_t>(x - x0) * 4];
                    for (int32_t sx = sx0; sx < sx1; ++sx) {
                        const uint32_t c = source[sx];
                        s[0] += c & 0xFF;
                        s[1] += (c >> 8) & 0xFF;
                        s[2] += (c >> 16) & 0xFF;
                        s[3] += 1;
                    }
                }
            }
            for (int32_t x = x0; x < x1; ++x) {
                const uint64_t* s = &sums[static_cast<size_t>(x - x0) * 4];
                const uint64_t n = s[3];
                line[x - x0] = static_cast<uint32_t>(((s[2] + n / 2) / n) << 16 | ((s[1] + n / 2) / n) << 8 |
                                                     ((s[0] + n / 2) / n));
            }
        } else {
            const int32_t sy = rows[y - top];
            if (sy != decodedRow) {
                decode(sy, source.data());
                decodedRow = sy;
            }
            for (int32_t x = x0; x < x1; ++x) line[x - x0] = source[columns[x - left]];
        }
        if (skipKey) {
            existing.resize(line.size());
            target.ReadRowRGB(y, x0, x1 - x0, existing.data());
            for (size_t i = 0; i < line.size(); ++i)
                if (line[i] == key) line[i] = existing[i];
        }
        target.WriteRowRGB(y, x0, x1 - x0, line.data());
    }
}

}  // namespace

void TCanvas::FillRect(const TRect& rect) {
    if (!target_) return;
    const int32_t x0 = std::max(rect.Left, 0), x1 = std::min(rect.Right, target_->Width());
    const int32_t y0 = std::max(rect.Top, 0), y1 = std::min(rect.Bottom, target_->Height());
    if (x0 >= x1 || y0 >= y1) return;
    const std::vector<uint32_t> line(static_cast<size_t>(x1 - x0), ToRGBWord(Brush.Color));
    for (int32_t y = y0; y < y1; ++y) target_->WriteRowRGB(y, x0, x1 - x0, line.data());
}

TColor TCanvas::GetPixel(int32_t x, int32_t y) { return target_ ? target_->GetPixel(x, y) : clBlack; }

void TCanvas::SetPixel(int32_t x, int32_t y, TColor color) {
    if (target_) target_->SetPixel(x, y, color);
}

void TCanvas::StretchBitmap(const TRect& dest, const TBitmap& source, const TRect& sourceRect, bool transparent) {
    if (!target_ || source.Empty()) return;
    const uint32_t key = transparent ? ToRGBWord(source.TransparentColor()) : 0;
    auto decode = [&](int32_t row, uint32_t* out) { source.ReadRowRGB(row, 0, source.Width(), out); };
    if (&source == target_) {
        // Painting a bitmap onto itself reads from a copy.
        TBitmap copy;
        copy.Assign(const_cast<TBitmap&>(source));
        auto decodeCopy = [&](int32_t row, uint32_t* out) { copy.ReadRowRGB(row, 0, copy.Width(), out); };
        StretchInto(*target_, dest.Left, dest.Top, dest.Width(), dest.Height(), sourceRect.Left, sourceRect.Top,
                    sourceRect.Width(), sourceRect.Height(), copy.Width(), copy.Height(), decodeCopy, transparent,
                    key, stretchMode_ == HALFTONE);
        return;
    }
    StretchInto(*target_, dest.Left, dest.Top, dest.Width(), dest.Height(), sourceRect.Left, sourceRect.Top,
                sourceRect.Width(), sourceRect.Height(), source.Width(), source.Height(), decode, transparent, key,
                stretchMode_ == HALFTONE);
}

int TCanvas::StretchDIBits(int32_t xDest, int32_t yDest, int32_t destWidth, int32_t destHeight, int32_t xSrc,
                           int32_t ySrc, int32_t srcWidth, int32_t srcHeight, const void* bits,
                           const TBitmapInfo& info, uint32_t usage, uint32_t rop) {
    const TBitmapInfoHeader& h = info.bmiHeader;
    if (!target_ || !bits || h.biCompression != BI_RGB || h.biWidth <= 0 || h.biHeight == 0 ||
        h.biHeight == INT32_MIN || h.biPlanes != 1 || usage != DIB_RGB_COLORS || rop != SRCCOPY)
        return 0;
    TPixelFormat format;
    switch (h.biBitCount) {
        case 1: format = pf1bit; break;
        case 4: format = pf4bit; break;
        case 8: format = pf8bit; break;
        case 16: format = pf15bit; break;
        case 24: format = pf24bit; break;
        case 32: format = pf32bit; break;
        default: return 0;
    }
    const bool topDown = h.biHeight < 0;
    const int32_t height = topDown ? -h.biHeight : h.biHeight;
    const int64_t stride = (checkedSize({h.biWidth, h.biBitCount}) + 31) / 32 * 4;
    uint32_t table[256] = {};
    if (h.biBitCount <= 8) {
        const uint32_t count = h.biClrUsed ? std::min<uint32_t>(h.biClrUsed, 256) : 1u << h.biBitCount;
        for (uint32_t i = 0; i < count; ++i) {
            const TRGBQuad& q = info.bmiColors[i];
            table[i] = (uint32_t{q.rgbRed} << 16) | (uint32_t{q.rgbGreen} << 8) | q.rgbBlue;
        }
    }
    const auto* base = static_cast<const uint8_t*>(bits);
    auto decode = [&](int32_t row, uint32_t* out) {
        const int64_t stored = topDown ? row : height - 1 - row;
        DecodeRow(format, base + stored * stride, 0, h.biWidth, table, out);
    };
    StretchInto(*target_, xDest, yDest, destWidth, destHeight, xSrc, ySrc, srcWidth, srcHeight, h.biWidth, height,
                decode, false, 0, stretchMode_ == HALFTONE);
    return srcHeight;
}

void TCanvas::Draw(int32_t x, int32_t y, TGraphic& graphic) {
    graphic.Draw(*this, Rect(x, y, x + graphic.Width(), y + graphic.Height()));
}

void TCanvas::StretchDraw(const TRect& rect, TGraphic& graphic) { graphic.Draw(*this, rect); }

void TCanvas::CopyRect(const TRect& dest, TCanvas& source, const TRect& sourceRect) {
    if (source.Target()) StretchBitmap(dest, *source.Target(), sourceRect, false);
}

int TCanvas::SetStretchBltMode(int mode) {
    if (mode < BLACKONWHITE || mode > HALFTONE) return 0;
    const int previous = stretchMode_;
    stretchMode_ = mode;
    return previous;
}

// ---------------------------------------------------------------- picture

namespace {

struct FileFormat {
    std::string extension;  // lower case, without the dot
    std::string description;
    TGraphicFactory factory;
    const std::type_info* graphicClass;
};

std::vector<FileFormat>& FileFormats() {
    static std::vector<FileFormat> formats{
        {"bmp", "Bitmaps", [] { return std::unique_ptr<TGraphic>(std::make_unique<TBitmap>()); },
         &typeid(TBitmap)}};
    return formats;
}

}  // namespace

TPicture::TPicture() = default;
TPicture::~TPicture() = default;

void TPicture::RegisterFileFormat(const std::string& extension, const std::string& description,
                                  TGraphicFactory factory, const std::type_info* graphicClass) {
    FileFormats().push_back({LowerCase(extension), description, std::move(factory), graphicClass});
}

void TPicture::UnregisterGraphicClass(const std::type_info& graphicClass) {
    auto& formats = FileFormats();
    const auto same = [&](const FileFormat& f) { return f.graphicClass && *f.graphicClass == graphicClass; };
    formats.erase(std::remove_if(formats.begin(), formats.end(), same), formats.end());
}

namespace {

const FileFormat* LastRegistration(const std::string& extension) {
    const std::string ext = LowerCase(extension);
    const auto& formats = FileFormats();
    for (auto it = formats.rbegin(); it != formats.rend(); ++it)
        if (it->extension == ext) return &*it;
    return nullptr;
}

}  // namespace

const std::type_info* TPicture::FindGraphicClass(const std::string& extension) {
    const FileFormat* format = LastRegistration(extension);
    return format ? format->graphicClass : nullptr;
}

int TPicture::FileFormatCount(const std::string& extension) {
    const std::string ext = LowerCase(extension);
    const auto& formats = FileFormats();
    return static_cast<int>(
        std::count_if(formats.begin(), formats.end(), [&](const FileFormat& f) { return f.extension == ext; }));
}

std::string TPicture::FindDescription(const std::string& extension) {
    const FileFormat* format = LastRegistration(extension);
    return format ? format->description : std::string();
}

void TPicture::UnregisterFileFormat(const std::string& extension) {
    const std::string ext = LowerCase(extension);
    auto& formats = FileFormats();
    formats.erase(std::remove_if(formats.begin(), formats.end(), [&](const FileFormat& f) { return f.extension == ext; }),
                  formats.end());
}

TGraphicFactory TPicture::FindFileFormat(const std::string& extension) {
    const FileFormat* format = LastRegistration(extension);
    return format ? format->factory : nullptr;
}

void TPicture::SetGraphic(TGraphic* graphic) {
    if (!graphic) {
        graphic_.reset();
        return;
    }
    if (graphic == graphic_.get()) return;
    std::unique_ptr<TGraphic> copy = graphic->NewInstance();
    if (!copy) throw EConvertError(Format("Cannot assign a %s to a %s", graphic->ClassName(), ClassName()));
    copy->Assign(*graphic);
    graphic_ = std::move(copy);
}

TBitmap& TPicture::Bitmap() {
    auto* bitmap = dynamic_cast<TBitmap*>(graphic_.get());
    if (!bitmap) {
        auto fresh = std::make_unique<TBitmap>();
        bitmap = fresh.get();
        graphic_ = std::move(fresh);
    }
    return *bitmap;
}

void TPicture::LoadFromFile(const std::string& fileName) {
    const size_t slash = fileName.find_last_of("/\\");
    const size_t dot = fileName.find_last_of('.');
    const std::string ext =
        dot == std::string::npos || (slash != std::string::npos && dot < slash) ? "" : fileName.substr(dot + 1);
    TGraphicFactory factory = FindFileFormat(ext);
    if (!factory) throw EInvalidGraphic(Format("Unknown picture file extension (.%s)", LowerCase(ext).c_str()));
    std::unique_ptr<TGraphic> graphic = factory();
    graphic->LoadFromFile(fileName);
    graphic_ = std::move(graphic);
}

void TPicture::SaveToFile(const std::string& fileName) {
    if (graphic_) graphic_->SaveToFile(fileName);
}

void TPicture::Assign(TPersistent& Source) {
    if (auto* picture = dynamic_cast<TPicture*>(&Source)) {
        SetGraphic(picture->Graphic());
        return;
    }
    if (auto* graphic = dynamic_cast<TGraphic*>(&Source)) {
        SetGraphic(graphic);
        return;
    }
    TPersistent::Assign(Source);
}

void TPicture::AssignTo(TPersistent& Dest) {
    if (graphic_ && dynamic_cast<TGraphic*>(&Dest)) {
        Dest.Assign(*graphic_);
        return;
    }
    TPersistent::AssignTo(Dest);
}

}  // namespace host
