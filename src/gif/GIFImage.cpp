#include "gif/GIFImage.h"

#include <algorithm>
#include <cstring>
#include <numeric>

#include "gif/GIFColorReduction.h"
#include "gif/GIFEncoder.h"
#include "platform/DamageReport.h"
#include "platform/ByteOrder.h"
#include "platform/CheckedSize.h"

namespace {

constexpr int MaxColors = 256;

// Progress of one operation: starting now, ending when the scope closes, with 100 after
// success and 0 when an exception is leaving.
class ProgressScope {
public:
    ProgressScope(TGIFImage* image, TObject* sender, const char* message)
        : image_(image), sender_(sender), message_(message), exceptions_(std::uncaught_exceptions()) {
        if (image_) image_->Progress(sender_, psStarting, 0, message_);
    }
    ~ProgressScope() {
        if (!image_) return;
        const bool failing = std::uncaught_exceptions() > exceptions_;
        try {
            image_->Progress(sender_, psEnding, failing ? 0 : 100, message_);
        } catch (...) {
            // A handler's error cannot leave a destructor; the operation's own outcome stands.
        }
    }
    ProgressScope(const ProgressScope&) = delete;
    ProgressScope& operator=(const ProgressScope&) = delete;
    void Running(int percent) {
        if (image_) image_->Progress(sender_, psRunning, percent, message_);
    }

private:
    TGIFImage* image_;
    TObject* sender_;
    std::string message_;
    int exceptions_;
};

void WriteByte(host::TStream& stream, uint8_t value) { stream.WriteBuffer(&value, 1); }

// Text as data sub-blocks: each line in pieces of at most 255 bytes, then one $00.
void WriteText(host::TStream& stream, const TGIFText& text) {
    uint8_t block[256];
    for (const std::string& line : text) {
        for (size_t at = 0; at < line.size(); at += 255) {
            const size_t n = std::min<size_t>(255, line.size() - at);
            block[0] = static_cast<uint8_t>(n);
            std::memcpy(block + 1, line.data() + at, n);
            stream.WriteBuffer(block, static_cast<int64_t>(n + 1));
        }
    }
    WriteByte(stream, 0);
}

// GIF sizes and offsets are 16-bit; a picture that does not fit cannot be written.
uint16_t GIFDimension(int64_t value) {
    if (value < 0 || value > 0xFFFF) throw ELinearBitmap("Invalid bitmap size");
    return static_cast<uint16_t>(value);
}

host::TColor ColorOf(const TGIFColor& c) { return host::RGB(c.Red, c.Green, c.Blue); }
TGIFColor GIFColorOf(host::TColor c) { return {host::GetRValue(c), host::GetGValue(c), host::GetBValue(c)}; }

std::unique_ptr<TGIFExtension> CloneExtension(TGIFExtension& source, TGIFSubImage* subImage) {
    std::unique_ptr<TGIFExtension> copy;
    if (dynamic_cast<TGIFGraphicControlExtension*>(&source))
        copy = std::make_unique<TGIFGraphicControlExtension>(subImage);
    else if (dynamic_cast<TGIFCommentExtension*>(&source))
        copy = std::make_unique<TGIFCommentExtension>(subImage);
    else if (dynamic_cast<TGIFTextExtension*>(&source))
        copy = std::make_unique<TGIFTextExtension>(subImage);
    else if (dynamic_cast<TGIFAppExtNSLoop*>(&source))
        copy = std::make_unique<TGIFAppExtNSLoop>(subImage);
    else if (dynamic_cast<TGIFUnknownAppExtension*>(&source))
        copy = std::make_unique<TGIFUnknownAppExtension>(subImage);
    else
        throw EConvertError(Format("Cannot assign a %s to a %s", source.ClassName(), "TGIFExtension"));
    copy->Assign(source);
    return copy;
}

// The platform stream under a GIF file: the encoders hand out blocks of a few hundred
// bytes, which go to the file in large writes.
class BufferedWriter final : public host::TStream {
public:
    explicit BufferedWriter(host::TStream& target) : target_(target) {}
    int64_t Read(void*, int64_t) override { return 0; }
    int64_t Write(const void* buffer, int64_t count) override {
        if (count <= 0) return 0;
        if (used_ + count > static_cast<int64_t>(sizeof(buffer_))) Flush();
        if (count >= static_cast<int64_t>(sizeof(buffer_))) {
            target_.WriteBuffer(buffer, count);
        } else {
            std::memcpy(buffer_ + used_, buffer, static_cast<size_t>(count));
            used_ += count;
        }
        written_ += count;
        return count;
    }
    int64_t Seek(int64_t, uint16_t) override { return written_; }
    void SetSize(int64_t) override {}
    void Flush() {
        if (used_ == 0) return;
        const int64_t n = used_;
        used_ = 0;
        target_.WriteBuffer(buffer_, n);
    }

private:
    host::TStream& target_;
    uint8_t buffer_[1 << 16];
    int64_t used_ = 0;
    int64_t written_ = 0;
};

}  // namespace

// ---------------------------------------------------------------- colour maps

void TGIFColorMap::Grow(int needed) {
    if (needed < capacity_) return;
    int capacity = needed <= 16 ? 16 : (needed + 31) / 32 * 32;
    capacity = std::min(capacity, MaxColors);
    if (capacity <= capacity_) return;
    auto data = std::make_unique<TGIFColor[]>(static_cast<size_t>(capacity));
    if (count_ > 0) std::memcpy(data.get(), data_.get(), static_cast<size_t>(count_) * sizeof(TGIFColor));
    data_ = std::move(data);
    capacity_ = capacity;
}

host::TColor TGIFColorMap::Colors(int index) {
    if (count_ == 0) throw GIFException("Color table is empty");
    if (index < 0 || index >= count_) {
        ReportWarning(gsWarning, "Invalid color index");
        index = 0;
    }
    return ColorOf(data_[index]);
}

void TGIFColorMap::SetColors(int index, host::TColor color) {
    if (index < 0 || index >= count_) throw GIFException("Invalid color index");
    data_[index] = GIFColorOf(color);
    optimized_ = false;
}

