#include "codecs/PNGRows.h"

#include <cstdlib>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "platform/CheckedSize.h"
#include "platform/Exceptions.h"

namespace pngrows {

namespace {

[[noreturn]] void InvalidData() { throw Exception("Invalid PNG data"); }

// Branch-free Paeth for the hot unfilter loop: pa = |b - c|, pb = |a - c|, pc = |a + b - 2c|.
inline uint8_t PaethFast(int a, int b, int c) {
    const int pa = std::abs(b - c);
    const int pb = std::abs(a - c);
    const int pc = std::abs(a + b - 2 * c);
    const int ab = (pb < pa) ? b : a;
    const int pab = (pb < pa) ? pb : pa;
    return static_cast<uint8_t>((pc < pab) ? c : ab);
}

// Filter types of a row.
enum : int { FilterNone = 0, FilterSub = 1, FilterUp = 2, FilterAverage = 3, FilterPaeth = 4 };

// Bytes of a blue-green-red (or red-green-blue) pixel.
constexpr size_t kRGBBytes = 3;

// Undoes filter type 1..4 on bytes from..n-1 of a row whose bytes before `from` are done.
void UnfilterBytes(int type, uint8_t* row, const uint8_t* prev, size_t from, size_t n, size_t bpp) {
    for (size_t i = from; i < n; ++i) {
        const int a = i >= bpp ? row[i - bpp] : 0;
        const int b = prev[i];
        const int c = i >= bpp ? prev[i - bpp] : 0;
        int predicted = b;
        if (type == FilterSub) predicted = a;
        if (type == FilterAverage) predicted = (a + b) >> 1;
        if (type == FilterPaeth) predicted = PaethFast(a, b, c);
        row[i] = static_cast<uint8_t>(row[i] + predicted);
    }
}

// Red and blue of every pixel trade places.
void SwapRedBlue(uint8_t* rgb, size_t n) {
    for (size_t i = 0; i + kRGBBytes <= n; i += kRGBBytes) std::swap(rgb[i], rgb[i + 2]);
}

template <int Bpp>
void UnfilterSub(uint8_t* row, size_t n) {
    for (size_t i = Bpp; i < n; ++i) row[i] = static_cast<uint8_t>(row[i] + row[i - Bpp]);
}

template <int Bpp>
void UnfilterAverage(uint8_t* row, const uint8_t* prev, size_t n) {
    const size_t head = n < static_cast<size_t>(Bpp) ? n : Bpp;
    for (size_t i = 0; i < head; ++i) row[i] = static_cast<uint8_t>(row[i] + (prev[i] >> 1));
    for (size_t i = Bpp; i < n; ++i) row[i] = static_cast<uint8_t>(row[i] + ((row[i - Bpp] + prev[i]) >> 1));
}

template <int Bpp>
void UnfilterPaeth(uint8_t* row, const uint8_t* prev, size_t n) {
    const size_t head = n < static_cast<size_t>(Bpp) ? n : Bpp;
    // With a = c = 0 Paeth yields b.
    for (size_t i = 0; i < head; ++i) row[i] = static_cast<uint8_t>(row[i] + prev[i]);
    for (size_t i = Bpp; i < n; ++i)
        row[i] = static_cast<uint8_t>(row[i] + PaethFast(row[i - Bpp], prev[i], prev[i - Bpp]));
}

template <int Bpp>
void UnfilterFixed(int type, uint8_t* row, const uint8_t* prev, size_t n) {
    switch (type) {
    case FilterSub: UnfilterSub<Bpp>(row, n); break;
    case FilterAverage: UnfilterAverage<Bpp>(row, prev, n); break;
    case FilterPaeth: UnfilterPaeth<Bpp>(row, prev, n); break;
    }
}

#if defined(__SSE2__)
inline __m128i Load4(const uint8_t* p) {
    int v;
    std::memcpy(&v, p, 4);
    return _mm_cvtsi32_si128(v);
}

inline void Store4(uint8_t* p, __m128i v) {
    const int x = _mm_cvtsi128_si32(v);
    std::memcpy(p, &x, 4);
}

inline __m128i Load16(const uint8_t* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }
inline void Store16(uint8_t* p, __m128i v) { _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v); }

inline __m128i Abs16(__m128i v) { return _mm_max_epi16(v, _mm_sub_epi16(_mm_setzero_si128(), v)); }

// The filtered word of a pixel in 16-bit lanes as the row is to hold it: with Swap the
// first and the third byte (red and blue) trade places; the fourth stays where it is.
template <bool Swap>
inline __m128i PixelWide(const uint8_t* p) {
    const __m128i wide = _mm_unpacklo_epi8(Load4(p), _mm_setzero_si128());
    if constexpr (!Swap) return wide;
    return _mm_shufflelo_epi16(wide, _MM_SHUFFLE(3, 0, 1, 2));
}

template <bool Swap>
inline __m128i PixelWord(const uint8_t* p) {
    if constexpr (!Swap) return Load4(p);
    const __m128i wide = PixelWide<true>(p);
    return _mm_packus_epi16(wide, wide);
}

// The Paeth predictions of eight bytes at once, in 16-bit lanes. pa = |b - c| and
// pc = |a - (2c - b)|: when a is the left pixel just unfiltered, only pb, pc and the
// choice wait for it.
inline __m128i PaethPredicted(__m128i a, __m128i b, __m128i c) {
    const __m128i pa = Abs16(_mm_sub_epi16(b, c));
    const __m128i d = _mm_sub_epi16(_mm_add_epi16(c, c), b);
    const __m128i pb = _mm_max_epi16(_mm_sub_epi16(a, c), _mm_sub_epi16(c, a));
    const __m128i pc = _mm_max_epi16(_mm_sub_epi16(a, d), _mm_sub_epi16(d, a));
    // a unless pa exceeds pb or pc; else b unless pb exceeds pc; else c.
    const __m128i notA = _mm_cmpgt_epi16(pa, _mm_min_epi16(pb, pc));
    const __m128i bOrC = _mm_xor_si128(b, _mm_and_si128(_mm_xor_si128(b, c), _mm_cmpgt_epi16(pb, pc)));
    return _mm_or_si128(_mm_and_si128(notA, bOrC), _mm_andnot_si128(notA, a));
}

// The filtered bytes `current` plus their Paeth predictions, in 16-bit lanes.
inline __m128i PaethUnfiltered(__m128i current, __m128i a, __m128i b, __m128i c) {
    return _mm_and_si128(_mm_add_epi16(current, PaethPredicted(a, b, c)), _mm_set1_epi16(0xFF));
}

// Bytes of the pixels of a row that go as whole 4-byte words: a word may not reach past
// the row.
constexpr size_t WordPixelsEnd(size_t n, size_t bpp) { return n >= 4 ? ((n - 4) / bpp + 1) * bpp : 0; }

// The filters that read the pixel to the left, one pixel of 3 or 4 bytes at a time: each
// pixel waits for the one before it, so what counts is the work between the two. Sub and
// Average work on bytes, Paeth on 16-bit lanes, where everything that does not depend on
// the left pixel is worked out beforehand. A pixel of 3 bytes moves as a 4-byte word: its
// fourth byte, the next pixel's first, is written wrong and then right by the next pixel;
// the last pixel, whose word would reach past the row, is done byte by byte after its
// first byte is put back. Each filtered word is loaded one pixel ahead, before the store
// that overlaps it, so that no load waits for a store it only partly overlaps.
template <int Bpp, bool Swap, int Type>
class PixelUnfilter {
public:
    static constexpr bool Wide = Type == FilterPaeth;

