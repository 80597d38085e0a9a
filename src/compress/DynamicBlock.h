#pragma once

#include <algorithm>
#include <cstdint>
#include <memory>

#include "compress/BitWriter.h"
#include "compress/DeflateFormat.h"
#include "compress/Huffman.h"

// A block coded with Huffman codes of its own: its literals and matches are collected and
// counted, then coded with the codes their frequencies give, behind a header that stores them.
class TDynamicBlock {
public:
    TDynamicBlock();

    // Starts collecting a new block.
    void Begin();
    void AddLiteral(uint32_t byte) {
        tokens_[tokenCount_++] = byte;
        ++literalCounts_[byte];
        ++symbolCount_;
    }
    void AddMatch(int length, int distance) {
        const deflate::CodedValue len = deflate::lengthSymbol(length);
        const deflate::CodedValue dist = deflate::distanceSymbol(distance);
        tokens_[tokenCount_++] = MatchFlag | static_cast<uint32_t>(length) << DistanceBits | static_cast<uint32_t>(distance - 1);
        ++literalCounts_[len.symbol];
        ++distanceCounts_[dist.symbol];
        // A symbol each, and one more for each that has extra bits.
        symbolCount_ += 2 + (len.extraBits != 0) + (dist.extraBits != 0);
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
    // A match adds up to four symbols past the limit; each token is one symbol at least.
    static constexpr int TokenCapacity = MaxSymbolsPerBlock + MaxSymbolsPerToken;
    // A token: a literal byte, or the flag with the length and the distance minus one.
    static constexpr uint32_t MatchFlag = 1u << 31;
    static constexpr int DistanceBits = 15;

    // Bits that go out together, lowest first.
    struct TBits {
        uint32_t value;
        uint32_t length;
    };
    static constexpr uint32_t DistanceField = (1u << DistanceBits) - 1;
    static constexpr uint32_t LengthField = 0x1FF;

    void buildCodes();
    void writeTokens(TBitWriter& out);
    void fillLengthBits();

    std::unique_ptr<uint32_t[]> tokens_;  // allocated with the first block
    int32_t tokenCount_ = 0;
    int32_t symbolCount_ = 0;
    uint32_t literalCounts_[deflate::LiteralSymbols];
    uint32_t distanceCounts_[deflate::DistanceSymbols];
    THuffmanCodes literalCodes_, distanceCodes_;
    TBits lengthBits_[deflate::MaxMatch + 1] = {};  // per match length, for the block being written
};
