#pragma once

#include <cstdint>
#include <vector>

#include "compress/Huffman.h"

// Lookup tables for decoding, derived from the same decoding trees a bit-by-bit walk would
// use, so that every bit sequence decodes to the same symbol or fails the same way.
namespace deflate {

// An entry resolves a symbol with its extra bits in one lookup. Bits 0-5: the bits it
// consumes, the code's and its extra bits together (a literal pair: both codes; a link: the
// root width). Bits 8-11: the code's own bits, where its extra bits start (a literal pair:
// the first code's bits; a link: the subtable's width). Bits 16-31: the value (a literal,
// a length or distance base, a subtable's start; a literal pair: the first literal in
// 16-23, the second in 24-31). Flags tell the kind with one test each: a literal or pair,
// a pair, or an exceptional entry (end of block, link, bad symbol, invalid code) whose kind
// is in bits 13-15. Lengths and distances, each in its own table, have no flag.
enum EntryKind : uint32_t {
    kLiteral = 0, kLiteralPair = 1, kLength = 2, kEnd = 3, kBadSymbol = 4, kInvalid = 5, kLink = 6, kDistance = 7
};

constexpr uint32_t LiteralFlag = 1u << 6;
constexpr uint32_t PairFlag = 1u << 7;
constexpr uint32_t ExceptionalFlag = 1u << 12;

// An entry of `kind` for a code of codeBits bits followed by extraBits extra bits.
constexpr uint32_t entry(uint32_t codeBits, uint32_t kind, uint32_t extraBits, uint32_t value) {
    uint32_t flags = 0;
    if (kind == kLiteral || kind == kLiteralPair) flags = LiteralFlag | (kind == kLiteralPair ? PairFlag : 0);
    if (kind >= kEnd && kind <= kLink) flags = ExceptionalFlag | kind << 13;
    return (codeBits + extraBits) | codeBits << 8 | flags | value << 16;
}
// A literal pair: codes of firstBits and secondBits bits.
constexpr uint32_t pairEntry(uint32_t firstBits, uint32_t secondBits, uint32_t first, uint32_t second) {
    return (firstBits + secondBits) | firstBits << 8 | LiteralFlag | PairFlag | (first | second << 8) << 16;
}
// A link to the subtable of subBits bits at `start`, taken after rootBits bits.
constexpr uint32_t linkEntry(uint32_t rootBits, uint32_t subBits, uint32_t start) {
    return rootBits | subBits << 8 | ExceptionalFlag | kLink << 13 | start << 16;
}

inline uint32_t entryBits(uint32_t e) { return e & 63; }
inline uint32_t entryCodeBits(uint32_t e) { return (e >> 8) & 15; }
inline uint32_t entryValue(uint32_t e) { return e >> 16; }
inline bool isLiteralEntry(uint32_t e) { return (e & LiteralFlag) != 0; }
inline bool isExceptionalEntry(uint32_t e) { return (e & ExceptionalFlag) != 0; }
// The kind of an exceptional entry.
inline uint32_t exceptionKind(uint32_t e) { return (e >> 13) & 7; }
// The entry's extra bits, from the bit buffer as it was before the entry was consumed.
inline uint32_t extraValue(uint64_t before, uint32_t e) {
    return static_cast<uint32_t>((before & ((uint64_t{1} << entryBits(e)) - 1)) >> entryCodeBits(e));
}

// Root widths: every literal/length table and every distance table has the same, so the
// hot loop masks with constants.
constexpr int LiteralRootBits = 11;
constexpr int DistanceRootBits = 8;

// A root table indexed by the next rootBits bits; links lead to subtables behind it.
struct DecodeTable {
    int rootBits = 0;
    std::vector<uint32_t> entries;
};

void buildLiteralTable(const THuffmanTree& tree, DecodeTable& table);
void buildDistanceTable(const THuffmanTree& tree, DecodeTable& table);
// The same tables straight from the code lengths (LiteralSymbols or DistanceSymbols of
// them) when they make a complete code, as encoders make them; false, with the table
// untouched, for any other code, which needs its tree.
bool buildLiteralTable(const uint8_t* lengths, DecodeTable& table);
bool buildDistanceTable(const uint8_t* lengths, DecodeTable& table);

// The tables of the fixed codes, built once.
struct FixedTables {
    DecodeTable literal, distance;
    FixedTables();
};
const FixedTables& fixedTables();

}  // namespace deflate
