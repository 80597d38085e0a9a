#include "compress/Deflate.h"

#include <algorithm>
#include <cstring>

#include "platform/Exceptions.h"

// Decompression decodes with lookup tables derived from the same decoding trees a
// bit-by-bit walk would use, so every bit sequence decodes to the same symbol or fails
// the same way. Compression keeps, instead of 64 slots per byte pair, an exact index
// of byte triples plus each position's ordinal among its pair's occurrences; the
// search visits exactly the candidates among the pair's 64 newest occurrences that can
// match three bytes or more, in the same order, so it picks the same match.

namespace {

constexpr uint32_t RingSize = 65536;
constexpr uint32_t RingMask = RingSize - 1;
constexpr int MaxMatch = 258;
constexpr int MaxDistance = 32768;
constexpr int MaxSymbolsPerBlock = 65526;
constexpr int CodeLengthSlots = 318;  // code lengths a dynamic header may store

[[noreturn]] void raiseDataError() { throw Exception("Error in compressed data"); }
[[noreturn]] void raiseShortRead() { throw EInOutError("Read less than expected"); }

const uint8_t CodeLengthOrder[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};

struct LengthInfo {
    uint16_t base[29];
    uint8_t extra[29];
    constexpr LengthInfo() : base(), extra() {
        for (int s = 0; s < 8; ++s) base[s] = static_cast<uint16_t>(3 + s);
        for (int s = 8; s < 28; ++s) {
            const int j = (s - 8) / 4 + 1;
            extra[s] = static_cast<uint8_t>(j);
            base[s] = static_cast<uint16_t>((4 << j) + 3 + ((s - 8) % 4 << j));
        }
        base[28] = 258;
    }
};
constexpr LengthInfo Lengths;

struct DistanceInfo {
    uint16_t base[30];
    uint8_t extra[30];
    constexpr DistanceInfo() : base(), extra() {
        for (int d = 0; d < 30; ++d) {
            if (d <= 3) {
                base[d] = static_cast<uint16_t>(d + 1);
            } else {
                const int n = (d - 4) / 2 + 1;
                extra[d] = static_cast<uint8_t>(n);
                base[d] = static_cast<uint16_t>(((d & 1) << n) + (1 << (n + 1)) + 1);
            }
        }
    }
};
constexpr DistanceInfo Distances;

int bitLength(uint32_t v) { return v == 0 ? 0 : 32 - __builtin_clz(v); }

// ------------------------------------------------------------------ decode tables
// entry: bits 0-4 code bits (root bits for a subtable link), 8-10 kind,
// 12-15 extra bits (subtable bits for a link), 16-31 value.
enum Kind : uint32_t { kLiteral = 0, kLength = 1, kEnd = 2, kBadSymbol = 3, kInvalid = 4, kLink = 5, kDistance = 6 };

constexpr uint32_t entry(uint32_t bits, uint32_t kind, uint32_t extra, uint32_t value) {
    return bits | kind << 8 | extra << 12 | value << 16;
}
inline uint32_t entryBits(uint32_t e) { return e & 31; }
inline uint32_t entryKind(uint32_t e) { return (e >> 8) & 7; }
inline uint32_t entryExtra(uint32_t e) { return (e >> 12) & 15; }
inline uint32_t entryValue(uint32_t e) { return e >> 16; }

uint32_t literalEntry(uint32_t symbol, uint32_t bits) {
    if (symbol < 256) return entry(bits, kLiteral, 0, symbol);
    if (symbol == 256) return entry(bits, kEnd, 0, 0);
    if (symbol <= 285) return entry(bits, kLength, Lengths.extra[symbol - 257], Lengths.base[symbol - 257]);
    return entry(bits, kBadSymbol, 0, 0);
}
uint32_t distanceEntry(uint32_t symbol, uint32_t bits) {
    if (symbol < 30) return entry(bits, kDistance, Distances.extra[symbol], Distances.base[symbol]);
    return entry(bits, kBadSymbol, 0, 0);
}

struct DecodeTable {
    int rootBits = 0;
    std::vector<uint32_t> entries;
};

// Walks the tree exactly as a bit-by-bit decoder does (a child above LastNode fails,
// a child not above MaxSymbol is a symbol) and records where each bit sequence ends.
template <class Make>
void buildDecodeTable(const THuffmanTree& tree, int rootBits, DecodeTable& table, Make make) {
    struct Item {
        uint32_t node;
        uint32_t depth;
        uint32_t path;
    };
    table.rootBits = rootBits;
    table.entries.assign(size_t{1} << rootBits, 0);

    // Fills the entries below `base` whose low `depth` bits are `path`.
    auto fill = [&](size_t base, int bits, uint32_t path, uint32_t depth, uint32_t value) {
        for (uint32_t i = path; i < (1u << bits); i += 1u << depth) table.entries[base + i] = value;
    };
    auto isInternal = [&](uint32_t node) { return node > tree.MaxSymbol && node <= tree.LastNode; };

    // Deepest end of any bit sequence below an internal node, relative to it.
    auto subtreeDepth = [&](uint32_t start) {
        Item stack[64];
        int top = 0;
        uint32_t deepest = 0;
        stack[top++] = {start, 0, 0};
        while (top > 0) {
            const Item it = stack[--top];
            for (uint16_t child : {tree.Nodes[it.node].Child0, tree.Nodes[it.node].Child1}) {
                const uint32_t d = it.depth + 1;
                if (isInternal(child) && d < 15 && top < 62)
                    stack[top++] = {child, d, 0};
                else
                    deepest = std::max(deepest, d);
            }
        }
        return deepest;
    };

    // Fills one (sub)table of `bits` bits for the sequences that start at `start`.
    // Internal nodes found at depth `bits` get subtables when `allowLinks`.
    auto fillFrom = [&](uint32_t start, size_t base, int bits, bool allowLinks, auto& self) -> void {
        Item stack[64];
        int top = 0;
        stack[top++] = {start, 0, 0};
        while (top > 0) {
            const Item it = stack[--top];
            const uint16_t children[2] = {tree.Nodes[it.node].Child0, tree.Nodes[it.node].Child1};
            for (uint32_t bit = 0; bit < 2; ++bit) {
                const uint32_t child = children[bit];
                const uint32_t d = it.depth + 1;
                const uint32_t path = it.path | bit << it.depth;
                if (child <= tree.MaxSymbol) {
                    fill(base, bits, path, d, make(child, d));
                } else if (child > tree.LastNode) {
                    fill(base, bits, path, d, entry(d, kInvalid, 0, 0));
                } else if (d < static_cast<uint32_t>(bits)) {
                    stack[top++] = {child, d, path};
                } else if (allowLinks) {
                    const uint32_t subBits = subtreeDepth(child);
                    const size_t subBase = table.entries.size();
                    table.entries.resize(subBase + (size_t{1} << subBits), 0);
                    table.entries[base + path] = entry(d, kLink, subBits, static_cast<uint32_t>(subBase));
                    self(child, subBase, static_cast<int>(subBits), false, self);
                } else {
                    // Deeper than any code can be: no valid sequence continues here.
                    fill(base, bits, path, d, entry(d, kInvalid, 0, 0));
                }
            }
        }
    };
    fillFrom(static_cast<uint32_t>(tree.Root), 0, rootBits, true, fillFrom);
}

constexpr int LiteralRootBits = 11;
constexpr int DistanceRootBits = 8;

struct FixedTables {
    DecodeTable literal, distance;
    FixedTables() {
        auto codes = std::make_unique<THuffmanCodes>();
        auto tree = std::make_unique<THuffmanTree>();
        codes->SetCount(288);
        codes->SetFixedLiteralCodes();
        tree->BuildFromCodes(*codes);
        buildDecodeTable(*tree, LiteralRootBits, literal, literalEntry);
        codes = std::make_unique<THuffmanCodes>();
        tree = std::make_unique<THuffmanTree>();
        codes->SetCount(32);
        codes->SetFixedCodes(5);
        tree->BuildFromCodes(*codes);
        buildDecodeTable(*tree, DistanceRootBits, distance, distanceEntry);
    }
};

const FixedTables& fixedTables() {
    static const FixedTables tables;
    return tables;
}

inline uint64_t load64(const uint8_t* p) {
    uint64_t v;
    std::memcpy(&v, p, 8);
    return v;
}

}  // namespace

