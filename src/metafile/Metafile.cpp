#include "metafile/Metafile.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>

#include "metafile/MetafileRecordTypes.h"
#include "metafile/player/MetafilePlayer.h"
#include "platform/ByteOrder.h"
#include "platform/CheckedSize.h"

namespace host {

int32_t MulDiv(int32_t a, int32_t b, int32_t c) {
    if (c == 0) return -1;
    int64_t product = int64_t{a} * b;
    const bool negative = (product < 0) != (c < 0);
    const int64_t magnitude = product < 0 ? -product : product;
    const int64_t divisor = c < 0 ? -int64_t{c} : c;
    const int64_t quotient = (magnitude + divisor / 2) / divisor;
    const int64_t result = negative ? -quotient : quotient;
    if (result > INT32_MAX || result < INT32_MIN) return -1;
    return static_cast<int32_t>(result);
}

namespace {

constexpr uint32_t EmfSignature = 0x464D4520;  // " EMF"
constexpr uint32_t PlaceableKey = 0x9AC6CDD7;
constexpr size_t EmfHeaderMinimum = 88;
constexpr size_t WmfHeaderBytes = 18;
// The reference device of recordings: a screen of 96 pixels per inch, 1920 × 1440 pixels
// on 508 × 381 millimetres, so that sizes go through hundredths of a millimetre and back
// to the same pixels.
constexpr int32_t DevicePixelsX = 1920, DevicePixelsY = 1440, DeviceMMX = 508, DeviceMMY = 381;

[[noreturn]] void invalid() { throw EInvalidGraphic(SInvalidMetafile); }

// Hundredths of a millimetre in the reference device's pixels, rounded; -1 when the
// device description or the result makes no sense.
int32_t devicePixels(int64_t hundredthsMM, int32_t pixels, int32_t millimetres) {
    if (pixels <= 0 || millimetres <= 0) return -1;
    const int64_t divisor = int64_t{millimetres} * 100;
    const double exact = static_cast<double>(hundredthsMM) * pixels / static_cast<double>(divisor);
    const double rounded = exact < 0 ? -std::floor(-exact + 0.5) : std::floor(exact + 0.5);
    if (rounded > INT32_MAX || rounded < INT32_MIN) return -1;
    return static_cast<int32_t>(rounded);
}

class Writer {
public:
    std::vector<uint8_t> bytes;
    void u8(uint8_t v) { bytes.push_back(v); }
    void u16(uint32_t v) {
        bytes.push_back(static_cast<uint8_t>(v));
        bytes.push_back(static_cast<uint8_t>(v >> 8));
    }
    void u32(uint32_t v) {
        u16(v & 0xFFFF);
        u16(v >> 16);
    }
    void i32(int32_t v) { u32(static_cast<uint32_t>(v)); }
    void raw(const std::vector<uint8_t>& v) { bytes.insert(bytes.end(), v.begin(), v.end()); }
    void patch32(size_t at, uint32_t v) { WriteLE32(&bytes[at], v); }
    size_t size() const { return bytes.size(); }
};

int16_t toShort(int32_t v) {
    if (v < INT16_MIN || v > INT16_MAX) throw ELinearBitmap("Invalid bitmap size");
    return static_cast<int16_t>(v);
}

}  // namespace

TMetafile::TMetafile() = default;
TMetafile::~TMetafile() = default;

void TMetafile::SetWidth(int32_t value) {
    width_ = value;
    mmWidth_ = MulDiv(value, HundredthMMPerInch, ScreenPixelsPerInch);
}

void TMetafile::SetHeight(int32_t value) {
    height_ = value;
    mmHeight_ = MulDiv(value, HundredthMMPerInch, ScreenPixelsPerInch);
}

void TMetafile::SetPalette(HPALETTE palette) {
    palette_ = palette ? *palette : TLogPalette{};
    if (palette_.Entries.size() > 256) palette_.Entries.resize(256);
}

void TMetafile::Clear() {
    data_.clear();
    recorded_.clear();
    dataEnhanced_ = true;
}

void TMetafile::Assign(TPersistent& Source) {
    auto* source = dynamic_cast<TMetafile*>(&Source);
    if (!source) {
        TPersistent::Assign(Source);
        return;
    }
    if (source == this) return;
    data_ = source->data_;
    dataEnhanced_ = source->dataEnhanced_;
    std::memcpy(bounds_, source->bounds_, sizeof bounds_);
    recorded_ = source->recorded_;
    enhanced_ = source->enhanced_;
    width_ = source->width_, height_ = source->height_;
    mmWidth_ = source->mmWidth_, mmHeight_ = source->mmHeight_;
    inch_ = source->inch_;
    palette_ = source->palette_;
}

// ---------------------------------------------------------------- reading

void TMetafile::LoadFromStream(TStream& stream) {
    const int64_t available = stream.GetSize() - stream.GetPosition();
    uint8_t head[EmfHeaderMinimum] = {};
    const int64_t headBytes = std::min<int64_t>(available, sizeof head);
    if (headBytes > 0) stream.ReadBuffer(head, headBytes);

    if (available > 100 && ReadLE32(head) == EMR_HEADER && ReadLE32(head + 40) == EmfSignature) {
        const uint32_t total = ReadLE32(head + 48);
        const uint32_t headerRecord = ReadLE32(head + 4);
        if (total < EmfHeaderMinimum || total > available || headerRecord < EmfHeaderMinimum || headerRecord > total)
            invalid();
        std::vector<uint8_t> data(total);
        std::memcpy(data.data(), head, sizeof head);
        stream.ReadBuffer(data.data() + sizeof head, total - static_cast<int64_t>(sizeof head));
        // Every record must lie within the data; the play reads nothing else.
        size_t at = 0;
        while (at < data.size()) {
            if (data.size() - at < 8) invalid();
            const uint32_t type = ReadLE32(&data[at]), size = ReadLE32(&data[at + 4]);
            if (size < 8 || size > data.size() - at) invalid();
            at += size;
            if (type == EMR_EOF) break;
        }
        const int32_t left = ReadLE32Signed(head + 24), top = ReadLE32Signed(head + 28);
        const int32_t right = ReadLE32Signed(head + 32), bottom = ReadLE32Signed(head + 36);
        const int32_t devX = ReadLE32Signed(head + 72), devY = ReadLE32Signed(head + 76);
        const int32_t mmX = ReadLE32Signed(head + 80), mmY = ReadLE32Signed(head + 84);
        const int64_t frameW = int64_t{right} - left, frameH = int64_t{bottom} - top;
        width_ = devicePixels(frameW, devX, mmX);
        height_ = devicePixels(frameH, devY, mmY);
        mmWidth_ = static_cast<int32_t>(std::clamp<int64_t>(frameW, INT32_MIN, INT32_MAX));
        mmHeight_ = static_cast<int32_t>(std::clamp<int64_t>(frameH, INT32_MIN, INT32_MAX));
        recorded_.clear();
        data_ = std::move(data);
        dataEnhanced_ = enhanced_ = true;
        return;
    }

    // A placeable Windows metafile.
    if (headBytes < 22 || ReadLE32(head) != PlaceableKey) invalid();
    uint16_t checksum = 0;
    for (int i = 0; i < 10; ++i) checksum ^= ReadLE16(head + 2 * i);
    if (checksum != ReadLE16(head + 20)) invalid();
    const int16_t bounds[4] = {ReadLE16Signed(head + 6), ReadLE16Signed(head + 8),
                               ReadLE16Signed(head + 10), ReadLE16Signed(head + 12)};
    const uint16_t inch = ReadLE16(head + 14);
    const int64_t rest = available - 22;
    if (rest < static_cast<int64_t>(WmfHeaderBytes) || rest > MaxBufferSize) invalid();
    std::vector<uint8_t> data(static_cast<size_t>(rest));
    const size_t already = static_cast<size_t>(headBytes - 22);
    std::memcpy(data.data(), head + 22, already);
    stream.ReadBuffer(data.data() + already, rest - static_cast<int64_t>(already));
    const uint16_t type = ReadLE16(&data[0]), headerWords = ReadLE16(&data[2]);
    if ((type != 1 && type != 2) || headerWords != 9) invalid();
    // The header's own length, when it is shorter than the data, ends the records.
    const uint64_t declared = uint64_t{ReadLE32(&data[6])} * 2;
    if (declared >= WmfHeaderBytes && declared < data.size()) data.resize(static_cast<size_t>(declared));
    size_t at = WmfHeaderBytes;
    while (at < data.size()) {
        if (data.size() - at < 6) invalid();
        const uint64_t size = uint64_t{ReadLE32(&data[at])} * 2;
        const uint16_t function = ReadLE16(&data[at + 4]);
        if (size < 6 || size > data.size() - at) invalid();
        at += static_cast<size_t>(size);
        if (function == META_EOF) break;
    }
    inch_ = inch;
    const int32_t unitsPerInch = inch ? inch : ScreenPixelsPerInch;
    mmWidth_ = MulDiv(int32_t{bounds[2]} - bounds[0], HundredthMMPerInch, unitsPerInch);
    mmHeight_ = MulDiv(int32_t{bounds[3]} - bounds[1], HundredthMMPerInch, unitsPerInch);
    width_ = MulDiv(mmWidth_, ScreenPixelsPerInch, HundredthMMPerInch);
    height_ = MulDiv(mmHeight_, ScreenPixelsPerInch, HundredthMMPerInch);
    std::memcpy(bounds_, bounds, sizeof bounds_);
    recorded_.clear();
    data_ = std::move(data);
    dataEnhanced_ = enhanced_ = false;
}

// ---------------------------------------------------------------- playing

void TMetafile::Draw(TCanvas& canvas, const TRect& rect) {
    if (Empty() || rect.Width() == 0 || rect.Height() == 0) return;
    TBitmap* target = canvas.Target();
    if (!target) {
        // A recording canvas gets the picture as a bitmap of the rectangle's size.
        const int32_t w = std::abs(rect.Width()), h = std::abs(rect.Height());
        TBitmap picture;
        RenderOnto(picture, w, h);
        canvas.StretchBitmap(rect, picture, Rect(0, 0, w, h), false);
        return;
    }
    // Only the part of the rectangle on the bitmap is rendered.
    const int32_t x0 = std::max(0, std::min(rect.Left, rect.Right));
    const int32_t y0 = std::max(0, std::min(rect.Top, rect.Bottom));
    const int32_t x1 = std::min(target->Width(), std::max(rect.Left, rect.Right));
    const int32_t y1 = std::min(target->Height(), std::max(rect.Top, rect.Bottom));
    if (x0 >= x1 || y0 >= y1) return;
    const int32_t w = x1 - x0;
    auto rows = [&](bool write) {
        return [&, write](int32_t top, int32_t count, uint32_t* pixels) {
            for (int32_t r = 0; r < count; ++r, pixels += w) {
                if (write) target->WriteRowRGB(y0 + top + r, x0, w, pixels);
                else target->ReadRowRGB(y0 + top + r, x0, w, pixels);
            }
        };
    };
    const TRect dest = Rect(rect.Left - x0, rect.Top - y0, rect.Right - x0, rect.Bottom - y0);
    PlayInBands(w, y1 - y0, dest, {x0, y0}, rows(false), rows(true));
}

void TMetafile::DrawBands(int32_t width, int32_t height, const BandSink& sink) {
    CheckPictureSize(width, height);
    if (Empty()) {
        std::vector<uint32_t> white(static_cast<size_t>(width), 0xFFFFFF);
        for (int32_t y = 0; y < height; ++y) sink(y, 1, white.data());
        return;
    }
    auto white = [width](int32_t, int32_t rows, uint32_t* pixels) {
        std::fill_n(pixels, static_cast<size_t>(width) * rows, 0xFFFFFFu);
    };
    auto deliver = [&sink](int32_t top, int32_t rows, uint32_t* pixels) { sink(top, rows, pixels); };
    PlayInBands(width, height, Rect(0, 0, width, height), {0, 0}, white, deliver);
}

void TMetafile::HandOverTo(TBitmap& bitmap) {
    const int32_t width = Width(), height = Height();
    CheckPictureSize(width, height);
    TBitmap picture;
    picture.NewImage(pf24bit, width, height);
    DrawBands(width, height, [&](int32_t top, int32_t rows, const uint32_t* pixels) {
        for (int32_t y = top; y < top + rows; ++y, pixels += width) picture.WriteRowRGB(y, 0, width, pixels);
    });
    bitmap.TakeOver(picture);
}

void TMetafile::PlayInBands(int32_t w, int32_t h, const TRect& rect, TPoint origin, const BandRows& load,
                            const BandRows& store) {
    // A large picture is played in bands of rows, so that the renderer's own pixels
    // stay small beside the picture's; bands are whole multiples of the 8-pixel hatches.
    constexpr int64_t BandPixels = int64_t{1} << 22;
    int32_t band = h;
    if (int64_t{w} * h > BandPixels) band = static_cast<int32_t>(std::max<int64_t>(64, BandPixels / w / 64 * 64));
    band = std::min(band, h);
    std::vector<uint32_t> pixels(static_cast<size_t>(checkedSize({w, band, sizeof(uint32_t)}) / sizeof(uint32_t)));
    const bool loaded = !data_.empty() && recorded_.empty();
    const std::vector<uint8_t> recording = loaded ? std::vector<uint8_t>() : RecordingAsEnhanced();
    PlayBudget budget(int64_t{w} * h);
    for (int32_t top = 0; top < h; top += band) {
        const int32_t rows = std::min(band, h - top);
        load(top, rows, pixels.data());
        PlayTarget play{pixels.data(), w, rows, w * 4, origin.X, origin.Y + top};
        const PlayRect dest{static_cast<double>(rect.Left), static_cast<double>(rect.Top - top),
                            static_cast<double>(rect.Right), static_cast<double>(rect.Bottom - top)};
        if (!loaded) {
            PlayEnhancedMetafile(recording.data(), recording.size(), play, dest, budget);
        } else if (dataEnhanced_) {
            PlayEnhancedMetafile(data_.data(), data_.size(), play, dest, budget);
        } else {
            PlayWindowsMetafile(data_.data(), data_.size(), bounds_[0], bounds_[1], bounds_[2], bounds_[3], play, dest,
                                budget);
        }
        store(top, rows, pixels.data());
    }
}

// ---------------------------------------------------------------- writing

std::vector<uint8_t> TMetafile::RecordingAsEnhanced() const {
    Writer w;
    const uint32_t paletteCount = static_cast<uint32_t>(palette_.Entries.size());
    // EMR_HEADER with the pixel-format and micrometre fields (108 bytes).
    w.u32(EMR_HEADER);
    w.u32(108);
    w.i32(0), w.i32(0), w.i32(std::max(0, width_ - 1)), w.i32(std::max(0, height_ - 1));  // bounds
    w.i32(0), w.i32(0), w.i32(mmWidth_), w.i32(mmHeight_);                                 // frame
    w.u32(EmfSignature);
    w.u32(0x10000);
    const size_t totalAt = w.size();
    w.u32(0);  // nBytes
    w.u32(0);  // nRecords
    w.u16(paletteCount ? 2 : 1);
    w.u16(0);
    w.u32(0), w.u32(0);  // no description
    w.u32(paletteCount);
    w.i32(DevicePixelsX), w.i32(DevicePixelsY), w.i32(DeviceMMX), w.i32(DeviceMMY);
    w.u32(0), w.u32(0), w.u32(0);  // no pixel format, no OpenGL
    w.i32(DeviceMMX * 1000), w.i32(DeviceMMY * 1000);
    uint32_t records = 1;
    if (paletteCount) {
        w.u32(EMR_CREATEPALETTE);
        w.u32(16 + 4 * paletteCount);
        w.u32(1);
        w.u16(0x300);
        w.u16(paletteCount);
        for (const TPaletteEntry& e : palette_.Entries) w.u8(e.peRed), w.u8(e.peGreen), w.u8(e.peBlue), w.u8(0);
        w.u32(EMR_SELECTPALETTE), w.u32(12), w.u32(1);
        w.u32(EMR_REALIZEPALETTE), w.u32(8);
        records += 3;
    }
    int stretchMode = 0;
    for (const RecordedBitmap& b : recorded_) {
        if (b.StretchMode != stretchMode) {
            w.u32(EMR_SETSTRETCHBLTMODE), w.u32(12), w.u32(static_cast<uint32_t>(b.StretchMode));
            stretchMode = b.StretchMode;
            ++records;
        }
        const uint64_t size = 80 + uint64_t{b.Info.size()} + b.Bits.size();
        if (size > UINT32_MAX) throw ELinearBitmap("Invalid bitmap size");
        w.u32(EMR_STRETCHDIBITS);
        w.u32(static_cast<uint32_t>(size));
        w.i32(std::min(b.Dest.Left, b.Dest.Right)), w.i32(std::min(b.Dest.Top, b.Dest.Bottom));
        w.i32(std::max(b.Dest.Left, b.Dest.Right) - 1), w.i32(std::max(b.Dest.Top, b.Dest.Bottom) - 1);
        w.i32(b.Dest.Left), w.i32(b.Dest.Top);
        w.i32(b.Source.Left), w.i32(b.Source.Top), w.i32(b.Source.Width()), w.i32(b.Source.Height());
        w.u32(80), w.u32(static_cast<uint32_t>(b.Info.size()));
        w.u32(static_cast<uint32_t>(80 + b.Info.size())), w.u32(static_cast<uint32_t>(b.Bits.size()));
        w.u32(DIB_RGB_COLORS);
        w.u32(SRCCOPY);
        w.i32(b.Dest.Width()), w.i32(b.Dest.Height());
        w.raw(b.Info);
        w.raw(b.Bits);
        ++records;
    }
    // EMR_EOF with the palette's entries.
    w.u32(EMR_EOF);
    w.u32(20 + 4 * paletteCount);
    w.u32(paletteCount);
    w.u32(paletteCount ? 16 : 0);
    for (const TPaletteEntry& e : palette_.Entries) w.u8(e.peRed), w.u8(e.peGreen), w.u8(e.peBlue), w.u8(0);
    w.u32(20 + 4 * paletteCount);
    ++records;
    if (w.size() > UINT32_MAX) throw ELinearBitmap("Invalid bitmap size");
    w.patch32(totalAt, static_cast<uint32_t>(w.size()));
    w.patch32(totalAt + 4, records);
    return std::move(w.bytes);
}

std::vector<uint8_t> TMetafile::RecordingAsWindows() const {
    // Placeable header: the bounding box in the metafile's own units per inch.
    const uint16_t inch = inch_ ? inch_ : ScreenPixelsPerInch;
    Writer w;
    w.u32(PlaceableKey);
    w.u16(0);
    w.u16(0), w.u16(0);
    w.u16(static_cast<uint16_t>(toShort(MulDiv(mmWidth_, inch, HundredthMMPerInch))));
    w.u16(static_cast<uint16_t>(toShort(MulDiv(mmHeight_, inch, HundredthMMPerInch))));
    w.u16(inch);
    w.u32(0);
    uint16_t checksum = 0;
    for (int i = 0; i < 10; ++i) checksum ^= ReadLE16(&w.bytes[2 * i]);
    w.u16(checksum);

    const size_t start = w.size();
    w.u16(1), w.u16(9), w.u16(0x300);
    const size_t sizeAt = w.size();
    w.u32(0);
    w.u16(palette_.Entries.empty() ? 0 : 1);
    const size_t maxAt = w.size();
    w.u32(0);
    w.u16(0);
    uint32_t maxRecord = 0;
    auto record = [&](uint16_t function, std::initializer_list<int32_t> words) {
        w.u32(static_cast<uint32_t>(3 + words.size()));
        w.u16(function);
        for (int32_t v : words) w.u16(static_cast<uint16_t>(toShort(v)));
        maxRecord = std::max<uint32_t>(maxRecord, static_cast<uint32_t>(3 + words.size()));
    };
    // Logical units are the recording's pixels.
    record(META_SETWINDOWORG, {0, 0});           // (y, x)
    record(META_SETWINDOWEXT, {height_, width_});  // (y, x)
    if (!palette_.Entries.empty()) {
        const uint32_t count = static_cast<uint32_t>(palette_.Entries.size());
        w.u32(3 + 2 + 2 * count);
        w.u16(META_CREATEPALETTE);
        w.u16(0x300), w.u16(count);
        for (const TPaletteEntry& e : palette_.Entries) w.u8(e.peRed), w.u8(e.peGreen), w.u8(e.peBlue), w.u8(0);
        maxRecord = std::max(maxRecord, 3 + 2 + 2 * count);
        record(META_SELECTPALETTE, {0});
        record(META_REALIZEPALETTE, {});
    }
    int stretchMode = 0;
    for (const RecordedBitmap& b : recorded_) {
        if (b.StretchMode != stretchMode) {
            record(META_SETSTRETCHBLTMODE, {b.StretchMode});
            stretchMode = b.StretchMode;
        }
        const uint64_t words = 3 + 2 + 9 + (uint64_t{b.Info.size()} + b.Bits.size()) / 2;
        if (words > UINT32_MAX) throw ELinearBitmap("Invalid bitmap size");
        w.u32(static_cast<uint32_t>(words));
        w.u16(META_STRETCHDIB);
        w.u32(SRCCOPY);
        w.u16(DIB_RGB_COLORS);
        for (int32_t v : {b.Source.Height(), b.Source.Width(), b.Source.Top, b.Source.Left, b.Dest.Height(),
                          b.Dest.Width(), b.Dest.Top, b.Dest.Left})
            w.u16(static_cast<uint16_t>(toShort(v)));
        w.raw(b.Info);
        w.raw(b.Bits);
        maxRecord = std::max(maxRecord, static_cast<uint32_t>(words));
    }
    record(META_EOF, {});
    const uint64_t total = (w.size() - start) / 2;
    if (total > UINT32_MAX) throw ELinearBitmap("Invalid bitmap size");
    w.patch32(sizeAt, static_cast<uint32_t>(total));
    w.patch32(maxAt, maxRecord);
    return std::move(w.bytes);
}

// The picture drawn onto white at w x h pixels, 24 bits.
void TMetafile::RenderOnto(TBitmap& picture, int32_t w, int32_t h) {
    checkedSize({w, h, 4});
    picture.SetPixelFormat(pf24bit);
    picture.SetSize(w, h);
    picture.Canvas().FillRect(Rect(0, 0, w, h));
    Draw(picture.Canvas(), Rect(0, 0, w, h));
}

// A loaded picture saved as the other kind is drawn and recorded as one bitmap.
void TMetafile::RecordByRendering() {
    const int32_t w = width_, h = height_;
    CheckPictureSize(w, h);
    TBitmap picture;
    RenderOnto(picture, w, h);
    TMetafileCanvas canvas(*this);
    canvas.Draw(0, 0, picture);
}

std::vector<uint8_t> TMetafile::Bytes() const {
    if (!data_.empty() && recorded_.empty() && dataEnhanced_ == enhanced_) {
        if (enhanced_) return data_;
        std::vector<uint8_t> file(22 + data_.size());
        uint8_t* h = file.data();
        auto put16 = [&](size_t at, uint16_t v) { WriteLE16(h + at, v); };
        put16(0, PlaceableKey & 0xFFFF), put16(2, PlaceableKey >> 16), put16(4, 0);
        for (int i = 0; i < 4; ++i) put16(6 + 2 * i, static_cast<uint16_t>(bounds_[i]));
        put16(14, inch_), put16(16, 0), put16(18, 0);
        uint16_t checksum = 0;
        for (int i = 0; i < 10; ++i) checksum ^= ReadLE16(h + 2 * i);
        put16(20, checksum);
        std::memcpy(h + 22, data_.data(), data_.size());
        return file;
    }
    if (!data_.empty() && recorded_.empty()) {
        TMetafile converted;
        converted.Assign(const_cast<TMetafile&>(*this));
        converted.RecordByRendering();
        converted.enhanced_ = enhanced_;
        return converted.Bytes();
    }
    // Nothing is written that the reader would refuse to draw.
    CheckPictureSize(width_, height_);
    return enhanced_ ? RecordingAsEnhanced() : RecordingAsWindows();
}

void TMetafile::SaveToStream(TStream& stream) {
    const std::vector<uint8_t> bytes = Bytes();
    stream.WriteBuffer(bytes.data(), static_cast<int64_t>(bytes.size()));
}

// ---------------------------------------------------------------- recording

TMetafileCanvas::TMetafileCanvas(TMetafile& metafile, const void*) : TCanvas(nullptr), metafile_(metafile) {
    metafile_.Clear();
}

void TMetafileCanvas::StretchBitmap(const TRect& dest, const TBitmap& source, const TRect& sourceRect, bool) {
    if (source.Empty()) return;
    const int32_t w = source.Width(), h = source.Height();
    TMetafile::RecordedBitmap b;
    b.Dest = dest;
    b.Source = sourceRect;
    b.StretchMode = GetStretchBltMode();
    const int bits = source.BitsPerPixel();
    const bool indexed = bits <= 8 && source.Palette();
    const int outBits = indexed ? bits : 24;
    const int64_t stride = (checkedSize({w, outBits}) + 31) / 32 * 4;
    b.Bits.resize(static_cast<size_t>(checkedSize({stride, h})));
    Writer info;
    info.u32(40), info.i32(w), info.i32(h), info.u16(1), info.u16(static_cast<uint32_t>(outBits));
    info.u32(BI_RGB), info.u32(static_cast<uint32_t>(b.Bits.size())), info.i32(3780), info.i32(3780);
    if (indexed) {
        TRGBQuad table[256];
        const int count = source.GetDIBColorTable(0, 1 << bits, table);
        info.u32(static_cast<uint32_t>(count)), info.u32(0);
        for (int i = 0; i < count; ++i) info.u8(table[i].rgbBlue), info.u8(table[i].rgbGreen), info.u8(table[i].rgbRed), info.u8(0);
        const size_t rowBytes = (static_cast<size_t>(w) * bits + 7) / 8;
        for (int32_t y = 0; y < h; ++y)
            std::memcpy(&b.Bits[static_cast<size_t>(h - 1 - y) * stride], source.ScanLine(y), rowBytes);
    } else {
        info.u32(0), info.u32(0);
        std::vector<uint32_t> row(static_cast<size_t>(w));
        for (int32_t y = 0; y < h; ++y) {
            source.ReadRowRGB(y, 0, w, row.data());
            uint8_t* d = &b.Bits[static_cast<size_t>(h - 1 - y) * stride];
            for (int32_t x = 0; x < w; ++x) {
                d[3 * x] = static_cast<uint8_t>(row[x]);
                d[3 * x + 1] = static_cast<uint8_t>(row[x] >> 8);
                d[3 * x + 2] = static_cast<uint8_t>(row[x] >> 16);
            }
        }
    }
    b.Info = std::move(info.bytes);
    metafile_.recorded_.push_back(std::move(b));
}

int TMetafileCanvas::StretchDIBits(int32_t xDest, int32_t yDest, int32_t destWidth, int32_t destHeight, int32_t xSrc,
                                   int32_t ySrc, int32_t srcWidth, int32_t srcHeight, const void* bits,
                                   const TBitmapInfo& info, uint32_t usage, uint32_t rop) {
    const TBitmapInfoHeader& h = info.bmiHeader;
    const uint16_t bitCount = h.biBitCount;
    if (!bits || h.biCompression != BI_RGB || h.biWidth <= 0 || h.biHeight == 0 || h.biHeight == INT32_MIN ||
        usage != DIB_RGB_COLORS || rop != SRCCOPY ||
        (bitCount != 1 && bitCount != 4 && bitCount != 8 && bitCount != 16 && bitCount != 24 && bitCount != 32))
        return 0;
    const int32_t rows = h.biHeight < 0 ? -h.biHeight : h.biHeight;
    const int64_t stride = (checkedSize({h.biWidth, bitCount}) + 31) / 32 * 4;
    TMetafile::RecordedBitmap b;
    b.Dest = Rect(xDest, yDest, xDest + destWidth, yDest + destHeight);
    b.Source = Rect(xSrc, ySrc, xSrc + srcWidth, ySrc + srcHeight);
    b.StretchMode = GetStretchBltMode();
    b.Bits.resize(static_cast<size_t>(checkedSize({stride, rows})));
    // Rows are stored bottom-up, which every reader takes.
    const auto* source = static_cast<const uint8_t*>(bits);
    for (int32_t y = 0; y < rows; ++y) {
        const int32_t stored = h.biHeight < 0 ? rows - 1 - y : y;
        std::memcpy(&b.Bits[static_cast<size_t>(stored) * stride], source + static_cast<int64_t>(y) * stride,
                    static_cast<size_t>(stride));
    }
    const uint32_t colors = bitCount <= 8 ? (h.biClrUsed && h.biClrUsed < (1u << bitCount) ? h.biClrUsed : 1u << bitCount) : 0;
    Writer out;
    out.u32(40), out.i32(h.biWidth), out.i32(rows), out.u16(1), out.u16(bitCount), out.u32(BI_RGB);
    out.u32(static_cast<uint32_t>(b.Bits.size())), out.i32(3780), out.i32(3780), out.u32(colors), out.u32(0);
    for (uint32_t i = 0; i < colors; ++i) {
        const TRGBQuad& q = info.bmiColors[i];
        out.u8(q.rgbBlue), out.u8(q.rgbGreen), out.u8(q.rgbRed), out.u8(0);
    }
    b.Info = std::move(out.bytes);
    metafile_.recorded_.push_back(std::move(b));
    return srcHeight;
}

void InitializeMetafile() {
    TPicture::RegisterFileFormat<TMetafile>("emf", "Enhanced Metafiles");
    TPicture::RegisterFileFormat<TMetafile>("wmf", "Metafiles");
}

void FinalizeMetafile() { TPicture::UnregisterGraphicClass<TMetafile>(); }

}  // namespace host
