#include "gif/GIFColorReduction.h"

#include <algorithm>
#include <cstring>
#include <numeric>

#include "platform/CheckedSize.h"
#include "picture/Palettes.h"

using host::TPaletteEntry;
using host::TPaletteHandle;

namespace {

constexpr uint8_t PC_NOCOLLAPSE = 4;

TPaletteHandle MakePalette(std::vector<TPaletteEntry> entries) {
    auto palette = std::make_unique<host::TLogPalette>();
    palette->Entries = std::move(entries);
    return palette;
}

TPaletteHandle GrayPalette(std::initializer_list<uint8_t> levels) {
    std::vector<TPaletteEntry> entries;
    for (uint8_t v : levels) entries.push_back({v, v, v, PC_NOCOLLAPSE});
    return MakePalette(std::move(entries));
}

inline uint8_t Clamp255(int32_t v) { return static_cast<uint8_t>(v < 0 ? 0 : v > 255 ? 255 : v); }

}  // namespace

// ---------------------------------------------------------------- palettes

TPaletteHandle NetscapePalette() {
    std::vector<TPaletteEntry> entries;
    entries.reserve(216);
    for (int r = 0; r < 6; ++r)
        for (int g = 0; g < 6; ++g)
            for (int b = 0; b < 6; ++b)
                entries.push_back({static_cast<uint8_t>(51 * r), static_cast<uint8_t>(51 * g),
                                   static_cast<uint8_t>(51 * b), PC_NOCOLLAPSE});
    return MakePalette(std::move(entries));
}

TPaletteHandle Gray256Palette() {
    std::vector<TPaletteEntry> entries(256);
    for (int i = 0; i < 256; ++i) {
        const auto v = static_cast<uint8_t>(i);
        entries[i] = {v, v, v, PC_NOCOLLAPSE};
    }
    return MakePalette(std::move(entries));
}

TPaletteHandle Gray4Palette() { return GrayPalette({0, 128, 192, 255}); }

TPaletteHandle MonochromePalette() { return GrayPalette({0, 255}); }

TPaletteHandle HalftonePalette() { return host::CreateHalftonePalette(); }

TPaletteHandle QuantizedPalette(TDIBReader& Source, int32_t MaxColors, int ColorBits, bool WithSystemColors) {
    TColorQuantizer quantizer(WithSystemColors ? 236 : MaxColors, ColorBits);
    const int32_t width = Source.Width();
    for (int32_t y = 0; y < Source.Height(); ++y) {
        const uint8_t* p = Source.ScanLine(y);
        for (int32_t x = 0; x < width; ++x, p += 3) quantizer.AddColor(p[2], p[1], p[0]);
    }
    const std::vector<TColorRGB> colors = quantizer.CollectPalette();

    const size_t size = WithSystemColors ? 256 : static_cast<size_t>(MaxColors);
    std::vector<TPaletteEntry> entries(size, TPaletteEntry{0, 0, 0, PC_NOCOLLAPSE});
    size_t next = 0;
    if (WithSystemColors) {
        const auto& system = host::DefaultSystemPalette()->Entries;
        std::copy(system.begin(), system.begin() + 10, entries.begin());
        std::copy(system.end() - 10, system.end(), entries.end() - 10);
        next = 10;
    }
    for (const TColorRGB& c : colors) {
        if (next >= size) break;
        entries[next++] = {c.Red, c.Green, c.Blue, 0};
    }
    return MakePalette(std::move(entries));
}

// ---------------------------------------------------------------- colour lookups

TSlowColorLookup::TSlowColorLookup(host::HPALETTE Palette)
    : cacheKeys_(std::make_unique<uint32_t[]>(CacheSlots)), cacheValues_(std::make_unique<uint8_t[]>(CacheSlots)) {
    if (Palette)
        entries_.assign(Palette->Entries.begin(), Palette->Entries.begin() + std::min<size_t>(Palette->Entries.size(), 256));
    PaletteSize = static_cast<int32_t>(entries_.size());
    order_.resize(entries_.size());
    std::iota(order_.begin(), order_.end(), uint8_t{0});
    std::stable_sort(order_.begin(), order_.end(),
                     [&](uint8_t a, uint8_t b) { return entries_[a].peGreen < entries_[b].peGreen; });
    for (uint8_t i : order_) green_.push_back(entries_[i].peGreen);
    std::fill(cacheKeys_.get(), cacheKeys_.get() + CacheSlots, ~0u);
}

