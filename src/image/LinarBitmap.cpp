#include "image/LinarBitmap.h"

#include "picture/PixelBuffer.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>
#include <random>
#include <typeinfo>
#include <vector>

#include "image/LinearGraphic.h"
#include "image/MathUtils.h"
#include "platform/CheckedSize.h"
#include "platform/Files.h"
#include "streams/Streams.h"
#include "platform/SysUtils.h"

uint8_t GrayPalette[PaletteBytes];
TBitmapLoaders* Loaders = nullptr;

std::unique_ptr<uint8_t[]> AllocateBytes(int64_t n) {
    if (n < 0) throw ELinearBitmap("Invalid bitmap size");
    try {
        auto bytes = std::make_unique_for_overwrite<uint8_t[]>(static_cast<size_t>(n));
        PreferHugePages(bytes.get(), n);
        return bytes;
    } catch (const std::bad_alloc&) {
        throw EOutOfMemory("Out of memory");
    }
}

// ---------------------------------------------------------------- TAssignObject

namespace {

// The base pair only dispatches to the partner. When neither side of a pair overrides
// its half, the dispatch would bounce between the two for ever; the pair in flight is
// remembered so that the second bounce reports the unsupported pairing instead.
struct PendingDispatch {
    const TObject* from = nullptr;
    const TObject* to = nullptr;
};
thread_local PendingDispatch pending;

class DispatchScope {
public:
    DispatchScope(const TObject* from, const TObject* to) : saved_(pending) { pending = {from, to}; }
    ~DispatchScope() { pending = saved_; }

private:
    PendingDispatch saved_;
};

[[noreturn]] void CannotAssign(const TObject& from, const TObject& to) {
    throw Exception(std::string("Cannot assign ") + from.ClassName() + " to " + to.ClassName());
}

}  // namespace

void TAssignObject::Assign(TObject& Source) {
    auto* source = dynamic_cast<TAssignObject*>(&Source);
    if (!source || (pending.from == &Source && pending.to == this)) CannotAssign(Source, *this);
    DispatchScope scope(&Source, this);
    source->AssignTo(*this);
}

void TAssignObject::AssignTo(TObject& Dest) {
    auto* dest = dynamic_cast<TAssignObject*>(&Dest);
    if (!dest || (pending.from == this && pending.to == &Dest)) CannotAssign(*this, Dest);
    DispatchScope scope(this, &Dest);
    dest->Assign(*this);
}

// ---------------------------------------------------------------- TLinearBitmap

namespace {

int32_t PixelSizeOf(uint8_t format) {
    switch (format) {
        case pfIndexed8: return 1;
        case pfGray16: return 2;
        case pfBGR24: return 3;
        case pfBGRX32: return 4;
        default: return 0;
    }
}

uint8_t GreyOf(uint32_t color) {
    const uint32_t r = color & 0xFF, g = (color >> 8) & 0xFF, b = (color >> 16) & 0xFF;
    return static_cast<uint8_t>((2 * r + 3 * g + b + 3) / 6);
}

}  // namespace

namespace {

struct ImageLayout {
    int32_t pixelSize = 0;
    int64_t line = 0;
    int64_t size = 0;
};

// The sizes of an image of the format; ELinearBitmap "Unsupported pixel format" or
// "Invalid bitmap size" for one that no image may have.
ImageLayout LayoutOf(int32_t width, int32_t height, uint8_t format) {
    ImageLayout layout;
    layout.pixelSize = PixelSizeOf(format);
    if (layout.pixelSize == 0) throw ELinearBitmap("Unsupported pixel format");
    if (width <= 0 || height <= 0) throw ELinearBitmap("Invalid bitmap size");
    CheckImageLimits(width, height);
    layout.line = checkedSize({width, layout.pixelSize});
    // One spare byte must fit as well.
    layout.size = checkedSize({layout.line, height}, MaxImageBytes() - 1);
    return layout;
}

}  // namespace

void TLinearBitmap::New(int32_t NewWidth, int32_t NewHeight, uint8_t NewPixelFormat) {
    if (Present && NewWidth == Width && NewHeight == Height && NewPixelFormat == PixelFormat) return;
    Install(NewWidth, NewHeight, NewPixelFormat, host::AllocatePixels(LayoutOf(NewWidth, NewHeight, NewPixelFormat).size));
}

void TLinearBitmap::AdoptRows(int32_t NewWidth, int32_t NewHeight, uint8_t NewPixelFormat, host::PixelBuffer Rows) {
    LayoutOf(NewWidth, NewHeight, NewPixelFormat);
    if (!Rows) throw ELinearBitmap("Invalid bitmap size");
    Install(NewWidth, NewHeight, NewPixelFormat, std::move(Rows));
}

