#include "codecs/BMPLoader.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <limits>
#include <optional>
#include <vector>

#include "codecs/UniDIB.h"
#include "picture/BitmapFile.h"
#include "platform/ByteOrder.h"
#include "platform/CheckedSize.h"
#include "platform/Exceptions.h"
#include "streams/HostStream.h"
#include "streams/MemStream.h"
#include "streams/Streams.h"

namespace {

const char* const BitmapDescription = "Windows bitmap";

// The colour masks of 5-6-5 pixels: red, green, blue.
constexpr uint32_t RedMask565 = 0xF800, GreenMask565 = 0x07E0, BlueMask565 = 0x001F;

// The common file, complete in the stream: "BM", a 40-byte header, one plane, no
// compression, 24 bits, or 8 bits with a full table of four-byte entries. Both readers
// would deliver exactly its rows (and table), which the image then copies, so its rows
// go straight into the image instead. Anything else, or any doubt, returns false with
// the stream where it was.
bool LoadPlainBitmap(TSeekableStream& stream, TLinearBitmap& bitmap) {
    const int64_t start = stream.GetPosition();
    const int64_t available = stream.GetSize() - start;
    uint8_t header[54 + 1024];
    if (available < 54) return false;
    auto restore = [&](bool result) {
        if (!result) stream.Seek(start);
        return result;
    };
    if (ReadUpTo(stream, header, 54) != 54) return restore(false);
    const int32_t width = host::ReadLE32Signed(header + 18);
    const int32_t height = host::ReadLE32Signed(header + 22);
    const uint32_t bits = host::ReadLE16(header + 28), colors = host::ReadLE32(header + 46);
    const int64_t dataOffset = host::ReadLE32(header + 10);
    if (header[0] != 'B' || header[1] != 'M' || host::ReadLE32(header + 14) != 40 || host::ReadLE16(header + 26) != 1 ||
        host::ReadLE32(header + 30) != 0 || width < 1 || height == 0 || height == INT32_MIN)
        return restore(false);
    const bool indexed = bits == 8;
    if (!(bits == 24 || (indexed && (colors == 0 || colors == 256) && dataOffset >= 54 + 1024)))
        return restore(false);
    const int64_t rows = height < 0 ? -int64_t{height} : height;
    const int64_t rowBytes = productWithin({width, indexed ? 1 : 3});
    const int64_t stride = rowBytes < 0 ? -1 : (rowBytes + 3) / 4 * 4;
    const int64_t pixelBytes = productWithin({stride, rows}, std::numeric_limits<int64_t>::max() / 2);
    if (rowBytes < 0 || pixelBytes < 0 || dataOffset < 54 || dataOffset + pixelBytes > available) return restore(false);
    if (indexed && ReadUpTo(stream, header + 54, 1024) != 1024) return restore(false);

    bitmap.New(width, static_cast<int32_t>(rows), indexed ? pfIndexed8 : pfBGR24);
    if (indexed)
        for (int i = 0; i < 256; ++i) std::memcpy(bitmap.Palette.get() + 3 * i, header + 54 + 4 * i, 3);
    stream.Seek(start + dataOffset);
    // Whole rows through a bounce buffer of about a megabyte; rows are bottom-up in the
    // file unless the height is negative.
    const int64_t rowsPerBlock = std::max<int64_t>(1, (int64_t{1} << 20) / stride);
    std::vector<uint8_t> block(static_cast<size_t>(std::min(rows, rowsPerBlock) * stride));
    for (int64_t first = 0; first < rows; first += rowsPerBlock) {
        const int64_t count = std::min(rowsPerBlock, rows - first);
        if (ReadUpTo(stream, block.data(), count * stride) != count * stride)
            throw EInOutError("Read less than expected");
        for (int64_t i = 0; i < count; ++i) {
            const int64_t fileRow = first + i;
            const int64_t y = height < 0 ? fileRow : rows - 1 - fileRow;
            std::memcpy(bitmap.ScanLine(static_cast<int32_t>(y)), block.data() + i * stride, static_cast<size_t>(rowBytes));
        }
    }
    return restore(true);
}

// A 16-bit file that the platform reader takes as plain rows (5-5-5, or 5-6-5 with its
// masks; bottom-up and complete, as it plans a copy of them): its rows are converted to 24
// bits as they are read, with the platform's colours, instead of holding the 16-bit image
// beside the 24-bit one. A file that fails to read goes back to the readers as before.
bool LoadPlanned16BitRows(host::TStream& stream, host::TBitmap& result) {
    const int64_t position = stream.GetPosition();
    const std::optional<host::TBitmapFileCopy> plan = host::PlanBitmapFileCopy(stream);
    if (!plan || (plan->Format != host::pf15bit && plan->Format != host::pf16bit)) return false;
    try {
        TUniDIB row(plan->Width, 16, 1);
        if (plan->Format == host::pf16bit) row.SetBitFields(RedMask565, GreenMask565, BlueMask565);
        host::TBitmap image;
        image.NewImage(host::pf24bit, row.Width, plan->Rows);
        TBufferedFile file(&stream);
        ConvertRowsToBGR(file, {plan->PixelOffset - position, plan->RowBytes, plan->Stride, plan->Rows, false}, row,
                         image);
        result.TakeOver(image);
        return true;
    } catch (const EStreamError&) {
        stream.SetPosition(position);
        return false;
    }
}

// Whether the platform reader would read the bitmap as 32-bit blue, green, red or refuse
// it: the own reader decides such a file in either case, so it goes there alone.
bool OwnReaderDecides(host::TStream& stream) {
    const std::optional<host::TPixelFormat> format = host::BitmapFileFormat(stream);
    return format && (*format == host::pf32bit || *format == host::pfDevice);
}

// Fields of a bitmap's headers that say what the image keeps beside its pixels: where
// the information header starts (behind the 14-byte file header), and its fields.
constexpr int64_t InfoAt = 14;
constexpr size_t V5HeaderBytes = 124;
constexpr size_t BitCountField = 14, CompressionField = 16, AlphaMaskField = 52, CSTypeField = 56,
                 ProfileDataField = 112, ProfileSizeField = 116;
constexpr uint32_t ProfileEmbedded = 0x4D424544;  // 'MBED'
constexpr uint32_t BitFields = 3, AlphaBitFields = 6;

}  // namespace

