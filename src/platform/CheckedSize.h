#pragma once

#include <cstdint>
#include <initializer_list>
#include <limits>
#include <string>

#include "platform/Exceptions.h"

// Every size that file data can influence goes through here before anything is
// allocated or addressed.

// The image model addresses its pixels with 32-bit signed sizes: no buffer can be larger.
inline constexpr int64_t MaxBufferSize = std::numeric_limits<int32_t>::max();

// The library-wide limit on one image buffer, which no real image reaches: 1 GiB, or the
// number of bytes in the environment variable PIXMORPH_MAX_IMAGE_BYTES (a "K", "M" or "G"
// suffix multiplies by 1024, 1024^2, 1024^3). It never exceeds MaxBufferSize. A header
// may claim any size up to it; decoding stays bounded by the data actually present.
int64_t MaxImageBytes();
// Overrides the limit for the whole process (fuzz targets run with a lower one);
// 0 returns to the environment's or the default.
void SetMaxImageBytes(int64_t bytes);

// Named limits, each set by an environment variable to a positive whole number and
// unlimited when unset (or set to anything else). A file over one fails with
// ELimitExceeded, whose message names the limit, the file's value and the variable.
//   PIXMORPH_MAX_PIXELS   pixels of one image (width x height)
//   PIXMORPH_MAX_SIDE     pixels of one side of an image
//   PIXMORPH_MAX_FRAMES   frames read from one file
//   PIXMORPH_MAX_SECONDS  CPU seconds of one conversion (applied by the front end)
PIXMORPH_EXCEPTION(ELimitExceeded, Exception);
enum class TNamedLimit { Pixels, Side, Frames, Seconds };
// The limit's value, 0 when unset.
int64_t NamedLimit(TNamedLimit limit);
// Overrides a limit for the whole process; -1 returns to the environment's.
void SetNamedLimit(TNamedLimit limit, int64_t value);
// Raises ELimitExceeded when an image of width x height pixels is over PIXMORPH_MAX_SIDE
// or PIXMORPH_MAX_PIXELS. Called where every image's pixels are allocated.
void CheckImageLimits(int64_t width, int64_t height);
// Raises ELimitExceeded when a file's frame number `frame` (counted from 1) is over
// PIXMORPH_MAX_FRAMES; readers call it before reading each frame.
void CheckFrameLimit(int64_t frame);
// The message of a conversion stopped after `seconds` of CPU time by PIXMORPH_MAX_SECONDS.
std::string CpuLimitMessage(int64_t seconds);

// Product of non-negative factors, or -1 when it is negative or exceeds `limit`.
constexpr int64_t productWithin(std::initializer_list<int64_t> factors, int64_t limit = MaxBufferSize) {
    int64_t product = 1;
    for (int64_t factor : factors) {
        if (factor < 0) return -1;
        if (factor != 0 && product > limit / factor) return -1;
        product *= factor;
    }
    return product;
}

// Product of the factors; raises ELinearBitmap "Invalid bitmap size" when it is negative
// or larger than `limit`, by default the image-buffer limit above.
inline int64_t checkedSize(std::initializer_list<int64_t> factors, int64_t limit = -1) {
    const int64_t product = productWithin(factors, limit < 0 ? MaxImageBytes() : limit);
    if (product < 0) throw ELinearBitmap("Invalid bitmap size");
    return product;
}

// a + b for offsets and cursors; raises the given size error on overflow or a negative result.
inline int64_t checkedAdd(int64_t a, int64_t b, int64_t limit = std::numeric_limits<int64_t>::max()) {
    if (a < 0 || b < 0 || a > limit - b) throw ELinearBitmap("Invalid bitmap size");
    return a + b;
}
