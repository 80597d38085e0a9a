#include "metafile/player/WMFRecords.h"

#include <algorithm>
#include <vector>

#include "metafile/MetafileRecordTypes.h"
#include "metafile/player/MetafileDIB.h"
#include "metafile/player/MetafileText.h"
#include "metafile/player/TextPainter.h"

namespace host {

namespace {

// Size in words, then the function; parameters follow.
constexpr size_t RecordHead = 6;
constexpr size_t Param = RecordHead;
// The header's length in words, and its count of object slots.
constexpr size_t HeaderWords = 2, HeaderObjects = 10;
// A pattern brush of a device-dependent bitmap is drawn grey.
constexpr uint32_t StandInGrey = 0x808080;

constexpr LogPenLayout CreatePenLayout{{6, 2, false}, {8, 2, true}, {12, 4, false}};
constexpr LogBrushLayout CreateBrushLayout{{6, 2, false}, {8, 4, false}, {12, 2, false}};
constexpr LogFontLayout CreateFontLayout{{6, 2, true}, {10, 2, true}, {14, 2, true}, 16, 24, 1};

// The record holds at least words parameter words.
bool hasParams(const MetafileReader& r, size_t words) { return (r.size() - RecordHead) / 2 >= words; }

// Parameter word i as a signed logical value.
double param(const MetafileReader& r, size_t i) { return r.i16(Param + 2 * i); }

// A bitmap record without a bitmap is a pattern operation: its size in words is the
// function's high byte plus three.
bool withoutBitmap(uint16_t function, const MetafileReader& r) { return r.size() / 2 == (function >> 8) + 3u; }

// nextInChain, objectType, objectCount (i32), regionSize, scanCount, maxScan,
// bounding box, then scans of (count, top, bottom, count / 2 pairs, count).
Region readRegion(const MetafileReader& r) {
    constexpr size_t Base = Param, ScanCount = Base + 10, BoundingBox = Base + 14, FirstScan = Base + 22;
    Region region;
    const uint16_t scans = r.u16(ScanCount);
    size_t at = FirstScan;
    for (uint32_t s = 0; s < scans; ++s) {
        if (!r.has(at, 6)) break;
        const uint16_t count = r.u16(at);
        const double top = r.i16(at + 2), bottom = r.i16(at + 4);
        if (!r.hasArray(at + 6, count, 2)) break;
        for (uint16_t k = 0; k + 1 < count; k += 2)
            region.rects.insert(region.rects.end(), {static_cast<double>(r.i16(at + 6 + 2 * k)), top,
                                                     static_cast<double>(r.i16(at + 8 + 2 * k)), bottom});
        at += 6 + size_t{count} * 2 + 2;
    }
    if (region.rects.empty() && r.has(BoundingBox, 8))
        region.rects = {static_cast<double>(r.i16(BoundingBox)), static_cast<double>(r.i16(BoundingBox + 2)),
                        static_cast<double>(r.i16(BoundingBox + 4)), static_cast<double>(r.i16(BoundingBox + 6))};
    return region;
}

}  // namespace

const RecordTable<WMFRecords::Handler>& WMFRecords::handlers() {
    // The mapping mode and the viewport records have no handler: the mapping onto the
    // frame stays anisotropic, and the viewport is the frame.
    static const RecordTable<Handler> table = {
        // state
        {META_SETBKCOLOR, &WMFRecords::setBkColor},
        {META_SETTEXTCOLOR, &WMFRecords::setTextColor},
        {META_SETBKMODE, &WMFRecords::setBkMode},
        {META_SETROP2, &WMFRecords::setRop2},
        {META_SETPOLYFILLMODE, &WMFRecords::setPolyFillMode},
        {META_SETTEXTALIGN, &WMFRecords::setTextAlign},
        {META_SETWINDOWORG, &WMFRecords::setWindowOrg},
        {META_SETWINDOWEXT, &WMFRecords::setWindowExt},
        {META_OFFSETWINDOWORG, &WMFRecords::offsetWindowOrg},
        {META_SCALEWINDOWEXT, &WMFRecords::scaleWindowExt},
        {META_SAVEDC, &WMFRecords::saveDC},
        {META_RESTOREDC, &WMFRecords::restoreDC},
        {META_MOVETO, &WMFRecords::moveTo},
        // objects
        {META_SELECTOBJECT, &WMFRecords::selectObject},
        {META_SELECTPALETTE, &WMFRecords::selectObject},
        {META_DELETEOBJECT, &WMFRecords::deleteObject},
        {META_CREATEPENINDIRECT, &WMFRecords::createPen},
        {META_CREATEBRUSHINDIRECT, &WMFRecords::createBrush},
        {META_DIBCREATEPATTERNBRUSH, &WMFRecords::createDIBPatternBrush},
        {META_CREATEPATTERNBRUSH, &WMFRecords::createPatternBrush},
        {META_CREATEFONTINDIRECT, &WMFRecords::createFont},
        {META_CREATEPALETTE, &WMFRecords::createPalette},
        {META_CREATEREGION, &WMFRecords::createRegion},
        // clipping and regions
        {META_EXCLUDECLIPRECT, &WMFRecords::clipRect},
        {META_INTERSECTCLIPRECT, &WMFRecords::clipRect},
        {META_OFFSETCLIPRGN, &WMFRecords::offsetClip},
        {META_SELECTCLIPREGION, &WMFRecords::selectClipRegion},
        {META_FILLREGION, &WMFRecords::fillRegion},
        {META_PAINTREGION, &WMFRecords::fillRegion},
        // drawing
        {META_LINETO, &WMFRecords::lineTo},
        {META_ELLIPSE, &WMFRecords::ellipse},
        {META_RECTANGLE, &WMFRecords::rectangle},
        {META_ROUNDRECT, &WMFRecords::roundRect},
        {META_ARC, &WMFRecords::arc},
        {META_PIE, &WMFRecords::arc},
        {META_CHORD, &WMFRecords::arc},
        {META_SETPIXEL, &WMFRecords::setPixel},
        {META_PATBLT, &WMFRecords::patBlt},
        {META_POLYGON, &WMFRecords::polyPoints},
        {META_POLYLINE, &WMFRecords::polyPoints},
        {META_POLYPOLYGON, &WMFRecords::polyPolygon},
        // bitmaps
        {META_STRETCHDIB, &WMFRecords::stretchDIB},
        {META_DIBSTRETCHBLT, &WMFRecords::dibStretchBlt},
        {META_STRETCHBLT, &WMFRecords::dibStretchBlt},
        {META_DIBBITBLT, &WMFRecords::dibBitBlt},
        {META_BITBLT, &WMFRecords::dibBitBlt},
        {META_SETDIBTODEV, &WMFRecords::setDIBitsToDevice},
        // text
        {META_TEXTOUT, &WMFRecords::textOut},
        {META_EXTTEXTOUT, &WMFRecords::extTextOut},
    };
    return table;
}

void WMFRecords::play(const MetafileReader& data, int16_t l, int16_t t, int16_t r, int16_t b, const PlayRect& dest) {
    dc_.mapMode = MM_ANISOTROPIC;
    dc_.winOrgX = l, dc_.winOrgY = t;
    dc_.winExtX = r - l, dc_.winExtY = b - t;
    dc_.vpOrgX = dest.Left, dc_.vpOrgY = dest.Top;
    dc_.vpExtX = dest.Right - dest.Left, dc_.vpExtY = dest.Bottom - dest.Top;
    painter_.objects().reset(data.u16(HeaderObjects));
    size_t at = size_t{data.u16(HeaderWords)} * 2;
    while (data.has(at, RecordHead)) {
        const uint64_t size = uint64_t{data.u32(at)} * 2;
        const uint16_t function = data.u16(at + 4);
        if (size < RecordHead || !data.has(at, size)) break;
        if (function == META_EOF) break;
        painter_.budget().record();
        if (const Handler handler = handlers().find(function))
            (this->*handler)(function, data.sub(at, static_cast<size_t>(size)));
        at += static_cast<size_t>(size);
    }
}

// ---------------------------------------------------------------- state

void WMFRecords::setBkColor(uint16_t, const MetafileReader& r) {
    if (hasParams(r, 2)) dc_.bkColor = ColorRefToRGB(r.u32(Param));
}
void WMFRecords::setTextColor(uint16_t, const MetafileReader& r) {
    if (hasParams(r, 2)) dc_.textColor = ColorRefToRGB(r.u32(Param));
}
void WMFRecords::setBkMode(uint16_t, const MetafileReader& r) {
    if (hasParams(r, 1)) dc_.bkMode = r.u16(Param);
}
void WMFRecords::setRop2(uint16_t, const MetafileReader& r) {
    if (hasParams(r, 1)) dc_.rop2 = std::clamp<int>(r.u16(Param), R2_BLACK, R2_WHITE);
}
void WMFRecords::setPolyFillMode(uint16_t, const MetafileReader& r) {
    if (hasParams(r, 1)) dc_.polyFill = r.u16(Param);
}
void WMFRecords::setTextAlign(uint16_t, const MetafileReader& r) {
    if (hasParams(r, 1)) dc_.textAlign = r.u16(Param);
}
void WMFRecords::setWindowOrg(uint16_t, const MetafileReader& r) {
    if (hasParams(r, 2)) dc_.winOrgY = param(r, 0), dc_.winOrgX = param(r, 1);
}
void WMFRecords::setWindowExt(uint16_t, const MetafileReader& r) {
    if (hasParams(r, 2)) dc_.winExtY = param(r, 0), dc_.winExtX = param(r, 1);
}
void WMFRecords::offsetWindowOrg(uint16_t, const MetafileReader& r) {
    if (hasParams(r, 2)) dc_.winOrgY += param(r, 0), dc_.winOrgX += param(r, 1);
}

void WMFRecords::scaleWindowExt(uint16_t, const MetafileReader& r) {
    if (!hasParams(r, 4) || param(r, 0) == 0 || param(r, 2) == 0) return;
    dc_.winExtY = dc_.winExtY * param(r, 1) / param(r, 0);
    dc_.winExtX = dc_.winExtX * param(r, 3) / param(r, 2);
}

void WMFRecords::saveDC(uint16_t, const MetafileReader&) { painter_.saveDC(); }
void WMFRecords::restoreDC(uint16_t, const MetafileReader& r) {
    if (hasParams(r, 1)) painter_.restoreDC(r.i16(Param));
}
void WMFRecords::moveTo(uint16_t, const MetafileReader& r) {
    if (hasParams(r, 2)) painter_.moveTo(param(r, 1), param(r, 0));
}

// ---------------------------------------------------------------- objects

void WMFRecords::selectObject(uint16_t, const MetafileReader& r) {
    if (hasParams(r, 1)) painter_.selectObject(r.u16(Param));
}
void WMFRecords::deleteObject(uint16_t, const MetafileReader& r) {
    if (hasParams(r, 1)) painter_.objects().remove(r.u16(Param));
}

void WMFRecords::createPen(uint16_t, const MetafileReader& r) {
    if (hasParams(r, 5)) painter_.objects().add(Object::Of(ReadLogPen(r, CreatePenLayout)));
}

void WMFRecords::createBrush(uint16_t, const MetafileReader& r) {
    if (hasParams(r, 4)) painter_.objects().add(Object::Of(ReadLogBrush(r, CreateBrushLayout)));
}

// The slot is taken even when the pattern is unusable.
void WMFRecords::createDIBPatternBrush(uint16_t, const MetafileReader& r) {
    constexpr size_t Usage = Param + 2, Bitmap = Param + 4;
    const uint16_t usage = r.u16(Usage);
    Brush brush;
    MetafileReader header, bits;
    if (hasParams(r, 2) && r.has(Bitmap, 4) && SplitPackedDIB(r.sub(Bitmap, r.size() - Bitmap), usage, header, bits))
        brush = painter_.patternBrush(header, bits, usage);
    painter_.objects().add(Object::Of(std::move(brush)));
}

void WMFRecords::createPatternBrush(uint16_t, const MetafileReader&) {
    Brush grey;
    grey.color = StandInGrey;
    painter_.objects().add(Object::Of(std::move(grey)));
}

void WMFRecords::createFont(uint16_t, const MetafileReader& r) {
    painter_.objects().add(Object::Of(ReadLogFont(r, CreateFontLayout)));
}

// The slot is taken even when the entries do not fit.
void WMFRecords::createPalette(uint16_t, const MetafileReader& r) {
    std::vector<uint32_t> palette;
    ReadPaletteEntries(r, r.u16(Param + 2), Param + 4, palette);
    painter_.objects().add(Object::OfPalette(std::move(palette)));
}

void WMFRecords::createRegion(uint16_t, const MetafileReader& r) {
    painter_.objects().add(Object::Of(readRegion(r)));
}

// ---------------------------------------------------------------- clipping and regions

void WMFRecords::clipRect(uint16_t function, const MetafileReader& r) {
    if (!hasParams(r, 4)) return;
    painter_.clipRect(param(r, 3), param(r, 2), param(r, 1), param(r, 0), function == META_EXCLUDECLIPRECT);
}

void WMFRecords::offsetClip(uint16_t, const MetafileReader& r) {
    if (hasParams(r, 2)) painter_.offsetClip(param(r, 1), param(r, 0), true);
}

// Region 0 selects no clip.
void WMFRecords::selectClipRegion(uint16_t, const MetafileReader& r) {
    const uint16_t index = r.u16(Param);
    if (!hasParams(r, 1)) return;
    if (const Object* o = painter_.objects().find(index, Object::RegionKind))
        painter_.combineClip(painter_.regionPath(o->region, true), RGN_COPY, false);
    else if (index == 0)
        painter_.clearClip();
}

// FillRegion names a brush; PaintRegion paints with the selected one.
void WMFRecords::fillRegion(uint16_t function, const MetafileReader& r) {
    if (!hasParams(r, 1)) return;
    const Object* region = painter_.objects().find(r.u16(Param), Object::RegionKind);
    if (!region) return;
    Brush brush = dc_.brush;
    if (function == META_FILLREGION) {
        const Object* named = hasParams(r, 2) ? painter_.objects().find(r.u16(Param + 2), Object::BrushKind) : nullptr;
        if (!named) return;
        brush = named->brush;
    }
    painter_.fillPath(painter_.regionPath(region->region, true), brush);
}

// ---------------------------------------------------------------- drawing

void WMFRecords::lineTo(uint16_t, const MetafileReader& r) {
    if (hasParams(r, 2)) painter_.lineTo(param(r, 1), param(r, 0));
}

void WMFRecords::ellipse(uint16_t, const MetafileReader& r) {
    if (hasParams(r, 4)) painter_.ellipse(param(r, 3), param(r, 2), param(r, 1), param(r, 0));
}

void WMFRecords::rectangle(uint16_t, const MetafileReader& r) {
    if (hasParams(r, 4)) painter_.rectangle(param(r, 3), param(r, 2), param(r, 1), param(r, 0));
}

void WMFRecords::roundRect(uint16_t, const MetafileReader& r) {
    if (hasParams(r, 6))
        painter_.roundRect(param(r, 5), param(r, 4), param(r, 3), param(r, 2), param(r, 1), param(r, 0));
}

void WMFRecords::arc(uint16_t function, const MetafileReader& r) {
    if (!hasParams(r, 8)) return;
    const Painter::ArcKind kind = function == META_ARC     ? Painter::ArcKind::Arc
                                  : function == META_CHORD ? Painter::ArcKind::Chord
                                                           : Painter::ArcKind::Pie;
    painter_.arc(kind, param(r, 7), param(r, 6), param(r, 5), param(r, 4), param(r, 3), param(r, 2), param(r, 1),
                 param(r, 0));
}

void WMFRecords::setPixel(uint16_t, const MetafileReader& r) {
    if (!hasParams(r, 4)) return;
    const Brush brush{BS_SOLID, ColorRefToRGB(r.u32(Param)), 0, nullptr};
    painter_.fillPath(painter_.rectangleOutline(param(r, 3), param(r, 2), 1, 1), brush);
}

void WMFRecords::patBlt(uint16_t, const MetafileReader& r) {
    if (!hasParams(r, 6)) return;
    BlitArea a;
    a.xd = param(r, 5), a.yd = param(r, 4), a.wd = param(r, 3), a.hd = param(r, 2);
    Blit(painter_, nullptr, a, r.u32(Param));
}

void WMFRecords::polyPoints(uint16_t function, const MetafileReader& r) {
    const bool polygon = function == META_POLYGON;
    std::vector<double> pts;
    if (!hasParams(r, 1) || !r.points16(Param + 2, r.u16(Param), pts)) return;
    painter_.poly(pts, polygon, polygon);
}

void WMFRecords::polyPolygon(uint16_t, const MetafileReader& r) {
    const uint32_t polys = r.u16(Param);
    if (!hasParams(r, 1) || !r.hasArray(Param + 2, polys, 2)) return;
    std::vector<uint32_t> counts(polys);
    uint32_t total = 0;
    for (uint32_t i = 0; i < polys; ++i) total += counts[i] = r.u16(Param + 2 + 2 * i);
    std::vector<double> pts;
    if (!r.points16(Param + 2 + size_t{polys} * 2, total, pts)) return;
    painter_.polyPoly(pts, counts, true);
}

// ---------------------------------------------------------------- bitmaps

DIBSource WMFRecords::packedBitmap(const MetafileReader& r, size_t dibAt, uint32_t usage) const {
    MetafileReader header, bits;
    if (!r.has(dibAt, 4) || !SplitPackedDIB(r.sub(dibAt, r.size() - dibAt), usage, header, bits)) return {};
    return ReadDIB(header, bits, usage, dc_.palette);
}

void WMFRecords::blitPacked(const MetafileReader& r, size_t dibAt, const BlitArea& area, uint32_t rop) {
    DIBSource decoded = packedBitmap(r, dibAt, DIB_RGB_COLORS);
    if (decoded.valid()) Blit(painter_, &decoded, area, rop);
}

void WMFRecords::stretchDIB(uint16_t, const MetafileReader& r) {
    BlitArea a;
    const uint32_t usage = r.u16(Param + 4);
    a.hs = param(r, 3), a.ws = param(r, 4), a.ys = param(r, 5), a.xs = param(r, 6);
    a.hd = param(r, 7), a.wd = param(r, 8), a.yd = param(r, 9), a.xd = param(r, 10);
    DIBSource decoded = packedBitmap(r, Param + 22, usage);
    if (decoded.valid()) Blit(painter_, &decoded, a, r.u32(Param));
}

// Without a bitmap the record is a pattern operation; device-dependent bitmaps are not drawn.
void WMFRecords::dibStretchBlt(uint16_t function, const MetafileReader& r) {
    const bool noBitmap = withoutBitmap(function, r);
    const size_t k = noBitmap ? 1 : 0;
    BlitArea a;
    a.hs = param(r, 2), a.ws = param(r, 3), a.ys = param(r, 4), a.xs = param(r, 5);
    a.hd = param(r, 6 + k), a.wd = param(r, 7 + k), a.yd = param(r, 8 + k), a.xd = param(r, 9 + k);
    if (noBitmap) Blit(painter_, nullptr, a, r.u32(Param));
    else if (function == META_DIBSTRETCHBLT) blitPacked(r, Param + 20, a, r.u32(Param));
}

void WMFRecords::dibBitBlt(uint16_t function, const MetafileReader& r) {
    const bool noBitmap = withoutBitmap(function, r);
    const size_t k = noBitmap ? 1 : 0;
    BlitArea a;
    a.ys = param(r, 2), a.xs = param(r, 3);
    a.hd = param(r, 4 + k), a.wd = param(r, 5 + k), a.yd = param(r, 6 + k), a.xd = param(r, 7 + k);
    a.ws = a.wd, a.hs = a.hd;
    if (noBitmap) Blit(painter_, nullptr, a, r.u32(Param));
    else if (function == META_DIBBITBLT) blitPacked(r, Param + 16, a, r.u32(Param));
}

// The source origin of this record is the bitmap's bottom-left corner.
void WMFRecords::setDIBitsToDevice(uint16_t, const MetafileReader& r) {
    BlitArea a;
    const uint32_t usage = r.u16(Param);
    a.ys = param(r, 3), a.xs = param(r, 4), a.hs = param(r, 5), a.ws = param(r, 6);
    a.hd = a.hs, a.wd = a.ws, a.yd = param(r, 7), a.xd = param(r, 8);
    DIBSource decoded = packedBitmap(r, Param + 18, usage);
    if (!decoded.valid()) return;
    a.ys = std::max(0.0, decoded.height() - a.ys - a.hs);
    Blit(painter_, &decoded, a, SRCCOPY);
}

// ---------------------------------------------------------------- text

void WMFRecords::drawText(const MetafileReader& r, double x, double y, uint32_t count, size_t stringAt,
                          uint32_t options, const double* rect, bool withAdvances) {
    if (!r.hasArray(stringAt, count, 1)) return;
    TextRun run;
    run.x = x, run.y = y;
    for (uint32_t i = 0; i < count; ++i) run.chars.push_back(AnsiToUnicode(r.u8(stringAt + i), dc_.font.charset));
    // The string is padded to whole words.
    const size_t dxAt = stringAt + (size_t{count} + 1) / 2 * 2;
    if (withAdvances && r.hasArray(dxAt, count, 2)) {
        run.dx.resize(count);
        for (uint32_t i = 0; i < count; ++i) run.dx[i] = r.i16(dxAt + 2 * i);
    }
    run.options = options;
    run.rect = rect;
    DrawText(painter_, run);
}

// The count and the string come first, the reference point after them.
void WMFRecords::textOut(uint16_t, const MetafileReader& r) {
    const uint32_t count = r.u16(Param);
    const size_t stringAt = Param + 2;
    const size_t after = stringAt + (size_t{count} + 1) / 2 * 2;
    if (!r.has(after, 4)) return;
    drawText(r, r.i16(after + 2), r.i16(after), count, stringAt, 0, nullptr, false);
}

// The reference point, the count and the options, then the rectangle when the options
// use one, the string and the advances.
void WMFRecords::extTextOut(uint16_t, const MetafileReader& r) {
    const double y = r.i16(Param), x = r.i16(Param + 2);
    const uint32_t count = r.u16(Param + 4), options = r.u16(Param + 6);
    size_t stringAt = Param + 8;
    double rect[4] = {};
    const bool hasRect = (options & (ETO_OPAQUE | ETO_CLIPPED)) != 0;
    if (hasRect) {
        if (!r.has(stringAt, 8)) return;
        for (size_t i = 0; i < 4; ++i) rect[i] = r.i16(stringAt + 2 * i);
        stringAt += 8;
    }
    drawText(r, x, y, count, stringAt, options, hasRect ? rect : nullptr, true);
}

}  // namespace host
