#include "codecs/IconList.h"

#include <algorithm>
#include <cstring>

#include "image/LinarBitmap.h"
#include "picture/PackedPixels.h"
#include "platform/ByteOrder.h"
#include "platform/CheckedSize.h"
#include "platform/Exceptions.h"
#include "streams/Streams.h"

namespace {

constexpr int HeaderBytes = 6;
constexpr int EntryBytes = 16;
constexpr int InfoHeaderBytes = 40;
constexpr uint8_t PNGSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};

void readExact(TSeekableStream& stream, int64_t position, void* buffer, int64_t count) {
    stream.Seek(position);
    const bool strict = stream.StrictRead;
    stream.SetStrictRead(false);
    const int64_t got = stream.Read(buffer, count);
    stream.SetStrictRead(strict);
    if (got != count) throw EInOutError("Read less than expected");
}

host::TPixelFormat FormatOfBitCount(int32_t bitCount) {
    switch (bitCount) {
        case 1: return host::pf1bit;
        case 4: return host::pf4bit;
        case 8: return host::pf8bit;
        default: return host::pf24bit;
    }
}

constexpr host::TColor ColorBits(host::TColor color) { return color & 0xFFFFFF; }

}  // namespace

// ---------------------------------------------------------------- TIconImage

TIconImage::TIconImage(int32_t Width, int32_t BitCount, int32_t Height)
    : Width(Width), Height(Height), BitCount(BitCount) {
    if (BitCount != 1 && BitCount != 4 && BitCount != 8 && BitCount != 24) throw Exception("Unsupported pixel format");
    if (Width < 0 || Height < 0) throw ELinearBitmap("Invalid bitmap size");
    PixelFormat = FormatOfBitCount(BitCount);
    XorRowBytes = static_cast<int32_t>((checkedSize({Width, BitCount}) + 31) / 32 * 4);
    AndRowBytes = static_cast<int32_t>(((int64_t{Width} + 7) / 8 + 3) / 4 * 4);
    XorSize = static_cast<int32_t>(checkedSize({XorRowBytes, Height}, MaxBufferSize - 1));
    AndSize = static_cast<int32_t>(checkedSize({AndRowBytes, Height}));
    PaletteSize = BitCount <= 8 ? 4 << BitCount : 0;
    AndMask.assign(static_cast<size_t>(AndSize), 0);
    XorBits.assign(static_cast<size_t>(XorSize) + 1, 0);
    Palette.assign(static_cast<size_t>(PaletteSize), 0);
}

host::TColor TIconImage::PaletteColor(int i) const {
    const uint8_t* entry = Palette.data() + 4 * i;
    return host::RGB(entry[0], entry[1], entry[2]);
}

bool TIconImage::PaletteHolds(host::TColor Color) const {
    for (int i = 0; i < PaletteSize / 4; ++i)
        if (PaletteColor(i) == ColorBits(Color)) return true;
    return false;
}

host::TColor TIconImage::PixelColor(int32_t X, int32_t FileRow) const {
    const uint8_t* row = XorBits.data() + static_cast<size_t>(FileRow) * XorRowBytes;
    switch (BitCount) {
        case 1:
        case 4:
        case 8: return PaletteColor(host::PackedIndex(row, BitCount, X));
        default: {
            const uint8_t* p = row + 3 * X;
            return host::RGB(p[2], p[1], p[0]);
        }
    }
}

void TIconImage::AssignTo(host::TBitmap& Dest, host::TColor TransparentColor) const {
    Dest.NewImage(PixelFormat, Width, Height);
    if (BitCount <= 8) {
        std::vector<host::TPaletteEntry> entries(static_cast<size_t>(PaletteSize / 4));
        for (size_t i = 0; i < entries.size(); ++i)
            entries[i] = {Palette[4 * i], Palette[4 * i + 1], Palette[4 * i + 2], Palette[4 * i + 3]};
        const host::TPaletteHandle palette = host::CreatePalette(entries.data(), static_cast<int>(entries.size()));
        Dest.SetPalette(palette.get());
    } else {
        Dest.SetPalette(nullptr);
    }
    if (TransparentColor == -1)
        TransparentColor = Dest.TransparentColor();
    else
        Dest.SetTransparentColor(TransparentColor);
    if (Width == 0 || Height == 0) return;
    const size_t rowBytes = static_cast<size_t>(std::min(Dest.RowBytes(), XorRowBytes));
    for (int32_t r = 0; r < Height; ++r)
        std::memcpy(Dest.ScanLine(Height - 1 - r), XorBits.data() + static_cast<size_t>(r) * XorRowBytes, rowBytes);
    for (int32_t r = 0; r < Height; ++r)
        for (int32_t x = 0; x < Width; ++x)
            if (Transparent(x, r)) Dest.SetPixel(x, Height - 1 - r, TransparentColor);
}

