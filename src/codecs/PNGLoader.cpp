#include "codecs/PNGLoader.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <optional>
#include <vector>

#include "codecs/PNGRows.h"
#include "compress/Adler32.h"
#include "compress/CRC32Stream.h"
#include "compress/Deflate.h"
#include "image/LinearGraphic.h"
#include "picture/PixelBuffer.h"
#include "platform/ByteOrder.h"
#include "platform/CheckedSize.h"
#include "platform/Exceptions.h"
#include "streams/BufStream.h"
#include "streams/MemStream.h"

namespace {

const uint8_t PNGSignature[8] = {0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A};
const uint8_t MNGSignature[8] = {0x8A, 0x4D, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A};

[[noreturn]] void InvalidData() { throw Exception("Invalid PNG data"); }

// Colour types of the image header.
enum : int { ColourGrey = 0, ColourRGB = 2, ColourIndexed = 3, ColourGreyAlpha = 4 };

uint32_t BigEndian32(const uint8_t* p) { return host::ReadBE32(p); }

void PutBigEndian32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
}

uint32_t ChunkType(const char* name) { return BigEndian32(reinterpret_cast<const uint8_t*>(name)); }

const uint32_t IHDR = ChunkType("IHDR"), PLTE = ChunkType("PLTE"), IDAT = ChunkType("IDAT"),
               IEND = ChunkType("IEND"), gAMA = ChunkType("gAMA"), tRNS = ChunkType("tRNS"),
               MHDR = ChunkType("MHDR"), MEND = ChunkType("MEND"), DEFI = ChunkType("DEFI"),
               TERM = ChunkType("TERM"), BACK = ChunkType("BACK"), MOVE = ChunkType("MOVE"),
               iCCP = ChunkType("iCCP"), eXIf = ChunkType("eXIf"), JHDR = ChunkType("JHDR"),
               BASI = ChunkType("BASI");

// The most an iCCP chunk may hold: a name, its method, and the profile's deflate data,
// which at worst is a little larger than the profile itself.
constexpr int32_t MaxProfileChunk = static_cast<int32_t>(MaxProfileBytes + MaxProfileBytes / 64 + 1024);
// The name an iCCP chunk gives the profile it carries.
const char ProfileName[] = "ICC profile";
constexpr uint8_t ZlibDeflate32K = 0x78;

// The profile of an iCCP chunk's data (name, NUL, method 0, a zlib stream), inflated by the
// library's own inflater and checked against its Adler-32; nothing when it is damaged or
// would inflate beyond what a picture carries.
std::vector<uint8_t> InflateProfile(const std::vector<uint8_t>& chunk) {
    const auto nul = std::find(chunk.begin(), chunk.end(), uint8_t{0});
    const size_t nameBytes = static_cast<size_t>(nul - chunk.begin());
    if (nul == chunk.end() || nameBytes == 0 || nameBytes > 79) return {};
    const size_t at = nameBytes + 2;  // the NUL and the method
    if (chunk.size() < at + 2 + 4 || chunk[nameBytes + 1] != 0) return {};
    const uint8_t cmf = chunk[at], flg = chunk[at + 1];
    if ((cmf & 0x0F) != 8 || (cmf >> 4) > 7 || (cmf * 256 + flg) % 31 != 0 || (flg & 0x20)) return {};
    TMemStream compressed;
    compressed.Write(chunk.data() + at + 2, static_cast<int64_t>(chunk.size() - at - 2));
    compressed.Seek(0);
    std::vector<uint8_t> profile;
    try {
        TDeflateStream inflate(&compressed, 0);
        uint8_t block[1 << 14];
        while (const int64_t got = ReadUpTo(inflate, block, sizeof block)) {
            if (profile.size() + static_cast<size_t>(got) > MaxProfileBytes) return {};
            profile.insert(profile.end(), block, block + got);
        }
        if (!inflate.Finished()) return {};
        uint8_t trailer[4];
        if (inflate.ReadAfterEnd(trailer, 4) != 4) return {};
        TAdler32 adler;
        adler.Update(profile.data(), static_cast<int64_t>(profile.size()));
        if (BigEndian32(trailer) != adler.Checksum()) return {};
    } catch (const Exception&) {
        return {};
    }
    return profile;
}

// Chunks before the first image that the reader passes over: ancillary chunks, the MNG
// header and end, object definitions, and, in an MNG datastream only, the chunks that
// only say how frames are shown (termination action, background, position of later
// objects): valid MNG files carry them, and none changes the pixels of the first image.
// In a PNG datastream they are unknown critical chunks.
bool SkippedChunk(uint32_t type, bool mng) {
    if ((type >> 24) & 0x20) return true;
    if (type == MHDR || type == MEND || type == DEFI) return true;
    return mng && (type == TERM || type == BACK || type == MOVE);
}

// Whatever strictness a stream in the chain has been given (the decompressor relaxes the
// streams below it), a chunk header that is not all there must end the read: acting on
// stale header bytes could loop for ever.
void ReadExact(TBaseStream& stream, void* buffer, int64_t count) {
    if (stream.Read(buffer, count) != count) throw EInOutError("Read less than expected");
}

// Chunk lengths are at most 2^31 - 1 in PNG and MNG.
int32_t CheckedChunkLength(uint32_t length) {
    if (length > 0x7FFFFFFFu) InvalidData();
    return static_cast<int32_t>(length);
}

