#pragma once

#include <cstdint>

#include "platform/Object.h"

// The Adler-32 checksum of the zlib format.
class TAdler32 : public TObject {
public:
    PIXMORPH_CLASS_NAME(TAdler32)
    // Both sums stay below 65521.
    uint32_t Sum1 = 1;
    uint32_t Sum2 = 0;

    void Init() {
        Sum1 = 1;
        Sum2 = 0;
    }
    // Count 0 or less adds nothing.
    void Update(const void* buffer, int64_t count);
    void UpdateByte(uint8_t b);
    // (Sum2 << 16 | Sum1) with its bytes reversed: stored as a little-endian 32-bit
    // integer it gives the checksum's bytes in the big-endian order of the zlib trailer.
    uint32_t Value() const;
    // The checksum as a number (Sum2 << 16 | Sum1).
    uint32_t Checksum() const { return (Sum2 << 16) | Sum1; }
};
