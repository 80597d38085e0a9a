#include "metafile/player/PixelClamp.h"

namespace host {

int32_t ClampedPixel(double v, int32_t lo, int32_t hi) {
    if (!(v > lo)) return lo;
    if (v >= hi) return hi;
    return static_cast<int32_t>(v);
}

int64_t ClampedCost(double v, int64_t hi) {
    if (!(v > 0)) return 0;
    if (v >= static_cast<double>(hi)) return hi;
    return static_cast<int64_t>(v);
}

}  // namespace host
