#include "compress/Huffman.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "platform/Exceptions.h"

void RaiseInvalidHuffmanCode() { AssertionFailed("Invalid Huffman code", "Huffman", __LINE__); }

namespace {

uint32_t reverseBits(uint32_t code, uint32_t length) {
    uint32_t result = 0;
    for (uint32_t k = 0; k < length; ++k) {
        result = (result << 1) | (code & 1);
        code >>= 1;
    }
    return result;
}

// Longest code any table may hold; lengths arrive as bytes, so this bounds every array.
constexpr int MaxLength = 255;

}  // namespace

void THuffmanCodes::BuildFromLengths(const uint8_t* lengths, int32_t maxBits) {
    const uint32_t count = std::min<uint32_t>(MaxSymbol + 1, MaxSymbols);
    uint32_t blCount[MaxLength + 2] = {};
    uint32_t nextCode[MaxLength + 2] = {};
    int longest = maxBits;
    for (uint32_t n = 0; n < count; ++n) {
        ++blCount[lengths[n]];
        longest = std::max<int>(longest, lengths[n]);
    }
    blCount[0] = 0;
    uint32_t code = 0;
    for (int bits = 0; bits < longest; ++bits) {
        code = (code + blCount[bits]) << 1;
        nextCode[bits + 1] = code;
    }
    for (uint32_t n = 0; n < count; ++n) {
        const uint32_t length = lengths[n];
        Entries[n].Length = length;
        if (length != 0) {
            Entries[n].Code = reverseBits(nextCode[length], length);
            ++nextCode[length];
        }
    }
}

namespace {

using TEntry = THuffmanCodes::TEntry;
constexpr int MaxSymbols = THuffmanCodes::MaxSymbols;

// Depth of each symbol in a Huffman tree over the counts (0 for symbols not counted):
// merges the two smallest lists until one is left; among equal counts the later symbol is
// taken first. A heap ordered that way picks the same pairs as scanning all symbols for
// the two smallest, in n log n instead of n squared. False when nothing was counted.
bool treeDepths(uint32_t* counts, int n, int* depth) {
    int next[MaxSymbols];
    int tail[MaxSymbols];
    for (int i = 0; i < n; ++i) {
        depth[i] = 0;
        next[i] = -1;
        tail[i] = i;
    }
    auto before = [counts](int i, int j) { return counts[i] < counts[j] || (counts[i] == counts[j] && i > j); };
    auto heapAfter = [&before](int i, int j) { return before(j, i); };  // std heaps keep the largest on top
    int heap[MaxSymbols];
    int heapSize = 0;
    for (int i = 0; i < n; ++i)
        if (counts[i] != 0) heap[heapSize++] = i;
    if (heapSize == 0) return false;
    std::make_heap(heap, heap + heapSize, heapAfter);
    while (heapSize > 1) {
        std::pop_heap(heap, heap + heapSize, heapAfter);
        const int a = heap[--heapSize];
        std::pop_heap(heap, heap + heapSize, heapAfter);
        const int b = heap[--heapSize];
        counts[a] += counts[b];
        counts[b] = 0;
        for (int s = a; s >= 0; s = next[s]) ++depth[s];
        for (int s = b; s >= 0; s = next[s]) ++depth[s];
        next[tail[a]] = b;
        tail[a] = tail[b];
        heap[heapSize++] = a;
        std::push_heap(heap, heap + heapSize, heapAfter);
    }
    if (depth[heap[0]] == 0) depth[heap[0]] = 1;  // a single used symbol gets a 1-bit code
    return true;
}

// How many codes of each length, none longer than maxBits (ITU-T T.81, Annex K,
// figure K.3). True when lengths had to be limited.
bool limitedLengthCounts(const int* depth, int n, int maxBits, std::vector<uint32_t>& counts) {
    int deepest = 0;
    for (int i = 0; i < n; ++i) deepest = std::max(deepest, depth[i]);
    const int top = std::max(deepest, 2 * maxBits);
    counts.assign(static_cast<size_t>(top) + 2, 0);
    for (int i = 0; i < n; ++i)
        if (depth[i] > 0) ++counts[depth[i]];
    bool limited = false;
    for (int length = top; length > maxBits; --length) {
        while (counts[length] > 0) {
            int j = length - 2;
            while (j > 0 && counts[j] == 0) --j;
            counts[length] -= 2;
            counts[length - 1] += 1;
            counts[j + 1] += 2;
            counts[j] -= 1;
            limited = true;
        }
    }
    return limited;
}

// The symbols with a code, by depth, then by value. Returns how many.
int symbolsByDepth(const int* depth, int n, int* order) {
    int listed = 0;
    for (int i = 0; i < n; ++i)
        if (depth[i] > 0) order[listed++] = i;
    std::stable_sort(order, order + listed, [depth](int x, int y) { return depth[x] < depth[y]; });
    return listed;
}

// Lengths handed out in list order, as many of each as lengthCounts says.
void assignLengths(TEntry* entries, const int* order, int listed, const std::vector<uint32_t>& lengthCounts,
                   int maxBits) {
    int k = 0;
    for (int length = 1; length <= maxBits && k < listed; ++length)
        for (uint32_t c = 0; c < lengthCounts[length] && k < listed; ++c)
            entries[order[k++]].Length = static_cast<uint32_t>(length);
}

// Code values in list order (canonical within the list).
void assignListCodes(TEntry* entries, const int* order, int listed) {
    if (listed == 0) return;
    uint32_t code = 0;
    uint32_t len = entries[order[0]].Length;
    int i = 0;
    while (i < listed) {
        while (i < listed && entries[order[i]].Length == len) entries[order[i++]].Code = code++;
        ++len;
        code <<= 1;
    }
}

// After limiting, the list order no longer sorts codes by symbol within a length.
void sortCodesWithinLengths(TEntry* entries, int n, int maxBits) {
    for (int length = 1; length <= maxBits; ++length) {
        uint32_t codes[MaxSymbols];
        int m = 0;
        for (int i = 0; i < n; ++i)
            if (entries[i].Length == static_cast<uint32_t>(length)) codes[m++] = entries[i].Code;
        std::sort(codes, codes + m);
        m = 0;
        for (int i = 0; i < n; ++i)
            if (entries[i].Length == static_cast<uint32_t>(length)) entries[i].Code = codes[m++];
    }
}

}  // namespace

