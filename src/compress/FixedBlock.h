#pragma once

#include <cstdint>

#include "compress/BitWriter.h"
#include "compress/DeflateFormat.h"
#include "compress/Huffman.h"

// A block coded with the fixed Huffman codes: each literal and match goes out as it is found.
class TFixedBlock {
public:
    explicit TFixedBlock(TBitWriter& out);

    void Begin(bool last);
    void AddLiteral(uint32_t byte) { out_.PutCode(literalCodes_.Entries[byte]); }
    void AddMatch(int length, int distance) {
        const deflate::CodedValue len = deflate::lengthSymbol(length);
        out_.PutCode(literalCodes_.Entries[len.symbol]);
        if (len.extraBits) out_.PutBits(len.extra, len.extraBits);
        const deflate::CodedValue dist = deflate::distanceSymbol(distance);
        out_.PutCode(distanceCodes_.Entries[dist.symbol]);
        if (dist.extraBits) out_.PutBits(dist.extra, dist.extraBits);
    }
    // The block has no size limit of its own.
    static constexpr bool Full() { return false; }
    static constexpr int TokensBeforeFull(int max) { return max; }
    void End() { out_.PutCode(literalCodes_.Entries[deflate::EndOfBlock]); }

private:
    TBitWriter& out_;
    THuffmanCodes literalCodes_, distanceCodes_;
    bool codesSet_ = false;
};