void TLinearBitmap::Install(int32_t NewWidth, int32_t NewHeight, uint8_t NewPixelFormat, host::PixelBuffer NewMap) {
    const ImageLayout layout = LayoutOf(NewWidth, NewHeight, NewPixelFormat);
    // Everything that can fail comes first, so that a failure leaves the image as it was.
    std::unique_ptr<uint8_t[]> palette;
    if (NewPixelFormat == pfIndexed8 && !Palette) palette = AllocateBytes(PaletteBytes);
    Map = std::move(NewMap);
    Width = NewWidth;
    Height = NewHeight;
    PixelSize = layout.pixelSize;
    if (NewPixelFormat == pfIndexed8) {
        if (palette) Palette = std::move(palette);
    } else {
        Palette.reset();
    }
    BytesPerLine = static_cast<int32_t>(layout.line);
    PixelFormat = NewPixelFormat;
    Size = static_cast<int32_t>(layout.size);
    Present = true;
}

void TLinearBitmap::Dispose() {
    Map.reset();
    Palette.reset();
    Present = false;
    Width = Height = Size = PixelSize = 0;
    PixelFormat = pfNone;
}

void TLinearBitmap::PackLines() {
    if (!Present) return;
    const int64_t line = int64_t{Width} * PixelSize;
    if (BytesPerLine == line) return;
    const int64_t size = checkedSize({line, Height}, MaxImageBytes() - 1);
    auto map = host::AllocatePixels(size);
    for (int32_t y = 0; y < Height; ++y)
        std::memcpy(map.get() + y * line, ScanLine(y), static_cast<size_t>(line));
    map[size] = 0;
    Map = std::move(map);
    BytesPerLine = static_cast<int32_t>(line);
    Size = static_cast<int32_t>(size);
}

void TLinearBitmap::TakeOver(TLinearBitmap& Other) {
    if (&Other == this) return;
    Dispose();
    Width = Other.Width;
    Height = Other.Height;
    PixelFormat = Other.PixelFormat;
    PixelSize = Other.PixelSize;
    BytesPerLine = Other.BytesPerLine;
    Size = Other.Size;
    Present = Other.Present;
    Map = std::move(Other.Map);
    Palette = std::move(Other.Palette);
    Other.Present = false;
}

void TLinearBitmap::FillBytes(uint8_t Value) {
    if (Map) std::memset(Map.get(), Value, static_cast<size_t>(Size));
}

void TLinearBitmap::Clear(uint32_t Color) {
    if (!Map) return;
    if (Color == 0) {
        std::memset(Map.get(), 0, static_cast<size_t>(Size));
        return;
    }
    if (PixelFormat == pfBGR24) {
        const uint32_t bgr = ColorToBGR(Color);
        const uint8_t pixel[3] = {static_cast<uint8_t>(bgr), static_cast<uint8_t>(bgr >> 8),
                                  static_cast<uint8_t>(bgr >> 16)};
        for (int32_t y = 0; y < Height; ++y) {
            uint8_t* p = ScanLine(y);
            for (int32_t x = 0; x < Width; ++x, p += 3) std::memcpy(p, pixel, 3);
        }
        return;
    }
    const uint8_t grey = GreyOf(Color);
    const size_t line = static_cast<size_t>(Width) * static_cast<size_t>(PixelSize);
    for (int32_t y = 0; y < Height; ++y) std::memset(ScanLine(y), grey, line);
}

bool TLinearBitmap::IsGrayScale() const {
    if (!Present) return false;
    switch (PixelFormat) {
        case pfIndexed8:
            if (!Palette) return false;
            return std::memcmp(Palette.get(), GrayPalette, PaletteBytes) == 0;
        case pfGray16:
            return true;
        case pfBGR24:
            for (int32_t y = 0; y < Height; ++y) {
                const uint8_t* p = ScanLine(y);
                for (int32_t x = 0; x < Width; ++x, p += 3)
                    if (p[0] != p[1] || p[1] != p[2]) return false;
            }
            return true;
        default:
            return false;
    }
}

