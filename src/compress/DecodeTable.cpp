#include "compress/DecodeTable.h"

#include <algorithm>
#include <array>
#include <memory>

#include "compress/DeflateFormat.h"

namespace deflate {

namespace {

uint32_t literalEntry(uint32_t symbol, uint32_t bits) {
    if (symbol < EndOfBlock) return entry(bits, kLiteral, 0, symbol);
    if (symbol == EndOfBlock) return entry(bits, kEnd, 0, 0);
    if (symbol <= LastLengthSymbol) {
        const uint32_t index = symbol - FirstLengthSymbol;
        return entry(bits, kLength, Lengths.extra[index], Lengths.base[index]);
    }
    return entry(bits, kBadSymbol, 0, 0);
}

uint32_t distanceEntry(uint32_t symbol, uint32_t bits) {
    if (symbol < DistanceSymbolCount) return entry(bits, kDistance, Distances.extra[symbol], Distances.base[symbol]);
    return entry(bits, kBadSymbol, 0, 0);
}

using EntryMaker = uint32_t (*)(uint32_t symbol, uint32_t bits);

// Walks the tree exactly as a bit-by-bit decoder does (a child above LastNode fails,
// a child not above MaxSymbol is a symbol) and records where each bit sequence ends.
// Internal nodes at the root table's depth get one subtable each, as deep as their
// deepest sequence; subtables are filled after the root table.
class TableBuilder {
public:
    TableBuilder(const THuffmanTree& tree, DecodeTable& table, EntryMaker make)
        : tree_(tree), table_(table), make_(make) {}

    void build(int rootBits) {
        table_.rootBits = rootBits;
        table_.entries.assign(size_t{1} << rootBits, 0);
        fillFrom(static_cast<uint32_t>(tree_.Root), 0, rootBits, true);
        for (const Link& link : links_) fillFrom(link.node, link.base, link.bits, false);
    }

private:
    struct Item {
        uint32_t node;
        uint32_t depth;
        uint32_t path;
    };
    struct Link {
        uint32_t node;
        size_t base;
        int bits;
    };
    static constexpr int StackSize = 64;

    bool isInternal(uint32_t node) const { return node > tree_.MaxSymbol && node <= tree_.LastNode; }

    // Fills the entries below `base` whose low `depth` bits are `path`.
    void fill(size_t base, int bits, uint32_t path, uint32_t depth, uint32_t value) {
        for (uint32_t i = path; i < (1u << bits); i += 1u << depth) table_.entries[base + i] = value;
    }

    // Deepest end of any bit sequence below an internal node, relative to it.
    uint32_t subtreeDepth(uint32_t start) const {
        Item stack[StackSize];
        int top = 0;
        uint32_t deepest = 0;
        stack[top++] = {start, 0, 0};
        while (top > 0) {
            const Item it = stack[--top];
            for (uint16_t child : {tree_.Nodes[it.node].Child0, tree_.Nodes[it.node].Child1}) {
                const uint32_t d = it.depth + 1;
                if (isInternal(child) && d < MaxCodeBits && top < StackSize - 2)
                    stack[top++] = {child, d, 0};
                else
                    deepest = std::max(deepest, d);
            }
        }
        return deepest;
    }

    // Reserves the subtable for the internal node at `slot` of the root table.
    void addLink(uint32_t node, size_t slot, uint32_t depth) {
        const uint32_t subBits = subtreeDepth(node);
        const size_t subBase = table_.entries.size();
        table_.entries.resize(subBase + (size_t{1} << subBits), 0);
        table_.entries[slot] = linkEntry(depth, subBits, static_cast<uint32_t>(subBase));
        links_.push_back({node, subBase, static_cast<int>(subBits)});
    }

