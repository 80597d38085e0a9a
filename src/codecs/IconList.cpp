#include "codecs/IconList.h"

#include <algorithm>
#include <cstring>
#include <exception>

#include "codecs/PNGLoader.h"
#include "image/LinarBitmap.h"
#include "picture/PackedPixels.h"
#include "platform/ByteOrder.h"
#include "platform/CheckedSize.h"
#include "platform/DamageReport.h"
#include "platform/Exceptions.h"
#include "streams/MemStream.h"
#include "streams/Streams.h"

namespace {

constexpr int HeaderBytes = 6;
constexpr int EntryBytes = 16;
constexpr int InfoHeaderBytes = 40;
constexpr uint8_t PNGSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
// A directory byte of 0 stands for the largest side an icon image can have.
constexpr int32_t LargestSide = 256;
// What the images of one file may hold decoded: 512 images of the largest size, far more
// than any real icon file has.
constexpr int64_t MaxDecodedIconBytes = int64_t{128} << 20;
// Alpha values below this are shown as the transparent colour.
constexpr uint8_t OpaqueAlpha = 128;
// Where the PNG header chunk puts the image's width and height.
constexpr int PNGWidthOffset = 16;
constexpr int PNGHeightOffset = 20;

void readExact(TSeekableStream& stream, int64_t position, void* buffer, int64_t count) {
    stream.Seek(position);
    if (ReadUpTo(stream, buffer, count) != count) throw EInOutError("Read less than expected");
}

host::TPixelFormat FormatOfBitCount(int32_t bitCount) {
    switch (bitCount) {
        case 1: return host::pf1bit;
        case 4: return host::pf4bit;
        case 8: return host::pf8bit;
        case 24: return host::pf24bit;
        default: return host::pf32bit;
    }
}

constexpr host::TColor ColorBits(host::TColor color) { return color & 0xFFFFFF; }

}  // namespace

// ---------------------------------------------------------------- TIconImage

