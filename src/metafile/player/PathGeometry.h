#pragma once

#include <cstdint>
#include <vector>

#include "metafile/player/CairoLibrary.h"

// What the player needs to know of an outline before it hands it to the renderer: how
// many points the renderer will deal with, where it lies, and how a long stroke is cut
// into pieces the renderer strokes in time proportional to their length.
namespace host {

// The points of a path, a curve counted as the segments it is flattened into.
int64_t PathPoints(const cairo_path_t* path);

// The length of a path's lines between the rows top and bottom, a curve counted as its
// control polygon (at least its length).
double PathLengthWithin(const cairo_path_t* path, double top, double bottom);

// The box around every point of a path (control points included); false for an empty path.
struct PathBox {
    double x0 = 0, y0 = 0, x1 = 0, y1 = 0;
};
bool PathExtents(const cairo_path_t* path, PathBox& box);

// One piece of a stroke, and the dash offset at its first point.
struct StrokePiece {
    Path path;
    double dashOffset = 0;
};

// A path of straight lines cut into pieces of at most segments lines each. Consecutive
// pieces of a figure share one line, so that every join is drawn as in the whole; a
// piece that begins inside a figure carries the length before it as its dash offset.
// builder: a context to build the pieces on (its path is replaced). Empty when the path
// has curves or needs no cutting.
std::vector<StrokePiece> StrokePieces(cairo_t* builder, const cairo_path_t* path, size_t segments);

}  // namespace host