namespace {

// The compressor's match index. Occurrence counts are kept modulo 2^16: a candidate lies
// within 32,768 bytes, so fewer than 2^16 occurrences of its pair can follow it and the
// difference of two counts is exact. Only the two tables indexed by byte values must
// start zeroed; the ring tables are written before they are read.
struct MatchIndex {
    static constexpr int TripleHashBits = 15;
    std::unique_ptr<uint16_t[]> pairCount = std::make_unique<uint16_t[]>(65536);  // per byte pair
    std::unique_ptr<uint16_t[]> ordinal = std::make_unique_for_overwrite<uint16_t[]>(RingSize);
    std::unique_ptr<uint32_t[]> tripleHead = std::make_unique<uint32_t[]>(size_t{1} << TripleHashBits);
    std::unique_ptr<uint32_t[]> triplePrev = std::make_unique_for_overwrite<uint32_t[]>(RingSize);
};

inline uint32_t tripleHash(uint32_t a, uint32_t b, uint32_t c) {
    return ((a << 16 | b << 8 | c) * 2654435761u) >> (32 - MatchIndex::TripleHashBits);
}

// One index kept for the next compressor of this thread: a fresh one costs page faults
// that would dominate compressing a short input.
thread_local std::unique_ptr<MatchIndex> spareIndex;

}  // namespace

// ====================================================================== state

struct TDeflateStream::TState {
    bool compressing = false;
    bool finished = false;

    // ------------------------------------------------ decompression
    static constexpr int64_t InSize = 65536;
    static constexpr int64_t OutSize = 1 << 18;      // decoded bytes held: history and output
    static constexpr int64_t OutSlack = 512;         // room for a match copy's overshoot
    // A stored block and the history a direct copy to the caller may still owe the window.
    static constexpr int64_t StoredRoom = 65535 + 32768 + 8;

    std::unique_ptr<uint8_t[]> in;
    int64_t inPos = 0, inEnd = 0;
    uint64_t bitBuf = 0;
    int bitCount = 0;

    std::unique_ptr<uint8_t[]> out;
    int64_t pos = 0;   // where the next decoded byte goes
    int64_t mark = 0;  // next decoded byte to hand out
    int64_t total = 0; // bytes decoded so far
    bool inBlock = false;  // inside a Huffman-coded block
    bool lastBlock = false;
    const DecodeTable* literal = nullptr;
    const DecodeTable* distance = nullptr;
    DecodeTable dynLiteral, dynDistance;
    THuffmanTree literalTree, distanceTree;
    uint8_t tail[8] = {};
    int tailPos = 0, tailCount = 0;

    // ------------------------------------------------ compression
    static constexpr uint32_t MirrorSize = 320;  // ring start repeated after its end
    std::unique_ptr<uint8_t[]> window;
    uint32_t head = 0, wmark = 0;
    int32_t pending = 0;
    int64_t totalIn = 0;
    bool finalBlock = false, flushRequested = false, blockOpen = false;
    THuffmanCodes literalCodes, distanceCodes;
    struct TSymbol {
        uint16_t value;
        int16_t kind;  // -1 literal/length symbol, -2 distance symbol, 1..13 extra bits
    };
    std::unique_ptr<TSymbol[]> symbols;  // allocated with the first dynamic block
    int32_t symbolCount = 0;
    // Match index, taken on the first search (its tables are reached through the pointers).
    std::unique_ptr<MatchIndex> index;
    uint16_t* pairCount = nullptr;   // occurrences of each byte pair
    uint16_t* ordinal = nullptr;     // per ring position: its pair's count then
    uint32_t* tripleHead = nullptr;  // per triple hash: newest position
    uint32_t* triplePrev = nullptr;  // per ring position: older one, same hash
    std::vector<uint8_t> outBuf;
    uint64_t bitAcc = 0;
    int bitN = 0;
};

// ====================================================================== construction

TDeflateStream::TDeflateStream(TBaseStream* stream, int32_t mode) : THuffmanBitStream(stream), state_(std::make_unique<TState>()) {
    bool compress;
    if (mode == -1) {
        PIXMORPH_ASSERT(stream->CanWrite || stream->CanRead, "Assertion failure", "Deflate");
        compress = stream->CanWrite;
    } else {
        PIXMORPH_ASSERT((mode == 1 && stream->CanWrite) || (mode == 0 && stream->CanRead), "Assertion failure",
                        "Deflate");
        compress = mode == 1;
    }
    TState& s = *state_;
    s.compressing = compress;
    s.literalCodes.SetCount(288);
    s.distanceCodes.SetCount(32);
    if (compress) {
        CanWrite = true;
        s.window = std::make_unique<uint8_t[]>(RingSize + TState::MirrorSize);  // zeroed
        s.outBuf.reserve(1 << 16);
    } else {
        CanRead = true;
        s.literalTree.SetCount(288);
        s.distanceTree.SetCount(32);
    }
}

