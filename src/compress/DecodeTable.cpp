#include "compress/DecodeTable.h"

#include <algorithm>
#include <memory>

#include "compress/DeflateFormat.h"

namespace deflate {

namespace {

constexpr int LiteralRootBits = 11;
constexpr int DistanceRootBits = 8;

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
        table_.entries[slot] = entry(depth, kLink, subBits, static_cast<uint32_t>(subBase));
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
void pairLiterals(DecodeTable& table) {
    const uint32_t rootSize = 1u << table.rootBits;
    const std::vector<uint32_t> single(table.entries.begin(), table.entries.begin() + rootSize);
    for (uint32_t index = 0; index < rootSize; ++index) {
        const uint32_t first = single[index];
        if (entryKind(first) != kLiteral) continue;
        const uint32_t firstBits = entryBits(first);
        const uint32_t second = single[index >> firstBits];
        if (entryKind(second) != kLiteral || firstBits + entryBits(second) > static_cast<uint32_t>(table.rootBits))
            continue;
        table.entries[index] =
            entry(firstBits + entryBits(second), kLiteralPair, firstBits, entryValue(first) | entryValue(second) << 8);
    }
}

}  // namespace

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
