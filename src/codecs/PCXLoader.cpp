#include "codecs/PCXLoader.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "image/LinearGraphic.h"
#include "platform/ByteOrder.h"
#include "platform/Exceptions.h"
#include "streams/BufStream.h"

namespace {

const char* const PCXDescription = "Zsoft Paintbrush";

constexpr int HeaderSize = 128;
constexpr uint8_t Manufacturer = 10;
constexpr uint8_t Version = 5;
constexpr uint8_t RunLengthEncoding = 1;
constexpr uint8_t BitsPerPlane = 8;
constexpr uint8_t RunMarker = 0xC0;
constexpr int MaxRun = 63;
constexpr uint8_t PaletteMarker = 0x0C;
constexpr int PaletteTrailerBytes = 768;
constexpr int32_t HeaderFieldLimit = 65535;
constexpr uint16_t WrittenResolution = 96;


// Reads single bytes straight from the buffered stream's buffer; a refill goes through
// the stream's own Read, so its end-of-data rules apply.
class ByteSource {
public:
    explicit ByteSource(TBufferedStream& stream) : stream_(stream) { Sync(); }
    ~ByteSource() { stream_.ReadPos += static_cast<int32_t>(cur_ - start_); }

    uint8_t Next() {
        if (cur_ != end_) return *cur_++;
        stream_.ReadPos += static_cast<int32_t>(cur_ - start_);
        uint8_t b = 0;
        stream_.Read(&b, 1);
        Sync();
        return b;
    }

private:
    void Sync() {
        start_ = cur_ = stream_.BufferedData();
        end_ = cur_ + stream_.BufferedCount();
    }

    TBufferedStream& stream_;
    const uint8_t* start_ = nullptr;
    const uint8_t* cur_ = nullptr;
    const uint8_t* end_ = nullptr;
};

// Run-length decoding of consecutive spans; a run may continue into the next span.
class RunDecoder {
public:
    explicit RunDecoder(TBufferedStream& stream) : source_(stream) {}

    void Fill(uint8_t* out, int64_t count) {
        int64_t x = 0;
        while (x < count) {
            if (pending_ == 0) {
                uint8_t b = source_.Next();
                if (b < RunMarker) {
                    out[x++] = b;
                    continue;
                }
                pending_ = b & MaxRun;
                if (pending_ == 0) pending_ = 1;
                value_ = source_.Next();
            }
            const int64_t n = std::min<int64_t>(pending_, count - x);
            std::memset(out + x, value_, static_cast<size_t>(n));
            x += n;
            pending_ -= static_cast<int>(n);
        }
    }

    // A run still going when the image is full overran it.
    void Finish() const {
        if (pending_ != 0) throw ELinearBitmap("Error in bitmap data");
    }

private:
    ByteSource source_;
    int pending_ = 0;
    uint8_t value_ = 0;
};

// One plane fills the image front to back; three planes fill one plane row at a time,
// red into byte 2 of every pixel, then green into byte 1, then blue into byte 0.
void DecodeRuns(TBufferedStream& stream, TLinearBitmap& bitmap) {
    RunDecoder runs(stream);
    if (bitmap.PixelSize == 1) {
        runs.Fill(bitmap.Map.get(), bitmap.Size);
    } else {
        std::vector<uint8_t> plane(static_cast<size_t>(bitmap.Width));
        for (int32_t y = 0; y < bitmap.Height; ++y) {
            for (int byte = 2; byte >= 0; --byte) {
                runs.Fill(plane.data(), bitmap.Width);
                uint8_t* out = bitmap.ScanLine(y) + byte;
                for (int32_t x = 0; x < bitmap.Width; ++x) out[3 * int64_t{x}] = plane[x];
            }
        }
    }
    runs.Finish();
}

// Searches for the palette marker after the pixels; whatever goes wrong there only
// means that the image keeps the grey ramp it was given.
void ReadPaletteTrailer(TBufferedStream& stream, TLinearBitmap& bitmap) {
    try {
        stream.SetStrictRead(false);
        uint8_t b = 0;
        while (stream.Read(&b, 1) == 1) {
            if (b != PaletteMarker) continue;
            uint8_t rgb[PaletteTrailerBytes];
            if (stream.Read(rgb, PaletteTrailerBytes) == PaletteTrailerBytes) SwapPaletteRB(rgb, bitmap.Palette.get());
            return;
        }
    } catch (const Exception&) {
    }
}

// Writes the runs of `count` contiguous bytes to `out`, which holds 2 * count bytes;
// runs never reach past them. Returns the end of what was written.
uint8_t* EncodeRuns(const uint8_t* data, int32_t count, uint8_t* out) {
    int32_t i = 0;
    while (i < count) {
        const uint8_t value = data[i];
        if (i + 1 < count && data[i + 1] == value) {
            const int32_t limit = std::min(count, i + MaxRun);
            int32_t j = i + 2;
            while (j < limit && data[j] == value) ++j;
            *out++ = static_cast<uint8_t>(RunMarker + (j - i));
            *out++ = value;
            i = j;
            continue;
        }
        // A single byte: literal, or a run of one when it looks like a count. Written
        // without a branch, since photographs make that choice unpredictable.
        const bool looksLikeCount = value >= RunMarker;
        out[0] = looksLikeCount ? static_cast<uint8_t>(RunMarker + 1) : value;
        out[1] = value;
        out += 1 + looksLikeCount;
        ++i;
    }
    return out;
}

void WriteHeader(TBaseStream& stream, const TLinearBitmap& bitmap, uint8_t planes) {
    uint8_t header[HeaderSize] = {};
    header[0] = Manufacturer;
    header[1] = Version;
    header[2] = RunLengthEncoding;
    header[3] = BitsPerPlane;
    host::WriteLE16(header + 8, static_cast<uint16_t>(bitmap.Width - 1));
    host::WriteLE16(header + 10, static_cast<uint16_t>(bitmap.Height - 1));
    host::WriteLE16(header + 12, WrittenResolution);
    host::WriteLE16(header + 14, WrittenResolution);
    header[65] = planes;
    host::WriteLE16(header + 66, static_cast<uint16_t>(bitmap.Width));
    stream.Write(header, HeaderSize);
}

void WriteIndexed(TBaseStream& stream, const TLinearBitmap& bitmap) {
    std::vector<uint8_t> out(static_cast<size_t>(bitmap.Width) * 2);
    for (int32_t y = 0; y < bitmap.Height; ++y) {
        const uint8_t* end = EncodeRuns(bitmap.ScanLine(y), bitmap.Width, out.data());
        stream.Write(out.data(), end - out.data());
    }
    uint8_t trailer[1 + PaletteTrailerBytes];
    trailer[0] = PaletteMarker;
    SwapPaletteRB(bitmap.Palette.get(), trailer + 1);
    stream.Write(trailer, sizeof trailer);
}

void WritePlanes(TBaseStream& stream, const TLinearBitmap& bitmap) {
    const size_t width = static_cast<size_t>(bitmap.Width);
    std::vector<uint8_t> plane(width);
    std::vector<uint8_t> out(width * 6);
    for (int32_t y = 0; y < bitmap.Height; ++y) {
        uint8_t* end = out.data();
        for (int byte = 2; byte >= 0; --byte) {
            const uint8_t* in = bitmap.ScanLine(y) + byte;
            for (size_t x = 0; x < width; ++x) plane[x] = in[3 * x];
            end = EncodeRuns(plane.data(), bitmap.Width, end);
        }
        stream.Write(out.data(), end - out.data());
    }
}

}  // namespace

