#include "compress/MatchFinder.h"

#include <algorithm>
#include <cstring>

#include "compress/DeflateFormat.h"

using namespace deflate;

namespace {

constexpr uint32_t RingMask = TMatchFinder::RingSize - 1;
constexpr uint32_t MirrorSize = 320;  // ring start repeated after its end, for reads past it
constexpr uint32_t PairCount = 65536;
constexpr int TripleHashBits = 15;
constexpr int PairCandidates = 64;  // newest occurrences of a pair that are searched
constexpr uint32_t GoldenRatioMultiplier = 2654435761u;  // spreads the triple over the hash's top bits

uint32_t tripleHash(uint32_t a, uint32_t b, uint32_t c) {
    return ((a << 16 | b << 8 | c) * GoldenRatioMultiplier) >> (32 - TripleHashBits);
}

// Common length of the bytes at a and at b, from offset 2, at most cap. The first eight
// bytes are compared whatever cap is (the window has room behind every position).
int matchLength(const uint8_t* a, const uint8_t* b, int cap) {
    int len = 2;
    do {
        const uint64_t x = load64(a + len) ^ load64(b + len);
        if (x != 0) {
            len += __builtin_ctzll(x) >> 3;
            break;
        }
        len += 8;
    } while (len < cap);
    return std::min(len, cap);
}

}  // namespace

// Occurrence counts are kept modulo 2^16: a candidate lies within 32,768 bytes, so fewer
// than 2^16 occurrences of its pair can follow it and the difference of two counts is
// exact. Only the two tables indexed by byte values must start zeroed; the ring tables
// are written before they are read.
struct TMatchFinder::TIndex {
    std::unique_ptr<uint16_t[]> pairCount = std::make_unique<uint16_t[]>(PairCount);
    std::unique_ptr<uint16_t[]> ordinal = std::make_unique_for_overwrite<uint16_t[]>(RingSize);
    std::unique_ptr<uint32_t[]> tripleHead = std::make_unique<uint32_t[]>(size_t{1} << TripleHashBits);
    std::unique_ptr<uint32_t[]> triplePrev = std::make_unique_for_overwrite<uint32_t[]>(RingSize);
};

thread_local std::unique_ptr<TMatchFinder::TIndex> TMatchFinder::spareIndex_;

TMatchFinder::TMatchFinder() : window_(std::make_unique<uint8_t[]>(RingSize + MirrorSize)) {}  // zeroed

TMatchFinder::~TMatchFinder() {
    if (index_ && !spareIndex_) {
        clearIndexForNextUse();
        spareIndex_ = std::move(index_);
    }
}

// After a short input the window still holds every byte that was entered, so only the
// entries of those bytes are cleared.
void TMatchFinder::clearIndexForNextUse() {
    TIndex& index = *index_;
    if (totalIn_ + pending_ <= static_cast<int64_t>(RingSize)) {
        const uint8_t* w = window_.get();
        for (int64_t t = 1; t < totalIn_; ++t) {
            index.pairCount[w[t - 1] << 8 | w[t]] = 0;
            if (t >= 2) index.tripleHead[tripleHash(w[t - 2], w[t - 1], w[t])] = 0;
        }
    } else {
        std::memset(index.pairCount.get(), 0, PairCount * sizeof(uint16_t));
        std::memset(index.tripleHead.get(), 0, (size_t{1} << TripleHashBits) * sizeof(uint32_t));
    }
}

int64_t TMatchFinder::Append(const uint8_t* data, int64_t count, int32_t capacity) {
    const int64_t n = std::min<int64_t>({count, capacity - pending_, RingSize - wmark_});
    if (n <= 0) return 0;
    std::memcpy(window_.get() + wmark_, data, static_cast<size_t>(n));
    if (wmark_ < MirrorSize) {
        const uint32_t m = std::min<uint32_t>(static_cast<uint32_t>(n), MirrorSize - wmark_);
        std::memcpy(window_.get() + RingSize + wmark_, data, m);
    }
    wmark_ = (wmark_ + static_cast<uint32_t>(n)) & RingMask;
    pending_ += static_cast<int32_t>(n);
    return n;
}

int32_t TMatchFinder::ContiguousPending() const {
    return std::min<int32_t>(pending_, static_cast<int32_t>(RingSize - head_));
}

