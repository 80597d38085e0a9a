#include "codecs/JPEGLoader.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "platform/ByteOrder.h"
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

// Marker codes of the segments read and written beside the image.
constexpr uint8_t SOI = 0xD8, EOI = 0xD9, SOS = 0xDA, APP1 = 0xE1, APP2 = 0xE2;
constexpr uint8_t RST0 = 0xD0, RST7 = 0xD7, TEM = 0x01;
constexpr char IccSignature[12] = {'I', 'C', 'C', '_', 'P', 'R', 'O', 'F', 'I', 'L', 'E', 0};
constexpr size_t IccHeaderBytes = sizeof IccSignature + 2;  // the signature, sequence number, count
// The most one APP2 segment holds of a profile: 65535 less the length field and the header.
constexpr size_t IccChunkBytes = 65535 - 2 - IccHeaderBytes;

bool StartsWith(const uint8_t* data, size_t size, const char* prefix, size_t prefixSize) {
    return size >= prefixSize && std::memcmp(data, prefix, prefixSize) == 0;
}

// The profile's pieces, by their sequence numbers (1 to count). Every piece must be there
// once, and all must agree on the count; otherwise the profile is damaged.
class TIccPieces {
public:
    void Add(const uint8_t* data, size_t size) {
        const int sequence = data[sizeof IccSignature], count = data[sizeof IccSignature + 1];
        if (count == 0 || sequence == 0 || sequence > count || (count_ && count != count_) ||
            (!pieces_.empty() && !pieces_[static_cast<size_t>(sequence - 1)].empty())) {
            damaged_ = true;
            return;
        }
        count_ = count;
        pieces_.resize(static_cast<size_t>(count));
        pieces_[static_cast<size_t>(sequence - 1)].assign(data + IccHeaderBytes, data + size);
        // An empty piece would look missing: keep a marker that it was seen.
        if (size == IccHeaderBytes) damaged_ = true;
    }
    bool Any() const { return count_ != 0 || damaged_; }
    // The whole profile, or nothing when it is damaged or larger than a picture carries.
    std::vector<uint8_t> Join() const {
        std::vector<uint8_t> profile;
        if (damaged_) return profile;
        size_t total = 0;
        for (const auto& piece : pieces_) {
            if (piece.empty()) return profile;
            total += piece.size();
        }
        if (total > MaxProfileBytes) return profile;
        profile.reserve(total);
        for (const auto& piece : pieces_) profile.insert(profile.end(), piece.begin(), piece.end());
        return profile;
    }

private:
    int count_ = 0;
    bool damaged_ = false;
    std::vector<std::vector<uint8_t>> pieces_;
};

// The profile (APP2 "ICC_PROFILE" segments) and orientation (the first APP1 "Exif"
// segment) of a JPEG file, from the segments before its first scan. A segment that runs
// past the data ends the walk; nothing outside the data is read.
void ReadJPEGMetadata(const uint8_t* data, size_t size, TImageMetadata& metadata) {
    if (size < 2 || data[0] != 0xFF || data[1] != SOI) return;
    TIccPieces icc;
    bool exifSeen = false;
    size_t at = 2;
    while (at + 1 < size) {
        if (data[at] != 0xFF) break;
        const uint8_t marker = data[at + 1];
        if (marker == 0xFF) {  // fill byte
            ++at;
            continue;
        }
        at += 2;
        if (marker == SOS || marker == EOI) break;
        if ((marker >= RST0 && marker <= RST7) || marker == TEM) continue;
        if (size - at < 2) break;
        const size_t length = host::ReadBE16(data + at);
        if (length < 2 || length > size - at) break;
        const uint8_t* payload = data + at + 2;
        const size_t payloadSize = length - 2;
        if (marker == APP1 && !exifSeen && StartsWith(payload, payloadSize, ExifSignature, sizeof ExifSignature)) {
            exifSeen = true;
            metadata.Orientation = ExifOrientation(payload + sizeof ExifSignature, payloadSize - sizeof ExifSignature);
        } else if (marker == APP2 && StartsWith(payload, payloadSize, IccSignature, sizeof IccSignature) &&
                   payloadSize >= IccHeaderBytes) {
            icc.Add(payload, payloadSize);
        }
        at += length;
    }
    if (!icc.Any()) return;
    metadata.IccProfile = icc.Join();
    metadata.ProfileDropped = metadata.IccProfile.empty();
}

// The segments that carry the image's orientation and profile into the file written.
std::vector<host::TJPEGRows::TMarker> MetadataMarkers(const TImageMetadata& metadata) {
    std::vector<host::TJPEGRows::TMarker> markers;
    if (metadata.Orientation >= 1 && metadata.Orientation <= 8) {
        auto& exif = markers.emplace_back();
        exif.Code = APP1;
        exif.Payload.assign(ExifSignature, ExifSignature + sizeof ExifSignature);
        const std::vector<uint8_t> tiff = MinimalExif(metadata.Orientation);
        exif.Payload.insert(exif.Payload.end(), tiff.begin(), tiff.end());
    }
    const std::vector<uint8_t>& profile = metadata.IccProfile;
    const size_t count = (profile.size() + IccChunkBytes - 1) / IccChunkBytes;
    if (count > 255) return markers;  // no picture carries one so large (MaxProfileBytes)
    for (size_t i = 0; i < count; ++i) {
        auto& segment = markers.emplace_back();
        segment.Code = APP2;
        segment.Payload.assign(IccSignature, IccSignature + sizeof IccSignature);
        segment.Payload.push_back(static_cast<uint8_t>(i + 1));
        segment.Payload.push_back(static_cast<uint8_t>(count));
        const size_t from = i * IccChunkBytes, to = std::min(profile.size(), from + IccChunkBytes);
        segment.Payload.insert(segment.Payload.end(), profile.begin() + static_cast<ptrdiff_t>(from),
                               profile.begin() + static_cast<ptrdiff_t>(to));
    }
    return markers;
}

}  // namespace

std::string TJPEGLoader::GetLoadFilter() {
    return std::string(JPEGDescription) + " (*.jpg,*.jpeg,*.jpe)|*.jpg;*.jpeg;*.jpe";
}

std::string TJPEGLoader::GetSaveFilter() { return std::string(JPEGDescription) + " (*.jpg)|*.jpg"; }

void TJPEGLoader::LoadFromStream(TBaseStream& Stream, const std::string& Ext, TLinearBitmap& Bitmap) {
    host::TJPEGImage jpeg;
    WithHostStream(Stream, [&](host::TStream& host) { jpeg.LoadFromStream(host); });
    TImageMetadata metadata;
    ReadJPEGMetadata(jpeg.Bytes().data(), jpeg.Bytes().size(), metadata);
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
    Bitmap.Metadata = std::move(metadata);
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
    rows.Markers = MetadataMarkers(Bitmap.Metadata);
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
