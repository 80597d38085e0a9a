#include "compress/DynamicBlock.h"

#include <algorithm>

using namespace deflate;

namespace {

constexpr int MinLiteralCodes = 257;  // every literal and the end of block
constexpr int MinDistanceCodes = 1;
constexpr int MinCodeLengthCodes = 4;
constexpr int MaxStoredLengths = 320;

// How many codes of a table the header stores: up to the last with a length, at least
// `minimum` (the first code counts toward the minimum only).
int storedCodeCount(const THuffmanCodes& codes, int last, int minimum) {
    for (int i = last; i >= 1; --i)
        if (codes.Entries[i].Length != 0) return std::max(minimum, i + 1);
    return minimum;
}

// The code-length code's lengths, stored in CodeLengthOrder up to the last one used.
int storedCodeLengthCount(const THuffmanCodes& codes) {
    for (int p = CodeLengthSymbols - 1; p >= 1; --p)
        if (codes.Entries[CodeLengthOrder[p]].Length != 0) return std::max(MinCodeLengthCodes, p + 1);
    return MinCodeLengthCodes;
}

// The code lengths of both tables as the header stores them: runs of one length become
// repeat symbols with their extra bits.
struct CodeLengthRuns {
    struct Item {
        uint8_t symbol, extra;
    };
    Item items[MaxStoredLengths];
    int count = 0;
    uint32_t frequencies[CodeLengthSymbols] = {};

    void emit(uint32_t symbol, int extra) {
        items[count++] = {static_cast<uint8_t>(symbol), static_cast<uint8_t>(extra)};
        ++frequencies[symbol];
    }

    // n lengths of `value` in a row.
    void addRun(uint8_t value, int n) {
        if (value != 0) {
            emit(value, 0);
            --n;
            while (n >= 3) {
                const int k = std::min(n, 6);
                emit(RepeatPrevious, k - 3);
                n -= k;
            }
        } else {
            while (n >= 3) {
                if (n <= 10) {
                    emit(RepeatZeroShort, n - 3);
                    n = 0;
                } else {
                    const int k = std::min(n, 138);
                    emit(RepeatZeroLong, k - 11);
                    n -= k;
                }
            }
        }
        while (n-- > 0) emit(value, 0);
    }
};

int repeatExtraBits(uint32_t symbol) {
    switch (symbol) {
        case RepeatPrevious: return 2;
        case RepeatZeroShort: return 3;
        case RepeatZeroLong: return 7;
        default: return 0;
    }
}

CodeLengthRuns runLengthCode(const THuffmanCodes& literalCodes, int literalCount, const THuffmanCodes& distanceCodes,
                             int distanceCount) {
    uint8_t lengths[MaxStoredLengths];
    for (int i = 0; i < literalCount; ++i) lengths[i] = static_cast<uint8_t>(literalCodes.Entries[i].Length);
    for (int i = 0; i < distanceCount; ++i)
        lengths[literalCount + i] = static_cast<uint8_t>(distanceCodes.Entries[i].Length);
    const int total = literalCount + distanceCount;
    CodeLengthRuns runs;
    for (int i = 0; i < total;) {
        const uint8_t value = lengths[i];
        int n = 1;
        while (i + n < total && lengths[i + n] == value) ++n;
        i += n;
        runs.addRun(value, n);
    }
    return runs;
}

void writeHeader(TBitWriter& out, int literalCount, int distanceCount, CodeLengthRuns& runs) {
    auto codeLengthCodes = std::make_unique<THuffmanCodes>();
    codeLengthCodes->SetCount(CodeLengthSymbols);
    codeLengthCodes->BuildFromFrequencies(runs.frequencies, MaxCodeLengthBits);
    const int codeLengthCount = storedCodeLengthCount(*codeLengthCodes);

    out.PutBits(static_cast<uint32_t>(literalCount - MinLiteralCodes), 5);
    out.PutBits(static_cast<uint32_t>(distanceCount - MinDistanceCodes), 5);
    out.PutBits(static_cast<uint32_t>(codeLengthCount - MinCodeLengthCodes), 4);
    for (int p = 0; p < codeLengthCount; ++p) out.PutBits(codeLengthCodes->Entries[CodeLengthOrder[p]].Length, 3);
    for (int i = 0; i < runs.count; ++i) {
        const auto& item = runs.items[i];
        out.PutCode(codeLengthCodes->Entries[item.symbol]);
        if (const int extraBits = repeatExtraBits(item.symbol)) out.PutBits(item.extra, extraBits);
    }
}

}  // namespace