    PixelUnfilter(uint8_t* row, size_t n)
        : row_(row), n_(n), end_(WordPixelsEnd(n, Bpp)),
          firstAfterWords_(Bpp == 3 && end_ > 0 ? row[end_] : 0), filtered_(end_ > 0 ? Load(row) : Zero()) {}

    // Bytes of the pixels that go a word at a time.
    size_t End() const { return end_; }

    // The pixel above as Step takes it.
    static __m128i Above(const uint8_t* p) { return Wide ? _mm_unpacklo_epi8(Load4(p), Zero()) : Load4(p); }

    // Unfilters the pixel at byte i, the pixels being taken in order; returns it as Above would.
    __m128i Step(size_t i, __m128i b) {
        const __m128i current = filtered_;
        if (i + Bpp < end_) filtered_ = Load(row_ + i + Bpp);
        if constexpr (Type == FilterSub) {
            a_ = _mm_add_epi8(current, a_);
            Store4(row_ + i, a_);
        } else if constexpr (Type == FilterAverage) {
            // The rounded-up mean less the bit it rounded up by.
            const __m128i mean =
                _mm_sub_epi8(_mm_avg_epu8(a_, b), _mm_and_si128(_mm_xor_si128(a_, b), _mm_set1_epi8(1)));
            a_ = _mm_add_epi8(current, mean);
            Store4(row_ + i, a_);
        } else {
            a_ = PaethUnfiltered(current, a_, b, c_);
            Store4(row_ + i, _mm_packus_epi16(a_, a_));
            c_ = b;
        }
        return a_;
    }

