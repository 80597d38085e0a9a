#pragma once

#include <algorithm>
#include <cstdint>
#include <memory>

#include "compress/BitWriter.h"
#include "compress/DeflateFormat.h"
#include "compress/Huffman.h"

// A block coded with Huffman codes of its own: its literals and matches are collected,
// then coded with the codes their frequencies give, behind a header that stores them.
class TDynamicBlock {
public:
    TDynamicBlock();

    // Starts collecting a new block.
    void Begin();
    void AddLiteral(uint32_t byte) { append(byte, LiteralKind); }
    void AddMatch(int length, int distance) {
        const deflate::CodedValue len = deflate::lengthSymbol(length);
        append(len.symbol, LiteralKind);
        if (len.extraBits) append(len.extra, len.extraBits);
        const deflate::CodedValue dist = deflate::distanceSymbol(distance);
        append(dist.symbol, DistanceKind);
        if (dist.extraBits) append(dist.extra, dist.extraBits);
    }
    // Enough symbols for one block: it must be written before more are added.
    bool Full() const { return symbolCount_ > MaxSymbolsPerBlock; }
    // How many tokens, at most max, can be added with only the last one making the block
    // full (a token adds up to four symbols); at least one.
    int TokensBeforeFull(int max) const {
        return std::clamp((MaxSymbolsPerBlock + 1 - symbolCount_) / MaxSymbolsPerToken, 1, max);
    }
    // Writes the whole block: header, codes and symbols.
    void Write(TBitWriter& out, bool last);

private:
    static constexpr int MaxSymbolsPerBlock = 65526;
    static constexpr int MaxSymbolsPerToken = 4;  // length, its extra bits, distance, its extra bits
    // A match adds up to four entries past the limit, the block's end one more.
    static constexpr int SymbolCapacity = 65537 + 8;
    // An entry's kind: a literal/length symbol, a distance symbol, or else the number of
    // extra bits it holds (1..13).
    static constexpr int16_t LiteralKind = -1;
    static constexpr int16_t DistanceKind = -2;

    struct TSymbol {
        uint16_t value;
        int16_t kind;
    };

    void append(uint32_t value, int kind) {
        symbols_[symbolCount_++] = {static_cast<uint16_t>(value), static_cast<int16_t>(kind)};
    }
    void buildCodes();
    void writeSymbols(TBitWriter& out) const;

    std::unique_ptr<TSymbol[]> symbols_;  // allocated with the first block
    int32_t symbolCount_ = 0;
    THuffmanCodes literalCodes_, distanceCodes_;
};
