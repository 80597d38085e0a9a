#include "metafile/player/Painter.h"

#include <algorithm>
#include <cmath>

#include "metafile/player/PathGeometry.h"

namespace host {

namespace {

// Curves are flattened to a quarter of a pixel.
constexpr double Tolerance = 0.25;
// Pattern brushes larger than this many pixels are drawn as grey.
constexpr int64_t MaxPatternPixels = int64_t{1} << 20;
constexpr double MaxPenWidth = 1e5;
constexpr double MinMiterLimit = 1, MaxMiterLimit = 100;
constexpr int HatchSize = 8;
enum HatchStyle { HS_HORIZONTAL = 0, HS_VERTICAL, HS_FDIAGONAL, HS_BDIAGONAL, HS_CROSS, HS_DIAGCROSS };
// Far enough beyond the target to stand for the whole plane.
constexpr double Outside = 1e6;
// The renderer intersects clip outlines edge by edge for every drawing: beyond this many
// points the clip is drawn once into a mask instead.
constexpr int64_t MaxRendererClipPoints = 64;
// Strokes of more lines are cut into pieces of so many lines: the renderer's time on one
// outline grows with the square of its edges.
constexpr size_t StrokeSegmentsPerPiece = 256;
// Pixels around a filled outline's points that its pixels may reach.
constexpr double FillMargin = 1;
// The renderer steps the edges of a stroke's outline down every row they cross: a pixel
// of a stroke's length costs about as much as this many pixels of area besides its pen.
constexpr double StrokeLengthCost = 16;

cairo_fill_rule_t fillRule(bool evenOdd) { return evenOdd ? CAIRO_FILL_RULE_EVEN_ODD : CAIRO_FILL_RULE_WINDING; }

// The result of a binary raster operation (R2_BLACK 1 .. R2_WHITE 16) of pen and target.
uint32_t rop2(int table, uint32_t p, uint32_t d) {
    uint32_t r = 0;
    if (table & 8) r |= p & d;
    if (table & 4) r |= p & ~d;
    if (table & 2) r |= ~p & d;
    if (table & 1) r |= ~p & ~d;
    return r & 0xFFFFFF;
}

}  // namespace

PixelBounds TargetPixels(const PlayTarget& target, double x0, double y0, double x1, double y1) {
    PixelBounds b;
    b.left = ClampedPixel(std::floor(x0), 0, target.Width);
    b.top = ClampedPixel(std::floor(y0), 0, target.Height);
    b.right = ClampedPixel(std::ceil(x1), 0, target.Width);
    b.bottom = ClampedPixel(std::ceil(y1), 0, target.Height);
    return b;
}

PixelBounds Intersection(const PixelBounds& a, const PixelBounds& b) {
    return {std::max(a.left, b.left), std::max(a.top, b.top), std::min(a.right, b.right), std::min(a.bottom, b.bottom)};
}

Painter::Painter(const PlayTarget& target, bool enhanced, PlayBudget& budget)
    : cairo_(Cairo()), target_(target), budget_(budget), enhanced_(enhanced) {
    surface_ = Surface(cairo_.image_surface_create_for_data(reinterpret_cast<unsigned char*>(target.Pixels),
                                                             CAIRO_FORMAT_RGB24, target.Width, target.Height,
                                                             target.StrideBytes),
                       CairoDeleter());
    cr_.reset(cairo_.create(surface_.get()));
    scratchSurface_ = MakeSurface(CAIRO_FORMAT_A8, 1, 1);
    scratch_.reset(cairo_.create(scratchSurface_ ? scratchSurface_.get() : surface_.get()));
    pathBuilder_.reset(cairo_.create(scratchSurface_ ? scratchSurface_.get() : surface_.get()));
    options_.reset(cairo_.font_options_create());
    cairo_.font_options_set_antialias(options_.get(), CAIRO_ANTIALIAS_NONE);
    cairo_.font_options_set_hint_metrics(options_.get(), CAIRO_HINT_METRICS_OFF);
    for (cairo_t* c : {cr_.get(), scratch_.get(), pathBuilder_.get()}) {
        cairo_.set_antialias(c, CAIRO_ANTIALIAS_NONE);
        cairo_.set_tolerance(c, Tolerance);
    }
    cairo_.set_font_options(cr_.get(), options_.get());
}

bool Painter::ready() const { return cairo_.status(cr_.get()) == CAIRO_STATUS_SUCCESS && scratchSurface_ != nullptr; }

uint32_t* Painter::pixelRow(int32_t y) {
    return reinterpret_cast<uint32_t*>(reinterpret_cast<uint8_t*>(target_.Pixels) +
                                       static_cast<size_t>(y) * target_.StrideBytes);
}

// ---------------------------------------------------------------- transforms

cairo_matrix_t Painter::fullMatrix() const {
    double sx = 1, sy = 1;
    const DeviceContext& d = dc_;
    if (!enhanced_ || d.mapMode == MM_ANISOTROPIC || d.mapMode == MM_ISOTROPIC) {
        sx = d.winExtX != 0 ? d.vpExtX / d.winExtX : 1;
        sy = d.winExtY != 0 ? d.vpExtY / d.winExtY : 1;
        if (enhanced_ && d.mapMode == MM_ISOTROPIC) {
            const double s = std::min(std::fabs(sx), std::fabs(sy));
            sx = std::copysign(s, sx);
            sy = std::copysign(s, sy);
        }
    } else if (d.mapMode >= MM_LOMETRIC && d.mapMode <= MM_TWIPS) {
        // Units per millimetre of the fixed modes; y grows upwards in them.
        static const double unitsPerMM[] = {10, 100, 100 / 25.4, 1000 / 25.4, 1440 / 25.4};
        const double u = unitsPerMM[d.mapMode - MM_LOMETRIC];
        sx = pxPerMMX_ / u;
        sy = -pxPerMMY_ / u;
    }
    cairo_matrix_t page{sx, 0, 0, sy, d.vpOrgX - d.winOrgX * sx, d.vpOrgY - d.winOrgY * sy};
    cairo_matrix_t m;
    cairo_.matrix_multiply(&m, &d.world, &page);
    cairo_matrix_t full;
    cairo_.matrix_multiply(&full, &m, &playback_);
    return full;
}

bool Painter::usable(const cairo_matrix_t& m) {
    const double det = m.xx * m.yy - m.xy * m.yx;
    return std::isfinite(det) && std::fabs(det) > 1e-12 && std::isfinite(m.x0) && std::isfinite(m.y0) &&
           std::fabs(m.xx) < 1e7 && std::fabs(m.yy) < 1e7 && std::fabs(m.xy) < 1e7 && std::fabs(m.yx) < 1e7;
}

double Painter::lengthScale(const cairo_matrix_t& m, bool vertical) {
    return vertical ? std::hypot(m.xy, m.yy) : std::hypot(m.xx, m.yx);
}

Path Painter::rectangleOutline(double x, double y, double width, double height) {
    return outline([&](cairo_t* c) { cairo_.rectangle(c, x, y, width, height); });
}

// ---------------------------------------------------------------- path brackets

void Painter::beginPath() {
    inPath_ = true;
    cairo_.new_path(pathBuilder_.get());
}

void Painter::endPath() {
    if (!inPath_) return;
    inPath_ = false;
    path_ = CopyPath(pathBuilder_.get());
}

void Painter::closeFigure() {
    if (inPath_) cairo_.close_path(pathBuilder_.get());
}

void Painter::abortPath() {
    inPath_ = false;
    path_.reset();
}

Path Painter::takePath() { return std::move(path_); }

// ---------------------------------------------------------------- painting

void Painter::appendClip(cairo_t* c) const {
    if (clipMask_) return;
    for (const ClipItem& item : dc_.clip) {
        if (!item.path) continue;
        cairo_.new_path(c);
        cairo_.append_path(c, item.path.get());
        cairo_.set_fill_rule(c, fillRule(item.evenOdd));
        cairo_.clip(c);
    }
}

void Painter::clipCoverage(cairo_surface_t* coverage, const PixelBounds& at) const {
    if (!clipMask_) return;
    Context k(cairo_.create(coverage));
    cairo_.set_operator(k.get(), CAIRO_OPERATOR_IN);
    cairo_.set_source_surface(k.get(), clipMask_.get(), clipBounds_.left - at.left, clipBounds_.top - at.top);
    cairo_.paint(k.get());
}

void Painter::clipChanged() {
    cairo_t* c = cr_.get();
    cairo_.reset_clip(c);
    cairo_.identity_matrix(c);
    clipMask_.reset();
    if (clipFitsRenderer()) appendClip(c);
    else drawClipMask();
    cairo_.new_path(c);
}

bool Painter::clipFitsRenderer() const {
    int64_t points = 0;
    for (const ClipItem& item : dc_.clip)
        if (item.path) points += PathPoints(item.path.get());
    return points <= MaxRendererClipPoints;
}

// The intersection of the clip's outlines as coverage, over the part of the target that
// every outline's box reaches.
void Painter::drawClipMask() {
    PixelBounds bounds{0, 0, target_.Width, target_.Height};
    for (const ClipItem& item : dc_.clip)
        if (item.path) bounds = Intersection(bounds, pathPixels(item.path, FillMargin));
    clipBounds_ = bounds.empty() ? PixelBounds{} : bounds;
    clipMask_ = MakeSurface(CAIRO_FORMAT_A8, std::max(1, clipBounds_.width()), std::max(1, clipBounds_.height()));
    if (!clipMask_ || bounds.empty()) return;
    budget_.area(int64_t{bounds.width()} * bounds.height(), static_cast<int64_t>(dc_.clip.size()));
    Context m(cairo_.create(clipMask_.get()));
    cairo_.set_antialias(m.get(), CAIRO_ANTIALIAS_NONE);
    cairo_.set_tolerance(m.get(), Tolerance);
    cairo_.translate(m.get(), -bounds.left, -bounds.top);
    cairo_.paint(m.get());
    cairo_.set_operator(m.get(), CAIRO_OPERATOR_IN);
    for (const ClipItem& item : dc_.clip) {
        if (!item.path) continue;
        budget_.path(PathPoints(item.path.get()));
        cairo_.new_path(m.get());
        cairo_.append_path(m.get(), item.path.get());
        cairo_.set_fill_rule(m.get(), fillRule(item.evenOdd));
        cairo_.fill(m.get());
    }
}

void Painter::beginMaskedDrawing(const PixelBounds& area) {
    cairo_t* c = cr_.get();
    cairo_.save(c);
    cairo_.identity_matrix(c);
    cairo_.new_path(c);
    cairo_.rectangle(c, area.left, area.top, area.width(), area.height());
    cairo_.clip(c);
    cairo_.new_path(c);
    cairo_.push_group(c);
}

void Painter::endMaskedDrawing() {
    cairo_t* c = cr_.get();
    cairo_.pop_group_to_source(c);
    cairo_.identity_matrix(c);
    cairo_.mask_surface(c, clipMask_.get(), clipBounds_.left, clipBounds_.top);
    cairo_.restore(c);
}

PixelBounds Painter::pathPixels(const Path& path, double margin) const {
    PathBox box;
    if (!path || !PathExtents(path.get(), box)) return {};
    return TargetPixels(target_, box.x0 - margin, box.y0 - margin, box.x1 + margin, box.y1 + margin);
}

bool Painter::setHatchSource(const Brush& brush) {
    Surface tile = MakeSurface(CAIRO_FORMAT_ARGB32, HatchSize, HatchSize);
    if (!tile) return false;
    Context t(cairo_.create(tile.get()));
    if (dc_.bkMode == OPAQUE) {
        SetSourceColor(t.get(), dc_.bkColor);
        cairo_.paint(t.get());
    }
    SetSourceColor(t.get(), brush.color);
    constexpr int last = HatchSize - 1;
    for (int i = 0; i < HatchSize; ++i) {
        auto dot = [&](int x, int y) { cairo_.rectangle(t.get(), x, y, 1, 1); };
        switch (brush.hatch) {
            case HS_HORIZONTAL: dot(i, last); break;
            case HS_VERTICAL: dot(last, i); break;
            case HS_FDIAGONAL: dot(i, i); break;
            case HS_BDIAGONAL: dot(i, last - i); break;
            case HS_CROSS: dot(i, last), dot(last, i); break;
            default: dot(i, i), dot(i, last - i); break;  // diagonal cross
        }
    }
    cairo_.fill(t.get());
    t.reset();
    setPatternSource(tile);
    return true;
}

bool Painter::setBrushSource(const Brush& brush) {
    switch (brush.style) {
        case BS_SOLID:
            SetSourceColor(cr_.get(), brush.color);
            return true;
        case BS_HATCHED:
            return setHatchSource(brush);
        case BS_PATTERN:
        case BS_DIBPATTERN:
        case BS_DIBPATTERNPT:
            if (!brush.pattern) {
                SetSourceColor(cr_.get(), brush.color);
                return true;
            }
            setPatternSource(brush.pattern);
            return true;
        default:
            return false;
    }
}

void Painter::setPatternSource(const Surface& tile) {
    Pattern pattern(cairo_.pattern_create_for_surface(tile.get()));
    cairo_.pattern_set_extend(pattern.get(), CAIRO_EXTEND_REPEAT);
    cairo_.pattern_set_filter(pattern.get(), CAIRO_FILTER_NEAREST);
    // Patterns stay anchored at the whole picture's origin when it is played in bands.
    cairo_matrix_t anchor;
    cairo_.matrix_init_translate(&anchor, target_.OriginX, target_.OriginY);
    cairo_.pattern_set_matrix(pattern.get(), &anchor);
    cairo_.set_source(cr_.get(), pattern.get());
}

// Pixel-exact raster operations of two operands (pen or brush with the target),
// for the modes cairo has no operator for: the shape is drawn into a coverage mask
// and every covered pixel gets the operation's result.
void Painter::paintRop2(const Path& path, bool stroke, uint32_t color) {
    const PixelBounds area = pathPixels(path, stroke ? strokeMargin() : FillMargin);
    if (area.empty()) return;
    // The mask, then the operation on every pixel it covers.
    budget_.area(int64_t{area.width()} * area.height(), 2);
    Surface mask = MakeSurface(CAIRO_FORMAT_A8, area.width(), area.height());
    if (!mask) return;
    {
        Context m(cairo_.create(mask.get()));
        cairo_.set_antialias(m.get(), CAIRO_ANTIALIAS_NONE);
        cairo_.translate(m.get(), -area.left, -area.top);
        appendClip(m.get());
        if (stroke) {
            cairo_.translate(m.get(), 0.5, 0.5);
            forEachStrokePiece(path, [&](const Path& piece, double dashOffset) {
                cairo_.new_path(m.get());
                cairo_.append_path(m.get(), piece.get());
                strokeStyle(m.get(), dashOffset);
                cairo_.stroke(m.get());
            });
        } else {
            budget_.path(PathPoints(path.get()));
            cairo_.new_path(m.get());
            cairo_.append_path(m.get(), path.get());
            cairo_.set_fill_rule(m.get(), fillRule(dc_.polyFill != WINDING));
            cairo_.fill(m.get());
        }
    }
    clipCoverage(mask.get(), area);
    cairo_.surface_flush(mask.get());
    cairo_.surface_flush(surface_.get());
    const uint8_t* md = cairo_.image_surface_get_data(mask.get());
    const int ms = cairo_.image_surface_get_stride(mask.get());
    const int table = (dc_.rop2 - 1) & 15;
    for (int32_t y = area.top; y < area.bottom; ++y) {
        uint32_t* row = pixelRow(y);
        const uint8_t* mrow = md + static_cast<size_t>(y - area.top) * ms;
        for (int32_t x = area.left; x < area.right; ++x)
            if (mrow[x - area.left]) row[x] = rop2(table, color, row[x]);
    }
    cairo_.surface_mark_dirty(surface_.get());
}

double Painter::penPixels() const {
    const Pen& pen = dc_.pen;
    if (pen.cosmetic || pen.width <= 0) return 1;
    return std::min(std::max(1.0, std::round(pen.width * lengthScale(fullMatrix(), false))), MaxPenWidth);
}

// Half the pen and as far again as a mitre may reach past a corner, and a pixel more.
double Painter::strokeMargin() const {
    return penPixels() / 2 * std::max(std::clamp(dc_.miterLimit, MinMiterLimit, MaxMiterLimit), 2.0) + 1;
}

template <class Stroke>
void Painter::forEachStrokePiece(const Path& path, Stroke&& stroke) {
    const std::vector<StrokePiece> pieces = StrokePieces(scratch_.get(), path.get(), StrokeSegmentsPerPiece);
    if (pieces.empty()) {
        budget_.path(PathPoints(path.get()));
        stroke(path, 0.0);
    }
    for (const StrokePiece& piece : pieces) {
        budget_.path(PathPoints(piece.path.get()));
        stroke(piece.path, piece.dashOffset);
    }
}

void Painter::strokeStyle(cairo_t* c, double dashOffset) {
    const Pen& pen = dc_.pen;
    const double width = penPixels();
    cairo_.set_line_width(c, width);
    static const cairo_line_cap_t caps[] = {CAIRO_LINE_CAP_ROUND, CAIRO_LINE_CAP_SQUARE, CAIRO_LINE_CAP_BUTT};
    static const cairo_line_join_t joins[] = {CAIRO_LINE_JOIN_ROUND, CAIRO_LINE_JOIN_BEVEL, CAIRO_LINE_JOIN_MITER};
    cairo_.set_line_cap(c, caps[std::clamp(pen.endCap, 0, 2)]);
    cairo_.set_line_join(c, joins[std::clamp(pen.join, 0, 2)]);
    cairo_.set_miter_limit(c, std::clamp(dc_.miterLimit, MinMiterLimit, MaxMiterLimit));
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
    // Only one-pixel lines are dashed; wider ones are drawn solid.
    if (pattern && width <= 1) {
        cairo_.set_dash(c, pattern, count, dashOffset);
    } else {
        cairo_.set_dash(c, nullptr, 0, 0);
    }
}

bool Painter::penVisible() const { return dc_.pen.style != PS_NULL && dc_.rop2 != R2_NOP; }

void Painter::fillPath(const Path& path, const Brush& brush) {
    if (!path || brush.style == BS_NULL || dc_.rop2 == R2_NOP) return;
    if (dc_.rop2 != R2_COPYPEN && brush.style == BS_SOLID) {
        paintRop2(path, false, brush.color);
        return;
    }
    budget_.path(PathPoints(path.get()));
    onTarget(pathPixels(path, FillMargin), [&](cairo_t* c) {
        cairo_.identity_matrix(c);
        if (!setBrushSource(brush)) return;
        cairo_.new_path(c);
        cairo_.append_path(c, path.get());
        cairo_.set_fill_rule(c, fillRule(dc_.polyFill != WINDING));
        cairo_.fill(c);
    });
}

void Painter::strokePath(const Path& path) {
    if (!path || !penVisible()) return;
    if (dc_.rop2 != R2_COPYPEN) {
        paintRop2(path, true, dc_.pen.color);
        return;
    }
    forEachStrokePiece(path, [&](const Path& piece, double dashOffset) {
        // A stroke costs about its length times the pen, however large its box.
        const double margin = strokeMargin();
        const double length = PathLengthWithin(piece.get(), -margin, target_.Height + margin);
        const double ink = (length + PathPoints(piece.get())) * (penPixels() + StrokeLengthCost);
        onTarget(pathPixels(piece, margin), [&](cairo_t* c) {
            cairo_.identity_matrix(c);
            // Lines of odd widths are centred on pixel centres, as the platform draws them.
            cairo_.translate(c, 0.5, 0.5);
            cairo_.new_path(c);
            cairo_.append_path(c, piece.get());
            strokeStyle(c, dashOffset);
            SetSourceColor(c, dc_.pen.color);
            cairo_.stroke(c);
            cairo_.identity_matrix(c);
        }, ClampedCost(ink, int64_t{1} << 50));
    });
}

void Painter::fillAndStroke(const Path& path) {
    fillPath(path, dc_.brush);
    strokePath(path);
}

void Painter::setPixel(double x, double y, uint32_t rgb) {
    const Brush brush{BS_SOLID, rgb, 0, nullptr};
    const cairo_matrix_t m = fullMatrix();
    double dx = x, dy = y;
    cairo_.matrix_transform_point(&m, &dx, &dy);
    if (!std::isfinite(dx) || !std::isfinite(dy)) return;
    cairo_t* b = scratch_.get();
    cairo_.new_path(b);
    cairo_.identity_matrix(b);
    cairo_.rectangle(b, std::floor(dx), std::floor(dy), 1, 1);
    fillPath(CopyPath(b), brush);
}

void Painter::gradientRectangle(double x0, double y0, double x1, double y1, uint32_t from, uint32_t to,
                                bool vertical) {
    Path area = rectangleOutline(x0, y0, x1 - x0, y1 - y0);
    if (!area) return;
    const cairo_matrix_t m = fullMatrix();
    double dx0 = x0, dy0 = y0, dx1 = x1, dy1 = y1;
    cairo_.matrix_transform_point(&m, &dx0, &dy0);
    cairo_.matrix_transform_point(&m, &dx1, &dy1);
    Pattern gradient(vertical ? cairo_.pattern_create_linear(0, dy0, 0, dy1) : cairo_.pattern_create_linear(dx0, 0, dx1, 0));
    auto stop = [&](double offset, uint32_t rgb) {
        cairo_.pattern_add_color_stop_rgb(gradient.get(), offset, (rgb >> 16 & 0xFF) / 255.0, (rgb >> 8 & 0xFF) / 255.0,
                                          (rgb & 0xFF) / 255.0);
    };
    stop(0, from);
    stop(1, to);
    onTarget(pathPixels(area, FillMargin), [&](cairo_t* c) {
        cairo_.identity_matrix(c);
        cairo_.set_source(c, gradient.get());
        cairo_.new_path(c);
        cairo_.append_path(c, area.get());
        cairo_.fill(c);
    });
}

// ---------------------------------------------------------------- shapes

void Painter::rectangle(double l, double t, double r, double b) {
    fillAndStroke(shape([&](cairo_t* c) {
        cairo_.move_to(c, l, t);
        cairo_.line_to(c, r, t);
        cairo_.line_to(c, r, b);
        cairo_.line_to(c, l, b);
        cairo_.close_path(c);
    }));
}

void Painter::ellipse(double l, double t, double r, double b) {
    fillAndStroke(shape([&](cairo_t* c) {
        const double rx = (r - l) / 2, ry = (b - t) / 2;
        if (rx == 0 || ry == 0) return;
        cairo_.save(c);
        cairo_.translate(c, (l + r) / 2, (t + b) / 2);
        cairo_.scale(c, rx, ry);
        cairo_.new_sub_path(c);
        cairo_.arc(c, 0, 0, 1, 0, 2 * M_PI);
        cairo_.close_path(c);
        cairo_.restore(c);
    }));
}

void Painter::roundRect(double l, double t, double r, double b, double w, double h) {
    fillAndStroke(shape([&](cairo_t* c) {
        const double rx = std::min(std::fabs(w) / 2, std::fabs(r - l) / 2);
        const double ry = std::min(std::fabs(h) / 2, std::fabs(b - t) / 2);
        const double x0 = std::min(l, r), x1 = std::max(l, r), y0 = std::min(t, b), y1 = std::max(t, b);
        if (rx <= 0 || ry <= 0) {
            cairo_.rectangle(c, x0, y0, x1 - x0, y1 - y0);
            return;
        }
        auto corner = [&](double cx, double cy, double a0) {
            cairo_.save(c);
            cairo_.translate(c, cx, cy);
            cairo_.scale(c, rx, ry);
            cairo_.arc(c, 0, 0, 1, a0, a0 + M_PI / 2);
            cairo_.restore(c);
        };
        cairo_.new_sub_path(c);
        corner(x1 - rx, y0 + ry, -M_PI / 2);
        corner(x1 - rx, y1 - ry, 0);
        corner(x0 + rx, y1 - ry, M_PI / 2);
        corner(x0 + rx, y0 + ry, M_PI);
        cairo_.close_path(c);
    }));
}

void Painter::arc(ArcKind kind, double l, double t, double r, double b, double xs, double ys, double xe, double ye) {
    const double cx = (l + r) / 2, cy = (t + b) / 2, rx = std::fabs(r - l) / 2, ry = std::fabs(b - t) / 2;
    if (rx == 0 || ry == 0) return;
    const double a0 = std::atan2((ys - cy) / ry, (xs - cx) / rx);
    double a1 = std::atan2((ye - cy) / ry, (xe - cx) / rx);
    const cairo_matrix_t m = fullMatrix();
    const bool flipped = m.xx * m.yy - m.xy * m.yx < 0;
    // Counter-clockwise on the device is decreasing angles in y-down coordinates.
    const bool decreasing = (dc_.arcDirection == AD_COUNTERCLOCKWISE) != flipped;
    if (decreasing) {
        if (a1 >= a0) a1 -= 2 * M_PI;
    } else if (a1 <= a0) {
        a1 += 2 * M_PI;
    }
    const double endX = cx + rx * std::cos(a1), endY = cy + ry * std::sin(a1);
    const bool closed = kind == ArcKind::Chord || kind == ArcKind::Pie;
    Path path = shape([&](cairo_t* c) {
        if (kind == ArcKind::Pie) cairo_.move_to(c, cx, cy);
        else if (kind == ArcKind::ArcTo) cairo_.move_to(c, dc_.curX, dc_.curY);
        else cairo_.new_sub_path(c);
        cairo_.save(c);
        cairo_.translate(c, cx, cy);
        cairo_.scale(c, rx, ry);
        if (decreasing) cairo_.arc_negative(c, 0, 0, 1, a0, a1);
        else cairo_.arc(c, 0, 0, 1, a0, a1);
        cairo_.restore(c);
        if (closed) cairo_.close_path(c);
    });
    if (kind == ArcKind::ArcTo) dc_.curX = endX, dc_.curY = endY;
    if (closed) fillAndStroke(path);
    else strokePath(path);
}

void Painter::angleArc(double cx, double cy, double radius, double startDegrees, double sweepDegrees) {
    const double start = startDegrees * M_PI / 180, sweep = sweepDegrees * M_PI / 180;
    const double x0 = cx + radius * std::cos(start), y0 = cy - radius * std::sin(start);
    const double x1 = cx + radius * std::cos(start + sweep), y1 = cy - radius * std::sin(start + sweep);
    lineTo(x0, y0);
    Path path = shape([&](cairo_t* c) {
        cairo_.move_to(c, x0, y0);
        if (sweep >= 0) cairo_.arc_negative(c, cx, cy, radius, -start, -(start + sweep));
        else cairo_.arc(c, cx, cy, radius, -start, -(start + sweep));
    });
    dc_.curX = x1, dc_.curY = y1;
    strokePath(path);
}

void Painter::poly(const std::vector<double>& pts, bool closed, bool fill) {
    if (pts.size() < 4) return;
    Path path = shape([&](cairo_t* c) {
        cairo_.move_to(c, pts[0], pts[1]);
        for (size_t i = 2; i + 1 < pts.size(); i += 2) cairo_.line_to(c, pts[i], pts[i + 1]);
        if (closed) cairo_.close_path(c);
    });
    if (fill) fillAndStroke(path);
    else strokePath(path);
}

void Painter::polyPoly(const std::vector<double>& pts, const std::vector<uint32_t>& counts, bool closed) {
    size_t at = 0;
    Path path = shape([&](cairo_t* c) {
        for (uint32_t count : counts) {
            if (count == 0) continue;
            if (at + size_t{count} * 2 > pts.size()) break;
            cairo_.move_to(c, pts[at], pts[at + 1]);
            for (uint32_t i = 1; i < count; ++i) cairo_.line_to(c, pts[at + 2 * i], pts[at + 2 * i + 1]);
            if (closed) cairo_.close_path(c);
            at += size_t{count} * 2;
        }
    });
    if (closed) fillAndStroke(path);
    else strokePath(path);
}

void Painter::polyTo(const std::vector<double>& pts, bool bezier, bool startAtCurrent) {
    if (pts.size() < 2) return;
    Path path = shape([&](cairo_t* c) {
        size_t i = 0;
        if (startAtCurrent) {
            if (!inPath_ || !cairo_.has_current_point(c)) cairo_.move_to(c, dc_.curX, dc_.curY);
        } else {
            cairo_.move_to(c, pts[0], pts[1]);
            i = 2;
        }
        if (bezier) {
            for (; i + 5 < pts.size(); i += 6)
                cairo_.curve_to(c, pts[i], pts[i + 1], pts[i + 2], pts[i + 3], pts[i + 4], pts[i + 5]);
        } else {
            for (; i + 1 < pts.size(); i += 2) cairo_.line_to(c, pts[i], pts[i + 1]);
        }
    });
    if (startAtCurrent) {
        dc_.curX = pts[pts.size() - 2];
        dc_.curY = pts[pts.size() - 1];
    }
    strokePath(path);
}

void Painter::lineTo(double x, double y) {
    Path path = shape([&](cairo_t* c) {
        if (!inPath_ || !cairo_.has_current_point(c)) cairo_.move_to(c, dc_.curX, dc_.curY);
        cairo_.line_to(c, x, y);
    });
    dc_.curX = x, dc_.curY = y;
    strokePath(path);
}

void Painter::moveTo(double x, double y) {
    dc_.curX = x, dc_.curY = y;
    if (inPath_) shape([&](cairo_t* c) { cairo_.move_to(c, x, y); });
}

// ---------------------------------------------------------------- regions and clipping

Path Painter::regionPath(const Region& region, bool logical) {
    cairo_t* b = scratch_.get();
    cairo_.new_path(b);
    const cairo_matrix_t m = logical ? fullMatrix() : playback_;
    if (!usable(m)) return nullptr;
    cairo_.set_matrix(b, &m);
    for (size_t i = 0; i + 3 < region.rects.size(); i += 4)
        cairo_.rectangle(b, region.rects[i], region.rects[i + 1], region.rects[i + 2] - region.rects[i],
                         region.rects[i + 3] - region.rects[i + 1]);
    cairo_.identity_matrix(b);
    return CopyPath(b);
}

// Whole-target rectangle with a hole: the outside of a path.
Path Painter::outsideOf(const Path& inner) {
    cairo_t* b = scratch_.get();
    cairo_.new_path(b);
    cairo_.identity_matrix(b);
    cairo_.rectangle(b, -Outside, -Outside, 2 * Outside + target_.Width, 2 * Outside + target_.Height);
    cairo_.append_path(b, inner.get());
    return CopyPath(b);
}

void Painter::combineClip(const Path& path, int mode, bool evenOdd) {
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

void Painter::clipRect(double l, double t, double r, double b, bool exclude) {
    Path path = rectangleOutline(l, t, r - l, b - t);
    if (!path || dc_.clip.size() >= MaxClipItems) return;
    dc_.clip.push_back(exclude ? ClipItem{outsideOf(path), true} : ClipItem{path, false});
    clipChanged();
}

void Painter::offsetClip(double dx, double dy, bool logical) {
    const cairo_matrix_t m = logical ? fullMatrix() : playback_;
    const double ox = dx * m.xx + dy * m.xy, oy = dx * m.yx + dy * m.yy;
    for (ClipItem& item : dc_.clip) {
        if (!item.path) continue;
        cairo_t* b = scratch_.get();
        cairo_.new_path(b);
        cairo_.identity_matrix(b);
        cairo_.translate(b, ox, oy);
        cairo_.append_path(b, item.path.get());
        cairo_.identity_matrix(b);
        item.path = CopyPath(b);
    }
    clipChanged();
}

void Painter::clearClip() {
    dc_.clip.clear();
    clipChanged();
}

// ---------------------------------------------------------------- objects and states

void Painter::selectObject(uint32_t index) {
    if (index & StockObjectFlag) {
        SelectStockObject(dc_, index & ~StockObjectFlag);
        return;
    }
    const Object* o = objects_.at(index);
    if (!o) return;
    switch (o->kind) {
        case Object::PenKind: dc_.pen = o->pen; break;
        case Object::BrushKind: dc_.brush = o->brush; break;
        case Object::FontKind: dc_.font = o->font; break;
        case Object::PaletteKind: dc_.palette = o->palette; break;
        case Object::RegionKind: combineClip(regionPath(o->region, true), RGN_COPY, false); break;
        default: break;
    }
}

void Painter::restoreDC(int32_t level) {
    if (saved_.restore(level, dc_)) clipChanged();
}

Brush Painter::patternBrush(const MetafileReader& header, const MetafileReader& bits, uint32_t usage) const {
    Brush brush;
    // The size is known before any pixel is read: a larger pattern is never made.
    const DIBSource dib = ReadDIB(header, bits, usage, dc_.palette);
    int32_t stepX, stepY;
    if (dib.valid() && dib.width() * int64_t{dib.height()} <= MaxPatternPixels)
        brush.pattern = dib.surface(MaxPatternPixels, stepX, stepY);
    if (brush.pattern) brush.style = BS_DIBPATTERNPT;
    else brush.color = 0x808080;
    return brush;
}

}  // namespace host