TDeflateStream::~TDeflateStream() {
    TState& s = *state_;
    if (s.compressing && !s.finished) {
        try {
            Finish();
        } catch (...) {
            // A destructor cannot report; writers call Finish() themselves.
        }
    }
    if (s.index && !spareIndex) {
        // Hand the index on clean. After a short input the window still holds every byte
        // that was entered, so only the entries of those bytes are cleared.
        MatchIndex& index = *s.index;
        if (s.totalIn + s.pending <= static_cast<int64_t>(RingSize)) {
            const uint8_t* w = s.window.get();
            for (int64_t t = 1; t < s.totalIn; ++t) {
                index.pairCount[w[t - 1] << 8 | w[t]] = 0;
                if (t >= 2) index.tripleHead[tripleHash(w[t - 2], w[t - 1], w[t])] = 0;
            }
        } else {
            std::memset(index.pairCount.get(), 0, 65536 * sizeof(uint16_t));
            std::memset(index.tripleHead.get(), 0, (size_t{1} << MatchIndex::TripleHashBits) * sizeof(uint32_t));
        }
        spareIndex = std::move(s.index);
    }
}

bool TDeflateStream::Finished() const { return state_->finished; }

int64_t TDeflateStream::Available() {
    TState& s = *state_;
    if (s.compressing) return Inner->Available() + s.pending;
    const int64_t pendingOut = s.pos - s.mark;
    if (s.finished) return pendingOut;
    const int64_t inner = Inner->Available();
    return pendingOut + (s.inEnd - s.inPos) + s.bitCount / 8 + (inner > 0 ? inner : 0);
}

// ====================================================================== decompression

namespace {

struct Inflater {
    TDeflateStream& self;
    TDeflateStream::TState& s;
    TBaseStream* inner;
    // Where the caller wants its next bytes; a stored block may be copied there directly.
    uint8_t* direct = nullptr;
    int64_t directWant = 0;
    int64_t directDone = 0;
    // Bytes given straight to the caller in this read whose copy the window still owes.
    const uint8_t* histEnd = nullptr;
    int64_t histLen = 0;

    // Appends the owed history to the window; every match can then reach its source.
    void flushHistory() {
        if (histLen == 0) return;
        const int64_t h = std::min<int64_t>(histLen, MaxDistance);
        std::memcpy(s.out.get() + s.pos, histEnd - h, static_cast<size_t>(h));
        s.pos += h;
        s.mark = s.pos;
        histLen = 0;
        histEnd = nullptr;
    }

    // Moves buffered input bytes into the bit buffer (up to 56 bits or more).
    void topUp() {
        if (s.inEnd - s.inPos >= 8) {
            s.bitBuf |= load64(s.in.get() + s.inPos) << s.bitCount;
            s.inPos += (63 - s.bitCount) >> 3;
            s.bitCount |= 56;
            return;
        }
        s.bitBuf &= s.bitCount == 0 ? 0 : (~uint64_t{0} >> (64 - s.bitCount));
        while (s.bitCount <= 56 && s.inPos < s.inEnd) {
            s.bitBuf |= uint64_t{s.in[s.inPos++]} << s.bitCount;
            s.bitCount += 8;
        }
    }

    // Takes more input from the wrapped stream: what it says is available, or one byte
    // when `force` and it says nothing. False when nothing came.
    bool fetch(bool force) {
        if (s.inPos < s.inEnd) return true;
        int64_t want = inner->Available();
        if (want <= 0) {
            if (!force) return false;
            want = 1;
        }
        if (!s.in) s.in = std::make_unique_for_overwrite<uint8_t[]>(TDeflateStream::TState::InSize);
        want = std::min(want, TDeflateStream::TState::InSize);
        const int64_t n = inner->Read(s.in.get(), want);
        s.inPos = 0;
        s.inEnd = n > 0 ? n : 0;
        return s.inEnd > 0;
    }

    // Bits for the next steps, without forcing a read the data may not need.
    void refill() {
        if (s.bitCount >= 48) return;
        topUp();
        if (s.bitCount < 48 && s.inPos == s.inEnd && fetch(false)) topUp();
    }

    // At least n bits, reading as much as needed; the data ending first is an error.
    void need(int n) {
        while (s.bitCount < n) {
            if (s.inPos == s.inEnd && !fetch(true)) raiseDataError();
            topUp();
        }
    }

    uint32_t bits(int n) {
        need(n);
        const uint32_t v = static_cast<uint32_t>(s.bitBuf & ((uint64_t{1} << n) - 1));
        s.bitBuf >>= n;
        s.bitCount -= n;
        return v;
    }

    // One symbol through a table; follows a subtable link.
    uint32_t decode(const DecodeTable& t) {
        for (;;) {
            if (s.bitCount < 15) refill();
            uint32_t e = t.entries[s.bitBuf & ((1u << t.rootBits) - 1)];
            uint32_t used = entryBits(e);
            if (entryKind(e) == kLink) {
                const uint32_t sub = entryExtra(e);
                const uint32_t e2 = t.entries[entryValue(e) + ((s.bitBuf >> t.rootBits) & ((1u << sub) - 1))];
                used += entryBits(e2);
                e = e2;
            }
            if (used <= static_cast<uint32_t>(s.bitCount)) {
                s.bitBuf >>= used;
                s.bitCount -= static_cast<int>(used);
                return e;
            }
            if (s.inPos == s.inEnd && !fetch(true)) raiseDataError();
            topUp();
        }
    }

    // Bit-by-bit walk, for the small code-length tree.
    uint32_t walk(const THuffmanTree& tree) {
        uint32_t node = static_cast<uint32_t>(tree.Root);
        for (;;) {
            if (node > tree.LastNode) RaiseInvalidHuffmanCode();
            node = bits(1) ? tree.Nodes[node].Child1 : tree.Nodes[node].Child0;
            if (node <= tree.MaxSymbol) return node;
        }
    }

