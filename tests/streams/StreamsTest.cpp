#include <gtest/gtest.h>

#include <cstring>

#include "TestSupport.h"
#include "platform/Exceptions.h"
#include "streams/HostStream.h"
#include "streams/Streams.h"

using namespace testing_support;

namespace {


std::vector<uint8_t> bytes(size_t n) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(i * 7 + 3);
    return v;
}

}  // namespace

TEST(FileStream, ModeWithoutAccessIsRejectedBeforeTouchingTheFileSystem) {
    TempDir dir;
    for (unsigned mode : {0u, 4u}) {
        EXPECT_EQ(messageOf<EInOutError>([&] { TFileStream s(dir / "new", mode); }),
                  "Either read, write or full access must be specified in call to CreateFile");
        EXPECT_FALSE(fileExists(dir / "new"));
    }
}

TEST(FileStream, MissingFileNamesThePathAndTheSystemReason) {
    TempDir dir;
    const std::string name = dir / "missing.png";
    EXPECT_EQ(messageOf<EInOutError>([&] { TFileStream s(name, 9); }),
              "Error opening \"" + name + "\" - No such file or directory");
}

TEST(FileStream, ShortReadRaisesOnlyWhenStrict) {
    TempDir dir;
    writeFile(dir / "six", bytes(6));
    uint8_t buffer[10] = {};
    {
        TFileStream s(dir / "six", 9);
        EXPECT_EQ(messageOf<EInOutError>([&] { s.Read(buffer, 10); }), "Read less than expected");
        EXPECT_EQ(0, std::memcmp(buffer, bytes(6).data(), 6)) << "the available bytes arrive first";
    }
    TFileStream s(dir / "six", 9);
    s.SetStrictRead(false);
    EXPECT_EQ(s.Read(buffer, 10), 6);
    EXPECT_TRUE(s.Eof());
}

TEST(FileStream, CreateTruncatesSeekTruncateAndSizesBeyond32Bits) {
    TempDir dir;
    writeFile(dir / "f", bytes(100));
    TFileStream s(dir / "f", 7);
    EXPECT_EQ(s.GetSize(), 0);
    s.Write(bytes(50).data(), 50);
    s.Seek(20);
    s.Truncate();
    EXPECT_EQ(s.GetSize(), 20);
    EXPECT_EQ(s.Available(), 0);
    const int64_t far = (int64_t{1} << 32) + 10;  // sparse: costs no disk space
    s.Seek(far);
    s.Write("x", 1);
    EXPECT_EQ(s.GetSize(), far + 1);
    EXPECT_EQ(s.GetPosition(), far + 1);
}

TEST(FileStream, DeleteClosesAndRemovesTheFile) {
    TempDir dir;
    TFileStream s(dir / "gone", 7);
    s.Delete();
    EXPECT_FALSE(fileExists(dir / "gone"));
}

TEST(BaseStream, CopyToStopsAtTheEndAndCopyFromKeepsStrictReading) {
    TempDir dir;
    writeFile(dir / "src", bytes(3000));
    {
        TFileStream src(dir / "src", 9);
        src.CopyTo(nullptr, 5000);
        EXPECT_TRUE(src.Eof());
    }
    TFileStream src(dir / "src", 9);
    TFileStream dst(dir / "dst", 7);
    dst.CopyFrom(src);
    EXPECT_TRUE(src.StrictRead);
    EXPECT_EQ(readFile(dir / "dst"), bytes(3000));
}

namespace {
struct Counting : TFilterStream {
    using TFilterStream::TFilterStream;
    ~Counting() override { ++released; }
    static inline int released = 0;
};
}  // namespace

TEST(FilterStream, FreeChainReleasesEveryLayerAndForwardsStrictRead) {
    TempDir dir;
    auto* file = new TFileStream(dir / "f", 7);
    auto* top = new Counting(new Counting(file));
    top->SetStrictRead(false);
    EXPECT_FALSE(file->StrictRead);
    Counting::released = 0;
    FreeChain(top);
    EXPECT_EQ(Counting::released, 2);
    FreeChain(nullptr);
}

TEST(SeekableHostStream, SeekOriginsAndSetSize) {
    TempDir dir;
    TFileStream file(dir / "f", 7);
    file.Write(bytes(100).data(), 100);
    TSeekableHostStream host(&file);
    EXPECT_EQ(host.Seek(-10, 2), 90);
    EXPECT_EQ(host.Seek(5, 1), 95);
    EXPECT_EQ(messageOf<EStreamError>([&] { host.Seek(0, 3); }), "Unknown seek origin");

    host.Seek(80, 0);
    host.SetSize(50);
    EXPECT_EQ(file.GetSize(), 50);
    EXPECT_EQ(file.GetPosition(), 50);

    host.Seek(20, 0);
    host.SetSize(40);
    EXPECT_EQ(file.GetPosition(), 20);
    host.SetSize(500);  // growing writes nothing
    EXPECT_EQ(file.GetSize(), 40);
    EXPECT_EQ(file.GetPosition(), 20);
}

TEST(HostStream, ForwardOnlyAdapterRefusesSeekingAndRelaxesStrictReading) {
    TempDir dir;
    writeFile(dir / "f", bytes(6));
    TFileStream file(dir / "f", 9);
    THostStream host(&file);
    EXPECT_FALSE(file.StrictRead);
    uint8_t buffer[10];
    EXPECT_EQ(host.Read(buffer, 10), 6);
    EXPECT_EQ(messageOf<EStreamError>([&] { host.Seek(0, 0); }), "Seeking not supported");
    EXPECT_EQ(messageOf<EStreamError>([&] { host.GetSize(); }), "Seeking not supported");
}

TEST(HostFilterStream, LibraryCodeReadsAndTruncatesAPlatformStream) {
    host::TMemoryStream memory;
    memory.Write(bytes(30).data(), 30);
    THostFilterStream s(&memory);
    EXPECT_TRUE(s.CanRead && s.CanWrite);
    s.Seek(10);
    EXPECT_EQ(s.Available(), 20);
    s.Truncate();
    EXPECT_EQ(s.GetSize(), 10);
}
