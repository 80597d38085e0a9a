#include <gtest/gtest.h>

#include <string>

#include "compress/Huffman.h"
#include "platform/Exceptions.h"
#include "streams/MemStream.h"

namespace {

// The code as a bit string, first bit first (undoing the stored reversal by hand).
std::string bitString(const THuffmanCodes::TEntry& e) {
    std::string s;
    for (uint32_t k = 0; k < e.Length; ++k) s += ((e.Code >> k) & 1) ? '1' : '0';
    return s;
}

}  // namespace

TEST(HuffmanCodes, AllCountsZeroLeaveTheTableEmpty) {
    THuffmanCodes c;
    c.SetCount(10);
    uint32_t counts[10] = {};
    c.BuildFromFrequencies(counts, 15);
    for (int i = 0; i < 10; ++i) {
        EXPECT_EQ(c.Entries[i].Length, 0u);
        EXPECT_EQ(c.Entries[i].Code, 0u);
    }
}

TEST(HuffmanCodes, OneUsedSymbolGetsAOneBitCode) {
    THuffmanCodes c;
    c.SetCount(5);
    uint32_t counts[5] = {0, 0, 0, 7, 0};
    c.BuildFromFrequencies(counts, 15);
    for (int i = 0; i < 5; ++i) EXPECT_EQ(c.Entries[i].Length, i == 3 ? 1u : 0u);
    EXPECT_EQ(c.Entries[3].Code, 0u);
}

TEST(HuffmanCodes, SmallExampleGivesCanonicalCodes) {
    THuffmanCodes c;
    c.SetCount(4);
    uint32_t counts[4] = {1, 1, 2, 4};
    c.BuildFromFrequencies(counts, 15);
    EXPECT_EQ(bitString(c.Entries[0]), "110");
    EXPECT_EQ(bitString(c.Entries[1]), "111");
    EXPECT_EQ(bitString(c.Entries[2]), "10");
    EXPECT_EQ(bitString(c.Entries[3]), "0");
}

TEST(HuffmanCodes, FibonacciCountsReachFifteenBitsWithoutLimiting) {
    THuffmanCodes c;
    c.SetCount(16);
    uint32_t counts[16];
    counts[0] = counts[1] = 1;
    for (int i = 2; i < 16; ++i) counts[i] = counts[i - 1] + counts[i - 2];
    c.BuildFromFrequencies(counts, 15);
    const uint32_t expected[16] = {15, 15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1};
    for (int i = 0; i < 16; ++i) EXPECT_EQ(c.Entries[i].Length, expected[i]) << i;
    EXPECT_EQ(bitString(c.Entries[15]), "0");
    EXPECT_EQ(bitString(c.Entries[14]), "10");
    EXPECT_EQ(bitString(c.Entries[0]), "111111111111110");
    EXPECT_EQ(bitString(c.Entries[1]), "111111111111111");
}

TEST(HuffmanCodes, LengthLimitingToSevenBits) {
    THuffmanCodes c;
    c.SetCount(10);
    uint32_t counts[10] = {1, 1, 2, 3, 5, 8, 13, 21, 34, 55};
    c.BuildFromFrequencies(counts, 7);
    const uint32_t lengths[10] = {7, 7, 7, 7, 6, 6, 4, 3, 2, 1};
    const char* codes[10] = {"1111100", "1111101", "1111110", "1111111", "111100",
                             "111101",  "1110",    "110",     "10",      "0"};
    for (int i = 0; i < 10; ++i) {
        EXPECT_EQ(c.Entries[i].Length, lengths[i]) << i;
        EXPECT_EQ(bitString(c.Entries[i]), codes[i]) << i;
    }
}

TEST(HuffmanCodes, CanonicalCodesFromLengthsAsInRfc1951) {
    THuffmanCodes c;
    c.SetCount(8);
    const uint8_t lengths[8] = {3, 3, 3, 3, 3, 2, 4, 4};
    c.BuildFromLengths(lengths, 15);
    const char* codes[8] = {"010", "011", "100", "101", "110", "00", "1110", "1111"};
    for (int i = 0; i < 8; ++i) EXPECT_EQ(bitString(c.Entries[i]), codes[i]) << i;
}

TEST(HuffmanCodes, FixedCodes) {
    THuffmanCodes c;
    c.SetCount(288);
    c.SetFixedLiteralCodes();
    EXPECT_EQ(bitString(c.Entries[0]), "00110000");
    EXPECT_EQ(bitString(c.Entries[143]), "10111111");
    EXPECT_EQ(bitString(c.Entries[144]), "110010000");
    EXPECT_EQ(bitString(c.Entries[255]), "111111111");
    EXPECT_EQ(bitString(c.Entries[256]), "0000000");
    EXPECT_EQ(bitString(c.Entries[279]), "0010111");
    EXPECT_EQ(bitString(c.Entries[280]), "11000000");
    EXPECT_EQ(bitString(c.Entries[285]), "11000101");
    EXPECT_EQ(c.Entries[286].Length, 0u);
    EXPECT_EQ(c.Entries[287].Length, 0u);
    THuffmanCodes d;
    d.SetCount(32);
    d.SetFixedCodes(5);
    EXPECT_EQ(bitString(d.Entries[1]), "00001");
    EXPECT_EQ(bitString(d.Entries[29]), "11101");
}

TEST(HuffmanTree, DecodesWhatTheCodesWrite) {
    THuffmanCodes c;
    c.SetCount(8);
    const uint8_t lengths[8] = {3, 3, 3, 3, 3, 2, 4, 4};
    c.BuildFromLengths(lengths, 15);
    THuffmanTree t;
    t.BuildFromCodes(c);
    EXPECT_EQ(t.Root, 8);
    TMemStream m;
    {
        TBitStream w(&m);
        for (int s : {5, 0, 7, 6, 2, 5, 5, 1, 3, 4}) w.WriteBits(c.Entries[s].Code, static_cast<int32_t>(c.Entries[s].Length));
    }
    m.Seek(0);
    THuffmanBitStream r(&m);
    for (int s : {5, 0, 7, 6, 2, 5, 5, 1, 3, 4}) EXPECT_EQ(r.ReadCode(t), s);
}

TEST(HuffmanTree, SingleOneBitCodeRejectsTheOtherBit) {
    THuffmanTree t;
    t.SetCount(32);
    uint8_t lengths[32] = {};
    lengths[7] = 1;
    t.BuildFromLengths(lengths, 15);
    TMemStream m;
    const uint8_t bits = 0x02;  // 0 then 1
    m.Write(&bits, 1);
    m.Seek(0);
    THuffmanBitStream r(&m);
    EXPECT_EQ(r.ReadCode(t), 7);
    try {
        r.ReadCode(t);
        FAIL() << "no exception";
    } catch (const EAssertionFailed& e) {
        EXPECT_EQ(std::string(e.what()).rfind("Invalid Huffman code (Huffman, line ", 0), 0u) << e.what();
    }
}

TEST(HuffmanTree, OversubscribedLengthsCannotOverrunTheNodeTable) {
    // 288 codes of 15 bits each: far more than a prefix code allows, and the tree would need
    // about 288 * 14 internal nodes.
    THuffmanTree t;
    t.SetCount(288);
    uint8_t lengths[288];
    for (auto& l : lengths) l = 15;
    EXPECT_THROW(t.BuildFromLengths(lengths, 15), EAssertionFailed);
}