    // Whole bytes after the bit buffer is aligned: from the bit buffer, the input
    // buffer, then the wrapped stream (exactly the bytes asked for).
    void takeBytes(uint8_t* dst, int64_t n) {
        while (n > 0 && s.bitCount >= 8) {
            *dst++ = static_cast<uint8_t>(s.bitBuf);
            s.bitBuf >>= 8;
            s.bitCount -= 8;
            --n;
        }
        if (n > 0) {
            s.bitBuf = 0;  // drop look-ahead copies of bytes about to be taken directly
            s.bitCount = 0;
        }
        const int64_t buffered = std::min(n, s.inEnd - s.inPos);
        if (buffered > 0) {
            std::memcpy(dst, s.in.get() + s.inPos, static_cast<size_t>(buffered));
            s.inPos += buffered;
            dst += buffered;
            n -= buffered;
        }
        if (n > 0) {
            const int64_t got = inner->Read(dst, n);
            if (got < n) raiseDataError();
        }
    }

    void alignToByte() {
        const int drop = s.bitCount & 7;
        s.bitBuf >>= drop;
        s.bitCount -= drop;
        s.bitBuf &= s.bitCount == 0 ? 0 : (~uint64_t{0} >> (64 - s.bitCount));
    }

    void finish() {
        s.finished = true;
        s.inBlock = false;
        alignToByte();
        s.tailCount = 0;
        while (s.bitCount >= 8) {
            s.tail[s.tailCount++] = static_cast<uint8_t>(s.bitBuf);
            s.bitBuf >>= 8;
            s.bitCount -= 8;
        }
        s.tailPos = 0;
        s.bitBuf = 0;
        s.bitCount = 0;
    }

    void readDynamicHeader() {
        const uint32_t hlit = bits(5) + 257;
        const uint32_t hdist = bits(5) + 1;
        const uint32_t hclen = bits(4) + 4;
        uint8_t codeLengthLengths[19] = {};
        for (uint32_t i = 0; i < hclen; ++i) codeLengthLengths[CodeLengthOrder[i]] = static_cast<uint8_t>(bits(3));
        auto codeLengthTree = std::make_unique<THuffmanTree>();
        codeLengthTree->SetCount(19);
        codeLengthTree->BuildFromLengths(codeLengthLengths, 7);

        const uint32_t count = hlit + hdist;
        if (count > CodeLengthSlots) raiseDataError();
        uint8_t lengths[CodeLengthSlots + 40] = {};
        uint32_t i = 0;
        while (i < count) {
            const uint32_t symbol = walk(*codeLengthTree);
            if (symbol < 16) {
                lengths[i++] = static_cast<uint8_t>(symbol);
                continue;
            }
            uint32_t repeat;
            uint8_t value = 0;
            if (symbol == 16) {
                if (i == 0) raiseDataError();  // nothing to repeat
                value = lengths[i - 1];
                repeat = 3 + bits(2);
            } else if (symbol == 17) {
                repeat = 3 + bits(3);
            } else if (symbol == 18) {
                repeat = 11 + bits(7);
            } else {
                raiseDataError();
            }
            if (i + repeat > count) raiseDataError();
            std::memset(lengths + i, value, repeat);
            i += repeat;
        }
        s.distanceTree.BuildFromLengths(lengths + hlit, 15);
        std::memset(lengths + hlit, 0, 33);
        s.literalTree.BuildFromLengths(lengths, 15);
        buildDecodeTable(s.literalTree, LiteralRootBits, s.dynLiteral, literalEntry);
        buildDecodeTable(s.distanceTree, DistanceRootBits, s.dynDistance, distanceEntry);
        s.literal = &s.dynLiteral;
        s.distance = &s.dynDistance;
    }

    // A block header; false when the data ended with the previous block.
    void readHeader() {
        s.lastBlock = bits(1) != 0;
        const uint32_t type = bits(2);
        if (type == 0) {
            alignToByte();
            uint8_t sizes[4];
            takeBytes(sizes, 4);
            const uint32_t len = sizes[0] | sizes[1] << 8;
            const uint32_t nlen = sizes[2] | sizes[3] << 8;
            if (nlen != (~len & 0xFFFF)) raiseDataError();
            if (direct && s.pos == s.mark && len > 0) {
                // Nothing is waiting to be handed out: the caller's part goes straight to
                // the caller. The window gets its last 32 KiB as history only when it is
                // needed again or the read ends (flushHistory).
                const int64_t n = std::min<int64_t>(len, directWant);
                takeBytes(direct, n);
                histLen = histEnd == direct ? histLen + n : n;
                histEnd = direct + n;
                s.total += n;
                directDone = n;
                direct = nullptr;
                if (n < len) {
                    flushHistory();
                    takeBytes(s.out.get() + s.pos, len - n);
                    s.pos += len - n;
                    s.total += len - n;
                }
            } else {
                flushHistory();
                takeBytes(s.out.get() + s.pos, len);
                s.pos += len;
                s.total += len;
            }
            if (s.lastBlock) finish();
        } else if (type == 1) {
            flushHistory();
            s.literal = &fixedTables().literal;
            s.distance = &fixedTables().distance;
            s.inBlock = true;
        } else if (type == 2) {
            flushHistory();
            readDynamicHeader();
            s.inBlock = true;
        } else {
            raiseDataError();
        }
    }

    // Decodes until `want` bytes have come out, the data ends, or the buffer needs
    // handing out and sliding first.
    static void copyMatch(uint8_t* dst, uint32_t dist, uint32_t length) {
        const uint8_t* src = dst - dist;
        uint8_t* const end = dst + length;
        if (dist >= 8) {
            do {
                std::memcpy(dst, src, 8);
                dst += 8;
                src += 8;
            } while (dst < end);
        } else if (dist == 1) {
            std::memset(dst, *src, length);
        } else {
            while (dst < end) *dst++ = *src++;
        }
    }

    [[noreturn]] static void raiseFor(uint32_t kind) {
        if (kind == kInvalid) RaiseInvalidHuffmanCode();
        raiseDataError();
    }