struct ImageHeader {
    int64_t Width = 0, Height = 0;
    int BitDepth = 0, ColourType = 0, FilterMethod = 0, Interlace = 0;
    pngrows::SampleLayout Layout;
};

}  // namespace

// ---------------------------------------------------------------- TIDATStream

TIDATStream::TIDATStream(TCRC32Stream* chunkStream, int32_t firstLength)
    : TFilterStream(chunkStream), Remaining(firstLength), chunk_(chunkStream) {
    CanRead = chunkStream->CanRead;
}

int64_t TIDATStream::Read(void* buffer, int64_t count) {
    auto* out = static_cast<uint8_t*>(buffer);
    int64_t delivered = 0;
    while (delivered < count) {
        if (Remaining == 0) {
            uint8_t header[12];  // CRC of the finished chunk, next length, next type
            ReadExact(*chunk_, header, 8);
            Remaining = CheckedChunkLength(BigEndian32(header + 4));
            chunk_->ResetCRC();
            ReadExact(*chunk_, header + 8, 4);
            if (BigEndian32(header + 8) != IDAT) InvalidData();
            continue;
        }
        const int64_t want = std::min<int64_t>(count - delivered, Remaining);
        const int64_t got = chunk_->Read(out + delivered, want);
        if (got <= 0) break;
        Remaining -= static_cast<int32_t>(got);
        delivered += got;
        if (got < want) break;
    }
    return delivered;
}

// ---------------------------------------------------------------- reading

std::string TPNGLoader::GetLoadFilter() {
    return std::string("Portable Network Graphics") + " (*.png)|*.png|" + "Multiple-image Network Graphics" +
           " (*.mng)|*.mng";
}

void TPNGLoader::Reset() {
    TruecolorPalette.reset();
    PaletteAlpha.reset();
    AlphaBitmap.reset();
    TransparentColor = -1;
    Gamma = 0;
}

namespace {

// One load: the chunk loop and its handlers over the codec's fields.
class PNGReader {
public:
    PNGReader(TPNGLoader& codec, TLinearBitmap& bitmap, TBufferedStream& buffered, TCRC32Stream& chunk, bool mng)
        : codec_(codec), bitmap_(bitmap), buffered_(buffered), chunk_(chunk), mng_(mng) {}

    void Run() {
        for (;;) {
            bool checkCRC = true;
            uint8_t lengthBytes[4];
            if (buffered_.Read(lengthBytes, 4) < 4) break;  // only once StrictRead is off
            const uint32_t rawLength = BigEndian32(lengthBytes);
            chunk_.ResetCRC();
            uint8_t typeBytes[4];
            if (chunk_.Read(typeBytes, 4) < 4) break;
            const uint32_t type = BigEndian32(typeBytes);
            const int32_t length = CheckedChunkLength(rawLength);
            if (MalformedAncillary(type, length)) {
                // Read as its type says, it would run into the CRC and beyond; like any
                // ancillary chunk the image can do without, it is passed over whole.
                buffered_.CopyTo(nullptr, int64_t{length} + 4);
                checkCRC = false;
            } else if (type == IHDR) {
                ReadHeader(length);
            } else if (type == PLTE) {
                checkCRC = ReadPalette(length);
            } else if (type == IDAT) {
                ReadImageData(length);
            } else if (type == gAMA) {
                uint8_t b[4];
                ReadExact(chunk_, b, 4);
                codec_.Gamma = BigEndian32(b) / 100000.0;
            } else if (type == tRNS) {
                ReadTransparency(length);
            } else if (type == iCCP) {
                ReadProfile(length);
                checkCRC = false;
            } else if (type == eXIf) {
                ReadExif(length);
                checkCRC = false;
            } else if (type == IEND) {
                // nothing
            } else if (SkippedChunk(type, mng_)) {
                buffered_.CopyTo(nullptr, int64_t{length} + 4);
                checkCRC = false;
            } else {
                throw Exception("Unsupported PNG data");
            }
            if (checkCRC) {
                uint8_t crcBytes[4] = {0, 0, 0, 0};
                const int64_t got = buffered_.Read(crcBytes, 4);
                if (got < 4 || BigEndian32(crcBytes) != chunk_.GetCRC()) throw Exception("CRC error");
            }
            if (type == IEND) break;
        }
        // A header without image data is no image either: its pixels were never filled.
        if (!bitmap_.Present || !imageRead_) throw Exception("Unsupported PNG data");
        if (mng_) bitmap_.Metadata.FramesDropped = AnotherImageFollows();
    }

private:
    // The first keep bytes of an ancillary chunk the image can do without, the rest passed
    // over, its CRC checked here: a chunk cut short or damaged gives nothing and the load
    // goes on, as it would have past a chunk it skips.
    std::optional<std::vector<uint8_t>> ReadAncillary(int32_t length, int32_t keep) {
        std::vector<uint8_t> data(static_cast<size_t>(checkedSize({keep})));
        const bool strict = buffered_.StrictRead;
        buffered_.StrictRead = false;
        const int64_t got = chunk_.Read(data.data(), keep);
        chunk_.CopyTo(nullptr, int64_t{length} - keep);
        uint8_t crc[4];
        const int64_t crcBytes = buffered_.Read(crc, 4);
        buffered_.StrictRead = strict;
        if (got != keep || crcBytes != 4 || BigEndian32(crc) != chunk_.GetCRC()) return std::nullopt;
        return data;
    }