void TLinearBitmap::ChangePixelFormat(uint8_t NewFormat) {
    if (!Present || NewFormat == PixelFormat) return;
    if (NewFormat != pfIndexed8 && NewFormat != pfBGR24 && NewFormat != pfBGRX32)
        throw ELinearBitmap("Unsupported pixel format");
    // Formats without a direct path go through 24 bits first.
    if (NewFormat == pfIndexed8 && PixelFormat == pfBGRX32) {
        ChangePixelFormat(pfBGR24);
        ChangePixelFormat(pfIndexed8);
        return;
    }
    if (NewFormat == pfBGRX32 && PixelFormat != pfBGR24) {
        ChangePixelFormat(pfBGR24);
        ChangePixelFormat(pfBGRX32);
        return;
    }
    const int32_t newPixelSize = PixelSizeOf(NewFormat);
    const int64_t line = checkedSize({Width, newPixelSize});
    const int64_t size = checkedSize({line, Height}, MaxImageBytes() - 1);
    auto map = host::AllocatePixels(size);
    map[size] = 0;
    std::unique_ptr<uint8_t[]> palette;
    const int32_t w = Width;

    if (NewFormat == pfIndexed8) {
        palette = AllocateBytes(PaletteBytes);
        if (PixelFormat == pfBGR24) {
            for (int i = 0; i < 256; ++i) {
                // Levels k * 255 / 7 rounded: 0, 36, 73, 109, 146, 182, 219, 255.
                palette[i * 3 + 2] = static_cast<uint8_t>((((i >> 5) & 7) * 255 + 3) / 7);
                palette[i * 3 + 1] = static_cast<uint8_t>((((i >> 2) & 7) * 255 + 3) / 7);
                palette[i * 3 + 0] = static_cast<uint8_t>((i & 3) * 85);
            }
            for (int32_t y = 0; y < Height; ++y) {
                const uint8_t* s = ScanLine(y);
                uint8_t* d = map.get() + y * line;
                for (int32_t x = 0; x < w; ++x, s += 3)
                    d[x] = static_cast<uint8_t>((s[0] >> 6) | ((s[1] >> 5) << 2) | (s[2] & 0xE0));
            }
        } else if (PixelFormat == pfGray16) {
            std::memcpy(palette.get(), GrayPalette, PaletteBytes);
            for (int32_t y = 0; y < Height; ++y) {
                const uint8_t* s = ScanLine(y);
                uint8_t* d = map.get() + y * line;
                for (int32_t x = 0; x < w; ++x) d[x] = s[x * 2 + 1];
            }
        } else {
            throw ELinearBitmap("Unsupported pixel format");
        }
    } else if (NewFormat == pfBGR24) {
        uint8_t* base = map.get();
        for (int32_t y = 0; y < Height; ++y) {
            const uint8_t* s = ScanLine(y);
            uint8_t* d = base + y * line;
            switch (PixelFormat) {
                case pfIndexed8: {
                    const uint8_t* pal = Palette ? Palette.get() : GrayPalette;
                    for (int32_t x = 0; x < w; ++x, d += 3) std::memcpy(d, pal + s[x] * 3, 3);
                    break;
                }
                case pfGray16:
                    for (int32_t x = 0; x < w; ++x, d += 3) d[0] = d[1] = d[2] = s[x * 2 + 1];
                    break;
                case pfBGRX32:
                    for (int32_t x = 0; x < w; ++x, d += 3, s += 4) std::memcpy(d, s, 3);
                    break;
                default:
                    throw ELinearBitmap("Unsupported pixel format");
            }
        }
    } else {  // pfBGRX32 from pfBGR24
        for (int32_t y = 0; y < Height; ++y) {
            const uint8_t* s = ScanLine(y);
            uint8_t* d = map.get() + y * line;
            for (int32_t x = 0; x < w; ++x, s += 3, d += 4) {
                d[0] = s[0];
                d[1] = s[1];
                d[2] = s[2];
                d[3] = 0;
            }
        }
    }
    Map = std::move(map);
    if (NewFormat == pfIndexed8)
        Palette = std::move(palette);
    else
        Palette.reset();
    PixelFormat = NewFormat;
    PixelSize = newPixelSize;
    BytesPerLine = static_cast<int32_t>(line);
    Size = static_cast<int32_t>(size);
}

void TLinearBitmap::ResizeCanvas(int32_t NewWidth, int32_t NewHeight, int32_t XOffset, int32_t YOffset,
                                 uint32_t Color) {
    if (NewWidth <= 0 || NewHeight <= 0) {
        Dispose();
        return;
    }
    if (!Present) {
        New(NewWidth, NewHeight, pfIndexed8);
        std::memcpy(Palette.get(), GrayPalette, PaletteBytes);
        Clear(Color);
        return;
    }
    if (NewWidth == Width && NewHeight == Height && XOffset == 0 && YOffset == 0) return;
    const int64_t p = PixelSize;
    const int64_t oldLine = BytesPerLine;
    const int32_t oldHeight = Height;
    const int64_t newLine = checkedSize({NewWidth, p});
    const int64_t size = checkedSize({newLine, NewHeight}, MaxImageBytes() - 1);
    auto map = host::AllocatePixels(size);
    map[size] = 0;

    int64_t srcX, dstX;
    if (XOffset > 0) {
        srcX = 0;
        dstX = int64_t{XOffset} * p;
    } else {
        srcX = -int64_t{XOffset} * p;
        dstX = 0;
    }
    int64_t count = oldLine - srcX;
    if (count + dstX > newLine) count = newLine - dstX;
    const int64_t last = std::min<int64_t>(int64_t{oldHeight} - 1, int64_t{NewHeight} - YOffset - 1);
    const int64_t first = std::max<int64_t>(0, -int64_t{YOffset});

    auto old = std::move(Map);
    Map = std::move(map);
    Width = NewWidth;
    Height = NewHeight;
    BytesPerLine = static_cast<int32_t>(newLine);
    Size = static_cast<int32_t>(size);
    Clear(Color);
    if (count > 0)
        for (int64_t i = first; i <= last; ++i)
            std::memcpy(Map.get() + (i + YOffset) * newLine + dstX, old.get() + i * oldLine + srcX,
                        static_cast<size_t>(count));
}

