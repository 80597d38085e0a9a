#pragma once

#include <cstdint>

#include "metafile/player/MetafileDIB.h"
#include "metafile/player/Painter.h"

// The bitmap records: a source bitmap (or only the brush and the target, without one)
// from a source rectangle into a logical destination rectangle, combined with the
// target by a ternary raster operation.
namespace host {

struct BlitArea {
    double xd = 0, yd = 0, wd = 0, hd = 0;  // destination, logical
    double xs = 0, ys = 0, ws = 0, hs = 0;  // source, bitmap pixels
};

void Blit(Painter& painter, const DIBSource* source, const BlitArea& area, uint32_t rop);

}  // namespace host