void TIconImage::AssignTo(TLinearBitmap& Dest, host::TColor TransparentColor) const {
    // The pixels a platform bitmap filled with the colour and drawn over would hold, written
    // straight into the image: on 8 bits every colour lands on the first entry of exactly
    // that colour, as the platform's nearest-colour match puts it.
    if (TransparentColor == -1) TransparentColor = 0xFF00FF;
    TransparentColor = ColorBits(TransparentColor);
    if (Width == 0 || Height == 0) throw ELinearBitmap("Invalid bitmap size");
    const bool present = BitCount <= 8 && PaletteHolds(TransparentColor);
    if (BitCount == 24 || (BitCount == 8 && !present)) {
        Dest.New(Width, Height, pfBGR24);
        const uint8_t key[3] = {host::GetBValue(TransparentColor), host::GetGValue(TransparentColor),
                                host::GetRValue(TransparentColor)};
        for (int32_t r = 0; r < Height; ++r) {
            uint8_t* d = Dest.ScanLine(Height - 1 - r);
            for (int32_t x = 0; x < Width; ++x, d += 3) {
                if (Transparent(x, r)) {
                    std::memcpy(d, key, 3);
                } else {
                    const host::TColor color = PixelColor(x, r);
                    d[0] = host::GetBValue(color);
                    d[1] = host::GetGValue(color);
                    d[2] = host::GetRValue(color);
                }
            }
        }
        return;
    }
    // 1 and 4 bits leave room for the transparent colour of its own at index 255; the
    // entries between are black.
    const int entries = PaletteSize / 4;
    uint8_t table[PaletteBytes] = {};
    for (int i = 0; i < entries; ++i) {
        table[3 * i] = Palette[4 * static_cast<size_t>(i) + 2];
        table[3 * i + 1] = Palette[4 * static_cast<size_t>(i) + 1];
        table[3 * i + 2] = Palette[4 * static_cast<size_t>(i)];
    }
    const int used = present ? entries : 256;
    if (!present) {
        table[3 * 255] = host::GetBValue(TransparentColor);
        table[3 * 255 + 1] = host::GetGValue(TransparentColor);
        table[3 * 255 + 2] = host::GetRValue(TransparentColor);
    }
    auto colorOf = [&](int i) { return host::RGB(table[3 * i + 2], table[3 * i + 1], table[3 * i]); };
    auto firstOfColor = [&](host::TColor color) {
        for (int j = 0; j < used; ++j)
            if (colorOf(j) == color) return j;
        return 0;
    };
    uint8_t first[256];
    for (int i = 0; i < entries; ++i) first[i] = static_cast<uint8_t>(firstOfColor(colorOf(i)));
    const auto transparentIndex = static_cast<uint8_t>(firstOfColor(TransparentColor));

    Dest.New(Width, Height, pfIndexed8);
    std::memcpy(Dest.Palette.get(), table, PaletteBytes);
    for (int32_t r = 0; r < Height; ++r) {
        const uint8_t* s = XorBits.data() + static_cast<size_t>(r) * XorRowBytes;
        uint8_t* d = Dest.ScanLine(Height - 1 - r);
        host::UnpackRow(s, BitCount, 0, Width, [&](int64_t x, uint8_t index) {
            d[x] = Transparent(static_cast<int32_t>(x), r) ? transparentIndex : first[index];
        });
    }
}

void TIconImage::Draw(host::TCanvas& Canvas, int32_t X, int32_t Y) const {
    for (int32_t r = 0; r < Height; ++r)
        for (int32_t x = 0; x < Width; ++x)
            if (!Transparent(x, r)) Canvas.SetPixel(X + x, Y + Height - 1 - r, PixelColor(x, r));
}

// ---------------------------------------------------------------- TIconList

TIconImage& TIconList::Add(int32_t Width, int32_t Height, int32_t BitCount) {
    Items.push_back(std::make_unique<TIconImage>(Width, BitCount, Height));
    return *Items.back();
}

