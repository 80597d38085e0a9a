#pragma once

#include <cstdint>
#include <cstring>

// What the compressor and the decompressor agree on: the limits of raw deflate, the block
// types, the order of a dynamic header's code-length code, and how match lengths and
// distances map to symbols with extra bits.
namespace deflate {

constexpr int MinMatch = 3;
constexpr int MaxMatch = 258;
constexpr int MaxDistance = 32768;

constexpr int LiteralSymbols = 288;     // literal/length alphabet, the two unused symbols included
constexpr int DistanceSymbols = 32;     // distance alphabet, the two unused symbols included
constexpr int CodeLengthSymbols = 19;   // alphabet of a dynamic header's code lengths
constexpr uint32_t EndOfBlock = 256;
constexpr uint32_t FirstLengthSymbol = 257;
constexpr uint32_t LastLengthSymbol = 285;
constexpr int LengthSymbolCount = 29;
constexpr int DistanceSymbolCount = 30;
constexpr int CodeLengthSlots = 318;    // code lengths a dynamic header may store

constexpr int MaxCodeBits = 15;         // longest literal/length or distance code
constexpr int MaxCodeLengthBits = 7;    // longest code of the code-length code
constexpr int FixedDistanceBits = 5;

// Code-length symbols that repeat: the previous length 3-6 times, zero 3-10 or 11-138 times.
constexpr uint32_t RepeatPrevious = 16;
constexpr uint32_t RepeatZeroShort = 17;
constexpr uint32_t RepeatZeroLong = 18;

// Block types as the two-bit field of a block header stores them.
enum BlockCode : uint32_t { StoredBlock = 0, FixedBlock = 1, DynamicBlock = 2 };

inline constexpr uint8_t CodeLengthOrder[CodeLengthSymbols] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5,
                                                               11, 4, 12, 3, 13, 2, 14, 1, 15};

// Base value and extra bits of each length symbol (index: symbol - 257).
struct LengthInfo {
    uint16_t base[LengthSymbolCount];
    uint8_t extra[LengthSymbolCount];
    constexpr LengthInfo() : base(), extra() {
        for (int s = 0; s < 8; ++s) base[s] = static_cast<uint16_t>(3 + s);
        for (int s = 8; s < 28; ++s) {
            const int j = (s - 8) / 4 + 1;
            extra[s] = static_cast<uint8_t>(j);
            base[s] = static_cast<uint16_t>((4 << j) + 3 + ((s - 8) % 4 << j));
        }
        base[28] = MaxMatch;
    }
};
inline constexpr LengthInfo Lengths;

// Base value and extra bits of each distance symbol.
struct DistanceInfo {
    uint16_t base[DistanceSymbolCount];
    uint8_t extra[DistanceSymbolCount];
    constexpr DistanceInfo() : base(), extra() {
        for (int d = 0; d < DistanceSymbolCount; ++d) {
            if (d <= 3) {
                base[d] = static_cast<uint16_t>(d + 1);
            } else {
                const int n = (d - 4) / 2 + 1;
                extra[d] = static_cast<uint8_t>(n);
                base[d] = static_cast<uint16_t>(((d & 1) << n) + (1 << (n + 1)) + 1);
            }
        }
    }
};
inline constexpr DistanceInfo Distances;

[[noreturn]] void raiseDataError();  // Exception "Error in compressed data"
[[noreturn]] void raiseShortRead();  // EInOutError "Read less than expected"

// Eight bytes in host order; the bit buffers that take them are kept for a little-endian host.
inline uint64_t load64(const uint8_t* p) {
    uint64_t v;
    std::memcpy(&v, p, 8);
    return v;
}

// A symbol with the extra bits that follow it.
struct CodedValue {
    uint32_t symbol;
    uint32_t extra;
    int extraBits;
};

// The symbol of every match length (minus FirstLengthSymbol), and of every distance: up to
// 256 by the distance, further by its bits above the seventh (which the extra bits of the
// longer distance codes always cover), those behind the first 256.
struct SymbolTables {
    static constexpr uint32_t NearDistances = 256;
    static constexpr int FarShift = 7;
    uint8_t length[MaxMatch + 1];
    uint8_t distance[2 * NearDistances];
    constexpr SymbolTables() : length(), distance() {
        for (int s = 0; s < LengthSymbolCount; ++s) {
            const int last = s + 1 < LengthSymbolCount ? Lengths.base[s + 1] - 1 : MaxMatch;
            for (int n = Lengths.base[s]; n <= last && n <= MaxMatch; ++n) length[n] = static_cast<uint8_t>(s);
        }
        for (int s = 0; s < DistanceSymbolCount; ++s) {
            const int last = s + 1 < DistanceSymbolCount ? Distances.base[s + 1] - 1 : MaxDistance;
            for (int d = Distances.base[s]; d <= last; ++d)
                distance[distanceIndex(static_cast<uint32_t>(d))] = static_cast<uint8_t>(s);
        }
    }
    // Picked without a branch: near and far distances follow no pattern.
    static constexpr uint32_t distanceIndex(uint32_t distance) {
        const uint32_t d = distance - 1;
        return d < NearDistances ? d : NearDistances + (d >> FarShift);
    }
};
inline constexpr SymbolTables Symbols;

inline CodedValue lengthSymbol(int length) {
    const uint32_t index = Symbols.length[length];
    return {FirstLengthSymbol + index, static_cast<uint32_t>(length - Lengths.base[index]), Lengths.extra[index]};
}

inline CodedValue distanceSymbol(int distance) {
    const uint32_t symbol = Symbols.distance[SymbolTables::distanceIndex(static_cast<uint32_t>(distance))];
    return {symbol, static_cast<uint32_t>(distance - Distances.base[symbol]), Distances.extra[symbol]};
}

}  // namespace deflate
