#include "codecs/HIPSLoader.h"

#include <bit>
#include <cmath>
#include <cstring>
#include <memory>
#include <vector>

#include "image/LinearGraphic.h"
#include "platform/CheckedSize.h"
#include "platform/Exceptions.h"
#include "platform/SysUtils.h"
#include "streams/TextStrm.h"

namespace {

const char* const HIPSDescription = "HIPS image";

constexpr int32_t LF = 10;
constexpr int MaxFrameCountLines = 201;
constexpr int FrameCountBound = 500;
constexpr int MaxPlanes = 500;
const char* const OlderHeaderEnd = ".";
// Header lines are short; a longer "line" means the data is not a HIPS header.
constexpr int64_t MaxHeaderLine = 1 << 20;

enum class PixelKind { Gray8, RGB8, FloatPlanes, FloatRGB };

struct Header {
    int32_t rows = 0;
    int32_t columns = 0;
    PixelKind kind = PixelKind::Gray8;
    int planes = 1;
};

std::string readLine(TTextStream& text) {
    std::string line;
    text.ReadLine(line);
    return line;
}

void skipLines(TTextStream& text, int64_t count) {
    std::string line;
    for (int64_t i = 0; i < count; ++i) text.ReadLine(line);
}

// A line that parses completely as a signed integer, or `fallback`.
int numberOr(const std::string& line, int fallback) {
    int value = 0;
    return TryStrToInt(line, value) ? value : fallback;
}

PixelKind kindOfFormat(const std::string& format) {
    if (format == "0") return PixelKind::Gray8;
    if (format == "3") return PixelKind::FloatPlanes;
    if (format == "35") return PixelKind::RGB8;
    if (format == "37") return PixelKind::FloatRGB;
    throw ELinearBitmap("Unsupported bitmap format");
}

Header readHeader(TTextStream& text) {
    Header header;
    skipLines(text, 2);  // name and sequence name
    for (int i = 0; i < MaxFrameCountLines; ++i) {
        int frames = 0;
        if (TryStrToInt(readLine(text), frames) && frames < FrameCountBound) break;
    }
    skipLines(text, 1);  // date
    const std::string rows = readLine(text);
    header.rows = StrToInt(rows);
    header.columns = StrToInt(readLine(text));
    const std::string third = readLine(text);
    if (third != rows) {
        // Older layout: the line after the size is the bit depth. Bit packing, pixel
        // format, the history and the description follow, the last two over as many
        // lines as they need; a line holding only the end mark closes the header.
        if (third != "8") throw ELinearBitmap("Unsupported bitmap format");
        while (readLine(text) != OlderHeaderEnd) {
        }
        return header;
    }
    // Newer layout: stored size, current rows, current columns, first row, first column, format.
    std::string format;
    for (int i = 0; i < 4; ++i) format = readLine(text);
    header.kind = kindOfFormat(format);
    const int planes = numberOr(readLine(text), 1);
    header.planes = planes >= 1 && planes <= MaxPlanes ? planes : 1;
    for (int i = 0; i < 2; ++i) {
        const int skipBytes = numberOr(readLine(text), 0);
        if (skipBytes > 0) text.CopyTo(nullptr, skipBytes);
    }
    const int parameterLines = numberOr(readLine(text), 0);
    if (parameterLines > 0) skipLines(text, parameterLines);
    skipLines(text, 1);
    return header;
}

uint8_t clampRounded(float value) {
    if (!(value > 0.0f)) return 0;  // also NaN
    if (value >= 255.0f) return 255;
    return static_cast<uint8_t>(std::nearbyint(value));  // halves to even
}

float floatFrom(const uint8_t* p, bool bigEndian) {
    uint32_t bits = 0;
    std::memcpy(&bits, p, 4);
    if (bigEndian != (std::endian::native == std::endian::big)) bits = __builtin_bswap32(bits);
    return std::bit_cast<float>(bits);
}

void readExactly(TTextStream& text, uint8_t* buffer, int64_t count) {
    if (text.Read(buffer, count) != count) throw EInOutError("Read less than expected");
}

// Fails before the image is allocated when the data cannot hold its pixels.
void requireData(TTextStream& text, int64_t bytes) {
    const int64_t available = text.Available();
    if (available >= 0 && available < bytes) throw EInOutError("Read less than expected");
}

void readGray8(TTextStream& text, const Header& h, TLinearBitmap& bitmap) {
    requireData(text, checkedSize({h.rows, h.columns}));
    bitmap.New(h.columns, h.rows, pfIndexed8);
    std::memcpy(bitmap.Palette.get(), GrayPalette, PaletteBytes);
    readExactly(text, bitmap.Map.get(), bitmap.Size);
}

void readRGB8(TTextStream& text, const Header& h, TLinearBitmap& bitmap) {
    requireData(text, checkedSize({h.rows, h.columns, 3}));
    bitmap.New(h.columns, h.rows, pfBGR24);
    readExactly(text, bitmap.Map.get(), bitmap.Size);
    uint8_t* p = bitmap.Map.get();
    for (int64_t i = 0; i < bitmap.Size; i += 3) std::swap(p[i], p[i + 2]);
}

// One plane of rows x columns floats; `target` byte of every pixel (step `pixelSize`).
void readFloatPlane(TTextStream& text, TLinearBitmap& bitmap, int target, bool bigEndian) {
    std::vector<uint8_t> row(static_cast<size_t>(bitmap.Width) * 4);
    for (int32_t y = 0; y < bitmap.Height; ++y) {
        readExactly(text, row.data(), static_cast<int64_t>(row.size()));
        uint8_t* out = bitmap.ScanLine(y) + target;
        for (int32_t x = 0; x < bitmap.Width; ++x) out[int64_t{x} * bitmap.PixelSize] = clampRounded(floatFrom(&row[x * size_t{4}], bigEndian));
    }
}

void readFloatPlanes(TTextStream& text, const Header& h, TLinearBitmap& bitmap) {
    const int planesRead = h.planes < 3 ? h.planes : 3;
    requireData(text, checkedSize({h.rows, h.columns, 4, planesRead}));
    if (h.planes == 1) {
        bitmap.New(h.columns, h.rows, pfIndexed8);
        std::memcpy(bitmap.Palette.get(), GrayPalette, PaletteBytes);
        readFloatPlane(text, bitmap, 0, true);
        return;
    }
    bitmap.New(h.columns, h.rows, pfBGR24);
    // Two planes give red and green; blue stays 0 rather than whatever memory held.
    if (h.planes == 2) bitmap.FillBytes(0);
    for (int plane = 0; plane < planesRead; ++plane) readFloatPlane(text, bitmap, 2 - plane, false);
}

void readFloatRGB(TTextStream& text, const Header& h, TLinearBitmap& bitmap) {
    requireData(text, checkedSize({h.rows, h.columns, 12}));
    bitmap.New(h.columns, h.rows, pfBGR24);
    std::vector<uint8_t> row(static_cast<size_t>(bitmap.Width) * 12);
    for (int32_t y = 0; y < bitmap.Height; ++y) {
        readExactly(text, row.data(), static_cast<int64_t>(row.size()));
        uint8_t* out = bitmap.ScanLine(y);
        for (size_t i = 0; i < static_cast<size_t>(bitmap.Width) * 3; ++i) out[i] = clampRounded(floatFrom(&row[i * 4], false));
    }
}

}  // namespace