int TGIFColorMap::AddColor(host::TColor color) {
    if (count_ >= MaxColors) throw GIFException("Color table overflow");
    Grow(count_ + 1);
    data_[count_] = GIFColorOf(color);
    const int index = count_++;
    optimized_ = false;
    MapChanged();
    return index;
}

int TGIFColorMap::FindColor(host::TColor color) const {
    const TGIFColor c = GIFColorOf(color);
    auto same = [&](int i) {
        return data_[i].Red == c.Red && data_[i].Green == c.Green && data_[i].Blue == c.Blue;
    };
    if (optimized_) {
        // Most used first: the likely hits come early.
        for (int i = 0; i < count_; ++i)
            if (same(i)) return i;
    } else {
        // Recently added colours are the likely hits.
        for (int i = count_ - 1; i >= 0; --i)
            if (same(i)) return i;
    }
    return -1;
}

int TGIFColorMap::FindOrAddColor(host::TColor color) {
    const int index = FindColor(color);
    return index >= 0 ? index : AddColor(color);
}

void TGIFColorMap::DeleteColor(int index) {
    if (index < 0 || index >= count_) throw GIFException("Invalid color index");
    std::memmove(data_.get() + index, data_.get() + index + 1,
                 static_cast<size_t>(count_ - index - 1) * sizeof(TGIFColor));
    --count_;
    optimized_ = false;
}

void TGIFColorMap::Clear() {
    data_.reset();
    capacity_ = 0;
    count_ = 0;
    optimized_ = false;
}

int TGIFColorMap::ColorBits() const {
    if (count_ == 0) return 0;
    int bits = 1;
    while ((1 << bits) < count_) ++bits;
    return bits;
}

void TGIFColorMap::Truncate(int count) {
    if (count >= 0 && count < count_) count_ = count;
}

void TGIFColorMap::FillFromPalette(host::HPALETTE palette) {
    Clear();
    host::TPaletteEntry entries[MaxColors];
    const int n = host::GetPaletteEntries(palette, 0, MaxColors, entries);
    if (n <= 0) return;
    Grow(n);
    for (int i = 0; i < n; ++i) data_[i] = {entries[i].peRed, entries[i].peGreen, entries[i].peBlue};
    count_ = n;
}

void TGIFColorMap::FillFromColorTable(const host::TRGBQuad* table, int count) {
    Clear();
    count = std::clamp(count, 0, MaxColors);
    if (count == 0) return;
    Grow(count);
    for (int i = 0; i < count; ++i) data_[i] = {table[i].rgbRed, table[i].rgbGreen, table[i].rgbBlue};
    count_ = count;
}

void TGIFColorMap::SetEntries(const TGIFColor* colors, int count) {
    Clear();
    count = std::clamp(count, 0, MaxColors);
    if (count == 0) return;
    Grow(count);
    std::memcpy(data_.get(), colors, static_cast<size_t>(count) * sizeof(TGIFColor));
    count_ = count;
}

host::TPaletteHandle TGIFColorMap::MakePalette() const {
    if (count_ == 0) return nullptr;
    std::vector<host::TPaletteEntry> entries(static_cast<size_t>(count_));
    for (int i = 0; i < count_; ++i) entries[i] = {data_[i].Red, data_[i].Green, data_[i].Blue, 4};
    return host::CreatePalette(entries.data(), count_);
}

void TGIFColorMap::SwapRedBlue() {
    for (int i = 0; i < count_; ++i) std::swap(data_[i].Red, data_[i].Blue);
}

void TGIFColorMap::SaveToStream(host::TStream& stream, int bits) const {
    const int entries = 1 << std::clamp(bits, 0, 8);
    uint8_t table[MaxColors * 3] = {};
    const int n = std::min(count_, entries);
    if (n > 0) std::memcpy(table, data_.get(), static_cast<size_t>(n) * 3);
    stream.WriteBuffer(table, int64_t{entries} * 3);
}

void TGIFColorMap::LoadFromStream(host::TStream& stream, int count) {
    count = std::clamp(count, 0, MaxColors);
    TGIFColor colors[MaxColors];
    if (count > 0) stream.ReadBuffer(colors, int64_t{count} * 3);
    SetEntries(colors, count);
}

void TGIFColorMap::Assign(host::TPersistent& Source) {
    auto* source = dynamic_cast<TGIFColorMap*>(&Source);
    if (!source) {
        host::TPersistent::Assign(Source);
        return;
    }
    if (source == this) return;
    SetEntries(source->data_.get(), source->count_);
    optimized_ = source->optimized_;
}

void TGIFColorMap::SortByUse() {
    if (count_ <= 1) return;
    uint32_t counts[MaxColors] = {};
    BuildHistogram(counts);
    int order[MaxColors];
    std::iota(order, order + count_, 0);
    std::stable_sort(order, order + count_, [&](int a, int b) { return counts[a] > counts[b]; });
    optimized_ = true;
    bool changed = false;
    for (int i = 0; i < count_; ++i) changed |= order[i] != i;
    if (!changed) return;
    uint8_t newIndex[MaxColors];
    std::iota(newIndex, newIndex + MaxColors, 0);
    for (int i = 0; i < count_; ++i) newIndex[order[i]] = static_cast<uint8_t>(i);
    MapImages(newIndex);
    TGIFColor sorted[MaxColors];
    int used = count_;
    for (int i = 0; i < count_; ++i) {
        sorted[i] = data_[order[i]];
        if (counts[order[i]] == 0 && used == count_) used = i;
    }
    std::memcpy(data_.get(), sorted, static_cast<size_t>(count_) * sizeof(TGIFColor));
    count_ = used;
}

namespace {

void CountPixels(const TGIFSubImage& frame, uint32_t counts[256]) {
    const uint8_t* p = frame.Data();
    if (!p) return;
    for (int64_t i = 0, n = frame.DataSize(); i < n; ++i) ++counts[p[i]];
}

void RemapPixels(TGIFSubImage& frame, const uint8_t newIndex[256]) {
    uint8_t* p = frame.Data();
    if (p)
        for (int64_t i = 0, n = frame.DataSize(); i < n; ++i) p[i] = newIndex[p[i]];
    TGIFExtensionList& extensions = frame.Extensions();
    for (int i = 0; i < extensions.Count(); ++i)
        if (auto* control = dynamic_cast<TGIFGraphicControlExtension*>(extensions.Items(i)))
            control->Block().TransparentColorIndex = newIndex[control->Block().TransparentColorIndex];
}

}  // namespace