void TLinearBitmap::AssignLinear(const TLinearBitmap& Source) {
    if (&Source == this) return;
    if (!Source.Present) {
        Dispose();
        return;
    }
    New(Source.Width, Source.Height, Source.PixelFormat);
    if (BytesPerLine == Source.BytesPerLine) {
        std::memcpy(Map.get(), Source.Map.get(), static_cast<size_t>(Size));
    } else {
        for (int32_t y = 0; y < Height; ++y)
            std::memcpy(ScanLine(y), Source.ScanLine(y), static_cast<size_t>(BytesPerLine));
    }
    if (PixelFormat == pfIndexed8)
        std::memcpy(Palette.get(), Source.Palette ? Source.Palette.get() : GrayPalette, PaletteBytes);
}

namespace {

bool DirectlyCopyable(host::TPixelFormat f) { return f == host::pf8bit || f == host::pf24bit || f == host::pf32bit; }

}  // namespace

void TLinearBitmap::AssignPlatformBitmap(const host::TBitmap& Source) {
    if (Source.Width() == 0 || Source.Height() == 0) {
        Dispose();
        return;
    }
    const host::TPixelFormat format = Source.PixelFormat();
    if (DirectlyCopyable(format)) {
        New(Source.Width(), Source.Height(), static_cast<uint8_t>(format));
        for (int32_t y = 0; y < Height; ++y)
            std::memcpy(ScanLine(y), Source.ScanLine(y), static_cast<size_t>(int64_t{Width} * PixelSize));
        if (format == host::pf8bit) HandleToPalette(Source.Palette(), 256, Palette.get());
        return;
    }
    // Any other depth arrives as 24 bits; the rows are converted one at a time instead of
    // through a whole converted copy of the bitmap.
    New(Source.Width(), Source.Height(), pfBGR24);
    std::vector<uint32_t> line(static_cast<size_t>(Width));
    for (int32_t y = 0; y < Height; ++y) {
        Source.ReadRowRGB(y, 0, Width, line.data());
        uint8_t* d = ScanLine(y);
        for (int32_t x = 0; x < Width; ++x, d += 3) {
            d[0] = static_cast<uint8_t>(line[x]);
            d[1] = static_cast<uint8_t>(line[x] >> 8);
            d[2] = static_cast<uint8_t>(line[x] >> 16);
        }
    }
}

void TLinearBitmap::Assign(TObject& Source) {
    if (auto* linear = dynamic_cast<TLinearBitmap*>(&Source)) {
        AssignLinear(*linear);
        return;
    }
    if (auto* bitmap = dynamic_cast<host::TBitmap*>(&Source)) {
        AssignPlatformBitmap(*bitmap);
        return;
    }
    if (auto* graphic = dynamic_cast<host::TGraphic*>(&Source)) {
        host::TBitmap temporary;
        graphic->CopyToBitmap(temporary);
        if (!DirectlyCopyable(temporary.PixelFormat())) temporary.SetPixelFormat(host::pf24bit);
        // The temporary goes with this call: its rows move rather than being copied.
        TakeOverPlatformBitmap(temporary);
        return;
    }
    if (auto* persistent = dynamic_cast<host::TPersistent*>(&Source)) {
        host::TBitmap temporary;
        temporary.Assign(*persistent);
        if (temporary.PixelFormat() != host::pf8bit && temporary.PixelFormat() != host::pf24bit)
            temporary.SetPixelFormat(host::pf24bit);
        TakeOverPlatformBitmap(temporary);
        return;
    }
    TAssignObject::Assign(Source);
}

