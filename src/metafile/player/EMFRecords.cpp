#include "metafile/player/EMFRecords.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include "metafile/MetafileRecordTypes.h"
#include "metafile/player/Blit.h"
#include "metafile/player/MetafileDIB.h"
#include "metafile/player/MetafileText.h"
#include "metafile/player/TextPainter.h"

namespace host {

namespace {

// Every record starts with its type and its size; the fields of most follow at 8.
constexpr size_t RecordHead = 8;
constexpr size_t Param = 8;
constexpr size_t RegionDataHeaderSize = 32;
constexpr uint32_t MaxRegionRects = 65536;
// The header's count of object handles (the first one is the file's own).
constexpr size_t HeaderHandles = 56;

enum WorldTransformMode : uint32_t { MWT_IDENTITY = 1, MWT_LEFTMULTIPLY = 2, MWT_RIGHTMULTIPLY = 3, MWT_SET = 4 };

// The ExtTextOut fields: the reference point, then one EMRTEXT.
constexpr size_t TextPoint = 36, EmrTextSize = 40;
// PolyTextOut: a count, then the EMRTEXTs.
constexpr size_t PolyTextCount = 36, PolyTextFirst = 40;

constexpr LogPenLayout CreatePenLayout{{12, 4, false}, {16, 4, true}, {24, 4, false}};
constexpr LogPenLayout ExtCreatePenLayout{{28, 4, false}, {32, 4, false}, {40, 4, false}};
constexpr LogBrushLayout CreateBrushLayout{{12, 4, false}, {16, 4, false}, {20, 4, false}};
constexpr LogFontLayout CreateFontLayout{{12, 4, true}, {20, 4, true}, {28, 4, true}, 32, 40, 2};

// RGNDATAHEADER (32 bytes), then rectangles of four 32-bit integers.
Region readRegion(const MetafileReader& d) {
    Region region;
    const uint32_t headerSize = d.u32(0), count = d.u32(8);
    if (headerSize < RegionDataHeaderSize || !d.hasArray(headerSize, count, 16)) return region;
    region.rects.reserve(std::min(count, MaxRegionRects) * size_t{4});
    for (uint32_t i = 0; i < count && i < MaxRegionRects; ++i)
        for (int k = 0; k < 4; ++k) region.rects.push_back(d.i32(headerSize + 16 * i + 4 * k));
    return region;
}

// count characters at offset: UTF-16 (with surrogate pairs) or single bytes of the font's code page.
std::vector<uint32_t> readCharacters(const MetafileReader& r, size_t offset, uint32_t count, bool wide, int charset) {
    std::vector<uint32_t> chars;
    if (!count || !r.hasArray(offset, count, wide ? 2 : 1)) return chars;
    chars.reserve(count);
    for (uint32_t i = 0; i < count; ++i) {
        if (!wide) {
            chars.push_back(AnsiToUnicode(r.u8(offset + i), charset));
            continue;
        }
        uint32_t c = r.u16(offset + 2 * i);
        if (c >= 0xD800 && c < 0xDC00 && i + 1 < count) {
            const uint32_t low = r.u16(offset + 2 * i + 2);
            if (low >= 0xDC00 && low < 0xE000) {
                c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
                ++i;
            }
        }
        chars.push_back(c);
    }
    return chars;
}

}  // namespace

const RecordTable<EMFRecords::Handler>& EMFRecords::handlers() {
    static const RecordTable<Handler> table = {
        // state
        {EMR_SETWINDOWEXTEX, &EMFRecords::setWindowExt},
        {EMR_SETWINDOWORGEX, &EMFRecords::setWindowOrg},
        {EMR_SETVIEWPORTEXTEX, &EMFRecords::setViewportExt},
        {EMR_SETVIEWPORTORGEX, &EMFRecords::setViewportOrg},
        {EMR_SCALEVIEWPORTEXTEX, &EMFRecords::scaleExtents},
        {EMR_SCALEWINDOWEXTEX, &EMFRecords::scaleExtents},
        {EMR_SETMAPMODE, &EMFRecords::setMapMode},
        {EMR_SETBKMODE, &EMFRecords::setBkMode},
        {EMR_SETPOLYFILLMODE, &EMFRecords::setPolyFillMode},
        {EMR_SETROP2, &EMFRecords::setRop2},
        {EMR_SETTEXTALIGN, &EMFRecords::setTextAlign},
        {EMR_SETTEXTCOLOR, &EMFRecords::setTextColor},
        {EMR_SETBKCOLOR, &EMFRecords::setBkColor},
        {EMR_SETARCDIRECTION, &EMFRecords::setArcDirection},
        {EMR_SETMITERLIMIT, &EMFRecords::setMiterLimit},
        {EMR_SAVEDC, &EMFRecords::saveDC},
        {EMR_RESTOREDC, &EMFRecords::restoreDC},
        {EMR_SETWORLDTRANSFORM, &EMFRecords::worldTransform},
        {EMR_MODIFYWORLDTRANSFORM, &EMFRecords::worldTransform},
        {EMR_MOVETOEX, &EMFRecords::moveTo},
        // objects
        {EMR_SELECTOBJECT, &EMFRecords::selectObject},
        {EMR_SELECTPALETTE, &EMFRecords::selectObject},
        {EMR_DELETEOBJECT, &EMFRecords::deleteObject},
        {EMR_CREATEPEN, &EMFRecords::createPen},
        {EMR_EXTCREATEPEN, &EMFRecords::extCreatePen},
        {EMR_CREATEBRUSHINDIRECT, &EMFRecords::createBrush},
        {EMR_CREATEMONOBRUSH, &EMFRecords::createPatternBrush},
        {EMR_CREATEDIBPATTERNBRUSHPT, &EMFRecords::createPatternBrush},
        {EMR_EXTCREATEFONTINDIRECTW, &EMFRecords::createFont},
        {EMR_CREATEPALETTE, &EMFRecords::createPalette},
        // paths (flattening and widening leave the outline as it is)
        {EMR_BEGINPATH, &EMFRecords::beginPath},
        {EMR_ENDPATH, &EMFRecords::endPath},
        {EMR_CLOSEFIGURE, &EMFRecords::closeFigure},
        {EMR_ABORTPATH, &EMFRecords::abortPath},
        {EMR_FILLPATH, &EMFRecords::fillPath},
        {EMR_STROKEANDFILLPATH, &EMFRecords::strokeAndFillPath},
        {EMR_STROKEPATH, &EMFRecords::strokePath},
        {EMR_SELECTCLIPPATH, &EMFRecords::selectClipPath},
        // clipping and regions
        {EMR_OFFSETCLIPRGN, &EMFRecords::offsetClip},
        {EMR_EXCLUDECLIPRECT, &EMFRecords::clipRect},
        {EMR_INTERSECTCLIPRECT, &EMFRecords::clipRect},
        {EMR_EXTSELECTCLIPRGN, &EMFRecords::selectClipRegion},
        {EMR_FILLRGN, &EMFRecords::fillRegion},
        {EMR_PAINTRGN, &EMFRecords::fillRegion},
        // drawing
        {EMR_POLYBEZIER, &EMFRecords::polyPoints},
        {EMR_POLYGON, &EMFRecords::polyPoints},
        {EMR_POLYLINE, &EMFRecords::polyPoints},
        {EMR_POLYBEZIERTO, &EMFRecords::polyPoints},
        {EMR_POLYLINETO, &EMFRecords::polyPoints},
        {EMR_POLYBEZIER16, &EMFRecords::polyPoints},
        {EMR_POLYGON16, &EMFRecords::polyPoints},
        {EMR_POLYLINE16, &EMFRecords::polyPoints},
        {EMR_POLYBEZIERTO16, &EMFRecords::polyPoints},
        {EMR_POLYLINETO16, &EMFRecords::polyPoints},
        {EMR_POLYPOLYLINE, &EMFRecords::polyPolyPoints},
        {EMR_POLYPOLYGON, &EMFRecords::polyPolyPoints},
        {EMR_POLYPOLYLINE16, &EMFRecords::polyPolyPoints},
        {EMR_POLYPOLYGON16, &EMFRecords::polyPolyPoints},
        {EMR_POLYDRAW, &EMFRecords::polyDraw},
        {EMR_POLYDRAW16, &EMFRecords::polyDraw},
        {EMR_SETPIXELV, &EMFRecords::setPixel},
        {EMR_ELLIPSE, &EMFRecords::ellipse},
        {EMR_RECTANGLE, &EMFRecords::rectangle},
        {EMR_ROUNDRECT, &EMFRecords::roundRect},
        {EMR_ARC, &EMFRecords::arc},
        {EMR_CHORD, &EMFRecords::arc},
        {EMR_PIE, &EMFRecords::arc},
        {EMR_ARCTO, &EMFRecords::arc},
        {EMR_ANGLEARC, &EMFRecords::angleArc},
        {EMR_LINETO, &EMFRecords::lineTo},
        {EMR_GRADIENTFILL, &EMFRecords::gradientFill},
        // bitmaps
        {EMR_BITBLT, &EMFRecords::bitmap},
        {EMR_STRETCHBLT, &EMFRecords::bitmap},
        {EMR_SETDIBITSTODEVICE, &EMFRecords::bitmap},
        {EMR_STRETCHDIBITS, &EMFRecords::bitmap},
        {EMR_ALPHABLEND, &EMFRecords::bitmap},
        {EMR_TRANSPARENTBLT, &EMFRecords::bitmap},
        // text
        {EMR_EXTTEXTOUTA, &EMFRecords::extTextOut},
        {EMR_EXTTEXTOUTW, &EMFRecords::extTextOut},
        {EMR_POLYTEXTOUTA, &EMFRecords::polyTextOut},
        {EMR_POLYTEXTOUTW, &EMFRecords::polyTextOut},
    };
    return table;
}

bool EMFRecords::mapFrame(const MetafileReader& data, const PlayRect& dest) {
    const int32_t fl = data.i32(24), ft = data.i32(28), fr = data.i32(32), fb = data.i32(36);
    const int32_t devX = data.i32(72), devY = data.i32(76), mmX = data.i32(80), mmY = data.i32(84);
    double pxPerMMX = ScreenPixelsPerMM, pxPerMMY = ScreenPixelsPerMM;
    if (devX > 0 && devY > 0 && mmX > 0 && mmY > 0) {
        pxPerMMX = static_cast<double>(devX) / mmX;
        pxPerMMY = static_cast<double>(devY) / mmY;
    }
    painter_.setDeviceResolution(pxPerMMX, pxPerMMY);
    // The frame in the reference device's pixels goes onto the destination.
    const double left = fl / 100.0 * pxPerMMX, top = ft / 100.0 * pxPerMMY;
    const double width = (static_cast<double>(fr) - fl) / 100.0 * pxPerMMX;
    const double height = (static_cast<double>(fb) - ft) / 100.0 * pxPerMMY;
    if (width <= 0 || height <= 0) return false;
    const double sx = (dest.Right - dest.Left) / width, sy = (dest.Bottom - dest.Top) / height;
    painter_.setPlayback({sx, 0, 0, sy, dest.Left - left * sx, dest.Top - top * sy});
    return true;
}

void EMFRecords::play(const MetafileReader& data, const PlayRect& dest) {
    if (!mapFrame(data, dest)) return;
    painter_.objects().reset(data.u16(HeaderHandles) + size_t{1});
    dc_.winExtX = dc_.winExtY = dc_.vpExtX = dc_.vpExtY = 1;
    size_t at = 0;
    while (data.has(at, RecordHead)) {
        const uint32_t type = data.u32(at), size = data.u32(at + 4);
        if (size < RecordHead || !data.has(at, size)) break;
        if (type == EMR_EOF) break;
        painter_.budget().record();
        if (const Handler handler = handlers().find(type)) (this->*handler)(type, data.sub(at, size));
        at += size;
    }
}

// ---------------------------------------------------------------- state

void EMFRecords::setWindowExt(uint32_t, const MetafileReader& r) { dc_.winExtX = r.i32(8), dc_.winExtY = r.i32(12); }
void EMFRecords::setWindowOrg(uint32_t, const MetafileReader& r) { dc_.winOrgX = r.i32(8), dc_.winOrgY = r.i32(12); }
void EMFRecords::setViewportExt(uint32_t, const MetafileReader& r) { dc_.vpExtX = r.i32(8), dc_.vpExtY = r.i32(12); }
void EMFRecords::setViewportOrg(uint32_t, const MetafileReader& r) { dc_.vpOrgX = r.i32(8), dc_.vpOrgY = r.i32(12); }

void EMFRecords::scaleExtents(uint32_t type, const MetafileReader& r) {
    const int32_t xn = r.i32(8), xd = r.i32(12), yn = r.i32(16), yd = r.i32(20);
    if (xd == 0 || yd == 0) return;
    const bool viewport = type == EMR_SCALEVIEWPORTEXTEX;
    double& ex = viewport ? dc_.vpExtX : dc_.winExtX;
    double& ey = viewport ? dc_.vpExtY : dc_.winExtY;
    ex = ex * xn / xd, ey = ey * yn / yd;
}

void EMFRecords::setMapMode(uint32_t, const MetafileReader& r) { dc_.mapMode = static_cast<int>(r.u32(Param)); }
void EMFRecords::setBkMode(uint32_t, const MetafileReader& r) { dc_.bkMode = static_cast<int>(r.u32(Param)); }
void EMFRecords::setPolyFillMode(uint32_t, const MetafileReader& r) { dc_.polyFill = static_cast<int>(r.u32(Param)); }
void EMFRecords::setRop2(uint32_t, const MetafileReader& r) {
    dc_.rop2 = static_cast<int>(std::clamp<uint32_t>(r.u32(Param), R2_BLACK, R2_WHITE));
}
void EMFRecords::setTextAlign(uint32_t, const MetafileReader& r) { dc_.textAlign = r.u32(Param); }
void EMFRecords::setTextColor(uint32_t, const MetafileReader& r) { dc_.textColor = ColorRefToRGB(r.u32(Param)); }
void EMFRecords::setBkColor(uint32_t, const MetafileReader& r) { dc_.bkColor = ColorRefToRGB(r.u32(Param)); }
void EMFRecords::setArcDirection(uint32_t, const MetafileReader& r) { dc_.arcDirection = static_cast<int>(r.u32(Param)); }
void EMFRecords::setMiterLimit(uint32_t, const MetafileReader& r) { dc_.miterLimit = r.u32(Param); }
void EMFRecords::saveDC(uint32_t, const MetafileReader&) { painter_.saveDC(); }
void EMFRecords::restoreDC(uint32_t, const MetafileReader& r) { painter_.restoreDC(r.i32(Param)); }
void EMFRecords::moveTo(uint32_t, const MetafileReader& r) { painter_.moveTo(r.i32(8), r.i32(12)); }

void EMFRecords::worldTransform(uint32_t type, const MetafileReader& r) {
    cairo_matrix_t x{r.f32(8), r.f32(12), r.f32(16), r.f32(20), r.f32(24), r.f32(28)};
    const uint32_t mode = type == EMR_SETWORLDTRANSFORM ? MWT_SET : r.u32(32);
    cairo_matrix_t m;
    switch (mode) {
        case MWT_IDENTITY: cairo_.matrix_init_identity(&dc_.world); break;
        case MWT_LEFTMULTIPLY:
            cairo_.matrix_multiply(&m, &x, &dc_.world);
            dc_.world = m;
            break;
        case MWT_RIGHTMULTIPLY:
            cairo_.matrix_multiply(&m, &dc_.world, &x);
            dc_.world = m;
            break;
        case MWT_SET: dc_.world = x; break;
        default: break;
    }
}

// ---------------------------------------------------------------- objects

void EMFRecords::selectObject(uint32_t, const MetafileReader& r) { painter_.selectObject(r.u32(Param)); }
void EMFRecords::deleteObject(uint32_t, const MetafileReader& r) { painter_.objects().remove(r.u32(Param)); }

void EMFRecords::createPen(uint32_t, const MetafileReader& r) {
    painter_.objects().store(r.u32(Param), Object::Of(ReadLogPen(r, CreatePenLayout)));
}

void EMFRecords::extCreatePen(uint32_t, const MetafileReader& r) {
    Pen pen = ReadLogPen(r, ExtCreatePenLayout);
    // A cosmetic pen stays one pixel wide whatever width it names.
    if ((r.u32(ExtCreatePenLayout.style.offset) & PS_GEOMETRIC_MASK) == 0) pen.cosmetic = true;
    painter_.objects().store(r.u32(Param), Object::Of(std::move(pen)));
}

void EMFRecords::createBrush(uint32_t, const MetafileReader& r) {
    painter_.objects().store(r.u32(Param), Object::Of(ReadLogBrush(r, CreateBrushLayout)));
}

void EMFRecords::createPatternBrush(uint32_t type, const MetafileReader& r) {
    const uint32_t usage = r.u32(12), offBmi = r.u32(16), cbBmi = r.u32(20), offBits = r.u32(24), cbBits = r.u32(28);
    if (!r.has(offBmi, cbBmi) || !r.has(offBits, cbBits)) return;
    // A monochrome brush's two colours are always given as colours.
    Brush brush = painter_.patternBrush(r.sub(offBmi, cbBmi), r.sub(offBits, cbBits),
                                        type == EMR_CREATEMONOBRUSH ? DIB_RGB_COLORS : usage);
    painter_.objects().store(r.u32(Param), Object::Of(std::move(brush)));
}

void EMFRecords::createFont(uint32_t, const MetafileReader& r) {
    painter_.objects().store(r.u32(Param), Object::Of(ReadLogFont(r, CreateFontLayout)));
}

void EMFRecords::createPalette(uint32_t, const MetafileReader& r) {
    std::vector<uint32_t> palette;
    if (!ReadPaletteEntries(r, r.u16(14), 16, palette)) return;
    painter_.objects().store(r.u32(Param), Object::OfPalette(std::move(palette)));
}

// ---------------------------------------------------------------- paths

void EMFRecords::beginPath(uint32_t, const MetafileReader&) { painter_.beginPath(); }
void EMFRecords::endPath(uint32_t, const MetafileReader&) { painter_.endPath(); }
void EMFRecords::closeFigure(uint32_t, const MetafileReader&) { painter_.closeFigure(); }
void EMFRecords::abortPath(uint32_t, const MetafileReader&) { painter_.abortPath(); }
void EMFRecords::fillPath(uint32_t, const MetafileReader&) { painter_.fillPath(painter_.takePath(), dc_.brush); }
void EMFRecords::strokeAndFillPath(uint32_t, const MetafileReader&) { painter_.fillAndStroke(painter_.takePath()); }
void EMFRecords::strokePath(uint32_t, const MetafileReader&) { painter_.strokePath(painter_.takePath()); }

void EMFRecords::selectClipPath(uint32_t, const MetafileReader& r) {
    const Path path = painter_.takePath();
    if (path) painter_.combineClip(path, static_cast<int>(r.u32(Param)), dc_.polyFill != WINDING);
}

// ---------------------------------------------------------------- clipping and regions

void EMFRecords::offsetClip(uint32_t, const MetafileReader& r) { painter_.offsetClip(r.i32(8), r.i32(12), true); }

void EMFRecords::clipRect(uint32_t type, const MetafileReader& r) {
    painter_.clipRect(r.i32(8), r.i32(12), r.i32(16), r.i32(20), type == EMR_EXCLUDECLIPRECT);
}

void EMFRecords::selectClipRegion(uint32_t, const MetafileReader& r) {
    const uint32_t bytes = r.u32(8), mode = r.u32(12);
    if (mode == RGN_COPY && bytes == 0) {
        painter_.clearClip();
        return;
    }
    if (!r.has(16, bytes)) return;
    const Region region = readRegion(r.sub(16, bytes));
    painter_.combineClip(painter_.regionPath(region, false), static_cast<int>(mode), false);
}

// FillRgn names a brush; PaintRgn paints with the selected one.
void EMFRecords::fillRegion(uint32_t type, const MetafileReader& r) {
    const bool fill = type == EMR_FILLRGN;
    const uint32_t bytes = r.u32(24);
    const size_t at = fill ? 32 : 28;
    if (!r.has(at, bytes)) return;
    Brush brush = dc_.brush;
    if (fill) {
        const uint32_t index = r.u32(28);
        if (index & StockObjectFlag) {
            DeviceContext stock = dc_;
            SelectStockObject(stock, index & ~StockObjectFlag);
            brush = stock.brush;
        } else if (const Object* o = painter_.objects().find(index, Object::BrushKind)) {
            brush = o->brush;
        } else {
            return;
        }
    }
    painter_.fillPath(painter_.regionPath(readRegion(r.sub(at, bytes)), false), brush);
}

// ---------------------------------------------------------------- drawing

void EMFRecords::polyPoints(uint32_t type, const MetafileReader& r) {
    const bool small = type >= EMR_POLYBEZIER16;
    const uint32_t kind = small ? type - (EMR_POLYBEZIER16 - EMR_POLYBEZIER) : type;
    const uint32_t count = r.u32(24);
    std::vector<double> pts;
    if (!(small ? r.points16(28, count, pts) : r.points32(28, count, pts))) return;
    switch (kind) {
        case EMR_POLYBEZIER: painter_.polyTo(pts, true, false); break;
        case EMR_POLYGON: painter_.poly(pts, true, true); break;
        case EMR_POLYLINE: painter_.poly(pts, false, false); break;
        default: painter_.polyTo(pts, kind == EMR_POLYBEZIERTO, true); break;
    }
}

void EMFRecords::polyPolyPoints(uint32_t type, const MetafileReader& r) {
    const bool small = type == EMR_POLYPOLYLINE16 || type == EMR_POLYPOLYGON16;
    const bool closed = type == EMR_POLYPOLYGON || type == EMR_POLYPOLYGON16;
    const uint32_t polys = r.u32(24), total = r.u32(28);
    if (!r.hasArray(32, polys, 4)) return;
    std::vector<uint32_t> counts(polys);
    uint64_t sum = 0;
    for (uint32_t i = 0; i < polys; ++i) sum += counts[i] = r.u32(32 + 4 * i);
    if (sum > total) return;
    std::vector<double> pts;
    const size_t at = 32 + size_t{polys} * 4;
    if (!(small ? r.points16(at, total, pts) : r.points32(at, total, pts))) return;
    painter_.polyPoly(pts, counts, closed);
}

// Points, each with a type: move, line, or the first of three Bezier points; the
// closing flag ends a figure.
void EMFRecords::polyDraw(uint32_t type, const MetafileReader& r) {
    constexpr uint8_t PT_CLOSEFIGURE = 1, PT_KIND = 6, PT_BEZIERTO = 4, PT_MOVETO = 6;
    const bool small = type == EMR_POLYDRAW16;
    const uint32_t count = r.u32(24);
    std::vector<double> pts;
    if (!(small ? r.points16(28, count, pts) : r.points32(28, count, pts))) return;
    const size_t types = 28 + size_t{count} * (small ? 4 : 8);
    if (!r.hasArray(types, count, 1)) return;
    Path path = painter_.shape([&](cairo_t* c) {
        if (!cairo_.has_current_point(c)) cairo_.move_to(c, dc_.curX, dc_.curY);
        for (uint32_t i = 0; i < count; ++i) {
            const uint8_t t = r.u8(types + i);
            const double x = pts[2 * i], y = pts[2 * i + 1];
            if ((t & PT_KIND) == PT_MOVETO) {
                cairo_.move_to(c, x, y);
            } else if ((t & PT_KIND) == PT_BEZIERTO && i + 2 < count) {
                cairo_.curve_to(c, x, y, pts[2 * i + 2], pts[2 * i + 3], pts[2 * i + 4], pts[2 * i + 5]);
                i += 2;
            } else {
                cairo_.line_to(c, x, y);
            }
            if (r.u8(types + i) & PT_CLOSEFIGURE) cairo_.close_path(c);
        }
    });
    if (count) dc_.curX = pts[2 * count - 2], dc_.curY = pts[2 * count - 1];
    painter_.strokePath(path);
}

void EMFRecords::setPixel(uint32_t, const MetafileReader& r) {
    painter_.setPixel(r.i32(8), r.i32(12), ColorRefToRGB(r.u32(16)));
}

void EMFRecords::ellipse(uint32_t, const MetafileReader& r) { painter_.ellipse(r.i32(8), r.i32(12), r.i32(16), r.i32(20)); }
void EMFRecords::rectangle(uint32_t, const MetafileReader& r) { painter_.rectangle(r.i32(8), r.i32(12), r.i32(16), r.i32(20)); }

void EMFRecords::roundRect(uint32_t, const MetafileReader& r) {
    painter_.roundRect(r.i32(8), r.i32(12), r.i32(16), r.i32(20), r.i32(24), r.i32(28));
}

void EMFRecords::arc(uint32_t type, const MetafileReader& r) {
    const Painter::ArcKind kind = type == EMR_ARC     ? Painter::ArcKind::Arc
                                  : type == EMR_CHORD ? Painter::ArcKind::Chord
                                  : type == EMR_PIE   ? Painter::ArcKind::Pie
                                                      : Painter::ArcKind::ArcTo;
    painter_.arc(kind, r.i32(8), r.i32(12), r.i32(16), r.i32(20), r.i32(24), r.i32(28), r.i32(32), r.i32(36));
}

void EMFRecords::angleArc(uint32_t, const MetafileReader& r) {
    painter_.angleArc(r.i32(8), r.i32(12), r.u32(16), r.f32(20), r.f32(24));
}

void EMFRecords::lineTo(uint32_t, const MetafileReader& r) { painter_.lineTo(r.i32(8), r.i32(12)); }

// Rectangles shaded between the colours of their two corners (TRIVERTEX: x, y, then
// 16-bit red, green, blue, alpha); triangles are not drawn.
void EMFRecords::gradientFill(uint32_t, const MetafileReader& r) {
    constexpr uint32_t GRADIENT_FILL_RECT_V = 1;
    constexpr size_t Vertices = 36, VertexSize = 16, RectSize = 8;
    const uint32_t nVer = r.u32(24), nTri = r.u32(28), mode = r.u32(32);
    if (!r.hasArray(Vertices, nVer, VertexSize) || mode > GRADIENT_FILL_RECT_V) return;
    const size_t at = Vertices + size_t{nVer} * VertexSize;
    if (!r.hasArray(at, nTri, RectSize)) return;
    auto coordinate = [&](uint32_t v, int k) { return r.i32(Vertices + VertexSize * size_t{v} + 4 * k); };
    auto color = [&](uint32_t v) {
        auto channel = [&](int k) { return uint32_t{r.u16(Vertices + VertexSize * size_t{v} + 8 + 2 * k)} >> 8; };
        return channel(0) << 16 | channel(1) << 8 | channel(2);
    };
    for (uint32_t i = 0; i < nTri; ++i) {
        const uint32_t a = r.u32(at + RectSize * i), b = r.u32(at + RectSize * i + 4);
        if (a >= nVer || b >= nVer) continue;
        painter_.gradientRectangle(coordinate(a, 0), coordinate(a, 1), coordinate(b, 0), coordinate(b, 1), color(a),
                                   color(b), mode == GRADIENT_FILL_RECT_V);
    }
}

// ---------------------------------------------------------------- bitmaps

// BitBlt, StretchBlt, AlphaBlend and TransparentBlt share one layout; SetDIBitsToDevice
// and StretchDIBits have their own.
void EMFRecords::bitmap(uint32_t type, const MetafileReader& r) {
    BlitArea a;
    a.xd = r.i32(24), a.yd = r.i32(28);
    uint32_t rop, usage, offBmi, cbBmi, offBits, cbBits;
    if (type == EMR_STRETCHDIBITS || type == EMR_SETDIBITSTODEVICE) {
        a.xs = r.i32(32), a.ys = r.i32(36), a.ws = r.i32(40), a.hs = r.i32(44);
        offBmi = r.u32(48), cbBmi = r.u32(52), offBits = r.u32(56), cbBits = r.u32(60);
        usage = r.u32(64);
        if (type == EMR_STRETCHDIBITS) {
            rop = r.u32(68), a.wd = r.i32(72), a.hd = r.i32(76);
            if (!r.has(0, 80)) return;
        } else {
            rop = SRCCOPY, a.wd = a.ws, a.hd = a.hs;
            if (!r.has(0, 76)) return;
        }
    } else {
        a.wd = r.i32(32), a.hd = r.i32(36), rop = r.u32(40), a.xs = r.i32(44), a.ys = r.i32(48);
        usage = r.u32(80), offBmi = r.u32(84), cbBmi = r.u32(88), offBits = r.u32(92), cbBits = r.u32(96);
        if (!r.has(0, 100)) return;
        const bool stretch = type != EMR_BITBLT;
        a.ws = stretch ? r.i32(100) : a.wd;
        a.hs = stretch ? r.i32(104) : a.hd;
        if (stretch && !r.has(0, 108)) return;
        // Blending and transparency are drawn as plain copies.
        if (type == EMR_ALPHABLEND || type == EMR_TRANSPARENTBLT) rop = SRCCOPY;
    }
    DIBSource dib;
    if (cbBmi && r.has(offBmi, cbBmi) && r.has(offBits, cbBits))
        dib = ReadDIB(r.sub(offBmi, cbBmi), r.sub(offBits, cbBits), usage, dc_.palette);
    // The source origin of SetDIBitsToDevice is the bitmap's bottom-left corner.
    if (type == EMR_SETDIBITSTODEVICE && dib.valid()) a.ys = std::max(0.0, dib.height() - a.ys - a.hs);
    Blit(painter_, dib.valid() ? &dib : nullptr, a, rop);
}

// ---------------------------------------------------------------- text

// EMRTEXT at 36: the reference point, the character count, the string's offset, the
// options, the rectangle and the advances' offset.
void EMFRecords::extTextOut(uint32_t type, const MetafileReader& r) { playText(type, r, TextPoint); }

// One EMRTEXT at emrText: its offsets count from the start of the record that holds it.
void EMFRecords::playText(uint32_t type, const MetafileReader& r, size_t emrText) {
    if (!r.has(emrText, EmrTextSize)) return;
    const bool wide = type == EMR_EXTTEXTOUTW || type == EMR_POLYTEXTOUTW;
    const uint32_t count = r.u32(emrText + 8), offString = r.u32(emrText + 12), options = r.u32(emrText + 16),
                   offDx = r.u32(emrText + 36);
    double rect[4];
    for (size_t i = 0; i < 4; ++i) rect[i] = r.i32(emrText + 20 + 4 * i);
    TextRun run;
    run.x = r.i32(emrText), run.y = r.i32(emrText + 4);
    run.chars = readCharacters(r, offString, count, wide, dc_.font.charset);
    const size_t step = options & ETO_PDY ? 8 : 4;
    if (offDx && count && r.hasArray(offDx, count, step)) {
        run.dx.resize(count);
        for (uint32_t i = 0; i < count; ++i) run.dx[i] = r.i32(offDx + step * i);
        if (run.chars.size() < run.dx.size()) run.dx.resize(run.chars.size());
    }
    run.options = options;
    const bool hasRect = rect[0] != rect[2] && rect[1] != rect[3];
    run.rect = hasRect ? rect : nullptr;
    DrawText(painter_, run);
}

// Each string is played as ExtTextOut plays its one, read where it lies in the record.
void EMFRecords::polyTextOut(uint32_t type, const MetafileReader& r) {
    const uint32_t count = r.u32(PolyTextCount);
    for (uint32_t i = 0; i < count && r.has(PolyTextFirst + size_t{i} * EmrTextSize, EmrTextSize); ++i)
        playText(type, r, PolyTextFirst + size_t{i} * EmrTextSize);
}

}  // namespace host
