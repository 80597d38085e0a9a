#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <span>
#include <vector>

#include "gif/GIFTypes.h"
#include "picture/Graphics.h"
#include "picture/PixelBuffer.h"

// Colour reduction for GIF frames: turns a bitmap of any depth into an 8-bit paletted
// bitmap by choosing a palette (the reduction method), matching every pixel to it and
// optionally diffusing the matching error over the neighbours (the dither method).

// Reduction methods, as stored in TGIFImage::ReductionMethod.
enum TColorReduction : uint8_t {
    rmNone = 0,             // keep the colours (24 bits; the caller collects them)
    rmWindows20 = 1,        // the platform's 20-colour default palette
    rmWindows256 = 2,       // the platform's halftone palette
    rmWindowsGray = 3,      // four grey levels
    rmMonochrome = 4,       // black and white
    rmGrayScale = 5,        // 256 grey levels
    rmNetscape = 6,         // the 6x6x6 colour cube
    rmQuantize = 7,         // octree-quantised palette of 2^ReductionDepth colours
    rmQuantizeWindows = 8,  // octree-quantised palette around the 20 system colours
    rmPalette = 9,          // the palette passed in
};

// Dither methods, as stored in TGIFImage::DitherMethod.
enum TDitherMode : uint8_t {
    dmNearest = 0,
    dmFloydSteinberg = 1,
    dmStucki = 2,
    dmSierra = 3,
    dmJaJuNi = 4,
    dmSteveArche = 5,
    dmBurkes = 6,
};

// Returns a new bitmap (8 bits, or a 24-bit copy for rmNone) owned by the caller. The
// source is switched to 24 bits by the reading. A method or dither value out of range, or
// a palette without colours, yields an empty bitmap. Palette is used by rmPalette only.
std::unique_ptr<host::TBitmap> ReduceToPalette(host::TBitmap& Bitmap, uint8_t ReductionMethod, uint8_t DitherMethod,
                                               host::HPALETTE Palette, int32_t ReductionDepth);

// ---------------------------------------------------------------- palettes

// Entry 36i + 6j + k is (51i, 51j, 51k).
host::TPaletteHandle NetscapePalette();
host::TPaletteHandle Gray256Palette();
// Grey levels 0, 128, 192, 255.
host::TPaletteHandle Gray4Palette();
host::TPaletteHandle MonochromePalette();
host::TPaletteHandle HalftonePalette();

class TDIBReader;

// An octree palette of the source's colours. With system colours: 256 entries, the first
// and last ten of the platform's default palette around at most 236 quantised colours;
// without: MaxColors entries. Entries that get no colour are black.
host::TPaletteHandle QuantizedPalette(TDIBReader& Source, int32_t MaxColors, int ColorBits, bool WithSystemColors);

// ---------------------------------------------------------------- colour lookups

struct TColorRGB {
    uint8_t Red = 0, Green = 0, Blue = 0;
};

class TColorLookup {
public:
    virtual ~TColorLookup() = default;
    // The palette index for the colour; Chosen receives that entry's colour.
    virtual uint8_t MatchColor(uint8_t Red, uint8_t Green, uint8_t Blue, TColorRGB& Chosen) = 0;
    int32_t PaletteSize = 0;
};

// The nearest entry of any palette (squared distance, the first of equals).
class TSlowColorLookup : public TColorLookup {
public:
    explicit TSlowColorLookup(host::HPALETTE Palette);
    uint8_t MatchColor(uint8_t Red, uint8_t Green, uint8_t Blue, TColorRGB& Chosen) override;

private:
    uint8_t Search(int Red, int Green, int Blue) const;

    std::vector<host::TPaletteEntry> entries_;
    // Entries ordered by green, for a search that can stop early; green_[i] is the
    // green of entry order_[i].
    std::vector<uint8_t> order_;
    std::vector<uint8_t> green_;
    // Recent answers: a colour key (0x00RRGGBB, or ~0 when empty) and its index.
    static constexpr uint32_t CacheSlots = 1 << 14;
    std::unique_ptr<uint32_t[]> cacheKeys_;
    std::unique_ptr<uint8_t[]> cacheValues_;
};

// The 216-colour cube.
class TNetscapeColorLookup : public TColorLookup {
public:
    TNetscapeColorLookup() { PaletteSize = 216; }
    uint8_t MatchColor(uint8_t Red, uint8_t Green, uint8_t Blue, TColorRGB& Chosen) override;
};

// 256 grey levels by luminance.
class TGrayScaleLookup : public TColorLookup {
public:
    TGrayScaleLookup() { PaletteSize = 256; }
    uint8_t MatchColor(uint8_t Red, uint8_t Green, uint8_t Blue, TColorRGB& Chosen) override;
};

