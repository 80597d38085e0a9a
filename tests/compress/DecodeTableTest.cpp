#include <gtest/gtest.h>

#include <random>

#include "compress/DecodeTable.h"
#include "compress/DeflateFormat.h"
#include "compress/Huffman.h"

using namespace deflate;

namespace {

// What a table makes of a 15-bit sequence: the entry it ends at and the bits it takes.
std::pair<uint32_t, uint32_t> resolve(const DecodeTable& t, uint32_t bits) {
    const uint32_t e = t.entries[bits & ((1u << t.rootBits) - 1)];
    if (!isExceptionalEntry(e) || exceptionKind(e) != kLink) return {e, entryBits(e)};
    const uint32_t sub = t.entries[entryValue(e) + ((bits >> entryBits(e)) & ((1u << entryCodeBits(e)) - 1))];
    return {sub, entryBits(e) + entryBits(sub)};
}

}  // namespace

// Complete codes are tabled straight from their lengths, other codes through their tree:
// both ways must decode every bit sequence alike, long codes (subtables) included.
TEST(DecodeTable, CodesTabledFromLengthsDecodeAsTheirTrees) {
    std::mt19937 rng(51);
    for (int i = 0; i < 120; ++i) {
        const bool literal = i % 2 == 0;
        const int count = literal ? LiteralSymbols : DistanceSymbols;
        uint32_t frequencies[LiteralSymbols] = {};
        for (int s = 0; s < count - 2; ++s) frequencies[s] = i % 3 == 0 ? 1u << (rng() % 24) : rng() % 100;
        THuffmanCodes codes;
        codes.SetCount(count);
        codes.BuildFromFrequencies(frequencies, MaxCodeBits);
        uint8_t lengths[LiteralSymbols];
        for (int s = 0; s < count; ++s) lengths[s] = static_cast<uint8_t>(codes.Entries[s].Length);
        DecodeTable fromLengths, fromTree;
        ASSERT_TRUE(literal ? buildLiteralTable(lengths, fromLengths) : buildDistanceTable(lengths, fromLengths));
        THuffmanTree tree;
        tree.SetCount(count);
        tree.BuildFromLengths(lengths, MaxCodeBits);
        literal ? buildLiteralTable(tree, fromTree) : buildDistanceTable(tree, fromTree);
        for (uint32_t bits = 0; bits < 1u << MaxCodeBits; ++bits)
            ASSERT_EQ(resolve(fromLengths, bits), resolve(fromTree, bits)) << "code set " << i << ", bits " << bits;
    }
    uint8_t incomplete[DistanceSymbols] = {1};  // one code of one bit: zlib's lone distance
    DecodeTable table;
    EXPECT_FALSE(buildDistanceTable(incomplete, table));
}