    // The bytes after the words, once the row above (`prev`) is complete.
    void Finish(const uint8_t* prev) {
        if (Bpp == 3 && end_ > 0) row_[end_] = firstAfterWords_;
        if (Swap) SwapRedBlue(row_ + end_, n_ - end_);
        UnfilterBytes(Type, row_, prev, end_, n_, Bpp);
    }

private:
    static __m128i Zero() { return _mm_setzero_si128(); }
    static __m128i Load(const uint8_t* p) { return Wide ? PixelWide<Swap>(p) : PixelWord<Swap>(p); }

    uint8_t* row_;
    size_t n_, end_;
    uint8_t firstAfterWords_;
    __m128i filtered_;
    __m128i a_ = Zero(), c_ = Zero();  // the left and the upper-left pixel, unfiltered
};

template <int Bpp, bool Swap, int Type>
void UnfilterPixelsOf(uint8_t* row, const uint8_t* prev, size_t n) {
    using Row = PixelUnfilter<Bpp, Swap, Type>;
    Row pixels(row, n);
    for (size_t i = 0; i < pixels.End(); i += Bpp) pixels.Step(i, Row::Above(prev + i));
    pixels.Finish(prev);
}

// Two Paeth rows of red-green-blue pixels in one register: the upper row's pixel in the
// low half, the lower row's pixel one to the left in the high half, whose pixel above is
// the upper row's last result. One pass of the predictor does two pixels. The first
// step's high half and the last step's low half stand for pixels outside the rows and
// are not stored; with the fourth byte of each word, see PixelUnfilter.
class PaethPair {
public:
    // The next pixel of each row from its filtered word (high half) and the upper row's pixel
    // above (low half); returns both unfiltered.
    __m128i Step(__m128i filtered, __m128i upperAbove) {
        const __m128i b = _mm_unpacklo_epi64(upperAbove, a_);
        a_ = PaethUnfiltered(filtered, a_, b, c_);
        c_ = b;
        return _mm_packus_epi16(a_, a_);
    }

private:
    __m128i a_ = _mm_setzero_si128(), c_ = _mm_setzero_si128();
};

void UnfilterPaethPairToBGR(uint8_t* upper, uint8_t* lower, const uint8_t* prev, size_t n) {
    const size_t end = WordPixelsEnd(n, kRGBBytes);
    const __m128i zero = _mm_setzero_si128();
    if (end == 0) {
        UnfilterRowToBGR(FilterPaeth, upper, prev, n);
        UnfilterRowToBGR(FilterPaeth, lower, upper, n);
        return;
    }
    const uint8_t upperAfterWords = upper[end], lowerAfterWords = lower[end];
    PaethPair pair;
    // Step i takes the upper row's pixel at i and the lower row's at i - 3. Each word is
    // loaded a step ahead, before the store that overlaps it.
    __m128i filtered = _mm_unpacklo_epi64(PixelWide<true>(upper), zero);
    for (size_t i = 0; i <= end; i += kRGBBytes) {
        const __m128i current = filtered;
        const bool upperPixel = i < end;
        if (upperPixel) {
            const size_t next = i + kRGBBytes;
            filtered = _mm_unpacklo_epi64(next < end ? PixelWide<true>(upper + next) : zero, PixelWide<true>(lower + i));
        }
        const __m128i both = pair.Step(current, upperPixel ? _mm_unpacklo_epi8(Load4(prev + i), zero) : zero);
        if (upperPixel) Store4(upper + i, both);
        if (i > 0) Store4(lower + i - kRGBBytes, _mm_srli_si128(both, 4));
    }
    upper[end] = upperAfterWords;
    lower[end] = lowerAfterWords;
    SwapRedBlue(upper + end, n - end);
    UnfilterBytes(FilterPaeth, upper, prev, end, n, kRGBBytes);
    SwapRedBlue(lower + end, n - end);
    UnfilterBytes(FilterPaeth, lower, upper, end, n, kRGBBytes);
}

template <int Bpp, bool Swap>
void UnfilterPixels(int type, uint8_t* row, const uint8_t* prev, size_t n) {
    switch (type) {
    case FilterSub: UnfilterPixelsOf<Bpp, Swap, FilterSub>(row, prev, n); return;
    case FilterAverage: UnfilterPixelsOf<Bpp, Swap, FilterAverage>(row, prev, n); return;
    case FilterPaeth: UnfilterPixelsOf<Bpp, Swap, FilterPaeth>(row, prev, n); return;
    }
}

// Red and blue of 16 pixels (48 bytes, three vectors) trade places: byte j takes byte
// j + 2 when j % 3 is 0 and byte j - 2 when j % 3 is 2. The masks pick those bytes out.
struct RedBlueMasks {
    __m128i fromRight[3], fromLeft[3];

