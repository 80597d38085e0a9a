#include "metafile/player/Blit.h"

#include <algorithm>
#include <cmath>
#include <vector>

namespace host {

namespace {

// Raster operation codes (the operation's byte of the ternary code).
constexpr uint32_t RopSourceCopy = 0xCC;
constexpr uint32_t RopPatternCopy = 0xF0;
constexpr uint32_t RopTargetStays = 0xAA;

uint32_t rop3(uint32_t code, uint32_t p, uint32_t s, uint32_t d) {
    uint32_t r = 0;
    for (int i = 0; i < 8; ++i)
        if (code >> i & 1) r |= (i & 4 ? p : ~p) & (i & 2 ? s : ~s) & (i & 1 ? d : ~d);
    return r & 0xFFFFFF;
}

// Bitmaps drawn through a rotating or shearing transform are made a surface of at most
// this many pixels (16 MiB), read from every so many columns and rows when they are larger.
constexpr int64_t MaxTransformedSourcePixels = int64_t{1} << 22;

// A block of source pixels already on the target's grid, with its top-left corner.
struct Block {
    Surface surface;
    int32_t left = 0, top = 0;
};

// A bitmap as a surface for a transform, and the source rectangle on that surface.
struct TransformedSource {
    Surface surface;
    BlitArea area;
};

TransformedSource surfaceOf(const DIBSource& dib, const BlitArea& a) {
    TransformedSource source{nullptr, a};
    int32_t stepX, stepY;
    source.surface = dib.surface(MaxTransformedSourcePixels, stepX, stepY);
    source.area.xs /= stepX, source.area.ws /= stepX;
    source.area.ys /= stepY, source.area.hs /= stepY;
    return source;
}

// Pixels whose centres lie between a and b, within [0, limit].
void centresBetween(double a, double b, int32_t limit, int32_t& first, int32_t& last) {
    const double lo = std::min(a, b) - 0.5, hi = std::max(a, b) - 0.5;
    first = ClampedPixel(std::ceil(lo), 0, limit);
    last = ClampedPixel(std::ceil(hi), 0, limit);
}

// The source stretched onto the target's pixel grid by nearest pixel, for the usual
// transforms that neither rotate nor shear: exact, and free of the fixed-point
// limits of the renderer's pattern transforms (a bitmap shrunk far from the origin
// would otherwise sample garbage). The block covers the visible destination; no
// surface for other transforms or nothing visible.
Block stretchedSource(Painter& painter, const DIBSource& dib, const cairo_matrix_t& m, const BlitArea& a) {
    const PlayTarget& target = painter.target();
    if (m.xy != 0 || m.yx != 0) return {};
    const double dx0 = m.xx * a.xd + m.x0, dx1 = m.xx * (a.xd + a.wd) + m.x0;
    const double dy0 = m.yy * a.yd + m.y0, dy1 = m.yy * (a.yd + a.hd) + m.y0;
    if (!(std::isfinite(dx0) && std::isfinite(dx1) && std::isfinite(dy0) && std::isfinite(dy1)) || dx0 == dx1 ||
        dy0 == dy1)
        return {};
    int32_t x0, x1, y0, y1;
    centresBetween(dx0, dx1, target.Width, x0, x1);
    centresBetween(dy0, dy1, target.Height, y0, y1);
    if (x0 >= x1 || y0 >= y1) return {};
    // Sampling costs the pixels the source is stretched over, however small the source:
    // charged before they are sampled.
    painter.budget().area(int64_t{x1 - x0} * (y1 - y0));
    Block block{MakeSurface(CAIRO_FORMAT_RGB24, x1 - x0, y1 - y0), x0, y0};
    if (!block.surface) return {};
    std::vector<int32_t> columns(static_cast<size_t>(x1 - x0));
    for (int32_t x = x0; x < x1; ++x) {
        const double u = (x + 0.5 - dx0) / (dx1 - dx0);
        columns[static_cast<size_t>(x - x0)] =
            ClampedPixel(std::floor(a.xs + u * a.ws), 0, dib.width() - 1);
    }
    const CairoLibrary& cairo = Cairo();
    cairo.surface_flush(block.surface.get());
    uint8_t* bd = cairo.image_surface_get_data(block.surface.get());
    const int bs = cairo.image_surface_get_stride(block.surface.get());
    for (int32_t y = y0; y < y1; ++y) {
        const double v = (y + 0.5 - dy0) / (dy1 - dy0);
        const int32_t sy = ClampedPixel(std::floor(a.ys + v * a.hs), 0, dib.height() - 1);
        dib.sampleRow(sy, columns.data(), columns.size(),
                      reinterpret_cast<uint32_t*>(bd + static_cast<size_t>(y - y0) * bs));
    }
    cairo.surface_mark_dirty(block.surface.get());
    return block;
}

// Sets c up to draw the source through the logical transform, from its source
// rectangle onto the destination.
void sourceThroughTransform(cairo_t* c, const TransformedSource& source) {
    const CairoLibrary& cairo = Cairo();
    const BlitArea& a = source.area;
    cairo.translate(c, a.xd, a.yd);
    cairo.scale(c, a.wd / a.ws, a.hd / a.hs);
    cairo.translate(c, -a.xs, -a.ys);
    cairo.set_source_surface(c, source.surface.get(), 0, 0);
    cairo.pattern_set_filter(cairo.get_source(c), CAIRO_FILTER_NEAREST);
    cairo.pattern_set_extend(cairo.get_source(c), CAIRO_EXTEND_PAD);
}

void copyBlock(Painter& painter, const Block& block) {
    const CairoLibrary& cairo = Cairo();
    const int32_t w = cairo.image_surface_get_width(block.surface.get());
    const int32_t h = cairo.image_surface_get_height(block.surface.get());
    painter.onTarget({block.left, block.top, block.left + w, block.top + h}, [&](cairo_t* c) {
        cairo.identity_matrix(c);
        cairo.set_source_surface(c, block.surface.get(), block.left, block.top);
        cairo.rectangle(c, block.left, block.top, w, h);
        cairo.fill(c);
    });
}

void copyTransformed(Painter& painter, const DIBSource& dib, const cairo_matrix_t& m, const BlitArea& a) {
    const PixelBounds area = painter.pathPixels(painter.rectangleOutline(a.xd, a.yd, a.wd, a.hd), 1);
    if (area.empty()) return;
    const TransformedSource source = surfaceOf(dib, a);
    if (!source.surface) return;
    const CairoLibrary& cairo = Cairo();
    painter.onTarget(area, [&](cairo_t* c) {
        cairo.save(c);
        cairo.set_matrix(c, &m);
        sourceThroughTransform(c, source);
        cairo.rectangle(c, source.area.xs, source.area.ys, source.area.ws, source.area.hs);
        cairo.fill(c);
        cairo.restore(c);
    });
}

// The source as it lands on the target's pixels [bounds].
void paintSource(const DIBSource* source, const Block& block, const cairo_matrix_t& m, const BlitArea& a,
                 const PixelBounds& bounds, cairo_surface_t* into) {
    const CairoLibrary& cairo = Cairo();
    Context s(cairo.create(into));
    if (block.surface) {
        cairo.set_source_surface(s.get(), block.surface.get(), block.left - bounds.left, block.top - bounds.top);
    } else {
        cairo.set_antialias(s.get(), CAIRO_ANTIALIAS_NONE);
        cairo.translate(s.get(), -bounds.left, -bounds.top);
        cairo.transform(s.get(), &m);
        const TransformedSource transformed = surfaceOf(*source, a);
        if (!transformed.surface) return;
        sourceThroughTransform(s.get(), transformed);
    }
    cairo.paint(s.get());
}

// The coverage of the destination area within the clip, over the target's pixels [bounds].
void paintCoverage(const Painter& painter, const Path& area, const PixelBounds& bounds, cairo_surface_t* into) {
    const CairoLibrary& cairo = Cairo();
    Context k(cairo.create(into));
    cairo.set_antialias(k.get(), CAIRO_ANTIALIAS_NONE);
    cairo.translate(k.get(), -bounds.left, -bounds.top);
    painter.appendClip(k.get());
    cairo.new_path(k.get());
    cairo.append_path(k.get(), area.get());
    cairo.fill(k.get());
}

// Any operation, pixel by pixel over the covered area.
void combinePixels(Painter& painter, const DIBSource* source, const Block& block, const cairo_matrix_t& m,
                   const BlitArea& a, uint32_t code, bool usesSource) {
    const CairoLibrary& cairo = Cairo();
    Path area = painter.rectangleOutline(a.xd, a.yd, a.wd, a.hd);
    if (!area) return;
    cairo_t* c = painter.context();
    cairo.identity_matrix(c);
    cairo.new_path(c);
    cairo.append_path(c, area.get());
    double x0, y0, x1, y1;
    cairo.fill_extents(c, &x0, &y0, &x1, &y1);
    cairo.new_path(c);
    const PixelBounds bounds = TargetPixels(painter.target(), x0, y0, x1, y1);
    if (bounds.empty()) return;
    // The source, the coverage, and the operation on every pixel.
    painter.budget().area(int64_t{bounds.width()} * bounds.height(), 3);
    // The source, transformed, and the coverage (clip included) at the area's size.
    Surface src = MakeSurface(CAIRO_FORMAT_RGB24, bounds.width(), bounds.height());
    Surface mask = MakeSurface(CAIRO_FORMAT_A8, bounds.width(), bounds.height());
    if (!src || !mask) return;
    if (usesSource) paintSource(source, block, m, a, bounds, src.get());
    paintCoverage(painter, area, bounds, mask.get());
    painter.clipCoverage(mask.get(), bounds);
    cairo.surface_flush(src.get());
    cairo.surface_flush(mask.get());
    cairo.surface_flush(painter.surface());
    const Brush& brush = painter.dc().brush;
    const uint32_t pattern = brush.style == BS_NULL ? 0 : brush.color;
    const uint8_t* sd = cairo.image_surface_get_data(src.get());
    const int ss = cairo.image_surface_get_stride(src.get());
    const uint8_t* md = cairo.image_surface_get_data(mask.get());
    const int ms = cairo.image_surface_get_stride(mask.get());
    for (int32_t y = bounds.top; y < bounds.bottom; ++y) {
        uint32_t* row = painter.pixelRow(y);
        const auto* srow = reinterpret_cast<const uint32_t*>(sd + static_cast<size_t>(y - bounds.top) * ss);
        const uint8_t* mrow = md + static_cast<size_t>(y - bounds.top) * ms;
        for (int32_t x = bounds.left; x < bounds.right; ++x)
            if (mrow[x - bounds.left]) row[x] = rop3(code, pattern, srow[x - bounds.left] & 0xFFFFFF, row[x]);
    }
    cairo.surface_mark_dirty(painter.surface());
}

}  // namespace

void Blit(Painter& painter, const DIBSource* source, const BlitArea& a, uint32_t rop) {
    const uint32_t code = rop >> 16 & 0xFF;
    if (code == RopTargetStays) return;
    const cairo_matrix_t m = painter.fullMatrix();
    if (!Painter::usable(m) || a.wd == 0 || a.hd == 0) return;
    const bool usesSource = ((code >> 2) & 0x33) != (code & 0x33);
    const bool usesTarget = ((code >> 1) & 0x55) != (code & 0x55);
    if (usesSource && (!source || !source->valid() || a.ws == 0 || a.hs == 0)) return;
    Block block;
    if (usesSource) block = stretchedSource(painter, *source, m, a);
    if (code == RopSourceCopy && block.surface) {
        copyBlock(painter, block);
    } else if (code == RopSourceCopy && source) {
        copyTransformed(painter, *source, m, a);
    } else if (!usesTarget && !usesSource && painter.dc().brush.style != BS_SOLID && code == RopPatternCopy) {
        // A pattern copy with a hatched or bitmap brush is a plain fill.
        painter.fillPath(painter.rectangleOutline(a.xd, a.yd, a.wd, a.hd), painter.dc().brush);
    } else {
        combinePixels(painter, source, block, m, a, code, usesSource);
    }
}

}  // namespace host