    // The hot loop: while at least 8 input bytes are buffered, every symbol with its extra
    // bits fits in the 56 or more bits one refill gives, so no input checks are needed.
    // Returns when `end` is reached, input runs low, or the block ends.
    void fastSymbols(const DecodeTable& lt, const DecodeTable& dt, int64_t end) {
        uint8_t* const out = s.out.get();
        const uint8_t* const in = s.in.get();
        const uint32_t* const lent = lt.entries.data();
        const uint32_t* const dent = dt.entries.data();
        const uint64_t lmask = (uint64_t{1} << lt.rootBits) - 1;
        const uint64_t dmask = (uint64_t{1} << dt.rootBits) - 1;
        int64_t pos = s.pos, ip = s.inPos;
        const int64_t ie = s.inEnd;
        const int64_t totalBase = s.total - s.pos;  // total = totalBase + pos
        uint64_t bb = s.bitBuf;
        int bc = s.bitCount;
        auto flushState = [&] {
            s.pos = pos;
            s.inPos = ip;
            s.bitBuf = bb;
            s.bitCount = bc;
            s.total = totalBase + pos;
        };
        while (pos < end) {
            if (bc < 48) {
                if (ie - ip < 8) break;
                bb |= load64(in + ip) << bc;
                ip += (63 - bc) >> 3;
                bc |= 56;
            }
            // A link's own bit count is the root width, so it is consumed like a code.
            uint32_t e = lent[bb & lmask];
            bb >>= entryBits(e);
            bc -= static_cast<int>(entryBits(e));
            if (entryKind(e) == kLiteral) {
                out[pos++] = static_cast<uint8_t>(entryValue(e));
                continue;
            }
            if (entryKind(e) == kLink) {
                e = lent[entryValue(e) + (bb & ((uint64_t{1} << entryExtra(e)) - 1))];
                bb >>= entryBits(e);
                bc -= static_cast<int>(entryBits(e));
                if (entryKind(e) == kLiteral) {
                    out[pos++] = static_cast<uint8_t>(entryValue(e));
                    continue;
                }
            }
            const uint32_t kind = entryKind(e);
            if (kind != kLength) {
                flushState();
                if (kind == kEnd) {
                    s.inBlock = false;
                    if (s.lastBlock) finish();
                    return;
                }
                raiseFor(kind);
            }
            const uint32_t extra = entryExtra(e);
            const uint32_t length = entryValue(e) + static_cast<uint32_t>(bb & ((uint64_t{1} << extra) - 1));
            bb >>= extra;
            bc -= static_cast<int>(extra);
            uint32_t d = dent[bb & dmask];
            bb >>= entryBits(d);
            bc -= static_cast<int>(entryBits(d));
            if (entryKind(d) == kLink) {
                d = dent[entryValue(d) + (bb & ((uint64_t{1} << entryExtra(d)) - 1))];
                bb >>= entryBits(d);
                bc -= static_cast<int>(entryBits(d));
            }
            if (entryKind(d) != kDistance) {
                flushState();
                raiseFor(entryKind(d));
            }
            const uint32_t dextra = entryExtra(d);
            const uint32_t dist = entryValue(d) + static_cast<uint32_t>(bb & ((uint64_t{1} << dextra) - 1));
            bb >>= dextra;
            bc -= static_cast<int>(dextra);
            if (dist > totalBase + pos) {
                flushState();
                raiseDataError();  // before the first byte
            }
            copyMatch(out + pos, dist, length);
            pos += length;
        }
        flushState();
    }

    // One symbol with every input check, for the ends of the input.
    void slowSymbol(const DecodeTable& lt, const DecodeTable& dt) {
        uint8_t* const out = s.out.get();
        refill();
        const uint32_t e = decode(lt);
        const uint32_t kind = entryKind(e);
        if (kind == kLiteral) {
            out[s.pos++] = static_cast<uint8_t>(entryValue(e));
            ++s.total;
            return;
        }
        if (kind == kEnd) {
            s.inBlock = false;
            if (s.lastBlock) finish();
            return;
        }
        if (kind != kLength) raiseFor(kind);
        const uint32_t extra = entryExtra(e);
        const uint32_t length = entryValue(e) + (extra ? bits(static_cast<int>(extra)) : 0);
        const uint32_t d = decode(dt);
        if (entryKind(d) != kDistance) raiseFor(entryKind(d));
        const uint32_t dextra = entryExtra(d);
        const uint32_t dist = entryValue(d) + (dextra ? bits(static_cast<int>(dextra)) : 0);
        if (dist > s.total) raiseDataError();  // before the first byte
        copyMatch(out + s.pos, dist, length);
        s.pos += length;
        s.total += length;
    }

    // Decodes until `want` bytes have come out, the data ends, or the buffer needs
    // handing out and sliding first. Symbols are decoded only while bytes are wanted, so
    // damage after the wanted bytes is not seen before they are asked for.
    void run(int64_t want) {
        using St = TDeflateStream::TState;
        const int64_t start = s.pos;
        const int64_t wantEnd = start + want;
        const int64_t roomEnd = St::OutSize - MaxMatch;  // matches may overshoot into the slack
        while (s.pos < wantEnd && !s.finished) {
            if (!s.inBlock) {
                if (s.pos + St::StoredRoom > St::OutSize) return;
                readHeader();
                if (directDone > 0) return;  // the caller's count has changed
                continue;
            }
            if (s.pos > roomEnd) return;
            fastSymbols(*s.literal, *s.distance, std::min(wantEnd, roomEnd + 1));
            if (!s.inBlock || s.pos >= wantEnd || s.pos > roomEnd) continue;
            slowSymbol(*s.literal, *s.distance);
        }
    }
};

}  // namespace

int64_t TDeflateStream::Read(void* buffer, int64_t count) {
    CanWrite = false;
    TState& s = *state_;
    if (s.compressing) {
        // A compressing stream has nothing to read; it is not written any more either.
        if (StrictRead && count > 0) raiseShortRead();
        return 0;
    }
    if (!s.out) {
        s.out = std::make_unique_for_overwrite<uint8_t[]>(TState::OutSize + TState::OutSlack);
    }
    Inflater inf{*this, s, Inner};
    // The history owed for direct copies is settled on every way out, errors included,
    // while the caller's buffer still holds it.
    struct Settle {
        Inflater& inf;
        ~Settle() { inf.flushHistory(); }
    } settle{inf};
    auto* dst = static_cast<uint8_t*>(buffer);
    int64_t delivered = 0;
    while (delivered < count) {
        const int64_t ready = s.pos - s.mark;
        if (ready > 0) {
            const int64_t n = std::min(ready, count - delivered);
            std::memcpy(dst + delivered, s.out.get() + s.mark, static_cast<size_t>(n));
            s.mark += n;
            delivered += n;
            continue;
        }
        if (s.finished) {
            if (StrictRead) raiseShortRead();
            return delivered;
        }
        // Everything decoded has been handed out: keep only the history a match may reach.
        if (s.pos > TState::OutSize - TState::StoredRoom - MaxMatch) {
            const int64_t keep = std::min<int64_t>(s.pos, MaxDistance);
            std::memmove(s.out.get(), s.out.get() + s.pos - keep, static_cast<size_t>(keep));
            s.pos = s.mark = keep;
        }
        inf.direct = dst + delivered;
        inf.directWant = count - delivered;
        inf.directDone = 0;
        inf.run(count - delivered);
        delivered += inf.directDone;
        inf.direct = nullptr;
    }
    return delivered;
}

