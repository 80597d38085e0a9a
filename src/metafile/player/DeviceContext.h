#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "metafile/player/CairoLibrary.h"
#include "metafile/player/MetafileReader.h"

// The drawing state a metafile's records change: the selected pen, brush, font and
// palette, colours and modes, the page and world transforms, the current position and
// the clip; the table of objects the records create; and the stack of saved states.
namespace host {

inline constexpr uint32_t White = 0xFFFFFF;

// Metafile colours are 0x00BBGGRR; the target's words are 0x00RRGGBB.
uint32_t ColorRefToRGB(uint32_t colorRef);

enum PenStyle { PS_SOLID = 0, PS_DASH, PS_DOT, PS_DASHDOT, PS_DASHDOTDOT, PS_NULL, PS_INSIDEFRAME };
enum BrushStyle { BS_SOLID = 0, BS_NULL = 1, BS_HATCHED = 2, BS_PATTERN = 3, BS_DIBPATTERN = 5, BS_DIBPATTERNPT = 6 };
enum BackgroundMode { TRANSPARENT = 1, OPAQUE = 2 };
enum BinaryRasterOperation { R2_BLACK = 1, R2_NOP = 11, R2_COPYPEN = 13, R2_WHITE = 16 };
enum PolyFillMode { ALTERNATE = 1, WINDING = 2 };
enum MapMode { MM_TEXT = 1, MM_LOMETRIC, MM_HIMETRIC, MM_LOENGLISH, MM_HIENGLISH, MM_TWIPS, MM_ISOTROPIC, MM_ANISOTROPIC };
enum ArcDirection { AD_COUNTERCLOCKWISE = 1, AD_CLOCKWISE = 2 };
enum RegionMode { RGN_AND = 1, RGN_OR = 2, RGN_XOR = 3, RGN_DIFF = 4, RGN_COPY = 5 };

// A pen style's geometric flag, and the fields of its end cap and join.
inline constexpr uint32_t PS_GEOMETRIC_MASK = 0xF0000;

struct Pen {
    int style = PS_SOLID;
    double width = 0;  // logical units; 0: one pixel
    bool cosmetic = true;
    uint32_t color = 0;
    int endCap = 0;  // 0 round, 1 square, 2 flat
    int join = 0;    // 0 round, 1 bevel, 2 miter
};

struct Brush {
    int style = BS_SOLID;
    uint32_t color = White;
    int hatch = 0;
    Surface pattern;
};

struct Font {
    double height = -12;
    int weight = 400;
    bool italic = false, underline = false, strikeOut = false;
    double escapement = 0;  // tenths of a degree
    int charset = 0;
    std::string face;
};

// A region as rectangles (x0, y0, x1, y1).
struct Region {
    std::vector<double> rects;
};

struct Object {
    enum Kind { None, PenKind, BrushKind, FontKind, PaletteKind, RegionKind } kind = None;
    Pen pen;
    Brush brush;
    Font font;
    std::vector<uint32_t> palette;  // 0x00RRGGBB
    Region region;                  // logical (WMF) coordinates

    static Object Of(Pen pen);
    static Object Of(Brush brush);
    static Object Of(Font font);
    static Object Of(Region region);
    static Object OfPalette(std::vector<uint32_t> palette);
};

struct ClipItem {
    Path path;  // device space
    bool evenOdd = false;
};

struct DeviceContext {
    Pen pen;
    Brush brush;
    Font font;
    std::vector<uint32_t> palette;
    uint32_t textColor = 0, bkColor = White;
    int bkMode = OPAQUE;
    int rop2 = R2_COPYPEN;
    int polyFill = ALTERNATE;
    uint32_t textAlign = 0;
    int mapMode = MM_TEXT;
    int arcDirection = AD_COUNTERCLOCKWISE;
    double winOrgX = 0, winOrgY = 0, winExtX = 1, winExtY = 1;
    double vpOrgX = 0, vpOrgY = 0, vpExtX = 1, vpExtY = 1;
    cairo_matrix_t world{1, 0, 0, 1, 0, 0};
    double curX = 0, curY = 0;
    std::vector<ClipItem> clip;
    double miterLimit = 10;
};

// Bounds on what hostile data can make us hold.
inline constexpr size_t MaxSavedStates = 1024;
inline constexpr size_t MaxObjects = 65536;
inline constexpr size_t MaxClipItems = 256;

// The stock objects a selection index with the top bit names.
inline constexpr uint32_t StockObjectFlag = 0x80000000u;
// Selects stock object number stock (white brush 0 to null pen 8, fonts 10 to 17).
void SelectStockObject(DeviceContext& dc, uint32_t stock);

// The objects the records create, by index.
class ObjectTable {
public:
    void reset(size_t count) { objects_.assign(std::min(count, MaxObjects), Object{}); }
    size_t size() const { return objects_.size(); }
    // The object at index, or null when there is none there of that kind.
    const Object* find(size_t index, Object::Kind kind) const;
    const Object* at(size_t index) const { return index < objects_.size() ? &objects_[index] : nullptr; }
    // EMF objects name their slot; WMF objects take the lowest free one.
    void store(size_t index, Object object);
    void add(Object object);
    void remove(size_t index);

private:
    std::vector<Object> objects_;
};

// The states SaveDC keeps for RestoreDC.
class SavedStates {
public:
    void save(const DeviceContext& dc);
    // A negative level counts back from the last save, a positive one from the first
    // (level 1); false, with dc unchanged, for a level there is not.
    bool restore(int32_t level, DeviceContext& dc);

private:
    std::vector<DeviceContext> saved_;
};

// Where the fields of a logical pen, brush or font lie in a record, and how wide the
// integers are: enhanced metafiles keep 32-bit fields, Windows metafiles 16-bit ones.
struct FieldAt {
    size_t offset;
    int bytes;  // 2 or 4
    bool isSigned;
};
int64_t ReadField(const MetafileReader& record, FieldAt field);

struct LogPenLayout {
    FieldAt style, width, color;
};
struct LogBrushLayout {
    FieldAt style, color, hatch;
};
struct LogFontLayout {
    FieldAt height, escapement, weight;
    size_t italic;     // then underline, strike-out and character set, a byte each
    size_t face;       // up to 32 characters, ended by a 0
    int faceCharBytes;  // 2: UTF-16, 1: bytes of the font's code page
};

Pen ReadLogPen(const MetafileReader& record, const LogPenLayout& layout);
Brush ReadLogBrush(const MetafileReader& record, const LogBrushLayout& layout);
Font ReadLogFont(const MetafileReader& record, const LogFontLayout& layout);
// count entries (red, green, blue, flags) at entriesAt into palette; false when they
// do not fit.
bool ReadPaletteEntries(const MetafileReader& record, uint32_t count, size_t entriesAt,
                        std::vector<uint32_t>& palette);

}  // namespace host
