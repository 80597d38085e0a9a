#include "metafile/MetafilePlayer.h"

#include <cairo.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace host {
namespace {

// ---------------------------------------------------------------- bounded reading

// A view of one record (or of the whole data). Every read is checked: outside the
// view a read gives 0 and has() says no, so nothing past the data is ever touched.
struct Bytes {
    const uint8_t* p = nullptr;
    size_t n = 0;

    bool has(size_t offset, size_t length) const { return offset <= n && length <= n - offset; }
    // count elements of elementSize bytes at offset, without overflow.
    bool hasArray(size_t offset, uint64_t count, size_t elementSize) const {
        return offset <= n && count <= (n - offset) / elementSize;
    }
    uint8_t u8(size_t o) const { return o < n ? p[o] : 0; }
    uint16_t u16(size_t o) const { return has(o, 2) ? static_cast<uint16_t>(p[o] | p[o + 1] << 8) : 0; }
    int16_t i16(size_t o) const { return static_cast<int16_t>(u16(o)); }
    uint32_t u32(size_t o) const {
        return has(o, 4) ? (uint32_t{p[o]} | uint32_t{p[o + 1]} << 8 | uint32_t{p[o + 2]} << 16 |
                            uint32_t{p[o + 3]} << 24)
                         : 0;
    }
    int32_t i32(size_t o) const { return static_cast<int32_t>(u32(o)); }
    float f32(size_t o) const {
        const uint32_t bits = u32(o);
        float value;
        std::memcpy(&value, &bits, 4);
        return std::isfinite(value) ? value : 0.0f;
    }
    Bytes sub(size_t offset, size_t length) const {
        if (!has(offset, length)) return {};
        return {p + offset, length};
    }
};

// ---------------------------------------------------------------- cairo owners

struct CairoDeleter {
    void operator()(cairo_t* c) const { cairo_destroy(c); }
    void operator()(cairo_surface_t* s) const { cairo_surface_destroy(s); }
    void operator()(cairo_pattern_t* p) const { cairo_pattern_destroy(p); }
    void operator()(cairo_path_t* p) const { cairo_path_destroy(p); }
    void operator()(cairo_font_options_t* o) const { cairo_font_options_destroy(o); }
};
using Context = std::unique_ptr<cairo_t, CairoDeleter>;
using Surface = std::shared_ptr<cairo_surface_t>;
using Path = std::shared_ptr<cairo_path_t>;

Surface makeSurface(cairo_format_t format, int32_t width, int32_t height) {
    if (width <= 0 || height <= 0 || width > 32767 || height > 32767) return nullptr;
    cairo_surface_t* s = cairo_image_surface_create(format, width, height);
    if (cairo_surface_status(s) != CAIRO_STATUS_SUCCESS) {
        cairo_surface_destroy(s);
        return nullptr;
    }
    return Surface(s, CairoDeleter());
}

Path copyPath(cairo_t* cr) {
    cairo_path_t* path = cairo_copy_path(cr);
    if (path->status != CAIRO_STATUS_SUCCESS) {
        cairo_path_destroy(path);
        return nullptr;
    }
    return Path(path, CairoDeleter());
}

// ---------------------------------------------------------------- drawing state

constexpr uint32_t White = 0xFFFFFF;

// Metafile colours are 0x00BBGGRR; the target's words are 0x00RRGGBB.
uint32_t toRGB(uint32_t colorRef) {
    return (colorRef & 0xFF) << 16 | (colorRef & 0xFF00) | (colorRef >> 16 & 0xFF);
}

void setColor(cairo_t* cr, uint32_t rgb) {
    cairo_set_source_rgb(cr, (rgb >> 16 & 0xFF) / 255.0, (rgb >> 8 & 0xFF) / 255.0, (rgb & 0xFF) / 255.0);
}

enum PenStyle { PS_SOLID = 0, PS_DASH, PS_DOT, PS_DASHDOT, PS_DASHDOTDOT, PS_NULL, PS_INSIDEFRAME };
enum BrushStyle { BS_SOLID = 0, BS_NULL = 1, BS_HATCHED = 2, BS_PATTERN = 3, BS_DIBPATTERN = 5, BS_DIBPATTERNPT = 6 };

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

// A region as device rectangles (x0, y0, x1, y1).
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
};

struct ClipItem {
    Path path;  // device space
    bool evenOdd = false;
};

struct DC {
    Pen pen;
    Brush brush;
    Font font;
    std::vector<uint32_t> palette;
    uint32_t textColor = 0, bkColor = White;
    int bkMode = 2;  // OPAQUE
    int rop2 = 13;   // R2_COPYPEN
    int polyFill = 1;
    uint32_t textAlign = 0;
    int mapMode = 1;
    int arcDirection = 1;  // counter-clockwise
    double winOrgX = 0, winOrgY = 0, winExtX = 1, winExtY = 1;
    double vpOrgX = 0, vpOrgY = 0, vpExtX = 1, vpExtY = 1;
    cairo_matrix_t world{1, 0, 0, 1, 0, 0};
    double curX = 0, curY = 0;
    std::vector<ClipItem> clip;
    double miterLimit = 10;
};

// Bounds on what hostile data can make us hold.
constexpr size_t MaxSavedStates = 1024;
constexpr size_t MaxObjects = 65536;
constexpr size_t MaxClipItems = 256;

// ---------------------------------------------------------------- device-independent bitmaps

struct DecodedDIB {
    Surface surface;  // RGB24
    int32_t width = 0, height = 0;
};

int maskShift(uint32_t mask) {
    int shift = 0;
    while (mask && !(mask & 1)) {
        mask >>= 1;
        ++shift;
    }
    return shift;
}
uint32_t maskChannel(uint32_t value, uint32_t mask) {
    if (!mask) return 0;
    const int shift = maskShift(mask);
    const uint32_t max = mask >> shift;
    return static_cast<uint32_t>((uint64_t{(value & mask) >> shift} * 255 + max / 2) / max);
}

// header: the information header with its colour table; bits: the pixel rows.
// usage 1 (DIB_PAL_COLORS) takes the colour table as indices into palette.
DecodedDIB decodeDIB(Bytes header, Bytes bits, uint32_t usage, const std::vector<uint32_t>& palette) {
    DecodedDIB out;
    const uint32_t headerSize = header.u32(0);
    int32_t width, height;
    uint32_t bitCount, compression = 0, colorsUsed = 0;
    size_t tableEntry = 4;
    if (headerSize == 12) {
        if (!header.has(0, 12)) return out;
        width = header.u16(4);
        height = header.i16(6);
        bitCount = header.u16(10);
        tableEntry = 3;
    } else if (headerSize >= 40 && header.has(0, headerSize)) {
        width = header.i32(4);
        height = header.i32(8);
        bitCount = header.u16(14);
        compression = header.u32(16);
        colorsUsed = header.u32(32);
    } else {
        return out;
    }
    if (width <= 0 || height == 0 || height == INT32_MIN || width > 32767) return out;
    const bool topDown = height < 0;
    const int32_t rows = topDown ? -height : height;
    if (rows > 32767) return out;
    uint32_t masks[3] = {0xFF0000, 0xFF00, 0xFF};
    size_t tableOffset = headerSize;
    if (compression == 3 /* BI_BITFIELDS */) {
        if (bitCount != 16 && bitCount != 32) return out;
        const size_t at = headerSize >= 52 ? 40 : headerSize;
        if (!header.has(at, 12)) return out;
        for (int i = 0; i < 3; ++i) masks[i] = header.u32(at + 4 * i);
        if (headerSize < 52) tableOffset += 12;
    } else if (compression != 0) {
        return out;  // run-length and embedded JPEG/PNG bitmaps are not drawn
    } else if (bitCount == 16) {
        masks[0] = 0x7C00, masks[1] = 0x03E0, masks[2] = 0x001F;
    }
    if (bitCount != 1 && bitCount != 4 && bitCount != 8 && bitCount != 16 && bitCount != 24 && bitCount != 32)
        return out;
    uint32_t table[256] = {};
    if (bitCount <= 8) {
        uint32_t count = colorsUsed && colorsUsed < (1u << bitCount) ? colorsUsed : 1u << bitCount;
        const size_t entry = usage == 1 ? 2 : tableEntry;
        // A short table gives what it has; the rest stays black.
        count = static_cast<uint32_t>(std::min<uint64_t>(count, header.n > tableOffset ? (header.n - tableOffset) / entry : 0));
        for (uint32_t i = 0; i < count; ++i) {
            const size_t at = tableOffset + i * entry;
            if (usage == 1) {
                const uint16_t index = header.u16(at);
                table[i] = index < palette.size() ? palette[index] : 0;
            } else {
                table[i] = uint32_t{header.u8(at + 2)} << 16 | uint32_t{header.u8(at + 1)} << 8 | header.u8(at);
            }
        }
    }
    const uint64_t stride = (uint64_t{static_cast<uint32_t>(width)} * bitCount + 31) / 32 * 4;
    if (!bits.hasArray(0, rows, stride)) return out;
    out.surface = makeSurface(CAIRO_FORMAT_RGB24, width, rows);
    if (!out.surface) return out;
    cairo_surface_flush(out.surface.get());
    uint8_t* data = cairo_image_surface_get_data(out.surface.get());
    const int dstStride = cairo_image_surface_get_stride(out.surface.get());
    for (int32_t y = 0; y < rows; ++y) {
        const uint8_t* s = bits.p + (topDown ? y : rows - 1 - y) * stride;
        auto* d = reinterpret_cast<uint32_t*>(data + static_cast<size_t>(y) * dstStride);
        switch (bitCount) {
            case 1:
                for (int32_t x = 0; x < width; ++x) d[x] = table[s[x >> 3] >> (7 - (x & 7)) & 1];
                break;
            case 4:
                for (int32_t x = 0; x < width; ++x) d[x] = table[(x & 1) ? s[x >> 1] & 15 : s[x >> 1] >> 4];
                break;
            case 8:
                for (int32_t x = 0; x < width; ++x) d[x] = table[s[x]];
                break;
            case 16:
                for (int32_t x = 0; x < width; ++x) {
                    const uint32_t v = s[2 * x] | s[2 * x + 1] << 8;
                    d[x] = maskChannel(v, masks[0]) << 16 | maskChannel(v, masks[1]) << 8 | maskChannel(v, masks[2]);
                }
                break;
            case 24:
                for (int32_t x = 0; x < width; ++x)
                    d[x] = uint32_t{s[3 * x + 2]} << 16 | uint32_t{s[3 * x + 1]} << 8 | s[3 * x];
                break;
            case 32:
                if (compression == 0) {
                    for (int32_t x = 0; x < width; ++x)
                        d[x] = uint32_t{s[4 * x + 2]} << 16 | uint32_t{s[4 * x + 1]} << 8 | s[4 * x];
                } else {
                    for (int32_t x = 0; x < width; ++x) {
                        const uint32_t v = s[4 * x] | s[4 * x + 1] << 8 | s[4 * x + 2] << 16 | uint32_t{s[4 * x + 3]} << 24;
                        d[x] = maskChannel(v, masks[0]) << 16 | maskChannel(v, masks[1]) << 8 | maskChannel(v, masks[2]);
                    }
                }
                break;
        }
    }
    cairo_surface_mark_dirty(out.surface.get());
    out.width = width;
    out.height = rows;
    return out;
}

// Size in bytes of a packed DIB's header and colour table (what precedes the rows).
size_t packedHeaderSize(Bytes dib, uint32_t usage) {
    const uint32_t headerSize = dib.u32(0);
    if (headerSize == 12) {
        const uint32_t bitCount = dib.u16(10);
        return 12 + (bitCount <= 8 ? (size_t{1} << bitCount) * (usage == 1 ? 2 : 3) : 0);
    }
    if (headerSize < 40 || headerSize > dib.n) return SIZE_MAX;
    const uint32_t bitCount = dib.u16(14), compression = dib.u32(16), used = dib.u32(32);
    size_t size = headerSize;
    if (compression == 3 && headerSize < 52) size += 12;
    if (bitCount <= 8) {
        const uint64_t count = used && used < (1u << bitCount) ? used : uint64_t{1} << bitCount;
        size += static_cast<size_t>(count) * (usage == 1 ? 2 : 4);
    } else if (used && used <= 65536) {
        size += static_cast<size_t>(used) * 4;
    }
    return size;
}

// ---------------------------------------------------------------- text

// Windows-1252 code points 0x80-0x9F; the rest of the code page is Latin-1.
const uint16_t Cp1252High[32] = {0x20AC, 0x81,   0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                                 0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x8D,   0x017D, 0x8F,
                                 0x90,   0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                                 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x9D,   0x017E, 0x0178};

