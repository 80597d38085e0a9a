#include <gtest/gtest.h>

#include <cstring>

#include "compress/BitStream.h"
#include "platform/Exceptions.h"
#include "streams/MemStream.h"

namespace {
std::vector<uint8_t> contents(TMemStream& m) {
    std::vector<uint8_t> v(static_cast<size_t>(m.GetSize()));
    const int64_t pos = m.GetPosition();
    m.Seek(0);
    m.Read(v.data(), static_cast<int64_t>(v.size()));
    m.Seek(pos);
    return v;
}
}  // namespace

TEST(BitStream, ThreeBitsThenOneBitMakeOneByte) {
    TMemStream m;
    TBitStream b(&m);
    b.WriteBits(5, 3);
    b.WriteBits(1, 1);
    EXPECT_EQ(m.GetSize(), 0) << "an incomplete byte waits";
    b.Flush();
    EXPECT_EQ(contents(m), (std::vector<uint8_t>{0x0D}));
}

TEST(BitStream, SixteenBitsGoOutLowByteFirst) {
    TMemStream m;
    TBitStream b(&m);
    b.WriteBits(0xABCD, 16);
    EXPECT_EQ(contents(m), (std::vector<uint8_t>{0xCD, 0xAB}));
    b.Flush();
    EXPECT_EQ(m.GetSize(), 2) << "nothing pending, nothing written";
}

TEST(BitStream, UnalignedWritesAcrossBytes) {
    TMemStream m;
    {
        TBitStream b(&m);
        b.WriteBits(1, 1);         // 1
        b.WriteBits(0x1FF, 9);     // 9 ones
        b.WriteBits(0, 2);         // 00
        b.WriteBits(0xFFFFFFFF, 32);
        b.WriteBits(0, 0);
    }  // the destructor completes the last byte
    // bits: 1 111111111 00 then 32 ones: byte0 = 0xFF, byte1 = 0b11110011 = 0xF3, then ones
    EXPECT_EQ(contents(m), (std::vector<uint8_t>{0xFF, 0xF3, 0xFF, 0xFF, 0xFF, 0x0F}));
}

TEST(BitStream, MoreThan32BitsFailsTheAssertion) {
    TMemStream m;
    TBitStream b(&m);
    try {
        b.WriteBits(0, 33);
        FAIL() << "no exception";
    } catch (const EAssertionFailed& e) {
        EXPECT_EQ(std::string(e.what()).rfind("Assertion failure (BitStream, line ", 0), 0u) << e.what();
    }
}

TEST(BitStream, TwelveBitsThenOneBit) {
    TMemStream m;
    const uint8_t data[] = {0xCD, 0xAB};
    m.Write(data, 2);
    m.Seek(0);
    TBitStream b(&m);
    uint8_t buf[2] = {0xEE, 0xEE};
    EXPECT_EQ(b.ReadBits(buf, 12), 12);
    EXPECT_EQ(buf[0], 0xCD);
    EXPECT_EQ(buf[1], 0x0B);
    EXPECT_EQ(b.ReadBit(), 0);  // bit 4 of 0xAB
    EXPECT_EQ(b.ReadBit(), 1);  // bit 5
    b.Flush();                  // aligns: the rest of 0xAB is dropped
    m.StrictRead = false;
    EXPECT_EQ(b.ReadBits(buf, 8), 0) << "a short read delivers no bits";
}

TEST(BitStream, ReadsBackWhatWasWritten) {
    TMemStream m;
    TBitStream w(&m);
    for (uint32_t i = 0; i < 200; ++i) w.WriteBits(i * 2654435761u, static_cast<int32_t>(i % 33));
    w.Flush();
    m.Seek(0);
    TBitStream r(&m);
    for (uint32_t i = 0; i < 200; ++i) {
        const int32_t n = static_cast<int32_t>(i % 33);
        uint8_t buf[5] = {};
        ASSERT_EQ(r.ReadBits(buf, n), n);
        uint64_t v = 0;
        for (int k = 4; k >= 0; --k) v = v << 8 | buf[k];
        const uint64_t mask = n == 32 ? 0xFFFFFFFFull : (1ull << n) - 1;
        ASSERT_EQ(v, (i * 2654435761u) & mask) << i;
    }
}