// The embedded colour profile of a V5 header (its offset counts from the information
// header) and whether the pixels have an alpha mask, which the image does not keep. The
// stream is back where it was; a profile outside the file, or larger than a picture
// carries, is not read and counts as dropped.
TImageMetadata ReadBitmapFileMetadata(TSeekableStream& stream) {
    TImageMetadata metadata;
    const int64_t start = stream.GetPosition();
    uint8_t header[InfoAt + V5HeaderBytes];
    const int64_t got = ReadUpTo(stream, header, sizeof header);
    const uint8_t* info = header + InfoAt;
    const bool bitmapFile = got >= InfoAt + 4 && header[0] == 'B' && header[1] == 'M';
    const uint32_t infoBytes = bitmapFile ? host::ReadLE32(info) : 0;
    if (infoBytes >= 56 && got >= InfoAt + 56) {
        // The alpha mask of a header that has one counts where the masks do.
        const uint32_t bits = host::ReadLE16(info + BitCountField), compression = host::ReadLE32(info + CompressionField);
        const bool masked = compression == BitFields || compression == AlphaBitFields;
        if (masked && (bits == 16 || bits == 32) && host::ReadLE32(info + AlphaMaskField) != 0)
            metadata.AlphaDropped = true;
    }
    if (got == static_cast<int64_t>(sizeof header) && infoBytes >= V5HeaderBytes &&
        host::ReadLE32(info + CSTypeField) == ProfileEmbedded) {
        const int64_t offset = host::ReadLE32(info + ProfileDataField);
        const int64_t size = host::ReadLE32(info + ProfileSizeField);
        const int64_t at = start + InfoAt + offset;
        if (size == 0 || size > static_cast<int64_t>(MaxProfileBytes) || at > stream.GetSize() ||
            size > stream.GetSize() - at) {
            metadata.ProfileDropped = true;
        } else {
            metadata.IccProfile.resize(static_cast<size_t>(checkedSize({size})));
            stream.Seek(at);
            if (ReadUpTo(stream, metadata.IccProfile.data(), size) != size) {
                metadata.IccProfile.clear();
                metadata.ProfileDropped = true;
            }
        }
    }
    stream.Seek(start);
    return metadata;
}

// ---------------------------------------------------------------- TVKBitmap

void TVKBitmap::LoadFromStream(host::TStream& stream) {
    if (LoadPlanned16BitRows(stream, *this)) return;
    const int64_t position = stream.GetPosition();
    if (!OwnReaderDecides(stream)) {
        try {
            host::TBitmap::LoadFromStream(stream);
            if (PixelFormat() != host::pf32bit) return;
        } catch (const std::exception&) {
            // Whatever the platform reader refuses goes to the own reader.
        }
        stream.SetPosition(position);
    }
    // A 32-bit result of the platform reader is dropped first, so that two images are
    // never held.
    host::TBitmap empty;
    TakeOver(empty);
    ReadUniDIB(stream, *this);
}

// ---------------------------------------------------------------- TBMPLoader

std::string TBMPLoader::GetLoadFilter() { return std::string(BitmapDescription) + " (*.bmp)|*.bmp"; }

void TBMPLoader::LoadFromStream(TBaseStream& Stream, const std::string& Ext, TLinearBitmap& Bitmap) {
    // The readers position the stream; a forward-only stream is taken into memory first.
    std::unique_ptr<TMemStream> copy;
    TSeekableStream* seekable = &SeekableView(Stream, copy);
    TImageMetadata metadata = ReadBitmapFileMetadata(*seekable);
    if (!copy && LoadPlainBitmap(*seekable, Bitmap)) {
        Bitmap.Metadata = std::move(metadata);
        return;
    }
    TSeekableHostStream host(seekable);
    TVKBitmap bitmap;
    bitmap.LoadFromStream(host);

    // 1 and 4 bits become 8 with their palette; 8 and 24 bits stay, and their rows move
    // into the image. Every other depth becomes 24 bits, converted row by row into a
    // pfBGR24 image, which saves converting a whole second copy here; only 32 bits, which
    // would stay, are converted first (TVKBitmap never delivers them).
    switch (bitmap.PixelFormat()) {
        case host::pf1bit:
        case host::pf4bit: bitmap.SetPixelFormat(host::pf8bit); break;
        case host::pf32bit: bitmap.SetPixelFormat(host::pf24bit); break;
        default: break;
    }
    Bitmap.TakeOverGraphic(bitmap);
    Bitmap.Metadata = std::move(metadata);
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
    WithHostStream(Stream, [&](host::TStream& host) { host::WriteBitmapFile(host, image); });
}

// ---------------------------------------------------------------- unit

void InitializeBMPLoader() {
    if (RegisterLoaderOnce<TBMPLoader>()) host::TPicture::RegisterFileFormat<TVKBitmap>("bmp", BitmapDescription);
}

void FinalizeBMPLoader() { host::TPicture::UnregisterGraphicClass<TVKBitmap>(); }