void THuffmanCodes::BuildFromFrequencies(uint32_t* counts, int32_t maxBits) {
    const int n = static_cast<int>(std::min<uint32_t>(MaxSymbol + 1, MaxSymbols));
    for (auto& e : Entries) e = TEntry{};
    int depth[MaxSymbols];
    if (!treeDepths(counts, n, depth)) return;  // nothing counted: the table stays empty
    std::vector<uint32_t> lengthCounts;
    const bool limited = limitedLengthCounts(depth, n, maxBits, lengthCounts);
    int order[MaxSymbols];
    const int listed = symbolsByDepth(depth, n, order);
    assignLengths(Entries, order, listed, lengthCounts, maxBits);
    assignListCodes(Entries, order, listed);
    if (limited) sortCodesWithinLengths(Entries, n, maxBits);
    for (int i = 0; i < n; ++i)
        if (Entries[i].Length != 0) Entries[i].Code = reverseBits(Entries[i].Code, Entries[i].Length);
}

void THuffmanCodes::SetFixedLiteralCodes() {
    auto set = [this](int first, int last, uint32_t length, uint32_t base) {
        for (int s = first; s <= last; ++s)
            Entries[s] = TEntry{reverseBits(base + static_cast<uint32_t>(s - first), length), length};
    };
    set(0, 143, 8, 0x30);
    set(144, 255, 9, 0x190);
    set(256, 279, 7, 0);
    set(280, 285, 8, 0xC0);
}

void THuffmanCodes::SetFixedCodes(int32_t bits) {
    const uint32_t count = std::min<uint32_t>(MaxSymbol + 1, MaxSymbols);
    for (uint32_t s = 0; s < count; ++s)
        Entries[s] = TEntry{reverseBits(s, static_cast<uint32_t>(bits)), static_cast<uint32_t>(bits)};
}

void THuffmanTree::BuildFromCodes(const THuffmanCodes& codes) {
    MaxSymbol = std::min<uint32_t>(codes.MaxSymbol, THuffmanCodes::MaxSymbols - 1);
    Root = static_cast<int32_t>(MaxSymbol + 1);
    LastNode = MaxSymbol + 1;
    Nodes[Root] = TNode{};
    for (uint32_t i = 0; i <= MaxSymbol; ++i) {
        const uint32_t length = codes.Entries[i].Length;
        uint32_t c = codes.Entries[i].Code;
        if (length == 0) {
            Nodes[i].Parent = NoChild;
            continue;
        }
        uint32_t node = static_cast<uint32_t>(Root);
        for (uint32_t k = 1; k < length; ++k) {
            uint16_t& child = (c & 1) ? Nodes[node].Child1 : Nodes[node].Child0;
            c >>= 1;
            if (child == NoChild) {
                if (LastNode + 1 >= MaxNodes) RaiseInvalidHuffmanCode();
                ++LastNode;
                Nodes[LastNode] = TNode{};
                Nodes[LastNode].Parent = static_cast<uint16_t>(node);
                child = static_cast<uint16_t>(LastNode);
            }
            node = child;
        }
        ((c & 1) ? Nodes[node].Child1 : Nodes[node].Child0) = static_cast<uint16_t>(i);
        Nodes[i].Parent = static_cast<uint16_t>(node);
    }
}

void THuffmanTree::BuildFromLengths(const uint8_t* lengths, int32_t maxBits) {
    auto codes = std::make_unique<THuffmanCodes>();
    codes->MaxSymbol = MaxSymbol;
    codes->BuildFromLengths(lengths, maxBits);
    BuildFromCodes(*codes);
}

int32_t THuffmanBitStream::ReadCode(const THuffmanTree& tree) {
    uint32_t node = static_cast<uint32_t>(tree.Root);
    for (;;) {
        if (node > tree.LastNode) RaiseInvalidHuffmanCode();
        node = ReadBit() ? tree.Nodes[node].Child1 : tree.Nodes[node].Child0;
        if (node <= tree.MaxSymbol) return static_cast<int32_t>(node);
    }
}
