#pragma once

#include <cstdint>

// Played coordinates and costs as integers. They come from file data through any
// transform, so they may lie far beyond every integer type or be undefined; converting
// such a double to an integer is undefined behaviour, so every conversion goes through here.
namespace host {

// v within [lo, hi]; an undefined v goes to lo.
int32_t ClampedPixel(double v, int32_t lo, int32_t hi);
// v within [0, hi]; an undefined v goes to 0.
int64_t ClampedCost(double v, int64_t hi);

}  // namespace host
