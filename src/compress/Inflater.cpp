#include "compress/Inflater.h"

#include <algorithm>
#include <cstring>

#include "compress/DeflateFormat.h"
#include "platform/ByteOrder.h"

using namespace deflate;

namespace {

constexpr int64_t InSize = 65536;
constexpr int64_t OutSize = 1 << 18;  // decoded bytes held: history and output
constexpr int64_t OutSlack = 512;     // room for a match copy's overshoot
// Root literal entries (at most 11 bits) decoded from one refill of 56 bits or more.
constexpr int RootLiteralSteps = 3;
// A stored block and the history a direct copy to the caller may still owe the window.
constexpr int64_t StoredRoom = 65535 + 32768 + 8;

constexpr uint64_t ByteLanes = 0x0101010101010101;

// Copies a match in whole 8-byte words; may write up to 15 bytes past its end (the
// window's slack). A distance below 8 first writes bytes one at a time until a whole
// number of periods of at least 8 bytes lies behind, so every word's source is complete
// and never before the match's own source.
inline __attribute__((always_inline)) void copyMatch(uint8_t* dst, uint32_t dist, uint32_t length) {
    uint8_t* const end = dst + length;
    if (dist >= 16) {
        const uint8_t* src = dst - dist;
        do {
            std::memcpy(dst, src, 8);
            std::memcpy(dst + 8, src + 8, 8);
            dst += 16;
            src += 16;
        } while (dst < end);
        return;
    }
    if (dist == 1) {
        const uint64_t run = dst[-1] * ByteLanes;
        do {
            std::memcpy(dst, &run, 8);
            dst += 8;
        } while (dst < end);
        return;
    }
    const uint32_t step = dist >= 8 ? dist : dist * ((8 + dist - 1) / dist);
    for (uint32_t i = dist; i < step && dst < end; ++i, ++dst) *dst = dst[-static_cast<int32_t>(dist)];
    while (dst < end) {
        std::memcpy(dst, dst - step, 8);
        dst += 8;
    }
}

// Writes the literal or pair of an entry; the position after it.
inline int64_t putLiterals(uint8_t* out, int64_t pos, uint32_t e) {
    out[pos] = static_cast<uint8_t>(entryValue(e));
    out[pos + 1] = static_cast<uint8_t>(entryValue(e) >> 8);
    return pos + 1 + entryKind(e);  // kLiteral 0, kLiteralPair 1
}

[[noreturn]] void raiseFor(uint32_t kind) {
    if (kind == kInvalid) RaiseInvalidHuffmanCode();
    raiseDataError();
}

// The bit buffer of the hot loop, kept in registers.
struct FastBits {
    uint64_t buf;
    int count;

