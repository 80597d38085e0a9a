#include <gtest/gtest.h>

#include <cstring>
#include <numeric>

#include "TestSupport.h"
#include "platform/Exceptions.h"
#include "streams/BufStream.h"
#include "streams/MemStream.h"

using namespace testing_support;

namespace {


std::vector<uint8_t> pattern(size_t n) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(i * 13 + 5);
    return v;
}

// Records every call that reaches it, to see what a buffer passes through.
class TRecordingStream : public TBaseStream {
public:
    TRecordingStream(bool canRead, bool canWrite, std::vector<uint8_t> data = {}) : data_(std::move(data)) {
        CanRead = canRead;
        CanWrite = canWrite;
    }
    std::vector<int64_t> readCalls, writeCalls;
    std::vector<uint8_t> written;
    int64_t acceptLimit = -1;  // bytes a write accepts at most, -1 for all

    int64_t Read(void* buffer, int64_t count) override {
        readCalls.push_back(count);
        const int64_t n = std::min<int64_t>(count, static_cast<int64_t>(data_.size()) - pos_);
        std::memcpy(buffer, data_.data() + pos_, static_cast<size_t>(n));
        pos_ += n;
        if (n < count && StrictRead) throw EInOutError("Read less than expected");
        return n;
    }
    int64_t Write(const void* buffer, int64_t count) override {
        writeCalls.push_back(count);
        const int64_t n = acceptLimit >= 0 ? std::min(count, acceptLimit) : count;
        const auto* p = static_cast<const uint8_t*>(buffer);
        written.insert(written.end(), p, p + n);
        return n;
    }
    int64_t Available() override { return static_cast<int64_t>(data_.size()) - pos_; }

private:
    std::vector<uint8_t> data_;
    int64_t pos_ = 0;
};

}  // namespace

TEST(BufferedStream, BufferSizeOneIsRejectedOnlyForASideTheInnerStreamSupports) {
    TRecordingStream readable(true, false), writeOnly(false, true);
    EXPECT_EQ(messageOf<EStreamCreate>([&] { TBufferedStream b(1, 0, &readable); }), "Invalid buffer size");
    EXPECT_EQ(messageOf<EStreamCreate>([&] { TBufferedStream b(-2, 0, &readable); }), "Invalid buffer size");
    EXPECT_TRUE(readable.StrictRead) << "a failed construction leaves the inner stream as it was";
    TBufferedStream ignored(1, 0, &writeOnly);
    EXPECT_EQ(ignored.ReadBufferSize, 0);
    EXPECT_EQ(messageOf<EStreamCreate>([&] { TBufferedStream b(0, 1, &writeOnly); }), "Invalid buffer size");
}

TEST(BufferedStream, DefaultReadBufferRelaxesTheInnerStreamForItsLifetime) {
    TRecordingStream inner(true, false, pattern(10));
    {
        TBufferedStream b(-1, 0, &inner);
        EXPECT_EQ(b.ReadBufferSize, DefaultBufferSize);
        EXPECT_EQ(DefaultBufferSize, 65536);
        EXPECT_TRUE(b.InnerRelaxed);
        EXPECT_FALSE(inner.StrictRead);
        EXPECT_TRUE(b.StrictRead);
        // Switching the buffered stream's flag must not make refills strict again.
        b.SetStrictRead(true);
        EXPECT_FALSE(inner.StrictRead);
        uint8_t buf[4];
        EXPECT_EQ(b.Read(buf, 4), 4) << "a refill that comes back short at the end is no error";
    }
    EXPECT_TRUE(inner.StrictRead);
}

TEST(BufferedStream, ThirdReadOfTenFromTwentyFiveBytesIsShort) {
    TempDir dir;
    writeFile(dir / "25", pattern(25));
    auto s = OpenBufferedFile(dir / "25", false);
    uint8_t buf[10];
    EXPECT_EQ(s->Read(buf, 10), 10);
    EXPECT_EQ(s->Read(buf, 10), 10);
    EXPECT_EQ(0, std::memcmp(buf, pattern(25).data() + 10, 10));
    std::memset(buf, 0, sizeof buf);
    EXPECT_EQ(messageOf<EInOutError>([&] { s->Read(buf, 10); }), "Read less than expected");
    EXPECT_EQ(0, std::memcmp(buf, pattern(25).data() + 20, 5)) << "the available bytes were delivered";
    EXPECT_EQ(s->ReadPos, 0);
    EXPECT_EQ(s->ReadCount, 0);

    auto relaxed = OpenBufferedFile(dir / "25", false);
    relaxed->StrictRead = false;
    EXPECT_EQ(relaxed->Read(buf, 10), 10);
    EXPECT_EQ(relaxed->Read(buf, 10), 10);
    EXPECT_EQ(relaxed->Read(buf, 10), 5);
    EXPECT_TRUE(relaxed->Eof());
}

