#include <gtest/gtest.h>
#include <zlib.h>

#include <bit>
#include <cstring>
#include <random>
#include <string>

#include "TestSupport.h"
#include "compress/DeflateReference.h"
#include "compress/Deflate.h"
#include "platform/Exceptions.h"
#include "streams/MemStream.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes randomBytes(size_t n, uint32_t seed) {
    std::mt19937 rng(seed);
    Bytes v(n);
    for (auto& b : v) b = static_cast<uint8_t>(rng());
    return v;
}

Bytes contents(TMemStream& m) {
    Bytes v(static_cast<size_t>(m.GetSize()));
    m.Seek(0);
    m.Read(v.data(), static_cast<int64_t>(v.size()));
    return v;
}

// Our compressor, fed in pieces of `chunk` bytes, with a Flush every `flushEvery` bytes.
Bytes ourDeflate(const Bytes& data, uint8_t blockType = TDeflateStream::btDynamic, size_t chunk = 0,
                 size_t flushEvery = 0) {
    TMemStream m;
    {
        TDeflateStream d(&m, 1);
        d.BlockType = blockType;
        if (chunk == 0) chunk = data.size() ? data.size() : 1;
        size_t sinceFlush = 0;
        for (size_t i = 0; i < data.size(); i += chunk) {
            const size_t n = std::min(chunk, data.size() - i);
            EXPECT_EQ(d.Write(data.data() + i, static_cast<int64_t>(n)), static_cast<int64_t>(n));
            sinceFlush += n;
            if (flushEvery && sinceFlush >= flushEvery) {
                d.Flush();
                sinceFlush = 0;
            }
        }
        d.Finish();
    }
    return contents(m);
}

Bytes zlibInflateRaw(const Bytes& compressed, int windowBits = -15) {
    z_stream z{};
    EXPECT_EQ(inflateInit2(&z, windowBits), Z_OK);
    Bytes out;
    z.next_in = const_cast<Bytef*>(compressed.data());
    z.avail_in = static_cast<uInt>(compressed.size());
    int rc;
    do {
        uint8_t buf[65536];
        z.next_out = buf;
        z.avail_out = sizeof buf;
        rc = inflate(&z, Z_NO_FLUSH);
        out.insert(out.end(), buf, buf + (sizeof buf - z.avail_out));
    } while (rc == Z_OK);
    EXPECT_EQ(rc, Z_STREAM_END) << (z.msg ? z.msg : "");
    EXPECT_EQ(z.avail_in, 0u) << "zlib finds the end exactly where our data ends";
    inflateEnd(&z);
    return out;
}

Bytes zlibDeflate(const Bytes& data, int level, int strategy = Z_DEFAULT_STRATEGY, int windowBits = -15) {
    z_stream z{};
    EXPECT_EQ(deflateInit2(&z, level, Z_DEFLATED, windowBits, 8, strategy), Z_OK);
    Bytes out(deflateBound(&z, static_cast<uLong>(data.size())) + 64);
    z.next_in = const_cast<Bytef*>(data.data());
    z.avail_in = static_cast<uInt>(data.size());
    z.next_out = out.data();
    z.avail_out = static_cast<uInt>(out.size());
    EXPECT_EQ(deflate(&z, Z_FINISH), Z_STREAM_END);
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}

// Our decompressor, reading in pieces of `chunk` bytes.
Bytes ourInflate(const Bytes& compressed, size_t expectedSize, size_t chunk = 1 << 20) {
    TMemStream m;
    m.Write(compressed.data(), static_cast<int64_t>(compressed.size()));
    m.Seek(0);
    TDeflateStream d(&m, 0);
    Bytes out(expectedSize);
    size_t done = 0;
    while (done < expectedSize) {
        const size_t n = std::min(chunk, expectedSize - done);
        EXPECT_EQ(d.Read(out.data() + done, static_cast<int64_t>(n)), static_cast<int64_t>(n));
        done += n;
    }
    d.StrictRead = false;
    uint8_t extra;
    EXPECT_EQ(d.Read(&extra, 1), 0) << "the data ends where expected";
    return out;
}

Bytes textSample() {
    // English text: the licence texts every Debian system carries.
    Bytes text;
    for (const char* name : {"GPL-3", "GPL-2", "LGPL-2.1", "Apache-2.0", "GFDL-1.3", "MPL-2.0", "Artistic"}) {
        const std::string path = std::string("/usr/share/common-licenses/") + name;
        if (!testing_support::fileExists(path)) continue;
        const auto part = testing_support::readFile(path);
        text.insert(text.end(), part.begin(), part.end());
    }
    if (text.size() > 50000) return text;
    std::string s;
    for (int i = 0; s.size() < 200000; ++i) s += "line " + std::to_string(i * 7919 % 1000) + " of some text\n";
    return Bytes(s.begin(), s.end());
}

// Rows that look like PNG-filtered photo data: small residuals around zero.
Bytes imageRows(size_t width, size_t height) {
    std::mt19937 rng(3);
    std::normal_distribution<double> noise(0, 4);
    Bytes v;
    for (size_t y = 0; y < height; ++y) {
        v.push_back(static_cast<uint8_t>(y % 5));
        for (size_t x = 0; x < width * 3; ++x) v.push_back(static_cast<uint8_t>(static_cast<int>(noise(rng))));
    }
    return v;
}

// Packs a hand-written bit string (spaces ignored), first bit into bit 0.
Bytes packBits(const std::string& bits) {
    Bytes out;
    size_t n = 0;
    for (char c : bits) {
        if (c != '0' && c != '1') continue;
        if (n % 8 == 0) out.push_back(0);
        if (c == '1') out.back() |= static_cast<uint8_t>(1 << (n % 8));
        ++n;
    }
    return out;
}

