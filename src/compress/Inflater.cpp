#include "compress/Inflater.h"

#include <algorithm>
#include <cstring>

#include "compress/DeflateFormat.h"
#include "platform/ByteOrder.h"

using namespace deflate;

namespace {

constexpr int64_t InSize = 65536;
constexpr int64_t OutSize = 1 << 18;  // decoded bytes held: history and output
constexpr int64_t OutSlack = 512;     // room for a match and its copy's overshoot past the end
// The hot loop runs while this much input is buffered: each step refills up to three
// times, each refill passing up to seven bytes and reading eight.
constexpr int64_t FastInputMargin = 24;
// A stored block and the history a direct copy to the caller may still owe the window.
constexpr int64_t StoredRoom = 65535 + 32768 + 8;
// Bytes a match copy may write past the match's end.
constexpr int64_t MatchOvershoot = 31;
static_assert(OutSlack >= MaxMatch + MatchOvershoot, "a match may start just before the window's end");

constexpr uint64_t ByteLanes = 0x0101010101010101;

// A distance below 8 is copied in steps of its smallest multiple of at least 8 bytes.
constexpr uint8_t ShortDistanceStep[8] = {0, 8, 8, 9, 8, 10, 12, 14};

inline void copy16(uint8_t* dst, const uint8_t* src) {
    uint8_t chunk[16];
    std::memcpy(chunk, src, 16);
    std::memcpy(dst, chunk, 16);
}

// Copies a match in whole words; may write up to MatchOvershoot bytes past its end. Most
// matches are 32 bytes or shorter: those take two 16-byte copies and no loop. A distance
// below 16 copies in 8-byte words; one below 8 first writes bytes one at a time until a
// whole number of periods of at least 8 bytes lies behind, so every word's source is
// complete and never before the match's own source.
inline __attribute__((always_inline)) void copyMatch(uint8_t* dst, uint32_t dist, uint32_t length) {
    uint8_t* const end = dst + length;
    if (dist >= 16) {
        const uint8_t* src = dst - dist;
        copy16(dst, src);
        copy16(dst + 16, src + 16);
        while (dst + 32 < end) {
            dst += 32;
            src += 32;
            copy16(dst, src);
            copy16(dst + 16, src + 16);
        }
        return;
    }
    if (dist == 1) {
        const uint64_t run = dst[-1] * ByteLanes;
        do {
            std::memcpy(dst, &run, 8);
            std::memcpy(dst + 8, &run, 8);
            dst += 16;
        } while (dst < end);
        return;
    }
    const uint32_t step = dist >= 8 ? dist : ShortDistanceStep[dist];
    for (uint32_t i = dist; i < step && dst < end; ++i, ++dst) *dst = dst[-static_cast<int32_t>(dist)];
    while (dst < end) {
        std::memcpy(dst, dst - step, 8);
        dst += 8;
    }
}

// Writes the literal or pair of an entry (two bytes either way); the position after it.
inline int64_t putLiterals(uint8_t* out, int64_t pos, uint32_t e) {
    const uint16_t both = static_cast<uint16_t>(entryValue(e));
    std::memcpy(out + pos, &both, 2);
    return pos + 1 + ((e & PairFlag) != 0);
}

[[noreturn]] void raiseFor(uint32_t kind) {
    if (kind == kInvalid) RaiseInvalidHuffmanCode();
    raiseDataError();
}

// The bit buffer of the hot loop, kept in registers.
struct FastBits {
    uint64_t buf;
    int count;

    // Tops the buffer up to 56 bits or more without a branch: the bytes already held are
    // loaded again in the same places, so the bits above the count stay true.
    void refill(const uint8_t* in, int64_t& ip) {
        buf |= load64(in + ip) << count;
        ip += (63 - count) >> 3;
        count |= 56;
    }
    void drop(uint32_t n) {
        buf >>= n;
        count -= static_cast<int>(n);
    }
    // Consumes an entry's bits; the buffer as it was, where its extra bits are.
    uint64_t take(uint32_t e) {
        const uint64_t before = buf;
        drop(entryBits(e));
        return before;
    }
    void untake(uint32_t e, uint64_t before) {
        buf = before;
        count += static_cast<int>(entryBits(e));
    }
    // After a link's root bits: the entry of its subtable that the next bits select.
    uint32_t follow(const uint32_t* table, uint32_t link) const {
        return table[entryValue(link) + (buf & ((uint64_t{1} << entryCodeBits(link)) - 1))];
    }
};

}  // namespace