uint8_t TSlowColorLookup::Search(int Red, int Green, int Blue) const {
    // Walk outwards from the query's green in both directions; a side stops once its
    // green difference alone exceeds the best distance. Equal distances keep looking,
    // so that the first entry of equals wins as a linear scan would have it.
    const int n = static_cast<int>(order_.size());
    int up = static_cast<int>(std::lower_bound(green_.begin(), green_.end(), static_cast<uint8_t>(Green)) - green_.begin());
    int down = up - 1;
    int best = -1;
    int bestDistance = 1 << 30;
    auto consider = [&](int position) {
        const int index = order_[position];
        const TPaletteEntry& e = entries_[index];
        const int dr = e.peRed - Red, dg = e.peGreen - Green, db = e.peBlue - Blue;
        const int distance = dr * dr + dg * dg + db * db;
        if (distance < bestDistance || (distance == bestDistance && index < best)) {
            bestDistance = distance;
            best = index;
        }
    };
    while (up < n || down >= 0) {
        if (up < n) {
            const int dg = green_[up] - Green;
            if (dg * dg > bestDistance)
                up = n;
            else
                consider(up++);
        }
        if (down >= 0) {
            const int dg = Green - green_[down];
            if (dg * dg > bestDistance)
                down = -1;
            else
                consider(down--);
        }
    }
    return static_cast<uint8_t>(best < 0 ? 0 : best);
}

uint8_t TSlowColorLookup::MatchColor(uint8_t Red, uint8_t Green, uint8_t Blue, TColorRGB& Chosen) {
    if (entries_.empty()) {
        Chosen = {};
        return 0;
    }
    const uint32_t key = (uint32_t{Red} << 16) | (uint32_t{Green} << 8) | Blue;
    const uint32_t slot = (key ^ (key >> 10) ^ (key >> 17)) & (CacheSlots - 1);
    uint8_t index;
    if (cacheKeys_[slot] == key) {
        index = cacheValues_[slot];
    } else {
        index = Search(Red, Green, Blue);
        cacheKeys_[slot] = key;
        cacheValues_[slot] = index;
    }
    const TPaletteEntry& e = entries_[index];
    Chosen = {e.peRed, e.peGreen, e.peBlue};
    return index;
}

namespace {

struct CubeLevels {
    uint8_t Level[256];
    constexpr CubeLevels() : Level() {
        for (int v = 0; v < 256; ++v) Level[v] = static_cast<uint8_t>((v + 3) / 51);
    }
};
constexpr CubeLevels Cube;

}  // namespace

uint8_t TNetscapeColorLookup::MatchColor(uint8_t Red, uint8_t Green, uint8_t Blue, TColorRGB& Chosen) {
    const int r = Cube.Level[Red], g = Cube.Level[Green], b = Cube.Level[Blue];
    Chosen = {static_cast<uint8_t>(51 * r), static_cast<uint8_t>(51 * g), static_cast<uint8_t>(51 * b)};
    return static_cast<uint8_t>(36 * r + 6 * g + b);
}

uint8_t TGrayScaleLookup::MatchColor(uint8_t Red, uint8_t Green, uint8_t Blue, TColorRGB& Chosen) {
    const auto y = static_cast<uint8_t>((77 * Red + 150 * Green + 29 * Blue) >> 8);
    Chosen = {y, y, y};
    return y;
}

uint8_t TMonochromeLookup::MatchColor(uint8_t Red, uint8_t Green, uint8_t Blue, TColorRGB& Chosen) {
    if (77 * Red + 150 * Green + 29 * Blue > 0x7F00) {
        Chosen = {255, 255, 255};
        return 1;
    }
    Chosen = {0, 0, 0};
    return 0;
}

// ---------------------------------------------------------------- dither engines

uint8_t TDitherEngine::DitherPixel(uint8_t Red, uint8_t Green, uint8_t Blue) {
    TColorRGB chosen;
    const uint8_t index = Lookup.MatchColor(Red, Green, Blue, chosen);
    column_ += direction_;
    return index;
}

void TDitherEngine::NextRow() {
    direction_ = -direction_;
    column_ = direction_ > 0 ? 0 : Width - 1;
}