// A field of `width` bits, least-significant first, as deflate sends numbers.
std::string number(uint32_t value, int width) {
    std::string s;
    for (int i = 0; i < width; ++i) s += ((value >> i) & 1) ? '1' : '0';
    return s + " ";
}

template <class E>
std::string inflateError(const Bytes& compressed) {
    try {
        TMemStream m;
        m.Write(compressed.data(), static_cast<int64_t>(compressed.size()));
        m.Seek(0);
        TDeflateStream d(&m, 0);
        Bytes out(1 << 16);
        d.StrictRead = false;
        while (d.Read(out.data(), static_cast<int64_t>(out.size())) > 0) {
        }
    } catch (const E& e) {
        return e.Message();
    }
    return "<no exception>";
}

}  // namespace

// ------------------------------------------------------------------ hand-derived bit streams

TEST(DeflateCompress, NothingWrittenGivesOneFinalBlockWithOnlyTheEndSymbol) {
    // BFINAL 1, type 2; HLIT 257, HDIST 1; the code-length code has 18:"0", 0:"10", 1:"11",
    // sent with HCLEN 18; the lengths are 138 zeros, 118 zeros, a 1 (symbol 256), a 0 (the
    // single distance length); then the end-of-block code "0".
    std::string expected = "1 01 " + number(0, 5) + number(0, 5) + number(14, 4);
    const int clLengths[18] = {0, 0, 1, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2};  // 16,17,18,0,8,...,1
    for (int l : clLengths) expected += number(static_cast<uint32_t>(l), 3);
    expected += "0 " + number(127, 7) + "0 " + number(107, 7) + "11 10 " + "0";
    const Bytes out = ourDeflate({});
    EXPECT_EQ(out, packBits(expected));
    EXPECT_TRUE(zlibInflateRaw(out).empty());

    const Bytes stored = ourDeflate({}, TDeflateStream::btStored);
    EXPECT_EQ(stored, (Bytes{0x01, 0x00, 0x00, 0xFF, 0xFF}));
    const Bytes fixed = ourDeflate({}, TDeflateStream::btFixed);
    EXPECT_EQ(fixed, (Bytes{0x03, 0x00}));  // 1, 10, then end-of-block 0000000
}

TEST(DeflateCompress, RunOfOneByteIsTwoLiteralsThenMatchesAtDistanceTwo) {
    const Bytes run(300, 'a');
    const auto parsed = deflate_reference::parse(ourDeflate(run));
    ASSERT_EQ(parsed.blocks.size(), 1u);
    const auto& t = parsed.blocks[0].tokens;
    ASSERT_EQ(t.size(), 4u);
    EXPECT_EQ(t[0].length, 0);
    EXPECT_EQ(t[1].length, 0);
    EXPECT_EQ(t[2].length, 258);
    EXPECT_EQ(t[2].distance, 2);
    EXPECT_EQ(t[3].length, 40);  // the rest, found during the final flush
    EXPECT_EQ(t[3].distance, 2);
    EXPECT_EQ(parsed.data, run);

    // The same with fixed codes, bit for bit: literal 'a' is 0x91 in 8 bits, length 258 is
    // symbol 285 (11000101), distance 2 is symbol 1 (00001), length 40 is symbol 273
    // (0010001) with 5 in 3 extra bits.
    // The block opened while writing is not the last one; finishing adds an empty final block.
    const std::string fixed =
        "0 10 10010001 10010001 11000101 00001 0010001 " + number(5, 3) + "00001 0000000 1 10 0000000";
    EXPECT_EQ(ourDeflate(run, TDeflateStream::btFixed), packBits(fixed));
}

TEST(DeflateCompress, DataWithoutMatchesSendsOneZeroDistanceLength) {
    const std::string text = "the quick brown fox jumps over a lazy dog";
    const auto parsed = deflate_reference::parse(ourDeflate(Bytes(text.begin(), text.end())));
    ASSERT_EQ(parsed.blocks.size(), 1u);
    EXPECT_EQ(parsed.blocks[0].hdist, 1);
    EXPECT_EQ(parsed.blocks[0].distanceLengths, std::vector<int>{0});
    EXPECT_EQ(parsed.blocks[0].hlit, 257) << "the end symbol is the highest one used";
    EXPECT_EQ(parsed.blocks[0].tokens.size(), text.size());
}

TEST(DeflateCompress, BlockEndsOnceMoreThan65526SymbolsAreBuffered) {
    const Bytes data = randomBytes(1000000, 1);
    const Bytes out = ourDeflate(data);
    const auto parsed = deflate_reference::parse(out);
    ASSERT_GE(parsed.blocks.size(), 15u);
    for (size_t i = 0; i < parsed.blocks.size(); ++i) {
        const auto& b = parsed.blocks[i];
        EXPECT_EQ(b.type, 2);
        EXPECT_EQ(b.final, i + 1 == parsed.blocks.size()) << "only the last block is final";
        if (i + 1 == parsed.blocks.size()) break;
        // Buffer entries: a literal is one; a match is length symbol, distance symbol and
        // one entry per non-empty extra-bits field.
        auto entries = [](const deflate_reference::Token& t) {
            if (t.length == 0) return 1;
            const int lenExtra = (t.length >= 11 && t.length <= 257) ? 1 : 0;
            const int distExtra = t.distance >= 5 ? 1 : 0;
            return 2 + lenExtra + distExtra;
        };
        int total = 0;
        for (const auto& t : b.tokens) total += entries(t);
        const int beforeLast = total - entries(b.tokens.back());
        EXPECT_LE(beforeLast, 65526) << "block " << i;
        EXPECT_GT(total, 65526) << "block " << i;
    }
    EXPECT_EQ(parsed.data, data);
    EXPECT_EQ(zlibInflateRaw(out), data);
}