TEST(BufferedStream, RequestsLargerThanTheBufferGoStraightThrough) {
    const auto data = pattern(1000);
    TRecordingStream inner(true, false, data);
    TBufferedStream b(64, 0, &inner);
    std::vector<uint8_t> out(1000);
    EXPECT_EQ(b.Read(out.data(), 10), 10);  // one refill of 64
    EXPECT_EQ(b.Read(out.data() + 10, 500), 500);
    ASSERT_EQ(inner.readCalls.size(), 2u);
    EXPECT_EQ(inner.readCalls[0], 64);
    EXPECT_EQ(inner.readCalls[1], 500 - 54) << "the 54 buffered bytes first, the rest in one call";
    EXPECT_EQ(b.Read(out.data() + 510, 490), 490);
    EXPECT_EQ(out, data);
    EXPECT_EQ(b.Available(), 0);
}

TEST(BufferedStream, AvailableCountsUnreadBufferedBytes) {
    TRecordingStream inner(true, false, pattern(100));
    TBufferedStream b(16, 0, &inner);
    uint8_t buf[5];
    b.Read(buf, 5);
    EXPECT_EQ(b.Available(), 95);
}

TEST(BufferedStream, HundredBytesThroughA64ByteWriteBuffer) {
    TRecordingStream inner(false, true);
    const auto data = pattern(100);
    {
        TBufferedStream b(0, 64, &inner);
        EXPECT_EQ(b.Write(data.data(), 100), 100);
        ASSERT_EQ(inner.writeCalls.size(), 1u);
        EXPECT_EQ(inner.writeCalls[0], 64);
        EXPECT_EQ(b.WriteCount, 36);
        b.Flush();
        ASSERT_EQ(inner.writeCalls.size(), 2u);
        EXPECT_EQ(inner.writeCalls[1], 36);
        b.Flush();
        EXPECT_EQ(inner.writeCalls.size(), 2u) << "an empty buffer writes nothing";
        EXPECT_EQ(b.Write(data.data(), 100), 100);
    }
    // The destructor flushed the rest.
    std::vector<uint8_t> expected = data;
    expected.insert(expected.end(), data.begin(), data.end());
    EXPECT_EQ(inner.written, expected);
}

TEST(BufferedStream, ShortInnerWriteKeepsTheUnwrittenBytesAndReports) {
    TRecordingStream inner(false, true);
    inner.acceptLimit = 10;
    TBufferedStream b(0, 16, &inner);
    const auto data = pattern(16);
    b.Write(data.data(), 16);
    EXPECT_EQ(messageOf<EInOutError>([&] { b.Flush(); }), "Read less than expected");
    EXPECT_EQ(b.WriteCount, 6);
    inner.acceptLimit = -1;
    b.Flush();
    EXPECT_EQ(inner.written, data) << "nothing lost, nothing sent twice";
}

TEST(BufferedStream, OpenBufferedFileWritesThroughAndReadsBack) {
    TempDir dir;
    const auto data = pattern(200000);
    {
        auto w = OpenBufferedFile(dir / "f", true);
        EXPECT_EQ(w->WriteBufferSize, 65536);
        EXPECT_EQ(w->ReadBufferSize, 0);
        for (size_t i = 0; i < data.size(); i += 1000) w->Write(data.data() + i, 1000);
        w->Flush();
        EXPECT_EQ(readFile(dir / "f").size(), data.size()) << "Flush hands everything to the file";
    }
    EXPECT_EQ(readFile(dir / "f"), data);
    auto r = OpenBufferedFile(dir / "f", false);
    EXPECT_EQ(r->ReadBufferSize, 65536);
    std::vector<uint8_t> back(data.size());
    for (size_t i = 0; i < back.size(); i += 777) r->Read(back.data() + i, std::min<int64_t>(777, back.size() - i));
    EXPECT_EQ(back, data);
    EXPECT_TRUE(r->Eof());
    EXPECT_THROW(OpenBufferedFile(dir / "missing", false), EInOutError);
}