TBufferedDitherer::TBufferedDitherer(TColorLookup& Lookup, int32_t Width, int Rows, int Margin, int32_t Divisor)
    : TDitherEngine(Lookup, Width), rows_(Rows), margin_(Margin) {
    SetDivisor(Divisor);
    stride_ = static_cast<size_t>(checkedAdd(std::max(Width, 0), 2 * int64_t{Margin}));
    buffer_.assign(static_cast<size_t>(checkedSize({int64_t{Rows} * 3, static_cast<int64_t>(stride_), 4})) / 4, 0);
    PointRows();
}

void TBufferedDitherer::PointRows() {
    for (int r = 0; r < rows_; ++r)
        for (int c = 0; c < 3; ++c)
            slots_[r][c] = buffer_.data() + (static_cast<size_t>((first_ + r) % rows_) * 3 + c) * stride_;
}

uint8_t TBufferedDitherer::MatchAdjusted(uint8_t Red, uint8_t Green, uint8_t Blue, int32_t (&Error)[3]) {
    const size_t slot = static_cast<size_t>(column_ + margin_);
    const uint8_t in[3] = {Red, Green, Blue};
    uint8_t adjusted[3];
    for (int c = 0; c < 3; ++c) adjusted[c] = Clamp255(in[c] + (Slots(0, c)[slot] + rounding_) / divisor_);
    TColorRGB chosen;
    const uint8_t index = Lookup.MatchColor(adjusted[0], adjusted[1], adjusted[2], chosen);
    Error[0] = adjusted[0] - chosen.Red;
    Error[1] = adjusted[1] - chosen.Green;
    Error[2] = adjusted[2] - chosen.Blue;
    return index;
}

void TBufferedDitherer::Spread(const int32_t (&Error)[3], std::span<const TDitherWeight> Weights) {
    const ptrdiff_t slot = column_ + margin_;
    for (int c = 0; c < 3; ++c) {
        const int32_t e = Error[c];
        if (e == 0) continue;
        for (const TDitherWeight& w : Weights) Slots(w.Row, c)[slot + w.Offset * direction_] += e * w.Weight;
    }
}

void TBufferedDitherer::NextRow() {
    for (int c = 0; c < 3; ++c) std::fill_n(Slots(0, c), stride_, 0);
    first_ = (first_ + 1) % rows_;
    PointRows();
    TDitherEngine::NextRow();
}

TFloydSteinbergDitherer::TFloydSteinbergDitherer(TColorLookup& Lookup, int32_t Width) : TDitherEngine(Lookup, Width) {
    const auto slots = static_cast<size_t>(checkedSize({checkedAdd(std::max(Width, 0), 2), 4}) / 4);
    for (auto& e : errors_) e.assign(slots, 0);
}

uint8_t TFloydSteinbergDitherer::DitherPixel(uint8_t Red, uint8_t Green, uint8_t Blue) {
    const uint8_t in[3] = {Red, Green, Blue};
    uint8_t adjusted[3];
    for (int c = 0; c < 3; ++c) adjusted[c] = Clamp255(in[c] + (errors_[c][pointer_] + carried_[c] + 8) / 16);
    TColorRGB chosen;
    const uint8_t index = Lookup.MatchColor(adjusted[0], adjusted[1], adjusted[2], chosen);
    const uint8_t out[3] = {chosen.Red, chosen.Green, chosen.Blue};
    for (int c = 0; c < 3; ++c) {
        // Also for a zero error: the pending terms must move on by one column.
        const int32_t e = adjusted[c] - out[c];
        // The slot just read now collects for the column behind, which no pixel of this
        // row adds to any more: 1/16 from two back, 5/16 from one back, 3/16 from here.
        errors_[c][pointer_] = belowPrevious_[c] + 3 * e;
        belowPrevious_[c] = below_[c] + 5 * e;
        below_[c] = e;
        carried_[c] = 7 * e;
    }
    pointer_ += static_cast<size_t>(direction_);
    column_ += direction_;
    return index;
}

void TFloydSteinbergDitherer::NextRow() {
    for (int c = 0; c < 3; ++c) {
        errors_[c][pointer_] = belowPrevious_[c];
        carried_[c] = below_[c] = belowPrevious_[c] = 0;
    }
    TDitherEngine::NextRow();
    pointer_ = direction_ > 0 ? 1 : static_cast<size_t>(Width) + 1;
}

T5by3Ditherer::T5by3Ditherer(TColorLookup& Lookup, int32_t Width, int32_t WeightSum)
    : TBufferedDitherer(Lookup, Width, 3, 2, WeightSum), WeightSum(WeightSum) {}