TEST(DeflateCompress, RepetitionAtDistance32768IsFoundWithTheLongestCode) {
    // 300 random bytes, 32,468 other random bytes, then the 300 bytes again: the copy starts
    // exactly 32,768 bytes after the original.
    Bytes data = randomBytes(300, 5);
    const Bytes filler = randomBytes(32768 - 300, 6);
    data.insert(data.end(), filler.begin(), filler.end());
    data.insert(data.end(), data.begin(), data.begin() + 300);
    const Bytes out = ourDeflate(data);
    const auto parsed = deflate_reference::parse(out);
    size_t position = 0;
    bool found = false;
    for (const auto& b : parsed.blocks)
        for (const auto& t : b.tokens) {
            if (position == 32768) {
                EXPECT_EQ(t.length, 258);
                EXPECT_EQ(t.distance, 32768);
                found = true;
            }
            position += t.length ? static_cast<size_t>(t.length) : 1;
        }
    EXPECT_TRUE(found) << "a token starts at the copy";
    // Bits of that match with fixed codes: symbol 285 and distance symbol 29 with 8191.
    const Bytes fixedOut = ourDeflate(data, TDeflateStream::btFixed);
    EXPECT_EQ(deflate_reference::parse(fixedOut).data, data);
    EXPECT_EQ(zlibInflateRaw(out), data);
}

TEST(DeflateCompress, MatchOneByteTooFarIsNotUsed) {
    // The copy starts 32,769 bytes after the original: out of reach.
    Bytes data = randomBytes(300, 5);
    const Bytes filler = randomBytes(32769 - 300, 6);
    data.insert(data.end(), filler.begin(), filler.end());
    data.insert(data.end(), data.begin(), data.begin() + 300);
    const auto parsed = deflate_reference::parse(ourDeflate(data));
    for (const auto& b : parsed.blocks)
        for (const auto& t : b.tokens) EXPECT_LE(t.distance, 32768);
    size_t position = 0;
    for (const auto& b : parsed.blocks)
        for (const auto& t : b.tokens) {
            if (position >= 32769 && position < 32769 + 250) {
                EXPECT_NE(t.length, 258) << position;
            }
            position += t.length ? static_cast<size_t>(t.length) : 1;
        }
}

TEST(DeflateCompress, OnlyTheNewest64OccurrencesOfAPairAreCandidates) {
    // "XYabcdefgh" once, then 64 times "XY" + one other byte + 7 bytes of noise, then
    // "XYabcdefgh" again: its old occurrence is the 65th newest of the pair "XY", so the
    // compressor must not find it (it finds only 2-byte matches and codes literals).
    const std::string key = "XYabcdefgh";
    Bytes data(key.begin(), key.end());
    std::mt19937 rng(9);
    for (int i = 0; i < 64; ++i) {
        data.push_back('X');
        data.push_back('Y');
        data.push_back(static_cast<uint8_t>(0x80 + i));  // no third byte repeats
        for (int k = 0; k < 6; ++k) data.push_back(static_cast<uint8_t>(0xC0 + rng() % 64));
        data.push_back(static_cast<uint8_t>(0x40 + i));  // nor the byte before the next "XY"
    }
    const size_t copyAt = data.size();
    data.insert(data.end(), key.begin(), key.end());
    auto tokenAt = [&](const Bytes& input, size_t where) {
        const auto parsed = deflate_reference::parse(ourDeflate(input));
        size_t position = 0;
        for (const auto& b : parsed.blocks)
            for (const auto& t : b.tokens) {
                if (position == where) return t;
                position += t.length ? static_cast<size_t>(t.length) : 1;
            }
        return deflate_reference::Token{-1, -1, 0};
    };
    EXPECT_EQ(tokenAt(data, copyAt).length, 0) << "65th newest occurrence is out of reach";
    EXPECT_EQ(tokenAt(data, copyAt + 1).length, 9) << "the pair \"Ya\" occurred only once";
    EXPECT_EQ(tokenAt(data, copyAt + 1).distance, static_cast<int>(copyAt));
    // With one "XY" fewer in between, the old occurrence is the 64th newest and is found.
    Bytes fewer(data.begin(), data.begin() + static_cast<long>(key.size()));
    fewer.insert(fewer.end(), data.begin() + static_cast<long>(key.size()) + 10, data.end());
    const auto t = tokenAt(fewer, copyAt - 10);
    EXPECT_EQ(t.length, 10);
    EXPECT_EQ(t.distance, static_cast<int>(copyAt - 10));
}

TEST(DeflateCompress, OutputDoesNotDependOnHowTheBytesArriveButOnFlushes) {
    const Bytes text = textSample();
    const Bytes whole = ourDeflate(text);
    EXPECT_EQ(ourDeflate(text, TDeflateStream::btDynamic, 1), Bytes(whole)) << "byte by byte";
    EXPECT_EQ(ourDeflate(text, TDeflateStream::btDynamic, 1000), whole);
    EXPECT_EQ(ourDeflate(text, TDeflateStream::btDynamic, 40000), whole);
    const Bytes flushed = ourDeflate(text, TDeflateStream::btDynamic, 1000, 5000);
    EXPECT_NE(flushed, whole);
    const auto parsed = deflate_reference::parse(flushed);
    EXPECT_EQ(parsed.blocks.size(), text.size() / 5000 + 1) << "one block per flush plus the final one";
    EXPECT_EQ(zlibInflateRaw(flushed), text);
}

TEST(DeflateCompress, FinishWritesEverythingAndLaterWritesFail) {
    TMemStream m;
    TDeflateStream d(&m, 1);
    d.Write("abcabcabc", 9);
    EXPECT_EQ(m.GetSize(), 0) << "short input waits in the window";
    d.Finish();
    const Bytes out = contents(m);
    EXPECT_EQ(zlibInflateRaw(out), (Bytes{'a', 'b', 'c', 'a', 'b', 'c', 'a', 'b', 'c'}));
    d.Finish();
    EXPECT_EQ(m.GetSize(), static_cast<int64_t>(out.size())) << "a second Finish writes nothing";
    try {
        d.Write("x", 1);
        FAIL();
    } catch (const EInOutError& e) {
        EXPECT_EQ(e.Message(), "Stream not open for write");
    }
}