void TLinearBitmap::AssignToPlatformBitmap(host::TBitmap& Dest) {
    if (!Present) return;
    const auto wanted = static_cast<host::TPixelFormat>(PixelFormat == pfGray16 ? uint8_t{pfIndexed8} : PixelFormat);
    Dest.SetPixelFormat(wanted);
    if (PixelFormat == pfIndexed8 || PixelFormat == pfGray16) {
        const host::TPaletteHandle palette =
            PaletteToHandle(PixelFormat == pfIndexed8 && Palette ? Palette.get() : GrayPalette, 256);
        Dest.SetPalette(palette.get());
    }
    Dest.SetWidth(Width);
    Dest.SetHeight(Height);
    const host::TPixelFormat got = Dest.PixelFormat();
    // Row addresses from row 0 and the distance to row 1, so that either storage order works.
    uint8_t* row0 = Dest.ScanLine(0);
    const ptrdiff_t step = Height > 1 ? Dest.ScanLine(1) - row0 : 0;
    if (got == wanted && PixelFormat != pfGray16) {
        for (int32_t y = 0; y < Height; ++y)
            std::memcpy(row0 + y * step, ScanLine(y), static_cast<size_t>(BytesPerLine));
    } else if (PixelFormat == pfIndexed8 && got == host::pf24bit) {
        const uint8_t* pal = Palette ? Palette.get() : GrayPalette;
        for (int32_t y = 0; y < Height; ++y) {
            const uint8_t* s = ScanLine(y);
            uint8_t* d = row0 + y * step;
            for (int32_t x = 0; x < Width; ++x, d += 3) std::memcpy(d, pal + s[x] * 3, 3);
        }
    } else if (PixelFormat == pfGray16 && got == host::pf8bit) {
        for (int32_t y = 0; y < Height; ++y) {
            const uint8_t* s = ScanLine(y);
            uint8_t* d = row0 + y * step;
            for (int32_t x = 0; x < Width; ++x) d[x] = s[x * 2 + 1];
        }
    } else {
        throw ELinearBitmap("Unsupported pixel format");
    }
}

namespace {

// Whether rows can change hands between the two bitmaps as they are: the formats share
// their codes, and only the plain platform bitmap stores every row packed.
bool RowsCanMove(const host::TBitmap& bitmap, uint8_t format) {
    return typeid(bitmap) == typeid(host::TBitmap) &&
           (format == pfIndexed8 || format == pfBGR24 || format == pfBGRX32);
}

}  // namespace

void TLinearBitmap::MoveToPlatformBitmap(host::TBitmap& Dest) {
    if (!Present) return;
    if (!RowsCanMove(Dest, PixelFormat) || BytesPerLine != Width * PixelSize) {
        AssignToPlatformBitmap(Dest);
        Dispose();
        return;
    }
    if (PixelFormat == pfIndexed8) {
        const host::TPaletteHandle palette = PaletteToHandle(Palette ? Palette.get() : GrayPalette, 256);
        Dest.SetPalette(palette.get());
    }
    Dest.AdoptPixels(static_cast<host::TPixelFormat>(PixelFormat), Width, Height, std::move(Map));
    Dispose();
}

void TLinearBitmap::TakeOverGraphic(host::TGraphic& Source) {
    if (auto* linear = dynamic_cast<TLinearGraphic*>(&Source)) {
        TakeOver(linear->Image);
        return;
    }
    host::TBitmap temporary;
    Source.HandOverTo(temporary);
    TakeOverPlatformBitmap(temporary);
}

void TLinearBitmap::TakeOverPlatformBitmap(host::TBitmap& Source) {
    const uint8_t format = static_cast<uint8_t>(Source.PixelFormat());
    if (Source.Empty() || !RowsCanMove(Source, format)) {
        AssignPlatformBitmap(Source);
        return;
    }
    Dispose();
    auto palette = format == pfIndexed8 ? AllocateBytes(PaletteBytes) : nullptr;
    if (palette) HandleToPalette(Source.Palette(), 256, palette.get());
    Width = Source.Width();
    Height = Source.Height();
    PixelFormat = format;
    PixelSize = PixelSizeOf(format);
    BytesPerLine = Width * PixelSize;
    Size = BytesPerLine * Height;
    Map = Source.ReleasePixels();
    Palette = std::move(palette);
    Present = true;
}

void TLinearBitmap::AssignTo(TObject& Dest) {
    if (auto* bitmap = dynamic_cast<host::TBitmap*>(&Dest)) {
        AssignToPlatformBitmap(*bitmap);
        return;
    }
    if (auto* picture = dynamic_cast<host::TPicture*>(&Dest)) {
        AssignToPlatformBitmap(picture->Bitmap());
        return;
    }
    TAssignObject::AssignTo(Dest);
}

void TLinearBitmap::Draw(host::TCanvas& Canvas, const host::TRect& Rect, bool Smooth) {
    DrawToDC(Canvas, Rect, Smooth);
}