    void ReadProfile(int32_t length) {
        TImageMetadata& metadata = bitmap_.Metadata;
        if (!metadata.IccProfile.empty()) {  // only the first counts
            buffered_.CopyTo(nullptr, int64_t{length} + 4);
            return;
        }
        const auto data = length <= MaxProfileChunk ? ReadAncillary(length, length) : std::nullopt;
        if (length > MaxProfileChunk) buffered_.CopyTo(nullptr, int64_t{length} + 4);
        if (data) metadata.IccProfile = InflateProfile(*data);
        metadata.ProfileDropped = metadata.IccProfile.empty();
    }

    // The orientation of an eXIf chunk (a TIFF structure); of a larger one than any
    // orientation needs, the part IFD0's entries can reach.
    void ReadExif(int32_t length) {
        constexpr int32_t MostRead = 1 << 16;
        if (const auto data = ReadAncillary(length, std::min(length, MostRead)))
            bitmap_.Metadata.Orientation = ExifOrientation(data->data(), data->size());
    }

    // After an MNG's first image: whether another image follows before MEND. The chunks
    // are passed over by their lengths; damage there ends the look, not the load.
    bool AnotherImageFollows() {
        try {
            buffered_.StrictRead = false;
            for (;;) {
                uint8_t head[8];
                if (buffered_.Read(head, 8) < 8) return false;
                const uint32_t type = BigEndian32(head + 4);
                if (type == IHDR || type == JHDR || type == BASI) return true;
                if (type == MEND) return false;
                buffered_.CopyTo(nullptr, int64_t{CheckedChunkLength(BigEndian32(head))} + 4);
            }
        } catch (const Exception&) {
            return false;
        }
    }

    // An ancillary chunk too short (or, for gAMA, of another size) for what its type holds.
    bool MalformedAncillary(uint32_t type, int32_t length) const {
        if (type == gAMA) return length != 4;
        if (type != tRNS || !headerRead_) return false;
        return (header_.ColourType == ColourGrey && length < 2) || (header_.ColourType == ColourRGB && length < 6);
    }

    void ReadHeader(int32_t length) {
        // One header per image: a second one would replace the size every check was made on.
        if (length != 13 || headerRead_) InvalidData();
        uint8_t h[13];
        ReadExact(chunk_, h, 13);
        codec_.BitDepth = h[8];
        imageRead_ = false;
        header_.Width = BigEndian32(h);
        header_.Height = BigEndian32(h + 4);
        header_.BitDepth = h[8];
        header_.ColourType = h[9];
        header_.FilterMethod = h[11];
        header_.Interlace = h[12];
        header_.Layout = pngrows::LayoutFor(header_.ColourType, header_.BitDepth);
        // Both dimensions must be positive 31-bit numbers, and one image one buffer.
        if (header_.Width == 0 || header_.Height == 0 || header_.Width > 0x7FFFFFFF || header_.Height > 0x7FFFFFFF)
            throw ELinearBitmap("Invalid bitmap size");
        checkedSize({header_.Width, header_.Height, header_.Layout.PixelSize});
        pngrows::RowBytes(header_.Width, header_.Layout.Channels, header_.BitDepth);
        headerRead_ = true;

        const auto& l = header_.Layout;
        bitmap_.New(static_cast<int32_t>(header_.Width), static_cast<int32_t>(header_.Height),
                    static_cast<uint8_t>(l.PixelFormat));
        if (header_.Interlace) AvoidHugePages(bitmap_.Map.get(), bitmap_.Size);
        if (l.PixelFormat == pfIndexed8) {
            uint8_t* palette = bitmap_.Palette.get();
            if (l.Indexed) {
                // Until PLTE arrives (or for entries it does not list): black.
                std::memset(palette, 0, PaletteBytes);
            } else if (l.GrayLevels == 256) {
                std::memcpy(palette, GrayPalette, PaletteBytes);
            } else {
                std::memset(palette, 0, PaletteBytes);
                MakeGrayPalette(palette, l.GrayLevels);
            }
        }
        bitmap_.Metadata.DepthReduced = header_.BitDepth > 8;
        bitmap_.Metadata.AlphaDropped = l.HasAlpha;
        codec_.AlphaBitmap.reset();
        if (codec_.AlphaChannel && l.HasAlpha) {
            codec_.AlphaBitmap = std::make_unique<TLinearBitmap>();
            codec_.AlphaBitmap->New(bitmap_.Width, bitmap_.Height, pfIndexed8);
            std::memcpy(codec_.AlphaBitmap->Palette.get(), GrayPalette, PaletteBytes);
        }
    }

    // Returns whether the chunk loop is to verify the CRC.
    bool ReadPalette(int32_t length) {
        // A palette has at most 256 entries of three bytes; anything else cannot be stored.
        if (length % 3 != 0 || length > PaletteBytes) InvalidData();
        uint8_t* dest = nullptr;
        // Greyscale images have no use for a palette: their levels stay as they are.
        const bool grey = headerRead_ && (header_.ColourType == ColourGrey || header_.ColourType == ColourGreyAlpha);
        if (bitmap_.Present && bitmap_.Palette && !grey) {
            dest = bitmap_.Palette.get();
        } else if (codec_.AlphaChannel && !grey) {
            if (!codec_.TruecolorPalette) codec_.TruecolorPalette = AllocateBytes(PaletteBytes);
            dest = codec_.TruecolorPalette.get();
        } else {
            buffered_.CopyTo(nullptr, int64_t{length} + 4);
            return false;
        }
        uint8_t rgb[PaletteBytes];
        ReadExact(chunk_, rgb, length);
        const int entries = length / 3;
        std::memset(dest, 0, PaletteBytes);
        for (int i = 0; i < entries; ++i) {
            dest[3 * i] = rgb[3 * i + 2];
            dest[3 * i + 1] = rgb[3 * i + 1];
            dest[3 * i + 2] = rgb[3 * i];
        }
        return true;
    }