TInflater::TInflater(TBaseStream* inner) : inner_(inner) {
    literalTree_.SetCount(LiteralSymbols);
    distanceTree_.SetCount(DistanceSymbols);
}

// ====================================================================== input

// Appends the owed history to the window; every match can then reach its source.
void TInflater::flushHistory() {
    if (histLen_ == 0) return;
    const int64_t h = std::min<int64_t>(histLen_, MaxDistance);
    std::memcpy(out_.get() + pos_, histEnd_ - h, static_cast<size_t>(h));
    pos_ += h;
    mark_ = pos_;
    histLen_ = 0;
    histEnd_ = nullptr;
}

// Moves buffered input bytes into the bit buffer (up to 56 bits or more).
void TInflater::topUp() {
    if (inEnd_ - inPos_ >= 8) {
        bitBuf_ |= load64(in_.get() + inPos_) << bitCount_;
        inPos_ += (63 - bitCount_) >> 3;
        bitCount_ |= 56;
        return;
    }
    bitBuf_ &= bitCount_ == 0 ? 0 : (~uint64_t{0} >> (64 - bitCount_));
    while (bitCount_ <= 56 && inPos_ < inEnd_) {
        bitBuf_ |= uint64_t{in_[inPos_++]} << bitCount_;
        bitCount_ += 8;
    }
}

// Takes more input from the wrapped stream: what it says is available, or one byte
// when `force` and it says nothing. False when nothing came.
bool TInflater::fetch(bool force) {
    if (inPos_ < inEnd_) return true;
    int64_t want = inner_->Available();
    if (want <= 0) {
        if (!force) return false;
        want = 1;
    }
    if (!in_) in_ = std::make_unique_for_overwrite<uint8_t[]>(InSize);
    want = std::min(want, InSize);
    const int64_t n = inner_->Read(in_.get(), want);
    inPos_ = 0;
    inEnd_ = n > 0 ? n : 0;
    return inEnd_ > 0;
}

// Bits for the next steps, without forcing a read the data may not need.
void TInflater::refill() {
    if (bitCount_ >= 48) return;
    topUp();
    if (bitCount_ < 48 && inPos_ == inEnd_ && fetch(false)) topUp();
}

// At least n bits, reading as much as needed; the data ending first is an error.
void TInflater::need(int n) {
    while (bitCount_ < n) {
        if (inPos_ == inEnd_ && !fetch(true)) raiseDataError();
        topUp();
    }
}

uint32_t TInflater::bits(int n) {
    need(n);
    const uint32_t v = static_cast<uint32_t>(bitBuf_ & ((uint64_t{1} << n) - 1));
    bitBuf_ >>= n;
    bitCount_ -= n;
    return v;
}

// One symbol through a table with its extra bits; follows a subtable link. A literal pair
// gives its first literal only: the second one's bits may not have arrived.
TInflater::Decoded TInflater::decode(const DecodeTable& t) {
    for (;;) {
        refill();
        uint32_t e = t.entries[bitBuf_ & ((1u << t.rootBits) - 1)];
        uint32_t linkBits = 0;
        if (e & PairFlag) {
            e = entry(entryCodeBits(e), kLiteral, 0, entryValue(e) & 0xFF);
        } else if (isExceptionalEntry(e) && exceptionKind(e) == kLink) {
            linkBits = entryBits(e);
            e = t.entries[entryValue(e) + ((bitBuf_ >> linkBits) & ((1u << entryCodeBits(e)) - 1))];
        }
        const uint32_t used = linkBits + entryBits(e);
        if (used <= static_cast<uint32_t>(bitCount_)) {
            const uint64_t before = bitBuf_ >> linkBits;
            bitBuf_ >>= used;
            bitCount_ -= static_cast<int>(used);
            return {e, entryValue(e) + extraValue(before, e)};
        }
        if (inPos_ == inEnd_ && !fetch(true)) raiseDataError();
        topUp();
    }
}