    void drop(uint32_t n) {
        buf >>= n;
        count -= static_cast<int>(n);
    }
    uint32_t take(uint32_t n) {
        const uint32_t v = static_cast<uint32_t>(buf & ((uint64_t{1} << n) - 1));
        drop(n);
        return v;
    }
    // The entry a subtable link leads to, its own bits consumed (fewer than the
    // subtable's width when its code is shorter than the deepest one there).
    uint32_t follow(const uint32_t* table, uint32_t link) {
        const uint32_t e = table[entryValue(link) + (buf & ((uint64_t{1} << entryExtra(link)) - 1))];
        drop(entryBits(e));
        return e;
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

// One symbol through a table; follows a subtable link.
uint32_t TInflater::decode(const DecodeTable& t) {
    for (;;) {
        if (bitCount_ < 15) refill();
        uint32_t e = t.entries[bitBuf_ & ((1u << t.rootBits) - 1)];
        uint32_t used = entryBits(e);
        if (entryKind(e) == kLiteralPair) {
            // One symbol at a time here: the second literal's bits may not have arrived.
            used = entryExtra(e);
            e = entry(used, kLiteral, 0, entryValue(e) & 0xFF);
        } else if (entryKind(e) == kLink) {
            const uint32_t sub = entryExtra(e);
            const uint32_t e2 = t.entries[entryValue(e) + ((bitBuf_ >> t.rootBits) & ((1u << sub) - 1))];
            used += entryBits(e2);
            e = e2;
        }
        if (used <= static_cast<uint32_t>(bitCount_)) {
            bitBuf_ >>= used;
            bitCount_ -= static_cast<int>(used);
            return e;
        }
        if (inPos_ == inEnd_ && !fetch(true)) raiseDataError();
        topUp();
    }
}

// Bit-by-bit walk, for the small code-length tree.
uint32_t TInflater::walk(const THuffmanTree& tree) {
    uint32_t node = static_cast<uint32_t>(tree.Root);
    for (;;) {
        if (node > tree.LastNode) RaiseInvalidHuffmanCode();
        node = bits(1) ? tree.Nodes[node].Child1 : tree.Nodes[node].Child0;
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

void TInflater::buildDynamicTables(uint8_t* lengths, uint32_t literalCount) {
    distanceTree_.BuildFromLengths(lengths + literalCount, MaxCodeBits);
    // The literal tree reads on past its own lengths: those symbols have no code.
    std::memset(lengths + literalCount, 0, DistanceSymbols + 1);
    literalTree_.BuildFromLengths(lengths, MaxCodeBits);
    buildLiteralTable(literalTree_, dynLiteral_);
    buildDistanceTable(distanceTree_, dynDistance_);
    literal_ = &dynLiteral_;
    distance_ = &dynDistance_;
}

// ====================================================================== symbols

void TInflater::endOfBlock() {
    inBlock_ = false;
    if (lastBlock_) finish();
}

// The hot loop: while at least 8 input bytes are buffered, every symbol with its extra
// bits (or a pair of literals) fits in the 56 or more bits one refill gives, so no input
// checks are needed. Literals may end five bytes past `end`, and a match copy further: the
// window's slack holds both.
// Returns when `end` is reached, input runs low, or the block ends.
void TInflater::fastSymbols(const DecodeTable& lt, const DecodeTable& dt, int64_t end) {
    uint8_t* const out = out_.get();
    const uint8_t* const in = in_.get();
    const uint32_t* const lent = lt.entries.data();
    const uint32_t* const dent = dt.entries.data();
    const uint64_t lmask = (uint64_t{1} << lt.rootBits) - 1;
    const uint64_t dmask = (uint64_t{1} << dt.rootBits) - 1;
    int64_t pos = pos_, ip = inPos_;
    const int64_t ie = inEnd_;
    const int64_t totalBase = total_ - pos_;  // total = totalBase + pos
    FastBits b{bitBuf_, bitCount_};
    auto flushState = [&] {
        pos_ = pos;
        inPos_ = ip;
        bitBuf_ = b.buf;
        bitCount_ = b.count;
        total_ = totalBase + pos;
    };
    while (pos < end && ie - ip >= 8) {
        // Refilled every step without a branch: the bytes already held are loaded again
        // in the same places, so the bits above the count stay true.
        b.buf |= load64(in + ip) << b.count;
        ip += (63 - b.count) >> 3;
        b.count |= 56;
        // A link's own bit count is the root width, so it is consumed like a code.
        uint32_t e = lent[b.buf & lmask];
        b.drop(entryBits(e));
        if (isLiteralEntry(e)) {
            // A root entry takes at most RootLiteralSteps' share of the 56 bits: the next
            // ones fit without a refill while they are literals too.
            pos = putLiterals(out, pos, e);
            for (int step = 1; step < RootLiteralSteps; ++step) {
                e = lent[b.buf & lmask];
                if (!isLiteralEntry(e)) break;
                b.drop(entryBits(e));
                pos = putLiterals(out, pos, e);
            }
            continue;
        }
        if (entryKind(e) == kLink) {
            e = b.follow(lent, e);
            if (entryKind(e) == kLiteral) {
                out[pos++] = static_cast<uint8_t>(entryValue(e));
                continue;
            }
        }
        if (entryKind(e) != kLength) {
            flushState();
            if (entryKind(e) == kEnd) return endOfBlock();
            raiseFor(entryKind(e));
        }
        const uint32_t length = entryValue(e) + b.take(entryExtra(e));
        uint32_t d = dent[b.buf & dmask];
        b.drop(entryBits(d));
        if (entryKind(d) == kLink) d = b.follow(dent, d);
        if (entryKind(d) != kDistance) {
            flushState();
            raiseFor(entryKind(d));
        }
        const uint32_t dist = entryValue(d) + b.take(entryExtra(d));
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
void TInflater::slowSymbol(const DecodeTable& lt, const DecodeTable& dt) {
    uint8_t* const out = out_.get();
    refill();
    const uint32_t e = decode(lt);
    const uint32_t kind = entryKind(e);
    if (kind == kLiteral) {
        out[pos_++] = static_cast<uint8_t>(entryValue(e));
        ++total_;
        return;
    }
    if (kind == kEnd) return endOfBlock();
    if (kind != kLength) raiseFor(kind);
    const uint32_t extra = entryExtra(e);
    const uint32_t length = entryValue(e) + (extra ? bits(static_cast<int>(extra)) : 0);
    const uint32_t d = decode(dt);
    if (entryKind(d) != kDistance) raiseFor(entryKind(d));
    const uint32_t dextra = entryExtra(d);
    const uint32_t dist = entryValue(d) + (dextra ? bits(static_cast<int>(dextra)) : 0);
    if (dist > total_) raiseDataError();  // before the first byte
    copyMatch(out + pos_, dist, length);
    pos_ += length;
    total_ += length;
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
        fastSymbols(*literal_, *distance_, std::min(wantEnd, roomEnd + 1));
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
void TInflater::keepOnlyHistory() {
    if (pos_ <= OutSize - StoredRoom - MaxMatch) return;
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