void TGIFGlobalColorMap::ReportWarning(TGIFSeverity severity, const std::string& message) {
    if (header_) header_->ReportWarning(severity, message);
}

void TGIFGlobalColorMap::BuildHistogram(uint32_t counts[256]) {
    if (!header_ || !header_->Image()) return;
    TGIFImageList& frames = header_->Image()->Images();
    for (int i = 0; i < frames.Count(); ++i)
        if (&frames.SubImage(i)->EffectiveColorMap() == this) CountPixels(*frames.SubImage(i), counts);
}

void TGIFGlobalColorMap::MapImages(const uint8_t newIndex[256]) {
    if (!header_ || !header_->Image()) return;
    TGIFImageList& frames = header_->Image()->Images();
    for (int i = 0; i < frames.Count(); ++i)
        if (&frames.SubImage(i)->EffectiveColorMap() == this) RemapPixels(*frames.SubImage(i), newIndex);
}

void TGIFLocalColorMap::ReportWarning(TGIFSeverity severity, const std::string& message) {
    if (subImage_) subImage_->ReportWarning(severity, message);
}

void TGIFLocalColorMap::BuildHistogram(uint32_t counts[256]) {
    if (subImage_) CountPixels(*subImage_, counts);
}

void TGIFLocalColorMap::MapImages(const uint8_t newIndex[256]) {
    if (subImage_) RemapPixels(*subImage_, newIndex);
}

// ---------------------------------------------------------------- items and lists

void TGIFItem::ReportWarning(TGIFSeverity severity, const std::string& message) {
    if (image_) image_->Warning(this, severity, message);
}

void TGIFItem::SaveToFile(const std::string& fileName) {
    host::TFileStream file(fileName, host::fmCreate);
    BufferedWriter stream(file);
    SaveToStream(stream);
    stream.Flush();
    file.Close();
}

void TGIFItem::LoadFromFile(const std::string& fileName) {
    host::TFileStream stream(fileName, host::fmOpenRead);
    LoadFromStream(stream);
}

int TGIFList::Add(std::unique_ptr<TGIFItem> item) {
    items_.push_back(std::move(item));
    return Count() - 1;
}

void TGIFList::Insert(int index, std::unique_ptr<TGIFItem> item) {
    index = std::clamp(index, 0, Count());
    items_.insert(items_.begin() + index, std::move(item));
}

void TGIFList::Delete(int index) { items_.erase(items_.begin() + static_cast<ptrdiff_t>(IndexCheck(index))); }

std::unique_ptr<TGIFItem> TGIFList::Extract(int index) {
    auto item = std::move(items_.at(static_cast<size_t>(index)));
    items_.erase(items_.begin() + index);
    return item;
}

int TGIFList::IndexOf(const TGIFItem* item) const {
    for (int i = 0; i < Count(); ++i)
        if (items_[static_cast<size_t>(i)].get() == item) return i;
    return -1;
}

void TGIFList::Clear() {
    // Last first, so that nothing outlives what it refers to.
    while (!items_.empty()) items_.pop_back();
}

int TGIFList::IndexCheck(int index) const {
    if (index < 0 || index >= Count()) throw GIFException("List index out of bounds");
    return index;
}

void TGIFList::ReportWarning(TGIFSeverity severity, const std::string& message) {
    if (image_) image_->Warning(this, severity, message);
}

void TGIFList::SaveToStream(host::TStream& stream) {
    for (auto& item : items_) item->SaveToStream(stream);
}

TGIFSubImage* TGIFImageList::SubImage(int index) const { return static_cast<TGIFSubImage*>(Items(index)); }

void TGIFImageList::SaveToStream(host::TStream& stream) {
    const int count = Count();
    for (int i = 0; i < count; ++i) {
        Items(i)->SaveToStream(stream);
        if (Image()) Image()->Progress(Image(), psRunning, (i + 1) * 100 / count, "Saving...");
    }
}

TGIFExtension* TGIFExtensionList::Extension(int index) const { return static_cast<TGIFExtension*>(Items(index)); }

// ---------------------------------------------------------------- header

TGIFHeader::TGIFHeader(TGIFImage* image) : TGIFItem(image), colorMap_(std::make_unique<TGIFGlobalColorMap>(this)) {}

TGIFHeader::~TGIFHeader() = default;

void TGIFHeader::Clear() {
    descriptor_ = TLogicalScreenDescriptor();
    colorMap_->Clear();
}

void TGIFHeader::Prepare() {
    uint8_t packed = 0;
    const bool global = colorMap_->Count() > 0;
    int resolution = colorMap_->ColorBits() - 1;
    int bits = colorMap_->ColorBits();
    if (Image()) {
        resolution = Image()->ScreenColorResolution();
        bits = Image()->ImageColorBits();
    }
    if (global) packed |= lsdGlobalColorTable;
    packed |= static_cast<uint8_t>((resolution & 7) << 4);
    if (global && colorMap_->Optimized()) packed |= lsdColorSorted;
    packed |= static_cast<uint8_t>((bits - 1) & 7);
    descriptor_.PackedFields = packed;
}

void TGIFHeader::Assign(host::TPersistent& Source) {
    auto* source = dynamic_cast<TGIFHeader*>(&Source);
    if (!source) {
        TGIFItem::Assign(Source);
        return;
    }
    if (source == this) return;
    descriptor_ = source->descriptor_;
    colorMap_->Assign(*source->colorMap_);
    version_ = source->version_;
}

void TGIFHeader::SaveToStream(host::TStream& stream) {
    const TGIFVersion version = Image() ? Image()->RequiredVersion() : gv87a;
    if (version == gvUnknown) throw GIFException("Unsupported GIF version");
    uint8_t bytes[13];
    std::memcpy(bytes, version == gv87a ? "GIF87a" : "GIF89a", 6);
    Prepare();
    host::WriteLE16(bytes + 6, descriptor_.ScreenWidth);
    host::WriteLE16(bytes + 8, descriptor_.ScreenHeight);
    bytes[10] = descriptor_.PackedFields;
    bytes[11] = descriptor_.BackgroundColorIndex;
    bytes[12] = descriptor_.AspectRatio;
    stream.WriteBuffer(bytes, sizeof(bytes));
    if (descriptor_.PackedFields & lsdGlobalColorTable)
        colorMap_->SaveToStream(stream, (descriptor_.PackedFields & lsdColorTableSize) + 1);
}