TEST(DeflateCompress, ReadingStreamRefusesWrites) {
    TMemStream m;
    m.Write("\x03\x00", 2);
    m.Seek(0);
    TDeflateStream d(&m, -1);  // both directions possible: compresses
    EXPECT_TRUE(d.CanWrite);
    TDeflateStream r(&m, 0);
    try {
        r.Write("x", 1);
        FAIL();
    } catch (const EInOutError& e) {
        EXPECT_EQ(e.Message(), "Stream not open for write");
    }
}

TEST(DeflateCompress, NoDirectionFailsTheAssertion) {
    class TClosed : public TBaseStream {
    public:
        int64_t Read(void*, int64_t) override { return 0; }
        int64_t Write(const void*, int64_t) override { return 0; }
        int64_t Available() override { return 0; }
    } closed;
    try {
        TDeflateStream d(&closed, -1);
        FAIL();
    } catch (const EAssertionFailed& e) {
        EXPECT_EQ(std::string(e.what()).rfind("Assertion failure (Deflate, line ", 0), 0u);
    }
    TMemStream m;
    m.CanWrite = false;
    EXPECT_THROW(TDeflateStream(&m, 1), EAssertionFailed);
}

// ------------------------------------------------------------------ zlib reads what we write

TEST(DeflateInterop, ZlibInflatesEverythingWeDeflate) {
    std::vector<std::pair<std::string, Bytes>> inputs = {
        {"empty", {}},
        {"one byte", {0x42}},
        {"two bytes", {1, 1}},
        {"three equal bytes", {7, 7, 7}},
        {"text", textSample()},
        {"image rows", imageRows(700, 120)},
        {"random", randomBytes(1000000, 2)},
        {"long run", Bytes(500000, 0)},
        {"runs", [] {
             Bytes v;
             for (int i = 0; i < 3000; ++i) v.insert(v.end(), static_cast<size_t>(i % 300 + 1), static_cast<uint8_t>(i));
             return v;
         }()},
    };
    for (size_t size : {257u, 258u, 259u, 32767u, 32768u, 32769u, 65535u, 65536u, 65537u, 98304u, 131072u})
        inputs.push_back({"boundary " + std::to_string(size), randomBytes(size, static_cast<uint32_t>(size))});
    for (size_t size : {32767u, 65536u, 65537u * 2})
        inputs.push_back({"repetitive boundary " + std::to_string(size), [size] {
                              Bytes v(size);
                              for (size_t i = 0; i < size; ++i) v[i] = static_cast<uint8_t>((i * i) >> 7);
                              return v;
                          }()});
    for (const auto& [name, data] : inputs) {
        for (uint8_t type : {TDeflateStream::btDynamic, TDeflateStream::btFixed, TDeflateStream::btStored}) {
            SCOPED_TRACE(name + " type " + std::to_string(type));
            const Bytes out = ourDeflate(data, type);
            EXPECT_EQ(zlibInflateRaw(out), data);
            EXPECT_EQ(ourInflate(out, data.size(), 4093), data);
        }
    }
}

TEST(DeflateInterop, ManySmallWritesAndFlushes) {
    const Bytes rows = imageRows(300, 200);
    for (uint8_t type : {TDeflateStream::btDynamic, TDeflateStream::btFixed, TDeflateStream::btStored}) {
        for (auto [chunk, flushEvery] : {std::pair<size_t, size_t>{1, 1}, {7, 100}, {901, 901}, {3000, 70000}}) {
            SCOPED_TRACE(std::to_string(type) + " " + std::to_string(chunk) + " " + std::to_string(flushEvery));
            const Bytes slice(rows.begin(), rows.begin() + (chunk == 1 ? 5000 : static_cast<long>(rows.size())));
            const Bytes out = ourDeflate(slice, type, chunk, flushEvery);
            EXPECT_EQ(zlibInflateRaw(out), slice);
        }
    }
}

// ------------------------------------------------------------------ we read what zlib writes

TEST(DeflateInterop, WeInflateEverythingZlibDeflates) {
    const std::vector<Bytes> inputs = {Bytes{}, Bytes{9}, textSample(), imageRows(500, 100), randomBytes(200000, 4),
                                       Bytes(300000, 0xAA)};
    for (int level = 0; level <= 9; ++level)
        for (int strategy : {Z_DEFAULT_STRATEGY, Z_FILTERED, Z_HUFFMAN_ONLY, Z_RLE, Z_FIXED})
            for (size_t i = 0; i < inputs.size(); ++i) {
                SCOPED_TRACE("level " + std::to_string(level) + " strategy " + std::to_string(strategy) + " input " +
                             std::to_string(i));
                const Bytes z = zlibDeflate(inputs[i], level, strategy);
                EXPECT_EQ(ourInflate(z, inputs[i].size(), i % 2 ? 1000 : 1 << 20), inputs[i]);
            }
    for (int bits = 9; bits <= 15; ++bits) {
        SCOPED_TRACE("window bits " + std::to_string(bits));
        const Bytes data = textSample();
        for (int level : {1, 6, 9}) EXPECT_EQ(ourInflate(zlibDeflate(data, level, Z_DEFAULT_STRATEGY, -bits), data.size()), data);
    }
}