    void ReadTransparency(int32_t length) {
        int64_t consumed = 0;
        if (headerRead_) {
            switch (header_.ColourType) {
            case ColourGrey:
                if (length >= 2) {
                    uint8_t b[2];
                    ReadExact(chunk_, b, 2);
                    consumed = 2;
                    codec_.TransparentColor = (b[0] << 8) | b[1];
                }
                break;
            case ColourRGB:
                if (header_.BitDepth == 8 && length >= 6) {
                    uint8_t b[6];
                    ReadExact(chunk_, b, 6);
                    consumed = 6;
                    codec_.TransparentColor = b[1] | (b[3] << 8) | (b[5] << 16);
                }
                break;
            case ColourIndexed:
                if (codec_.AlphaChannel) {
                    codec_.PaletteAlpha = AllocateBytes(256);
                    std::memset(codec_.PaletteAlpha.get(), 255, 256);
                    consumed = std::min<int64_t>(length, 256);
                    ReadExact(chunk_, codec_.PaletteAlpha.get(), consumed);
                } else {
                    // The first fully transparent index is kept; any other entry that is not
                    // opaque is alpha the image cannot hold.
                    uint8_t alpha[256];
                    consumed = std::min<int64_t>(length, 256);
                    ReadExact(chunk_, alpha, consumed);
                    for (int64_t i = 0; i < consumed; ++i) {
                        if (alpha[i] == 0 && codec_.TransparentColor == -1)
                            codec_.TransparentColor = static_cast<int32_t>(i);
                        else if (alpha[i] != 255)
                            bitmap_.Metadata.AlphaDropped = true;
                    }
                }
                break;
            default:
                break;
            }
        }
        bitmap_.Metadata.TransparentColour = codec_.TransparentColor != -1;
        // The rest passes through the chunk stream, so that the CRC covers it.
        chunk_.CopyTo(nullptr, length - consumed);
    }

    void ReadImageData(int32_t length);
    // Whether the rows can be inflated straight into the image: 8-bit grey, palette or
    // red-green-blue rows, not interlaced, no MNG intrapixel differencing.
    bool RowsFitTheImage() const;
    void ReadRowsInPlace(TDeflateStream& inflate);
    void ReadRowsThroughBuffer(TDeflateStream& inflate);
    // Passes over the rest of the zlib data and its trailer; undoes MNG intrapixel differencing.
    void ReadTrailer(TDeflateStream& inflate, TIDATStream& idat);