// ---------------------------------------------------------------- frames

TGIFSubImage::TGIFSubImage(TGIFImage* image)
    : TGIFItem(image),
      extensions_(std::make_unique<TGIFExtensionList>(image, this)),
      colorMap_(std::make_unique<TGIFLocalColorMap>(this)) {}

TGIFSubImage::~TGIFSubImage() {
    graphicControlExtension_ = nullptr;
    extensions_->Clear();
}

TGIFColorMap& TGIFSubImage::EffectiveColorMap() {
    if (colorMap_->Count() > 0) return *colorMap_;
    if (Image() && Image()->GlobalColorMap().Count() > 0) return Image()->GlobalColorMap();
    return *colorMap_;
}

void TGIFSubImage::SetInterlaced(bool value) {
    if (value)
        descriptor_.PackedFields |= idInterlaced;
    else
        descriptor_.PackedFields &= static_cast<uint8_t>(~idInterlaced);
}

void TGIFSubImage::SetFrameBounds(int32_t left, int32_t top, int32_t width, int32_t height) {
    const uint16_t newLeft = GIFDimension(left), newTop = GIFDimension(top);
    const uint16_t newWidth = GIFDimension(width), newHeight = GIFDimension(height);
    const uint16_t right = GIFDimension(int64_t{newLeft} + newWidth);
    const uint16_t bottom = GIFDimension(int64_t{newTop} + newHeight);
    const bool resized = newWidth != descriptor_.Width || newHeight != descriptor_.Height;
    descriptor_.Left = newLeft;
    descriptor_.Top = newTop;
    descriptor_.Width = newWidth;
    descriptor_.Height = newHeight;
    if (resized) {
        FreePixels();
        if (newWidth > 0 && newHeight > 0) AllocatePixels();
    }
    if (!Image()) return;
    TGIFHeader& header = Image()->Header();
    bool exceeded = false;
    if (right > header.Width()) {
        if (header.Width() > 0) {
            ReportWarning(gsWarning, "Image width too small for contained frames");
            exceeded = true;
        }
        header.SetWidth(right);
    }
    if (bottom > header.Height()) {
        if (header.Height() > 0) {
            ReportWarning(gsWarning, "Image height too small for contained frames");
            exceeded = true;
        }
        header.SetHeight(bottom);
    }
    if (exceeded) ReportWarning(gsWarning, "Image exceeds Logical Screen size");
}

void TGIFSubImage::AllocatePixels() {
    CheckImageLimits(descriptor_.Width, descriptor_.Height);
    const int64_t size = checkedSize({descriptor_.Width, descriptor_.Height});
    data_.reset();
    dataSize_ = 0;
    data_ = host::AllocatePixels(size);
    dataSize_ = size;
}

host::PixelBuffer TGIFSubImage::ReleasePixels() {
    dataSize_ = 0;
    return std::move(data_);
}

void TGIFSubImage::FreePixels() {
    data_.reset();
    dataSize_ = 0;
}

uint8_t* TGIFSubImage::PixelRow(int32_t y) {
    if (y < 0 || y >= Height() || !data_) throw GIFException("Invalid pixel coordinates");
    return data_.get() + int64_t{y} * Width();
}

uint8_t TGIFSubImage::Pixels(int32_t x, int32_t y) {
    if (x < 0 || x >= Width()) throw GIFException("Invalid pixel coordinates");
    return PixelRow(y)[x];
}

void TGIFSubImage::SetPixels(int32_t x, int32_t y, uint8_t value) {
    if (x < 0 || x >= Width()) throw GIFException("Invalid pixel coordinates");
    PixelRow(y)[x] = value;
}

void TGIFSubImage::Clear() {
    graphicControlExtension_ = nullptr;
    extensions_->Clear();
    colorMap_->Clear();
    FreePixels();
    descriptor_.Width = 0;
    descriptor_.Height = 0;
    transparent_ = false;
}

TGIFVersion TGIFSubImage::RequiredVersion() const {
    if (colorMap_->Optimized() || extensions_->Count() > 0) return gv89a;
    return gv87a;
}

void TGIFSubImage::Assign(host::TPersistent& Source) {
    if (&Source == this) return;
    if (auto* bitmap = dynamic_cast<host::TBitmap*>(&Source)) {
        AssignBitmap(*bitmap);
    } else if (auto* frame = dynamic_cast<TGIFSubImage*>(&Source)) {
        AssignFrame(*frame);
    } else {
        TGIFItem::Assign(Source);
    }
}

void TGIFSubImage::AssignFrame(const TGIFSubImage& source) {
    Clear();
    SetFrameBounds(source.Left(), source.Top(), source.Width(), source.Height());
    descriptor_.PackedFields = source.descriptor_.PackedFields;
    colorMap_->Assign(*source.colorMap_);
    if (source.data_ && data_) std::memcpy(data_.get(), source.data_.get(), static_cast<size_t>(dataSize_));
    transparent_ = source.transparent_;
    const TGIFExtensionList& extensions = source.Extensions();
    for (int i = 0; i < extensions.Count(); ++i) extensions_->Add(CloneExtension(*extensions.Extension(i), this));
}

namespace {

int HighestIndex(const uint8_t* pixels, int64_t count) {
    return count > 0 ? *std::max_element(pixels, pixels + count) : 0;
}

// A bitmap's colour table comes padded to 256 entries with black; entries past both the
// last colour that is not black and the highest index in use would only lengthen the file.
int EntriesInUse(const host::TRGBQuad* table, int count, int highestIndex) {
    auto isBlack = [](const host::TRGBQuad& q) { return q.rgbRed == 0 && q.rgbGreen == 0 && q.rgbBlue == 0; };
    while (count > highestIndex + 1 && isBlack(table[count - 1])) --count;
    return count;
}

}  // namespace