void TLinearBitmap::DrawToDC(host::TCanvas& DC, const host::TRect& Rect, bool Smooth) {
    if (Smooth) {
        const host::TPoint origin = DC.GetBrushOrg();
        if (DC.SetStretchBltMode(host::HALFTONE) == 0) DC.SetStretchBltMode(host::COLORONCOLOR);
        DC.SetBrushOrg(origin);
    } else {
        DC.SetStretchBltMode(host::COLORONCOLOR);
    }
    auto info = std::make_unique<host::TBitmapInfo>();
    info->bmiHeader.biWidth = Width;
    info->bmiHeader.biHeight = -Height;  // rows top-down
    info->bmiHeader.biPlanes = 1;
    int64_t stride;
    switch (PixelFormat) {
        case pfIndexed8:
        case pfGray16: {
            info->bmiHeader.biBitCount = 8;
            const uint8_t* pal = PixelFormat == pfIndexed8 && Palette ? Palette.get() : GrayPalette;
            for (int i = 0; i < 256; ++i) info->bmiColors[i] = {pal[i * 3], pal[i * 3 + 1], pal[i * 3 + 2], 0};
            stride = RoundUp4(PixelFormat == pfIndexed8 ? BytesPerLine : Width);
            break;
        }
        case pfBGR24:
            info->bmiHeader.biBitCount = 24;
            stride = RoundUp4(BytesPerLine);
            break;
        case pfBGRX32:
            info->bmiHeader.biBitCount = 32;
            stride = BytesPerLine;
            break;
        default:
            throw Exception("Unsupported pixel format");
    }
    const void* bits = Map.get();
    std::unique_ptr<uint8_t[]> buffer;
    // Rows that already have the description's stride are painted from Map itself.
    if (PixelFormat == pfGray16 || stride != BytesPerLine) {
        buffer = AllocateBytes(checkedSize({stride, Height}));
        for (int32_t y = 0; y < Height; ++y) {
            const uint8_t* s = ScanLine(y);
            uint8_t* d = buffer.get() + y * stride;
            if (PixelFormat == pfGray16)
                for (int32_t x = 0; x < Width; ++x) d[x] = s[x * 2 + 1];
            else
                std::memcpy(d, s, static_cast<size_t>(BytesPerLine));
            // The padding reaches the files a metafile canvas records: never leave memory there.
            const int64_t filled = PixelFormat == pfGray16 ? Width : BytesPerLine;
            std::memset(d + filled, 0, static_cast<size_t>(stride - filled));
        }
        bits = buffer.get();
    }
    DC.StretchDIBits(Rect.Left, Rect.Top, Rect.Right - Rect.Left, Rect.Bottom - Rect.Top, 0, 0, Width, Height, bits,
                     *info, host::DIB_RGB_COLORS, host::SRCCOPY);
}

void TLinearBitmap::LoadFromFile(const std::string& FileName) {
    const std::string ext = ExtractExtension(FileName);
    TBitmapLoader& loader = Loaders->FindLoader(ext);
    Dispose();
    Metadata.Clear();
    loader.LoadFromFile(FileName, ext, *this);
}

void TLinearBitmap::SaveToFile(const std::string& FileName) {
    const std::string ext = ExtractExtension(FileName);
    Loaders->FindSaver(ext).SaveToFile(FileName, ext, *this);
}

void TLinearBitmap::LoadFromStream(TBaseStream& Stream, const std::string& Ext) {
    TBitmapLoader& loader = Loaders->FindLoader(Ext);
    Dispose();
    Metadata.Clear();
    loader.LoadFromStream(Stream, Ext, *this);
}

void TLinearBitmap::SaveToStream(TBaseStream& Stream, const std::string& Ext) {
    Loaders->FindSaver(Ext).SaveToStream(Stream, Ext, *this);
}

// ---------------------------------------------------------------- helpers

namespace {

}  // namespace

std::string ExtractExtension(const std::string& FileName) {
    // "/" separates directories here as "\" does on the system's home platform.
    const size_t pos = FileName.find_last_of(".\\/:");
    if (pos == std::string::npos || FileName[pos] != '.') return {};
    return UpperCase(FileName.substr(pos + 1));
}

uint32_t ColorToBGR(uint32_t Color) {
    return (Color & 0xFF00FF00u) | ((Color & 0xFF) << 16) | ((Color >> 16) & 0xFF);
}

void MakeGrayPalette(uint8_t* Table, int N) {
    if (N < 2) return;
    for (int i = 0; i < N; ++i) {
        const auto grey = static_cast<uint8_t>(i * 255 / (N - 1));
        Table[i * 3] = Table[i * 3 + 1] = Table[i * 3 + 2] = grey;
    }
}

host::TPaletteHandle PaletteToHandle(const uint8_t* Table, int N) {
    N = std::clamp(N, 0, 256);
    host::TPaletteEntry entries[256];
    for (int i = 0; i < N; ++i) entries[i] = {Table[i * 3 + 2], Table[i * 3 + 1], Table[i * 3], 1};
    return host::CreatePalette(entries, N);
}

