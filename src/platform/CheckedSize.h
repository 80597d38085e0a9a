#pragma once

#include <cstdint>
#include <initializer_list>
#include <limits>

#include "platform/Exceptions.h"

// Every size that file data can influence goes through here before anything is
// allocated or addressed. The image model addresses its pixels with 32-bit signed
// sizes, so that is the ceiling for any single buffer.
inline constexpr int64_t MaxBufferSize = std::numeric_limits<int32_t>::max();

// Product of non-negative factors, or nullopt-like -1 when it overflows `limit`.
constexpr int64_t productWithin(std::initializer_list<int64_t> factors, int64_t limit = MaxBufferSize) {
    int64_t product = 1;
    for (int64_t factor : factors) {
        if (factor < 0) return -1;
        if (factor != 0 && product > limit / factor) return -1;
        product *= factor;
    }
    return product;
}

// Product of the factors; raises ELinearBitmap "Invalid bitmap size" when it is
// negative or larger than one buffer may be.
inline int64_t checkedSize(std::initializer_list<int64_t> factors, int64_t limit = MaxBufferSize) {
    const int64_t product = productWithin(factors, limit);
    if (product < 0) throw ELinearBitmap("Invalid bitmap size");
    return product;
}

// a + b for offsets and cursors; raises the given size error on overflow or a negative result.
inline int64_t checkedAdd(int64_t a, int64_t b, int64_t limit = std::numeric_limits<int64_t>::max()) {
    if (a < 0 || b < 0 || a > limit - b) throw ELinearBitmap("Invalid bitmap size");
    return a + b;
}
