#pragma once

#include <cstdint>
#include <type_traits>

// Rows of 1, 2, 4 and 8-bit pixels packed into bytes as bitmaps store them: the first
// pixel in the most significant bits of each byte. The one place that takes such rows
// apart into palette indices.
namespace host {

// Index of pixel x of a packed row of Bits bits per pixel.
template <int Bits>
inline uint8_t PackedIndex(const uint8_t* row, int64_t x) {
    static_assert(Bits == 1 || Bits == 2 || Bits == 4 || Bits == 8);
    if constexpr (Bits == 8) {
        return row[x];
    } else {
        const int64_t bit = x * Bits;
        return static_cast<uint8_t>((row[bit >> 3] >> (8 - Bits - (bit & 7))) & ((1 << Bits) - 1));
    }
}

// The same for a depth known at run time (1, 2, 4; anything else reads bytes).
inline uint8_t PackedIndex(const uint8_t* row, int bits, int64_t x) {
    switch (bits) {
        case 1: return PackedIndex<1>(row, x);
        case 2: return PackedIndex<2>(row, x);
        case 4: return PackedIndex<4>(row, x);
        default: return PackedIndex<8>(row, x);
    }
}

// Calls use(i, index) for i = 0 .. count - 1 with the index of pixel first + i. The
// depth (1, 2, 4; anything else reads bytes) is chosen once, outside the loop, so each
// depth gets a tight loop of its own.
template <class Use>
inline void UnpackRow(const uint8_t* row, int bits, int64_t first, int64_t count, Use&& use) {
    auto each = [&](auto depth) {
        for (int64_t i = 0; i < count; ++i) use(i, PackedIndex<decltype(depth)::value>(row, first + i));
    };
    switch (bits) {
        case 1: each(std::integral_constant<int, 1>()); break;
        case 2: each(std::integral_constant<int, 2>()); break;
        case 4: each(std::integral_constant<int, 4>()); break;
        default: each(std::integral_constant<int, 8>()); break;
    }
}

}  // namespace host