void HandleToPalette(host::HPALETTE Handle, int N, uint8_t* Table) {
    if (!Handle) {
        std::memcpy(Table, GrayPalette, PaletteBytes);
        return;
    }
    host::TPaletteEntry entries[256];
    const int read = host::GetPaletteEntries(Handle, 0, std::clamp(N, 0, 256), entries);
    for (int i = 0; i < read; ++i) {
        Table[i * 3] = entries[i].peBlue;
        Table[i * 3 + 1] = entries[i].peGreen;
        Table[i * 3 + 2] = entries[i].peRed;
    }
    std::memset(Table + read * 3, 0, static_cast<size_t>(256 - read) * 3);
}

void SwapPaletteRB(const uint8_t* Source, uint8_t* Dest) {
    for (int i = 0; i < 256; ++i) {
        Dest[i * 3] = Source[i * 3 + 2];
        Dest[i * 3 + 1] = Source[i * 3 + 1];
        Dest[i * 3 + 2] = Source[i * 3];
    }
}

void InterleavePlanes(TLinearBitmap& Bitmap, const uint8_t* Planes, int Count) {
    if (!Bitmap.Present || Bitmap.PixelFormat != pfBGR24) return;
    const int64_t planeSize = int64_t{Bitmap.Width} * Bitmap.Height;
    const int planes = std::clamp(Count, 0, 3);
    if (planes == 0) return;
    std::unique_ptr<uint8_t[]> copy;
    if (Planes == nullptr || Planes == Bitmap.Map.get()) {
        const int64_t bytes = checkedSize({planeSize, planes});
        copy = AllocateBytes(bytes);
        std::memcpy(copy.get(), Bitmap.Map.get(), static_cast<size_t>(std::min<int64_t>(bytes, Bitmap.Size)));
        Planes = copy.get();
    }
    uint8_t* map = Bitmap.Map.get();
    for (int i = 0; i < planes; ++i) {
        const uint8_t* plane = Planes + i * planeSize;
        for (int64_t n = 0; n < planeSize; ++n) map[n * 3 + i] = plane[n];
    }
}

// ---------------------------------------------------------------- TBitmapLoader

namespace {

// Copying a stream into a temporary file stops here; what lies beyond is not copied.
constexpr int64_t TempCopyLimit = 104857600;
constexpr int64_t TempCopyBlock = 65536;

// A fresh file in the system's temporary directory, created exclusively with an
// unpredictable name ending in "." + Ext, removed from disk when this goes away.
class ScopedTempFile {
public:
    explicit ScopedTempFile(const std::string& ext) {
        // Only harmless characters go into the name, whatever the caller passed as Ext.
        std::string suffix;
        for (char c : ext)
            if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' ||
                c == '-')
                suffix += c;
        static thread_local std::mt19937_64 generator{std::random_device{}() ^
                                                      (uint64_t{host::TickCount()} << 32)};
        const std::string dir = host::TempDirectory();
        for (int attempt = 0; attempt < 100; ++attempt) {
            char random[24];
            std::snprintf(random, sizeof random, "%016llx", static_cast<unsigned long long>(generator()));
            std::string name = dir + "pixmorph-" + random + "." + suffix;
            const int fd = ::open(name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
            if (fd >= 0) {
                name_ = std::move(name);
                fd_ = fd;
                return;
            }
            if (errno != EEXIST) RaiseLastOSError(errno);
        }
        RaiseLastOSError(EEXIST);
    }
    ~ScopedTempFile() {
        if (fd_ >= 0) ::close(fd_);
        ::unlink(name_.c_str());
    }
    ScopedTempFile(const ScopedTempFile&) = delete;
    ScopedTempFile& operator=(const ScopedTempFile&) = delete;

    const std::string& Name() const { return name_; }
    // Hands the open descriptor over (to a TFileStream, which then closes it).
    int Release() {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }
    void Close() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

private:
    std::string name_;
    int fd_ = -1;
};

class FlagScope {
public:
    explicit FlagScope(bool& flag) : flag_(flag) { flag_ = true; }
    ~FlagScope() { flag_ = false; }

private:
    bool& flag_;
};

}  // namespace

bool TBitmapLoader::CanLoad(const std::string& Ext) {
    if (Ext.empty()) return false;
    return UpperCase(GetLoadFilter()).find("*." + UpperCase(Ext)) != std::string::npos;
}

bool TBitmapLoader::CanSave(const std::string& Ext) {
    if (Ext.empty()) return false;
    return UpperCase(GetSaveFilter()).find("*." + UpperCase(Ext)) != std::string::npos;
}