void TGIFSubImage::AssignBitmap(host::TBitmap& source) {
    Clear();
    if (source.Empty()) return;
    const int32_t width = source.Width(), height = source.Height();
    SetFrameBounds(0, 0, width, height);

    // Indexed bitmaps keep their indices; any other depth goes through colour reduction.
    std::unique_ptr<host::TBitmap> reduced;
    host::TBitmap* bitmap = &source;
    host::TPixelFormat format = source.PixelFormat();
    if (format != host::pf1bit && format != host::pf4bit && format != host::pf8bit) {
        const uint8_t method = Image() ? Image()->ReductionMethod : GIFDefaultReductionMethod;
        const uint8_t dither = Image() ? Image()->DitherMethod : GIFDefaultDitherMethod;
        const int32_t depth = Image() ? Image()->ReductionDepth : GIFDefaultReductionDepth;
        reduced = ReduceToPalette(source, method, dither, nullptr, depth);
        bitmap = reduced.get();
        format = bitmap->PixelFormat();
    }

    if (!data_) AllocatePixels();
    ProgressScope progress(Image(), this, "Converting...");
    // A reduction that gave up leaves an empty bitmap: the frame then stays blank.
    const int32_t rows = std::min(height, bitmap->Height());
    const int32_t columns = std::min(width, bitmap->Width());
    auto report = [&](int32_t y) {
        if (y % 32 == 0) progress.Running(static_cast<int>(int64_t{y} * 100 / height));
    };

    if (format == host::pf8bit) {
        for (int32_t y = 0; y < rows; ++y) {
            report(y);
            std::memcpy(data_.get() + int64_t{y} * width, bitmap->ScanLine(y), static_cast<size_t>(columns));
        }
        host::TRGBQuad table[MaxColors];
        const int n = bitmap->GetDIBColorTable(0, MaxColors, table);
        if (n > 0)
            colorMap_->FillFromColorTable(table, EntriesInUse(table, n, HighestIndex(data_.get(), DataSize())));
        else
            colorMap_->FillFromPalette(bitmap->Palette());
    } else if (format == host::pf4bit) {
        colorMap_->FillFromPalette(bitmap->Palette());
        for (int32_t y = 0; y < rows; ++y) {
            report(y);
            const uint8_t* line = bitmap->ScanLine(y);
            uint8_t* out = data_.get() + int64_t{y} * width;
            for (int32_t x = 0; x < columns; ++x) out[x] = (x & 1) ? line[x >> 1] & 0x0F : line[x >> 1] >> 4;
        }
    } else if (format == host::pf1bit) {
        colorMap_->FillFromPalette(bitmap->Palette());
        for (int32_t y = 0; y < rows; ++y) {
            report(y);
            const uint8_t* line = bitmap->ScanLine(y);
            uint8_t* out = data_.get() + int64_t{y} * width;
            for (int32_t x = 0; x < columns; ++x) out[x] = (line[x >> 3] >> (7 - (x & 7))) & 1;
        }
    } else if (rows > 0) {
        // Any other depth is taken as 24 bits. Colours are gathered blue first, as the scan
        // line holds them, and put the right way round once at the end.
        if (bitmap->PixelFormat() != host::pf24bit) bitmap->SetPixelFormat(host::pf24bit);
        struct CacheEntry {
            host::TColor color = -1;
            int index = 0;
        } cache[8];
        int next = 0;
        for (int32_t y = 0; y < rows; ++y) {
            report(y);
            const uint8_t* line = bitmap->ScanLine(y);
            uint8_t* out = data_.get() + int64_t{y} * width;
            for (int32_t x = 0; x < columns; ++x) {
                const host::TColor color = line[3 * x] | (line[3 * x + 1] << 8) | (line[3 * x + 2] << 16);
                int index = -1;
                for (int i = 0, slot = next; i < 8; ++i) {
                    slot = (slot + 7) & 7;
                    if (cache[slot].color == color) {
                        index = cache[slot].index;
                        break;
                    }
                }
                if (index < 0) {
                    index = colorMap_->FindOrAddColor(color);
                    cache[next] = {color, index};
                    next = (next + 1) & 7;
                }
                out[x] = static_cast<uint8_t>(index);
            }
        }
        colorMap_->SwapRedBlue();
    }
    reduced.reset();

    if (source.Transparent()) ApplyMask(*source.CreateMask());
}

void TGIFSubImage::ApplyMask(const host::TBitmap& mask) {
    colorMap_->SortByUse();
    const int count = colorMap_->Count();
    if (count < 1 || count > 255) return;
    const int transparentIndex = colorMap_->AddColor(host::clBlack);
    bool any = false;
    const int32_t rows = std::min(Height(), mask.Height());
    const int32_t columns = std::min(Width(), mask.Width());
    for (int32_t y = 0; y < rows; ++y) {
        const uint8_t* line = mask.ScanLine(y);
        uint8_t* out = data_.get() + int64_t{y} * Width();
        for (int32_t x = 0; x < columns; ++x) {
            if ((line[x >> 3] >> (7 - (x & 7))) & 1) {
                out[x] = static_cast<uint8_t>(transparentIndex);
                any = true;
            }
        }
    }
    if (!any) {
        colorMap_->DeleteColor(transparentIndex);
        return;
    }
    auto control = std::make_unique<TGIFGraphicControlExtension>(this);
    TGIFGraphicControlExtension& extension = *control;
    extensions_->Add(std::move(control));
    extension.SetTransparent(true);
    extension.SetTransparentColorIndex(transparentIndex);
    transparent_ = true;
}

void TGIFSubImage::SaveToStream(host::TStream& stream) {
    extensions_->SaveToStream(stream);
    if (Empty()) return;

    const int bits = colorMap_->ColorBits();
    if (colorMap_->Count() > 0) {
        descriptor_.PackedFields = static_cast<uint8_t>(idLocalColorTable | (colorMap_->Optimized() ? idSort : 0) |
                                                        ((bits - 1) & idColorTableSize));
    } else {
        descriptor_.PackedFields &= idInterlaced | idReserved;
    }
    uint8_t bytes[10];
    bytes[0] = bsImageDescriptor;
    host::WriteLE16(bytes + 1, descriptor_.Left);
    host::WriteLE16(bytes + 3, descriptor_.Top);
    host::WriteLE16(bytes + 5, descriptor_.Width);
    host::WriteLE16(bytes + 7, descriptor_.Height);
    bytes[9] = descriptor_.PackedFields;
    stream.WriteBuffer(bytes, sizeof(bytes));

    int encoderBits, colorCount;
    if (colorMap_->Count() > 0) {
        colorMap_->SaveToStream(stream, bits);
        encoderBits = bits;
        colorCount = colorMap_->Count();
    } else {
        encoderBits = Image() ? Image()->ImageColorBits() : 0;
        colorCount = 1 << encoderBits;
    }
    auto encoder = CreateGIFEncoder(Image() ? Image()->EncoderKind : GIFDefaultEncoderKind);
    if (Image()) encoder->WarningHandler = Image()->WarningHandler;
    encoder->EncodeImage(stream, encoderBits, colorCount, data_.get(), Interlaced(), Height(), Width());
}