// Repeats of every short period at many lengths (overlapping copies, distance 1, copies
// that end at the window's edge as it slides), between literals drawn from a few values
// (short codes: two literals to a table entry), read in pieces that end anywhere.
Bytes periodsAndSkewedLiterals() {
    std::mt19937 rng(11);
    Bytes data;
    while (data.size() < 700000) {
        const uint32_t period = 1 + rng() % 20;
        const size_t length = rng() % 4 == 0 ? 258 + rng() % 2000 : 3 + rng() % 300;
        Bytes seed(period);
        for (auto& b : seed) b = static_cast<uint8_t>(rng());
        for (size_t i = 0; i < length; ++i) data.push_back(seed[i % period]);
        for (uint32_t i = rng() % 40; i > 0; --i) data.push_back(static_cast<uint8_t>(std::countr_zero(rng() | 1u << 7)));
    }
    return data;
}

TEST(DeflateInterop, OverlappingMatchesAndLiteralPairsAtEveryReadBoundary) {
    const Bytes data = periodsAndSkewedLiterals();
    for (int strategy : {Z_DEFAULT_STRATEGY, Z_RLE, Z_HUFFMAN_ONLY}) {
        const Bytes z = zlibDeflate(data, 6, strategy);
        for (size_t piece : {size_t{1}, size_t{7}, size_t{4093}, size_t{1} << 20}) {
            SCOPED_TRACE("strategy " + std::to_string(strategy) + " pieces of " + std::to_string(piece));
            EXPECT_EQ(ourInflate(z, data.size(), piece), data);
        }
    }
}

TEST(DeflateInterop, StoredBlocksLongerThanTheReadPiecesAndCrossingThe64KiBRing) {
    // Level 0 makes stored blocks; 10 ring lengths of data in pieces that divide nothing evenly.
    const Bytes data = randomBytes(655360 + 12345, 8);
    const Bytes z = zlibDeflate(data, 0);
    const auto parsed = deflate_reference::parse(z);
    ASSERT_GT(parsed.blocks.size(), 10u);
    EXPECT_EQ(parsed.blocks[0].type, 0);
    EXPECT_EQ(ourInflate(z, data.size(), 9999), data);
    EXPECT_EQ(ourInflate(z, data.size(), 1), data) << "one byte at a time";
    // Our own stored blocks are 65,535 bytes each.
    const Bytes ours = ourDeflate(data, TDeflateStream::btStored);
    const auto p = deflate_reference::parse(ours);
    ASSERT_EQ(p.blocks.size(), (data.size() + 65534) / 65535);
    EXPECT_EQ(p.blocks[0].tokens.size(), 65535u);
}

// A symbol's fixed code, first bit first (RFC 1951, 3.2.6).
std::string fixedCode(int symbol) {
    const auto [value, width] = symbol < 144   ? std::pair{0x30 + symbol, 8}
                                : symbol < 256 ? std::pair{0x190 + symbol - 144, 9}
                                : symbol < 280 ? std::pair{symbol - 256, 7}
                                               : std::pair{0xC0 + symbol - 280, 8};
    std::string s;
    for (int k = width - 1; k >= 0; --k) s += ((value >> k) & 1) ? '1' : '0';
    return s + " ";
}

std::string fixedMatch(int length, int distance) {
    using namespace deflate_reference;
    int l = 28, d = 29;
    while (lengthBase[l] > length) --l;
    while (distanceBase[d] > distance) --d;
    std::string distanceCode;
    for (int k = 4; k >= 0; --k) distanceCode += ((d >> k) & 1) ? '1' : '0';
    return fixedCode(257 + l) + number(static_cast<uint32_t>(length - lengthBase[l]), lengthExtra[l]) + distanceCode +
           " " + number(static_cast<uint32_t>(distance - distanceBase[d]), distanceExtra[d]);
}

// A final fixed-code block: random literals, then a match of each length at each distance
// with a literal after it, then a match reaching `reachBeyond` bytes before the first byte
// and literals enough that the fast loop decodes it.
Bytes chosenMatches(const std::vector<int>& distances, const std::vector<int>& lengths, int reachBeyond) {
    std::string bits = "1 10 ";
    const Bytes seed = randomBytes(64, 41);
    for (uint8_t b : seed) bits += fixedCode(b);
    int total = static_cast<int>(seed.size());
    for (int distance : distances)
        for (int length : lengths) {
            bits += fixedMatch(length, distance) + fixedCode(length & 0xFF);
            total += length + 1;
        }
    bits += fixedMatch(258, total + reachBeyond);
    for (int i = 0; i < 40; ++i) bits += fixedCode('z');
    return packBits(bits + fixedCode(256));
}

TEST(DeflateRead, MatchesAtTheEdgesOfTheWordCopies) {
    // Every short distance, and lengths around the widths of the copies (16 and 32 bytes),
    // up to the longest; the last match reaches the first byte, or one byte further.
    std::vector<int> distances;
    for (int d = 1; d <= 40; ++d) distances.push_back(d);
    distances.insert(distances.end(), {63, 64});
    const std::vector<int> lengths = {3, 8, 15, 16, 17, 31, 32, 33, 47, 258};
    const Bytes z = chosenMatches(distances, lengths, 0);
    const Bytes expected = zlibInflateRaw(z);
    for (size_t piece : {size_t{1}, size_t{7}, size_t{4093}, expected.size()}) {
        SCOPED_TRACE("pieces of " + std::to_string(piece));
        EXPECT_EQ(ourInflate(z, expected.size(), piece), expected);
    }
    EXPECT_EQ(inflateError<Exception>(chosenMatches(distances, lengths, 1)), "Error in compressed data");
}

// ------------------------------------------------------------------ end of data and hand-back