    RedBlueMasks() {
        alignas(16) uint8_t right[48], left[48];
        for (int j = 0; j < 48; ++j) {
            right[j] = j % 3 == 0 ? 0xFF : 0;
            left[j] = j % 3 == 2 ? 0xFF : 0;
        }
        for (int k = 0; k < 3; ++k) {
            fromRight[k] = Load16(right + 16 * k);
            fromLeft[k] = Load16(left + 16 * k);
        }
    }
};

// One vector of the 48 bytes; `before` and `after` are its neighbours (zeros at the
// ends), of which only the bytes that cross are used.
inline __m128i SwapVector(__m128i before, __m128i v, __m128i after, __m128i fromRight, __m128i fromLeft) {
    const __m128i right = _mm_or_si128(_mm_srli_si128(v, 2), _mm_slli_si128(after, 14));
    const __m128i left = _mm_or_si128(_mm_slli_si128(v, 2), _mm_srli_si128(before, 14));
    const __m128i kept = _mm_andnot_si128(_mm_or_si128(fromRight, fromLeft), v);
    return _mm_or_si128(kept, _mm_or_si128(_mm_and_si128(right, fromRight), _mm_and_si128(left, fromLeft)));
}

// None and Up on red-green-blue bytes, into blue-green-red ones, whole vectors at a time.
template <bool Up>
void SwapAndAddRow(uint8_t* row, const uint8_t* prev, size_t n) {
    static const RedBlueMasks masks;
    const __m128i zero = _mm_setzero_si128();
    size_t i = 0;
    for (; i + 48 <= n; i += 48) {
        const __m128i v0 = Load16(row + i), v1 = Load16(row + i + 16), v2 = Load16(row + i + 32);
        __m128i s[3] = {SwapVector(zero, v0, v1, masks.fromRight[0], masks.fromLeft[0]),
                        SwapVector(v0, v1, v2, masks.fromRight[1], masks.fromLeft[1]),
                        SwapVector(v1, v2, zero, masks.fromRight[2], masks.fromLeft[2])};
        for (int k = 0; k < 3; ++k) {
            if (Up) s[k] = _mm_add_epi8(s[k], Load16(prev + i + 16 * k));
            Store16(row + i + 16 * k, s[k]);
        }
    }
    SwapRedBlue(row + i, n - i);
    if (Up)
        for (; i < n; ++i) row[i] = static_cast<uint8_t>(row[i] + prev[i]);
}

void UnfilterUp(uint8_t* row, const uint8_t* prev, size_t n) {
    size_t i = 0;
    for (; i + 16 <= n; i += 16) Store16(row + i, _mm_add_epi8(Load16(row + i), Load16(prev + i)));
    for (; i < n; ++i) row[i] = static_cast<uint8_t>(row[i] + prev[i]);
}
#else
void UnfilterUp(uint8_t* row, const uint8_t* prev, size_t n) {
    for (size_t i = 0; i < n; ++i) row[i] = static_cast<uint8_t>(row[i] + prev[i]);
}
#endif

// Sub, Average or Paeth for a pixel size the specialisations cover, else byte by byte.
void UnfilterByPixels(int type, uint8_t* row, const uint8_t* prev, size_t n, int bpp) {
    switch (bpp) {
    case 1: UnfilterFixed<1>(type, row, prev, n); return;
    case 2: UnfilterFixed<2>(type, row, prev, n); return;
#if defined(__SSE2__)
    case 3: UnfilterPixels<3, false>(type, row, prev, n); return;
    case 4: UnfilterPixels<4, false>(type, row, prev, n); return;
#else
    case 3: UnfilterFixed<3>(type, row, prev, n); return;
    case 4: UnfilterFixed<4>(type, row, prev, n); return;
#endif
    case 6: UnfilterFixed<6>(type, row, prev, n); return;
    case 8: UnfilterFixed<8>(type, row, prev, n); return;
    default: UnfilterBytes(type, row, prev, 0, n, static_cast<size_t>(bpp)); return;
    }
}

}  // namespace