    TPNGLoader& codec_;
    TLinearBitmap& bitmap_;
    TBufferedStream& buffered_;
    TCRC32Stream& chunk_;
    bool mng_;
    bool headerRead_ = false;
    bool imageRead_ = false;
    ImageHeader header_;
};

void PNGReader::ReadImageData(int32_t length) {
    if (!bitmap_.Present || !headerRead_) InvalidData();
    TIDATStream idat(&chunk_, length);
    uint8_t zlibHeader[2];
    ReadExact(idat, zlibHeader, 2);
    if ((zlibHeader[0] & 0x0F) != 8 || zlibHeader[0] >= 128) InvalidData();
    if (header_.Interlace > 1) InvalidData();

    TDeflateStream inflate(&idat, -1);
    if (RowsFitTheImage())
        ReadRowsInPlace(inflate);
    else
        ReadRowsThroughBuffer(inflate);
    ReadTrailer(inflate, idat);
}

bool PNGReader::RowsFitTheImage() const {
    const auto& layout = header_.Layout;
    return header_.Interlace == 0 && header_.FilterMethod == 0 && layout.BitDepth == 8 &&
           (layout.Channels == 1 || layout.Channels == 3);
}

// Each row is inflated straight into its image row and unfiltered there, the row above
// serving as the prior row: no row buffer and no copy. Red-green-blue rows go in pairs,
// which the unfilter can work on side by side.
void PNGReader::ReadRowsInPlace(TDeflateStream& inflate) {
    const int64_t rowBytes = pngrows::RowBytes(header_.Width, header_.Layout.Channels, header_.BitDepth);
    const size_t n = static_cast<size_t>(rowBytes);
    const bool rgb = header_.Layout.Channels == 3;
    const int32_t rowsAtOnce = rgb ? 2 : 1;
    // Zeros above the first row; like the image, untouched until the data delivers a row.
    const auto zeros = AllocateBytes(rowBytes);
    for (int32_t y = 0; y < bitmap_.Height; y += rowsAtOnce) {
        const int32_t count = std::min(rowsAtOnce, bitmap_.Height - y);
        uint8_t types[2];
        for (int32_t k = 0; k < count; ++k) {
            inflate.Read(&types[k], 1);
            inflate.Read(bitmap_.ScanLine(y + k), rowBytes);
        }
        if (y == 0) std::memset(zeros.get(), 0, n);
        const uint8_t* above = y == 0 ? zeros.get() : bitmap_.ScanLine(y - 1);
        uint8_t* row = bitmap_.ScanLine(y);
        if (!rgb)
            pngrows::UnfilterRow(types[0], row, above, n, 1);
        else if (count == 2)
            pngrows::UnfilterRowPairToBGR(types[0], row, types[1], bitmap_.ScanLine(y + 1), above, n);
        else
            pngrows::UnfilterRowToBGR(types[0], row, above, n);
    }
}

// Any layout: rows go through a buffer, are unfiltered there and unpacked into the
// image (through a pass row for interlaced images).
void PNGReader::ReadRowsThroughBuffer(TDeflateStream& inflate) {
    const auto& layout = header_.Layout;
    const int bpp = pngrows::FilterStride(layout.Channels, layout.BitDepth);
    const int pixelSize = layout.PixelSize;
    TLinearBitmap* alpha = codec_.AlphaBitmap.get();
    const int64_t maxRow = pngrows::RowBytes(header_.Width, layout.Channels, layout.BitDepth);
    // Two rows with their filter bytes, and for interlaced images one pass row of
    // pixels and alpha values; the passes go straight into the image. Nothing here is
    // touched before the data delivers a row, so a header that merely claims a huge
    // image costs no work.
    const auto rows = AllocateBytes(2 * (maxRow + 1));
    std::unique_ptr<uint8_t[]> passPixels, passAlpha;
    const bool interlaced = header_.Interlace == 1;
    if (interlaced) {
        passPixels = AllocateBytes(header_.Width * pixelSize);
        passAlpha = AllocateBytes(header_.Width);
    }
    const int firstPass = interlaced ? 1 : 0, lastPass = interlaced ? 7 : 0;
    for (int k = firstPass; k <= lastPass; ++k) {
        pngrows::Pass pass{0, 0, 1, 1, header_.Width, header_.Height};
        if (interlaced) pass = pngrows::Adam7Pass(k, header_.Width, header_.Height);
        const int64_t rowBytes = pngrows::RowBytes(pass.Width, layout.Channels, layout.BitDepth);
        if (pass.Height == 0 || rowBytes == 0) continue;
        uint8_t* cur = rows.get();
        uint8_t* prev = rows.get() + maxRow + 1;
        for (int64_t r = 0; r < pass.Height; ++r) {
            inflate.Read(cur, rowBytes + 1);
            if (r == 0) std::memset(prev, 0, static_cast<size_t>(rowBytes + 1));
            pngrows::UnfilterRow(cur[0], cur + 1, prev + 1, static_cast<size_t>(rowBytes), bpp);
            const int32_t y = static_cast<int32_t>(pass.YStart + r * pass.YStep);
            if (!interlaced) {
                pngrows::UnpackRow(layout, cur + 1, static_cast<size_t>(pass.Width), bitmap_.ScanLine(y),
                                   alpha ? alpha->ScanLine(y) : nullptr);
            } else {
                pngrows::UnpackRow(layout, cur + 1, static_cast<size_t>(pass.Width), passPixels.get(),
                                   alpha ? passAlpha.get() : nullptr);
                pngrows::ScatterPixels(passPixels.get(), static_cast<size_t>(pass.Width), pixelSize,
                                       bitmap_.ScanLine(y), pass.XStart, pass.XStep);
                if (alpha)
                    pngrows::ScatterPixels(passAlpha.get(), static_cast<size_t>(pass.Width), 1, alpha->ScanLine(y),
                                           pass.XStart, pass.XStep);
            }
            std::swap(cur, prev);
        }
    }
}

void PNGReader::ReadTrailer(TDeflateStream& inflate, TIDATStream& idat) {
    // The zlib trailer: whatever the deflate data left in this chunk but its last four
    // bytes is passed over, then four bytes are taken as the Adler-32 (not compared).
    // Usually only the end-of-block code is still unread after the last row; once it is
    // read, the bytes the decompressor took beyond its data come first.
    if (!inflate.Finished()) {
        inflate.StrictRead = false;
        try {
            uint8_t extra;
            inflate.Read(&extra, 1);
        } catch (const Exception&) {
            // Damage after the last row does not touch the image: the chunk is skipped below.
        }
    }
    // Reading stops after the last row even when the stream goes on (more rows, or damage
    // that does not touch the image): the decompressor has taken part of the chunk's rest
    // into its buffer already, and those bytes count as the rest of the chunk.
    inflate.StopDecoding();
    inflate.StrictRead = true;
    uint8_t scratch[4096];
    uint8_t trailer[4];
    int64_t left = inflate.UnusedInputCount() + idat.Remaining;
    while (left > 4) {
        const int64_t n = std::min<int64_t>(left - 4, sizeof scratch);
        inflate.ReadAfterEnd(scratch, n);
        left -= n;
    }
    inflate.ReadAfterEnd(trailer, 4);
    // A file that ends after its image data without IEND still loads.
    buffered_.StrictRead = false;
    imageRead_ = true;
    if (header_.FilterMethod == 64 && mng_) {
        if (bitmap_.PixelFormat != pfBGR24) throw Exception("Unsupported pixel format");
        for (int32_t y = 0; y < bitmap_.Height; ++y) pngrows::UndoIntrapixel(bitmap_.ScanLine(y), bitmap_.Width);
    } else if (header_.FilterMethod != 0) {
        InvalidData();
    }
}

}  // namespace