TEST(DeflateRead, AfterTheFinalBlockStrictRaisesAndRelaxedReturnsZero) {
    const Bytes z = zlibDeflate(Bytes{'x', 'y'}, 6);
    TMemStream m;
    m.Write(z.data(), static_cast<int64_t>(z.size()));
    m.Seek(0);
    TDeflateStream d(&m, 0);
    uint8_t buf[4];
    try {
        d.Read(buf, 4);
        FAIL();
    } catch (const EInOutError& e) {
        EXPECT_EQ(e.Message(), "Read less than expected");
    }
    EXPECT_EQ(buf[0], 'x');
    EXPECT_EQ(buf[1], 'y');
    d.StrictRead = false;
    EXPECT_EQ(d.Read(buf, 4), 0);
    EXPECT_TRUE(d.Finished());
    EXPECT_TRUE(d.Eof());
}

TEST(DeflateRead, BytesAfterTheCompressedDataAreHandedBack) {
    // A zlib stream (header, raw data, Adler-32 trailer) and then more bytes, as a PNG reader
    // sees them: it reads the trailer and everything after it from behind the decompressor.
    const Bytes data = textSample();
    const Bytes z = zlibDeflate(data, 9, Z_DEFAULT_STRATEGY, 15);
    TMemStream m;
    m.Write(z.data(), static_cast<int64_t>(z.size()));
    m.Write("AFTER", 5);
    m.Seek(0);
    uint8_t header[2];
    m.Read(header, 2);
    TDeflateStream d(&m, -1 + 1);  // decompress
    Bytes out(data.size());
    EXPECT_EQ(d.Read(out.data(), static_cast<int64_t>(out.size())), static_cast<int64_t>(out.size()));
    EXPECT_EQ(out, data);
    // The end has not been seen yet when exactly the data was asked for; a relaxed read of
    // nothing more finds it.
    d.StrictRead = false;
    uint8_t none;
    EXPECT_EQ(d.Read(&none, 1), 0);
    EXPECT_EQ(d.UnusedInputCount() + m.Available(), 9) << "trailer and AFTER are left";
    uint8_t trailer[4];
    d.StrictRead = true;
    EXPECT_EQ(d.ReadAfterEnd(trailer, 4), 4);
    EXPECT_EQ(0, std::memcmp(trailer, z.data() + z.size() - 4, 4));
    uint8_t after[5];
    EXPECT_EQ(d.ReadAfterEnd(after, 5), 5);
    EXPECT_EQ(0, std::memcmp(after, "AFTER", 5));
    EXPECT_THROW(d.ReadAfterEnd(after, 1), EInOutError);
}

namespace {
// The data of several chunks, one after the other; Available() counts only the current
// chunk, and reading past the last chunk fails, as reading into the next PNG chunk would.
class TChunkedStream : public TBaseStream {
public:
    TChunkedStream(const Bytes& data, size_t chunk) : data_(data), chunk_(chunk) { CanRead = true; }
    size_t position = 0;
    int64_t Read(void* buffer, int64_t count) override {
        if (position + static_cast<size_t>(count) > data_.size()) throw Exception("read past the data");
        std::memcpy(buffer, data_.data() + position, static_cast<size_t>(count));
        position += static_cast<size_t>(count);
        return count;
    }
    int64_t Write(const void*, int64_t) override { return 0; }
    int64_t Available() override {
        return static_cast<int64_t>(std::min(data_.size(), (position / chunk_ + 1) * chunk_) - position);
    }

private:
    Bytes data_;
    size_t chunk_;
};
}  // namespace

TEST(DeflateRead, NeverReadsMoreThanTheWrappedStreamOffers) {
    const Bytes data = imageRows(400, 100);
    for (int level : {0, 1, 9}) {
        Bytes z = zlibDeflate(data, level);
        z.insert(z.end(), {1, 2, 3, 4});  // a trailer
        for (size_t chunk : {1u, 5u, 4096u, 8192u, 100000u}) {
            SCOPED_TRACE(std::to_string(level) + " " + std::to_string(chunk));
            TChunkedStream in(z, chunk);
            TDeflateStream d(&in, 0);
            Bytes out(data.size());
            d.Read(out.data(), static_cast<int64_t>(out.size()));
            EXPECT_EQ(out, data);
            d.StrictRead = false;
            uint8_t none;
            EXPECT_EQ(d.Read(&none, 1), 0);
            EXPECT_LE(in.position, z.size());
            uint8_t trailer[4];
            EXPECT_EQ(d.ReadAfterEnd(trailer, 4), 4);
            EXPECT_EQ(0, std::memcmp(trailer, "\x01\x02\x03\x04", 4));
            EXPECT_EQ(in.position, z.size());
        }
    }
}

TEST(DeflateRead, TruncatedDataFailsCleanly) {
    const Bytes data = textSample();
    const Bytes z = zlibDeflate(data, 6);
    for (size_t cut : {size_t{0}, size_t{1}, size_t{2}, z.size() / 2, z.size() - 1}) {
        SCOPED_TRACE(cut);
        const Bytes part(z.begin(), z.begin() + static_cast<long>(cut));
        TMemStream m;
        m.Write(part.data(), static_cast<int64_t>(part.size()));
        m.Seek(0);
        TDeflateStream d(&m, 0);
        Bytes out(data.size() + 1);
        // The memory stream is strict: its own short read reports the missing bytes.
        EXPECT_THROW(d.Read(out.data(), static_cast<int64_t>(out.size())), EInOutError);
        // Over a relaxed stream the decompressor itself finds the data incomplete.
        m.Seek(0);
        m.StrictRead = false;
        TDeflateStream relaxed(&m, 0);
        relaxed.StrictRead = false;
        try {
            relaxed.Read(out.data(), static_cast<int64_t>(out.size()));
            ADD_FAILURE() << "no exception";
        } catch (const Exception& e) {
            EXPECT_EQ(e.Message(), "Error in compressed data");
        }
    }
}

// ------------------------------------------------------------------ damaged data

TEST(DeflateRead, BlockTypeThreeIsAnError) {
    EXPECT_EQ(inflateError<Exception>(packBits("1 11")), "Error in compressed data");
}

