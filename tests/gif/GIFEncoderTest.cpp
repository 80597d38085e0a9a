// The LZW and RLE encoders: giflib must read back the exact indices, and the code stream
// must keep the shape every GIF decoder expects (sub-blocks, widths, clears).
#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "TestSupport.h"
#include "gif/GIFEncoder.h"
#include "gif/GifOracle.h"

using testing_support::messageOf;

namespace {

using Bytes = std::vector<uint8_t>;

int BitsFor(int colors) {
    int bits = 1;
    while ((1 << bits) < colors) ++bits;
    return bits;
}

// A complete file around one frame's image data: the encoder alone writes the data, the
// container is laid out here by hand.
Bytes WrapFrame(uint8_t kind, int colors, int width, int height, bool interlaced, const Bytes& pixels) {
    const int bits = BitsFor(colors);
    Bytes file = {'G', 'I', 'F', '8', '9', 'a'};
    auto word = [&](int v) {
        file.push_back(static_cast<uint8_t>(v));
        file.push_back(static_cast<uint8_t>(v >> 8));
    };
    word(width);
    word(height);
    file.push_back(static_cast<uint8_t>(0x80 | ((bits - 1) << 4) | (bits - 1)));
    file.push_back(0);
    file.push_back(0);
    for (int i = 0; i < (1 << bits); ++i)
        for (int c = 0; c < 3; ++c) file.push_back(static_cast<uint8_t>(i * 7 + c));
    file.push_back(0x2C);
    word(0);
    word(0);
    word(width);
    word(height);
    file.push_back(interlaced ? 0x40 : 0);
    host::TMemoryStream stream;
    stream.WriteBuffer(file.data(), static_cast<int64_t>(file.size()));
    CreateGIFEncoder(kind)->EncodeImage(stream, bits, colors, pixels.data(), interlaced, height, width);
    Bytes out = stream.Data();
    out.push_back(0x3B);
    return out;
}

size_t ImageDataOffset(int colors) { return 13 + 3 * (size_t{1} << BitsFor(colors)) + 10; }

// What a decoder sees of the code stream: every code with the width it was read at, and
// the largest table entry created.
struct CodeTrace {
    std::vector<std::pair<int, int>> codes;  // (code, width)
    int largestEntry = -1;
    bool endSeen = false;
};

CodeTrace TraceCodes(const Bytes& file, size_t offset) {
    const int minimum = file.at(offset);
    Bytes data;
    size_t at = offset + 1;
    while (at < file.size() && file[at] != 0) {
        data.insert(data.end(), file.begin() + static_cast<long>(at) + 1,
                    file.begin() + static_cast<long>(at) + 1 + file[at]);
        at += 1 + file[at];
    }
    CodeTrace trace;
    const int clear = 1 << minimum, end = clear + 1;
    int width = minimum + 1, next = clear + 2;
    bool first = true;
    size_t bit = 0;
    while (bit + static_cast<size_t>(width) <= data.size() * 8) {
        int code = 0;
        for (int i = 0; i < width; ++i, ++bit) code |= ((data[bit / 8] >> (bit % 8)) & 1) << i;
        trace.codes.emplace_back(code, width);
        if (code == clear) {
            width = minimum + 1;
            next = clear + 2;
            first = true;
            continue;
        }
        if (code == end) {
            trace.endSeen = true;
            break;
        }
        if (!first && next < 4096) {
            trace.largestEntry = std::max(trace.largestEntry, next);
            ++next;
            if (next >= (1 << width) && width < 12) ++width;
        }
        first = false;
    }
    return trace;
}

enum class Pattern { Random, Runs, Solid, Diagonal, Repeats };

Bytes MakePixels(Pattern pattern, int colors, int width, int height, unsigned seed) {
    Bytes pixels(static_cast<size_t>(width) * height);
    std::mt19937 random(seed);
    size_t i = 0;
    int run = 1, value = 0, left = 1;
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x, ++i) {
            switch (pattern) {
                case Pattern::Random: pixels[i] = static_cast<uint8_t>(random() % colors); break;
                case Pattern::Solid: pixels[i] = static_cast<uint8_t>(colors - 1); break;
                case Pattern::Diagonal: pixels[i] = static_cast<uint8_t>((x + y) % colors); break;
                case Pattern::Repeats:
                    // Long runs of one colour split by single pixels: the run codes of the
                    // table built for the first run serve the later ones.
                    if (--left == 0) {
                        value = value == 0 ? 1 : 0;
                        left = value == 0 ? 2 + (++run * 131) % 700 : 1;
                    }
                    pixels[i] = static_cast<uint8_t>(value % colors);
                    break;
                case Pattern::Runs:
                    // Runs of every length from 1 upwards, each in the next colour.
                    if (--left == 0) {
                        value = (value + 1) % colors;
                        left = ++run;
                        if (run > 3000) run = 1;
                    }
                    pixels[i] = static_cast<uint8_t>(value);
                    break;
            }
        }
    return pixels;
}