TIconImage::TIconImage(int32_t Width, int32_t BitCount, int32_t Height)
    : Width(Width), Height(Height), BitCount(BitCount) {
    if (BitCount != 1 && BitCount != 4 && BitCount != 8 && BitCount != 24 && BitCount != 32)
        throw Exception("Unsupported pixel format");
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
            const uint8_t* p = row + static_cast<size_t>(BitCount / 8) * X;
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
    if (BitCount > 8 || (BitCount == 8 && !present)) {
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

namespace {

// Where an icon file starts in its stream and how many bytes it has; Held counts the
// bytes the images read so far claim, which together may not exceed the file: entries
// that all name the same large image would otherwise make a small file claim gigabytes.
// Decoded counts the bytes the images hold once decoded, which together may not exceed
// MaxDecodedIconBytes (nor the image limit): compressed entries hold far more than the
// bytes they claim.
struct TIconFileView {
    TSeekableStream& Stream;
    int64_t Start;
    int64_t Size;
    int64_t Held = 0;
    int64_t Decoded = 0;

    [[noreturn]] static void Mismatch(int32_t index) { throw Exception(Format("Size mismatch in icon %d", index)); }
    void Claim(int64_t bytes, int32_t index) {
        Held += bytes;
        if (Held > Size) Mismatch(index);
    }
    // Charged before the image is decoded.
    void ChargeDecoded(int64_t bytes) {
        Decoded = checkedAdd(Decoded, bytes);
        if (Decoded > std::min(MaxImageBytes(), MaxDecodedIconBytes)) throw ELinearBitmap("Invalid bitmap size");
    }
};

int32_t SideOfByte(uint8_t side) { return side == 0 ? LargestSide : side; }

uint32_t ReadBE32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 | static_cast<uint32_t>(p[2]) << 8 | p[3];
}

// Every pixel of a 32-bit image whose alpha is below half becomes transparent; the file's
// own mask is not consulted, as the alpha says more.
void MaskFromAlpha(TIconImage& image) {
    std::fill(image.AndMask.begin(), image.AndMask.end(), 0);
    for (int32_t r = 0; r < image.Height; ++r) {
        const uint8_t* alpha = image.XorBits.data() + static_cast<size_t>(r) * image.XorRowBytes + 3;
        uint8_t* mask = image.AndMask.data() + static_cast<size_t>(r) * image.AndRowBytes;
        for (int32_t x = 0; x < image.Width; ++x)
            if (alpha[4 * static_cast<size_t>(x)] < OpaqueAlpha) mask[x >> 3] |= static_cast<uint8_t>(0x80 >> (x & 7));
    }
}

// The alpha of each pixel of a decoded PNG, rows top-down: from its alpha channel, its
// palette's transparency, or its transparent colour; 255 where it has none.
std::vector<uint8_t> AlphaOfPNG(const TPNGLoader& png, const TLinearBitmap& bitmap) {
    std::vector<uint8_t> alpha(checkedSize({bitmap.Width, bitmap.Height}), 255);
    const int32_t key = png.TransparentColor;
    for (int32_t y = 0; y < bitmap.Height; ++y) {
        const uint8_t* row = bitmap.ScanLine(y);
        uint8_t* out = alpha.data() + static_cast<size_t>(y) * bitmap.Width;
        for (int32_t x = 0; x < bitmap.Width; ++x) {
            if (png.AlphaBitmap) {
                out[x] = png.AlphaBitmap->ScanLine(y)[x];
            } else if (bitmap.PixelFormat == pfIndexed8 && png.PaletteAlpha) {
                out[x] = png.PaletteAlpha[row[x]];
            } else if (key >= 0) {
                const uint8_t* p = row + static_cast<size_t>(x) * bitmap.PixelSize;
                const int32_t value = bitmap.PixelFormat == pfBGR24   ? p[2] | p[1] << 8 | p[0] << 16
                                      : bitmap.PixelFormat == pfGray16 ? host::ReadLE16(p)
                                                                       : p[0];
                if (value == key) out[x] = 0;
            }
        }
    }
    return alpha;
}

// A PNG-compressed image, decoded by the PNG codec into 32 bits with its transparency as
// alpha. Icons hold at most 256 pixels a side; a larger PNG is not an icon image and is
// not decoded at all.
std::unique_ptr<TIconImage> ReadPNGImage(TIconFileView& file, int64_t offset, int64_t stated, int32_t index) {
    const int64_t bytes = std::min(stated, file.Size - offset);
    if (bytes < PNGHeightOffset + 4) TIconFileView::Mismatch(index);
    file.Claim(bytes, index);
    std::vector<uint8_t> bytesRead(static_cast<size_t>(bytes));
    readExact(file.Stream, file.Start + offset, bytesRead.data(), bytes);
    const uint32_t width = ReadBE32(&bytesRead[PNGWidthOffset]), height = ReadBE32(&bytesRead[PNGHeightOffset]);
    if (width > LargestSide || height > LargestSide) throw Exception("Unsupported pixel format");
    // The 32-bit image and its mask it becomes (the PNG reader refuses a second header, so
    // these sides are the ones decoded).
    file.ChargeDecoded(int64_t{height} * (int64_t{width} * 4 + (int64_t{width} + 31) / 32 * 4));
    TMemStream data;
    data.Write(bytesRead.data(), bytes);
    data.Seek(0);

    TPNGLoader png;
    png.AlphaChannel = true;
    TLinearBitmap bitmap;
    try {
        png.LoadFromStream(data, "PNG", bitmap);
    } catch (const Exception&) {
        // An entry our PNG reader cannot read fails as PNG entries always did.
        throw Exception("Unsupported pixel format");
    }
    const std::vector<uint8_t> alpha = AlphaOfPNG(png, bitmap);
    bitmap.ChangePixelFormat(pfBGR24);
    auto image = std::make_unique<TIconImage>(bitmap.Width, 32, bitmap.Height);
    for (int32_t y = 0; y < bitmap.Height; ++y) {
        const uint8_t* s = bitmap.ScanLine(y);
        const uint8_t* a = alpha.data() + static_cast<size_t>(y) * bitmap.Width;
        uint8_t* d = image->XorBits.data() + static_cast<size_t>(bitmap.Height - 1 - y) * image->XorRowBytes;
        for (int32_t x = 0; x < bitmap.Width; ++x, s += 3, d += 4) {
            std::memcpy(d, s, 3);
            d[3] = a[x];
        }
    }
    MaskFromAlpha(*image);
    return image;
}

// An image stored as a device-independent bitmap: its header, colour table, colour bits
// and (below 32 bits) mask.
std::unique_ptr<TIconImage> ReadBitmapImage(TIconFileView& file, const uint8_t* entry, int64_t offset, int64_t stated,
                                            int32_t index) {
    uint8_t info[InfoHeaderBytes] = {};
    const bool cutShort = offset + stated > file.Size;  // the file ends inside the entry
    if (file.Size - offset < InfoHeaderBytes) TIconFileView::Mismatch(index);
    readExact(file.Stream, file.Start + offset, info, InfoHeaderBytes);
    const int32_t width = SideOfByte(entry[0]), height = SideOfByte(entry[1]);
    if (width != host::ReadLE32Signed(info + 4) || height != host::ReadLE32Signed(info + 8) / 2)
        TIconFileView::Mismatch(index);

    // An entry the file cuts short is read only as far as a readable image; any other is
    // a size mismatch.
    const int32_t bitCount = static_cast<int32_t>(host::ReadLE16(info + 14));
    const bool readable = bitCount == 1 || bitCount == 4 || bitCount == 8 || bitCount == 24 || bitCount == 32;
    if (cutShort && (!readable || host::ReadLE32(info + 16) != 0)) TIconFileView::Mismatch(index);
    auto image = std::make_unique<TIconImage>(width, bitCount, height);
    // The colour bits are only ever stored plain; anything else would be read as noise.
    if (host::ReadLE32(info + 16) != 0) throw Exception("Unsupported pixel format");

    // Larger headers (version 4 and 5) put the colour table behind themselves. A 32-bit
    // image needs no mask, so a file that leaves it out still reads.
    const bool alpha = image->BitCount == 32;
    const int64_t data = offset + std::max<int64_t>(InfoHeaderBytes, host::ReadLE32(info));
    const int64_t needed = int64_t{image->PaletteSize} + image->XorSize + (alpha ? 0 : image->AndSize);
    // A file cut inside the rows gives the rows it holds; the header and colour table must
    // be whole, and an entry that the file holds must agree with its image header.
    const int64_t present = std::clamp<int64_t>(file.Size - data, 0, needed);
    if (cutShort != (present < needed) || present < image->PaletteSize) TIconFileView::Mismatch(index);
    file.Claim(present, index);

    if (image->PaletteSize > 0) {
        readExact(file.Stream, file.Start + data, image->Palette.data(), image->PaletteSize);
        for (int32_t e = 0; e < image->PaletteSize; e += 4) {
            std::swap(image->Palette[static_cast<size_t>(e)], image->Palette[static_cast<size_t>(e) + 2]);
            image->Palette[static_cast<size_t>(e) + 3] = 1;
        }
    }
    const int64_t bits = file.Start + data + image->PaletteSize;
    const int64_t colourBytes = std::min<int64_t>(image->XorSize, present - image->PaletteSize);
    const int64_t maskBytes = alpha ? 0 : present - image->PaletteSize - colourBytes;
    readExact(file.Stream, bits, image->XorBits.data(), colourBytes);
    if (alpha)
        MaskFromAlpha(*image);
    else if (maskBytes > 0)
        readExact(file.Stream, bits + image->XorSize, image->AndMask.data(), maskBytes);
    if (present < needed) {
        // Rows the file does not hold keep zero bits: opaque, or transparent by their alpha.
        const int64_t rowsRead = std::min(colourBytes / image->XorRowBytes,
                                          alpha ? image->Height : maskBytes / image->AndRowBytes);
        host::ReportDamage(Format("ICO: Premature end of data in icon %d (%d of %d rows missing)", index,
                                  static_cast<int>(image->Height - rowsRead), image->Height));
    }
    return image;
}

// Directory entry Index and the image it names.
std::unique_ptr<TIconImage> ReadImage(TIconFileView& file, int32_t index) {
    uint8_t entry[EntryBytes];
    readExact(file.Stream, file.Start + HeaderBytes + int64_t{EntryBytes} * index, entry, EntryBytes);
    const int64_t stated = host::ReadLE32(entry + 8), offset = host::ReadLE32(entry + 12);
    if (offset >= file.Size) TIconFileView::Mismatch(index);

    uint8_t signature[sizeof PNGSignature] = {};
    readExact(file.Stream, file.Start + offset, signature, std::min<int64_t>(sizeof signature, file.Size - offset));
    std::unique_ptr<TIconImage> image = std::memcmp(signature, PNGSignature, sizeof signature) == 0
                                            ? ReadPNGImage(file, offset, stated, index)
                                            : ReadBitmapImage(file, entry, offset, stated, index);
    image->HotSpotX = static_cast<int32_t>(host::ReadLE16(entry + 4));
    image->HotSpotY = static_cast<int32_t>(host::ReadLE16(entry + 6));
    return image;
}

}  // namespace

void TIconList::LoadFromStream(TSeekableStream& Stream) {
    Clear();
    const int64_t start = Stream.GetPosition();
    TIconFileView file{Stream, start, Stream.GetSize() - start};
    uint8_t header[HeaderBytes];
    readExact(Stream, start, header, HeaderBytes);
    const uint32_t type = host::ReadLE16(header + 2);
    FileType = type == ftIcon || type == ftCursor ? static_cast<int32_t>(type) : ftAny;
    // The entries whose directory lies inside the file, and the first one that does not
    // (to tell what went wrong when nothing else reads), whatever the header claims.
    const int64_t count = std::min<int64_t>(host::ReadLE16(header + 4),
                                            std::max<int64_t>(0, file.Size - HeaderBytes) / EntryBytes + 1);
    Items.reserve(static_cast<size_t>(count));

    // An entry that cannot be read leaves the others usable; only a file without any
    // readable image fails, with what went wrong with its first entry.
    std::exception_ptr firstFailure;
    for (int32_t i = 0; i < count; ++i) {
        CheckFrameLimit(int64_t{i} + 1);
        try {
            Items.push_back(ReadImage(file, i));
        } catch (const Exception&) {
            if (!firstFailure) firstFailure = std::current_exception();
        }
    }
    if (Items.empty() && firstFailure) std::rethrow_exception(firstFailure);
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
