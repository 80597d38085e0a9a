#include "codecs/BMPLoader.h"

#include <cstring>
#include <vector>

#include "codecs/UniDIB.h"
#include "platform/BitmapFile.h"
#include "platform/Exceptions.h"
#include "streams/HostStream.h"
#include "streams/MemStream.h"
#include "streams/Streams.h"

namespace {

const char* const BitmapDescription = "Windows bitmap";

// The linear bitmap takes the platform bitmap's image: 8 bits with its palette, or 24 bits.
void copyFromPlatform(host::TBitmap& source, TLinearBitmap& dest) {
    if (source.Width() == 0 || source.Height() == 0) {
        dest.Dispose();
        return;
    }
    const uint8_t format = source.PixelFormat() == host::pf8bit ? pfIndexed8 : pfBGR24;
    dest.New(source.Width(), source.Height(), format);
    const size_t rowBytes = static_cast<size_t>(dest.BytesPerLine);
    for (int32_t y = 0; y < dest.Height; ++y) std::memcpy(dest.ScanLine(y), source.ScanLine(y), rowBytes);
    if (format == pfIndexed8) {
        host::TPaletteEntry entries[256] = {};
        const int count = host::GetPaletteEntries(source.Palette(), 0, 256, entries);
        for (int i = 0; i < 256; ++i) {
            const host::TPaletteEntry& e = entries[i];
            const bool present = i < count;
            dest.Palette[3 * i] = present ? e.peBlue : 0;
            dest.Palette[3 * i + 1] = present ? e.peGreen : 0;
            dest.Palette[3 * i + 2] = present ? e.peRed : 0;
        }
    }
}

}  // namespace

// ---------------------------------------------------------------- TVKBitmap

void TVKBitmap::LoadFromStream(host::TStream& stream) {
    const int64_t position = stream.GetPosition();
    try {
        host::TBitmap::LoadFromStream(stream);
        if (PixelFormat() != host::pf32bit) return;
    } catch (const std::exception&) {
        // Whatever the platform reader refuses goes to the own reader.
    }
    // A 32-bit result is read again; drop it first so that two images are never held.
    host::TBitmap empty;
    TakeOver(empty);

    stream.SetPosition(position);
    std::unique_ptr<TUniDIB> dib;
    if (ReadUniDIB(stream, dib) != dibOK) throw Exception("Unsupported file format");
    NewImage(host::pf24bit, dib->Width, dib->Height);
    for (int32_t y = 0; y < dib->Height; ++y) dib->RowToBGR(y, ScanLine(y));
}

// ---------------------------------------------------------------- TBMPLoader

std::string TBMPLoader::GetLoadFilter() { return std::string(BitmapDescription) + " (*.bmp)|*.bmp"; }

void TBMPLoader::LoadFromStream(TBaseStream& Stream, const std::string& Ext, TLinearBitmap& Bitmap) {
    // The readers position the stream; a forward-only stream is taken into memory first.
    TSeekableStream* seekable = dynamic_cast<TSeekableStream*>(&Stream);
    std::unique_ptr<TMemStream> copy;
    if (!seekable) {
        copy = std::make_unique<TMemStream>();
        copy->CopyFrom(Stream);
        copy->Seek(0);
        seekable = copy.get();
    }
    TSeekableHostStream host(seekable);
    TVKBitmap bitmap;
    bitmap.LoadFromStream(host);

    switch (bitmap.PixelFormat()) {
        case host::pf1bit:
        case host::pf4bit: bitmap.SetPixelFormat(host::pf8bit); break;
        case host::pf8bit:
        case host::pf24bit: break;
        default: bitmap.SetPixelFormat(host::pf24bit); break;
    }
    copyFromPlatform(bitmap, Bitmap);
}

void TBMPLoader::SaveToStream(TBaseStream& Stream, const std::string& Ext, TLinearBitmap& Bitmap) {
    // The platform writer is fed from the image's own rows: the same file that a copy
    // into a platform bitmap would give, without holding the image twice.
    if (!Bitmap.Present) throw ELinearBitmap("Invalid bitmap size");
    host::TBitmapFileImage image;
    image.Width = Bitmap.Width;
    image.Height = Bitmap.Height;
    host::TPaletteEntry colors[256];
    std::vector<uint8_t> greyRow;
    switch (Bitmap.PixelFormat) {
        case pfIndexed8:
        case pfGray16: {
            const uint8_t* table = Bitmap.PixelFormat == pfIndexed8 ? Bitmap.Palette.get() : GrayPalette;
            for (int i = 0; i < 256; ++i)
                colors[i] = {table[3 * i + 2], table[3 * i + 1], table[3 * i], 0};
            image.BitCount = 8;
            image.Colors = colors;
            image.ColorCount = 256;
            if (Bitmap.PixelFormat == pfIndexed8) {
                image.Row = [&](int32_t y) -> const uint8_t* { return Bitmap.ScanLine(y); };
            } else {
                greyRow.resize(static_cast<size_t>(Bitmap.Width));
                image.Row = [&](int32_t y) -> const uint8_t* {
                    const uint8_t* source = Bitmap.ScanLine(y);
                    for (int32_t x = 0; x < Bitmap.Width; ++x) greyRow[static_cast<size_t>(x)] = source[2 * x + 1];
                    return greyRow.data();
                };
            }
            break;
        }
        case pfBGR24:
        case pfBGRX32:
            image.BitCount = Bitmap.PixelFormat == pfBGR24 ? 24 : 32;
            image.Row = [&](int32_t y) -> const uint8_t* { return Bitmap.ScanLine(y); };
            break;
        default: throw ELinearBitmap("Unsupported pixel format");
    }
    if (auto* seekable = dynamic_cast<TSeekableStream*>(&Stream)) {
        TSeekableHostStream host(seekable);
        host::WriteBitmapFile(host, image);
    } else {
        THostStream host(&Stream);
        host::WriteBitmapFile(host, image);
    }
}

// ---------------------------------------------------------------- unit

void InitializeBMPLoader() {
    static TBMPLoader* codec = nullptr;
    if (codec) return;
    static TBMPLoader instance;
    codec = &instance;
    RegisterLoader(codec);
    host::TPicture::RegisterFileFormat("bmp", BitmapDescription, [] { return std::make_unique<TVKBitmap>(); });
}
