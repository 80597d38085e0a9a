#pragma once

#include <cstdint>

#include "compress/BitStream.h"
#include "platform/Object.h"

// Raises the assertion error "Invalid Huffman code" (unit Huffman): a bit sequence with
// no code in the current tree, or a code set whose tree would not fit the node table.
[[noreturn]] void RaiseInvalidHuffmanCode();

// An encoding table: one code and one length per symbol. Codes are stored bit-reversed
// in their low Length bits, ready for WriteBits (least-significant bit first).
class THuffmanCodes : public TObject {
public:
    PIXMORPH_CLASS_NAME(THuffmanCodes)
    static constexpr int MaxSymbols = 289;

    struct TEntry {
        uint32_t Code = 0;
        uint32_t Length = 0;  // 0: the symbol has no code
    };

    uint32_t MaxSymbol = 0;  // number of symbols minus one
    TEntry Entries[MaxSymbols];

    void SetCount(int32_t count) { MaxSymbol = static_cast<uint32_t>(count - 1); }
    // Canonical codes for one length byte per symbol (MaxSymbol + 1 of them).
    void BuildFromLengths(const uint8_t* lengths, int32_t maxBits);
    // A Huffman code over one count per symbol, lengths limited to maxBits. The counts
    // are working storage and are left changed.
    void BuildFromFrequencies(uint32_t* counts, int32_t maxBits);
    // The fixed literal/length code of deflate (symbols 286 and 287 keep their entries).
    void SetFixedLiteralCodes();
    // Every symbol gets `bits` bits and its own value as code (the fixed distance code: 5).
    void SetFixedCodes(int32_t bits);
};

// A decoding tree with two children per node. Nodes 0..MaxSymbol are the leaves; internal
// nodes are numbered from MaxSymbol + 1 (the root) up in the order they are created.
class THuffmanTree : public TObject {
public:
    PIXMORPH_CLASS_NAME(THuffmanTree)
    static constexpr int MaxNodes = 2 * THuffmanCodes::MaxSymbols;  // 578
    static constexpr uint16_t NoChild = 0xFFFF;

    struct TNode {
        uint16_t Child1 = NoChild;  // reached by a 1 bit
        uint16_t Child0 = NoChild;  // reached by a 0 bit
        uint16_t Parent = NoChild;
    };

    TNode Nodes[MaxNodes];
    uint32_t MaxSymbol = 0;
    uint32_t LastNode = 0;
    int32_t Root = 0;

    void SetCount(int32_t count) { MaxSymbol = static_cast<uint32_t>(count - 1); }
    // A code set that would need more than MaxNodes nodes (only possible for sets that
    // are not prefix codes) raises "Invalid Huffman code" instead of overrunning the table.
    void BuildFromCodes(const THuffmanCodes& codes);
    void BuildFromLengths(const uint8_t* lengths, int32_t maxBits);
};

class THuffmanBitStream : public TBitStream {
public:
    PIXMORPH_CLASS_NAME(THuffmanBitStream)
    explicit THuffmanBitStream(TBaseStream* stream) : TBitStream(stream) {}
    // Decodes one symbol, one bit per step, as ReadBit reads them.
    int32_t ReadCode(const THuffmanTree& tree);
};