std::string TPCXLoader::GetLoadFilter() { return std::string(PCXDescription) + " (*.pcx)|*.pcx"; }

void TPCXLoader::LoadFromStream(TBaseStream& Stream, const std::string&, TLinearBitmap& Bitmap) {
    TBufferedStream buffered(-1, 0, &Stream);
    uint8_t header[HeaderSize];
    buffered.Read(header, HeaderSize);
    const uint8_t planes = header[65];
    if (header[0] != Manufacturer || header[1] != Version || header[2] != RunLengthEncoding ||
        header[3] != BitsPerPlane || (planes != 1 && planes != 3))
        throw ELinearBitmap("Unsupported file format");

    const int32_t width = int32_t{host::ReadLE16Signed(header + 8)} - host::ReadLE16Signed(header + 4) + 1;
    const int32_t height = int32_t{host::ReadLE16Signed(header + 10)} - host::ReadLE16Signed(header + 6) + 1;
    const int32_t bytesPerPlaneLine = host::ReadLE16Signed(header + 66);
    // The rows hold bytesPerPlaneLine bytes: the window may cut them, never widen them past
    // the data. A width the cut would turn into no image at all is as wrong as a bad height.
    if (width <= 0 || width > bytesPerPlaneLine) throw ELinearBitmap("Invalid bitmap size");
    Bitmap.New(bytesPerPlaneLine, height, planes == 1 ? pfIndexed8 : pfBGR24);
    // Files without a palette trailer get a defined grey ramp rather than stale memory.
    if (planes == 1) std::memcpy(Bitmap.Palette.get(), GrayPalette, PaletteBytes);
    DecodeRuns(buffered, Bitmap);
    if (width != Bitmap.Width) Bitmap.ResizeCanvas(width, Bitmap.Height, 0, 0, 0);
    if (planes == 1) ReadPaletteTrailer(buffered, Bitmap);
}

void TPCXLoader::SaveToStream(TBaseStream& Stream, const std::string&, TLinearBitmap& Bitmap) {
    if (!Bitmap.Present) throw ELinearBitmap("Invalid bitmap size");
    // The header holds Xmax and Ymax in 16 bits.
    if (Bitmap.Width > HeaderFieldLimit || Bitmap.Height > HeaderFieldLimit) throw ELinearBitmap("Invalid bitmap size");
    const TLinearBitmap* image = &Bitmap;
    TLinearBitmap converted;
    if (Bitmap.PixelFormat != pfIndexed8 && Bitmap.PixelFormat != pfBGR24) {
        converted.Assign(Bitmap);
        converted.ChangePixelFormat(pfBGR24);
        image = &converted;
    }
    TBufferedStream buffered(0, -1, &Stream);
    const bool indexed = image->PixelFormat == pfIndexed8;
    WriteHeader(buffered, *image, indexed ? 1 : 3);
    if (indexed)
        WriteIndexed(buffered, *image);
    else
        WritePlanes(buffered, *image);
    buffered.Flush();
}

void InitializePCXLoader() {
    if (RegisterLoaderOnce<TPCXLoader>()) host::TPicture::RegisterFileFormat<TPCXGraphic>("PCX", PCXDescription);
}

void FinalizePCXLoader() { host::TPicture::UnregisterGraphicClass<TPCXGraphic>(); }