SampleLayout LayoutFor(int colourType, int bitDepth) {
    SampleLayout l;
    l.BitDepth = bitDepth;
    const bool lowDepth = bitDepth == 1 || bitDepth == 2 || bitDepth == 4;
    switch (colourType) {
    case 0:
        if (!(lowDepth || bitDepth == 8 || bitDepth == 16)) InvalidData();
        l.Channels = 1;
        l.PixelFormat = bitDepth == 16 ? kGray16 : kIndexed8;
        l.GrayLevels = bitDepth == 16 ? 0 : 1 << bitDepth;
        break;
    case 2:
        if (bitDepth != 8 && bitDepth != 16) InvalidData();
        l.Channels = 3;
        l.PixelFormat = kBGR24;
        break;
    case 3:
        if (!(lowDepth || bitDepth == 8)) InvalidData();
        l.Channels = 1;
        l.PixelFormat = kIndexed8;
        l.Indexed = true;
        break;
    case 4:
        if (bitDepth != 8 && bitDepth != 16) InvalidData();
        l.Channels = 2;
        l.PixelFormat = bitDepth == 16 ? kGray16 : kIndexed8;
        l.GrayLevels = bitDepth == 16 ? 0 : 256;
        l.HasAlpha = true;
        break;
    case 6:
        if (bitDepth != 8 && bitDepth != 16) InvalidData();
        l.Channels = 4;
        l.PixelFormat = kBGR24;
        l.HasAlpha = true;
        break;
    default:
        InvalidData();
    }
    l.PixelSize = l.PixelFormat == kIndexed8 ? 1 : l.PixelFormat == kGray16 ? 2 : 3;
    return l;
}

int64_t RowBytes(int64_t width, int channels, int bitDepth) {
    const int64_t bits = checkedSize({width, channels, bitDepth}, std::numeric_limits<int64_t>::max() / 2);
    const int64_t bytes = (bits + 7) / 8;
    // One row must be one buffer (and one more byte for the filter type).
    if (bytes >= MaxBufferSize) throw ELinearBitmap("Invalid bitmap size");
    return bytes;
}

Pass Adam7Pass(int k, int64_t width, int64_t height) {
    static const int xStep[7] = {8, 8, 4, 4, 2, 2, 1};
    static const int xStart[7] = {0, 4, 0, 2, 0, 1, 0};
    static const int yStep[7] = {8, 8, 8, 4, 4, 2, 2};
    static const int yStart[7] = {0, 0, 4, 0, 2, 0, 1};
    const int i = k - 1;
    Pass p{xStart[i], yStart[i], xStep[i], yStep[i], 0, 0};
    p.Width = (width & ~int64_t{7}) / p.XStep + ((width & 7) + p.XStep - p.XStart - 1) / p.XStep;
    p.Height = (height & ~int64_t{7}) / p.YStep + ((height & 7) + p.YStep - p.YStart - 1) / p.YStep;
    return p;
}

void UnfilterRow(int type, uint8_t* row, const uint8_t* prev, size_t n, int bpp) {
    switch (type) {
    case FilterNone: return;
    case FilterUp: UnfilterUp(row, prev, n); return;
    case FilterSub:
    case FilterAverage:
    case FilterPaeth: UnfilterByPixels(type, row, prev, n, bpp); return;
    default: InvalidData();
    }
}

void UnfilterRowToBGR(int type, uint8_t* row, const uint8_t* prev, size_t n) {
    if (type < FilterNone || type > FilterPaeth) InvalidData();
#if defined(__SSE2__)
    switch (type) {
    case FilterNone: SwapAndAddRow<false>(row, prev, n); return;
    case FilterUp: SwapAndAddRow<true>(row, prev, n); return;
    default: UnfilterPixels<3, true>(type, row, prev, n); return;
    }
#else
    SwapRedBlue(row, n);
    UnfilterRow(type, row, prev, n, static_cast<int>(kRGBBytes));
#endif
}

void UnfilterRowPairToBGR(int upperType, uint8_t* upper, int lowerType, uint8_t* lower, const uint8_t* prev,
                          size_t n) {
#if defined(__SSE2__)
    if (upperType == FilterPaeth && lowerType == FilterPaeth) {
        UnfilterPaethPairToBGR(upper, lower, prev, n);
        return;
    }
#endif
    UnfilterRowToBGR(upperType, upper, prev, n);
    UnfilterRowToBGR(lowerType, lower, upper, n);
}