uint8_t T5by3Ditherer::DitherPixel(uint8_t Red, uint8_t Green, uint8_t Blue) {
    int32_t error[3];
    const uint8_t index = MatchAdjusted(Red, Green, Blue, error);
    SpreadError(error);
    column_ += direction_;
    return index;
}

namespace {

constexpr TDitherWeight StuckiWeights[] = {
    {0, 1, 8}, {0, 2, 4},                                          //
    {1, -2, 2}, {1, -1, 4}, {1, 0, 8}, {1, 1, 4}, {1, 2, 2},       //
    {2, -2, 1}, {2, -1, 2}, {2, 0, 4}, {2, 1, 2}, {2, 2, 1}};
constexpr TDitherWeight SierraWeights[] = {
    {0, 1, 5}, {0, 2, 3},                                          //
    {1, -2, 2}, {1, -1, 4}, {1, 0, 5}, {1, 1, 4}, {1, 2, 2},       //
    {2, -1, 2}, {2, 0, 3}, {2, 1, 2}};
constexpr TDitherWeight JaJuNiWeights[] = {
    {0, 1, 7}, {0, 2, 5},                                          //
    {1, -2, 3}, {1, -1, 5}, {1, 0, 7}, {1, 1, 5}, {1, 2, 3},       //
    {2, -2, 1}, {2, -1, 3}, {2, 0, 5}, {2, 1, 3}, {2, 2, 1}};
constexpr TDitherWeight BurkesWeights[] = {
    {0, 1, 8}, {0, 2, 4},                                          //
    {1, -2, 2}, {1, -1, 4}, {1, 0, 8}, {1, 1, 4}, {1, 2, 2}};
constexpr TDitherWeight SteveArcheWeights[] = {
    {0, 2, 32},                                                    //
    {1, -3, 12}, {1, -1, 26}, {1, 1, 30}, {1, 3, 16},              //
    {2, -2, 12}, {2, 0, 26}, {2, 2, 12},                           //
    {3, -3, 5}, {3, -1, 12}, {3, 1, 12}, {3, 3, 5}};

}  // namespace

void TStuckiDitherer::SpreadError(const int32_t (&Error)[3]) { Spread(Error, StuckiWeights); }
void TSierraDitherer::SpreadError(const int32_t (&Error)[3]) { Spread(Error, SierraWeights); }
void TJaJuNiDitherer::SpreadError(const int32_t (&Error)[3]) { Spread(Error, JaJuNiWeights); }

TSteveArcheDitherer::TSteveArcheDitherer(TColorLookup& Lookup, int32_t Width)
    : TBufferedDitherer(Lookup, Width, 4, 3, 200) {}

uint8_t TSteveArcheDitherer::DitherPixel(uint8_t Red, uint8_t Green, uint8_t Blue) {
    int32_t error[3];
    const uint8_t index = MatchAdjusted(Red, Green, Blue, error);
    Spread(error, SteveArcheWeights);
    column_ += direction_;
    return index;
}

TBurkesDitherer::TBurkesDitherer(TColorLookup& Lookup, int32_t Width) : TBufferedDitherer(Lookup, Width, 2, 2, 32) {}

uint8_t TBurkesDitherer::DitherPixel(uint8_t Red, uint8_t Green, uint8_t Blue) {
    int32_t error[3];
    const uint8_t index = MatchAdjusted(Red, Green, Blue, error);
    Spread(error, BurkesWeights);
    column_ += direction_;
    return index;
}

std::unique_ptr<TDitherEngine> CreateDitherEngine(uint8_t DitherMethod, TColorLookup& Lookup, int32_t Width) {
    switch (DitherMethod) {
        case dmNearest: return std::make_unique<TDitherEngine>(Lookup, Width);
        case dmFloydSteinberg: return std::make_unique<TFloydSteinbergDitherer>(Lookup, Width);
        case dmStucki: return std::make_unique<TStuckiDitherer>(Lookup, Width);
        case dmSierra: return std::make_unique<TSierraDitherer>(Lookup, Width);
        case dmJaJuNi: return std::make_unique<TJaJuNiDitherer>(Lookup, Width);
        case dmSteveArche: return std::make_unique<TSteveArcheDitherer>(Lookup, Width);
        case dmBurkes: return std::make_unique<TBurkesDitherer>(Lookup, Width);
        default: return nullptr;
    }
}

// ---------------------------------------------------------------- octree quantiser