// Black below half luminance, white above.
class TMonochromeLookup : public TColorLookup {
public:
    TMonochromeLookup() { PaletteSize = 2; }
    uint8_t MatchColor(uint8_t Red, uint8_t Green, uint8_t Blue, TColorRGB& Chosen) override;
};

// ---------------------------------------------------------------- dither engines

// Walks the rows alternately left to right and right to left; the base engine maps
// every pixel to its nearest colour without diffusing anything.
class TDitherEngine {
public:
    TDitherEngine(TColorLookup& Lookup, int32_t Width) : Lookup(Lookup), Width(Width) {}
    virtual ~TDitherEngine() = default;
    TDitherEngine(const TDitherEngine&) = delete;
    TDitherEngine& operator=(const TDitherEngine&) = delete;

    // The index for the pixel at Column; steps Column by Direction.
    virtual uint8_t DitherPixel(uint8_t Red, uint8_t Green, uint8_t Blue);
    // Reverses the direction and moves to the start column of the next row.
    virtual void NextRow();

    int32_t Column() const { return column_; }
    int32_t Direction() const { return direction_; }

protected:
    TColorLookup& Lookup;
    const int32_t Width;
    int32_t direction_ = 1;
    int32_t column_ = 0;
};

// One weight of an error-diffusion pattern: the row below the current one (0 = the
// current row) and the column offset along the direction of travel.
struct TDitherWeight {
    int8_t Row;
    int8_t Offset;
    int16_t Weight;
};

// Engines that keep whole rows of accumulated error per channel, each row with margins
// wide enough that no weight of the pattern ever leaves it.
class TBufferedDitherer : public TDitherEngine {
public:
    void NextRow() override;

protected:
    TBufferedDitherer(TColorLookup& Lookup, int32_t Width, int Rows, int Margin, int32_t Divisor);
    // Matches the pixel with the error carried to the current column added; Error gets
    // the adjusted colour minus the chosen one.
    uint8_t MatchAdjusted(uint8_t Red, uint8_t Green, uint8_t Blue, int32_t (&Error)[3]);
    void Spread(const int32_t (&Error)[3], std::span<const TDitherWeight> Weights);
    void SetDivisor(int32_t Divisor) {
        divisor_ = Divisor;
        rounding_ = Divisor / 2;
    }

private:
    static constexpr int MaxRows = 4;
    int32_t* Slots(int Row, int Channel) const { return slots_[Row][Channel]; }
    void PointRows();

    int rows_;
    int margin_;
    size_t stride_;
    int first_ = 0;  // ring position of the current row
    int32_t divisor_ = 1;
    int32_t rounding_ = 0;
    std::vector<int32_t> buffer_;
    int32_t* slots_[MaxRows][3] = {};  // rows from the current one down, per channel
};

class TFloydSteinbergDitherer : public TDitherEngine {
public:
    TFloydSteinbergDitherer(TColorLookup& Lookup, int32_t Width);
    uint8_t DitherPixel(uint8_t Red, uint8_t Green, uint8_t Blue) override;
    void NextRow() override;

private:
    // Per channel: the error for the next row, one slot per column plus one on each side.
    // A row going right reads column c at slot c + 1, a row going left at slot c + 2; as
    // each pixel reads its slot, the slot starts collecting for the column behind it, so
    // every row leaves the next row's errors where that row will read them.
    std::vector<int32_t> errors_[3];
    size_t pointer_ = 1;
    int32_t carried_[3] = {};
    int32_t below_[3] = {};
    int32_t belowPrevious_[3] = {};
};

// Patterns two columns wide on each side and three rows deep.
class T5by3Ditherer : public TBufferedDitherer {
public:
    uint8_t DitherPixel(uint8_t Red, uint8_t Green, uint8_t Blue) override;

protected:
    T5by3Ditherer(TColorLookup& Lookup, int32_t Width, int32_t WeightSum);
    virtual void SpreadError(const int32_t (&Error)[3]) = 0;
    const int32_t WeightSum;
};

class TStuckiDitherer : public T5by3Ditherer {
public:
    TStuckiDitherer(TColorLookup& Lookup, int32_t Width) : T5by3Ditherer(Lookup, Width, 42) {}

protected:
    void SpreadError(const int32_t (&Error)[3]) override;
};

class TSierraDitherer : public T5by3Ditherer {
public:
    TSierraDitherer(TColorLookup& Lookup, int32_t Width) : T5by3Ditherer(Lookup, Width, 32) {}

protected:
    void SpreadError(const int32_t (&Error)[3]) override;
};

