#include <gtest/gtest.h>
#include <zlib.h>

#include <cstring>
#include <random>

#include "compress/Adler32.h"
#include "compress/CRC32Stream.h"
#include "streams/MemStream.h"

TEST(CRC32, CheckValueAndEmptyInput) {
    TMemStream m;
    TCRC32Stream c(&m);
    c.Write("123456789", 9);
    EXPECT_EQ(c.GetCRC(), 0xCBF43926u);
    c.ResetCRC();
    EXPECT_EQ(c.GetCRC(), 0u);
    c.UpdateCRC("x", 0);
    EXPECT_EQ(c.GetCRC(), 0u);
    EXPECT_EQ(CRC32Table[1], 0x77073096u);
    EXPECT_EQ(CRC32Table[2], 0xEE0E612Cu);
}

TEST(CRC32, AgreesWithZlibForEveryLengthUpTo5000) {
    std::mt19937 rng(7);
    std::vector<uint8_t> data(5000 + 7);
    for (auto& b : data) b = static_cast<uint8_t>(rng());
    for (size_t length = 0; length <= 5000; ++length) {
        const size_t offset = length % 8;  // unaligned starts too
        TMemStream m;
        TCRC32Stream c(&m);
        c.UpdateCRC(data.data() + offset, static_cast<int64_t>(length));
        ASSERT_EQ(c.GetCRC(), crc32(0, data.data() + offset, static_cast<uInt>(length))) << length;
    }
}

TEST(CRC32, ReadCountsOnlyDeliveredBytesAndPassesThrough) {
    TMemStream m;
    m.Write("123456789", 9);
    m.Seek(0);
    m.StrictRead = false;
    TCRC32Stream c(&m);
    uint8_t buf[20];
    EXPECT_EQ(c.Read(buf, 20), 9);
    EXPECT_EQ(c.GetCRC(), 0xCBF43926u);
    EXPECT_EQ(0, std::memcmp(buf, "123456789", 9));
}

namespace {
class TReadOnly : public TBaseStream {
public:
    TReadOnly() { CanRead = true; }
    int64_t Read(void*, int64_t) override { return 0; }
    int64_t Write(const void*, int64_t) override { return 0; }
    int64_t Available() override { return 0; }
};
}  // namespace

TEST(CRC32, OverAReadOnlyStreamIsReadOnly) {
    TReadOnly r;
    TCRC32Stream c(&r);
    EXPECT_TRUE(c.CanRead);
    EXPECT_FALSE(c.CanWrite);
}

TEST(Adler32, WorkedExamples) {
    TAdler32 a;
    a.Init();
    EXPECT_EQ(a.Value(), 0x01000000u) << "no bytes: checksum 1, stored big-endian";
    a.Update("abc", 3);
    EXPECT_EQ(a.Checksum(), 0x024D0127u);
    const uint32_t v = a.Value();
    uint8_t bytes[4];
    std::memcpy(bytes, &v, 4);
    const uint8_t expected[4] = {0x02, 0x4D, 0x01, 0x27};
    EXPECT_EQ(0, std::memcmp(bytes, expected, 4));
    a.Update("abc", 0);
    a.Update("abc", -3);
    EXPECT_EQ(a.Checksum(), 0x024D0127u);
}

TEST(Adler32, AgreesWithZlibForEveryLengthUpTo5000) {
    std::mt19937 rng(11);
    std::vector<uint8_t> data(5000);
    for (auto& b : data) b = static_cast<uint8_t>(rng() | 0x80);  // large bytes stress the deferred reduction
    for (size_t length = 0; length <= 5000; ++length) {
        TAdler32 a;
        a.Init();
        a.Update(data.data(), static_cast<int64_t>(length));
        ASSERT_EQ(a.Checksum(), adler32(1, data.data(), static_cast<uInt>(length))) << length;
        if (length % 97 == 0) {
            TAdler32 b;
            b.Init();
            for (size_t i = 0; i < length; ++i) b.UpdateByte(data[i]);
            ASSERT_EQ(b.Checksum(), a.Checksum());
        }
    }
    // Long runs of 0xFF across many reductions.
    std::vector<uint8_t> ones(1 << 20, 0xFF);
    TAdler32 a;
    a.Init();
    a.Update(ones.data(), static_cast<int64_t>(ones.size()));
    EXPECT_EQ(a.Checksum(), adler32(1, ones.data(), static_cast<uInt>(ones.size())));
}