std::string THIPSLoader::GetLoadFilter() { return std::string(HIPSDescription) + " (*.hips)|*.hips;*.hip"; }

void THIPSLoader::LoadFromStream(TBaseStream& Stream, const std::string&, TLinearBitmap& Bitmap) {
    TTextStream text(-1, 0, &Stream);
    text.LineTerminator = LF;
    text.IgnoredChar = LF;
    text.MaxLineLength = MaxHeaderLine;
    const Header header = readHeader(text);
    // Only the text stream turns strict; the inner stream stays relaxed for its refills.
    text.StrictRead = true;
    switch (header.kind) {
        case PixelKind::Gray8: readGray8(text, header, Bitmap); break;
        case PixelKind::RGB8: readRGB8(text, header, Bitmap); break;
        case PixelKind::FloatPlanes: readFloatPlanes(text, header, Bitmap); break;
        case PixelKind::FloatRGB: readFloatRGB(text, header, Bitmap); break;
    }
}

void InitializeHIPSLoader() {
    if (!RegisterLoaderOnce<THIPSLoader>()) return;
    host::TPicture::RegisterFileFormat<THIPSGraphic>("HIP", HIPSDescription);
    host::TPicture::RegisterFileFormat<THIPSGraphic>("HIPS", HIPSDescription);
}

void FinalizeHIPSLoader() { host::TPicture::UnregisterGraphicClass<THIPSGraphic>(); }