// Bit-by-bit walk, for the small code-length tree.
uint32_t TInflater::walk(const THuffmanTree& tree) {
    refill();
    uint32_t node = static_cast<uint32_t>(tree.Root);
    for (;;) {
        if (node > tree.LastNode) RaiseInvalidHuffmanCode();
        if (bitCount_ == 0) need(1);
        const bool one = (bitBuf_ & 1) != 0;
        bitBuf_ >>= 1;
        --bitCount_;
        node = one ? tree.Nodes[node].Child1 : tree.Nodes[node].Child0;
        if (node <= tree.MaxSymbol) return node;
    }
}

// Whole bytes after the bit buffer is aligned: from the bit buffer, the input
// buffer, then the wrapped stream (exactly the bytes asked for).
void TInflater::takeBytes(uint8_t* dst, int64_t n) {
    while (n > 0 && bitCount_ >= 8) {
        *dst++ = static_cast<uint8_t>(bitBuf_);
        bitBuf_ >>= 8;
        bitCount_ -= 8;
        --n;
    }
    if (n > 0) {
        bitBuf_ = 0;  // drop look-ahead copies of bytes about to be taken directly
        bitCount_ = 0;
    }
    const int64_t buffered = std::min(n, inEnd_ - inPos_);
    if (buffered > 0) {
        std::memcpy(dst, in_.get() + inPos_, static_cast<size_t>(buffered));
        inPos_ += buffered;
        dst += buffered;
        n -= buffered;
    }
    if (n > 0) {
        const int64_t got = inner_->Read(dst, n);
        if (got < n) raiseDataError();
    }
}

void TInflater::alignToByte() {
    const int drop = bitCount_ & 7;
    bitBuf_ >>= drop;
    bitCount_ -= drop;
    bitBuf_ &= bitCount_ == 0 ? 0 : (~uint64_t{0} >> (64 - bitCount_));
}

// The whole bytes left in the bit buffer become the first bytes after the end.
void TInflater::finish() {
    finished_ = true;
    inBlock_ = false;
    alignToByte();
    tailCount_ = 0;
    while (bitCount_ >= 8) {
        tail_[tailCount_++] = static_cast<uint8_t>(bitBuf_);
        bitBuf_ >>= 8;
        bitCount_ -= 8;
    }
    tailPos_ = 0;
    bitBuf_ = 0;
    bitCount_ = 0;
}

// ====================================================================== block headers

void TInflater::readBlockHeader() {
    lastBlock_ = bits(1) != 0;
    switch (bits(2)) {
        case StoredBlock:
            readStoredBlock();
            break;
        case FixedBlock:
            flushHistory();
            literal_ = &fixedTables().literal;
            distance_ = &fixedTables().distance;
            inBlock_ = true;
            break;
        case DynamicBlock:
            flushHistory();
            readDynamicHeader();
            inBlock_ = true;
            break;
        default:
            raiseDataError();
    }
}

void TInflater::readStoredBlock() {
    alignToByte();
    uint8_t sizes[4];
    takeBytes(sizes, 4);
    const uint32_t length = host::ReadLE16(sizes);
    if (host::ReadLE16(sizes + 2) != (~length & 0xFFFF)) raiseDataError();
    if (direct_ && pos_ == mark_ && length > 0)
        copyStoredToCaller(length);
    else
        copyStoredToWindow(length);
    if (lastBlock_) finish();
}

// Nothing is waiting to be handed out: the caller's part goes straight to the caller.
// The window gets its last 32 KiB as history only when it is needed again or the read
// ends (flushHistory).
void TInflater::copyStoredToCaller(uint32_t length) {
    const int64_t n = std::min<int64_t>(length, directWant_);
    takeBytes(direct_, n);
    histLen_ = histEnd_ == direct_ ? histLen_ + n : n;
    histEnd_ = direct_ + n;
    total_ += n;
    directDone_ = n;
    direct_ = nullptr;
    if (n < length) copyStoredToWindow(length - n);
}