    // Fills one (sub)table of `bits` bits for the sequences that start at `start`.
    // Internal nodes found at depth `bits` get subtables when `allowLinks`.
    void fillFrom(uint32_t start, size_t base, int bits, bool allowLinks) {
        Item stack[StackSize];
        int top = 0;
        stack[top++] = {start, 0, 0};
        while (top > 0) {
            const Item it = stack[--top];
            const uint16_t children[2] = {tree_.Nodes[it.node].Child0, tree_.Nodes[it.node].Child1};
            for (uint32_t bit = 0; bit < 2; ++bit) {
                const uint32_t child = children[bit];
                const uint32_t d = it.depth + 1;
                const uint32_t path = it.path | bit << it.depth;
                if (child <= tree_.MaxSymbol) {
                    fill(base, bits, path, d, make_(child, d));
                } else if (child > tree_.LastNode) {
                    fill(base, bits, path, d, entry(d, kInvalid, 0, 0));
                } else if (d < static_cast<uint32_t>(bits)) {
                    stack[top++] = {child, d, path};
                } else if (allowLinks) {
                    addLink(child, base + path, d);
                } else {
                    // Deeper than any code can be: no valid sequence continues here.
                    fill(base, bits, path, d, entry(d, kInvalid, 0, 0));
                }
            }
        }
    }

    const THuffmanTree& tree_;
    DecodeTable& table_;
    EntryMaker make_;
    std::vector<Link> links_;
};

// Where a literal's code leaves room in the root index for the whole code of a second
// literal, the entry gives both: the bits after the first code index the entry that a
// lookup after it would find, and a code that fits in them is decided by them alone.
// Done from the top down in place: the second entry's index is never above the first's,
// so it still holds a single symbol when it is read.
void pairLiterals(DecodeTable& table) {
    uint32_t* const entries = table.entries.data();
    for (uint32_t index = 1u << table.rootBits; index-- > 0;) {
        // Written without branches: which entries pair follows no pattern.
        const uint32_t first = entries[index];
        const uint32_t firstBits = entryBits(first);  // below 32 for every kind
        const uint32_t second = entries[index >> firstBits];
        const bool pair = isLiteralEntry(first) && isLiteralEntry(second) &&
                          firstBits + entryBits(second) <= static_cast<uint32_t>(table.rootBits);
        const uint32_t paired = pairEntry(firstBits, entryBits(second), entryValue(first) & 0xFF, entryValue(second) & 0xFF);
        entries[index] = pair ? paired : first;
    }
}

constexpr std::array<uint8_t, 256> makeReversedBytes() {
    std::array<uint8_t, 256> t{};
    for (uint32_t b = 0; b < 256; ++b)
        for (int k = 0; k < 8; ++k) t[b] |= static_cast<uint8_t>(((b >> k) & 1) << (7 - k));
    return t;
}
constexpr auto ReversedBytes = makeReversedBytes();

// A code of up to 16 bits, its bits in reverse order (the order deflate sends them).
uint32_t reversedCode(uint32_t code, uint32_t length) {
    return (uint32_t{ReversedBytes[code & 0xFF]} << 8 | ReversedBytes[code >> 8]) >> (16 - length);
}

// A complete code (every bit sequence leads to a symbol) decodes through its tree exactly
// as through its canonical codes, so its table is filled from the lengths alone. In
// canonical order the codes' root prefixes never decrease: the codes under one root entry
// come together, and the last of them is the longest.
class CanonicalBuilder {
public:
    CanonicalBuilder(const uint8_t* lengths, uint32_t count, DecodeTable& table, EntryMaker make)
        : lengths_(lengths), table_(table), make_(make) {
        for (uint32_t s = 0; s < count; ++s)
            if (lengths[s] != 0) ++perLength_[std::min<uint32_t>(lengths[s], MaxCodeBits + 1)];
        if (perLength_[MaxCodeBits + 1] == 0) sortSymbols(count);
    }

    bool complete() const {
        uint32_t space = 0;
        for (int length = 1; length <= MaxCodeBits; ++length) space += perLength_[length] << (MaxCodeBits - length);
        return perLength_[MaxCodeBits + 1] == 0 && space == 1u << MaxCodeBits;
    }

    void build(int rootBits) {
        table_.rootBits = rootBits;
        table_.entries.resize(size_t{1} << rootBits);  // a complete code writes every entry
        uint32_t k = 0;
        while (k < sorted_) {
            const uint32_t length = lengthAt(k);
            if (length <= static_cast<uint32_t>(rootBits)) {
                fill(0, rootBits, reversedCode(code_, length), length, make_(symbols_[k], length));
                next(k);
            } else {
                k = buildSubtable(k, rootBits);
            }
        }
    }

private:
    uint32_t lengthAt(uint32_t k) const { return lengths_[symbols_[k]]; }