void TPNGLoader::LoadFromStream(TBaseStream& Stream, const std::string& Ext, TLinearBitmap& Bitmap) {
    (void)Ext;  // the signature decides
    Reset();
    Bitmap.Dispose();
    TBufferedStream buffered(-1, 0, &Stream);
    uint8_t signature[8];
    const int64_t got = ReadUpTo(buffered, signature, 8);
    bool mng = false;
    if (got == 8 && std::memcmp(signature, MNGSignature, 8) == 0)
        mng = true;
    else if (got != 8 || std::memcmp(signature, PNGSignature, 8) != 0)
        throw Exception("Invalid PNG header");
    TCRC32Stream chunk(&buffered);
    PNGReader(*this, Bitmap, buffered, chunk, mng).Run();
}

// ---------------------------------------------------------------- writing

namespace {

// Writes one chunk: length directly, then type and data through the CRC stream, then
// the CRC directly.
void WriteChunk(TBaseStream& stream, TCRC32Stream& crc, uint32_t type, const uint8_t* data, uint32_t length) {
    uint8_t b[4];
    PutBigEndian32(b, length);
    stream.Write(b, 4);
    crc.ResetCRC();
    PutBigEndian32(b, type);
    crc.Write(b, 4);
    if (length) crc.Write(data, length);
    PutBigEndian32(b, crc.GetCRC());
    stream.Write(b, 4);
}

int HighestUsedIndex(const TLinearBitmap& image) {
    int highest = 0;
    bool seen[256] = {};
    for (int32_t y = 0; y < image.Height; ++y) {
        const uint8_t* row = image.ScanLine(y);
        for (int32_t x = 0; x < image.Width; ++x) seen[row[x]] = true;
    }
    for (int i = 255; i > 0; --i)
        if (seen[i]) return i;
    return highest;
}

}  // namespace

void TPNGLoader::SaveToStream(TBaseStream& Stream, const std::string& Ext, TLinearBitmap& Bitmap) {
    const uint8_t format = Bitmap.Present ? Bitmap.PixelFormat : static_cast<uint8_t>(pfNone);
    if (format != pfIndexed8 && format != pfGray16 && format != pfBGR24)
        throw ELinearBitmap("Unsupported pixel format");
    auto* seekable = dynamic_cast<TSeekableStream*>(&Stream);
    if (!seekable) {
        TMemStream memory;
        SaveToStream(memory, Ext, Bitmap);
        memory.Seek(0);
        Stream.CopyFrom(memory);
        return;
    }
    const bool mng = Ext == "MNG";
    int mode = FilterMode;
    TLinearBitmap* image = &Bitmap;
    std::unique_ptr<TLinearBitmap> copy;
    if (LossyTolerance != 0 && format != pfGray16 && !(mng && format == pfBGR24)) {
        copy = std::make_unique<TLinearBitmap>(Bitmap);
        const bool palette = format == pfIndexed8 && !copy->IsGrayScale();
        mode = pngrows::NearLossless(copy->Map.get(), copy->Width, copy->Height, copy->BytesPerLine, copy->PixelSize,
                                     palette ? copy->Palette.get() : nullptr, LossyTolerance, TransparentColor);
        image = copy.get();
    } else if (mode == -3) {
        mode = SmallestFileMode(Ext, Bitmap);
    }
    WriteFile(*seekable, mng, mode, *image, Bitmap.Metadata);
}

int TPNGLoader::SmallestFileMode(const std::string& Ext, TLinearBitmap& Bitmap) {
    int best = -2;
    int64_t bestSize = -1;
    try {
        for (int trial = -2; trial <= 4; ++trial) {
            FilterMode = trial;
            TMemStream memory;
            SaveToStream(memory, Ext, Bitmap);
            if (bestSize < 0 || memory.GetSize() < bestSize) {
                bestSize = memory.GetSize();
                best = trial;
            }
        }
    } catch (...) {
        FilterMode = -3;
        throw;
    }
    FilterMode = -3;
    return best;
}

namespace {

// How the rows of an image are written: colour type, samples per pixel, bits per sample.
struct RowLayout {
    int colourType;
    int channels;
    int depth;