// The Symbol font's letters are Greek.
uint32_t symbolToUnicode(uint8_t c) {
    static const char16_t lower[] = u"\u03B1\u03B2\u03C7\u03B4\u03B5\u03C6\u03B3\u03B7\u03B9\u03D5\u03BA\u03BB\u03BC"
                                    u"\u03BD\u03BF\u03C0\u03B8\u03C1\u03C3\u03C4\u03C5\u03D6\u03C9\u03BE\u03C8\u03B6";
    static const char16_t upper[] = u"\u0391\u0392\u03A7\u0394\u0395\u03A6\u0393\u0397\u0399\u03D1\u039A\u039B\u039C"
                                    u"\u039D\u039F\u03A0\u0398\u03A1\u03A3\u03A4\u03A5\u03C2\u03A9\u039E\u03A8\u0396";
    if (c >= 'a' && c <= 'z') return lower[c - 'a'];
    if (c >= 'A' && c <= 'Z') return upper[c - 'A'];
    switch (c) {
        case 0x2D: return 0x2212;
        case 0xA3: return 0x2264;
        case 0xA5: return 0x221E;
        case 0xAE: return 0x2192;
        case 0xB1: return 0x00B1;
        case 0xB3: return 0x2265;
        case 0xB4: return 0x00D7;
        case 0xB6: return 0x2202;
        case 0xB9: return 0x2260;
        case 0xBB: return 0x2248;
        case 0xD6: return 0x221A;
        case 0xE5: return 0x2211;
        case 0xF2: return 0x222B;
        default: return c;
    }
}