void TDeflateStream::StopDecoding() {
    TState& s = *state_;
    if (s.compressing || s.finished) return;
    Inflater inf{*this, s, Inner};
    inf.finish();
}

int64_t TDeflateStream::UnusedInputCount() const {
    const TState& s = *state_;
    if (!s.finished || s.compressing) return 0;
    return (s.tailCount - s.tailPos) + (s.inEnd - s.inPos);
}

int64_t TDeflateStream::ReadAfterEnd(void* buffer, int64_t count) {
    TState& s = *state_;
    PIXMORPH_ASSERT(s.finished && !s.compressing, "Assertion failure", "Deflate");
    auto* dst = static_cast<uint8_t*>(buffer);
    int64_t done = 0;
    while (done < count && s.tailPos < s.tailCount) dst[done++] = s.tail[s.tailPos++];
    const int64_t buffered = std::min(count - done, s.inEnd - s.inPos);
    if (buffered > 0) {
        std::memcpy(dst + done, s.in.get() + s.inPos, static_cast<size_t>(buffered));
        s.inPos += buffered;
        done += buffered;
    }
    if (done < count) {
        const int64_t n = Inner->Read(dst + done, count - done);
        if (n > 0) done += n;
    }
    if (done < count && StrictRead) raiseShortRead();
    return done;
}

// ====================================================================== compression

namespace {

struct Deflater {
    TDeflateStream& self;
    TDeflateStream::TState& s;
    TBaseStream* inner;

    // ---------------------------------------------------------------- bit output
    void writeOut() {
        if (s.outBuf.empty()) return;
        const int64_t n = inner->Write(s.outBuf.data(), static_cast<int64_t>(s.outBuf.size()));
        if (n < static_cast<int64_t>(s.outBuf.size())) {
            s.outBuf.erase(s.outBuf.begin(), s.outBuf.begin() + std::max<int64_t>(n, 0));
            raiseShortRead();
        }
        s.outBuf.clear();
    }
    void putBits(uint32_t value, int n) {
        s.bitAcc |= uint64_t{value & (n == 32 ? 0xFFFFFFFFu : ((1u << n) - 1))} << s.bitN;
        s.bitN += n;
        if (s.bitN >= 32) {
            const uint8_t b[4] = {static_cast<uint8_t>(s.bitAcc), static_cast<uint8_t>(s.bitAcc >> 8),
                                  static_cast<uint8_t>(s.bitAcc >> 16), static_cast<uint8_t>(s.bitAcc >> 24)};
            s.outBuf.insert(s.outBuf.end(), b, b + 4);
            s.bitAcc >>= 32;
            s.bitN -= 32;
            if (s.outBuf.size() >= (1 << 16)) writeOut();
        }
    }
    // Complete bytes to the buffer; a partial byte stays.
    void drainBytes() {
        while (s.bitN >= 8) {
            s.outBuf.push_back(static_cast<uint8_t>(s.bitAcc));
            s.bitAcc >>= 8;
            s.bitN -= 8;
        }
    }
    // The bit stream's Flush: the partial byte goes out with zero high bits.
    void alignOutput() {
        drainBytes();
        if (s.bitN > 0) {
            s.outBuf.push_back(static_cast<uint8_t>(s.bitAcc));
            s.bitAcc = 0;
            s.bitN = 0;
        }
    }
    void putBytes(const uint8_t* p, size_t n) {
        s.outBuf.insert(s.outBuf.end(), p, p + n);
        if (s.outBuf.size() >= (1 << 16)) writeOut();
    }

    uint8_t at(int64_t position) const { return s.window[static_cast<uint32_t>(position) & RingMask]; }

    // ---------------------------------------------------------------- match index
    void ensureIndex() {
        if (s.pairCount) return;
        s.index = spareIndex ? std::move(spareIndex) : std::make_unique<MatchIndex>();
        s.pairCount = s.index->pairCount.get();
        s.ordinal = s.index->ordinal.get();
        s.tripleHead = s.index->tripleHead.get();
        s.triplePrev = s.index->triplePrev.get();
    }

    // Records the pair that ends at position t (t >= 1) and the triple that ends there.
    void enter(int64_t t) {
        const uint32_t p = at(t - 1), c = at(t);
        const uint16_t n = ++s.pairCount[p << 8 | c];
        s.ordinal[static_cast<uint32_t>(t) & RingMask] = n;
        if (t >= 2) {
            const uint32_t h = tripleHash(at(t - 2), p, c);
            const uint32_t sPos = static_cast<uint32_t>(t - 1);
            s.triplePrev[sPos & RingMask] = s.tripleHead[h];
            s.tripleHead[h] = sPos;
        }
    }

    void advance(int32_t n) {
        if (n <= 0) return;
        if (s.totalIn == 0) {
            s.pending -= 1;
            s.totalIn += 1;
            n -= 1;
        }
        if (self.BlockType != TDeflateStream::btStored) {
            for (int32_t i = 0; i < n; ++i) enter(s.totalIn + i);
        }
        s.totalIn += n;
        s.head = static_cast<uint32_t>(s.totalIn) & RingMask;
        s.pending -= n;
    }

    // Common length of the bytes at `from` and at head, from offset 2, at most cap.
    int matchLength(uint32_t from, int cap) const {
        const uint8_t* a = s.window.get() + from;
        const uint8_t* b = s.window.get() + s.head;
        int len = 2;
        while (len < cap) {
            const uint64_t x = load64(a + len) ^ load64(b + len);
            if (x != 0) {
                len += __builtin_ctzll(x) >> 3;
                break;
            }
            len += 8;
        }
        return std::min(len, cap);
    }