    size_t RowBytes(int32_t width) const { return static_cast<size_t>(width) * channels * depth / 8; }
    // Bytes per complete pixel, as the filters count them (at least one).
    int FilterStep() const { return std::max(1, channels * depth / 8); }
};

RowLayout LayoutOf(const TLinearBitmap& image) {
    switch (image.PixelFormat) {
        case pfIndexed8:
            // A grey-ramp palette is plain 8-bit grey. Whatever BitDepth the last file read
            // had, the rows are written with one byte per pixel, so the header says 8.
            return {image.IsGrayScale() ? ColourGrey : ColourIndexed, 1, 8};
        case pfGray16: return {ColourGrey, 1, 16};
        case pfBGR24: return {ColourRGB, 3, 8};
        default: throw ELinearBitmap("Unsupported pixel format");
    }
}

// MNG intrapixel differencing, which an MNG file of 24-bit rows declares in its header.
bool Intrapixel(bool mng, const TLinearBitmap& image) { return mng && image.PixelFormat == pfBGR24; }

// The MNG header (MNG only) and the image header.
void WriteHeaderChunks(TBaseStream& stream, TCRC32Stream& crc, bool mng, const TLinearBitmap& image,
                       const RowLayout& layout) {
    if (mng) {
        // An MNG datastream starts with its header: frame size, one tick per second,
        // layer, frame and play-time counts and the simplicity profile unspecified.
        uint8_t mhdr[28] = {};
        PutBigEndian32(mhdr, static_cast<uint32_t>(image.Width));
        PutBigEndian32(mhdr + 4, static_cast<uint32_t>(image.Height));
        PutBigEndian32(mhdr + 8, 1);
        WriteChunk(stream, crc, MHDR, mhdr, 28);
    }
    uint8_t data[13];
    PutBigEndian32(data, static_cast<uint32_t>(image.Width));
    PutBigEndian32(data + 4, static_cast<uint32_t>(image.Height));
    data[8] = static_cast<uint8_t>(layout.depth);
    data[9] = static_cast<uint8_t>(layout.colourType);
    data[10] = 0;
    data[11] = Intrapixel(mng, image) ? 64 : 0;
    data[12] = 0;
    WriteChunk(stream, crc, IHDR, data, 13);
}

void WriteGamma(TBaseStream& stream, TCRC32Stream& crc, double gamma) {
    if (gamma == 0) return;
    uint8_t data[4];
    PutBigEndian32(data, static_cast<uint32_t>(std::nearbyint(gamma * 100000.0)));
    WriteChunk(stream, crc, gAMA, data, 4);
}

// Whether the transparent colour is an index an indexed image can name.
bool TransparentIndex(const RowLayout& layout, int32_t transparentColor) {
    return layout.colourType == ColourIndexed && transparentColor >= 0 && transparentColor <= 255;
}

// The image's palette, or a palette read from a truecolour file: that one goes back out
// with whatever image is saved, a grey one included (readers ignore a PLTE there, as ours
// does). Trailing black entries are left out, unless the pixels or the transparent index
// use them.
void WritePalette(TBaseStream& stream, TCRC32Stream& crc, const TLinearBitmap& image, const RowLayout& layout,
                  const uint8_t* truecolorPalette, int32_t transparentColor) {
    const bool indexed = layout.colourType == ColourIndexed;
    const uint8_t* source = indexed ? image.Palette.get() : truecolorPalette;
    if (!source) return;
    int last = 0;
    for (int i = 255; i > 0 && last == 0; --i) {
        const uint8_t* e = source + 3 * i;
        if (e[0] || e[1] || e[2]) last = i;
    }
    if (indexed) {
        last = std::max(last, HighestUsedIndex(image));
        if (TransparentIndex(layout, transparentColor)) last = std::max(last, static_cast<int>(transparentColor));
    }
    uint8_t rgb[PaletteBytes];
    for (int i = 0; i <= last; ++i) {
        rgb[3 * i] = source[3 * i + 2];
        rgb[3 * i + 1] = source[3 * i + 1];
        rgb[3 * i + 2] = source[3 * i];
    }
    WriteChunk(stream, crc, PLTE, rgb, static_cast<uint32_t>(3 * (last + 1)));
}

// Only a value the written image can hold: a grey level within the bit depth, an index
// within the palette. bitDepth is the depth of the last file read.
void WriteTransparency(TBaseStream& stream, TCRC32Stream& crc, const RowLayout& layout, int32_t transparentColor,
                       int32_t bitDepth) {
    if (transparentColor == -1) return;
    int32_t c = transparentColor;
    // A 16-bit grey image comes back as 8-bit grey from the platform bitmap, each level
    // reduced to its high byte: the transparent level is reduced the same way.
    if (layout.colourType == ColourGrey && layout.depth == 8 && bitDepth == 16 && c > 0) c >>= 8;
    if (layout.colourType == ColourGrey && c >= 0 && c < (1 << layout.depth)) {
        const uint8_t level[2] = {static_cast<uint8_t>(c >> 8), static_cast<uint8_t>(c)};
        WriteChunk(stream, crc, tRNS, level, 2);
    } else if (layout.colourType == ColourRGB) {
        const uint8_t t[6] = {0, static_cast<uint8_t>(c), 0, static_cast<uint8_t>(c >> 8), 0,
                              static_cast<uint8_t>(c >> 16)};
        WriteChunk(stream, crc, tRNS, t, 6);
    } else if (TransparentIndex(layout, c)) {
        uint8_t alpha[256];
        std::memset(alpha, 255, static_cast<size_t>(c));
        alpha[c] = 0;
        WriteChunk(stream, crc, tRNS, alpha, static_cast<uint32_t>(c + 1));
    }
}

// raw is red, green, blue: red and blue become differences from green.
void ApplyIntrapixel(uint8_t* raw, size_t rowBytes) {
    for (size_t i = 0; i < rowBytes; i += 3) {
        raw[i] = static_cast<uint8_t>(raw[i] - raw[i + 1]);
        raw[i + 2] = static_cast<uint8_t>(raw[i + 2] - raw[i + 1]);
    }
}

// Filters every row (by mode) and deflates it into out. Returns the Adler-32 of the
// filtered rows, for the zlib trailer.
uint32_t CompressRows(TBaseStream& out, bool mng, int mode, TLinearBitmap& image, const RowLayout& layout) {
    const size_t rowBytes = layout.RowBytes(image.Width);
    const int step = layout.FilterStep();
    const bool intrapixel = Intrapixel(mng, image);
    TAdler32 adler;
    adler.Init();
    {
        TDeflateStream deflate(&out, -1);
        // Raw rows (current and previous), the chosen filtered row behind its type
        // byte, and four candidate rows for adaptive filtering.
        std::vector<uint8_t> work(rowBytes * 7 + 1, 0);
        uint8_t* raw = work.data();
        uint8_t* prev = raw + rowBytes;
        uint8_t* filtered = prev + rowBytes;  // type byte, then the row
        uint8_t* scratch = filtered + rowBytes + 1;
        for (int32_t y = 0; y < image.Height; ++y) {
            pngrows::PackRow(image.PixelFormat, image.ScanLine(y), static_cast<size_t>(image.Width), raw);
            if (intrapixel) ApplyIntrapixel(raw, rowBytes);
            filtered[0] = static_cast<uint8_t>(
                pngrows::ChooseAndFilterRow(mode, raw, prev, filtered + 1, scratch, rowBytes, step));
            deflate.Write(filtered, static_cast<int64_t>(rowBytes + 1));
            adler.Update(filtered, static_cast<int64_t>(rowBytes + 1));
            std::swap(raw, prev);
        }
        deflate.Finish();  // the final block
    }
    return adler.Value();
}

// The image data as one IDAT chunk, whose length is patched in after the data.
void WriteImageData(TSeekableStream& stream, TCRC32Stream& crc, bool mng, int mode, TLinearBitmap& image,
                    const RowLayout& layout) {
    const int64_t start = stream.GetPosition();
    const uint8_t placeholder[4] = {0, 0, 0, 0};
    stream.Write(placeholder, 4);
    crc.ResetCRC();
    {
        TBufferedStream buffered(0, -1, &crc);
        const uint8_t head[6] = {'I', 'D', 'A', 'T', 0x78, 0xDA};
        buffered.Write(head, 6);
        const uint32_t adler = CompressRows(buffered, mng, mode, image, layout);
        buffered.Write(&adler, 4);
        buffered.Flush();
    }
    const int64_t end = stream.GetPosition();
    stream.Seek(start);
    uint8_t b[4];
    PutBigEndian32(b, static_cast<uint32_t>(end - start - 8));
    stream.Write(b, 4);
    stream.Seek(end);
    PutBigEndian32(b, crc.GetCRC());
    stream.Write(b, 4);
}

// The image's profile as an iCCP chunk, compressed by the library's deflate into a zlib
// stream, and its orientation as an eXIf chunk holding the smallest EXIF that says it.
void WriteMetadata(TBaseStream& stream, TCRC32Stream& crc, const TImageMetadata& metadata) {
    if (!metadata.IccProfile.empty()) {
        TMemStream compressed;
        {
            TDeflateStream deflate(&compressed, 1);
            deflate.Write(metadata.IccProfile.data(), static_cast<int64_t>(metadata.IccProfile.size()));
            deflate.Finish();
        }
        std::vector<uint8_t> data(ProfileName, ProfileName + sizeof ProfileName);  // with its NUL
        data.push_back(0);  // deflate
        data.push_back(ZlibDeflate32K);
        data.push_back(0xDA);
        const size_t at = data.size();
        data.resize(at + static_cast<size_t>(compressed.GetSize()));
        compressed.Seek(0);
        compressed.Read(data.data() + at, compressed.GetSize());
        TAdler32 adler;
        adler.Update(metadata.IccProfile.data(), static_cast<int64_t>(metadata.IccProfile.size()));
        uint8_t trailer[4];
        PutBigEndian32(trailer, adler.Checksum());
        data.insert(data.end(), trailer, trailer + 4);
        WriteChunk(stream, crc, iCCP, data.data(), static_cast<uint32_t>(data.size()));
    }
    if (metadata.Orientation >= 1 && metadata.Orientation <= 8) {
        const std::vector<uint8_t> exif = MinimalExif(metadata.Orientation);
        WriteChunk(stream, crc, eXIf, exif.data(), static_cast<uint32_t>(exif.size()));
    }
}

void WriteEndChunks(TBaseStream& stream, TCRC32Stream& crc, bool mng) {
    WriteChunk(stream, crc, IEND, nullptr, 0);
    if (mng) WriteChunk(stream, crc, MEND, nullptr, 0);
}

}  // namespace

