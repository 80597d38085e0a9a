#include "compress/Adler32.h"

namespace {
constexpr uint32_t Base = 65521;
// The largest n for which 255·n(n+1)/2 + (n+1)(Base−1) stays below 2^32: the sums can
// grow unreduced for that many bytes and are reduced once, giving the same values as
// a reduction after every byte.
constexpr int64_t MaxRun = 5552;
}  // namespace

void TAdler32::Update(const void* buffer, int64_t count) {
    if (count <= 0) return;
    const auto* p = static_cast<const uint8_t*>(buffer);
    uint32_t a = Sum1, b = Sum2;
    while (count > 0) {
        int64_t n = count < MaxRun ? count : MaxRun;
        count -= n;
        while (n >= 8) {
            a += p[0]; b += a;
            a += p[1]; b += a;
            a += p[2]; b += a;
            a += p[3]; b += a;
            a += p[4]; b += a;
            a += p[5]; b += a;
            a += p[6]; b += a;
            a += p[7]; b += a;
            p += 8;
            n -= 8;
        }
        while (n-- > 0) {
            a += *p++;
            b += a;
        }
        a %= Base;
        b %= Base;
    }
    Sum1 = a;
    Sum2 = b;
}

void TAdler32::UpdateByte(uint8_t byte) {
    Sum1 += byte;
    if (Sum1 >= Base) Sum1 -= Base;
    Sum2 += Sum1;
    if (Sum2 >= Base) Sum2 -= Base;
}

uint32_t TAdler32::Value() const { return __builtin_bswap32(Checksum()); }
