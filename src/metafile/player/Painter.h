#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

#include "metafile/player/CairoLibrary.h"
#include "metafile/player/DeviceContext.h"
#include "metafile/player/MetafileDIB.h"
#include "metafile/player/MetafileReader.h"
#include "metafile/player/MetafilePlayer.h"
#include "metafile/player/PixelClamp.h"
#include "metafile/player/PlayBudget.h"

// Draws what the records describe onto the target, aliased as the platform draws:
// logical coordinates through the world and page transforms and the playback onto
// the destination; shapes filled with the brush and outlined with the pen, with the
// binary raster operation and the clip of the device context.
namespace host {

// The reference device's resolution when a recording names none: the screen's 96 pixels
// per inch.
inline constexpr double ScreenPixelsPerMM = 96 / 25.4;

// Pixels [left, right) × [top, bottom) of the target that an extent touches.
struct PixelBounds {
    int32_t left = 0, top = 0, right = 0, bottom = 0;
    bool empty() const { return left >= right || top >= bottom; }
    int32_t width() const { return right - left; }
    int32_t height() const { return bottom - top; }
};
PixelBounds TargetPixels(const PlayTarget& target, double x0, double y0, double x1, double y1);

// The common part of two pixel areas.
PixelBounds Intersection(const PixelBounds& a, const PixelBounds& b);

class Painter {
public:
    // Throws when the renderer cannot be loaded; ready() says whether it can draw. The
    // budget is charged for everything drawn, and refuses the picture past it.
    Painter(const PlayTarget& target, bool enhanced, PlayBudget& budget);
    bool ready() const;
    PlayBudget& budget() { return budget_; }

    DeviceContext& dc() { return dc_; }
    ObjectTable& objects() { return objects_; }
    const PlayTarget& target() const { return target_; }
    cairo_t* context() { return cr_.get(); }
    cairo_surface_t* surface() { return surface_.get(); }
    // Reference-device pixels onto the target.
    void setPlayback(const cairo_matrix_t& playback) { playback_ = playback; }
    const cairo_matrix_t& playback() const { return playback_; }
    void setDeviceResolution(double pxPerMMX, double pxPerMMY) { pxPerMMX_ = pxPerMMX, pxPerMMY_ = pxPerMMY; }

    // ------------------------------------------------ transforms

    // Logical to target pixels: world, then the page (window to viewport), then the
    // playback (the recording device onto the destination).
    cairo_matrix_t fullMatrix() const;
    static bool usable(const cairo_matrix_t& m);
    // Scale of logical lengths (pen widths, font heights) in target pixels.
    static double lengthScale(const cairo_matrix_t& m, bool vertical);

    // ------------------------------------------------ building outlines

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
        if (!intoPath) cairo_.new_path(b);
        cairo_.set_matrix(b, &m);
        build(b);
        cairo_.identity_matrix(b);
        if (intoPath) return nullptr;
        return CopyPath(b);
    }
    // A logical rectangle's outline.
    Path rectangleOutline(double x, double y, double width, double height);

    // ------------------------------------------------ path brackets

    bool inPath() const { return inPath_; }
    void beginPath();
    void endPath();
    void closeFigure();
    void abortPath();
    // The last completed bracket, which filling, stroking or clipping with it uses up.
    Path takePath();

    // ------------------------------------------------ painting

    void fillPath(const Path& path, const Brush& brush);
    void strokePath(const Path& path);
    void fillAndStroke(const Path& path);
    // One target pixel in a colour, at a logical point.
    void setPixel(double x, double y, uint32_t rgb);
    // The logical rectangle (x0, y0)-(x1, y1) shaded from one 0x00RRGGBB colour to the
    // other, across or down.
    void gradientRectangle(double x0, double y0, double x1, double y1, uint32_t from, uint32_t to, bool vertical);

    // ------------------------------------------------ shapes

    void rectangle(double l, double t, double r, double b);
    void ellipse(double l, double t, double r, double b);
    void roundRect(double l, double t, double r, double b, double w, double h);
    enum class ArcKind { Arc, Chord, Pie, ArcTo };
    void arc(ArcKind kind, double l, double t, double r, double b, double xs, double ys, double xe, double ye);
    // An arc of the circle around (cx, cy), joined to the current position by a line.
    void angleArc(double cx, double cy, double radius, double startDegrees, double sweepDegrees);
    // pts: (x, y) pairs.
    void poly(const std::vector<double>& pts, bool closed, bool fill);
    void polyPoly(const std::vector<double>& pts, const std::vector<uint32_t>& counts, bool closed);
    // From the current position when continuing; Bezier points come in threes.
    void polyTo(const std::vector<double>& pts, bool bezier, bool startAtCurrent);
    void lineTo(double x, double y);
    void moveTo(double x, double y);