void UnpackRow(const SampleLayout& layout, const uint8_t* raw, size_t count, uint8_t* pixels, uint8_t* alpha) {
    const int depth = layout.BitDepth;
    const int channels = layout.Channels;
    if (!layout.HasAlpha) alpha = nullptr;
    if (depth < 8) {
        // Samples of 1, 2 or 4 bits, most significant first.
        const unsigned mask = (1u << depth) - 1;
        const int perByte = 8 / depth;
        size_t x = 0;
        for (size_t byte = 0; x < count; ++byte) {
            const unsigned v = raw[byte];
            for (int k = 0; k < perByte && x < count; ++k, ++x)
                pixels[x] = static_cast<uint8_t>((v >> (8 - depth * (k + 1))) & mask);
        }
        return;
    }
    if (depth == 8) {
        switch (channels) {
        case 1:
            std::memcpy(pixels, raw, count);
            return;
        case 2:
            for (size_t x = 0; x < count; ++x) pixels[x] = raw[2 * x];
            if (alpha)
                for (size_t x = 0; x < count; ++x) alpha[x] = raw[2 * x + 1];
            return;
        case 3:
            for (size_t x = 0; x < count; ++x, raw += 3, pixels += 3) {
                pixels[0] = raw[2];
                pixels[1] = raw[1];
                pixels[2] = raw[0];
            }
            return;
        case 4:
            if (alpha)
                for (size_t x = 0; x < count; ++x) alpha[x] = raw[4 * x + 3];
            for (size_t x = 0; x < count; ++x, raw += 4, pixels += 3) {
                pixels[0] = raw[2];
                pixels[1] = raw[1];
                pixels[2] = raw[0];
            }
            return;
        }
    }
    // 16 bits: big-endian samples.
    switch (channels) {
    case 1:
        for (size_t x = 0; x < count; ++x) {
            pixels[2 * x] = raw[2 * x + 1];
            pixels[2 * x + 1] = raw[2 * x];
        }
        return;
    case 2:
        for (size_t x = 0; x < count; ++x) {
            pixels[2 * x] = raw[4 * x + 1];
            pixels[2 * x + 1] = raw[4 * x];
            if (alpha) alpha[x] = raw[4 * x + 2];
        }
        return;
    case 3:
        for (size_t x = 0; x < count; ++x, raw += 6, pixels += 3) {
            pixels[0] = raw[4];
            pixels[1] = raw[2];
            pixels[2] = raw[0];
        }
        return;
    case 4:
        for (size_t x = 0; x < count; ++x, raw += 8, pixels += 3) {
            pixels[0] = raw[4];
            pixels[1] = raw[2];
            pixels[2] = raw[0];
            if (alpha) alpha[x] = raw[6];
        }
        return;
    }
}

void ScatterPixels(const uint8_t* passPixels, size_t count, int pixelSize, uint8_t* imageRow, int xStart, int xStep) {
    uint8_t* dst = imageRow + static_cast<size_t>(xStart) * pixelSize;
    const size_t stride = static_cast<size_t>(xStep) * pixelSize;
    switch (pixelSize) {
    case 1:
        for (size_t x = 0; x < count; ++x, dst += stride) dst[0] = passPixels[x];
        return;
    default:
        for (size_t x = 0; x < count; ++x, dst += stride, passPixels += pixelSize)
            std::memcpy(dst, passPixels, static_cast<size_t>(pixelSize));
        return;
    }
}

void UndoIntrapixel(uint8_t* bgr, size_t pixels) {
    for (size_t i = 0; i < pixels; ++i, bgr += 3) {
        bgr[0] = static_cast<uint8_t>(bgr[0] + bgr[1]);
        bgr[2] = static_cast<uint8_t>(bgr[2] + bgr[1]);
    }
}

void ApplyIntrapixel(uint8_t* bgr, size_t pixels) {
    for (size_t i = 0; i < pixels; ++i, bgr += 3) {
        bgr[0] = static_cast<uint8_t>(bgr[0] - bgr[1]);
        bgr[2] = static_cast<uint8_t>(bgr[2] - bgr[1]);
    }
}

void FilterRow(int type, const uint8_t* raw, const uint8_t* prev, uint8_t* out, size_t n, int bpp) {
    const size_t s = static_cast<size_t>(bpp);
    const size_t head = n < s ? n : s;
    switch (type) {
    case 0:
        std::memcpy(out, raw, n);
        return;
    case 1:
        std::memcpy(out, raw, head);
        for (size_t i = s; i < n; ++i) out[i] = static_cast<uint8_t>(raw[i] - raw[i - s]);
        return;
    case 2:
        for (size_t i = 0; i < n; ++i) out[i] = static_cast<uint8_t>(raw[i] - prev[i]);
        return;
    case 3:
        for (size_t i = 0; i < head; ++i) out[i] = static_cast<uint8_t>(raw[i] - (prev[i] >> 1));
        for (size_t i = s; i < n; ++i) out[i] = static_cast<uint8_t>(raw[i] - ((raw[i - s] + prev[i]) >> 1));
        return;
    case 4: {
        for (size_t i = 0; i < head; ++i) out[i] = static_cast<uint8_t>(raw[i] - prev[i]);
        size_t i = s;
#if defined(__SSE2__)
        // No byte depends on another's result here: eight predictions at a time.
        const __m128i zero = _mm_setzero_si128();
        for (; i + 8 <= n; i += 8) {
            const __m128i a = _mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(raw + i - s)), zero);
            const __m128i b = _mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(prev + i)), zero);
            const __m128i c = _mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(prev + i - s)), zero);
            const __m128i pred = PaethPredicted(a, b, c);
            const __m128i x = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(raw + i));
            _mm_storel_epi64(reinterpret_cast<__m128i*>(out + i), _mm_sub_epi8(x, _mm_packus_epi16(pred, pred)));
        }