struct EncoderCase {
    uint8_t kind;
    int colors;
    int width;
    int height;
    bool interlaced;
    Pattern pattern;
};

std::string Describe(const EncoderCase& c) {
    return std::string(c.kind == GIFEncoderRLE ? "RLE" : "LZW") + " colours " + std::to_string(c.colors) + " " +
           std::to_string(c.width) + "x" + std::to_string(c.height) + (c.interlaced ? " interlaced" : "") +
           " pattern " + std::to_string(static_cast<int>(c.pattern));
}

}  // namespace

#ifdef PIXMORPH_HAVE_GIFLIB

TEST(GIFEncoders, GiflibReadsBackTheExactIndicesInFullSubBlocks) {
    std::vector<EncoderCase> cases;
    for (uint8_t kind : {GIFEncoderLZW, GIFEncoderRLE}) {
        for (int colors : {1, 2, 3, 4, 5, 8, 16, 17, 100, 200, 256})
            for (Pattern pattern :
                 {Pattern::Random, Pattern::Runs, Pattern::Solid, Pattern::Diagonal, Pattern::Repeats})
                cases.push_back({kind, colors, 37, 23, colors % 2 == 1, pattern});
        for (int width : {1, 2, 7, 255, 256, 1000})
            for (int height : {1, 2, 3, 4, 5, 9, 17})
                for (bool interlaced : {false, true})
                    cases.push_back({kind, width % 3 == 0 ? 256 : 6, width, height, interlaced,
                                     height % 2 ? Pattern::Runs : Pattern::Random});
        // Long enough for many full tables: the clear at code 4094 and the 12-bit width.
        cases.push_back({kind, 256, 1000, 60, false, Pattern::Random});
        cases.push_back({kind, 2, 1000, 200, true, Pattern::Random});
        cases.push_back({kind, 256, 1000, 300, false, Pattern::Runs});
        cases.push_back({kind, 4, 1000, 100, false, Pattern::Solid});
        cases.push_back({kind, 2, 1000, 100, false, Pattern::Repeats});
        cases.push_back({kind, 256, 999, 101, true, Pattern::Repeats});
    }
    unsigned seed = 1;
    for (const EncoderCase& c : cases) {
        SCOPED_TRACE(Describe(c));
        const Bytes pixels = MakePixels(c.pattern, c.colors, c.width, c.height, seed++);
        const Bytes file = WrapFrame(c.kind, c.colors, c.width, c.height, c.interlaced, pixels);
        const gif_oracle::Decoded decoded = gif_oracle::Decode(file);
        ASSERT_TRUE(decoded.ok) << decoded.error;
        ASSERT_EQ(decoded.frames.size(), 1u);
        EXPECT_EQ(decoded.frames[0].interlaced, c.interlaced);
        ASSERT_EQ(decoded.frames[0].pixels, pixels);

        size_t offset = ImageDataOffset(c.colors);
        EXPECT_EQ(file[offset], std::max(2, BitsFor(c.colors)));
        const std::vector<int> lengths = gif_oracle::SubBlockLengths(file, offset);
        ASSERT_GE(lengths.size(), 2u);
        EXPECT_EQ(lengths.back(), 0);
        EXPECT_GT(lengths[lengths.size() - 2], 0) << "no empty sub-block before the terminator";
        for (size_t i = 0; i + 2 < lengths.size(); ++i) ASSERT_EQ(lengths[i], 255) << "sub-block " << i;
        EXPECT_EQ(offset + 1, file.size()) << "the trailer follows the terminator";

        const CodeTrace trace = TraceCodes(file, ImageDataOffset(c.colors));
        EXPECT_TRUE(trace.endSeen);
        EXPECT_LE(trace.largestEntry, 4094);
        EXPECT_EQ(trace.codes.front().first, 1 << std::max(2, BitsFor(c.colors))) << "starts with a clear";
    }
}