void TMatchFinder::EnsureIndex() {
    if (pairCount_) return;
    index_ = spareIndex_ ? std::move(spareIndex_) : std::make_unique<TIndex>();
    pairCount_ = index_->pairCount.get();
    ordinal_ = index_->ordinal.get();
    tripleHead_ = index_->tripleHead.get();
    triplePrev_ = index_->triplePrev.get();
}

inline uint8_t TMatchFinder::at(int64_t position) const { return window_[static_cast<uint32_t>(position) & RingMask]; }

// Records the pair that ends at position t (t >= 1) and the triple that ends there.
inline void TMatchFinder::enter(int64_t t) {
    const uint32_t p = at(t - 1), c = at(t);
    const uint16_t n = ++pairCount_[p << 8 | c];
    ordinal_[static_cast<uint32_t>(t) & RingMask] = n;
    if (t >= 2) {
        const uint32_t h = tripleHash(at(t - 2), p, c);
        const uint32_t start = static_cast<uint32_t>(t - 1);
        triplePrev_[start & RingMask] = tripleHead_[h];
        tripleHead_[h] = start;
    }
}

void TMatchFinder::Advance(int32_t n) { pass(n, true); }
void TMatchFinder::Skip(int32_t n) { pass(n, false); }

// The first byte ends no pair, so it is passed without an entry.
inline void TMatchFinder::pass(int32_t n, bool indexed) {
    if (n <= 0) return;
    if (totalIn_ == 0) {
        pending_ -= 1;
        totalIn_ += 1;
        n -= 1;
    }
    if (indexed) {
        for (int32_t i = 0; i < n; ++i) enter(totalIn_ + i);
    }
    totalIn_ += n;
    head_ = static_cast<uint32_t>(totalIn_) & RingMask;
    pending_ -= n;
}

int TMatchFinder::TakeTokens(TToken* tokens, int max, int32_t minPending) {
    int count = 0;
    while (count < max && pending_ >= minPending) {
        const TMatch match = search();
        tokens[count++] = {match.length, match.distance, HeadByte()};
        pass(match.length < MinMatch ? 1 : match.length, true);
    }
    return count;
}

// The search runs once per token: its parts are inlined here.
inline TMatchFinder::TMatch TMatchFinder::search() const {
    const int cap = std::min<int32_t>(pending_, MaxMatch);
    TMatch best{2, 0};
    if (!tryDistanceTwo(cap, best)) walkTriples(cap, best);
    return best;
}

// The pair that ends just before head is entered only when head is passed, so the match
// two bytes back is tried on its own. True when it is as long as a match can be.
inline bool TMatchFinder::tryDistanceTwo(int cap, TMatch& best) const {
    const int64_t t = totalIn_;
    if (t < 2 || at(t - 2) != window_[head_] || at(t - 1) != window_[(head_ + 1) & RingMask]) return false;
    const int len = matchLength(window_.get() + ((head_ - 2) & RingMask), HeadData(), cap);
    if (len <= best.length) return false;
    best = {len, 2};
    return len >= cap;
}

// The earlier occurrences of the head's triple, newest first, while they lie within
// reach and among the pair's newest occurrences.
inline void TMatchFinder::walkTriples(int cap, TMatch& best) const {
    const uint32_t b0 = window_[head_], b1 = window_[(head_ + 1) & RingMask], b2 = window_[(head_ + 2) & RingMask];
    const uint16_t newest = pairCount_[b0 << 8 | b1];
    const uint32_t tLow = static_cast<uint32_t>(totalIn_);
    uint32_t candidate = tripleHead_[tripleHash(b0, b1, b2)];
    while (candidate != 0) {
        const uint32_t back = tLow - candidate;  // distance - 1
        if (back >= MaxDistance) break;
        const uint32_t start = (candidate - 1) & RingMask;
        if (window_[start] == b0 && window_[candidate & RingMask] == b1 && window_[(candidate + 1) & RingMask] == b2) {
            if (static_cast<uint16_t>(newest - ordinal_[candidate & RingMask]) >= PairCandidates) break;
            const int len = matchLength(window_.get() + start, HeadData(), cap);
            if (len > best.length) {
                best = {len, static_cast<int>(back) + 1};
                if (len >= cap) return;
            }
        }
        candidate = triplePrev_[candidate & RingMask];
    }
}