    // The longest match at head among the newest 64 occurrences of its first two bytes
    // within 32,768 bytes; the newest of equally long ones. bestLength < 3: none.
    void search(int& bestLength, int& bestDistance) {
        const int64_t t = s.totalIn;
        const uint32_t h = s.head;
        const int cap = std::min<int32_t>(s.pending, MaxMatch);
        const uint32_t b0 = s.window[h], b1 = s.window[(h + 1) & RingMask], b2 = s.window[(h + 2) & RingMask];
        bestLength = 2;
        bestDistance = 0;
        // The pair that ends just before head is entered only when head is passed.
        if (t >= 2 && at(t - 2) == b0 && at(t - 1) == b1) {
            const int len = matchLength((h - 2) & RingMask, cap);
            if (len > bestLength) {
                bestLength = len;
                bestDistance = 2;
                if (len >= cap) return;
            }
        }
        const uint16_t newest = s.pairCount[b0 << 8 | b1];
        const uint32_t tLow = static_cast<uint32_t>(t);
        uint32_t candidate = s.tripleHead[tripleHash(b0, b1, b2)];
        while (candidate != 0) {
            const uint32_t back = tLow - candidate;  // distance - 1
            if (back >= MaxDistance) break;
            const uint32_t start = (candidate - 1) & RingMask;
            if (s.window[start] == b0 && s.window[candidate & RingMask] == b1 &&
                s.window[(candidate + 1) & RingMask] == b2) {
                if (static_cast<uint16_t>(newest - s.ordinal[candidate & RingMask]) >= 64) break;  // older than the pair's 64 newest
                const int len = matchLength(start, cap);
                if (len > bestLength) {
                    bestLength = len;
                    bestDistance = static_cast<int>(back) + 1;
                    if (len >= cap) return;
                }
            }
            candidate = s.triplePrev[candidate & RingMask];
        }
    }

    static void lengthSymbol(int length, uint32_t& symbol, uint32_t& extra, int& extraBits) {
        if (length <= 10) {
            symbol = static_cast<uint32_t>(254 + length);
            extraBits = 0;
            extra = 0;
        } else if (length == 258) {
            symbol = 285;
            extraBits = 0;
            extra = 0;
        } else {
            const int j = bitLength(static_cast<uint32_t>(length - 3) >> 3);
            const int base = (4 << j) + 3;
            symbol = static_cast<uint32_t>(((length - base) >> j) + 4 * j + 261);
            extra = static_cast<uint32_t>((length - base) & ((1 << j) - 1));
            extraBits = j;
        }
    }
    static void distanceSymbol(int distance, uint32_t& symbol, uint32_t& extra, int& extraBits) {
        const uint32_t d = static_cast<uint32_t>(distance - 1);
        if (d <= 3) {
            symbol = d;
            extra = 0;
            extraBits = 0;
        } else {
            const int j = bitLength(d >> 2);
            symbol = static_cast<uint32_t>(2 * j + 2) + ((d >> j) & 1);
            extra = d & ((1u << j) - 1);
            extraBits = j;
        }
    }

    // ---------------------------------------------------------------- dynamic blocks
    void append(uint32_t value, int kind) {
        s.symbols[s.symbolCount++] = {static_cast<uint16_t>(value), static_cast<int16_t>(kind)};
    }
    void appendMatch(int length, int distance) {
        uint32_t symbol, extra;
        int extraBits;
        lengthSymbol(length, symbol, extra, extraBits);
        append(symbol, -1);
        if (extraBits) append(extra, extraBits);
        distanceSymbol(distance, symbol, extra, extraBits);
        append(symbol, -2);
        if (extraBits) append(extra, extraBits);
    }

    void compressDynamic() {
        if (!s.blockOpen) {
            if (!s.symbols) s.symbols = std::make_unique_for_overwrite<TDeflateStream::TState::TSymbol[]>(65537 + 8);
            s.symbolCount = 0;
            s.blockOpen = true;
        }
        if (s.pending > 0) ensureIndex();
        while (s.blockOpen && (s.pending >= MaxMatch || (s.flushRequested && s.pending >= 3))) {
            int best, distance;
            search(best, distance);
            if (best < 3) {
                append(s.window[s.head], -1);
                advance(1);
            } else {
                appendMatch(best, distance);
                advance(best);
            }
            if (s.symbolCount > MaxSymbolsPerBlock) writeDynamicBlock();
        }
        if (s.flushRequested) {
            while (s.pending > 0) {
                append(s.window[s.head], -1);
                advance(1);
            }
            writeDynamicBlock();
        }
    }

    void writeDynamicBlock() {
        const bool last = s.pending == 0 && s.finalBlock;
        if (last) s.finalBlock = false;
        putBits(last ? 1 : 0, 1);
        putBits(2, 2);
        append(256, -1);

        uint32_t literalCounts[288] = {};
        uint32_t distanceCounts[32] = {};
        for (int32_t i = 0; i < s.symbolCount; ++i) {
            const auto& e = s.symbols[i];
            if (e.kind == -1)
                ++literalCounts[e.value];
            else if (e.kind == -2)
                ++distanceCounts[e.value];
        }
        s.literalCodes.BuildFromFrequencies(literalCounts, 15);
        s.distanceCodes.BuildFromFrequencies(distanceCounts, 15);

        int hlit = 257;
        for (int i = 285; i >= 1; --i)
            if (s.literalCodes.Entries[i].Length != 0) {
                hlit = std::max(hlit, i + 1);
                break;
            }
        int hdist = 1;
        for (int i = 29; i >= 1; --i)
            if (s.distanceCodes.Entries[i].Length != 0) {
                hdist = i + 1;
                break;
            }

        // Run-length code the code lengths.
        uint8_t sequence[320];
        for (int i = 0; i < hlit; ++i) sequence[i] = static_cast<uint8_t>(s.literalCodes.Entries[i].Length);
        for (int i = 0; i < hdist; ++i) sequence[hlit + i] = static_cast<uint8_t>(s.distanceCodes.Entries[i].Length);
        const int total = hlit + hdist;
        struct Item {
            uint8_t symbol, extra;
        };
        Item items[320];
        int itemCount = 0;
        uint32_t clCounts[19] = {};
        auto emit = [&](int symbol, int extra) {
            items[itemCount++] = {static_cast<uint8_t>(symbol), static_cast<uint8_t>(extra)};
            ++clCounts[symbol];
        };
        for (int i = 0; i < total;) {
            const uint8_t v = sequence[i];
            int n = 1;
            while (i + n < total && sequence[i + n] == v) ++n;
            i += n;
            if (v != 0) {
                emit(v, 0);
                --n;
                while (n >= 3) {
                    const int k = std::min(n, 6);
                    emit(16, k - 3);
                    n -= k;
                }
            } else {
                while (n >= 3) {
                    if (n <= 10) {
                        emit(17, n - 3);
                        n = 0;
                    } else {
                        const int k = std::min(n, 138);
                        emit(18, k - 11);
                        n -= k;
                    }
                }
            }
            while (n-- > 0) emit(v, 0);
        }
        auto clCodes = std::make_unique<THuffmanCodes>();
        clCodes->SetCount(19);
        clCodes->BuildFromFrequencies(clCounts, 7);
        int hclen = 4;
        for (int p = 18; p >= 1; --p)
            if (clCodes->Entries[CodeLengthOrder[p]].Length != 0) {
                hclen = std::max(hclen, p + 1);
                break;
            }

        putBits(static_cast<uint32_t>(hlit - 257), 5);
        putBits(static_cast<uint32_t>(hdist - 1), 5);
        putBits(static_cast<uint32_t>(hclen - 4), 4);
        for (int p = 0; p < hclen; ++p) putBits(clCodes->Entries[CodeLengthOrder[p]].Length, 3);
        for (int i = 0; i < itemCount; ++i) {
            const auto& c = clCodes->Entries[items[i].symbol];
            putBits(c.Code, static_cast<int>(c.Length));
            if (items[i].symbol == 16) putBits(items[i].extra, 2);
            else if (items[i].symbol == 17) putBits(items[i].extra, 3);
            else if (items[i].symbol == 18) putBits(items[i].extra, 7);
        }

        for (int32_t i = 0; i < s.symbolCount; ++i) {
            const auto& e = s.symbols[i];
            if (e.kind == -1) {
                const auto& c = s.literalCodes.Entries[e.value];
                putBits(c.Code, static_cast<int>(c.Length));
            } else if (e.kind == -2) {
                const auto& c = s.distanceCodes.Entries[e.value];
                putBits(c.Code, static_cast<int>(c.Length));
            } else {
                putBits(e.value, e.kind);
            }
        }
        s.flushRequested = false;
        s.blockOpen = false;
    }

