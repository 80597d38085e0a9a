#pragma once

#include <cstdint>
#include <vector>

#include "compress/Huffman.h"

// Lookup tables for decoding, derived from the same decoding trees a bit-by-bit walk would
// use, so that every bit sequence decodes to the same symbol or fails the same way.
namespace deflate {

// An entry: bits 0-4 code bits (root bits for a subtable link), 8-10 kind,
// 12-15 extra bits (subtable bits for a link, the first code's bits for a literal pair),
// 16-31 value (a literal pair: the first literal in 16-23, the second in 24-31).
// The two literal kinds come first, so that one bit test tells a literal entry.
enum EntryKind : uint32_t {
    kLiteral = 0, kLiteralPair = 1, kLength = 2, kEnd = 3, kBadSymbol = 4, kInvalid = 5, kLink = 6, kDistance = 7
};

constexpr uint32_t entry(uint32_t bits, uint32_t kind, uint32_t extra, uint32_t value) {
    return bits | kind << 8 | extra << 12 | value << 16;
}
inline uint32_t entryBits(uint32_t e) { return e & 31; }
inline uint32_t entryKind(uint32_t e) { return (e >> 8) & 7; }
inline uint32_t entryExtra(uint32_t e) { return (e >> 12) & 15; }
inline uint32_t entryValue(uint32_t e) { return e >> 16; }
inline bool isLiteralEntry(uint32_t e) { return (e & (6u << 8)) == 0; }

// A root table indexed by the next rootBits bits; links lead to subtables behind it.
struct DecodeTable {
    int rootBits = 0;
    std::vector<uint32_t> entries;
};

void buildLiteralTable(const THuffmanTree& tree, DecodeTable& table);
void buildDistanceTable(const THuffmanTree& tree, DecodeTable& table);

// The tables of the fixed codes, built once.
struct FixedTables {
    DecodeTable literal, distance;
    FixedTables();
};
const FixedTables& fixedTables();

}  // namespace deflate