void TInflater::copyStoredToWindow(int64_t length) {
    flushHistory();
    takeBytes(out_.get() + pos_, length);
    pos_ += length;
    total_ += length;
}

void TInflater::readDynamicHeader() {
    const uint32_t hlit = bits(5) + FirstLengthSymbol;
    const uint32_t hdist = bits(5) + 1;
    const uint32_t hclen = bits(4) + 4;
    const auto codeLengthTree = readCodeLengthTree(hclen);
    const uint32_t count = hlit + hdist;
    if (count > CodeLengthSlots) raiseDataError();
    uint8_t lengths[CodeLengthSlots + 40] = {};
    readCodeLengths(*codeLengthTree, lengths, count);
    buildDynamicTables(lengths, hlit);
}

// The code-length code: `count` lengths of three bits in CodeLengthOrder.
std::unique_ptr<THuffmanTree> TInflater::readCodeLengthTree(uint32_t count) {
    uint8_t codeLengthLengths[CodeLengthSymbols] = {};
    for (uint32_t i = 0; i < count; ++i) codeLengthLengths[CodeLengthOrder[i]] = static_cast<uint8_t>(bits(3));
    auto tree = std::make_unique<THuffmanTree>();
    tree->SetCount(CodeLengthSymbols);
    tree->BuildFromLengths(codeLengthLengths, MaxCodeLengthBits);
    return tree;
}

// The literal/length and distance code lengths, run-length coded; a run may not pass `count`.
void TInflater::readCodeLengths(const THuffmanTree& codeLengthTree, uint8_t* lengths, uint32_t count) {
    uint32_t i = 0;
    while (i < count) {
        const uint32_t symbol = walk(codeLengthTree);
        if (symbol < RepeatPrevious) {
            lengths[i++] = static_cast<uint8_t>(symbol);
            continue;
        }
        uint32_t repeat;
        uint8_t value = 0;
        if (symbol == RepeatPrevious) {
            if (i == 0) raiseDataError();  // nothing to repeat
            value = lengths[i - 1];
            repeat = 3 + bits(2);
        } else if (symbol == RepeatZeroShort) {
            repeat = 3 + bits(3);
        } else if (symbol == RepeatZeroLong) {
            repeat = 11 + bits(7);
        } else {
            raiseDataError();
        }
        if (i + repeat > count) raiseDataError();
        std::memset(lengths + i, value, repeat);
        i += repeat;
    }
}

// Complete codes are tabled straight from their lengths; any other code goes through the
// tree a bit-by-bit decoder would walk, which decides how its gaps and overlaps decode.
void TInflater::buildDynamicTables(uint8_t* lengths, uint32_t literalCount) {
    const bool distanceDone = buildDistanceTable(lengths + literalCount, dynDistance_);
    if (!distanceDone) distanceTree_.BuildFromLengths(lengths + literalCount, MaxCodeBits);
    // The literal code reads on past its own lengths: those symbols have no code.
    std::memset(lengths + literalCount, 0, DistanceSymbols + 1);
    if (!buildLiteralTable(lengths, dynLiteral_)) {
        literalTree_.BuildFromLengths(lengths, MaxCodeBits);
        buildLiteralTable(literalTree_, dynLiteral_);
    }
    if (!distanceDone) buildDistanceTable(distanceTree_, dynDistance_);
    literal_ = &dynLiteral_;
    distance_ = &dynDistance_;
}

// ====================================================================== symbols

void TInflater::endOfBlock() {
    inBlock_ = false;
    if (lastBlock_) finish();
}

