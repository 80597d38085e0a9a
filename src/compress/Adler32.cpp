#include "compress/Adler32.h"

#include <algorithm>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {
constexpr uint32_t Base = 65521;
// The largest n for which 255·n(n+1)/2 + (n+1)(Base−1) stays below 2^32: the sums can
// grow unreduced for that many bytes and are reduced once, giving the same values as
// a reduction after every byte.
constexpr int64_t MaxRun = 5552;

// The sums over n bytes one at a time, unreduced.
void addBytes(const uint8_t*& p, int64_t n, uint32_t& a, uint32_t& b) {
    for (; n >= 8; n -= 8, p += 8) {
        a += p[0]; b += a;
        a += p[1]; b += a;
        a += p[2]; b += a;
        a += p[3]; b += a;
        a += p[4]; b += a;
        a += p[5]; b += a;
        a += p[6]; b += a;
        a += p[7]; b += a;
    }
    for (; n > 0; --n) {
        a += *p++;
        b += a;
    }
}

#if defined(__SSE2__)
constexpr int64_t Block = 16;

uint64_t laneSum(__m128i v) {
    alignas(16) uint32_t lanes[4];
    _mm_store_si128(reinterpret_cast<__m128i*>(lanes), v);
    return uint64_t{lanes[0]} + lanes[1] + lanes[2] + lanes[3];
}

// Whole 16-byte blocks, reduced: over n bytes b grows by n·a and by every byte times its
// distance from the end, a by the bytes. Within a block the distances are 16 down to 1;
// each earlier block adds 16 more per block after it.
void addBlocks(const uint8_t*& p, int64_t blocks, uint32_t& a, uint32_t& b) {
    const __m128i zero = _mm_setzero_si128();
    const __m128i firstWeights = _mm_setr_epi16(16, 15, 14, 13, 12, 11, 10, 9);
    const __m128i lastWeights = _mm_setr_epi16(8, 7, 6, 5, 4, 3, 2, 1);
    __m128i sum = zero, weighted = zero, earlier = zero;
    for (int64_t i = 0; i < blocks; ++i, p += Block) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        earlier = _mm_add_epi32(earlier, sum);
        sum = _mm_add_epi32(sum, _mm_sad_epu8(bytes, zero));
        weighted = _mm_add_epi32(weighted, _mm_madd_epi16(_mm_unpacklo_epi8(bytes, zero), firstWeights));
        weighted = _mm_add_epi32(weighted, _mm_madd_epi16(_mm_unpackhi_epi8(bytes, zero), lastWeights));
    }
    weighted = _mm_add_epi32(weighted, _mm_slli_epi32(earlier, 4));
    b = static_cast<uint32_t>((b + uint64_t{a} * static_cast<uint64_t>(blocks * Block) + laneSum(weighted)) % Base);
    a = static_cast<uint32_t>((a + laneSum(sum)) % Base);
}
#endif
}  // namespace

void TAdler32::Update(const void* buffer, int64_t count) {
    if (count <= 0) return;
    const auto* p = static_cast<const uint8_t*>(buffer);
    uint32_t a = Sum1, b = Sum2;
#if defined(__SSE2__)
    for (int64_t blocks = count / Block; blocks > 0;) {
        const int64_t n = std::min(blocks, MaxRun / Block);
        addBlocks(p, n, a, b);
        blocks -= n;
    }
    count %= Block;
#endif
    while (count > 0) {
        const int64_t n = count < MaxRun ? count : MaxRun;
        count -= n;
        addBytes(p, n, a, b);
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