    // ---------------------------------------------------------------- fixed blocks
    void putLiteralCode(uint32_t symbol) {
        const auto& c = s.literalCodes.Entries[symbol];
        putBits(c.Code, static_cast<int>(c.Length));
    }

    void compressFixed() {
        if (!s.blockOpen) {
            putBits(s.finalBlock ? 1 : 0, 1);
            s.finalBlock = false;
            putBits(1, 2);
            s.literalCodes.SetFixedLiteralCodes();
            s.distanceCodes.SetFixedCodes(5);
            s.blockOpen = true;
        }
        if (s.pending > 0) ensureIndex();
        while (s.blockOpen && (s.pending >= MaxMatch || (s.flushRequested && s.pending >= 3))) {
            int best, distance;
            search(best, distance);
            if (best < 3) {
                putLiteralCode(s.window[s.head]);
                advance(1);
            } else {
                uint32_t symbol, extra;
                int extraBits;
                lengthSymbol(best, symbol, extra, extraBits);
                putLiteralCode(symbol);
                if (extraBits) putBits(extra, extraBits);
                distanceSymbol(distance, symbol, extra, extraBits);
                const auto& c = s.distanceCodes.Entries[symbol];
                putBits(c.Code, static_cast<int>(c.Length));
                if (extraBits) putBits(extra, extraBits);
                advance(best);
            }
        }
        if (s.flushRequested) {
            while (s.pending > 0) {
                putLiteralCode(s.window[s.head]);
                advance(1);
            }
            putLiteralCode(256);
            s.flushRequested = false;
            s.blockOpen = false;
        }
    }

    // ---------------------------------------------------------------- stored blocks
    void writeStoredBlock() {
        putBits(s.finalBlock ? 1 : 0, 1);
        putBits(0, 2);
        alignOutput();
        const uint32_t len = static_cast<uint32_t>(s.pending);
        const uint8_t sizes[4] = {static_cast<uint8_t>(len), static_cast<uint8_t>(len >> 8),
                                  static_cast<uint8_t>(~len), static_cast<uint8_t>(~len >> 8)};
        putBytes(sizes, 4);
        while (s.pending > 0) {
            const int32_t n = std::min<int32_t>(s.pending, static_cast<int32_t>(RingSize - s.head));
            putBytes(s.window.get() + s.head, static_cast<size_t>(n));
            advance(n);
        }
        s.flushRequested = false;
        s.finalBlock = false;
    }

    int64_t write(const uint8_t* buffer, int64_t count) {
        const int32_t capacity = self.BlockType == TDeflateStream::btStored ? 65535 : 32767;
        int64_t taken = 0;
        while (count > 0 || s.flushRequested) {
            const int64_t n = std::min<int64_t>({count, capacity - s.pending, RingSize - s.wmark});
            if (n > 0) {
                std::memcpy(s.window.get() + s.wmark, buffer + taken, static_cast<size_t>(n));
                if (s.wmark < TDeflateStream::TState::MirrorSize) {
                    const uint32_t m = std::min<uint32_t>(static_cast<uint32_t>(n), TDeflateStream::TState::MirrorSize - s.wmark);
                    std::memcpy(s.window.get() + RingSize + s.wmark, buffer + taken, m);
                }
                s.wmark = (s.wmark + static_cast<uint32_t>(n)) & RingMask;
                s.pending += static_cast<int32_t>(n);
                count -= n;
                taken += n;
            }
            switch (self.BlockType) {
                case TDeflateStream::btFixed:
                    if (s.pending >= MaxMatch || s.flushRequested) compressFixed();
                    break;
                case TDeflateStream::btStored:
                    if (s.pending == 65535 || s.flushRequested) writeStoredBlock();
                    break;
                default:
                    if (s.pending >= MaxMatch || s.flushRequested) compressDynamic();
                    break;
            }
        }
        return taken;
    }

    void flush() {
        while (s.pending != 0 || s.blockOpen || s.finalBlock) {
            s.flushRequested = true;
            write(nullptr, 0);
        }
        drainBytes();
        writeOut();
    }
};

}  // namespace

int64_t TDeflateStream::Write(const void* buffer, int64_t count) {
    if (!CanWrite) throw EInOutError("Stream not open for write");
    if (count <= 0) return 0;
    Deflater d{*this, *state_, Inner};
    return d.write(static_cast<const uint8_t*>(buffer), count);
}

void TDeflateStream::Flush() {
    if (!CanWrite) return;
    Deflater d{*this, *state_, Inner};
    d.flush();
}

void TDeflateStream::Finish() {
    TState& s = *state_;
    if (!s.compressing || s.finished) return;
    s.finished = true;  // also when writing fails: a second attempt would repeat output
    if (!CanWrite) return;
    Deflater d{*this, s, Inner};
    s.finalBlock = true;
    d.flush();
    d.alignOutput();
    d.writeOut();
    CanWrite = false;
}