TEST(DeflateRead, StoredLengthsThatDisagreeAreAnError) {
    EXPECT_EQ(inflateError<Exception>(Bytes{0x01, 0x05, 0x00, 0xFA, 0xFE, 1, 2, 3, 4, 5}), "Error in compressed data");
    EXPECT_EQ(ourInflate(Bytes{0x01, 0x03, 0x00, 0xFC, 0xFF, 'a', 'b', 'c'}, 3), (Bytes{'a', 'b', 'c'}));
}

TEST(DeflateRead, DamagedDynamicHeadersAreRejected) {
    // Code-length code: symbols 1 and 18 of length 1 (1:"0", 18:"1"); HCLEN 18.
    auto header = [](int hlitField, int hdistField, const std::string& lengthsBits) {
        std::string s = "1 01 " + number(static_cast<uint32_t>(hlitField), 5) + number(static_cast<uint32_t>(hdistField), 5);
        return s + lengthsBits;
    };
    std::string cl118 = number(14, 4);
    for (int sym : {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1})
        cl118 += number(sym == 1 || sym == 18 ? 1 : 0, 3);
    // 138 zeros twice for 258 lengths: the second repeat runs past the table.
    EXPECT_EQ(inflateError<Exception>(packBits(header(0, 0, cl118 + "1" + number(127, 7) + "1" + number(127, 7)))),
              "Error in compressed data");

    // Code-length code with 1:"0" and 16:"1": a repeat as the very first length.
    std::string cl116 = number(14, 4);
    for (int sym : {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1})
        cl116 += number(sym == 1 || sym == 16 ? 1 : 0, 3);
    EXPECT_EQ(inflateError<Exception>(packBits(header(0, 0, cl116 + "1" + number(0, 2)))), "Error in compressed data");

    // HLIT 288 and HDIST 32: more lengths than a header may carry.
    EXPECT_EQ(inflateError<Exception>(packBits(header(31, 31, cl118 + "0000000000"))), "Error in compressed data");

    // 288 literal lengths of 15 bits: not a prefix code, and its tree needs far more than
    // the 578 nodes there are. Code-length code: 15:"0", 16:"1" (HCLEN 19).
    std::string lengths = number(15, 4);
    for (int sym : {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15})
        lengths += number(sym == 15 || sym == 16 ? 1 : 0, 3);
    lengths += "0 ";                                          // 15
    for (int i = 0; i < 47; ++i) lengths += "1" + number(3, 2);  // 47 x 6 more
    lengths += "1" + number(2, 2);                            // 5 more: 288 in all
    lengths += "0 ";                                          // the distance length
    const std::string message = inflateError<EAssertionFailed>(packBits(header(31, 0, lengths) + "0000000000000000"));
    EXPECT_EQ(message.rfind("Invalid Huffman code (Huffman, line ", 0), 0u) << message;
}

TEST(DeflateRead, BadSymbolsAndDistancesAreRejected) {
    // Fixed codes: 'a' is 10010001, length 3 is 0000001, distance symbols are 5 bits.
    EXPECT_EQ(inflateError<Exception>(packBits("1 10 10010001 0000001 11110 0000000")), "Error in compressed data")
        << "distance symbol 30";
    EXPECT_EQ(inflateError<Exception>(packBits("1 10 10010001 0000001 11111 0000000")), "Error in compressed data")
        << "distance symbol 31";
    EXPECT_EQ(inflateError<Exception>(packBits("1 10 10010001 0000001 00001 0000000")), "Error in compressed data")
        << "distance 2 after one byte";
    EXPECT_EQ(inflateError<Exception>(packBits("1 10 0000001 00000 0000000")), "Error in compressed data")
        << "a match before any byte";
    EXPECT_EQ(ourInflate(packBits("1 10 10010001 0000001 00000 0000000"), 4), (Bytes{'a', 'a', 'a', 'a'}));
    // Symbols 286 and 287 have no fixed code: their bit patterns are invalid codes.
    const std::string message = inflateError<EAssertionFailed>(packBits("1 10 11000110 0000000"));
    EXPECT_EQ(message.rfind("Invalid Huffman code (Huffman, line ", 0), 0u) << message;
}

TEST(DeflateRead, GarbageNeverCrashes) {
    std::mt19937 rng(12);
    for (int i = 0; i < 3000; ++i) {
        Bytes junk = randomBytes(static_cast<size_t>(rng() % 200), static_cast<uint32_t>(i));
        if (!junk.empty()) junk[0] = static_cast<uint8_t>((junk[0] & ~6) | (i % 3) << 1);  // all block types
        try {
            TMemStream m;
            m.Write(junk.data(), static_cast<int64_t>(junk.size()));
            m.Seek(0);
            m.StrictRead = false;
            TDeflateStream d(&m, 0);
            d.StrictRead = false;
            Bytes out(1 << 16);
            for (int k = 0; k < 100 && d.Read(out.data(), static_cast<int64_t>(out.size())) > 0; ++k) {
            }
        } catch (const Exception&) {
        }
    }
}

TEST(DeflateCompress, FinishReportsAFailedWrite) {
    if (!testing_support::fileExists("/dev/full")) GTEST_SKIP() << "no /dev/full";
    TFileStream file("/dev/full", fsWrite);
    TDeflateStream d(&file, 1);
    const Bytes data = randomBytes(1000, 3);
    d.Write(data.data(), 1000);
    try {
        d.Finish();
        FAIL() << "no exception";
    } catch (const EInOutError& e) {
        EXPECT_EQ(e.Message(), "Error writing to stream - No space left on device");
    }
}

