#include "codecs/PCXLoader.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "codecs/PCXRunEncoder.h"
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
                if (b < PCXRunMarker) {
                    out[x++] = b;
                    continue;
                }
                pending_ = b & PCXMaxRun;
                if (pending_ == 0) pending_ = 1;
                value_ = source_.Next();
            }
            const int64_t n = std::min<int64_t>(pending_, count - x);
            std::memset(out + x, value_, static_cast<size_t>(n));
            x += n;
            pending_ -= static_cast<int>(n);
        }
    }

    // Passes over count bytes of decoded data: a run is skipped whole, so the work follows
    // the bytes read, not the bytes skipped.
    void Skip(int64_t count) {
        while (count > 0) {
            if (pending_ == 0) {
                const uint8_t b = source_.Next();
                if (b < PCXRunMarker) {
                    --count;
                    continue;
                }
                pending_ = b & PCXMaxRun;
                if (pending_ == 0) pending_ = 1;
                value_ = source_.Next();
            }
            const int64_t n = std::min<int64_t>(pending_, count);
            count -= n;
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

// Rows of lineBytes bytes a plane, of which the image keeps its width: the rest of each
// row is passed over without being stored. One plane fills each row in turn; three planes
// fill one plane row at a time, red into byte 2 of every pixel, then green into byte 1,
// then blue into byte 0.
void DecodeRuns(TBufferedStream& stream, TLinearBitmap& bitmap, int32_t lineBytes) {
    RunDecoder runs(stream);
    const int64_t cut = int64_t{lineBytes} - bitmap.Width;
    if (bitmap.PixelSize == 1 && cut == 0) {
        runs.Fill(bitmap.Map.get(), bitmap.Size);
    } else if (bitmap.PixelSize == 1) {
        for (int32_t y = 0; y < bitmap.Height; ++y) {
            runs.Fill(bitmap.ScanLine(y), bitmap.Width);
            runs.Skip(cut);
        }
    } else {
        std::vector<uint8_t> plane(static_cast<size_t>(bitmap.Width));
        for (int32_t y = 0; y < bitmap.Height; ++y) {
            for (int byte = 2; byte >= 0; --byte) {
                runs.Fill(plane.data(), bitmap.Width);
                runs.Skip(cut);
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
        uint8_t b = 0;
        while (ReadUpTo(stream, &b, 1) == 1) {
            if (b != PaletteMarker) continue;
            uint8_t rgb[PaletteTrailerBytes];
            if (ReadUpTo(stream, rgb, PaletteTrailerBytes) == PaletteTrailerBytes)
                SwapPaletteRB(rgb, bitmap.Palette.get());
            return;
        }
    } catch (const Exception&) {
    }
}

// Rows are encoded into a buffer of at least this size before they go to the stream.
constexpr size_t OutputChunk = size_t{1} << 20;

// Collects encoded rows and hands them to the stream in large writes.
class EncodedRows {
public:
    EncodedRows(TBaseStream& stream, size_t rowBytes)
        : stream_(stream), rowSpace_(2 * rowBytes + PCXRunEncoder::OutputSlack),
          buffer_(std::max(OutputChunk, rowSpace_)) {}

    // Room for one more row of the size given at construction.
    uint8_t* RowSpace() {
        if (buffer_.size() - used_ < rowSpace_) Flush();
        return buffer_.data() + used_;
    }
    void Commit(const uint8_t* end) { used_ = static_cast<size_t>(end - buffer_.data()); }
    void Flush() {
        stream_.Write(buffer_.data(), static_cast<int64_t>(used_));
        used_ = 0;
    }

private:
    TBaseStream& stream_;
    size_t rowSpace_;
    std::vector<uint8_t> buffer_;
    size_t used_ = 0;
};

// Byte `channel` of each of the eight pixels in 24 bytes of blue-green-red, as one word.
template <int channel>
inline uint64_t ChannelOfEight(const uint64_t (&words)[3]) {
    uint64_t bytes = 0;
#pragma GCC unroll 8
    for (int k = 0; k < 8; ++k) {
        const int at = channel + 3 * k;
        bytes |= (words[at / 8] >> (8 * (at % 8)) & 0xFF) << (8 * k);
    }
    return bytes;
}

// The three planes of a blue-green-red row, in the order they are written; eight pixels
// at a time through three words.
void SplitPlanes(const uint8_t* bgr, int32_t width, uint8_t* red, uint8_t* green, uint8_t* blue) {
    int32_t x = 0;
    for (; x + 8 <= width; x += 8, bgr += 24) {
        const uint64_t words[3] = {host::ReadLE64(bgr), host::ReadLE64(bgr + 8), host::ReadLE64(bgr + 16)};
        host::WriteLE64(blue + x, ChannelOfEight<0>(words));
        host::WriteLE64(green + x, ChannelOfEight<1>(words));
        host::WriteLE64(red + x, ChannelOfEight<2>(words));
    }
    for (; x < width; ++x, bgr += 3) {
        blue[x] = bgr[0];
        green[x] = bgr[1];
        red[x] = bgr[2];
    }
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
    const size_t width = static_cast<size_t>(bitmap.Width);
    // The encoder reads a little past the row; a copy gives it room after the last one.
    std::vector<uint8_t> row(width + PCXRunEncoder::InputSlack);
    PCXRunEncoder encoder(bitmap.Width);
    EncodedRows rows(stream, width);
    for (int32_t y = 0; y < bitmap.Height; ++y) {
        std::memcpy(row.data(), bitmap.ScanLine(y), width);
        rows.Commit(encoder.Encode(row.data(), rows.RowSpace()));
    }
    rows.Flush();
    uint8_t trailer[1 + PaletteTrailerBytes];
    trailer[0] = PaletteMarker;
    SwapPaletteRB(bitmap.Palette.get(), trailer + 1);
    stream.Write(trailer, sizeof trailer);
}

void WritePlanes(TBaseStream& stream, const TLinearBitmap& bitmap) {
    const size_t width = static_cast<size_t>(bitmap.Width);
    std::vector<uint8_t> planes(3 * width + PCXRunEncoder::InputSlack);
    uint8_t* const red = planes.data();
    uint8_t* const green = red + width;
    uint8_t* const blue = green + width;
    PCXRunEncoder encoder(bitmap.Width);
    EncodedRows rows(stream, 3 * width);
    for (int32_t y = 0; y < bitmap.Height; ++y) {
        SplitPlanes(bitmap.ScanLine(y), bitmap.Width, red, green, blue);
        uint8_t* end = rows.RowSpace();
        for (const uint8_t* plane : {red, green, blue}) end = encoder.Encode(plane, end);
        rows.Commit(end);
    }
    rows.Flush();
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
    // Only the window's columns are kept: the rest of each row costs its data, not memory.
    Bitmap.New(width, height, planes == 1 ? pfIndexed8 : pfBGR24);
    // Files without a palette trailer get a defined grey ramp rather than stale memory.
    if (planes == 1) std::memcpy(Bitmap.Palette.get(), GrayPalette, PaletteBytes);
    DecodeRuns(buffered, Bitmap, bytesPerPlaneLine);
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