void TPNGLoader::WriteFile(TSeekableStream& Stream, bool mng, int mode, TLinearBitmap& image,
                           const TImageMetadata& metadata) {
    Stream.Write(mng ? MNGSignature : PNGSignature, 8);
    const RowLayout layout = LayoutOf(image);
    TCRC32Stream crc(&Stream);
    WriteHeaderChunks(Stream, crc, mng, image, layout);
    // gAMA must come before PLTE in a valid file.
    WriteGamma(Stream, crc, Gamma);
    // A profile must come before the palette; an MNG carries neither here.
    if (!mng) WriteMetadata(Stream, crc, metadata);
    WritePalette(Stream, crc, image, layout, TruecolorPalette.get(), TransparentColor);
    WriteTransparency(Stream, crc, layout, TransparentColor, BitDepth);
    WriteImageData(Stream, crc, mng, mode, image, layout);
    WriteEndChunks(Stream, crc, mng);
}

// ---------------------------------------------------------------- start-up

TPNGLoader& PNGLoader() { return SharedLoader<TPNGLoader>(); }

void InitializePNGLoader() {
    if (!RegisterLoaderOnce<TPNGLoader>()) return;
    host::TPicture::RegisterFileFormat<TPNGGraphic>("PNG", "Portable Network Graphics");
    host::TPicture::RegisterFileFormat<TMNGGraphic>("MNG", "Multiple-image Network Graphics");
}

void FinalizePNGLoader() {
    host::TPicture::UnregisterGraphicClass<TPNGGraphic>();
    host::TPicture::UnregisterGraphicClass<TMNGGraphic>();
}