void appendUtf8(std::string& out, uint32_t cp) {
    if (cp < 0x20) cp = ' ';
    if (cp >= 0xD800 && cp <= 0xDFFF) cp = 0xFFFD;
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | cp >> 6);
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | cp >> 12);
        out += static_cast<char>(0x80 | (cp >> 6 & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | cp >> 18);
        out += static_cast<char>(0x80 | (cp >> 12 & 0x3F));
        out += static_cast<char>(0x80 | (cp >> 6 & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

std::string upperAscii(std::string s) {
    for (char& c : s)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
    return s;
}

// The metafile's face goes to the nearest of the fonts every machine here has.
const char* fontFamily(const Font& font) {
    const std::string face = upperAscii(font.face);
    if (face.find("COURIER") != std::string::npos || face.find("MONO") != std::string::npos ||
        face.find("FIXED") != std::string::npos || face.find("CONSOL") != std::string::npos)
        return "DejaVu Sans Mono";
    if (face.find("TIMES") != std::string::npos || face.find("SERIF") != std::string::npos ||
        face.find("ROMAN") != std::string::npos || face.find("GEORGIA") != std::string::npos ||
        face.find("GARAMOND") != std::string::npos || face.find("BOOK") != std::string::npos ||
        face.find("SYMBOL") != std::string::npos)
        return "DejaVu Serif";
    return "DejaVu Sans";
}

// ---------------------------------------------------------------- the player

enum : uint32_t { TA_UPDATECP = 1, TA_RIGHT = 2, TA_CENTER = 6, TA_BOTTOM = 8, TA_BASELINE = 24 };
enum : uint32_t { ETO_OPAQUE = 2, ETO_CLIPPED = 4, ETO_GLYPH_INDEX = 0x10, ETO_PDY = 0x2000 };
enum : int { RGN_AND = 1, RGN_OR = 2, RGN_XOR = 3, RGN_DIFF = 4, RGN_COPY = 5 };

class Player {
public:
    Player(const PlayTarget& target, bool enhanced)
        : target_(target), enhanced_(enhanced) {
        surface_ = Surface(cairo_image_surface_create_for_data(reinterpret_cast<unsigned char*>(target.Pixels),
                                                               CAIRO_FORMAT_RGB24, target.Width, target.Height,
                                                               target.StrideBytes),
                           CairoDeleter());
        cr_.reset(cairo_create(surface_.get()));
        scratchSurface_ = makeSurface(CAIRO_FORMAT_A8, 1, 1);
        scratch_.reset(cairo_create(scratchSurface_ ? scratchSurface_.get() : surface_.get()));
        pathBuilder_.reset(cairo_create(scratchSurface_ ? scratchSurface_.get() : surface_.get()));
        options_.reset(cairo_font_options_create());
        cairo_font_options_set_antialias(options_.get(), CAIRO_ANTIALIAS_NONE);
        cairo_font_options_set_hint_metrics(options_.get(), CAIRO_HINT_METRICS_OFF);
        for (cairo_t* c : {cr_.get(), scratch_.get(), pathBuilder_.get()}) {
            cairo_set_antialias(c, CAIRO_ANTIALIAS_NONE);
            cairo_set_tolerance(c, 0.25);
        }
        cairo_set_font_options(cr_.get(), options_.get());
    }

    bool ready() const {
        return cairo_status(cr_.get()) == CAIRO_STATUS_SUCCESS && scratchSurface_ != nullptr;
    }

    void playEnhanced(Bytes data, const PlayRect& dest);
    void playWindows(Bytes data, int16_t l, int16_t t, int16_t r, int16_t b, const PlayRect& dest);

private:
    // ------------------------------------------------ transforms

    // Logical to target pixels: world, then the page (window to viewport), then the
    // playback (the recording device onto the destination).
    cairo_matrix_t fullMatrix() const {
        double sx = 1, sy = 1;
        const DC& d = dc_;
        if (!enhanced_ || d.mapMode == 8 || d.mapMode == 7) {
            sx = d.winExtX != 0 ? d.vpExtX / d.winExtX : 1;
            sy = d.winExtY != 0 ? d.vpExtY / d.winExtY : 1;
            if (enhanced_ && d.mapMode == 7) {
                const double s = std::min(std::fabs(sx), std::fabs(sy));
                sx = std::copysign(s, sx);
                sy = std::copysign(s, sy);
            }
        } else if (d.mapMode >= 2 && d.mapMode <= 6) {
            // Units per millimetre of the fixed modes; y grows upwards in them.
            static const double unitsPerMM[] = {10, 100, 100 / 25.4, 1000 / 25.4, 1440 / 25.4};
            const double u = unitsPerMM[d.mapMode - 2];
            sx = pxPerMMX_ / u;
            sy = -pxPerMMY_ / u;
        }
        cairo_matrix_t page{sx, 0, 0, sy, d.vpOrgX - d.winOrgX * sx, d.vpOrgY - d.winOrgY * sy};
        cairo_matrix_t m;
        cairo_matrix_multiply(&m, &d.world, &page);
        cairo_matrix_t full;
        cairo_matrix_multiply(&full, &m, &playback_);
        return full;
    }

    bool usable(const cairo_matrix_t& m) const {
        const double det = m.xx * m.yy - m.xy * m.yx;
        return std::isfinite(det) && std::fabs(det) > 1e-12 && std::isfinite(m.x0) && std::isfinite(m.y0) &&
               std::fabs(m.xx) < 1e7 && std::fabs(m.yy) < 1e7 && std::fabs(m.xy) < 1e7 && std::fabs(m.yx) < 1e7;
    }

    // Scale of logical lengths (pen widths, font heights) in target pixels.
    double lengthScale(const cairo_matrix_t& m, bool vertical) const {
        return vertical ? std::hypot(m.xy, m.yy) : std::hypot(m.xx, m.yx);
    }

    // ------------------------------------------------ shapes

    // Builds a shape in logical coordinates; the result is its outline in target
    // pixels, or appended to the open path bracket.
    template <class Build>
    Path shape(Build&& build) {
        return outline(build, inPath_);
    }

    // The same for areas that never join a path bracket (clipping, bitmaps, backgrounds).
    template <class Build>
    Path outline(Build&& build, bool intoPath = false) {
        const cairo_matrix_t m = fullMatrix();
        if (!usable(m)) return nullptr;
        cairo_t* b = intoPath ? pathBuilder_.get() : scratch_.get();
        if (!intoPath) cairo_new_path(b);
        cairo_set_matrix(b, &m);
        build(b);
        cairo_identity_matrix(b);
        if (intoPath) return nullptr;
        return copyPath(b);
    }

    void applyClip(cairo_t* c) {
        cairo_reset_clip(c);
        cairo_identity_matrix(c);
        for (const ClipItem& item : dc_.clip) {
            if (!item.path) continue;
            cairo_new_path(c);
            cairo_append_path(c, item.path.get());
            cairo_set_fill_rule(c, item.evenOdd ? CAIRO_FILL_RULE_EVEN_ODD : CAIRO_FILL_RULE_WINDING);
            cairo_clip(c);
        }
        cairo_new_path(c);
    }

    void clipChanged() { applyClip(cr_.get()); }

    bool setBrushSource(const Brush& brush) {
        cairo_t* c = cr_.get();
        switch (brush.style) {
            case BS_SOLID:
                setColor(c, brush.color);
                return true;
            case BS_HATCHED: {
                Surface tile = makeSurface(CAIRO_FORMAT_ARGB32, 8, 8);
                if (!tile) return false;
                Context t(cairo_create(tile.get()));
                if (dc_.bkMode == 2) {
                    setColor(t.get(), dc_.bkColor);
                    cairo_paint(t.get());
                }
                setColor(t.get(), brush.color);
                for (int i = 0; i < 8; ++i) {
                    auto dot = [&](int x, int y) { cairo_rectangle(t.get(), x, y, 1, 1); };
                    switch (brush.hatch) {
                        case 0: dot(i, 7); break;                      // horizontal
                        case 1: dot(7, i); break;                      // vertical
                        case 2: dot(i, i); break;                      // forward diagonal
                        case 3: dot(i, 7 - i); break;                  // backward diagonal
                        case 4: dot(i, 7), dot(7, i); break;           // cross
                        default: dot(i, i), dot(i, 7 - i); break;      // diagonal cross
                    }
                }
                cairo_fill(t.get());
                t.reset();
                setPatternSource(tile);
                return true;
            }
            case BS_PATTERN:
            case BS_DIBPATTERN:
            case BS_DIBPATTERNPT:
                if (!brush.pattern) {
                    setColor(c, brush.color);
                    return true;
                }
                setPatternSource(brush.pattern);
                return true;
            default:
                return false;
        }
    }

    void setPatternSource(const Surface& tile) {
        cairo_pattern_t* pattern = cairo_pattern_create_for_surface(tile.get());
        cairo_pattern_set_extend(pattern, CAIRO_EXTEND_REPEAT);
        cairo_pattern_set_filter(pattern, CAIRO_FILTER_NEAREST);
        cairo_matrix_t anchor;
        cairo_matrix_init_translate(&anchor, target_.OriginX, target_.OriginY);
        cairo_pattern_set_matrix(pattern, &anchor);
        cairo_set_source(cr_.get(), pattern);
        cairo_pattern_destroy(pattern);
    }

    // Pixel-exact raster operations of two operands (pen or brush with the target),
    // for the modes cairo has no operator for: the shape is drawn into a coverage mask
    // and every covered pixel gets the operation's result.
    void paintRop2(const Path& path, bool stroke, uint32_t color) {
        cairo_t* c = cr_.get();
        cairo_identity_matrix(c);
        cairo_new_path(c);
        if (stroke) cairo_translate(c, 0.5, 0.5);
        cairo_append_path(c, path.get());
        double x0, y0, x1, y1;
        if (stroke) cairo_stroke_extents(c, &x0, &y0, &x1, &y1);
        else cairo_fill_extents(c, &x0, &y0, &x1, &y1);
        cairo_new_path(c);
        cairo_identity_matrix(c);
        const int32_t left = std::max<int32_t>(0, static_cast<int32_t>(std::floor(std::max(x0, -1.0))));
        const int32_t top = std::max<int32_t>(0, static_cast<int32_t>(std::floor(std::max(y0, -1.0))));
        const int32_t right = static_cast<int32_t>(std::min<double>(target_.Width, std::ceil(x1)));
        const int32_t bottom = static_cast<int32_t>(std::min<double>(target_.Height, std::ceil(y1)));
        if (left >= right || top >= bottom) return;
        Surface mask = makeSurface(CAIRO_FORMAT_A8, right - left, bottom - top);
        if (!mask) return;
        {
            Context m(cairo_create(mask.get()));
            cairo_set_antialias(m.get(), CAIRO_ANTIALIAS_NONE);
            cairo_translate(m.get(), -left, -top);
            for (const ClipItem& item : dc_.clip) {
                if (!item.path) continue;
                cairo_new_path(m.get());
                cairo_append_path(m.get(), item.path.get());
                cairo_set_fill_rule(m.get(), item.evenOdd ? CAIRO_FILL_RULE_EVEN_ODD : CAIRO_FILL_RULE_WINDING);
                cairo_clip(m.get());
            }
            cairo_new_path(m.get());
            if (stroke) cairo_translate(m.get(), 0.5, 0.5);
            cairo_append_path(m.get(), path.get());
            if (stroke) {
                strokeStyle(m.get());
                cairo_stroke(m.get());
            } else {
                cairo_set_fill_rule(m.get(), dc_.polyFill == 2 ? CAIRO_FILL_RULE_WINDING : CAIRO_FILL_RULE_EVEN_ODD);
                cairo_fill(m.get());
            }
        }
        cairo_surface_flush(mask.get());
        cairo_surface_flush(surface_.get());
        const uint8_t* md = cairo_image_surface_get_data(mask.get());
        const int ms = cairo_image_surface_get_stride(mask.get());
        const int table = (dc_.rop2 - 1) & 15;
        for (int32_t y = top; y < bottom; ++y) {
            uint32_t* row = pixelRow(y);
            const uint8_t* mrow = md + static_cast<size_t>(y - top) * ms;
            for (int32_t x = left; x < right; ++x)
                if (mrow[x - left]) row[x] = rop2(table, color, row[x]);
        }
        cairo_surface_mark_dirty(surface_.get());
    }

    static uint32_t rop2(int table, uint32_t p, uint32_t d) {
        uint32_t r = 0;
        if (table & 8) r |= p & d;
        if (table & 4) r |= p & ~d;
        if (table & 2) r |= ~p & d;
        if (table & 1) r |= ~p & ~d;
        return r & 0xFFFFFF;
    }

    static uint32_t rop3(uint32_t code, uint32_t p, uint32_t s, uint32_t d) {
        uint32_t r = 0;
        for (int i = 0; i < 8; ++i)
            if (code >> i & 1) r |= (i & 4 ? p : ~p) & (i & 2 ? s : ~s) & (i & 1 ? d : ~d);
        return r & 0xFFFFFF;
    }

    uint32_t* pixelRow(int32_t y) {
        return reinterpret_cast<uint32_t*>(reinterpret_cast<uint8_t*>(target_.Pixels) +
                                           static_cast<size_t>(y) * target_.StrideBytes);
    }

    void strokeStyle(cairo_t* c) {
        const Pen& pen = dc_.pen;
        const cairo_matrix_t m = fullMatrix();
        double width = pen.cosmetic || pen.width <= 0 ? 1 : std::max(1.0, std::round(pen.width * lengthScale(m, false)));
        width = std::min(width, 1e5);
        cairo_set_line_width(c, width);
        static const cairo_line_cap_t caps[] = {CAIRO_LINE_CAP_ROUND, CAIRO_LINE_CAP_SQUARE, CAIRO_LINE_CAP_BUTT};
        static const cairo_line_join_t joins[] = {CAIRO_LINE_JOIN_ROUND, CAIRO_LINE_JOIN_BEVEL, CAIRO_LINE_JOIN_MITER};
        cairo_set_line_cap(c, caps[std::clamp(pen.endCap, 0, 2)]);
        cairo_set_line_join(c, joins[std::clamp(pen.join, 0, 2)]);
        cairo_set_miter_limit(c, std::clamp(dc_.miterLimit, 1.0, 100.0));
        static const double dash[] = {18, 6}, dot[] = {3, 3}, dashDot[] = {9, 6, 3, 6}, dashDotDot[] = {9, 3, 3, 3, 3, 3};
        const double* pattern = nullptr;
        int count = 0;
        switch (pen.style) {
            case PS_DASH: pattern = dash, count = 2; break;
            case PS_DOT: pattern = dot, count = 2; break;
            case PS_DASHDOT: pattern = dashDot, count = 4; break;
            case PS_DASHDOTDOT: pattern = dashDotDot, count = 6; break;
            default: break;
        }
        if (pattern && width <= 1) {
            cairo_set_dash(c, pattern, count, 0);
        } else {
            cairo_set_dash(c, nullptr, 0, 0);
        }
    }

    bool penVisible() const { return dc_.pen.style != PS_NULL && dc_.rop2 != 11; }

    void fillPath(const Path& path, const Brush& brush) {
        if (!path || brush.style == BS_NULL || dc_.rop2 == 11) return;
        if (dc_.rop2 != 13 && brush.style == BS_SOLID) {
            paintRop2(path, false, brush.color);
            return;
        }
        cairo_t* c = cr_.get();
        cairo_identity_matrix(c);
        if (!setBrushSource(brush)) return;
        cairo_new_path(c);
        cairo_append_path(c, path.get());
        cairo_set_fill_rule(c, dc_.polyFill == 2 ? CAIRO_FILL_RULE_WINDING : CAIRO_FILL_RULE_EVEN_ODD);
        cairo_fill(c);
    }

    void strokePath(const Path& path) {
        if (!path || !penVisible()) return;
        if (dc_.rop2 != 13) {
            paintRop2(path, true, dc_.pen.color);
            return;
        }
        cairo_t* c = cr_.get();
        cairo_identity_matrix(c);
        // Lines of odd widths are centred on pixel centres, as the platform draws them.
        cairo_translate(c, 0.5, 0.5);
        cairo_new_path(c);
        cairo_append_path(c, path.get());
        strokeStyle(c);
        setColor(c, dc_.pen.color);
        cairo_stroke(c);
        cairo_identity_matrix(c);
    }

    void fillAndStroke(const Path& path) {
        fillPath(path, dc_.brush);
        strokePath(path);
    }

    // ------------------------------------------------ shape builders

    void rectangle(double l, double t, double r, double b) {
        fillAndStroke(shape([&](cairo_t* c) {
            cairo_move_to(c, l, t);
            cairo_line_to(c, r, t);
            cairo_line_to(c, r, b);
            cairo_line_to(c, l, b);
            cairo_close_path(c);
        }));
    }

    static void ellipsePath(cairo_t* c, double l, double t, double r, double b) {
        const double rx = (r - l) / 2, ry = (b - t) / 2;
        if (rx == 0 || ry == 0) return;
        cairo_save(c);
        cairo_translate(c, (l + r) / 2, (t + b) / 2);
        cairo_scale(c, rx, ry);
        cairo_new_sub_path(c);
        cairo_arc(c, 0, 0, 1, 0, 2 * M_PI);
        cairo_close_path(c);
        cairo_restore(c);
    }

    void roundRect(double l, double t, double r, double b, double w, double h) {
        fillAndStroke(shape([&](cairo_t* c) {
            const double rx = std::min(std::fabs(w) / 2, std::fabs(r - l) / 2);
            const double ry = std::min(std::fabs(h) / 2, std::fabs(b - t) / 2);
            const double x0 = std::min(l, r), x1 = std::max(l, r), y0 = std::min(t, b), y1 = std::max(t, b);
            if (rx <= 0 || ry <= 0) {
                cairo_rectangle(c, x0, y0, x1 - x0, y1 - y0);
                return;
            }
            auto corner = [&](double cx, double cy, double a0) {
                cairo_save(c);
                cairo_translate(c, cx, cy);
                cairo_scale(c, rx, ry);
                cairo_arc(c, 0, 0, 1, a0, a0 + M_PI / 2);
                cairo_restore(c);
            };
            cairo_new_sub_path(c);
            corner(x1 - rx, y0 + ry, -M_PI / 2);
            corner(x1 - rx, y1 - ry, 0);
            corner(x0 + rx, y1 - ry, M_PI / 2);
            corner(x0 + rx, y0 + ry, M_PI);
            cairo_close_path(c);
        }));
    }

    // kind 0 arc, 1 chord, 2 pie; 3 arc continuing the current figure (ArcTo).
    void arc(int kind, double l, double t, double r, double b, double xs, double ys, double xe, double ye) {
        const double cx = (l + r) / 2, cy = (t + b) / 2, rx = std::fabs(r - l) / 2, ry = std::fabs(b - t) / 2;
        if (rx == 0 || ry == 0) return;
        const double a0 = std::atan2((ys - cy) / ry, (xs - cx) / rx);
        double a1 = std::atan2((ye - cy) / ry, (xe - cx) / rx);
        const cairo_matrix_t m = fullMatrix();
        const bool flipped = m.xx * m.yy - m.xy * m.yx < 0;
        // Counter-clockwise on the device is decreasing angles in y-down coordinates.
        const bool decreasing = (dc_.arcDirection == 1) != flipped;
        if (decreasing) {
            if (a1 >= a0) a1 -= 2 * M_PI;
        } else if (a1 <= a0) {
            a1 += 2 * M_PI;
        }
        double endX = cx + rx * std::cos(a1), endY = cy + ry * std::sin(a1);
        Path path = shape([&](cairo_t* c) {
            if (kind == 2) cairo_move_to(c, cx, cy);
            else if (kind == 3) cairo_move_to(c, dc_.curX, dc_.curY);
            else cairo_new_sub_path(c);
            cairo_save(c);
            cairo_translate(c, cx, cy);
            cairo_scale(c, rx, ry);
            if (decreasing) cairo_arc_negative(c, 0, 0, 1, a0, a1);
            else cairo_arc(c, 0, 0, 1, a0, a1);
            cairo_restore(c);
            if (kind == 1 || kind == 2) cairo_close_path(c);
        });
        if (kind == 3) dc_.curX = endX, dc_.curY = endY;
        if (kind == 1 || kind == 2) fillAndStroke(path);
        else strokePath(path);
    }

    // points: count (x, y) pairs.
    void poly(const std::vector<double>& pts, bool closed, bool fill) {
        if (pts.size() < 4) return;
        Path path = shape([&](cairo_t* c) {
            cairo_move_to(c, pts[0], pts[1]);
            for (size_t i = 2; i + 1 < pts.size(); i += 2) cairo_line_to(c, pts[i], pts[i + 1]);
            if (closed) cairo_close_path(c);
        });
        if (fill) fillAndStroke(path);
        else strokePath(path);
    }

    void polyPoly(const std::vector<double>& pts, const std::vector<uint32_t>& counts, bool closed) {
        size_t at = 0;
        Path path = shape([&](cairo_t* c) {
            for (uint32_t count : counts) {
                if (count == 0) continue;
                if (at + size_t{count} * 2 > pts.size()) break;
                cairo_move_to(c, pts[at], pts[at + 1]);
                for (uint32_t i = 1; i < count; ++i) cairo_line_to(c, pts[at + 2 * i], pts[at + 2 * i + 1]);
                if (closed) cairo_close_path(c);
                at += size_t{count} * 2;
            }
        });
        if (closed) fillAndStroke(path);
        else strokePath(path);
    }

    // From the current position when continuing; Bezier points come in threes.
    void polyTo(const std::vector<double>& pts, bool bezier, bool startAtCurrent) {
        if (pts.size() < 2) return;
        Path path = shape([&](cairo_t* c) {
            size_t i = 0;
            if (startAtCurrent) {
                if (!inPath_ || !cairo_has_current_point(c)) cairo_move_to(c, dc_.curX, dc_.curY);
            } else {
                cairo_move_to(c, pts[0], pts[1]);
                i = 2;
            }
            if (bezier) {
                for (; i + 5 < pts.size(); i += 6)
                    cairo_curve_to(c, pts[i], pts[i + 1], pts[i + 2], pts[i + 3], pts[i + 4], pts[i + 5]);
            } else {
                for (; i + 1 < pts.size(); i += 2) cairo_line_to(c, pts[i], pts[i + 1]);
            }
        });
        if (startAtCurrent) {
            dc_.curX = pts[pts.size() - 2];
            dc_.curY = pts[pts.size() - 1];
        }
        strokePath(path);
    }

    void lineTo(double x, double y) {
        Path path = shape([&](cairo_t* c) {
            if (!inPath_ || !cairo_has_current_point(c)) cairo_move_to(c, dc_.curX, dc_.curY);
            cairo_line_to(c, x, y);
        });
        dc_.curX = x, dc_.curY = y;
        strokePath(path);
    }

    void moveTo(double x, double y) {
        dc_.curX = x, dc_.curY = y;
        if (inPath_) shape([&](cairo_t* c) { cairo_move_to(c, x, y); });
    }

    // ------------------------------------------------ regions and clipping

    // Device rectangles into a path in target pixels.
    Path regionPath(const Region& region, bool logical) {
        cairo_t* b = scratch_.get();
        cairo_new_path(b);
        const cairo_matrix_t m = logical ? fullMatrix() : playback_;
        if (!usable(m)) return nullptr;
        cairo_set_matrix(b, &m);
        for (size_t i = 0; i + 3 < region.rects.size(); i += 4)
            cairo_rectangle(b, region.rects[i], region.rects[i + 1], region.rects[i + 2] - region.rects[i],
                            region.rects[i + 3] - region.rects[i + 1]);
        cairo_identity_matrix(b);
        return copyPath(b);
    }

    // Whole-target rectangle with a hole: the outside of a path.
    Path outsideOf(const Path& inner) {
        cairo_t* b = scratch_.get();
        cairo_new_path(b);
        cairo_identity_matrix(b);
        cairo_rectangle(b, -1e6, -1e6, 2e6 + target_.Width, 2e6 + target_.Height);
        cairo_append_path(b, inner.get());
        return copyPath(b);
    }

    void combineClip(const Path& path, int mode, bool evenOdd) {
        if (mode == RGN_COPY || (mode != RGN_AND && mode != RGN_DIFF)) {
            // A union or exclusive-or with the old clip is not expressible as an
            // intersection; the new region alone is the closer answer than none.
            dc_.clip.clear();
            if (path) dc_.clip.push_back({path, evenOdd});
        } else if (path && dc_.clip.size() < MaxClipItems) {
            if (mode == RGN_AND) dc_.clip.push_back({path, evenOdd});
            else dc_.clip.push_back({outsideOf(path), true});
        }
        clipChanged();
    }

    void clipRect(double l, double t, double r, double b, bool exclude) {
        Path path = outline([&](cairo_t* c) { cairo_rectangle(c, l, t, r - l, b - t); });
        if (!path || dc_.clip.size() >= MaxClipItems) return;
        dc_.clip.push_back(exclude ? ClipItem{outsideOf(path), true} : ClipItem{path, false});
        clipChanged();
    }

    void offsetClip(double dx, double dy, bool logical) {
        const cairo_matrix_t m = logical ? fullMatrix() : playback_;
        const double ox = dx * m.xx + dy * m.xy, oy = dx * m.yx + dy * m.yy;
        for (ClipItem& item : dc_.clip) {
            if (!item.path) continue;
            cairo_t* b = scratch_.get();
            cairo_new_path(b);
            cairo_identity_matrix(b);
            cairo_translate(b, ox, oy);
            cairo_append_path(b, item.path.get());
            cairo_identity_matrix(b);
            item.path = copyPath(b);
        }
        clipChanged();
    }

    // ------------------------------------------------ bitmaps

    // Paints a source bitmap (or only the pattern and the target, without one) from the
    // source rectangle into the logical destination rectangle with a ternary raster
    // operation.
    // The source stretched onto the target's pixel grid by nearest pixel, for the usual
    // transforms that neither rotate nor shear: exact, and free of the fixed-point
    // limits of the renderer's pattern transforms (a bitmap shrunk far from the origin
    // would otherwise sample garbage). The block covers the visible destination, whose
    // top-left corner goes to left and top; null for other transforms or nothing visible.
    Surface stretchedSource(const DecodedDIB& dib, const cairo_matrix_t& m, double xd, double yd, double wd,
                            double hd, double xs, double ys, double ws, double hs, int32_t& left, int32_t& top) {
        if (m.xy != 0 || m.yx != 0) return nullptr;
        const double dx0 = m.xx * xd + m.x0, dx1 = m.xx * (xd + wd) + m.x0;
        const double dy0 = m.yy * yd + m.y0, dy1 = m.yy * (yd + hd) + m.y0;
        if (!(std::isfinite(dx0) && std::isfinite(dx1) && std::isfinite(dy0) && std::isfinite(dy1)) || dx0 == dx1 || dy0 == dy1)
            return nullptr;
        // Pixels whose centres lie inside the destination.
        auto span = [](double a, double b, int32_t limit, int32_t& first, int32_t& last) {
            const double lo = std::min(a, b) - 0.5, hi = std::max(a, b) - 0.5;
            first = static_cast<int32_t>(std::clamp(std::ceil(lo), 0.0, static_cast<double>(limit)));
            last = static_cast<int32_t>(std::clamp(std::ceil(hi), 0.0, static_cast<double>(limit)));
        };
        int32_t x0, x1, y0, y1;
        span(dx0, dx1, target_.Width, x0, x1);
        span(dy0, dy1, target_.Height, y0, y1);
        if (x0 >= x1 || y0 >= y1) return nullptr;
        Surface block = makeSurface(CAIRO_FORMAT_RGB24, x1 - x0, y1 - y0);
        if (!block) return nullptr;
        std::vector<int32_t> columns(static_cast<size_t>(x1 - x0));
        for (int32_t x = x0; x < x1; ++x) {
            const double u = (x + 0.5 - dx0) / (dx1 - dx0);
            columns[static_cast<size_t>(x - x0)] =
                static_cast<int32_t>(std::clamp(std::floor(xs + u * ws), 0.0, static_cast<double>(dib.width - 1)));
        }
        cairo_surface_flush(dib.surface.get());
        cairo_surface_flush(block.get());
        const uint8_t* sd = cairo_image_surface_get_data(dib.surface.get());
        const int ss = cairo_image_surface_get_stride(dib.surface.get());
        uint8_t* bd = cairo_image_surface_get_data(block.get());
        const int bs = cairo_image_surface_get_stride(block.get());
        for (int32_t y = y0; y < y1; ++y) {
            const double v = (y + 0.5 - dy0) / (dy1 - dy0);
            const auto sy = static_cast<int32_t>(std::clamp(std::floor(ys + v * hs), 0.0, static_cast<double>(dib.height - 1)));
            const auto* srow = reinterpret_cast<const uint32_t*>(sd + static_cast<size_t>(sy) * ss);
            auto* brow = reinterpret_cast<uint32_t*>(bd + static_cast<size_t>(y - y0) * bs);
            for (size_t i = 0; i < columns.size(); ++i) brow[i] = srow[columns[i]];
        }
        cairo_surface_mark_dirty(block.get());
        left = x0;
        top = y0;
        return block;
    }

    void blit(const DecodedDIB* source, double xd, double yd, double wd, double hd, double xs, double ys, double ws,
              double hs, uint32_t rop) {
        const uint32_t code = rop >> 16 & 0xFF;
        if (code == 0xAA) return;  // the target stays
        const cairo_matrix_t m = fullMatrix();
        if (!usable(m) || wd == 0 || hd == 0) return;
        cairo_t* c = cr_.get();
        const bool usesSource = ((code >> 2) & 0x33) != (code & 0x33);
        const bool usesTarget = ((code >> 1) & 0x55) != (code & 0x55);
        if (usesSource && (!source || !source->surface || ws == 0 || hs == 0)) return;
        int32_t blockLeft = 0, blockTop = 0;
        Surface block;
        if (usesSource) block = stretchedSource(*source, m, xd, yd, wd, hd, xs, ys, ws, hs, blockLeft, blockTop);
        if (code == 0xCC && block) {
            cairo_identity_matrix(c);
            cairo_set_source_surface(c, block.get(), blockLeft, blockTop);
            cairo_rectangle(c, blockLeft, blockTop, cairo_image_surface_get_width(block.get()),
                            cairo_image_surface_get_height(block.get()));
            cairo_fill(c);
            return;
        }
        if (code == 0xCC && source) {
            cairo_save(c);
            cairo_set_matrix(c, &m);
            cairo_translate(c, xd, yd);
            cairo_scale(c, wd / ws, hd / hs);
            cairo_translate(c, -xs, -ys);
            cairo_set_source_surface(c, source->surface.get(), 0, 0);
            cairo_pattern_set_filter(cairo_get_source(c), CAIRO_FILTER_NEAREST);
            cairo_pattern_set_extend(cairo_get_source(c), CAIRO_EXTEND_PAD);
            cairo_rectangle(c, xs, ys, ws, hs);
            cairo_fill(c);
            cairo_restore(c);
            return;
        }
        if (!usesTarget && !usesSource && dc_.brush.style != BS_SOLID && code == 0xF0) {
            // A pattern copy with a hatched or bitmap brush is a plain fill.
            fillPath(outline([&](cairo_t* b) { cairo_rectangle(b, xd, yd, wd, hd); }), dc_.brush);
            return;
        }
        // General case, pixel by pixel over the covered area.
        Path area = outline([&](cairo_t* b) { cairo_rectangle(b, xd, yd, wd, hd); });
        if (!area) return;
        cairo_identity_matrix(c);
        cairo_new_path(c);
        cairo_append_path(c, area.get());
        double x0, y0, x1, y1;
        cairo_fill_extents(c, &x0, &y0, &x1, &y1);
        cairo_new_path(c);
        const int32_t left = std::max<int32_t>(0, static_cast<int32_t>(std::floor(std::max(x0, -1.0))));
        const int32_t top = std::max<int32_t>(0, static_cast<int32_t>(std::floor(std::max(y0, -1.0))));
        const int32_t right = static_cast<int32_t>(std::min<double>(target_.Width, std::ceil(x1)));
        const int32_t bottom = static_cast<int32_t>(std::min<double>(target_.Height, std::ceil(y1)));
        if (left >= right || top >= bottom) return;
        // The source, transformed, and the coverage (clip included) at the area's size.
        Surface src = makeSurface(CAIRO_FORMAT_RGB24, right - left, bottom - top);
        Surface mask = makeSurface(CAIRO_FORMAT_A8, right - left, bottom - top);
        if (!src || !mask) return;
        if (usesSource && block) {
            Context s(cairo_create(src.get()));
            cairo_set_source_surface(s.get(), block.get(), blockLeft - left, blockTop - top);
            cairo_paint(s.get());
        } else if (usesSource) {
            Context s(cairo_create(src.get()));
            cairo_set_antialias(s.get(), CAIRO_ANTIALIAS_NONE);
            cairo_translate(s.get(), -left, -top);
            cairo_transform(s.get(), &m);
            cairo_translate(s.get(), xd, yd);
            cairo_scale(s.get(), wd / ws, hd / hs);
            cairo_translate(s.get(), -xs, -ys);
            cairo_set_source_surface(s.get(), source->surface.get(), 0, 0);
            cairo_pattern_set_filter(cairo_get_source(s.get()), CAIRO_FILTER_NEAREST);
            cairo_pattern_set_extend(cairo_get_source(s.get()), CAIRO_EXTEND_PAD);
            cairo_paint(s.get());
        }
        {
            Context k(cairo_create(mask.get()));
            cairo_set_antialias(k.get(), CAIRO_ANTIALIAS_NONE);
            cairo_translate(k.get(), -left, -top);
            for (const ClipItem& item : dc_.clip) {
                if (!item.path) continue;
                cairo_new_path(k.get());
                cairo_append_path(k.get(), item.path.get());
                cairo_set_fill_rule(k.get(), item.evenOdd ? CAIRO_FILL_RULE_EVEN_ODD : CAIRO_FILL_RULE_WINDING);
                cairo_clip(k.get());
            }
            cairo_new_path(k.get());
            cairo_append_path(k.get(), area.get());
            cairo_fill(k.get());
        }
        cairo_surface_flush(src.get());
        cairo_surface_flush(mask.get());
        cairo_surface_flush(surface_.get());
        const uint32_t pattern = dc_.brush.style == BS_NULL ? 0 : dc_.brush.color;
        const uint8_t* sd = cairo_image_surface_get_data(src.get());
        const int ss = cairo_image_surface_get_stride(src.get());
        const uint8_t* md = cairo_image_surface_get_data(mask.get());
        const int ms = cairo_image_surface_get_stride(mask.get());
        for (int32_t y = top; y < bottom; ++y) {
            uint32_t* row = pixelRow(y);
            const auto* srow = reinterpret_cast<const uint32_t*>(sd + static_cast<size_t>(y - top) * ss);
            const uint8_t* mrow = md + static_cast<size_t>(y - top) * ms;
            for (int32_t x = left; x < right; ++x)
                if (mrow[x - left]) row[x] = rop3(code, pattern, srow[x - left] & 0xFFFFFF, row[x]);
        }
        cairo_surface_mark_dirty(surface_.get());
    }

    // ------------------------------------------------ text

    void text(double x, double y, const std::vector<uint32_t>& chars, const std::vector<double>& dx,
              uint32_t options, const double* rect) {
        const cairo_matrix_t m = fullMatrix();
        if (!usable(m)) return;
        cairo_t* c = cr_.get();
        if (rect && (options & ETO_OPAQUE)) {
            const Brush bk{BS_SOLID, dc_.bkColor, 0, nullptr};
            const int savedRop = dc_.rop2;
            dc_.rop2 = 13;
            fillPath(outline([&](cairo_t* b) { cairo_rectangle(b, rect[0], rect[1], rect[2] - rect[0], rect[3] - rect[1]); }), bk);
            dc_.rop2 = savedRop;
        }
        if (chars.empty() || (options & ETO_GLYPH_INDEX)) return;
        const bool updateCP = (dc_.textAlign & TA_UPDATECP) != 0;
        if (updateCP) x = dc_.curX, y = dc_.curY;
        double devX, devY;
        devX = x, devY = y;
        cairo_matrix_transform_point(&m, &devX, &devY);
        const Font& font = dc_.font;
        const double yScale = lengthScale(m, true);
        double size = std::fabs(font.height) * yScale;
        cairo_save(c);
        if (rect && (options & ETO_CLIPPED)) {
            Path clip = outline([&](cairo_t* b) { cairo_rectangle(b, rect[0], rect[1], rect[2] - rect[0], rect[3] - rect[1]); });
            if (clip) {
                cairo_identity_matrix(c);
                cairo_new_path(c);
                cairo_append_path(c, clip.get());
                cairo_clip(c);
            }
        }
        cairo_identity_matrix(c);
        cairo_select_font_face(c, fontFamily(font), font.italic ? CAIRO_FONT_SLANT_ITALIC : CAIRO_FONT_SLANT_NORMAL,
                               font.weight >= 600 ? CAIRO_FONT_WEIGHT_BOLD : CAIRO_FONT_WEIGHT_NORMAL);
        if (size <= 0) size = 12 * yScale;
        cairo_set_font_size(c, 1);
        cairo_font_extents_t unit;
        cairo_font_extents(c, &unit);
        // A positive height is the cell height, a negative one the character height.
        if (font.height > 0 && unit.ascent + unit.descent > 0) size /= (unit.ascent + unit.descent);
        if (size < 0.5 || size > 10000 || !std::isfinite(size)) {
            cairo_restore(c);
            return;
        }
        cairo_set_font_size(c, size);
        cairo_font_extents_t fe;
        cairo_font_extents(c, &fe);
        // The escapement turns counter-clockwise on the device; a world transform that
        // rotates turns the baseline with it (a mirrored axis leaves the text readable).
        double angle = -font.escapement / 10.0 * M_PI / 180.0;
        if (std::fabs(m.yx) > 1e-9) angle += std::atan2(m.yx, m.xx);
        std::string utf8;
        std::vector<std::string> glyphs;
        glyphs.reserve(chars.size());
        for (uint32_t ch : chars) {
            std::string one;
            appendUtf8(one, ch);
            utf8 += one;
            glyphs.push_back(std::move(one));
        }
        // Advances along the baseline in device units.
        std::vector<double> advance(glyphs.size());
        double total = 0;
        const double xScale = lengthScale(m, false);
        for (size_t i = 0; i < glyphs.size(); ++i) {
            if (i < dx.size()) {
                advance[i] = dx[i] * xScale;
            } else {
                cairo_text_extents_t te;
                cairo_text_extents(c, glyphs[i].c_str(), &te);
                advance[i] = te.x_advance;
            }
            total += advance[i];
        }
        double ox = 0, oy = 0;
        const uint32_t h = dc_.textAlign & 6, v = dc_.textAlign & 24;
        if (h == TA_CENTER) ox = -total / 2;
        else if (h == TA_RIGHT) ox = -total;
        if (v == TA_BASELINE) oy = 0;
        else if (v == TA_BOTTOM) oy = -fe.descent;
        else oy = fe.ascent;
        cairo_translate(c, devX, devY);
        cairo_rotate(c, angle);
        if (dc_.bkMode == 2) {
            setColor(c, dc_.bkColor);
            cairo_rectangle(c, ox, oy - fe.ascent, total, fe.ascent + fe.descent);
            cairo_fill(c);
        }
        setColor(c, dc_.textColor);
        double pen = ox;
        for (size_t i = 0; i < glyphs.size(); ++i) {
            cairo_move_to(c, pen, oy);
            cairo_show_text(c, glyphs[i].c_str());
            pen += advance[i];
        }
        const double thickness = std::max(1.0, std::round(size / 14));
        if (font.underline) cairo_rectangle(c, ox, oy + std::max(1.0, fe.descent / 3), total, thickness);
        if (font.strikeOut) cairo_rectangle(c, ox, oy - fe.ascent / 3, total, thickness);
        cairo_fill(c);
        cairo_restore(c);
        if (updateCP) {
            // The current position moves along the text (in logical units).
            cairo_matrix_t inverse = m;
            if (cairo_matrix_invert(&inverse) == CAIRO_STATUS_SUCCESS) {
                double ex = devX + std::cos(angle) * (h == TA_RIGHT ? 0 : total);
                double ey = devY + std::sin(angle) * (h == TA_RIGHT ? 0 : total);
                cairo_matrix_transform_point(&inverse, &ex, &ey);
                dc_.curX = ex, dc_.curY = ey;
            }
        }
    }

    // ------------------------------------------------ objects

    void storeObject(size_t index, Object object) {
        if (index < objects_.size()) objects_[index] = std::move(object);
    }

    // WMF objects take the lowest free slot.
    void addObject(Object object) {
        for (Object& slot : objects_)
            if (slot.kind == Object::None) {
                slot = std::move(object);
                return;
            }
    }

    void selectObject(uint32_t index) {
        if (index & 0x80000000u) {
            selectStock(index & 0x7FFFFFFF);
            return;
        }
        if (index >= objects_.size()) return;
        const Object& o = objects_[index];
        switch (o.kind) {
            case Object::PenKind: dc_.pen = o.pen; break;
            case Object::BrushKind: dc_.brush = o.brush; break;
            case Object::FontKind: dc_.font = o.font; break;
            case Object::PaletteKind: dc_.palette = o.palette; break;
            case Object::RegionKind: combineClip(regionPath(o.region, true), RGN_COPY, false); break;
            default: break;
        }
    }

    void selectStock(uint32_t stock) {
        static const uint32_t brushGreys[] = {0xFFFFFF, 0xC0C0C0, 0x808080, 0x404040, 0x000000};
        if (stock <= 4) dc_.brush = Brush{BS_SOLID, brushGreys[stock], 0, nullptr};
        else if (stock == 5) dc_.brush = Brush{BS_NULL, 0, 0, nullptr};
        else if (stock == 6) dc_.pen = Pen{PS_SOLID, 0, true, White};
        else if (stock == 7) dc_.pen = Pen{};
        else if (stock == 8) dc_.pen = Pen{PS_NULL, 0, true, 0};
        else if (stock >= 10 && stock <= 17 && stock != 15) dc_.font = Font{};
    }

    void deleteObject(uint32_t index) {
        if (index < objects_.size()) objects_[index] = Object{};
    }

    static Pen makePen(uint32_t style, double width, uint32_t colorRef) {
        Pen pen;
        pen.style = static_cast<int>(style & 0xF);
        pen.width = width;
        pen.cosmetic = (style & 0xF0000) == 0 && width <= 1;
        pen.color = toRGB(colorRef);
        pen.endCap = static_cast<int>(style >> 8 & 0xF);
        pen.join = static_cast<int>(style >> 12 & 0xF);
        if (pen.style > PS_INSIDEFRAME) pen.style = PS_SOLID;
        return pen;
    }

    Brush makeBrush(uint32_t style, uint32_t colorRef, uint32_t hatch) const {
        Brush brush;
        brush.style = style == BS_NULL || style == BS_HATCHED ? static_cast<int>(style) : BS_SOLID;
        brush.color = toRGB(colorRef);
        brush.hatch = static_cast<int>(std::min<uint32_t>(hatch, 5));
        return brush;
    }

    Brush patternBrush(Bytes header, Bytes bits, uint32_t usage) const {
        Brush brush;
        DecodedDIB dib = decodeDIB(header, bits, usage, dc_.palette);
        if (dib.surface && dib.width * int64_t{dib.height} <= 1 << 20) {
            brush.style = BS_DIBPATTERNPT;
            brush.pattern = dib.surface;
        } else {
            brush.color = 0x808080;
        }
        return brush;
    }

    void saveDC() {
        if (saved_.size() < MaxSavedStates) saved_.push_back(dc_);
    }

    void restoreDC(int32_t relative) {
        if (relative >= 0) {
            // An absolute level counts from the first save (level 1).
            if (relative == 0 || static_cast<size_t>(relative) > saved_.size()) return;
            relative = relative - static_cast<int32_t>(saved_.size()) - 1;
        }
        const int64_t keep = static_cast<int64_t>(saved_.size()) + relative;
        if (keep < 0) return;
        dc_ = saved_[static_cast<size_t>(keep)];
        saved_.resize(static_cast<size_t>(keep));
        clipChanged();
    }

    // ------------------------------------------------ records

    bool readPoints32(const Bytes& r, size_t at, uint32_t count, std::vector<double>& pts) {
        if (!r.hasArray(at, count, 8)) return false;
        pts.resize(size_t{count} * 2);
        for (uint32_t i = 0; i < count; ++i) {
            pts[2 * i] = r.i32(at + 8 * i);
            pts[2 * i + 1] = r.i32(at + 8 * i + 4);
        }
        return true;
    }
    bool readPoints16(const Bytes& r, size_t at, uint32_t count, std::vector<double>& pts) {
        if (!r.hasArray(at, count, 4)) return false;
        pts.resize(size_t{count} * 2);
        for (uint32_t i = 0; i < count; ++i) {
            pts[2 * i] = r.i16(at + 4 * i);
            pts[2 * i + 1] = r.i16(at + 4 * i + 2);
        }
        return true;
    }

    void emfRecord(uint32_t type, const Bytes& r);
    void emfPolyPoly(const Bytes& r, bool small, bool closed);
    void emfBitmap(uint32_t type, const Bytes& r);
    void emfText(const Bytes& r, bool wide);
    void emfRegionClip(const Bytes& r);
    Region emfRegion(const Bytes& data);

    void wmfRecord(uint16_t function, const Bytes& r);
    void wmfBitmap(uint16_t function, const Bytes& r);
    void wmfText(const Bytes& r, bool extended);
    Object wmfRegion(const Bytes& r);

    PlayTarget target_;
    bool enhanced_;
    Surface surface_;
    Context cr_;
    Surface scratchSurface_;
    Context scratch_;
    Context pathBuilder_;
    std::unique_ptr<cairo_font_options_t, CairoDeleter> options_;
    DC dc_;
    std::vector<DC> saved_;
    std::vector<Object> objects_;
    cairo_matrix_t playback_{1, 0, 0, 1, 0, 0};
    double pxPerMMX_ = 96 / 25.4, pxPerMMY_ = 96 / 25.4;
    bool inPath_ = false;
    Path path_;  // the last completed path bracket
};

// ---------------------------------------------------------------- EMF

void Player::playEnhanced(Bytes data, const PlayRect& dest) {
    const int32_t fl = data.i32(24), ft = data.i32(28), fr = data.i32(32), fb = data.i32(36);
    const int32_t devX = data.i32(72), devY = data.i32(76), mmX = data.i32(80), mmY = data.i32(84);
    if (devX > 0 && devY > 0 && mmX > 0 && mmY > 0) {
        pxPerMMX_ = static_cast<double>(devX) / mmX;
        pxPerMMY_ = static_cast<double>(devY) / mmY;
    }
    // The frame in the reference device's pixels goes onto the destination.
    const double left = fl / 100.0 * pxPerMMX_, top = ft / 100.0 * pxPerMMY_;
    const double width = (static_cast<double>(fr) - fl) / 100.0 * pxPerMMX_;
    const double height = (static_cast<double>(fb) - ft) / 100.0 * pxPerMMY_;
    if (width <= 0 || height <= 0) return;
    const double sx = (dest.Right - dest.Left) / width, sy = (dest.Bottom - dest.Top) / height;
    playback_ = {sx, 0, 0, sy, dest.Left - left * sx, dest.Top - top * sy};
    objects_.assign(std::min<size_t>(data.u16(56) + size_t{1}, MaxObjects), Object{});
    dc_.winExtX = dc_.winExtY = dc_.vpExtX = dc_.vpExtY = 1;
    size_t at = 0;
    while (data.has(at, 8)) {
        const uint32_t type = data.u32(at), size = data.u32(at + 4);
        if (size < 8 || !data.has(at, size)) break;
        if (type == 14) break;  // EMR_EOF
        emfRecord(type, data.sub(at, size));
        at += size;
    }
}

Region Player::emfRegion(const Bytes& d) {
    // RGNDATAHEADER (32 bytes), then rectangles of four i32.
    Region region;
    const uint32_t headerSize = d.u32(0), count = d.u32(8);
    if (headerSize < 32 || !d.hasArray(headerSize, count, 16)) return region;
    region.rects.reserve(std::min<size_t>(count, 65536) * 4);
    for (uint32_t i = 0; i < count && i < 65536; ++i)
        for (int k = 0; k < 4; ++k) region.rects.push_back(d.i32(headerSize + 16 * i + 4 * k));
    return region;
}

void Player::emfRegionClip(const Bytes& r) {
    const uint32_t bytes = r.u32(8), mode = r.u32(12);
    if (mode == RGN_COPY && bytes == 0) {
        dc_.clip.clear();
        clipChanged();
        return;
    }
    if (!r.has(16, bytes)) return;
    const Region region = emfRegion(r.sub(16, bytes));
    combineClip(regionPath(region, false), static_cast<int>(mode), false);
}

void Player::emfPolyPoly(const Bytes& r, bool small, bool closed) {
    const uint32_t polys = r.u32(24), total = r.u32(28);
    if (!r.hasArray(32, polys, 4)) return;
    std::vector<uint32_t> counts(polys);
    uint64_t sum = 0;
    for (uint32_t i = 0; i < polys; ++i) sum += counts[i] = r.u32(32 + 4 * i);
    if (sum > total) return;
    std::vector<double> pts;
    const size_t at = 32 + size_t{polys} * 4;
    if (!(small ? readPoints16(r, at, total, pts) : readPoints32(r, at, total, pts))) return;
    polyPoly(pts, counts, closed);
}

void Player::emfBitmap(uint32_t type, const Bytes& r) {
    // Field offsets of BitBlt (76), StretchBlt (77), SetDIBitsToDevice (80),
    // StretchDIBits (81), AlphaBlend (114) and TransparentBlt (116).
    double xd = r.i32(24), yd = r.i32(28), wd, hd, xs, ys, ws, hs;
    uint32_t rop, usage, offBmi, cbBmi, offBits, cbBits;
    if (type == 81) {
        xs = r.i32(32), ys = r.i32(36), ws = r.i32(40), hs = r.i32(44);
        offBmi = r.u32(48), cbBmi = r.u32(52), offBits = r.u32(56), cbBits = r.u32(60);
        usage = r.u32(64), rop = r.u32(68), wd = r.i32(72), hd = r.i32(76);
        if (!r.has(0, 80)) return;
    } else if (type == 80) {
        xs = r.i32(32), ys = r.i32(36), ws = r.i32(40), hs = r.i32(44);
        offBmi = r.u32(48), cbBmi = r.u32(52), offBits = r.u32(56), cbBits = r.u32(60);
        usage = r.u32(64), rop = 0xCC0020, wd = ws, hd = hs;
        if (!r.has(0, 76)) return;
    } else {
        wd = r.i32(32), hd = r.i32(36), rop = r.u32(40), xs = r.i32(44), ys = r.i32(48);
        usage = r.u32(80), offBmi = r.u32(84), cbBmi = r.u32(88), offBits = r.u32(92), cbBits = r.u32(96);
        if (!r.has(0, 100)) return;
        const bool stretch = type != 76;
        ws = stretch ? r.i32(100) : wd;
        hs = stretch ? r.i32(104) : hd;
        if (stretch && !r.has(0, 108)) return;
        if (type == 114 || type == 116) rop = 0xCC0020;
    }
    DecodedDIB dib;
    if (cbBmi && r.has(offBmi, cbBmi) && r.has(offBits, cbBits))
        dib = decodeDIB(r.sub(offBmi, cbBmi), r.sub(offBits, cbBits), usage, dc_.palette);
    if (type == 80 && dib.surface) {
        // The source origin of this record is the bitmap's bottom-left corner.
        ys = std::max(0.0, dib.height - ys - hs);
    }
    blit(dib.surface ? &dib : nullptr, xd, yd, wd, hd, xs, ys, ws, hs, rop);
}

void Player::emfText(const Bytes& r, bool wide) {
    const double x = r.i32(36), y = r.i32(40);
    const uint32_t count = r.u32(44), offString = r.u32(48), options = r.u32(52), offDx = r.u32(72);
    double rect[4] = {static_cast<double>(r.i32(56)), static_cast<double>(r.i32(60)),
                      static_cast<double>(r.i32(64)), static_cast<double>(r.i32(68))};
    if (!r.has(0, 76)) return;
    std::vector<uint32_t> chars;
    if (count && r.hasArray(offString, count, wide ? 2 : 1)) {
        chars.reserve(count);
        for (uint32_t i = 0; i < count; ++i) {
            if (wide) {
                uint32_t c = r.u16(offString + 2 * i);
                if (c >= 0xD800 && c < 0xDC00 && i + 1 < count) {
                    const uint32_t low = r.u16(offString + 2 * i + 2);
                    if (low >= 0xDC00 && low < 0xE000) {
                        c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
                        ++i;
                    }
                }
                chars.push_back(c);
            } else {
                const uint8_t c = r.u8(offString + i);
                chars.push_back(dc_.font.charset == 2 ? symbolToUnicode(c) : c >= 0x80 && c < 0xA0 ? Cp1252High[c - 0x80] : c);
            }
        }
    }
    std::vector<double> dx;
    const size_t step = options & ETO_PDY ? 8 : 4;
    if (offDx && count && r.hasArray(offDx, count, step)) {
        dx.resize(count);
        for (uint32_t i = 0; i < count; ++i) dx[i] = r.i32(offDx + step * i);
        if (chars.size() < dx.size()) dx.resize(chars.size());
    }
    const bool hasRect = rect[0] != rect[2] && rect[1] != rect[3];
    text(x, y, chars, dx, options, hasRect ? rect : nullptr);
}

void Player::emfRecord(uint32_t type, const Bytes& r) {
    std::vector<double> pts;
    switch (type) {
        case 2: case 3: case 4: case 5: case 6:  // PolyBezier, Polygon, Polyline, PolyBezierTo, PolylineTo
        case 85: case 86: case 87: case 88: case 89: {
            const bool small = type >= 85;
            const uint32_t kind = small ? type - 83 : type;
            const uint32_t count = r.u32(24);
            if (!(small ? readPoints16(r, 28, count, pts) : readPoints32(r, 28, count, pts))) return;
            if (kind == 2) polyTo(pts, true, false);
            else if (kind == 3) poly(pts, true, true);
            else if (kind == 4) poly(pts, false, false);
            else polyTo(pts, kind == 5, true);
            return;
        }
        case 7: emfPolyPoly(r, false, false); return;
        case 8: emfPolyPoly(r, false, true); return;
        case 90: emfPolyPoly(r, true, false); return;
        case 91: emfPolyPoly(r, true, true); return;
        case 56: case 92: {  // PolyDraw
            const bool small = type == 92;
            const uint32_t count = r.u32(24);
            if (!(small ? readPoints16(r, 28, count, pts) : readPoints32(r, 28, count, pts))) return;
            const size_t types = 28 + size_t{count} * (small ? 4 : 8);
            if (!r.hasArray(types, count, 1)) return;
            Path path = shape([&](cairo_t* c) {
                if (!cairo_has_current_point(c)) cairo_move_to(c, dc_.curX, dc_.curY);
                for (uint32_t i = 0; i < count; ++i) {
                    const uint8_t t = r.u8(types + i);
                    const double x = pts[2 * i], y = pts[2 * i + 1];
                    if ((t & 6) == 6) cairo_move_to(c, x, y);
                    else if ((t & 6) == 4 && i + 2 < count) {
                        cairo_curve_to(c, x, y, pts[2 * i + 2], pts[2 * i + 3], pts[2 * i + 4], pts[2 * i + 5]);
                        i += 2;
                    } else cairo_line_to(c, x, y);
                    if (r.u8(types + i) & 1) cairo_close_path(c);
                }
            });
            if (count) dc_.curX = pts[2 * count - 2], dc_.curY = pts[2 * count - 1];
            strokePath(path);
            return;
        }
        case 9: dc_.winExtX = r.i32(8), dc_.winExtY = r.i32(12); return;
        case 10: dc_.winOrgX = r.i32(8), dc_.winOrgY = r.i32(12); return;
        case 11: dc_.vpExtX = r.i32(8), dc_.vpExtY = r.i32(12); return;
        case 12: dc_.vpOrgX = r.i32(8), dc_.vpOrgY = r.i32(12); return;
        case 31: case 32: {  // ScaleViewportExtEx, ScaleWindowExtEx
            const int32_t xn = r.i32(8), xd = r.i32(12), yn = r.i32(16), yd = r.i32(20);
            if (xd == 0 || yd == 0) return;
            double& ex = type == 31 ? dc_.vpExtX : dc_.winExtX;
            double& ey = type == 31 ? dc_.vpExtY : dc_.winExtY;
            ex = ex * xn / xd, ey = ey * yn / yd;
            return;
        }
        case 15: {  // SetPixelV
            const double x = r.i32(8), y = r.i32(12);
            const Brush b{BS_SOLID, toRGB(r.u32(16)), 0, nullptr};
            const cairo_matrix_t m = fullMatrix();
            double dx = x, dy = y;
            cairo_matrix_transform_point(&m, &dx, &dy);
            if (!std::isfinite(dx) || !std::isfinite(dy)) return;
            cairo_t* b2 = scratch_.get();
            cairo_new_path(b2);
            cairo_identity_matrix(b2);
            cairo_rectangle(b2, std::floor(dx), std::floor(dy), 1, 1);
            fillPath(copyPath(b2), b);
            return;
        }
        case 17: dc_.mapMode = static_cast<int>(r.u32(8)); return;
        case 18: dc_.bkMode = static_cast<int>(r.u32(8)); return;
        case 19: dc_.polyFill = static_cast<int>(r.u32(8)); return;
        case 20: dc_.rop2 = static_cast<int>(std::clamp<uint32_t>(r.u32(8), 1, 16)); return;
        case 22: dc_.textAlign = r.u32(8); return;
        case 24: dc_.textColor = toRGB(r.u32(8)); return;
        case 25: dc_.bkColor = toRGB(r.u32(8)); return;
        case 26: offsetClip(r.i32(8), r.i32(12), true); return;
        case 27: moveTo(r.i32(8), r.i32(12)); return;
        case 29: case 30:
            clipRect(r.i32(8), r.i32(12), r.i32(16), r.i32(20), type == 29);
            return;
        case 33: saveDC(); return;
        case 34: restoreDC(r.i32(8)); return;
        case 35: case 36: {  // SetWorldTransform, ModifyWorldTransform
            cairo_matrix_t x{r.f32(8), r.f32(12), r.f32(16), r.f32(20), r.f32(24), r.f32(28)};
            const uint32_t mode = type == 35 ? 4 : r.u32(32);
            if (mode == 1) {
                cairo_matrix_init_identity(&dc_.world);
            } else if (mode == 2) {
                cairo_matrix_t m;
                cairo_matrix_multiply(&m, &x, &dc_.world);
                dc_.world = m;
            } else if (mode == 3) {
                cairo_matrix_t m;
                cairo_matrix_multiply(&m, &dc_.world, &x);
                dc_.world = m;
            } else if (mode == 4) {
                dc_.world = x;
            }
            return;
        }
        case 37: selectObject(r.u32(8)); return;
        case 38: {  // CreatePen
            Object o;
            o.kind = Object::PenKind;
            o.pen = makePen(r.u32(12), r.i32(16), r.u32(24));
            storeObject(r.u32(8), std::move(o));
            return;
        }
        case 95: {  // ExtCreatePen
            Object o;
            o.kind = Object::PenKind;
            o.pen = makePen(r.u32(28), r.u32(32), r.u32(40));
            if ((r.u32(28) & 0xF0000) == 0) o.pen.cosmetic = true;
            storeObject(r.u32(8), std::move(o));
            return;
        }
        case 39: {  // CreateBrushIndirect
            Object o;
            o.kind = Object::BrushKind;
            o.brush = makeBrush(r.u32(12), r.u32(16), r.u32(20));
            storeObject(r.u32(8), std::move(o));
            return;
        }
        case 93: case 94: {  // CreateMonoBrush, CreateDIBPatternBrushPt
            const uint32_t usage = r.u32(12), offBmi = r.u32(16), cbBmi = r.u32(20), offBits = r.u32(24), cbBits = r.u32(28);
            if (!r.has(offBmi, cbBmi) || !r.has(offBits, cbBits)) return;
            Object o;
            o.kind = Object::BrushKind;
            o.brush = patternBrush(r.sub(offBmi, cbBmi), r.sub(offBits, cbBits), type == 93 ? 0 : usage);
            storeObject(r.u32(8), std::move(o));
            return;
        }
        case 82: {  // ExtCreateFontIndirectW
            Object o;
            o.kind = Object::FontKind;
            o.font.height = r.i32(12);
            o.font.escapement = r.i32(20);
            o.font.weight = r.i32(28);
            o.font.italic = r.u8(32) != 0;
            o.font.underline = r.u8(33) != 0;
            o.font.strikeOut = r.u8(34) != 0;
            o.font.charset = r.u8(35);
            for (size_t i = 0; i < 32 && r.has(40 + 2 * i, 2); ++i) {
                const uint16_t c = r.u16(40 + 2 * i);
                if (!c) break;
                o.font.face += c < 0x80 ? static_cast<char>(c) : '?';
            }
            storeObject(r.u32(8), std::move(o));
            return;
        }
        case 49: {  // CreatePalette
            Object o;
            o.kind = Object::PaletteKind;
            const uint32_t count = r.u16(14);
            if (!r.hasArray(16, count, 4)) return;
            for (uint32_t i = 0; i < count; ++i)
                o.palette.push_back(uint32_t{r.u8(16 + 4 * i)} << 16 | uint32_t{r.u8(17 + 4 * i)} << 8 | r.u8(18 + 4 * i));
            storeObject(r.u32(8), std::move(o));
            return;
        }
        case 48: selectObject(r.u32(8)); return;
        case 40: deleteObject(r.u32(8)); return;
        case 42: {  // Ellipse
            const double l = r.i32(8), t = r.i32(12), rr = r.i32(16), b = r.i32(20);
            fillAndStroke(shape([&](cairo_t* c) { ellipsePath(c, l, t, rr, b); }));
            return;
        }
        case 43: rectangle(r.i32(8), r.i32(12), r.i32(16), r.i32(20)); return;
        case 44: roundRect(r.i32(8), r.i32(12), r.i32(16), r.i32(20), r.i32(24), r.i32(28)); return;
        case 45: case 46: case 47: case 55:
            arc(type == 45 ? 0 : type == 46 ? 1 : type == 47 ? 2 : 3, r.i32(8), r.i32(12), r.i32(16), r.i32(20),
                r.i32(24), r.i32(28), r.i32(32), r.i32(36));
            return;
        case 41: {  // AngleArc
            const double cx = r.i32(8), cy = r.i32(12), radius = r.u32(16);
            const double start = r.f32(20) * M_PI / 180, sweep = r.f32(24) * M_PI / 180;
            const double x0 = cx + radius * std::cos(start), y0 = cy - radius * std::sin(start);
            const double x1 = cx + radius * std::cos(start + sweep), y1 = cy - radius * std::sin(start + sweep);
            lineTo(x0, y0);
            Path path = shape([&](cairo_t* c) {
                cairo_move_to(c, x0, y0);
                if (sweep >= 0) cairo_arc_negative(c, cx, cy, radius, -start, -(start + sweep));
                else cairo_arc(c, cx, cy, radius, -start, -(start + sweep));
            });
            dc_.curX = x1, dc_.curY = y1;
            strokePath(path);
            return;
        }
        case 54: lineTo(r.i32(8), r.i32(12)); return;
        case 57: dc_.arcDirection = static_cast<int>(r.u32(8)); return;
        case 58: dc_.miterLimit = r.u32(8); return;
        case 59:  // BeginPath
            inPath_ = true;
            cairo_new_path(pathBuilder_.get());
            return;
        case 60:  // EndPath
            if (!inPath_) return;
            inPath_ = false;
            path_ = copyPath(pathBuilder_.get());
            return;
        case 61:  // CloseFigure
            if (inPath_) cairo_close_path(pathBuilder_.get());
            return;
        case 68:  // AbortPath
            inPath_ = false;
            path_.reset();
            return;
        case 62: fillPath(path_, dc_.brush); path_.reset(); return;
        case 63: fillAndStroke(path_); path_.reset(); return;
        case 64: strokePath(path_); path_.reset(); return;
        case 65: case 66: return;  // Flatten and widen leave the outline as it is.
        case 67:  // SelectClipPath
            if (path_) combineClip(path_, static_cast<int>(r.u32(8)), dc_.polyFill != 2);
            path_.reset();
            return;
        case 75: emfRegionClip(r); return;
        case 71: case 74: {  // FillRgn, PaintRgn
            const uint32_t bytes = r.u32(24);
            const size_t at = type == 71 ? 32 : 28;
            if (!r.has(at, bytes)) return;
            Brush brush = dc_.brush;
            if (type == 71) {
                const uint32_t index = r.u32(28);
                if (index & 0x80000000u) {
                    const DC keep = dc_;
                    selectStock(index & 0x7FFFFFFF);
                    brush = dc_.brush;
                    dc_ = keep;
                } else if (index < objects_.size() && objects_[index].kind == Object::BrushKind) {
                    brush = objects_[index].brush;
                } else {
                    return;
                }
            }
            fillPath(regionPath(emfRegion(r.sub(at, bytes)), false), brush);
            return;
        }
        case 76: case 77: case 80: case 81: case 114: case 116: emfBitmap(type, r); return;
        case 83: case 84: emfText(r, type == 84); return;
        case 96: case 97: {  // PolyTextOut: the first string only is common; play each
            const uint32_t count = r.u32(36);
            for (uint32_t i = 0; i < count && r.has(40 + size_t{i} * 40, 40); ++i) {
                // Each EMRTEXT sits at 40 + 40 i; shift it to where ExtTextOut keeps it.
                std::vector<uint8_t> copy(r.p, r.p + r.n);
                if (!r.has(40 + size_t{i} * 40, 40)) break;
                std::memcpy(copy.data() + 36, r.p + 40 + size_t{i} * 40, 40);
                emfText(Bytes{copy.data(), copy.size()}, type == 97);
            }
            return;
        }
        case 118: {  // GradientFill: rectangles get the mean of their corner colours
            const uint32_t nVer = r.u32(24), nTri = r.u32(28), mode = r.u32(32);
            if (!r.hasArray(36, nVer, 16) || mode > 1) return;
            const size_t at = 36 + size_t{nVer} * 16;
            if (!r.hasArray(at, nTri, 8)) return;
            for (uint32_t i = 0; i < nTri; ++i) {
                const uint32_t a = r.u32(at + 8 * i), b = r.u32(at + 8 * i + 4);
                if (a >= nVer || b >= nVer) continue;
                auto vx = [&](uint32_t v, int k) { return r.i32(36 + 16 * size_t{v} + 4 * k); };
                auto ch = [&](uint32_t v, int k) { return r.u16(36 + 16 * size_t{v} + 8 + 2 * k) >> 8; };
                const double x0 = vx(a, 0), y0 = vx(a, 1), x1 = vx(b, 0), y1 = vx(b, 1);
                Path area = outline([&](cairo_t* c) { cairo_rectangle(c, x0, y0, x1 - x0, y1 - y0); });
                if (!area) continue;
                cairo_t* c = cr_.get();
                cairo_identity_matrix(c);
                const cairo_matrix_t m = fullMatrix();
                double dx0 = x0, dy0 = y0, dx1 = x1, dy1 = y1;
                cairo_matrix_transform_point(&m, &dx0, &dy0);
                cairo_matrix_transform_point(&m, &dx1, &dy1);
                cairo_pattern_t* g = mode == 0 ? cairo_pattern_create_linear(dx0, 0, dx1, 0)
                                               : cairo_pattern_create_linear(0, dy0, 0, dy1);
                cairo_pattern_add_color_stop_rgb(g, 0, ch(a, 0) / 255.0, ch(a, 1) / 255.0, ch(a, 2) / 255.0);
                cairo_pattern_add_color_stop_rgb(g, 1, ch(b, 0) / 255.0, ch(b, 1) / 255.0, ch(b, 2) / 255.0);
                cairo_set_source(c, g);
                cairo_pattern_destroy(g);
                cairo_new_path(c);
                cairo_append_path(c, area.get());
                cairo_fill(c);
            }
            return;
        }
        default:
            return;  // records without a visible effect here, and unknown ones
    }
}

// ---------------------------------------------------------------- WMF

void Player::playWindows(Bytes data, int16_t l, int16_t t, int16_t r, int16_t b, const PlayRect& dest) {
    // The viewport is the destination; the window starts as the bounding box.
    dc_.mapMode = 8;
    dc_.winOrgX = l, dc_.winOrgY = t;
    dc_.winExtX = r - l, dc_.winExtY = b - t;
    dc_.vpOrgX = dest.Left, dc_.vpOrgY = dest.Top;
    dc_.vpExtX = dest.Right - dest.Left, dc_.vpExtY = dest.Bottom - dest.Top;
    const uint32_t headerWords = data.u16(2);
    objects_.assign(std::min<size_t>(data.u16(10), MaxObjects), Object{});
    size_t at = size_t{headerWords} * 2;
    while (data.has(at, 6)) {
        const uint64_t size = uint64_t{data.u32(at)} * 2;
        const uint16_t function = data.u16(at + 4);
        if (size < 6 || !data.has(at, size)) break;
        if (function == 0) break;  // META_EOF
        wmfRecord(function, data.sub(at, static_cast<size_t>(size)));
        at += static_cast<size_t>(size);
    }
}

Object Player::wmfRegion(const Bytes& r) {
    // nextInChain, objectType, objectCount (i32), regionSize, scanCount, maxScan,
    // bounding box, then scans of (count, top, bottom, count / 2 pairs, count).
    Object o;
    o.kind = Object::RegionKind;
    const size_t base = 6;
    const uint16_t scans = r.u16(base + 10);
    size_t at = base + 22;
    for (uint32_t s = 0; s < scans; ++s) {
        if (!r.has(at, 6)) break;
        const uint16_t count = r.u16(at);
        const double top = r.i16(at + 2), bottom = r.i16(at + 4);
        if (!r.hasArray(at + 6, count, 2)) break;
        for (uint16_t k = 0; k + 1 < count; k += 2)
            o.region.rects.insert(o.region.rects.end(),
                                  {static_cast<double>(r.i16(at + 6 + 2 * k)), top,
                                   static_cast<double>(r.i16(at + 8 + 2 * k)), bottom});
        at += 6 + size_t{count} * 2 + 2;
    }
    if (o.region.rects.empty() && r.has(base + 14, 8))
        o.region.rects = {static_cast<double>(r.i16(base + 14)), static_cast<double>(r.i16(base + 16)),
                          static_cast<double>(r.i16(base + 18)), static_cast<double>(r.i16(base + 20))};
    return o;
}

void Player::wmfText(const Bytes& r, bool extended) {
    // Parameters start at byte 6.
    std::vector<uint32_t> chars;
    std::vector<double> dx;
    double x, y, rect[4] = {};
    uint32_t options = 0;
    size_t stringAt;
    uint32_t count;
    if (extended) {
        y = r.i16(6), x = r.i16(8);
        count = r.u16(10);
        options = r.u16(12);
        stringAt = 14;
        if (options & (ETO_OPAQUE | ETO_CLIPPED)) {
            if (!r.has(14, 8)) return;
            rect[0] = r.i16(14), rect[1] = r.i16(16), rect[2] = r.i16(18), rect[3] = r.i16(20);
            stringAt = 22;
        }
    } else {
        count = r.u16(6);
        stringAt = 8;
        const size_t after = stringAt + (size_t{count} + 1) / 2 * 2;
        if (!r.has(after, 4)) return;
        y = r.i16(after), x = r.i16(after + 2);
    }
    if (!r.hasArray(stringAt, count, 1)) return;
    for (uint32_t i = 0; i < count; ++i) {
        const uint8_t c = r.u8(stringAt + i);
        chars.push_back(dc_.font.charset == 2 ? symbolToUnicode(c) : c >= 0x80 && c < 0xA0 ? Cp1252High[c - 0x80] : c);
    }
    if (extended) {
        const size_t dxAt = stringAt + (size_t{count} + 1) / 2 * 2;
        if (r.hasArray(dxAt, count, 2)) {
            dx.resize(count);
            for (uint32_t i = 0; i < count; ++i) dx[i] = r.i16(dxAt + 2 * i);
        }
    }
    text(x, y, chars, dx, options, (options & (ETO_OPAQUE | ETO_CLIPPED)) ? rect : nullptr);
}

void Player::wmfBitmap(uint16_t function, const Bytes& r) {
    // Parameters are stored last first; p(i) is the i-th 16-bit word after the function.
    auto p = [&](size_t i) { return r.i16(6 + 2 * i); };
    const uint32_t rop = r.u32(6);
    double xd, yd, wd, hd, xs, ys, ws, hs;
    size_t dibAt;
    uint32_t usage = 0;
    const size_t words = r.n / 2;
    if (function == 0x0F43) {  // StretchDIB
        usage = r.u16(10);
        hs = p(3), ws = p(4), ys = p(5), xs = p(6), hd = p(7), wd = p(8), yd = p(9), xd = p(10);
        dibAt = 6 + 22;
    } else if (function == 0x0B41 || function == 0x0B23) {  // DIBStretchBlt
        const bool noBitmap = words == (function >> 8) + 3u;
        const size_t k = noBitmap ? 1 : 0;
        hs = p(2), ws = p(3), ys = p(4), xs = p(5);
        hd = p(6 + k), wd = p(7 + k), yd = p(8 + k), xd = p(9 + k);
        if (noBitmap) {
            blit(nullptr, xd, yd, wd, hd, xs, ys, ws, hs, rop);
            return;
        }
        dibAt = 6 + 20;
    } else if (function == 0x0940 || function == 0x0922) {  // DIBBitBlt
        const bool noBitmap = words == (function >> 8) + 3u;
        const size_t k = noBitmap ? 1 : 0;
        ys = p(2), xs = p(3), hd = p(4 + k), wd = p(5 + k), yd = p(6 + k), xd = p(7 + k);
        ws = wd, hs = hd;
        if (noBitmap) {
            blit(nullptr, xd, yd, wd, hd, xs, ys, ws, hs, rop);
            return;
        }
        dibAt = 6 + 16;
    } else {  // SetDIBitsToDevice
        usage = r.u16(6);
        ys = p(3), xs = p(4), hs = p(5), ws = p(6);
        hd = hs, wd = ws, yd = p(7), xd = p(8);
        dibAt = 6 + 18;
        if (!r.has(dibAt, 4)) return;
        const Bytes dib = r.sub(dibAt, r.n - dibAt);
        const size_t headerBytes = packedHeaderSize(dib, usage);
        if (headerBytes > dib.n) return;
        DecodedDIB decoded = decodeDIB(dib.sub(0, headerBytes), dib.sub(headerBytes, dib.n - headerBytes), usage, dc_.palette);
        if (!decoded.surface) return;
        ys = std::max(0.0, decoded.height - ys - hs);
        blit(&decoded, xd, yd, wd, hd, xs, ys, ws, hs, 0xCC0020);
        return;
    }
    if (function == 0x0B23 || function == 0x0922) return;  // device-dependent bitmaps are not drawn
    if (!r.has(dibAt, 4)) return;
    const Bytes dib = r.sub(dibAt, r.n - dibAt);
    const size_t headerBytes = packedHeaderSize(dib, usage);
    if (headerBytes > dib.n) return;
    DecodedDIB decoded = decodeDIB(dib.sub(0, headerBytes), dib.sub(headerBytes, dib.n - headerBytes), usage, dc_.palette);
    if (!decoded.surface) return;
    blit(&decoded, xd, yd, wd, hd, xs, ys, ws, hs, rop);
}

void Player::wmfRecord(uint16_t function, const Bytes& r) {
    auto p = [&](size_t i) { return static_cast<double>(r.i16(6 + 2 * i)); };
    // Every record reads only words that the record holds; has() guards the rest.
    const size_t params = (r.n - 6) / 2;
    auto need = [&](size_t words) { return params >= words; };
    std::vector<double> pts;
    switch (function) {
        case 0x0201: if (need(2)) dc_.bkColor = toRGB(r.u32(6)); return;
        case 0x0209: if (need(2)) dc_.textColor = toRGB(r.u32(6)); return;
        case 0x0102: if (need(1)) dc_.bkMode = r.u16(6); return;
        case 0x0103: return;  // the mapping onto the frame stays anisotropic
        case 0x0104: if (need(1)) dc_.rop2 = std::clamp<int>(r.u16(6), 1, 16); return;
        case 0x0106: if (need(1)) dc_.polyFill = r.u16(6); return;
        case 0x012E: if (need(1)) dc_.textAlign = r.u16(6); return;
        case 0x020B: if (need(2)) dc_.winOrgY = p(0), dc_.winOrgX = p(1); return;
        case 0x020C: if (need(2)) dc_.winExtY = p(0), dc_.winExtX = p(1); return;
        case 0x020F: if (need(2)) dc_.winOrgY += p(0), dc_.winOrgX += p(1); return;
        case 0x0410:
            if (need(4) && p(0) != 0 && p(2) != 0) dc_.winExtY = dc_.winExtY * p(1) / p(0), dc_.winExtX = dc_.winExtX * p(3) / p(2);
            return;
        case 0x020D: case 0x020E: case 0x0211: case 0x0412: return;  // the viewport is the frame
        case 0x0213: if (need(2)) lineTo(p(1), p(0)); return;
        case 0x0214: if (need(2)) moveTo(p(1), p(0)); return;
        case 0x0415: case 0x0416:
            if (need(4)) clipRect(p(3), p(2), p(1), p(0), function == 0x0415);
            return;
        case 0x0220: if (need(2)) offsetClip(p(1), p(0), true); return;
        case 0x0418: {
            if (!need(4)) return;
            const double l = p(3), t = p(2), rr = p(1), b = p(0);
            fillAndStroke(shape([&](cairo_t* c) { ellipsePath(c, l, t, rr, b); }));
            return;
        }
        case 0x041B: if (need(4)) rectangle(p(3), p(2), p(1), p(0)); return;
        case 0x061C: if (need(6)) roundRect(p(5), p(4), p(3), p(2), p(1), p(0)); return;
        case 0x0817: case 0x081A: case 0x0830:
            if (need(8))
                arc(function == 0x0817 ? 0 : function == 0x0830 ? 1 : 2, p(7), p(6), p(5), p(4), p(3), p(2), p(1), p(0));
            return;
        case 0x041F: {  // SetPixel
            if (!need(4)) return;
            const Brush b{BS_SOLID, toRGB(r.u32(6)), 0, nullptr};
            const double x = p(3), y = p(2);
            fillPath(outline([&](cairo_t* c) { cairo_rectangle(c, x, y, 1, 1); }), b);
            return;
        }
        case 0x061D:  // PatBlt
            if (need(6)) blit(nullptr, p(5), p(4), p(3), p(2), 0, 0, 0, 0, r.u32(6));
            return;
        case 0x0324: case 0x0325: {
            const uint32_t count = r.u16(6);
            if (!need(1) || !readPoints16(r, 8, count, pts)) return;
            poly(pts, function == 0x0324, function == 0x0324);
            return;
        }
        case 0x0538: {  // PolyPolygon
            const uint32_t polys = r.u16(6);
            if (!need(1) || !r.hasArray(8, polys, 2)) return;
            std::vector<uint32_t> counts(polys);
            uint32_t total = 0;
            for (uint32_t i = 0; i < polys; ++i) total += counts[i] = r.u16(8 + 2 * i);
            if (!readPoints16(r, 8 + size_t{polys} * 2, total, pts)) return;
            polyPoly(pts, counts, true);
            return;
        }
        case 0x001E: saveDC(); return;
        case 0x0127: if (need(1)) restoreDC(r.i16(6)); return;
        case 0x012D: if (need(1)) selectObject(r.u16(6)); return;
        case 0x0234: if (need(1)) selectObject(r.u16(6)); return;
        case 0x01F0: if (need(1)) deleteObject(r.u16(6)); return;
        case 0x02FA: {  // CreatePenIndirect
            if (!need(5)) return;
            Object o;
            o.kind = Object::PenKind;
            o.pen = makePen(r.u16(6), r.i16(8), r.u32(12));
            addObject(std::move(o));
            return;
        }
        case 0x02FC: {  // CreateBrushIndirect
            if (!need(4)) return;
            Object o;
            o.kind = Object::BrushKind;
            o.brush = makeBrush(r.u16(6), r.u32(8), r.u16(12));
            addObject(std::move(o));
            return;
        }
        case 0x0142: {  // DIBCreatePatternBrush
            Object o;
            o.kind = Object::BrushKind;
            const uint16_t usage = r.u16(8);
            if (need(2) && r.has(10, 4)) {
                const Bytes dib = r.sub(10, r.n - 10);
                const size_t headerBytes = packedHeaderSize(dib, usage);
                if (headerBytes <= dib.n)
                    o.brush = patternBrush(dib.sub(0, headerBytes), dib.sub(headerBytes, dib.n - headerBytes), usage);
            }
            addObject(std::move(o));  // the slot is taken even when the pattern is unusable
            return;
        }
        case 0x01F9: {  // CreatePatternBrush (device-dependent): a grey brush stands in
            Object o;
            o.kind = Object::BrushKind;
            o.brush.color = 0x808080;
            addObject(std::move(o));
            return;
        }
        case 0x02FB: {  // CreateFontIndirect
            Object o;
            o.kind = Object::FontKind;
            o.font.height = r.i16(6);
            o.font.escapement = r.i16(10);
            o.font.weight = r.i16(14);
            o.font.italic = r.u8(16) != 0;
            o.font.underline = r.u8(17) != 0;
            o.font.strikeOut = r.u8(18) != 0;
            o.font.charset = r.u8(19);
            for (size_t i = 24; i < 56 && r.has(i, 1) && r.u8(i); ++i) o.font.face += static_cast<char>(r.u8(i));
            addObject(std::move(o));
            return;
        }
        case 0x00F7: {  // CreatePalette
            Object o;
            o.kind = Object::PaletteKind;
            const uint32_t count = r.u16(8);
            if (r.hasArray(10, count, 4))
                for (uint32_t i = 0; i < count; ++i)
                    o.palette.push_back(uint32_t{r.u8(10 + 4 * i)} << 16 | uint32_t{r.u8(11 + 4 * i)} << 8 | r.u8(12 + 4 * i));
            addObject(std::move(o));
            return;
        }
        case 0x06FF: addObject(wmfRegion(r)); return;
        case 0x012C: {  // SelectClipRegion
            const uint16_t index = r.u16(6);
            if (!need(1)) return;
            if (index < objects_.size() && objects_[index].kind == Object::RegionKind)
                combineClip(regionPath(objects_[index].region, true), RGN_COPY, false);
            else if (index == 0) {
                dc_.clip.clear();
                clipChanged();
            }
            return;
        }
        case 0x0228: case 0x012B: {  // FillRegion, PaintRegion
            const uint16_t region = r.u16(6);
            if (!need(1) || region >= objects_.size() || objects_[region].kind != Object::RegionKind) return;
            Brush brush = dc_.brush;
            if (function == 0x0228) {
                const uint16_t b = r.u16(8);
                if (!need(2) || b >= objects_.size() || objects_[b].kind != Object::BrushKind) return;
                brush = objects_[b].brush;
            }
            fillPath(regionPath(objects_[region].region, true), brush);
            return;
        }
        case 0x0521: wmfText(r, false); return;
        case 0x0A32: wmfText(r, true); return;
        case 0x0F43: case 0x0B41: case 0x0940: case 0x0B23: case 0x0922: case 0x0D33:
            wmfBitmap(function, r);
            return;
        default:
            return;
    }
}

}  // namespace

void PlayEnhancedMetafile(const uint8_t* data, size_t size, const PlayTarget& target, const PlayRect& dest) {
    if (!target.Pixels || target.Width <= 0 || target.Height <= 0) return;
    Player player(target, true);
    if (!player.ready()) return;
    player.playEnhanced(Bytes{data, size}, dest);
}

void PlayWindowsMetafile(const uint8_t* data, size_t size, int16_t boundsLeft, int16_t boundsTop,
                         int16_t boundsRight, int16_t boundsBottom, const PlayTarget& target, const PlayRect& dest) {
    if (!target.Pixels || target.Width <= 0 || target.Height <= 0) return;
    Player player(target, false);
    if (!player.ready()) return;
    player.playWindows(Bytes{data, size}, boundsLeft, boundsTop, boundsRight, boundsBottom, dest);
}

}  // namespace host

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define PIXMORPH_LEAK_CHECKED 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__) || defined(PIXMORPH_LEAK_CHECKED)
// Fontconfig, which cairo asks for the text's fonts, keeps its configuration for the
// life of the process and drops its own pointers to parts of it; the leak checker would
// report those at every exit.
extern "C" const char* __lsan_default_suppressions() { return "leak:libfontconfig.so\n"; }
#endif
