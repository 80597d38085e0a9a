#include "compress/MatchFinder.h"

#include <algorithm>
#include <cstring>

#include "compress/DeflateFormat.h"

using namespace deflate;

namespace {

constexpr uint32_t RingMask = TMatchFinder::RingSize - 1;
// The index's tables per position hold the last 32,768 positions: no candidate lies further
// back, and a position's slot is taken again only once it is out of reach.
constexpr uint32_t Reach = MaxDistance;
constexpr uint32_t ReachMask = Reach - 1;
constexpr uint32_t MirrorSize = 320;  // ring start repeated after its end, for reads past it
constexpr uint32_t PairCount = 65536;
constexpr int TripleHashBits = 15;
constexpr int QuadHashBits = 16;
constexpr int LongMatch = MinMatch + 1;  // a match of four bytes or more
constexpr int PairCandidates = 64;  // newest occurrences of a pair that are searched
constexpr uint32_t GoldenRatioMultiplier = 2654435761u;  // spreads the triple over the hash's top bits

// Pairs, triples and four bytes are taken as a little-endian load gives them: the first
// byte lowest.
uint32_t pairKey(uint32_t bytes) { return bytes & 0xFFFF; }
uint32_t tripleHash(uint32_t bytes) { return ((bytes & 0xFFFFFF) * GoldenRatioMultiplier) >> (32 - TripleHashBits); }
uint32_t quadHash(uint32_t bytes) { return (bytes * GoldenRatioMultiplier) >> (32 - QuadHashBits); }

// Common length of the bytes at a and at b, from offset `from`, at most cap. Eight bytes
// are compared whatever cap is (the window has room behind every position).
int matchLength(const uint8_t* a, const uint8_t* b, int from, int cap) {
    int len = from;
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

constexpr uint64_t TripleMask = 0xFFFFFF;
constexpr uint64_t QuadMask = 0xFFFFFFFF;

}  // namespace

// Occurrence counts are kept modulo 2^16: a candidate lies within 32,768 bytes, so fewer
// than 2^16 occurrences of its pair can follow it and the difference of two counts is
// exact. Only the two tables indexed by byte values must start zeroed; the ring table is
// written before it is read.
struct TMatchFinder::TIndex {
    std::unique_ptr<uint16_t[]> pairCount = std::make_unique<uint16_t[]>(PairCount);
    std::unique_ptr<uint32_t[]> tripleHead = std::make_unique<uint32_t[]>(size_t{1} << TripleHashBits);
    std::unique_ptr<uint32_t[]> quadHead = std::make_unique<uint32_t[]>(size_t{1} << QuadHashBits);
    std::unique_ptr<uint16_t[]> tripleBack = std::make_unique_for_overwrite<uint16_t[]>(Reach);
    std::unique_ptr<TLink[]> links = std::make_unique_for_overwrite<TLink[]>(Reach);
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
            index.pairCount[pairKey(static_cast<uint32_t>(load64(w + t - 1)))] = 0;
            if (t >= 2) index.tripleHead[tripleHash(static_cast<uint32_t>(load64(w + t - 2)))] = 0;
            if (t >= 3) index.quadHead[quadHash(static_cast<uint32_t>(load64(w + t - 3)))] = 0;
        }
    } else {
        std::memset(index.pairCount.get(), 0, PairCount * sizeof(uint16_t));
        std::memset(index.tripleHead.get(), 0, (size_t{1} << TripleHashBits) * sizeof(uint32_t));
        std::memset(index.quadHead.get(), 0, (size_t{1} << QuadHashBits) * sizeof(uint32_t));
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
    tripleHead_ = index_->tripleHead.get();
    quadHead_ = index_->quadHead.get();
    tripleBack_ = index_->tripleBack.get();
    links_ = index_->links.get();
}

inline uint8_t TMatchFinder::at(int64_t position) const { return window_[static_cast<uint32_t>(position) & RingMask]; }

namespace {

// A chain link for a position with no older one in reach: no candidate lies that far back.
constexpr uint32_t FarBack = 0xFFFF;
static_assert(FarBack >= MaxDistance);

// Puts position at the head of a chain; what it links back by.
inline uint16_t chainIn(uint32_t& newest, uint32_t position) {
    const uint32_t older = newest;
    newest = position;
    return static_cast<uint16_t>(older == 0 ? FarBack : std::min(position - older, FarBack));
}

}  // namespace