    void sortSymbols(uint32_t count) {
        uint32_t offset[MaxCodeBits + 1] = {};
        for (int length = 1; length < MaxCodeBits; ++length) offset[length + 1] = offset[length] + perLength_[length];
        for (uint32_t s = 0; s < count; ++s)
            if (lengths_[s] != 0) symbols_[offset[lengths_[s]]++] = static_cast<uint16_t>(s);
        sorted_ = offset[MaxCodeBits];
        codeLength_ = sorted_ ? lengthAt(0) : 0;
    }

    // Moves the canonical code on to symbol k + 1.
    void next(uint32_t& k) {
        ++code_;
        if (++k < sorted_) {
            code_ <<= lengthAt(k) - codeLength_;
            codeLength_ = lengthAt(k);
        }
    }

    void fill(size_t base, int bits, uint32_t reversed, uint32_t length, uint32_t value) {
        uint32_t* const entries = table_.entries.data() + base;
        for (uint32_t i = reversed; i < (1u << bits); i += 1u << length) entries[i] = value;
    }

    // The subtable of the codes from k on that share code k's root prefix; the index after them.
    uint32_t buildSubtable(uint32_t k, int rootBits) {
        const uint32_t prefix = code_ >> (codeLength_ - rootBits);
        uint32_t end = k, code = code_, length = codeLength_, longest = length;
        while (end < sorted_) {
            code <<= lengthAt(end) - length;
            length = lengthAt(end);
            if (code >> (length - rootBits) != prefix) break;
            longest = length;
            ++code;
            ++end;
        }
        const uint32_t subBits = longest - rootBits;
        const size_t base = table_.entries.size();
        table_.entries.resize(base + (size_t{1} << subBits));
        table_.entries[reversedCode(code_, codeLength_) & ((1u << rootBits) - 1)] =
            linkEntry(rootBits, subBits, static_cast<uint32_t>(base));
        while (k < end) {
            const uint32_t own = codeLength_ - rootBits;
            fill(base, static_cast<int>(subBits), reversedCode(code_, codeLength_) >> rootBits, own,
                 make_(symbols_[k], own));
            next(k);
        }
        return end;
    }

    const uint8_t* lengths_;
    DecodeTable& table_;
    EntryMaker make_;
    uint32_t perLength_[MaxCodeBits + 2] = {};  // the last counts lengths too long for any code
    uint16_t symbols_[THuffmanCodes::MaxSymbols];
    uint32_t sorted_ = 0;
    uint32_t code_ = 0, codeLength_ = 0;  // the canonical code of the symbol being placed
};

}  // namespace

bool buildLiteralTable(const uint8_t* lengths, DecodeTable& table) {
    CanonicalBuilder builder(lengths, LiteralSymbols, table, literalEntry);
    if (!builder.complete()) return false;
    builder.build(LiteralRootBits);
    pairLiterals(table);
    return true;
}

bool buildDistanceTable(const uint8_t* lengths, DecodeTable& table) {
    CanonicalBuilder builder(lengths, DistanceSymbols, table, distanceEntry);
    if (!builder.complete()) return false;
    builder.build(DistanceRootBits);
    return true;
}

void buildLiteralTable(const THuffmanTree& tree, DecodeTable& table) {
    TableBuilder(tree, table, literalEntry).build(LiteralRootBits);
    pairLiterals(table);
}

void buildDistanceTable(const THuffmanTree& tree, DecodeTable& table) {
    TableBuilder(tree, table, distanceEntry).build(DistanceRootBits);
}

FixedTables::FixedTables() {
    auto codes = std::make_unique<THuffmanCodes>();
    auto tree = std::make_unique<THuffmanTree>();
    codes->SetCount(LiteralSymbols);
    codes->SetFixedLiteralCodes();
    tree->BuildFromCodes(*codes);
    buildLiteralTable(*tree, literal);
    codes = std::make_unique<THuffmanCodes>();
    tree = std::make_unique<THuffmanTree>();
    codes->SetCount(DistanceSymbols);
    codes->SetFixedCodes(FixedDistanceBits);
    tree->BuildFromCodes(*codes);
    buildDistanceTable(*tree, distance);
}

const FixedTables& fixedTables() {
    static const FixedTables tables;
    return tables;
}

}  // namespace deflate
