#include "metafile/player/TextPainter.h"

#include <algorithm>
#include <cmath>
#include <string>

#include "metafile/player/MetafileText.h"

namespace host {

namespace {

constexpr uint32_t TA_HORIZONTAL_MASK = 6, TA_VERTICAL_MASK = 24;
constexpr int BoldWeight = 600;
constexpr double DefaultFontHeight = 12;
constexpr double MinFontPixels = 0.5, MaxFontPixels = 10000;
// Glyphs up to this size are drawn through the renderer's glyph cache, which rasterises
// and keeps each glyph whole; larger ones are filled as outlines, so that only their
// visible pixels are rasterised and nothing of them is kept.
constexpr double CachedGlyphPixels = 256;

// The background of ETO_OPAQUE, whatever the raster operation.
void fillOpaqueRectangle(Painter& painter, const double* rect) {
    DeviceContext& dc = painter.dc();
    const Brush background{BS_SOLID, dc.bkColor, 0, nullptr};
    const int savedRop = dc.rop2;
    dc.rop2 = R2_COPYPEN;
    painter.fillPath(painter.rectangleOutline(rect[0], rect[1], rect[2] - rect[0], rect[3] - rect[1]), background);
    dc.rop2 = savedRop;
}

void clipToRectangle(Painter& painter, const double* rect) {
    Path clip = painter.rectangleOutline(rect[0], rect[1], rect[2] - rect[0], rect[3] - rect[1]);
    if (!clip) return;
    const CairoLibrary& cairo = Cairo();
    cairo_t* c = painter.context();
    cairo.identity_matrix(c);
    cairo.new_path(c);
    cairo.append_path(c, clip.get());
    cairo.clip(c);
}

// Selects the font at the size its height asks for; false when that size is unusable.
bool selectFont(cairo_t* c, const Font& font, double yScale, double& size) {
    const CairoLibrary& cairo = Cairo();
    size = std::fabs(font.height) * yScale;
    cairo.select_font_face(c, FontFamily(font.face), font.italic ? CAIRO_FONT_SLANT_ITALIC : CAIRO_FONT_SLANT_NORMAL,
                           font.weight >= BoldWeight ? CAIRO_FONT_WEIGHT_BOLD : CAIRO_FONT_WEIGHT_NORMAL);
    if (size <= 0) size = DefaultFontHeight * yScale;
    cairo.set_font_size(c, 1);
    cairo_font_extents_t unit;
    cairo.font_extents(c, &unit);
    // A positive height is the cell height, a negative one the character height.
    if (font.height > 0 && unit.ascent + unit.descent > 0) size /= (unit.ascent + unit.descent);
    if (size < MinFontPixels || size > MaxFontPixels || !std::isfinite(size)) return false;
    cairo.set_font_size(c, size);
    return true;
}

std::vector<std::string> utf8Glyphs(const std::vector<uint32_t>& chars) {
    std::vector<std::string> glyphs;
    glyphs.reserve(chars.size());
    for (uint32_t ch : chars) {
        std::string one;
        AppendUtf8(one, ch);
        glyphs.push_back(std::move(one));
    }
    return glyphs;
}

// Advances along the baseline in device units: the record's, else the font's.
std::vector<double> advances(cairo_t* c, const std::vector<std::string>& glyphs, const std::vector<double>& dx,
                             double xScale, double& total) {
    std::vector<double> advance(glyphs.size());
    total = 0;
    for (size_t i = 0; i < glyphs.size(); ++i) {
        if (i < dx.size()) {
            advance[i] = dx[i] * xScale;
        } else {
            cairo_text_extents_t te;
            Cairo().text_extents(c, glyphs[i].c_str(), &te);
            advance[i] = te.x_advance;
        }
        total += advance[i];
    }
    return advance;
}

// The current position moves along the text (in logical units).
void moveCurrentPosition(DeviceContext& dc, const cairo_matrix_t& m, double devX, double devY, double angle,
                         double length) {
    cairo_matrix_t inverse = m;
    const CairoLibrary& cairo = Cairo();
    if (cairo.matrix_invert(&inverse) != CAIRO_STATUS_SUCCESS) return;
    double ex = devX + std::cos(angle) * length;
    double ey = devY + std::sin(angle) * length;
    cairo.matrix_transform_point(&inverse, &ex, &ey);
    dc.curX = ex, dc.curY = ey;
}

// The target pixels a run's box (left, top, width, height about the reference point at
// devX, devY, turned by angle) may touch, with margin pixels for glyphs that reach past it.
struct TextBox {
    double left, top, width, height;
};
PixelBounds textPixels(const PlayTarget& target, double devX, double devY, double angle, const TextBox& box,
                       double margin) {
    const double c = std::cos(angle), s = std::sin(angle);
    double x0 = devX, y0 = devY, x1 = devX, y1 = devY;
    for (double x : {box.left - margin, box.left + box.width + margin})
        for (double y : {box.top - margin, box.top + box.height + margin}) {
            const double tx = devX + x * c - y * s, ty = devY + x * s + y * c;
            x0 = std::min(x0, tx), y0 = std::min(y0, ty), x1 = std::max(x1, tx), y1 = std::max(y1, ty);
        }
    return TargetPixels(target, x0, y0, x1, y1);
}

}  // namespace

void DrawText(Painter& painter, const TextRun& run) {
    const cairo_matrix_t m = painter.fullMatrix();
    if (!Painter::usable(m)) return;
    const CairoLibrary& cairo = Cairo();
    cairo_t* c = painter.context();
    DeviceContext& dc = painter.dc();
    if (run.rect && (run.options & ETO_OPAQUE)) fillOpaqueRectangle(painter, run.rect);
    if (run.chars.empty() || (run.options & ETO_GLYPH_INDEX)) return;
    const bool updateCP = (dc.textAlign & TA_UPDATECP) != 0;
    double devX = updateCP ? dc.curX : run.x, devY = updateCP ? dc.curY : run.y;
    cairo.matrix_transform_point(&m, &devX, &devY);
    const Font& font = dc.font;
    cairo.save(c);
    if (run.rect && (run.options & ETO_CLIPPED)) clipToRectangle(painter, run.rect);
    cairo.identity_matrix(c);
    double size;
    if (!selectFont(c, font, Painter::lengthScale(m, true), size)) {
        cairo.restore(c);
        return;
    }
    cairo_font_extents_t fe;
    cairo.font_extents(c, &fe);
    // The escapement turns counter-clockwise on the device; a world transform that
    // rotates turns the baseline with it (a mirrored axis leaves the text readable).
    double angle = -font.escapement / 10.0 * M_PI / 180.0;
    if (std::fabs(m.yx) > 1e-9) angle += std::atan2(m.yx, m.xx);
    painter.budget().glyphs(static_cast<int64_t>(run.chars.size()));
    const std::vector<std::string> glyphs = utf8Glyphs(run.chars);
    double total;
    const std::vector<double> advance = advances(c, glyphs, run.dx, Painter::lengthScale(m, false), total);
    double ox = 0, oy = 0;
    const uint32_t h = dc.textAlign & TA_HORIZONTAL_MASK, v = dc.textAlign & TA_VERTICAL_MASK;
    if (h == TA_CENTER) ox = -total / 2;
    else if (h == TA_RIGHT) ox = -total;
    if (v == TA_BASELINE) oy = 0;
    else if (v == TA_BOTTOM) oy = -fe.descent;
    else oy = fe.ascent;
    const double height = fe.ascent + fe.descent;
    const PixelBounds area = textPixels(painter.target(), devX, devY, angle, {ox, oy - fe.ascent, total, height}, size);
    // Text wholly outside the picture costs nothing more; the rest is charged before it is
    // drawn: every glyph, at its rasterised size (the part of the picture it may reach
    // when it is filled as an outline).
    const bool outlines = size > CachedGlyphPixels;
    if (!area.empty()) {
        const int64_t visible = int64_t{area.width()} * area.height();
        const int64_t each = ClampedCost((size + 2) * (size + 2), outlines ? visible : INT32_MAX);
        painter.budget().area(std::max<int64_t>(1, each), static_cast<int64_t>(glyphs.size()));
    }
    painter.onTarget(area, [&](cairo_t* c) {
        cairo.translate(c, devX, devY);
        cairo.rotate(c, angle);
        if (dc.bkMode == OPAQUE) {
            SetSourceColor(c, dc.bkColor);
            cairo.rectangle(c, ox, oy - fe.ascent, total, height);
            cairo.fill(c);
        }
        SetSourceColor(c, dc.textColor);
        double pen = ox;
        for (size_t i = 0; i < glyphs.size(); ++i) {
            cairo.move_to(c, pen, oy);
            if (outlines) {
                cairo.text_path(c, glyphs[i].c_str());
                cairo.fill(c);
            } else {
                cairo.show_text(c, glyphs[i].c_str());
            }
            pen += advance[i];
        }
        const double thickness = std::max(1.0, std::round(size / 14));
        if (font.underline) cairo.rectangle(c, ox, oy + std::max(1.0, fe.descent / 3), total, thickness);
        if (font.strikeOut) cairo.rectangle(c, ox, oy - fe.ascent / 3, total, thickness);
        cairo.fill(c);
    });
    cairo.restore(c);
    if (updateCP) moveCurrentPosition(dc, m, devX, devY, angle, h == TA_RIGHT ? 0 : total);
}

}  // namespace host
