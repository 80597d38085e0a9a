#include "codecs/PCXLoader.h"

#include <cstring>
#include <vector>

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

int16_t le16s(const uint8_t* p) { return static_cast<int16_t>(p[0] | p[1] << 8); }
void put16(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}

// Reads single bytes straight from the buffered stream's buffer; a refill goes through
// the stream's own Read, so its end-of-data rules apply.
class ByteSource {
public:
    explicit ByteSource(TBufferedStream& stream) : stream_(stream) {}
    uint8_t Next() {
        if (stream_.BufferedCount() > 0) {
            const uint8_t b = *stream_.BufferedData();
            ++stream_.ReadPos;
            return b;
        }
        uint8_t b = 0;
        stream_.Read(&b, 1);
        return b;
    }

private:
    TBufferedStream& stream_;
};

// Where the next decoded byte goes: a one-plane image fills its buffer front to back; a
// three-plane image fills one plane row at a time, red into byte 2 of every pixel, then
// green into byte 1, then blue into byte 0.
class PlaneCursor {
public:
    explicit PlaneCursor(TLinearBitmap& bitmap)
        : map_(bitmap.Map.get()), size_(bitmap.Size), width_(bitmap.Width), planar_(bitmap.PixelSize == 3),
          step_(planar_ ? 3 : 1), pos_(planar_ ? 2 : 0) {}

    bool Done() const { return pos_ >= size_; }

    void Store(uint8_t value) {
        if (pos_ >= size_) throw ELinearBitmap("Error in bitmap data");
        map_[pos_] = value;
        pos_ += step_;
        if (planar_ && ++x_ == width_) NextPlaneRow();
    }

private:
    void NextPlaneRow() {
        x_ = 0;
        const int64_t rowStart = pos_ - int64_t{3} * width_ - plane_;
        plane_ = plane_ == 0 ? 2 : plane_ - 1;
        pos_ = plane_ == 2 ? rowStart + int64_t{3} * width_ + 2 : rowStart + plane_;
    }

    uint8_t* map_;
    int64_t size_;
    int32_t width_;
    bool planar_;
    int64_t step_;
    int64_t pos_;
    int32_t x_ = 0;
    int plane_ = 2;  // the byte of each pixel the current plane row fills
};

void DecodeRuns(TBufferedStream& stream, TLinearBitmap& bitmap) {
    ByteSource source(stream);
    PlaneCursor cursor(bitmap);
    while (!cursor.Done()) {
        uint8_t value = source.Next();
        int count = 1;
        if (value >= RunMarker) {
            count = value & MaxRun;
            if (count == 0) count = 1;
            value = source.Next();
        }
        for (; count > 0; --count) cursor.Store(value);
    }
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

// Appends the runs of `count` bytes spaced `step` apart; runs never reach past them.
void EncodeRuns(const uint8_t* data, int32_t count, int32_t step, std::vector<uint8_t>& out) {
    int32_t i = 0;
    while (i < count) {
        const uint8_t value = data[int64_t{i} * step];
        int run = 1;
        while (run < MaxRun && i + run < count && data[int64_t{i + run} * step] == value) ++run;
        if (run == 1 && value < RunMarker) {
            out.push_back(value);
        } else {
            out.push_back(static_cast<uint8_t>(RunMarker + run));
            out.push_back(value);
        }
        i += run;
    }
}

void WriteHeader(TBaseStream& stream, const TLinearBitmap& bitmap, uint8_t planes) {
    uint8_t header[HeaderSize] = {};
    header[0] = Manufacturer;
    header[1] = Version;
    header[2] = RunLengthEncoding;
    header[3] = BitsPerPlane;
    put16(header + 8, static_cast<uint32_t>(bitmap.Width - 1));
    put16(header + 10, static_cast<uint32_t>(bitmap.Height - 1));
    put16(header + 12, WrittenResolution);
    put16(header + 14, WrittenResolution);
    header[65] = planes;
    put16(header + 66, static_cast<uint32_t>(bitmap.Width));
    stream.Write(header, HeaderSize);
}

void WriteIndexed(TBaseStream& stream, const TLinearBitmap& bitmap) {
    std::vector<uint8_t> out;
    out.reserve(static_cast<size_t>(bitmap.Width) * 2);
    for (int32_t y = 0; y < bitmap.Height; ++y) {
        out.clear();
        EncodeRuns(bitmap.ScanLine(y), bitmap.Width, 1, out);
        stream.Write(out.data(), static_cast<int64_t>(out.size()));
    }
    uint8_t trailer[1 + PaletteTrailerBytes];
    trailer[0] = PaletteMarker;
    SwapPaletteRB(bitmap.Palette.get(), trailer + 1);
    stream.Write(trailer, sizeof trailer);
}

void WritePlanes(TBaseStream& stream, const TLinearBitmap& bitmap) {
    std::vector<uint8_t> out;
    out.reserve(static_cast<size_t>(bitmap.Width) * 6);
    for (int32_t y = 0; y < bitmap.Height; ++y) {
        out.clear();
        for (int plane = 2; plane >= 0; --plane) EncodeRuns(bitmap.ScanLine(y) + plane, bitmap.Width, 3, out);
        stream.Write(out.data(), static_cast<int64_t>(out.size()));
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

    const int32_t width = int32_t{le16s(header + 8)} - le16s(header + 4) + 1;
    const int32_t height = int32_t{le16s(header + 10)} - le16s(header + 6) + 1;
    const int32_t bytesPerPlaneLine = le16s(header + 66);
    // A width the cut below would turn into no image at all is as wrong as a bad height.
    if (width <= 0) throw ELinearBitmap("Invalid bitmap size");
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
    static TPCXLoader* codec = nullptr;
    if (codec) return;
    static TPCXLoader instance;
    codec = &instance;
    RegisterLoader(codec);
}