// Records the pair, the triple and the four bytes that end at position t (t >= 1), from
// one load of the four bytes (those before the first byte are not used).
inline void TMatchFinder::enter(int64_t t) {
    const uint32_t bytes = static_cast<uint32_t>(load64(window_.get() + (static_cast<uint32_t>(t - 3) & RingMask)));
    const uint16_t n = ++pairCount_[pairKey(bytes >> 16)];
    links_[static_cast<uint32_t>(t) & ReachMask].ordinal = n;
    if (t < 2) return;
    const uint32_t tripleStart = static_cast<uint32_t>(t - 1);
    tripleBack_[tripleStart & ReachMask] = chainIn(tripleHead_[tripleHash(bytes >> 8)], tripleStart);
    if (t < 3) return;
    const uint32_t quadStart = static_cast<uint32_t>(t - 2);
    links_[quadStart & ReachMask].quadBack = chainIn(quadHead_[quadHash(bytes)], quadStart);
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

// The search runs once per token: its parts are inlined here. Below four pending bytes
// every candidate is as long as the cap, and the newest wins.
inline TMatchFinder::TMatch TMatchFinder::search() const {
    const int cap = std::min<int32_t>(pending_, MaxMatch);
    TMatch best{2, 0};
    if (tryDistanceTwo(cap, best)) return best;
    if (cap < LongMatch)
        newestTriple(cap, best);
    else
        findLongest(cap, best);
    return best;
}

// The longest candidate, the newest of equally long ones, whatever order they are looked
// at in. One that matches four bytes or more shares the head's four bytes: the chain of
// those has it, except at distance three, which that chain does not hold yet. When none
// does, every candidate matches three bytes and the newest is the match.
inline void TMatchFinder::findLongest(int cap, TMatch& best) const {
    if (tryDistanceThree(cap, best)) return;
    walkQuads(cap, best);
    if (best.length < MinMatch) newestTriple(cap, best);
}

// Tries a candidate that holds the head's first bytes where mask is set, when it is not
// among the pair's oldest; true when it and every older one are out of reach. A candidate
// is taken when it is longer than the best so far.
inline bool TMatchFinder::consider(uint32_t candidate, uint64_t mask, int cap, TMatch& best) const {
    const uint8_t* const head = HeadData();
    const uint8_t* const start = window_.get() + ((candidate - 1) & RingMask);
    const uint64_t differ = load64(start) ^ load64(head);
    if ((differ & mask) != 0) return false;
    const uint16_t newest = pairCount_[pairKey(static_cast<uint32_t>(load64(head)))];
    if (static_cast<uint16_t>(newest - links_[candidate & ReachMask].ordinal) >= PairCandidates) return true;
    const int len = differ != 0 ? std::min(__builtin_ctzll(differ) >> 3, cap) : matchLength(start, head, 8, cap);
    // Chosen without a branch, which would follow no pattern. A match as long as the cap is
    // longer than the best one so far, which is always shorter.
    const bool longer = len > best.length;
    best.length = longer ? len : best.length;
    best.distance = longer ? static_cast<int>(static_cast<uint32_t>(totalIn_) - candidate) + 1 : best.distance;
    return false;
}

// The candidate three bytes back is the newest triple entered, when it was entered. True
// when it is as long as a match can be.
inline bool TMatchFinder::tryDistanceThree(int cap, TMatch& best) const {
    const uint8_t* const head = HeadData();
    const uint32_t candidate = tripleHead_[tripleHash(static_cast<uint32_t>(load64(head)))];
    if (candidate == 0 || candidate != static_cast<uint32_t>(totalIn_) - 2) return false;
    consider(candidate, TripleMask, cap, best);
    return best.length >= cap;
}

// The candidates at distance four or more that share the head's four bytes, newest first.
inline void TMatchFinder::walkQuads(int cap, TMatch& best) const {
    const uint32_t tLow = static_cast<uint32_t>(totalIn_);
    uint32_t candidate = quadHead_[quadHash(static_cast<uint32_t>(load64(HeadData())))];
    while (candidate != 0) {
        if (tLow - candidate >= MaxDistance) return;
        if (consider(candidate, QuadMask, cap, best)) return;
        if (best.length >= cap) return;
        candidate -= links_[candidate & ReachMask].quadBack;
    }
}

// The newest candidate that shares the head's triple: the match when none shares four
// bytes, or when only three are pending.
inline void TMatchFinder::newestTriple(int cap, TMatch& best) const {
    const uint8_t* const head = HeadData();
    const uint32_t tLow = static_cast<uint32_t>(totalIn_);
    uint32_t candidate = tripleHead_[tripleHash(static_cast<uint32_t>(load64(head)))];
    while (candidate != 0 && tLow - candidate < MaxDistance) {
        if (consider(candidate, TripleMask, cap, best) || best.length >= MinMatch) return;
        candidate -= tripleBack_[candidate & ReachMask];
    }
}

// The pair that ends just before head is entered only when head is passed, so the match
// two bytes back is tried on its own. True when it is as long as a match can be.
inline bool TMatchFinder::tryDistanceTwo(int cap, TMatch& best) const {
    const int64_t t = totalIn_;
    if (t < 2 || at(t - 2) != window_[head_] || at(t - 1) != window_[(head_ + 1) & RingMask]) return false;
    const int len = matchLength(window_.get() + ((head_ - 2) & RingMask), HeadData(), 2, cap);
    if (len <= best.length) return false;
    best = {len, 2};
    return len >= cap;
}
