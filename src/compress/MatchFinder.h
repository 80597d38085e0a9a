#pragma once

#include <cstdint>
#include <memory>

// The compressor's LZ77 side: a 64 KiB ring window of the bytes written, and the greedy
// search for the longest earlier match at its head among the newest 64 occurrences of the
// head's first two bytes within 32,768 bytes.
//
// Instead of 64 slots per byte pair the index keeps chains of positions by their first
// three and by their first four bytes, plus each position's ordinal among its pair's
// occurrences. The match chosen is the longest among the pair's 64 newest occurrences,
// the newest of equally long ones: it is found among the candidates that share four bytes
// with the head when there is one, else it is the newest that shares three.
class TMatchFinder {
public:
    static constexpr uint32_t RingSize = 65536;

    // What the head begins: a match, or when length is below MinMatch the literal byte.
    struct TToken {
        int length;
        int distance;
        uint8_t literal;
    };

    TMatchFinder();
    // Hands the index on to the next compressor of this thread.
    ~TMatchFinder();
    TMatchFinder(const TMatchFinder&) = delete;
    TMatchFinder& operator=(const TMatchFinder&) = delete;

    // Copies up to count bytes into the window, while fewer than `capacity` bytes are
    // pending; returns how many it took.
    int64_t Append(const uint8_t* data, int64_t count, int32_t capacity);
    // Bytes in the window not yet passed.
    int32_t Pending() const { return pending_; }
    uint8_t HeadByte() const { return window_[head_]; }
    // The pending bytes that follow the head in one piece, and where they are.
    int32_t ContiguousPending() const;
    const uint8_t* HeadData() const { return window_.get() + head_; }

    // Takes the index on the first search.
    void EnsureIndex();
    // Tokens from the head, each the longest match there (the newest of equally long ones)
    // or the head's byte, while at least minPending bytes are pending, at most max of them;
    // passes what it returns. Returns how many.
    int TakeTokens(TToken* tokens, int max, int32_t minPending);
    // Passes n bytes, entering them in the index.
    void Advance(int32_t n);
    // Passes n bytes without indexing (stored blocks search nothing).
    void Skip(int32_t n);

private:
    struct TMatch {
        int length;
        int distance;
    };
    struct TIndex;
    // One index kept for the next compressor of this thread: a fresh one costs page
    // faults that would dominate compressing a short input.
    static thread_local std::unique_ptr<TIndex> spareIndex_;

    uint8_t at(int64_t position) const;
    void enter(int64_t t);
    void pass(int32_t n, bool indexed);
    TMatch search() const;
    bool tryDistanceTwo(int cap, TMatch& best) const;
    void findLongest(int cap, TMatch& best) const;
    bool tryDistanceThree(int cap, TMatch& best) const;
    void walkQuads(int cap, TMatch& best) const;
    void newestTriple(int cap, TMatch& best) const;
    bool consider(uint32_t candidate, uint64_t mask, int cap, TMatch& best) const;
    void clearIndexForNextUse();

    std::unique_ptr<uint8_t[]> window_;  // the ring, its start repeated after its end
    uint32_t head_ = 0;   // next byte to code
    uint32_t wmark_ = 0;  // where the next byte written goes
    int32_t pending_ = 0;
    int64_t totalIn_ = 0;  // bytes passed so far

    // Per position in reach, together so that one load serves a step of the search: how far
    // back the next older position with the same hash of four bytes is (FarBack when it is
    // out of reach or there is none), and the count of the position's pair when it was
    // entered.
    struct TLink {
        uint16_t quadBack;
        uint16_t ordinal;
    };

    // The index's tables, reached through the pointers. A position is where a match's
    // second byte would be: its triple ends one byte later, its four bytes two.
    std::unique_ptr<TIndex> index_;
    uint16_t* pairCount_ = nullptr;   // occurrences of each byte pair
    uint32_t* tripleHead_ = nullptr;  // per triple hash: newest position
    uint32_t* quadHead_ = nullptr;    // per hash of four bytes: newest position
    uint16_t* tripleBack_ = nullptr;  // per position in reach: as TLink::quadBack, by triple hash
    TLink* links_ = nullptr;          // per position in reach
};