class TJaJuNiDitherer : public T5by3Ditherer {
public:
    TJaJuNiDitherer(TColorLookup& Lookup, int32_t Width) : T5by3Ditherer(Lookup, Width, 48) {}

protected:
    void SpreadError(const int32_t (&Error)[3]) override;
};

class TSteveArcheDitherer : public TBufferedDitherer {
public:
    TSteveArcheDitherer(TColorLookup& Lookup, int32_t Width);
    uint8_t DitherPixel(uint8_t Red, uint8_t Green, uint8_t Blue) override;
};

class TBurkesDitherer : public TBufferedDitherer {
public:
    TBurkesDitherer(TColorLookup& Lookup, int32_t Width);
    uint8_t DitherPixel(uint8_t Red, uint8_t Green, uint8_t Blue) override;
};

// The engine of a dither method, null for a value out of range.
std::unique_ptr<TDitherEngine> CreateDitherEngine(uint8_t DitherMethod, TColorLookup& Lookup, int32_t Width);

// ---------------------------------------------------------------- octree quantiser

struct TOctreeNode {
    bool Leaf = false;
    int32_t PixelCount = 0;
    // Wider than a channel sum of 2^31 pixels can reach.
    int64_t RedSum = 0, GreenSum = 0, BlueSum = 0;
    TOctreeNode* Next = nullptr;  // in its level's reducible list, or the free list
    TOctreeNode* Children[8] = {};
    uint32_t Generation = 0;  // counts the times the node was freed
};

class TColorQuantizer {
public:
    // ColorBits is the depth of the tree (1 to 8); MaxColors at least 1.
    TColorQuantizer(int32_t MaxColors, int ColorBits);
    TColorQuantizer(const TColorQuantizer&) = delete;
    TColorQuantizer& operator=(const TColorQuantizer&) = delete;

    // Adds one pixel, then merges the deepest reducible nodes until at most MaxColors
    // leaves are left.
    void AddColor(uint8_t Red, uint8_t Green, uint8_t Blue);
    int32_t LeafCount() const { return leafCount_; }
    // Every leaf's average colour, depth first with the children in index order.
    std::vector<TColorRGB> CollectPalette() const;

private:
    TOctreeNode* NewNode(int Level);
    void FreeSubtree(TOctreeNode* Node);
    bool ReduceOnce();
    void Collect(const TOctreeNode* Node, std::vector<TColorRGB>& Colors) const;

    std::deque<TOctreeNode> pool_;  // node storage with stable addresses
    TOctreeNode* free_ = nullptr;
    TOctreeNode* root_ = nullptr;
    int32_t leafCount_ = 0;
    TOctreeNode* reducible_[8] = {};
    int32_t maxColors_;
    int colorBits_;
    // Leaves that colours went to. A leaf stays the end of its colours' path for as long
    // as it lives, so an entry holds while the node has not been freed since.
    struct CacheEntry {
        uint32_t Color = ~0u;
        uint32_t Generation = 0;
        TOctreeNode* Leaf = nullptr;
    };
    static constexpr uint32_t CacheSlots = 1 << 12;
    std::vector<CacheEntry> cache_ = std::vector<CacheEntry>(CacheSlots);
};

// ---------------------------------------------------------------- pixel access

// Switches the bitmap to the pixel format, then hands out its rows.
class TDIBReader {
public:
    TDIBReader(host::TBitmap& Bitmap, host::TPixelFormat PixelFormat);
    const uint8_t* ScanLine(int32_t Row) const { return bitmap_.ScanLine(Row); }
    int32_t Width() const { return bitmap_.Width(); }
    int32_t Height() const { return bitmap_.Height(); }

private:
    host::TBitmap& bitmap_;
};

// Builds an image of 8 bits (with a 256-entry colour table: the palette's entries, then
// black) or 24 bits in memory, and hands it to the bitmap when destroyed.
class TDIBWriter {
public:
    TDIBWriter(host::TBitmap& Bitmap, host::HPALETTE Palette, int32_t Height, int32_t Width,
               host::TPixelFormat PixelFormat);
    ~TDIBWriter();
    TDIBWriter(const TDIBWriter&) = delete;
    TDIBWriter& operator=(const TDIBWriter&) = delete;
    uint8_t* ScanLine(int32_t Row);

private:
    host::TBitmap& bitmap_;
    host::TPixelFormat format_;
    int32_t width_;
    int32_t height_;
    int64_t rowBytes_;
    host::PixelBuffer bits_;
};