#endif
        for (; i < n; ++i) out[i] = static_cast<uint8_t>(raw[i] - PaethFast(raw[i - s], prev[i], prev[i - s]));
        return;
    }
    }
    PIXMORPH_ASSERT(false, "Invalid filter type", "PNGLoader");
}

int64_t RowCost(int mode, const uint8_t* filtered, size_t n) {
    if (mode == -1) {
        // |signed byte| summed; written so that the compiler vectorises it.
        uint64_t sum = 0;
        for (size_t i = 0; i < n; ++i) {
            const int v = static_cast<int8_t>(filtered[i]);
            sum += static_cast<unsigned>(v < 0 ? -v : v);
        }
        return static_cast<int64_t>(sum);
    }
    PIXMORPH_ASSERT(mode == -2, "Invalid filter mode", "PNGLoader");
    if (n <= 4) return 0;
    // Positions where the run of equal bytes ending there is at least five long.
    int64_t count = 0;
    size_t run = 1;
    for (size_t i = 1; i < n; ++i) {
        run = filtered[i] == filtered[i - 1] ? run + 1 : 1;
        if (run >= 5) ++count;
    }
    return -count;
}

int ChooseAndFilterRow(int mode, const uint8_t* raw, const uint8_t* prev, uint8_t* out, uint8_t* scratch, size_t n,
                       int bpp) {
    if (mode >= 0) {
        FilterRow(mode, raw, prev, out, n, bpp);
        return mode;
    }
    // Type 0 is the raw row itself; types 1..4 go to scratch.
    int best = 0;
    int64_t bestCost = RowCost(mode, raw, n);
    for (int type = 1; type <= 4; ++type) {
        uint8_t* candidate = scratch + static_cast<size_t>(type - 1) * n;
        FilterRow(type, raw, prev, candidate, n, bpp);
        const int64_t cost = RowCost(mode, candidate, n);
        if (cost < bestCost) {
            bestCost = cost;
            best = type;
        }
    }
    std::memcpy(out, best == 0 ? raw : scratch + static_cast<size_t>(best - 1) * n, n);
    return best;
}

void PackRow(int pixelFormat, const uint8_t* pixels, size_t width, uint8_t* raw) {
    switch (pixelFormat) {
    case kIndexed8:
        std::memcpy(raw, pixels, width);
        return;
    case kBGR24:
        for (size_t x = 0; x < width; ++x, pixels += 3, raw += 3) {
            raw[0] = pixels[2];
            raw[1] = pixels[1];
            raw[2] = pixels[0];
        }
        return;
    case kGray16:
        for (size_t x = 0; x < width; ++x) {
            raw[2 * x] = pixels[2 * x + 1];
            raw[2 * x + 1] = pixels[2 * x];
        }
        return;
    }
    throw Exception("Unsupported pixel format");
}