    // ------------------------------------------------ regions and clipping

    // Rectangles into a path in target pixels: logical ones through the full transform,
    // device ones through the playback alone.
    Path regionPath(const Region& region, bool logical);
    void combineClip(const Path& path, int mode, bool evenOdd);
    void clipRect(double l, double t, double r, double b, bool exclude);
    void offsetClip(double dx, double dy, bool logical);
    void clearClip();
    // Clips c (drawing in target pixels) to the device context's clip, where the renderer
    // clips; a coverage mask drawn so must then go through clipCoverage.
    void appendClip(cairo_t* c) const;
    // A coverage mask over the target's pixels [at] limited to a clip kept as a mask.
    void clipCoverage(cairo_surface_t* coverage, const PixelBounds& at) const;

    // ------------------------------------------------ drawing on the target

    // Target pixels a path in target pixels may touch, margin pixels around its points.
    PixelBounds pathPixels(const Path& path, double margin) const;
    // Runs draw(context) to paint the target's pixels [area], charged to the budget as
    // cost pixels (the whole area unless the drawing is known to cover less); under a clip
    // kept as a mask the drawing goes through a layer the mask limits, over all the area.
    template <class Draw>
    void onTarget(PixelBounds area, Draw&& draw, int64_t cost = -1) {
        if (area.empty()) return;
        if (!clipMask_) {
            const int64_t pixels = int64_t{area.width()} * area.height();
            budget_.area(cost >= 0 ? std::min(cost, pixels) : pixels);
            draw(cr_.get());
            return;
        }
        area = Intersection(area, clipBounds_);
        if (area.empty()) return;
        budget_.area(int64_t{area.width()} * area.height(), MaskedDrawingPasses);
        beginMaskedDrawing(area);
        draw(cr_.get());
        endMaskedDrawing();
    }

    // ------------------------------------------------ objects and states

    void selectObject(uint32_t index);
    void saveDC() { saved_.save(dc_); }
    void restoreDC(int32_t level);
    // A brush of the bitmap's pattern; a grey one when the bitmap is unusable.
    Brush patternBrush(const MetafileReader& header, const MetafileReader& bits, uint32_t usage) const;

    uint32_t* pixelRow(int32_t y);

private:
    // A layer, the draw and the masked copy back: passes over the pixels of a drawing
    // under a clip kept as a mask.
    static constexpr int64_t MaskedDrawingPasses = 4;

    void clipChanged();
    bool clipFitsRenderer() const;
    void drawClipMask();
    void beginMaskedDrawing(const PixelBounds& area);
    void endMaskedDrawing();
    void strokeOnTarget(const Path& path, double dashOffset);
    bool setBrushSource(const Brush& brush);
    bool setHatchSource(const Brush& brush);
    void setPatternSource(const Surface& tile);
    void paintRop2(const Path& path, bool stroke, uint32_t color);
    void strokeStyle(cairo_t* c, double dashOffset);
    // The pen's width in target pixels, and how far past its outline a stroke may reach.
    double penPixels() const;
    double strokeMargin() const;
    // stroke(piece, dashOffset) for the path whole or for each piece of a long one.
    template <class Stroke>
    void forEachStrokePiece(const Path& path, Stroke&& stroke);
    bool penVisible() const;
    Path outsideOf(const Path& inner);

    const CairoLibrary& cairo_;
    PlayTarget target_;
    PlayBudget& budget_;
    bool enhanced_;
    Surface surface_;
    Context cr_;
    Surface scratchSurface_;
    Context scratch_;
    Context pathBuilder_;
    FontOptions options_;
    DeviceContext dc_;
    SavedStates saved_;
    ObjectTable objects_;
    cairo_matrix_t playback_{1, 0, 0, 1, 0, 0};
    double pxPerMMX_ = ScreenPixelsPerMM, pxPerMMY_ = ScreenPixelsPerMM;
    bool inPath_ = false;
    Path path_;  // the last completed path bracket
    // A clip the renderer would take too long over, as coverage of clipBounds_.
    Surface clipMask_;
    PixelBounds clipBounds_;
};

}  // namespace host