TEST(DeflateCompress, AStreamAfterAnotherStartsWithACleanIndex) {
    // Compressors pass their match index on; what an earlier stream entered must not be
    // found by a later one. After a long and after a short input, the hand-derived bits of
    // the 300-byte run come out unchanged.
    const Bytes run(300, 'a');
    const std::string fixed =
        "0 10 10010001 10010001 11000101 00001 0010001 " + number(5, 3) + "00001 0000000 1 10 0000000";
    ourDeflate(randomBytes(200000, 21));
    EXPECT_EQ(ourDeflate(run, TDeflateStream::btFixed), packBits(fixed));
    ourDeflate(Bytes(5000, 'a'));
    ourDeflate(Bytes{'a', 'a', 'a', 'a'});
    EXPECT_EQ(ourDeflate(run, TDeflateStream::btFixed), packBits(fixed));
    {
        // A stream given up halfway (nothing finished, data still pending).
        TMemStream m;
        TDeflateStream d(&m, 1);
        const Bytes r = randomBytes(70000, 22);
        d.Write(r.data(), static_cast<int64_t>(r.size()));
    }
    EXPECT_EQ(ourDeflate(run, TDeflateStream::btFixed), packBits(fixed));
}

TEST(DeflateCompress, AnEarlierStreamsPositionsAreNotCandidates) {
    // The first stream enters "aaa" last at position 12. The second has "c" x 11 and then
    // a run of "a": at position 12 it has entered no pair "aa" yet, so positions 11 and 12
    // are literals and the run continues at distance 2. A leftover entry would offer
    // position 12 itself, a match at distance 1.
    Bytes first(10, 'b');
    first.insert(first.end(), 4, 'a');
    ourDeflate(first);
    Bytes second(11, 'c');
    second.insert(second.end(), 300, 'a');
    const auto parsed = deflate_reference::parse(ourDeflate(second));
    std::vector<std::pair<int, int>> tokens;
    for (const auto& b : parsed.blocks)
        for (const auto& t : b.tokens) tokens.push_back({t.length, t.distance});
    const std::vector<std::pair<int, int>> expected = {{0, 0}, {0, 0}, {9, 2}, {0, 0}, {0, 0}, {258, 2}, {40, 2}};
    EXPECT_EQ(tokens, expected);
}

// ------------------------------------------------------------------ the output stays as it was

namespace {

// The filtered rows of a PNG: its IDAT data inflated by zlib.
Bytes pngRows(const std::string& path) {
    const Bytes png = testing_support::readFile(path);
    Bytes z;
    for (size_t p = 8; p + 12 <= png.size();) {
        const size_t n = size_t{png[p]} << 24 | size_t{png[p + 1]} << 16 | size_t{png[p + 2]} << 8 | png[p + 3];
        if (std::memcmp(&png[p + 4], "IDAT", 4) == 0) z.insert(z.end(), png.begin() + long(p + 8), png.begin() + long(p + 8 + n));
        p += 12 + n;
    }
    return zlibInflateRaw(z, 15);
}

// Slices of earlier data copied from up to a little beyond reach, some bytes changed:
// equally long candidates at many distances, and candidates just out of reach.
Bytes copiesNearTheReach() {
    std::mt19937 rng(31);
    Bytes data = randomBytes(40000, 32);
    while (data.size() < 400000) {
        const size_t back = 3 + rng() % 33000, length = 3 + rng() % 600;
        const size_t from = data.size() - back;
        for (size_t i = 0; i < length; ++i) data.push_back(data[from + i]);
        data[data.size() - 1 - rng() % length] ^= static_cast<uint8_t>(1 + rng() % 255);
    }
    return data;
}

// Four letters at random: every pair has far more than 64 earlier occurrences.
Bytes fourLetters() {
    std::mt19937 rng(33);
    Bytes data(300000);
    for (auto& b : data) b = static_cast<uint8_t>('a' + rng() % 4);
    return data;
}

}  // namespace

// The compressor's output is fixed by its algorithm: these sizes and CRC-32s of the
// compressed bytes come from the plain search it started with, every candidate visited in
// turn. The inputs bring ties, the cut-off after a pair's 64 newest occurrences and
// matches at the edge of reach; the photo's rows are what a PNG encoder compresses.
TEST(DeflateCompress, FasterSearchKeepsEveryOutputByte) {
    PIXMORPH_REQUIRE_TESTDATA();
    const Bytes rows = pngRows(testing_support::testdata("photos/Ubuntu-Mate-Cold-no-logo.png"));
    ASSERT_GE(rows.size(), 2000000u);
    const std::vector<std::pair<std::string, Bytes>> inputs = {{"photo rows", Bytes(rows.begin(), rows.begin() + 2000000)},
                                                               {"periods", periodsAndSkewedLiterals()},
                                                               {"copies", copiesNearTheReach()},
                                                               {"four letters", fourLetters()}};
    struct Way {
        uint8_t type;
        size_t chunk, flushEvery;
    };
    const Way ways[] = {{TDeflateStream::btDynamic, 0, 0}, {TDeflateStream::btDynamic, 1000, 50000}, {TDeflateStream::btFixed, 4096, 9000}};
    const std::pair<size_t, uint32_t> expected[4][3] = {
        {{739047, 811544696}, {740674, 2520769778}, {889459, 3402615214}},
        {{39851, 1328759161}, {40882, 320482310}, {43156, 1273757132}},
        {{51176, 650889248}, {50273, 3248587128}, {53116, 3736203566}},
        {{91655, 1166317894}, {91741, 1371975600}, {140998, 487096037}},
    };
    for (size_t i = 0; i < inputs.size(); ++i)
        for (size_t w = 0; w < 3; ++w) {
            const Bytes out = ourDeflate(inputs[i].second, ways[w].type, ways[w].chunk, ways[w].flushEvery);
            const uint32_t crc = static_cast<uint32_t>(crc32(0, out.data(), static_cast<uInt>(out.size())));
            EXPECT_EQ(std::make_pair(out.size(), crc), expected[i][w]) << inputs[i].first << ", way " << w;
        }
}