// The hot loop: while FastInputMargin input bytes are buffered, the bits of up to three
// literal entries, or of a match with its extra bits, come from one refill of 56 bits or
// more, so no input checks are needed. A match starts before `end`; literals may write six
// bytes past it, and a match copy MatchOvershoot bytes past the match: the window's slack
// holds both.
// Returns when `end` is reached, input runs low, or the block ends.
void TInflater::fastSymbols(int64_t end) {
    uint8_t* const out = out_.get();
    const uint8_t* const in = in_.get();
    const uint32_t* const lent = literal_->entries.data();
    const uint32_t* const dent = distance_->entries.data();
    constexpr uint64_t lmask = (uint64_t{1} << LiteralRootBits) - 1;
    constexpr uint64_t dmask = (uint64_t{1} << DistanceRootBits) - 1;
    int64_t pos = pos_, ip = inPos_;
    const int64_t ipLimit = inEnd_ - FastInputMargin;
    const int64_t behind = total_ - pos_;  // bytes decoded before out[0]
    FastBits b{bitBuf_, bitCount_};
    auto flushState = [&] {
        pos_ = pos;
        inPos_ = ip;
        bitBuf_ = b.buf;
        bitCount_ = b.count;
        total_ = behind + pos;
    };
    if (pos >= end || ip > ipLimit) return;
    // Each entry is looked up before the work of the one before it is done, and its bits
    // are consumed before its kind is known, so the lookups follow each other closely.
    b.refill(in, ip);
    uint32_t e = lent[b.buf & lmask];
    while (pos < end && ip <= ipLimit) {
        b.refill(in, ip);
        uint64_t before = b.take(e);
        if (isLiteralEntry(e)) {
            // Root literal entries take at most 11 bits: three of them and the lookup
            // after them fit the 56 bits.
            pos = putLiterals(out, pos, e);
            e = lent[b.buf & lmask];
            before = b.take(e);
            if (isLiteralEntry(e)) {
                pos = putLiterals(out, pos, e);
                e = lent[b.buf & lmask];
                before = b.take(e);
                if (isLiteralEntry(e)) {
                    pos = putLiterals(out, pos, e);
                    e = lent[b.buf & lmask];
                    continue;
                }
            }
            if (pos >= end) {
                b.untake(e, before);  // no match is decoded past the bytes wanted
                break;
            }
            b.refill(in, ip);
        }
        if (isExceptionalEntry(e)) {
            if (exceptionKind(e) == kLink) {
                e = b.follow(lent, e);
                before = b.take(e);
                if (isLiteralEntry(e)) {
                    out[pos++] = static_cast<uint8_t>(entryValue(e));
                    e = lent[b.buf & lmask];
                    continue;
                }
            }
            if (isExceptionalEntry(e)) {
                flushState();
                if (exceptionKind(e) == kEnd) return endOfBlock();
                raiseFor(exceptionKind(e));
            }
            b.refill(in, ip);
        }
        const uint32_t length = entryValue(e) + extraValue(before, e);
        uint32_t d = dent[b.buf & dmask];
        if (isExceptionalEntry(d)) {
            if (exceptionKind(d) == kLink) {
                b.drop(entryBits(d));
                d = b.follow(dent, d);
            }
            if (isExceptionalEntry(d)) {
                flushState();
                raiseFor(exceptionKind(d));
            }
        }
        before = b.take(d);
        const uint32_t dist = entryValue(d) + extraValue(before, d);
        // A root length (16 bits at most with its extra bits), a distance (28) and the
        // next lookup (11) fit the 56 bits.
        e = lent[b.buf & lmask];
        if (dist > behind + pos) {
            flushState();
            raiseDataError();  // before the first byte
        }
        copyMatch(out + pos, dist, length);
        pos += length;
    }
    flushState();
}

// One symbol with every input check, for the ends of the input.
void TInflater::slowSymbol(const DecodeTable& lt, const DecodeTable& dt) {
    uint8_t* const out = out_.get();
    const Decoded symbol = decode(lt);
    if (isLiteralEntry(symbol.entry)) {
        out[pos_++] = static_cast<uint8_t>(symbol.value);
        ++total_;
        return;
    }
    if (isExceptionalEntry(symbol.entry)) {
        if (exceptionKind(symbol.entry) == kEnd) return endOfBlock();
        raiseFor(exceptionKind(symbol.entry));
    }
    const Decoded distance = decode(dt);
    if (isExceptionalEntry(distance.entry)) raiseFor(exceptionKind(distance.entry));
    if (distance.value > total_) raiseDataError();  // before the first byte
    copyMatch(out + pos_, distance.value, symbol.value);
    pos_ += symbol.value;
    total_ += symbol.value;
}