// ---------------------------------------------------------------- trailer and extensions

void TGIFTrailer::SaveToStream(host::TStream& stream) { WriteByte(stream, bsTrailer); }

TGIFExtension::TGIFExtension(TGIFSubImage* subImage)
    : TGIFItem(subImage ? subImage->Image() : nullptr), subImage_(subImage) {}

void TGIFExtension::SaveToStream(host::TStream& stream) {
    const uint8_t bytes[2] = {bsExtensionIntroducer, ExtensionType()};
    stream.WriteBuffer(bytes, 2);
}

TGIFGraphicControlExtension::TGIFGraphicControlExtension(TGIFSubImage* subImage) : TGIFExtension(subImage) {
    if (subImage && !subImage->GraphicControlExtension()) subImage->SetGraphicControlExtension(this);
}

TGIFGraphicControlExtension::~TGIFGraphicControlExtension() {
    if (SubImage() && SubImage()->GraphicControlExtension() == this) SubImage()->SetGraphicControlExtension(nullptr);
}

void TGIFGraphicControlExtension::SetTransparent(bool value) {
    if (value)
        block_.PackedFields |= 0x01;
    else
        block_.PackedFields &= static_cast<uint8_t>(~0x01);
}

void TGIFGraphicControlExtension::SetTransparentColorIndex(int index) {
    if (SubImage()) {
        const int count = SubImage()->EffectiveColorMap().Count();
        if (count != 0 && (index < 0 || index >= count)) {
            ReportWarning(gsWarning, "Invalid color index");
            index = 0;
        }
    }
    block_.TransparentColorIndex = static_cast<uint8_t>(index);
}

void TGIFGraphicControlExtension::SetUserInput(bool value) {
    if (value)
        block_.PackedFields |= 0x02;
    else
        block_.PackedFields &= static_cast<uint8_t>(~0x02);
}

void TGIFGraphicControlExtension::SetDisposal(TDisposalMethod value) {
    block_.PackedFields = static_cast<uint8_t>((block_.PackedFields & ~0x1C) | ((value & 7) << 2));
}

void TGIFGraphicControlExtension::Assign(host::TPersistent& Source) {
    auto* source = dynamic_cast<TGIFGraphicControlExtension*>(&Source);
    if (!source) {
        TGIFExtension::Assign(Source);
        return;
    }
    block_ = source->block_;
}

void TGIFGraphicControlExtension::SaveToStream(host::TStream& stream) {
    TGIFExtension::SaveToStream(stream);
    uint8_t bytes[6] = {block_.BlockSize, block_.PackedFields, 0, 0, block_.TransparentColorIndex,
                        block_.Terminator};
    host::WriteLE16(bytes + 2, block_.DelayTime);
    stream.WriteBuffer(bytes, sizeof(bytes));
}

void TGIFCommentExtension::Assign(host::TPersistent& Source) {
    auto* source = dynamic_cast<TGIFCommentExtension*>(&Source);
    if (!source) {
        TGIFExtension::Assign(Source);
        return;
    }
    text_ = source->text_;
}

void TGIFCommentExtension::SaveToStream(host::TStream& stream) {
    TGIFExtension::SaveToStream(stream);
    WriteText(stream, text_);
}

void TGIFTextExtension::Assign(host::TPersistent& Source) {
    auto* source = dynamic_cast<TGIFTextExtension*>(&Source);
    if (!source) {
        TGIFExtension::Assign(Source);
        return;
    }
    block_ = source->block_;
    text_ = source->text_;
}

void TGIFTextExtension::SaveToStream(host::TStream& stream) {
    TGIFExtension::SaveToStream(stream);
    uint8_t bytes[13];
    bytes[0] = block_.BlockSize;
    host::WriteLE16(bytes + 1, block_.Left);
    host::WriteLE16(bytes + 3, block_.Top);
    host::WriteLE16(bytes + 5, block_.Width);
    host::WriteLE16(bytes + 7, block_.Height);
    bytes[9] = block_.CellWidth;
    bytes[10] = block_.CellHeight;
    bytes[11] = block_.TextFGColorIndex;
    bytes[12] = block_.TextBGColorIndex;
    stream.WriteBuffer(bytes, sizeof(bytes));
    WriteText(stream, text_);
}

void TGIFApplicationExtension::SetIdentifier(const std::string& elevenBytes) {
    char bytes[11] = {};
    std::memcpy(bytes, elevenBytes.data(), std::min<size_t>(elevenBytes.size(), sizeof(bytes)));
    std::memcpy(identifier_.Identifier, bytes, 8);
    std::memcpy(identifier_.Authentication, bytes + 8, 3);
}

void TGIFApplicationExtension::SaveToStream(host::TStream& stream) {
    TGIFExtension::SaveToStream(stream);
    WriteByte(stream, 11);
    stream.WriteBuffer(&identifier_, sizeof(identifier_));
    SaveData(stream);
    WriteByte(stream, 0);
}

void TGIFUnknownAppExtension::Assign(host::TPersistent& Source) {
    auto* source = dynamic_cast<TGIFUnknownAppExtension*>(&Source);
    if (!source) {
        TGIFApplicationExtension::Assign(Source);
        return;
    }
    Identifier() = source->Identifier();
    blocks_ = source->blocks_;
}

