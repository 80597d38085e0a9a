#include "metafile/player/PathGeometry.h"

#include <algorithm>
#include <cmath>

namespace host {

namespace {

// The renderer flattens a curve to about a quarter of a pixel: its segments grow with the
// square root of its length.
int64_t curveSegments(const cairo_path_data_t* data, double fromX, double fromY) {
    double length = 0, x = fromX, y = fromY;
    for (int i = 1; i <= 3; ++i) {
        const double dx = data[i].point.x - x, dy = data[i].point.y - y;
        length += std::hypot(dx, dy);
        x = data[i].point.x, y = data[i].point.y;
    }
    const double segments = std::ceil(std::sqrt(std::min(length, 1e12)));
    return 3 + (std::isfinite(segments) ? static_cast<int64_t>(segments) : 0);
}

struct Point {
    double x = 0, y = 0;
};

double distance(Point a, Point b) { return std::hypot(b.x - a.x, b.y - a.y); }

// Builds the pieces of StrokePieces one line at a time.
class PieceCutter {
public:
    PieceCutter(cairo_t* builder, size_t segments) : cairo_(Cairo()), builder_(builder), segments_(segments) {}

    void moveTo(Point p) {
        if (midFigure_) finish();
        figureStart_ = previous_ = current_ = p;
        figureLength_ = 0;
        hasSecond_ = false;
        cairo_.move_to(builder_, p.x, p.y);
    }

    void lineTo(Point p) {
        if (count_ == segments_) {
            // The next piece starts with the last line of this one.
            finish();
            offset_ = figureLength_ - distance(previous_, current_);
            midFigure_ = true;
            cairo_.move_to(builder_, previous_.x, previous_.y);
            cairo_.line_to(builder_, current_.x, current_.y);
            count_ = 1;
        }
        cairo_.line_to(builder_, p.x, p.y);
        if (!hasSecond_) second_ = p, hasSecond_ = true;
        figureLength_ += distance(current_, p);
        previous_ = current_, current_ = p;
        ++count_;
    }

    // A figure closed in a later piece than it began in is closed by lines: back to its
    // start, and on along its first line so that the join there is drawn too.
    void close() {
        if (!midFigure_) {
            cairo_.close_path(builder_);
            return;
        }
        cairo_.line_to(builder_, figureStart_.x, figureStart_.y);
        if (hasSecond_) cairo_.line_to(builder_, second_.x, second_.y);
    }

    std::vector<StrokePiece> pieces() {
        finish();
        return std::move(pieces_);
    }

private:
    void finish() {
        Path piece = CopyPath(builder_);
        if (piece && piece->num_data > 0) pieces_.push_back({std::move(piece), offset_});
        cairo_.new_path(builder_);
        offset_ = 0;
        midFigure_ = false;
        count_ = 0;
    }

    const CairoLibrary& cairo_;
    cairo_t* builder_;
    size_t segments_;
    size_t count_ = 0;
    double offset_ = 0, figureLength_ = 0;
    bool midFigure_ = false, hasSecond_ = false;
    Point figureStart_, second_, previous_, current_;
    std::vector<StrokePiece> pieces_;
};

}  // namespace

int64_t PathPoints(const cairo_path_t* path) {
    int64_t points = 0;
    double x = 0, y = 0;
    for (int i = 0; i < path->num_data; i += path->data[i].header.length) {
        const cairo_path_data_t* d = &path->data[i];
        if (d->header.type == CAIRO_PATH_CURVE_TO) {
            points += curveSegments(d, x, y);
            x = d[3].point.x, y = d[3].point.y;
        } else if (d->header.type != CAIRO_PATH_CLOSE_PATH) {
            ++points;
            x = d[1].point.x, y = d[1].point.y;
        }
    }
    return points;
}

double PathLengthWithin(const cairo_path_t* path, double top, double bottom) {
    double length = 0, x = 0, y = 0;
    for (int i = 0; i < path->num_data; i += path->data[i].header.length) {
        const cairo_path_data_t* d = &path->data[i];
        for (int k = 1; k < d->header.length; ++k) {
            const double nx = d[k].point.x, ny = d[k].point.y;
            if (d->header.type != CAIRO_PATH_MOVE_TO) {
                const double lo = std::min(y, ny), hi = std::max(y, ny);
                const double inside = std::min(hi, bottom) - std::max(lo, top);
                const double share = hi > lo ? std::max(0.0, inside) / (hi - lo) : (lo >= top && lo <= bottom);
                length += std::hypot(nx - x, ny - y) * share;
            }
            x = nx, y = ny;
        }
    }
    return length;
}

bool PathExtents(const cairo_path_t* path, PathBox& box) {
    bool any = false;
    for (int i = 0; i < path->num_data; i += path->data[i].header.length) {
        const cairo_path_data_t* d = &path->data[i];
        for (int k = 1; k < d->header.length; ++k) {
            const double x = d[k].point.x, y = d[k].point.y;
            if (!any) box = {x, y, x, y};
            box.x0 = std::min(box.x0, x), box.y0 = std::min(box.y0, y);
            box.x1 = std::max(box.x1, x), box.y1 = std::max(box.y1, y);
            any = true;
        }
    }
    return any;
}

std::vector<StrokePiece> StrokePieces(cairo_t* builder, const cairo_path_t* path, size_t segments) {
    int64_t lines = 0;
    for (int i = 0; i < path->num_data; i += path->data[i].header.length) {
        if (path->data[i].header.type == CAIRO_PATH_CURVE_TO) return {};
        lines += path->data[i].header.type == CAIRO_PATH_LINE_TO;
    }
    if (lines <= static_cast<int64_t>(segments)) return {};
    const CairoLibrary& cairo = Cairo();
    cairo.new_path(builder);
    cairo.identity_matrix(builder);
    PieceCutter cutter(builder, segments);
    for (int i = 0; i < path->num_data; i += path->data[i].header.length) {
        const cairo_path_data_t* d = &path->data[i];
        const Point p = d->header.length > 1 ? Point{d[1].point.x, d[1].point.y} : Point{};
        switch (d->header.type) {
            case CAIRO_PATH_MOVE_TO: cutter.moveTo(p); break;
            case CAIRO_PATH_LINE_TO: cutter.lineTo(p); break;
            case CAIRO_PATH_CLOSE_PATH: cutter.close(); break;
            default: break;
        }
    }
    return cutter.pieces();
}

}  // namespace host