void TIconList::LoadFromStream(TSeekableStream& Stream) {
    Clear();
    const int64_t start = Stream.GetPosition();
    const int64_t fileSize = Stream.GetSize() - start;
    uint8_t header[HeaderBytes];
    readExact(Stream, start, header, HeaderBytes);
    const uint32_t type = host::ReadLE16(header + 2);
    FileType = type == ftIcon || type == ftCursor ? static_cast<int32_t>(type) : ftAny;
    const int64_t count = host::ReadLE16(header + 4);
    // Room only for the entries the file really holds, whatever its header claims.
    Items.reserve(static_cast<size_t>(std::min<int64_t>(count, std::max<int64_t>(0, fileSize - HeaderBytes) / EntryBytes)));

    // The images together may hold no more bytes than the file has: entries that all
    // name the same large image would otherwise make a small file claim gigabytes.
    int64_t held = 0;
    for (int32_t i = 0; i < count; ++i) {
        uint8_t entry[EntryBytes];
        readExact(Stream, start + HeaderBytes + int64_t{EntryBytes} * i, entry, EntryBytes);
        const int32_t width = entry[0], height = entry[1];
        const int64_t stated = host::ReadLE32(entry + 8), offset = host::ReadLE32(entry + 12);
        if (offset >= fileSize) throw Exception(Format("Size mismatch in icon %d", i));

        uint8_t info[InfoHeaderBytes] = {};
        const int64_t infoBytes = std::min<int64_t>(InfoHeaderBytes, fileSize - offset);
        readExact(Stream, start + offset, info, infoBytes);
        if (infoBytes >= 8 && std::memcmp(info, PNGSignature, 8) == 0) throw Exception("Unsupported pixel format");
        if (infoBytes < InfoHeaderBytes || offset + stated > fileSize) throw Exception(Format("Size mismatch in icon %d", i));
        const int32_t infoWidth = host::ReadLE32Signed(info + 4);
        const int32_t infoHeight = host::ReadLE32Signed(info + 8);
        if (width != infoWidth || height != infoHeight / 2) throw Exception(Format("Size mismatch in icon %d", i));

        TIconImage& image = Add(width, height, static_cast<int32_t>(host::ReadLE16(info + 14)));
        // The colour bits of 1 to 24 bits are only ever stored plain; anything else would
        // be read as noise.
        if (host::ReadLE32(info + 16) != 0) throw Exception("Unsupported pixel format");
        image.HotSpotX = static_cast<int32_t>(host::ReadLE16(entry + 4));
        image.HotSpotY = static_cast<int32_t>(host::ReadLE16(entry + 6));

        // Larger headers (version 4 and 5) put the colour table behind themselves.
        const int64_t data = offset + std::max<int64_t>(InfoHeaderBytes, host::ReadLE32(info));
        const int64_t needed = int64_t{image.PaletteSize} + image.XorSize + image.AndSize;
        held += needed;
        if (data + needed > fileSize || held > fileSize) throw Exception(Format("Size mismatch in icon %d", i));

        if (image.PaletteSize > 0) {
            readExact(Stream, start + data, image.Palette.data(), image.PaletteSize);
            for (int32_t e = 0; e < image.PaletteSize; e += 4) {
                std::swap(image.Palette[static_cast<size_t>(e)], image.Palette[static_cast<size_t>(e) + 2]);
                image.Palette[static_cast<size_t>(e) + 3] = 1;
            }
        }
        readExact(Stream, start + data + image.PaletteSize, image.XorBits.data(), image.XorSize);
        readExact(Stream, start + data + image.PaletteSize + image.XorSize, image.AndMask.data(), image.AndSize);
    }
}

void TIconList::SaveToStream(TBaseStream& Stream) const {
    if (FileType != ftIcon && FileType != ftCursor) throw Exception("Unsupported file format");
    const int64_t count = Count();
    int64_t total = checkedAdd(HeaderBytes, checkedSize({EntryBytes, count}));
    for (const auto& image : Items)
        total = checkedAdd(total, int64_t{InfoHeaderBytes} + image->PaletteSize + image->XorSize + image->AndSize);
    std::vector<uint8_t> file(static_cast<size_t>(total), 0);

    host::WriteLE16(file.data() + 2, static_cast<uint16_t>(FileType));
    host::WriteLE16(file.data() + 4, static_cast<uint16_t>(count));
    size_t offset = HeaderBytes + EntryBytes * static_cast<size_t>(count);
    for (int64_t i = 0; i < count; ++i) {
        const TIconImage& image = *Items[static_cast<size_t>(i)];
        const uint32_t imageBytes = static_cast<uint32_t>(image.XorSize + image.AndSize);
        const uint32_t dataBytes = InfoHeaderBytes + static_cast<uint32_t>(image.PaletteSize) + imageBytes;
        uint8_t* entry = file.data() + HeaderBytes + EntryBytes * i;
        entry[0] = static_cast<uint8_t>(image.Width);
        entry[1] = static_cast<uint8_t>(image.Height);
        entry[2] = image.BitCount < 8 ? static_cast<uint8_t>(1u << image.BitCount) : 0;
        host::WriteLE16(entry + 4, static_cast<uint16_t>(image.HotSpotX));
        host::WriteLE16(entry + 6, static_cast<uint16_t>(image.HotSpotY));
        host::WriteLE32(entry + 8, dataBytes);
        host::WriteLE32(entry + 12, static_cast<uint32_t>(offset));

        uint8_t* info = file.data() + offset;
        host::WriteLE32(info, InfoHeaderBytes);
        host::WriteLE32(info + 4, static_cast<uint32_t>(image.Width));
        host::WriteLE32(info + 8, static_cast<uint32_t>(image.Height) * 2);
        host::WriteLE16(info + 12, 1);
        host::WriteLE16(info + 14, static_cast<uint16_t>(image.BitCount));
        host::WriteLE32(info + 20, imageBytes);
        uint8_t* p = info + InfoHeaderBytes;
        for (int32_t e = 0; e < image.PaletteSize; e += 4, p += 4) {
            p[0] = image.Palette[static_cast<size_t>(e) + 2];
            p[1] = image.Palette[static_cast<size_t>(e) + 1];
            p[2] = image.Palette[static_cast<size_t>(e)];
        }
        std::memcpy(p, image.XorBits.data(), static_cast<size_t>(image.XorSize));
        std::memcpy(p + image.XorSize, image.AndMask.data(), static_cast<size_t>(image.AndSize));
        offset += dataBytes;
    }
    Stream.Write(file.data(), static_cast<int64_t>(file.size()));
}