void TGIFUnknownAppExtension::SaveData(host::TStream& stream) {
    for (const TGIFBlock& block : blocks_) {
        // A block is at most 255 bytes; a longer one goes out as several.
        for (size_t at = 0; at < block.Data.size(); at += 255) {
            const size_t n = std::min<size_t>(255, block.Data.size() - at);
            WriteByte(stream, static_cast<uint8_t>(n));
            stream.WriteBuffer(block.Data.data() + at, static_cast<int64_t>(n));
        }
    }
}

TGIFAppExtNSLoop::TGIFAppExtNSLoop(TGIFSubImage* subImage) : TGIFApplicationExtension(subImage) {
    SetIdentifier("NETSCAPE2.0");
}

void TGIFAppExtNSLoop::Assign(host::TPersistent& Source) {
    auto* source = dynamic_cast<TGIFAppExtNSLoop*>(&Source);
    if (!source) {
        TGIFApplicationExtension::Assign(Source);
        return;
    }
    Identifier() = source->Identifier();
    loops_ = source->loops_;
    bufferSize_ = source->bufferSize_;
}

void TGIFAppExtNSLoop::SaveData(host::TStream& stream) {
    uint8_t loop[4] = {3, 1, 0, 0};
    host::WriteLE16(loop + 2, loops_);
    stream.WriteBuffer(loop, sizeof(loop));
    if (bufferSize_ != 0) {
        uint8_t buffer[6] = {5, 2};
        host::WriteLE32(buffer + 2, bufferSize_);
        stream.WriteBuffer(buffer, sizeof(buffer));
    }
}

// ---------------------------------------------------------------- the image

TGIFImage::TGIFImage()
    : header_(std::make_unique<TGIFHeader>(this)), images_(std::make_unique<TGIFImageList>(this)) {}

TGIFImage::~TGIFImage() {
    // Frames refer to the header's map: they go first.
    images_->Clear();
}

void TGIFImage::SetWidth(int32_t value) { header_->SetWidth(GIFDimension(value)); }
void TGIFImage::SetHeight(int32_t value) { header_->SetHeight(GIFDimension(value)); }

void TGIFImage::Clear() {
    images_->Clear();
    header_->ColorMap().Clear();
    header_->SetWidth(0);
    header_->SetHeight(0);
    header_->Prepare();
}

int TGIFImage::Add(host::TPersistent& source) {
    auto frame = std::make_unique<TGIFSubImage>(this);
    frame->Assign(source);
    return images_->Add(std::move(frame));
}

bool TGIFImage::HasImage() const {
    for (int i = 0; i < images_->Count(); ++i)
        if (images_->SubImage(i)->Data()) return true;
    return false;
}

TGIFVersion TGIFImage::RequiredVersion() const {
    if (images_->Count() == 0) return gvUnknown;
    TGIFVersion version = gv87a;
    for (int i = 0; i < images_->Count(); ++i) version = std::max(version, images_->SubImage(i)->RequiredVersion());
    return version;
}

int TGIFImage::ImageColorBits() const {
    int bits = header_->ColorMap().ColorBits();
    for (int i = 0; i < images_->Count(); ++i) bits = std::max(bits, images_->SubImage(i)->ColorMap().ColorBits());
    return bits;
}

int TGIFImage::ScreenColorResolution() const {
    int resolution = header_->ColorMap().ColorBits() - 1;
    for (int i = 0; i < images_->Count(); ++i)
        resolution = std::max(resolution, images_->SubImage(i)->ColorMap().ColorBits() - 1);
    return resolution;
}

void TGIFImage::Assign(host::TPersistent& Source) {
    if (&Source == this) return;
    if (auto* source = dynamic_cast<TGIFImage*>(&Source)) {
        Clear();
        header_->Assign(source->Header());
        ReductionMethod = source->ReductionMethod;
        DitherMethod = source->DitherMethod;
        DrawOptions = source->DrawOptions;
        ThreadPriority = source->ThreadPriority;
        AnimationSpeed = source->AnimationSpeed;
        WarningHandler = source->WarningHandler;
        OnProgress = source->OnProgress;
        ProgressScope progress(this, this, "Copying...");
        const int count = source->Images().Count();
        for (int i = 0; i < count; ++i) {
            auto frame = std::make_unique<TGIFSubImage>(this);
            frame->Assign(*source->Images().SubImage(i));
            images_->Add(std::move(frame));
            progress.Running((i + 1) * 100 / count);
        }
        return;
    }
    Clear();
    auto frame = std::make_unique<TGIFSubImage>(this);
    try {
        frame->Assign(Source);
    } catch (const EConvertError&) {
        frame.reset();
        host::TGraphic::Assign(Source);
        return;
    }
    images_->Add(std::move(frame));
}

namespace {

// The first frame that holds an image (frames of extensions alone come before it in some
// files), or the first frame when none does.
TGIFSubImage& FirstImage(TGIFImageList& frames) {
    for (int i = 0; i < frames.Count(); ++i)
        if (frames.SubImage(i)->Data()) return *frames.SubImage(i);
    return *frames.SubImage(0);
}

// The colours of a map as palette entries; one black entry stands in for an empty map.
std::vector<host::TPaletteEntry> PaletteEntries(TGIFColorMap& map) {
    std::vector<host::TPaletteEntry> entries(static_cast<size_t>(std::max(map.Count(), 1)));
    for (int i = 0; i < map.Count(); ++i) {
        const host::TColor c = map.Colors(i);
        entries[static_cast<size_t>(i)] = {host::GetRValue(c), host::GetGValue(c), host::GetBValue(c), 0};
    }
    return entries;
}

// The palette index that paints the logical screen where the frame does not reach: the
// background colour of the global table, added to the palette when the frame's colours lack
// it (the nearest of them when the palette is full); index 0 when the global table has none.
uint8_t BackgroundIndex(TGIFHeader& header, std::vector<host::TPaletteEntry>& palette) {
    TGIFColorMap& global = header.ColorMap();
    if (header.BackgroundColorIndex() >= global.Count()) return 0;
    const host::TColor c = global.Colors(header.BackgroundColorIndex());
    const host::TPaletteEntry wanted{host::GetRValue(c), host::GetGValue(c), host::GetBValue(c), 0};
    for (size_t i = 0; i < palette.size(); ++i)
        if (palette[i].peRed == wanted.peRed && palette[i].peGreen == wanted.peGreen &&
            palette[i].peBlue == wanted.peBlue)
            return static_cast<uint8_t>(i);
    if (palette.size() < 256) {
        palette.push_back(wanted);
        return static_cast<uint8_t>(palette.size() - 1);
    }
    const host::TPaletteHandle full = host::CreatePalette(palette.data(), static_cast<int>(palette.size()));
    return static_cast<uint8_t>(host::GetNearestPaletteIndex(full.get(), c));
}

}  // namespace

