#include "codecs/JPEGLoader.h"

#include <cstring>
#include <vector>

#include "platform/Exceptions.h"
#include "jpeg/JPEGImage.h"
#include "streams/HostStream.h"
#include "streams/Streams.h"

namespace {

const char* const JPEGDescription = "Joint Picture Expert Group";

inline uint8_t GreyOf(uint8_t blue, uint8_t green, uint8_t red) {
    return static_cast<uint8_t>((2 * red + 3 * green + blue + 3) / 6);
}

// Whether every pixel of a pfBGRX32 image has equal blue, green and red.
bool AllGrey32(const TLinearBitmap& bitmap) {
    for (int32_t y = 0; y < bitmap.Height; ++y) {
        const uint8_t* p = bitmap.ScanLine(y);
        for (int32_t x = 0; x < bitmap.Width; ++x, p += 4)
            if (p[0] != p[1] || p[1] != p[2]) return false;
    }
    return true;
}

}  // namespace

std::string TJPEGLoader::GetLoadFilter() {
    return std::string(JPEGDescription) + " (*.jpg,*.jpeg,*.jpe)|*.jpg;*.jpeg;*.jpe";
}

std::string TJPEGLoader::GetSaveFilter() { return std::string(JPEGDescription) + " (*.jpg)|*.jpg"; }

void TJPEGLoader::LoadFromStream(TBaseStream& Stream, const std::string& Ext, TLinearBitmap& Bitmap) {
    host::TJPEGImage jpeg;
    WithHostStream(Stream, [&](host::TStream& host) { jpeg.LoadFromStream(host); });
    jpeg.Performance = host::jpBestQuality;
    jpeg.Scale = host::jsFullSize;
    // The decoded rows change hands instead of being copied.
    host::TBitmap decoded;
    jpeg.AssignTo(decoded);
    Bitmap.TakeOverPlatformBitmap(decoded);
    if (!Bitmap.Present) throw ELinearBitmap("Error in bitmap data");
    if (jpeg.Grayscale)
        MakeGrayscale8(Bitmap);
    else if (Bitmap.PixelFormat == pfBGRX32)
        Bitmap.ChangePixelFormat(pfBGR24);
}

void TJPEGLoader::SaveToStream(TBaseStream& Stream, const std::string& Ext, TLinearBitmap& Bitmap) {
    if (!Bitmap.Present) throw ELinearBitmap("Invalid bitmap size");
    host::TJPEGImage jpeg;
    jpeg.Scale = host::jsFullSize;
    // The encoder takes the image's own rows, or one converted row at a time: never a
    // second copy of the whole image.
    host::TJPEGRows rows;
    rows.Width = Bitmap.Width;
    rows.Height = Bitmap.Height;
    std::vector<uint8_t> line;
    const size_t width = static_cast<size_t>(Bitmap.Width);
    auto own = [&](int32_t y) -> const uint8_t* { return Bitmap.ScanLine(y); };
    switch (Bitmap.PixelFormat) {
        case pfIndexed8:
            if (Bitmap.IsGrayScale()) {
                // Indices into GrayPalette are the grey levels themselves.
                rows.Components = 1;
                rows.Row = own;
            } else {
                line.resize(width * 3);
                rows.Row = [&](int32_t y) -> const uint8_t* {
                    const uint8_t* s = Bitmap.ScanLine(y);
                    const uint8_t* palette = Bitmap.Palette ? Bitmap.Palette.get() : GrayPalette;
                    for (size_t x = 0; x < width; ++x) std::memcpy(&line[x * 3], palette + s[x] * 3, 3);
                    return line.data();
                };
            }
            break;
        case pfGray16:
            rows.Components = 1;
            line.resize(width);
            rows.Row = [&](int32_t y) -> const uint8_t* {
                const uint8_t* s = Bitmap.ScanLine(y);
                for (size_t x = 0; x < width; ++x) line[x] = s[x * 2 + 1];
                return line.data();
            };
            break;
        case pfBGR24:
            jpeg.Grayscale = Bitmap.IsGrayScale();
            rows.Row = own;
            break;
        case pfBGRX32:
            jpeg.Grayscale = AllGrey32(Bitmap);
            line.resize(width * 3);
            rows.Row = [&](int32_t y) -> const uint8_t* {
                const uint8_t* s = Bitmap.ScanLine(y);
                for (size_t x = 0; x < width; ++x) std::memcpy(&line[x * 3], s + x * 4, 3);
                return line.data();
            };
            break;
        default:
            throw ELinearBitmap("Unsupported pixel format");
    }
    jpeg.Compress(rows);
    WithHostStream(Stream, [&](host::TStream& host) { jpeg.SaveToStream(host); });
}

void MakeGrayscale8(TLinearBitmap& Bitmap) {
    if (!Bitmap.Present) return;
    if (Bitmap.PixelFormat == pfBGRX32) Bitmap.ChangePixelFormat(pfBGR24);
    switch (Bitmap.PixelFormat) {
        case pfBGR24: {
            TLinearBitmap grey;
            grey.New(Bitmap.Width, Bitmap.Height, pfIndexed8);
            std::memcpy(grey.Palette.get(), GrayPalette, PaletteBytes);
            for (int32_t y = 0; y < Bitmap.Height; ++y) {
                const uint8_t* s = Bitmap.ScanLine(y);
                uint8_t* d = grey.ScanLine(y);
                for (int32_t x = 0; x < Bitmap.Width; ++x, s += 3) d[x] = GreyOf(s[0], s[1], s[2]);
            }
            Bitmap.TakeOver(grey);
            break;
        }
        case pfIndexed8: {
            // A grey palette maps every index to itself: nothing to do then.
            if (Bitmap.IsGrayScale()) break;
            const uint8_t* palette = Bitmap.Palette ? Bitmap.Palette.get() : GrayPalette;
            uint8_t map[256];
            for (int i = 0; i < 256; ++i) map[i] = GreyOf(palette[3 * i], palette[3 * i + 1], palette[3 * i + 2]);
            for (int32_t y = 0; y < Bitmap.Height; ++y) {
                uint8_t* p = Bitmap.ScanLine(y);
                for (int32_t x = 0; x < Bitmap.Width; ++x) p[x] = map[p[x]];
            }
            if (!Bitmap.Palette) Bitmap.Palette = AllocateBytes(PaletteBytes);
            std::memcpy(Bitmap.Palette.get(), GrayPalette, PaletteBytes);
            break;
        }
        case pfGray16:
            Bitmap.ChangePixelFormat(pfIndexed8);
            break;
        default:
            break;
    }
}

void InitializeJPEGLoader() {
    host::InitializeJPEGImage();
    RegisterLoaderOnce<TJPEGLoader>();
}

void FinalizeJPEGLoader() { host::FinalizeJPEGImage(); }