TColorQuantizer::TColorQuantizer(int32_t MaxColors, int ColorBits)
    : maxColors_(std::max(MaxColors, 1)), colorBits_(std::clamp(ColorBits, 1, 8)) {}

TOctreeNode* TColorQuantizer::NewNode(int Level) {
    TOctreeNode* node;
    if (free_) {
        node = free_;
        free_ = node->Next;
        const uint32_t generation = node->Generation;
        *node = TOctreeNode{};
        node->Generation = generation;
    } else {
        node = &pool_.emplace_back();
    }
    if (Level == colorBits_) {
        node->Leaf = true;
        ++leafCount_;
    } else {
        node->Next = reducible_[Level];
        reducible_[Level] = node;
    }
    return node;
}

void TColorQuantizer::FreeSubtree(TOctreeNode* Node) {
    // Only the deepest reducible nodes are merged, so the children are leaves; the walk
    // stays bounded by the tree's depth either way.
    for (TOctreeNode*& child : Node->Children) {
        if (!child) continue;
        FreeSubtree(child);
        ++child->Generation;
        child->Next = free_;
        free_ = child;
        child = nullptr;
    }
}

void TColorQuantizer::AddColor(uint8_t Red, uint8_t Green, uint8_t Blue) {
    const uint32_t color = (uint32_t{Red} << 16) | (uint32_t{Green} << 8) | Blue;
    CacheEntry& cached = cache_[(color ^ (color >> 12)) & (CacheSlots - 1)];
    TOctreeNode* node;
    if (cached.Color == color && cached.Leaf->Generation == cached.Generation) {
        node = cached.Leaf;
    } else {
        TOctreeNode** link = &root_;
        for (int level = 0;; ++level) {
            if (!*link) *link = NewNode(level);
            node = *link;
            if (node->Leaf) break;
            const int shift = 7 - level;
            const int child = (((Red >> shift) & 1) << 2) | (((Green >> shift) & 1) << 1) | ((Blue >> shift) & 1);
            link = &node->Children[child];
        }
        cached = {color, node->Generation, node};
    }
    ++node->PixelCount;
    node->RedSum += Red;
    node->GreenSum += Green;
    node->BlueSum += Blue;
    while (leafCount_ > maxColors_ && ReduceOnce()) {
    }
}

bool TColorQuantizer::ReduceOnce() {
    int level = colorBits_ - 1;
    while (level > 0 && !reducible_[level]) --level;
    TOctreeNode* node = reducible_[level];
    if (!node) return false;
    reducible_[level] = node->Next;
    node->Next = nullptr;
    int children = 0;
    for (TOctreeNode* child : node->Children) {
        if (!child) continue;
        ++children;
        node->PixelCount += child->PixelCount;
        node->RedSum += child->RedSum;
        node->GreenSum += child->GreenSum;
        node->BlueSum += child->BlueSum;
    }
    FreeSubtree(node);
    node->Leaf = true;
    leafCount_ -= children - 1;
    return true;
}

void TColorQuantizer::Collect(const TOctreeNode* Node, std::vector<TColorRGB>& Colors) const {
    if (Node->Leaf) {
        const int64_t n = Node->PixelCount;
        if (n == 0)
            Colors.push_back({});
        else
            Colors.push_back({static_cast<uint8_t>(Node->RedSum / n), static_cast<uint8_t>(Node->GreenSum / n),
                              static_cast<uint8_t>(Node->BlueSum / n)});
        return;
    }
    for (const TOctreeNode* child : Node->Children)
        if (child) Collect(child, Colors);
}

std::vector<TColorRGB> TColorQuantizer::CollectPalette() const {
    std::vector<TColorRGB> colors;
    if (root_) Collect(root_, colors);
    return colors;
}

// ---------------------------------------------------------------- pixel access

TDIBReader::TDIBReader(host::TBitmap& Bitmap, host::TPixelFormat PixelFormat) : bitmap_(Bitmap) {
    Bitmap.SetPixelFormat(PixelFormat);
}