void TGIFImage::AssignTo(host::TPersistent& Dest) {
    auto* bitmap = dynamic_cast<host::TBitmap*>(&Dest);
    if (!bitmap || images_->Count() == 0) {
        host::TGraphic::AssignTo(Dest);
        return;
    }
    ShowFirstFrame(*bitmap, false);
}

void TGIFImage::HandOverTo(host::TBitmap& bitmap) {
    if (images_->Count() == 0) {
        CopyToBitmap(bitmap);
        return;
    }
    ShowFirstFrame(bitmap, true);
}

void TGIFImage::ShowFirstFrame(host::TBitmap& bitmap, bool moveRows) {
    // The first frame as an 8-bit bitmap with its colours, placed on the logical screen and
    // cut where it reaches beyond it; a screen without a size, or one whose background alone
    // would exceed the file's allowance, gives the frame alone.
    TGIFSubImage& frame = FirstImage(*images_);
    const bool onScreen = header_->Width() > 0 && header_->Height() > 0 &&
                          int64_t{header_->Width()} * header_->Height() <=
                              int64_t{frame.Width()} * frame.Height() + GIFPixelAllowance;
    const int32_t width = onScreen ? header_->Width() : frame.Width();
    const int32_t height = onScreen ? header_->Height() : frame.Height();
    const int32_t left = onScreen ? frame.Left() : 0, top = onScreen ? frame.Top() : 0;
    std::vector<host::TPaletteEntry> entries = PaletteEntries(frame.EffectiveColorMap());
    const bool fillsScreen = left == 0 && top == 0 && frame.Width() == width && frame.Height() == height;
    host::TBitmap result;
    const bool insideScreen = frame.Width() <= width - left && frame.Height() <= height - top;
    if (moveRows && fillsScreen && frame.Data()) {
        // The frame's rows are the bitmap's rows as they are: they change hands.
        result.AdoptPixels(host::pf8bit, width, height, frame.ReleasePixels());
    } else if (moveRows && insideScreen && frame.Data()) {
        // The frame's block grows into the screen's and its rows move to their places in it,
        // last first (each lands at or after where it was, behind the rows still to move),
        // so the frame and the screen are never held side by side.
        const int32_t fw = frame.Width(), fh = frame.Height();
        host::PixelBuffer rows = host::GrowPixels(frame.ReleasePixels(), int64_t{fw} * fh, int64_t{width} * height);
        uint8_t* p = rows.get();
        for (int32_t y = fh - 1; y >= 0; --y)
            std::memmove(p + (int64_t{top} + y) * width + left, p + int64_t{y} * fw, static_cast<size_t>(fw));
        const uint8_t background = BackgroundIndex(*header_, entries);
        for (int32_t y = 0; y < height; ++y) {
            uint8_t* row = p + int64_t{y} * width;
            if (y < top || y >= top + fh) {
                std::memset(row, background, static_cast<size_t>(width));
                continue;
            }
            std::memset(row, background, static_cast<size_t>(left));
            std::memset(row + left + fw, background, static_cast<size_t>(width - left - fw));
        }
        result.AdoptPixels(host::pf8bit, width, height, std::move(rows));
    } else {
        result.NewImage(host::pf8bit, width, height);
        if (!fillsScreen) {
            const uint8_t background = BackgroundIndex(*header_, entries);
            for (int32_t y = 0; y < height; ++y) std::memset(result.ScanLine(y), background, static_cast<size_t>(width));
        }
        const int32_t shownWidth = std::clamp(width - left, 0, frame.Width());
        const int32_t shownHeight = std::clamp(height - top, 0, frame.Height());
        if (frame.Data())
            for (int32_t y = 0; y < shownHeight; ++y)
                std::memcpy(result.ScanLine(top + y) + left, frame.Data() + int64_t{y} * frame.Width(),
                            static_cast<size_t>(shownWidth));
    }
    const host::TPaletteHandle palette = host::CreatePalette(entries.data(), static_cast<int>(entries.size()));
    result.SetPalette(palette.get());
    bitmap.TakeOver(result);
}

void TGIFImage::SaveToStream(host::TStream& stream) {
    ProgressScope progress(this, this, "Saving...");
    header_->SaveToStream(stream);
    images_->SaveToStream(stream);
    WriteByte(stream, bsTrailer);
}

void TGIFImage::SaveToFile(const std::string& fileName) {
    host::TFileStream file(fileName, host::fmCreate);
    BufferedWriter stream(file);
    SaveToStream(stream);
    stream.Flush();
    file.Close();
}

void TGIFImage::Draw(host::TCanvas& canvas, const host::TRect& rect) {
    if (images_->Count() == 0) return;
    host::TBitmap picture;
    AssignTo(picture);
    canvas.StretchBitmap(rect, picture, host::Rect(0, 0, picture.Width(), picture.Height()), false);
}

void TGIFImage::Progress(TObject* sender, TProgressStage stage, int percent, const std::string& message) {
    if (OnProgress) OnProgress(sender, stage, percent, message);
}

void TGIFImage::Warning(TObject* sender, TGIFSeverity severity, const std::string& message) {
    // What the reader carried on past is damage the front end must not keep quiet about.
    if (severity >= gsWarning) host::ReportDamage("GIF: " + message);
    if (WarningHandler) WarningHandler(sender, severity, message);
}

void InitializeGIFImage() {
    static bool registered = false;
    if (registered) return;
    registered = true;
    // The picture shows the first frame alone, so it reads no other.
    host::TPicture::RegisterFileFormat(
        "GIF", "GIF Image",
        [] {
            auto image = std::make_unique<TGIFImage>();
            image->FirstFrameOnly = true;
            return std::unique_ptr<host::TGraphic>(std::move(image));
        },
        &typeid(TGIFImage));
}

void FinalizeGIFImage() { host::TPicture::UnregisterGraphicClass<TGIFImage>(); }