TDynamicBlock::TDynamicBlock() {
    literalCodes_.SetCount(LiteralSymbols);
    distanceCodes_.SetCount(DistanceSymbols);
}

void TDynamicBlock::Begin() {
    if (!tokens_) tokens_ = std::make_unique_for_overwrite<uint32_t[]>(TokenCapacity);
    tokenCount_ = 0;
    symbolCount_ = 0;
    std::fill(std::begin(literalCounts_), std::end(literalCounts_), 0);
    std::fill(std::begin(distanceCounts_), std::end(distanceCounts_), 0);
}

void TDynamicBlock::Write(TBitWriter& out, bool last) {
    out.PutBlockHeader(last, DynamicBlock);
    ++literalCounts_[EndOfBlock];
    ++symbolCount_;
    buildCodes();
    const int literalCount = storedCodeCount(literalCodes_, static_cast<int>(LastLengthSymbol), MinLiteralCodes);
    const int distanceCount = storedCodeCount(distanceCodes_, DistanceSymbolCount - 1, MinDistanceCodes);
    CodeLengthRuns runs = runLengthCode(literalCodes_, literalCount, distanceCodes_, distanceCount);
    writeHeader(out, literalCount, distanceCount, runs);
    writeTokens(out);
    out.PutCode(literalCodes_.Entries[EndOfBlock]);
}

// Codes from the frequencies of the block's symbols (the counts are used up).
void TDynamicBlock::buildCodes() {
    literalCodes_.BuildFromFrequencies(literalCounts_, MaxCodeBits);
    distanceCodes_.BuildFromFrequencies(distanceCounts_, MaxCodeBits);
}

// Each token goes out as two pieces of bits, a code with the extra bits that follow it: a
// literal's code and nothing, or a match's length and distance. Chosen without branches,
// which would follow no pattern.
void TDynamicBlock::writeTokens(TBitWriter& out) {
    fillLengthBits();
    for (int32_t i = 0; i < tokenCount_; ++i) {
        const uint32_t token = tokens_[i];
        const bool match = (token & MatchFlag) != 0;
        const TBits literal = {literalCodes_.Entries[token & 0xFF].Code, literalCodes_.Entries[token & 0xFF].Length};
        const TBits first = match ? lengthBits_[(token >> DistanceBits) & LengthField] : literal;
        const CodedValue dist = distanceSymbol(static_cast<int>(token & DistanceField) + 1);
        const THuffmanCodes::TEntry& distCode = distanceCodes_.Entries[dist.symbol];
        const uint32_t distLength = distCode.Length + static_cast<uint32_t>(dist.extraBits);
        out.PutBits(first.value, static_cast<int>(first.length));
        out.PutBits(distCode.Code | dist.extra << distCode.Length, match ? static_cast<int>(distLength) : 0);
    }
}

// Every match length's code with its extra bits, for this block's codes.
void TDynamicBlock::fillLengthBits() {
    for (int length = MinMatch; length <= MaxMatch; ++length) {
        const CodedValue len = lengthSymbol(length);
        const THuffmanCodes::TEntry& code = literalCodes_.Entries[len.symbol];
        lengthBits_[length] = {code.Code | len.extra << code.Length, code.Length + static_cast<uint32_t>(len.extraBits)};
    }
}