TDIBWriter::TDIBWriter(host::TBitmap& Bitmap, host::HPALETTE Palette, int32_t Height, int32_t Width,
                       host::TPixelFormat PixelFormat)
    : bitmap_(Bitmap), format_(PixelFormat), width_(Width), height_(Height) {
    if (PixelFormat != host::pf8bit && PixelFormat != host::pf24bit) throw GIFException("Unsupported PixelFormat");
    if (Width <= 0 || Height <= 0) throw GIFException("Invalid image dimensions");
    rowBytes_ = checkedSize({Width, PixelFormat == host::pf8bit ? 1 : 3});
    const int64_t size = checkedSize({rowBytes_, Height});
    try {
        bits_ = host::AllocatePixels(size);
    } catch (const EOutOfMemory&) {
        throw EOutOfMemory("Failed to allocate memory for GIF DIB");
    }
    if (PixelFormat == host::pf8bit) {
        std::vector<TPaletteEntry> table(256);
        const int n = host::GetPaletteEntries(Palette, 0, 256, table.data());
        for (int i = 0; i < n; ++i) table[i].peFlags = 0;
        host::TLogPalette colors{0x300, std::move(table)};
        Bitmap.SetPalette(&colors);
    } else {
        Bitmap.SetPalette(nullptr);
    }
}

TDIBWriter::~TDIBWriter() {
    if (!bits_) return;
    try {
        bitmap_.AdoptPixels(format_, width_, height_, std::move(bits_));
    } catch (...) {
        // Sizes were checked when the rows were allocated; nothing is left to fail.
    }
}

uint8_t* TDIBWriter::ScanLine(int32_t Row) {
    if (!bits_) throw GIFException("Image has no DIB");
    if (Row < 0 || Row >= height_) throw EInvalidGraphic("Scan line index out of range");
    return bits_.get() + Row * rowBytes_;
}

// ---------------------------------------------------------------- reduction

std::unique_ptr<host::TBitmap> ReduceToPalette(host::TBitmap& Bitmap, uint8_t ReductionMethod, uint8_t DitherMethod,
                                               host::HPALETTE Palette, int32_t ReductionDepth) {
    auto result = std::make_unique<host::TBitmap>();
    if (ReductionMethod > rmPalette) return result;
    const int32_t width = Bitmap.Width(), height = Bitmap.Height();
    // Every method works on 24-bit rows: refuse a size no bitmap can have at that depth
    // before anything is copied or converted.
    checkedSize({width, height, 3});
    if (ReductionMethod == rmNone) {
        result->Assign(Bitmap);
        result->SetPixelFormat(host::pf24bit);
        return result;
    }
    TDIBReader reader(Bitmap, host::pf24bit);

    TPaletteHandle palette;
    std::unique_ptr<TColorLookup> lookup;
    switch (ReductionMethod) {
        case rmWindows20:
            palette = host::CreatePalette(host::DefaultSystemPalette()->Entries.data(),
                                          static_cast<int>(host::DefaultSystemPalette()->Entries.size()));
            break;
        case rmWindows256: palette = HalftonePalette(); break;
        case rmWindowsGray: palette = Gray4Palette(); break;
        case rmMonochrome:
            palette = MonochromePalette();
            lookup = std::make_unique<TMonochromeLookup>();
            break;
        case rmGrayScale:
            palette = Gray256Palette();
            lookup = std::make_unique<TGrayScaleLookup>();
            break;
        case rmNetscape:
            palette = NetscapePalette();
            lookup = std::make_unique<TNetscapeColorLookup>();
            break;
        case rmQuantize:
            // A palette holds at most 256 entries: depths beyond 8 bits ask for no more.
            palette = QuantizedPalette(reader, int32_t{1} << std::clamp(ReductionDepth, 0, 8), 8, false);
            break;
        case rmQuantizeWindows: palette = QuantizedPalette(reader, 256, 8, true); break;
        case rmPalette:
            if (Palette) palette = host::CreatePalette(Palette->Entries.data(), static_cast<int>(Palette->Entries.size()));
            break;
    }
    if (!lookup) lookup = std::make_unique<TSlowColorLookup>(palette.get());
    if (lookup->PaletteSize == 0) return result;

    std::unique_ptr<TDitherEngine> engine = CreateDitherEngine(DitherMethod, *lookup, width);
    if (!engine) return result;

    {
        TDIBWriter writer(*result, palette.get(), height, width, host::pf8bit);
        for (int32_t y = 0; y < height; ++y) {
            const uint8_t* source = reader.ScanLine(y);
            uint8_t* target = writer.ScanLine(y);
            for (int32_t x = engine->Column(); x >= 0 && x < width; x += engine->Direction()) {
                const uint8_t* p = source + 3 * static_cast<ptrdiff_t>(x);
                target[x] = engine->DitherPixel(p[2], p[1], p[0]);
            }
            engine->NextRow();
        }
    }
    return result;
}