#endif

TEST(GIFEncoders, LZWFillsTheTableToCode4094ThenClearsAtTwelveBits) {
    const Bytes pixels = MakePixels(Pattern::Random, 256, 1000, 60, 7);
    const Bytes file = WrapFrame(GIFEncoderLZW, 256, 1000, 60, false, pixels);
    const CodeTrace trace = TraceCodes(file, ImageDataOffset(256));
    EXPECT_EQ(trace.largestEntry, 4094);
    int clears = 0;
    for (size_t i = 1; i < trace.codes.size(); ++i) {
        if (trace.codes[i].first != 256) continue;
        ++clears;
        EXPECT_EQ(trace.codes[i].second, 12) << "a clear after a full table is 12 bits wide";
        ASSERT_LT(i + 1, trace.codes.size());
        EXPECT_EQ(trace.codes[i + 1].second, 9) << "the table starts again with 9-bit codes";
    }
    EXPECT_GE(clears, 5);
}

TEST(GIFEncoders, HandWorkedCodeStreams) {
    struct Case {
        const char* what;
        uint8_t kind;
        int colors, width, height;
        Bytes pixels;
        Bytes data;  // from the minimum code size to the terminator
    };
    const Case cases[] = {
        // clear 4 | 0 | 6 (=00) | 0 | the width grows to 4 after code 7 is taken | end 5.
        {"LZW, four black pixels", GIFEncoderLZW, 4, 4, 1, {0, 0, 0, 0}, {2, 2, 0x84, 0x51, 0}},
        // clear | 0 | runs of 2, 3 and 4 as codes 6, 7, 8 (8 already 4 bits wide) | end.
        {"RLE, one colour", GIFEncoderRLE, 1, 10, 1, Bytes(10, 0), {2, 3, 0x84, 0x8F, 0x05, 0}},
        // No pixels: the end code alone, with no clear.
        {"LZW, empty frame", GIFEncoderLZW, 2, 0, 0, {}, {2, 1, 5, 0}},
        {"RLE, empty frame", GIFEncoderRLE, 256, 5, 0, {}, {8, 2, 0x01, 0x01, 0}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        host::TMemoryStream stream;
        CreateGIFEncoder(c.kind)->EncodeImage(stream, BitsFor(c.colors), c.colors,
                                              c.pixels.empty() ? nullptr : c.pixels.data(), false, c.height,
                                              c.width);
        EXPECT_EQ(stream.Data(), c.data);
    }
}

TEST(GIFEncoders, RLEClearsAfterNineCodesOnSmallPalettesUnlessARunIsFlushed) {
    Bytes pixels(40);
    for (size_t i = 0; i < pixels.size(); ++i) pixels[i] = static_cast<uint8_t>(i % 2);
    Bytes file = WrapFrame(GIFEncoderRLE, 2, 40, 1, false, pixels);
    CodeTrace trace = TraceCodes(file, ImageDataOffset(2));
    int since = -1;
    std::vector<int> between;
    for (const auto& [code, width] : trace.codes) {
        if (code == 4 || code == 5) {
            if (since >= 0) between.push_back(since);
            since = 0;
        } else {
            ++since;
        }
    }
    EXPECT_EQ(between, (std::vector<int>{9, 9, 9, 9, 4}));

    // One run of 100 goes out as growing runs with no clear inside it: 1, then 2 to 13 as
    // codes 6 to 17 (91 pixels), the 9 left over as code 13; the clear comes after the run.
    file = WrapFrame(GIFEncoderRLE, 2, 100, 1, false, Bytes(100, 1));
    trace = TraceCodes(file, ImageDataOffset(2));
    std::vector<int> expected = {4, 1};
    for (int code = 6; code <= 17; ++code) expected.push_back(code);
    expected.insert(expected.end(), {13, 4, 5});
    std::vector<int> codes;
    for (const auto& code : trace.codes) codes.push_back(code.first);
    EXPECT_EQ(codes, expected);
}

TEST(GIFEncoders, APixelNotBelowTheColourCountStopsWithoutTerminator) {
    for (uint8_t kind : {GIFEncoderLZW, GIFEncoderRLE}) {
        const Bytes pixels = {0, 1, 2, 3, 4, 5};
        host::TMemoryStream stream;
        auto encoder = CreateGIFEncoder(kind);
        EXPECT_EQ(messageOf<GIFException>([&] { encoder->EncodeImage(stream, 3, 5, pixels.data(), false, 1, 6); }),
                  "Color not in color table");
        // The code-size byte and the sub-block gathered so far, but no terminator.
        ASSERT_GE(stream.Data().size(), 3u);
        EXPECT_EQ(stream.Data()[0], 3);
        EXPECT_EQ(stream.Data()[1] + 2u, stream.Data().size());
    }
}

TEST(GIFEncoders, HashTableFindsEveryKeyOfAFullDictionary) {
    // As many entries as one dictionary ever holds, keyed as the encoder keys them.
    THashTable table;
    std::mt19937 random(3);
    std::vector<uint32_t> keys;
    for (uint32_t code = 0; code < 3837; ++code) keys.push_back((code << 8) | (code * 37 % 256));
    for (size_t i = 0; i < keys.size(); ++i) table.Add(keys[i], static_cast<uint16_t>(258 + i));
    for (size_t i = 0; i < keys.size(); ++i) ASSERT_EQ(table.Find(keys[i]), 258 + i) << i;
    for (int i = 0; i < 1000; ++i) {
        const uint32_t key = random() % 0xFFFFF;
        if (std::find(keys.begin(), keys.end(), key) == keys.end()) {
            ASSERT_EQ(table.Find(key), THashTable::NotFound);
        }
    }
    table.Reset();
    EXPECT_EQ(table.Find(keys[0]), THashTable::NotFound);
}

TEST(GIFEncoders, RunCostAndIntegerSquareRoot) {
    struct {
        int32_t count, limit, cost;
    } const costs[] = {
        {1, 100, 1}, {2, 100, 2}, {3, 100, 2}, {4, 100, 3}, {6, 100, 3}, {7, 100, 4},
        // A limit of 3 sends 6 pixels per three codes (1 + 2 + 3).
        {6, 3, 3}, {7, 3, 4}, {12, 3, 6}, {13, 3, 7},
    };
    for (const auto& c : costs) EXPECT_EQ(RunCost(c.count, c.limit), c.cost) << c.count << " " << c.limit;
    for (int32_t x : {0, 1, 2, 3, 4, 15, 16, 17, 99, 100, 1 << 20, 2147395600, 2147483647}) {
        const int64_t r = IntSqrt(x);
        EXPECT_LE(r * r, x) << x;
        EXPECT_GT((r + 1) * (r + 1), x) << x;
    }
}

TEST(GIFStream, OnlyTheWriterWritesAndNothingReadsOrSeeks) {
    host::TMemoryStream target;
    TGIFStream plain(target);
    uint8_t byte = 0;
    EXPECT_EQ(messageOf<GIFException>([&] { plain.Read(&byte, 1); }), "Invalid stream operation");
    EXPECT_EQ(messageOf<GIFException>([&] { plain.Write(&byte, 1); }), "Invalid stream operation");
    EXPECT_EQ(messageOf<GIFException>([&] { plain.Seek(0, host::soBeginning); }), "Invalid stream operation");

    // 600 bytes: 255, 255, then the 90 left when the writer finishes.
    TGIFWriter writer(target);
    const Bytes data(600, 0xAB);
    EXPECT_EQ(writer.Write(data.data(), 600), 600);
    EXPECT_EQ(target.Data().size(), 512u);
    writer.Finish();
    ASSERT_EQ(target.Data().size(), 603u);
    EXPECT_EQ(target.Data()[0], 255);
    EXPECT_EQ(target.Data()[256], 255);
    EXPECT_EQ(target.Data()[512], 90);
    writer.Finish();
    EXPECT_EQ(target.Data().size(), 603u) << "nothing more once flushed";
}