std::string TBitmapLoader::GetLoadFilter() { return {}; }

std::string TBitmapLoader::GetSaveFilter() { return GetLoadFilter(); }

void TBitmapLoader::LoadFromStream(TBaseStream& Stream, const std::string& Ext, TLinearBitmap& Bitmap) {
    if (inBaseLoad_) throw Exception(Format("%s.LoadFromStream not implemented", ClassName()));
    ScopedTempFile temp(Ext);
    TFileStream file(temp.Release());
    const bool wasStrict = Stream.StrictRead;
    if (wasStrict) Stream.SetStrictRead(false);
    struct Restore {
        TBaseStream& stream;
        bool on;
        ~Restore() {
            if (on) stream.SetStrictRead(true);
        }
    } restore{Stream, wasStrict};

    auto buffer = AllocateBytes(TempCopyBlock);
    int64_t left = TempCopyLimit;
    while (left > 0) {
        const int64_t n = Stream.Read(buffer.get(), std::min(left, TempCopyBlock));
        if (n <= 0) break;
        file.Write(buffer.get(), n);
        left -= n;
    }
    FlagScope guard(inBaseLoad_);
    LoadFromFile(temp.Name(), Ext, Bitmap);
}

void TBitmapLoader::SaveToStream(TBaseStream& Stream, const std::string& Ext, TLinearBitmap& Bitmap) {
    if (inBaseSave_) throw Exception(Format("%s.SaveToStream not implemented", ClassName()));
    ScopedTempFile temp(Ext);
    temp.Close();
    {
        FlagScope guard(inBaseSave_);
        SaveToFile(temp.Name(), Ext, Bitmap);
    }
    TFileStream file(temp.Name(), fsRead);
    Stream.CopyFrom(file);
}

void TBitmapLoader::LoadFromFile(const std::string& FileName, const std::string& Ext, TLinearBitmap& Bitmap) {
    if (inBaseLoad_) throw Exception(Format("%s.LoadFromFile not implemented", ClassName()));
    TFileStream file(FileName, fsRead | fsShareRead);
    FlagScope guard(inBaseLoad_);
    LoadFromStream(file, Ext, Bitmap);
}

void TBitmapLoader::SaveToFile(const std::string& FileName, const std::string& Ext, TLinearBitmap& Bitmap) {
    if (inBaseSave_) throw Exception(Format("%s.SaveToFile not implemented", ClassName()));
    TFileStream file(FileName, fsRead | fsWrite | fsCreate);
    FlagScope guard(inBaseSave_);
    SaveToStream(file, Ext, Bitmap);
}

// ---------------------------------------------------------------- TBitmapLoaders

void TBitmapLoaders::Add(TBitmapLoader* Codec, TRenewer Renewer) {
    if (Count == Capacity) {
        const int32_t capacity = Capacity + 5;
        auto items = std::make_unique<TBitmapLoader*[]>(static_cast<size_t>(capacity));
        std::copy(Items.get(), Items.get() + Count, items.get());
        Items = std::move(items);
        Capacity = capacity;
    }
    Items[Count++] = Codec;
    renewers_.push_back(Renewer);
}

void TBitmapLoaders::Renew() {
    for (int32_t i = 0; i < Count; ++i)
        if (renewers_[static_cast<size_t>(i)]) Items[i] = renewers_[static_cast<size_t>(i)]();
}

TBitmapLoader& TBitmapLoaders::FindLoader(const std::string& Ext) {
    const std::string ext = UpperCase(Ext);
    for (int32_t i = 0; i < Count; ++i)
        if (Items[i]->CanLoad(ext)) return *Items[i];
    throw EUnsupportedFileFormat("Unsupported file format: " + ext);
}

TBitmapLoader& TBitmapLoaders::FindSaver(const std::string& Ext) {
    const std::string ext = UpperCase(Ext);
    for (int32_t i = 0; i < Count; ++i)
        if (Items[i]->CanSave(ext)) return *Items[i];
    throw EUnsupportedFileFormat("Unsupported file format: " + ext);
}

void RegisterLoader(TBitmapLoader* Codec, TBitmapLoaders::TRenewer Renewer) {
    InitializeLinarBitmap();
    Loaders->Add(Codec, Renewer);
}

TConversionLoaders::TConversionLoaders() {
    InitializeLinarBitmap();
    Loaders->Renew();
}

TConversionLoaders::~TConversionLoaders() { Loaders->Renew(); }

void InitializeLinarBitmap() {
    if (Loaders) return;
    for (int i = 0; i < 256; ++i) GrayPalette[i * 3] = GrayPalette[i * 3 + 1] = GrayPalette[i * 3 + 2] = static_cast<uint8_t>(i);
    static TBitmapLoaders registry;
    Loaders = &registry;
}