TEST(MemStream, OneLargeWriteGetsOneBlockAndReadsBack) {
    TMemStream m;
    const auto data = pattern(5000);
    EXPECT_EQ(m.Write(data.data(), 5000), 5000);
    ASSERT_EQ(m.BlockCount(), 1u);
    EXPECT_EQ(m.BlockCapacity(0), 5000);
    m.Seek(0);
    std::vector<uint8_t> back(5000);
    EXPECT_EQ(m.Read(back.data(), 5000), 5000);
    EXPECT_EQ(back, data);
    EXPECT_EQ(messageOf<EInOutError>([&] { m.Seek(5001); }), "Error moving stream pointer");
    EXPECT_EQ(messageOf<EInOutError>([&] { m.Seek(-1); }), "Error moving stream pointer");
    EXPECT_EQ(m.GetPosition(), 5000);
}

TEST(MemStream, SmallWritesFillBlocksOfAtLeast4096AndSeekAcrossThem) {
    TMemStream m;
    const auto data = pattern(10000);
    for (size_t i = 0; i < data.size(); i += 100) m.Write(data.data() + i, 100);
    EXPECT_EQ(m.BlockCount(), 3u);
    EXPECT_EQ(m.BlockCapacity(0), 4096);
    EXPECT_EQ(m.GetSize(), 10000);
    for (int64_t p : {4096, 4095, 8192, 0, 9999, 10000, 5000, 4096}) {
        m.Seek(p);
        EXPECT_EQ(m.GetPosition(), p);
        uint8_t b[3] = {};
        const int64_t want = std::min<int64_t>(3, 10000 - p);
        m.StrictRead = false;
        EXPECT_EQ(m.Read(b, 3), want);
        EXPECT_EQ(0, std::memcmp(b, data.data() + p, static_cast<size_t>(want))) << "at " << p;
    }
    // Overwriting in place reuses the blocks.
    m.Seek(4000);
    const auto other = pattern(300);
    m.Write(other.data(), 300);
    EXPECT_EQ(m.BlockCount(), 3u);
    EXPECT_EQ(m.GetSize(), 10000);
    std::vector<uint8_t> back(300);
    m.Seek(4000);
    m.Read(back.data(), 300);
    EXPECT_EQ(back, other);
}

TEST(MemStream, TruncateThenWriteGrowsFromTheCut) {
    TMemStream m;
    const auto data = pattern(10);
    m.Write(data.data(), 10);
    m.Seek(4);
    m.Truncate();
    EXPECT_EQ(m.GetSize(), 4);
    m.Write(data.data(), 2);
    EXPECT_EQ(m.GetSize(), 6);
    m.Seek(0);
    uint8_t b[6];
    m.Read(b, 6);
    const uint8_t expected[6] = {data[0], data[1], data[2], data[3], data[0], data[1]};
    EXPECT_EQ(0, std::memcmp(b, expected, 6));
}

TEST(MemStream, TruncateReleasesLaterBlocks) {
    TMemStream m;
    const auto data = pattern(9000);
    for (int i = 0; i < 9; ++i) m.Write(data.data() + i * 1000, 1000);
    EXPECT_EQ(m.BlockCount(), 3u);
    m.Seek(5000);
    m.Truncate();
    EXPECT_EQ(m.BlockCount(), 2u);
    EXPECT_EQ(m.GetSize(), 5000);
    EXPECT_EQ(m.Available(), 0);
}

TEST(MemStream, ShortReadNamesTheClass) {
    TMemStream m;
    uint8_t b[10];
    EXPECT_EQ(messageOf<EInOutError>([&] { m.Read(b, 10); }), "Error reading from stream - TMemStream");
    m.StrictRead = false;
    EXPECT_EQ(m.Read(b, 10), 0);
    m.Write("abc", 3);
    m.Seek(0);
    EXPECT_EQ(m.Read(b, 10), 3);
    m.Clear();
    EXPECT_EQ(m.GetSize(), 0);
    EXPECT_EQ(m.GetPosition(), 0);
    EXPECT_EQ(m.BlockCount(), 0u);
}

TEST(BufferedStream, FlushReportsAFullDiskAndTheDestructorStaysQuiet) {
    if (!fileExists("/dev/full")) GTEST_SKIP() << "no /dev/full";
    const auto data = pattern(1000);
    {
        auto w = OpenBufferedFile("/dev/full", true);
        EXPECT_EQ(w->Write(data.data(), 1000), 1000) << "the bytes wait in the buffer";
        EXPECT_EQ(messageOf<EInOutError>([&] { w->Flush(); }), "Error writing to stream - No space left on device");
        EXPECT_EQ(w->WriteCount, 1000) << "nothing was taken, nothing is dropped";
    }  // the destructor's flush fails again, silently
    SUCCEED();
}