namespace {

// Sorts (key, index) pairs ascending by key with the quicksort whose exact order of
// exchanges decides the new palette order (equal keys keep that order, not a stable
// one). An explicit stack instead of recursion.
void SortPaletteKeys(int key[256], int index[256]) {
    struct Range { int lo, hi; };
    Range stack[512];
    int top = 0;
    stack[top++] = {0, 255};
    while (top > 0) {
        Range r = stack[--top];
        int lo = r.lo;
        const int hi = r.hi;
        do {
            int i = lo, j = hi;
            const int pivot = key[(lo + hi) / 2];
            do {
                while (key[i] < pivot) ++i;
                while (key[j] > pivot) --j;
                if (i <= j) {
                    std::swap(key[i], key[j]);
                    std::swap(index[i], index[j]);
                    ++i;
                    --j;
                }
            } while (i <= j);
            // The left part is sorted before the right one goes on; order matters only
            // for which exchanges happen, and each range is independent, so a stack
            // that takes the left part next keeps the same result.
            if (lo < j) {
                if (i < hi) stack[top++] = {i, hi};
                stack[top++] = {lo, j};
                break;
            }
            lo = i;
        } while (lo < hi);
    }
}

int ColourDistance(const uint8_t* p, const uint8_t* q) {
    return std::abs(p[0] - q[0]) + std::abs(p[1] - q[1]) + std::abs(p[2] - q[2]);
}

int NearLosslessPalette(uint8_t* map, int64_t height, int64_t bytesPerLine, uint8_t* palette, uint32_t tolerance,
                        int32_t transparent) {
    int key[256], index[256];
    for (int i = 0; i < 256; ++i) {
        const uint8_t* e = palette + 3 * i;  // blue, green, red
        key[i] = 2 * e[2] + 3 * e[1] + e[0];
        index[i] = i;
    }
    SortPaletteKeys(key, index);
    int newIndex[256];
    for (int pos = 0; pos < 256; ++pos) newIndex[index[pos]] = pos;
    if (transparent >= 0 && transparent <= 255) {
        // The transparent entry keeps its index; the entry that sorted there takes its place.
        const int moved = index[transparent];
        newIndex[moved] = newIndex[transparent];
        newIndex[transparent] = transparent;
    }
    uint8_t reordered[768];
    for (int i = 0; i < 256; ++i) std::memcpy(reordered + 3 * newIndex[i], palette + 3 * i, 3);
    std::memcpy(palette, reordered, 768);
    uint8_t remap[256];
    for (int i = 0; i < 256; ++i) remap[i] = static_cast<uint8_t>(newIndex[i]);
    const int64_t size = bytesPerLine * height;
    for (int64_t i = 0; i < size; ++i) map[i] = remap[map[i]];

    for (int64_t y = 1; y < height; ++y) {
        uint8_t* row = map + y * bytesPerLine;
        const uint8_t* above = row - bytesPerLine;
        for (int64_t x = 1; x < bytesPerLine; ++x) {
            const int pixel = row[x];
            if (pixel == transparent) continue;
            const int p = Paeth(row[x - 1], above[x], above[x - 1]);
            if (static_cast<uint32_t>(ColourDistance(palette + 3 * p, palette + 3 * pixel)) < tolerance &&
                p != transparent)
                row[x] = static_cast<uint8_t>(p);
        }
    }
    return 4;
}

}  // namespace

int NearLossless(uint8_t* map, int64_t width, int64_t height, int64_t bytesPerLine, int pixelSize, uint8_t* palette,
                 uint32_t tolerance, int32_t transparent) {
    (void)width;
    if (palette) return NearLosslessPalette(map, height, bytesPerLine, palette, tolerance, transparent);

    const int64_t step = pixelSize;
    const int64_t t = tolerance;
    const int64_t half = (t + 1) / 2;
    const bool rgb = pixelSize == 3;
    // Truecolour transparency is red | green << 8 | blue << 16; pixels are stored blue, green, red.
    const uint8_t tBlue = static_cast<uint8_t>(transparent >> 16), tGreen = static_cast<uint8_t>(transparent >> 8),
                  tRed = static_cast<uint8_t>(transparent);
    auto isTransparentPixel = [&](const uint8_t* px) {
        return rgb ? (px[0] == tBlue && px[1] == tGreen && px[2] == tRed) : px[0] == transparent;
    };
    for (int64_t y = 1; y < height; ++y) {
        uint8_t* row = map + y * bytesPerLine;
        const uint8_t* above = row - bytesPerLine;
        bool skip = false;
        for (int64_t i = step; i < bytesPerLine; ++i) {
            uint8_t* px = row + (i - i % step);
            // Whether a pixel is the transparent colour is decided once, before any of its
            // bytes changes: a pixel whose first bytes smooth into the transparent colour's
            // must not then keep its last byte unchanged and turn transparent.
            if (i % step == 0) skip = transparent != -1 && isTransparentPixel(px);
            if (skip) continue;
            const int64_t g = (row[i - step] + above[i]) / 2;
            const int64_t f = row[i];
            int64_t v;
            if (std::abs(g - f) <= t) {
                v = g;
            } else {
                const int64_t h = ((f - g) & 255) % t;
                if (h < half) {
                    v = f - h;
                    if (v <= 0) v = 0;
                } else {
                    v = f + t - h;
                    if (v >= 255) v = 255;
                }
            }
            if (!rgb) {
                if (transparent != -1 && v == transparent) continue;
                row[i] = static_cast<uint8_t>(v);
            } else {
                row[i] = static_cast<uint8_t>(v);
                if (transparent != -1 && i % 3 == 2 && isTransparentPixel(px)) row[i] ^= 1;
            }
        }
    }
    return 3;
}

}  // namespace pngrows