// Decodes until `want` bytes have come out, the data ends, or the buffer needs
// handing out and sliding first. Symbols are decoded only while bytes are wanted, so
// damage after the wanted bytes is not seen before they are asked for.
void TInflater::run(int64_t want) {
    const int64_t wantEnd = pos_ + want;
    const int64_t roomEnd = OutSize - MaxMatch;  // matches may overshoot into the slack
    while (pos_ < wantEnd && !finished_) {
        if (!inBlock_) {
            if (pos_ + StoredRoom > OutSize) return;
            readBlockHeader();
            if (directDone_ > 0) return;  // the caller's count has changed
            continue;
        }
        if (pos_ > roomEnd) return;
        fastSymbols(std::min(wantEnd, roomEnd + 1));
        if (!inBlock_ || pos_ >= wantEnd || pos_ > roomEnd) continue;
        slowSymbol(*literal_, *distance_);
    }
}

// ====================================================================== reading

struct TInflater::HistorySettler {
    TInflater& inflater;
    ~HistorySettler() { inflater.flushHistory(); }
};

int64_t TInflater::Read(uint8_t* buffer, int64_t count, bool strict) {
    if (!out_) out_ = std::make_unique_for_overwrite<uint8_t[]>(OutSize + OutSlack);
    // The history owed for direct copies is settled on every way out, errors included,
    // while the caller's buffer still holds it.
    const HistorySettler settle{*this};
    int64_t delivered = 0;
    while (delivered < count) {
        const int64_t handed = handOut(buffer + delivered, count - delivered);
        if (handed > 0) {
            delivered += handed;
            continue;
        }
        if (finished_) {
            if (strict) raiseShortRead();
            return delivered;
        }
        keepOnlyHistory();
        delivered += decodeInto(buffer + delivered, count - delivered);
    }
    return delivered;
}

// Decoded bytes waiting in the window, up to count.
int64_t TInflater::handOut(uint8_t* dst, int64_t count) {
    const int64_t n = std::min(pos_ - mark_, count);
    if (n <= 0) return 0;
    std::memcpy(dst, out_.get() + mark_, static_cast<size_t>(n));
    mark_ += n;
    return n;
}

// Everything decoded has been handed out: keep only the history a match may reach.
// Only when what comes next has no room: inside a block a match, else a stored block.
void TInflater::keepOnlyHistory() {
    if (pos_ <= OutSize - MaxMatch - (inBlock_ ? 0 : StoredRoom)) return;
    const int64_t keep = std::min<int64_t>(pos_, MaxDistance);
    std::memmove(out_.get(), out_.get() + pos_ - keep, static_cast<size_t>(keep));
    pos_ = mark_ = keep;
}

// Decodes into the window, or straight into dst for stored data; returns the bytes
// that went straight to dst.
int64_t TInflater::decodeInto(uint8_t* dst, int64_t count) {
    direct_ = dst;
    directWant_ = count;
    directDone_ = 0;
    run(count);
    direct_ = nullptr;
    return directDone_;
}

int64_t TInflater::Available() const {
    const int64_t pendingOut = pos_ - mark_;
    if (finished_) return pendingOut;
    const int64_t inner = inner_->Available();
    return pendingOut + (inEnd_ - inPos_) + bitCount_ / 8 + (inner > 0 ? inner : 0);
}

void TInflater::Stop() {
    if (!finished_) finish();
}

int64_t TInflater::UnusedInputCount() const {
    if (!finished_) return 0;
    return (tailCount_ - tailPos_) + (inEnd_ - inPos_);
}

int64_t TInflater::ReadAfterEnd(uint8_t* buffer, int64_t count, bool strict) {
    int64_t done = 0;
    while (done < count && tailPos_ < tailCount_) buffer[done++] = tail_[tailPos_++];
    const int64_t buffered = std::min(count - done, inEnd_ - inPos_);
    if (buffered > 0) {
        std::memcpy(buffer + done, in_.get() + inPos_, static_cast<size_t>(buffered));
        inPos_ += buffered;
        done += buffered;
    }
    if (done < count) {
        const int64_t n = inner_->Read(buffer + done, count - done);
        if (n > 0) done += n;
    }
    if (done < count && strict) raiseShortRead();
    return done;
}
