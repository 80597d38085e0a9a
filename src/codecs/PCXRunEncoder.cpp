#include "codecs/PCXRunEncoder.h"

#include <bit>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "platform/ByteOrder.h"

namespace {

// One bit per byte of a 64-bit mask.
constexpr int32_t BlockBytes = 64;
constexpr int32_t WordBytes = 8;

#if defined(__SSE2__)
// Marks the 64 bytes at p, comparing each with the next one: reads p[0] to p[64].
void MarkBlock(const uint8_t* p, uint64_t& equal, uint64_t& countLike) {
    constexpr int VectorBytes = 16;
    const __m128i marker = _mm_set1_epi8(static_cast<char>(PCXRunMarker));
    equal = countLike = 0;
    for (int k = 0; k < BlockBytes; k += VectorBytes) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + k));
        const __m128i next = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + k + 1));
        const __m128i high = _mm_cmpeq_epi8(_mm_and_si128(bytes, marker), marker);
        equal |= uint64_t{static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(bytes, next)))} << k;
        countLike |= uint64_t{static_cast<uint32_t>(_mm_movemask_epi8(high))} << k;
    }
}
#else
constexpr uint64_t HighBits = 0x8080808080808080;
constexpr uint64_t LowSevenBits = 0x7F7F7F7F7F7F7F7F;
// Multiplying the bytes' bit 0 by this gathers them, byte k's into bit 56 + k.
constexpr uint64_t GatherLowBits = 0x0102040810204080;

// Bit k for byte k of a word of flags held in bit 7 of each byte.
inline uint64_t GatherFlags(uint64_t flags) { return (flags >> 7) * GatherLowBits >> 56; }

// Marks the 64 bytes at p, comparing each with the next one: reads p[0] to p[64].
void MarkBlock(const uint8_t* p, uint64_t& equal, uint64_t& countLike) {
    equal = countLike = 0;
    for (int k = 0; k < BlockBytes; k += WordBytes) {
        const uint64_t bytes = host::ReadLE64(p + k);
        const uint64_t differences = bytes ^ host::ReadLE64(p + k + 1);
        // Bit 7 of a byte ends up set when any of its bits is: the low seven carry into it.
        const uint64_t nonZero = ((differences & LowSevenBits) + LowSevenBits) | differences;
        equal |= GatherFlags(~nonZero & HighBits) << k;
        // Bits 7 and 6 both set.
        countLike |= GatherFlags(bytes & (bytes << 1) & HighBits) << k;
    }
}
#endif

// Copies `count` literal bytes a word at a time; reads and writes up to 16 bytes beyond.
inline uint8_t* CopyLiterals(const uint8_t* from, int32_t count, uint8_t* out) {
    host::WriteLE64(out, host::ReadLE64(from));
    host::WriteLE64(out + WordBytes, host::ReadLE64(from + WordBytes));
    for (int32_t k = 2 * WordBytes; k < count; k += WordBytes) host::WriteLE64(out + k, host::ReadLE64(from + k));
    return out + count;
}

// A run longer than a count can say: pieces of PCXMaxRun, then the rest, which stands as
// itself when it is a single byte that cannot read as a count.
uint8_t* WriteLongRun(uint8_t value, int32_t length, uint8_t* out) {
    for (; length > PCXMaxRun; length -= PCXMaxRun) {
        out[0] = PCXRunMarker + PCXMaxRun;
        out[1] = value;
        out += 2;
    }
    if (length == 1 && value < PCXRunMarker) {
        *out = value;
        return out + 1;
    }
    out[0] = static_cast<uint8_t>(PCXRunMarker + length);
    out[1] = value;
    return out + 2;
}

// A token that needs its count: a run, or a single byte that would read as a count.
inline uint8_t* WriteCounted(uint8_t value, int32_t length, uint8_t* out) {
    if (length > PCXMaxRun) [[unlikely]]
        return WriteLongRun(value, length, out);
    out[0] = static_cast<uint8_t>(PCXRunMarker + length);
    out[1] = value;
    return out + 2;
}

}  // namespace

PCXRunEncoder::PCXRunEncoder(int32_t width)
    : width_(width),
      equal_(static_cast<size_t>(width / BlockBytes + 2)),
      countLike_(static_cast<size_t>(width / BlockBytes + 2)) {}

void PCXRunEncoder::MarkRow(const uint8_t* row) {
    int32_t block = 0;
    // A whole block compares its last byte with the next block's first.
    for (; (block + 1) * BlockBytes < width_; ++block) MarkBlock(row + block * BlockBytes, equal_[block], countLike_[block]);
    // The last bytes one at a time: the row's last byte ends its run, and the bits beyond
    // the row stay clear, so that those bytes look like literals and are never visited.
    uint64_t equal = 0, countLike = 0;
    for (int32_t i = block * BlockBytes, bit = 0; i < width_; ++i, ++bit) {
        equal |= uint64_t{i + 1 < width_ && row[i] == row[i + 1]} << bit;
        countLike |= uint64_t{row[i] >= PCXRunMarker} << bit;
    }
    equal_[block] = equal;
    countLike_[block] = countLike;
    equal_[block + 1] = countLike_[block + 1] = 0;
}

uint8_t* PCXRunEncoder::Encode(const uint8_t* row, uint8_t* out) {
    MarkRow(row);
    const int32_t blocks = (width_ + BlockBytes - 1) / BlockBytes;
    int32_t written = 0;          // the row's bytes before this one are encoded
    uint64_t previousEnded = 1;  // whether the byte before the block ended a token
    for (int32_t block = 0; block < blocks; ++block) {
        const uint64_t ends = ~equal_[block];
        const uint64_t starts = ends << 1 | previousEnded;
        previousEnded = ends >> (BlockBytes - 1);
        const uint64_t literals = starts & ends & ~countLike_[block];
        for (uint64_t counted = starts & ~literals; counted != 0; counted &= counted - 1) {
            const int bit = std::countr_zero(counted);
            const int32_t start = block * BlockBytes + bit;
            out = CopyLiterals(row + written, start - written, out);
            int32_t end;  // the token's last byte
            if (const uint64_t endsFromStart = ends >> bit; endsFromStart != 0) [[likely]] {
                end = start + std::countr_zero(endsFromStart);
            } else {
                // The run goes on into later blocks; the spare word behind the row stops it.
                int32_t later = block + 1;
                while (equal_[later] == ~uint64_t{0}) ++later;
                end = later * BlockBytes + std::countr_one(equal_[later]);
            }
            out = WriteCounted(row[start], end - start + 1, out);
            written = end + 1;
        }
    }
    return CopyLiterals(row + written, width_ - written, out);
}
