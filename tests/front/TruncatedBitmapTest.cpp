// Bitmaps cut short, through the binary: every reader of bitmap rows converts what the
// file holds, warns of the rows it could not read and keeps the input; a file that ends
// inside its headers or colour table fails.
#include <gtest/gtest.h>

#include <cstdio>
#include <map>

#include "TestSupport.h"
#include "codecs/BmpBytes.h"
#include "codecs/IconFiles.h"

using namespace testing_support;
using namespace bmp_bytes;

namespace {

constexpr int Width = 13, Height = 9;  // an odd width, so that rows are padded

uint32_t pixelValue(int x, int y, int bits) {
    const uint32_t v = static_cast<uint32_t>(x * 7 + y * 3 + 1);
    return bits <= 8 ? v % (1u << bits) : v * 0x010305u;
}

// A bitmap and where its pixel data starts.
struct Built {
    Info info;
    Bytes bytes;
    size_t pixelOffset = 0;
};

// Every header kind (core, info, V4, V5) at every depth it can hold; RLE as one run per pixel.
std::vector<Built> everyKind() {
    std::vector<Built> all;
    const std::pair<uint32_t, uint32_t> depths[] = {{1, 0}, {4, 0}, {8, 0}, {16, 0}, {24, 0}, {32, 0}, {4, 2}, {8, 1}};
    for (uint32_t headerSize : {12u, 40u, 108u, 124u}) {
        for (const auto& [bits, compression] : depths) {
            if (headerSize == 12 && compression) continue;  // the core header has no compression field
            Built b;
            b.info = {.headerSize = headerSize, .width = Width, .height = Height, .bitCount = bits,
                      .compression = compression, .masks = {}};
            std::vector<uint32_t> table;
            for (uint32_t i = 0; bits <= 8 && i < (1u << bits); ++i) table.push_back(0x203040u + 0x050301u * i);
            Bytes pixels;
            for (int y = Height - 1; y >= 0; --y) {  // bottom row first
                Bytes row(compression ? 0 : (Width * bits + 31) / 32 * 4, 0);
                for (int x = 0; x < Width; ++x) {
                    const uint32_t v = pixelValue(x, y, static_cast<int>(bits));
                    if (compression)
                        append(row, {1, static_cast<uint8_t>(bits == 4 ? v << 4 : v)});
                    else if (bits < 8)
                        row[x * bits / 8] |= static_cast<uint8_t>(v << (8 - bits - x * bits % 8));
                    else
                        for (uint32_t i = 0; i < bits / 8; ++i) row[x * (bits / 8) + i] = static_cast<uint8_t>(v >> (8 * i));
                }
                if (compression) append(row, {0, 0});
                append(pixels, row);
            }
            if (compression) append(pixels, {0, 1});
            b.bytes = file(b.info, table, pixels, headerSize == 12 ? 3 : 4);
            b.pixelOffset = b.bytes.size() - pixels.size();
            all.push_back(std::move(b));
        }
    }
    return all;
}

const std::map<std::string, std::string> OutputOf = {{"5", "out.png"},   {"100", "out.bmp"}, {"101", "out.jpg"},
                                                     {"102", "out.gif"}, {"103", "out.ico"}, {"104", "out.png"},
                                                     {"105", "out.jng"}, {"106", "out.emf"}};

}  // namespace

TEST(TruncatedBitmap, EveryHeaderKindAndDepthWarnsOfItsMissingRowsOrFailsInItsHeaders) {
    TempDir dir;
    const std::string input = dir / "short.bmp";
    for (const Built& b : everyKind()) {
        const size_t rowBytes = b.info.compression ? 2 * Width + 2 : (Width * b.info.bitCount + 31) / 32 * 4;
        const size_t lastRow = b.info.compression ? 2 * Width : (Width * b.info.bitCount + 7) / 8;
        // Cuts with the rows each leaves unread: before the first pixel, in the fourth row, in the
        // last row's last pixel; -1 where the file fails: in the file header, the info header and
        // the colour table.
        std::vector<std::pair<size_t, int>> cuts = {{b.pixelOffset, Height}, {b.pixelOffset + 3 * rowBytes + 1, Height - 3},
                                                    {b.pixelOffset + (Height - 1) * rowBytes + lastRow - 1, 1}};
        if (!b.info.compression) cuts.insert(cuts.end(), {{10, -1}, {14 + b.info.headerSize / 2, -1}});
        if (!b.info.compression && b.info.bitCount <= 8) cuts.push_back({b.pixelOffset - 2, -1});
        for (const auto& [size, missing] : cuts) {
            for (const auto& [code, name] : OutputOf) {
                // The fixed codes read through the platform reader alone: all at one cut in the
                // pixels, some at the failing cuts.
                if (code != "5" && missing != Height - 3 && (missing > 0 || code == "101" || code == "103" ||
                                                             code == "104" || code == "105"))
                    continue;
                SCOPED_TRACE(testing::Message() << b.info.headerSize << "-byte header, " << b.info.bitCount
                                                << " bits, compression " << b.info.compression << ", cut at " << size
                                                << ", code " << code);
                writeFile(input, Bytes(b.bytes.begin(), b.bytes.begin() + static_cast<std::ptrdiff_t>(size)));
                std::remove((dir / name).c_str());
                const RunResult r = runPixmorph({input, code, dir / name});
                EXPECT_EQ(r.exitCode, missing < 0 ? 1 : 0);
                EXPECT_EQ(r.err, missing > 0   ? "Pixmorph: warning: BMP: Premature end of data (" +
                                                     std::to_string(missing) + " of 9 rows missing)\n"
                                 : code == "5" ? "Pixmorph: Unsupported file format.\n"
                                               : "Pixmorph: Bitmap image is not valid.\n");
                EXPECT_TRUE(fileExists(input));
                EXPECT_EQ(fileExists(dir / name), missing > 0);
            }
        }
    }
}

TEST(TruncatedBitmap, IconImagesCutInsideTheirRowsWarnAndKeepTheInput) {
    TempDir dir;
    const std::string input = dir / "short.ico";
    for (int bits : {1, 4, 8, 24, 32}) {
        icon_files::HandImage image;
        image.width = image.height = 16;
        image.bitCount = bits;
        for (int i = 0; bits <= 8 && i < (1 << bits); ++i) image.palette.push_back(0x102030u * (i + 1) & 0xFFFFFF);
        image.index = [bits](int x, int y) { return pixelValue(x, y, bits); };
        const Bytes whole = icon_files::iconFile(1, {image});
        // Ten colour rows held; the other six and the mask (16 rows of 4 bytes, written for
        // 32 bits too, where the reader needs none) missing.
        const size_t cutSize = whole.size() - 16 * 4 - 6 * ((16 * static_cast<size_t>(bits) + 31) / 32 * 4);
        SCOPED_TRACE(bits);
        writeFile(input, Bytes(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(cutSize)));
        const RunResult r = runPixmorph({input, "5", dir / "out.bmp"});
        EXPECT_EQ(r.exitCode, 0);
        EXPECT_EQ(r.err, "Pixmorph: warning: ICO: Premature end of data in icon 0 (" +
                             std::string(bits == 32 ? "6" : "16") + " of 16 rows missing)\n");
        EXPECT_TRUE(fileExists(input));
        EXPECT_TRUE(fileExists(dir / "out.bmp"));
    }
}
