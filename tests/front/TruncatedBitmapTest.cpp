// Bitmaps cut short, through the binary: every reader of bitmap rows converts what the
// file holds, warns of the rows it could not read and keeps the input; a file that ends
// inside its headers or colour table fails.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "TestSupport.h"
#include "codecs/BmpBytes.h"
#include "codecs/IconFiles.h"

using namespace testing_support;
using namespace bmp_bytes;

namespace {

constexpr int Width = 13, Height = 9;  // an odd width, so that rows are padded

struct Kind {
    const char* name;
    uint32_t headerSize;
    int bits;
    uint32_t compression;  // 0, 1 (RLE8) or 2 (RLE4)
};

// Every header kind at every depth it can hold: core (OS/2 1.x), info, V4 and V5.
std::vector<Kind> kinds() {
    std::vector<Kind> all;
    const std::pair<const char*, uint32_t> headers[] = {{"core", 12}, {"info", 40}, {"v4", 108}, {"v5", 124}};
    for (const auto& [name, size] : headers) {
        for (int bits : {1, 4, 8, 16, 24, 32}) all.push_back({name, size, bits, 0});
        if (size == 12) continue;  // the core header has no compression field
        all.push_back({name, size, 4, 2});
        all.push_back({name, size, 8, 1});
    }
    return all;
}

uint32_t pixelValue(int x, int y, int bits) {
    const uint32_t v = static_cast<uint32_t>(x * 7 + y * 3 + 1);
    return bits <= 8 ? v % (1u << bits) : v * 0x010305u;
}

// The file, where its pixel data starts and, per file row, where that row's data starts.
struct Built {
    Bytes bytes;
    size_t pixelOffset = 0;
    std::vector<size_t> rowStart;
};

Built build(const Kind& k) {
    Info info;
    info.headerSize = k.headerSize;
    info.width = Width;
    info.height = Height;
    info.bitCount = static_cast<uint32_t>(k.bits);
    info.compression = k.compression;
    std::vector<uint32_t> table;
    for (int i = 0; k.bits <= 8 && i < (1 << k.bits); ++i) table.push_back(0x203040u + 0x050301u * i);
    Built b;
    Bytes pixels;
    for (int fileRow = 0; fileRow < Height; ++fileRow) {  // bottom row first
        b.rowStart.push_back(pixels.size());
        const int y = Height - 1 - fileRow;
        if (k.compression) {
            // One encoded run of one pixel each, then the end of the line.
            for (int x = 0; x < Width; ++x) {
                const uint32_t v = pixelValue(x, y, k.bits);
                append(pixels, {1, static_cast<uint8_t>(k.bits == 4 ? v << 4 : v)});
            }
            append(pixels, {0, 0});
            continue;
        }
        Bytes row((static_cast<size_t>(Width) * k.bits + 31) / 32 * 4, 0);
        for (int x = 0; x < Width; ++x) {
            const uint32_t v = pixelValue(x, y, k.bits);
            if (k.bits < 8)
                row[x * k.bits / 8] |= static_cast<uint8_t>(v << (8 - k.bits - x * k.bits % 8));
            else
                for (int i = 0; i < k.bits / 8; ++i) row[x * (k.bits / 8) + i] = static_cast<uint8_t>(v >> (8 * i));
        }
        append(pixels, row);
    }
    if (k.compression) append(pixels, {0, 1});
    b.bytes = file(info, table, pixels, k.headerSize == 12 ? 3 : 4);
    b.pixelOffset = b.bytes.size() - pixels.size();
    return b;
}

// Cuts inside the pixel data and the rows each leaves unread: before the first pixel, in
// the fourth row, and in the last row's last pixel.
struct Cut {
    size_t size;
    int missing;
};

std::vector<Cut> cuts(const Kind& k, const Built& b) {
    const size_t lastRowPixels = k.compression ? 2 * Width : (static_cast<size_t>(Width) * k.bits + 7) / 8;
    return {{b.pixelOffset, Height},
            {b.pixelOffset + b.rowStart[3] + 1, Height - 3},
            {b.pixelOffset + b.rowStart[Height - 1] + lastRowPixels - 1, 1}};
}

std::string warning(int missing) {
    return "Pixmorph: warning: BMP: Premature end of data (" + std::to_string(missing) + " of " +
           std::to_string(Height) + " rows missing)\n";
}

// The output of code 5 and codes 100 to 106 (code - 100 indexing the list from 100 on).
std::string outputName(const std::string& code) {
    const char* const names[] = {"out.bmp", "out.jpg", "out.gif", "out.ico", "out.png", "out.jng", "out.emf"};
    return code == "5" ? "out.png" : names[std::stoi(code) - 100];
}

}  // namespace

TEST(TruncatedBitmap, EveryHeaderKindAndDepthWarnsOfItsMissingRowsAndKeepsTheInput) {
    TempDir dir;
    const std::string input = dir / "short.bmp";
    for (const Kind& k : kinds()) {
        const Built b = build(k);
        // The codec path at every cut; the fixed codes, which read through the platform
        // reader alone, at the middle one.
        for (const Cut& cut : cuts(k, b)) {
            std::vector<std::string> codes = {"5"};
            if (cut.missing == Height - 3) codes.insert(codes.end(), {"100", "101", "102", "103", "104", "105", "106"});
            for (const std::string& code : codes) {
                SCOPED_TRACE(std::string(k.name) + " " + std::to_string(k.bits) + " bits, compression " +
                             std::to_string(k.compression) + ", cut at " + std::to_string(cut.size) + ", code " + code);
                writeFile(input, Bytes(b.bytes.begin(), b.bytes.begin() + static_cast<std::ptrdiff_t>(cut.size)));
                const std::string output = dir / outputName(code);
                const RunResult r = runPixmorph({input, code, output});
                EXPECT_EQ(r.exitCode, 0);
                EXPECT_EQ(r.err, warning(cut.missing));
                EXPECT_TRUE(fileExists(input)) << "a damaged input stays";
                EXPECT_TRUE(fileExists(output));
                std::remove(output.c_str());
            }
        }
    }
}

TEST(TruncatedBitmap, FilesEndingInsideTheirHeadersOrColourTableFail) {
    TempDir dir;
    const std::string input = dir / "short.bmp";
    for (const Kind& k : kinds()) {
        if (k.compression) continue;
        const Built b = build(k);
        std::vector<size_t> sizes = {10, 14 + k.headerSize / 2};
        if (k.bits <= 8) sizes.push_back(b.pixelOffset - 2);  // inside the colour table
        for (size_t size : sizes) {
            for (const std::string code : {"5", "100", "102", "106"}) {
                SCOPED_TRACE(std::string(k.name) + " " + std::to_string(k.bits) + " bits, cut at " +
                             std::to_string(size) + ", code " + code);
                writeFile(input, Bytes(b.bytes.begin(), b.bytes.begin() + static_cast<std::ptrdiff_t>(size)));
                const std::string output = dir / outputName(code);
                std::remove(output.c_str());
                const RunResult r = runPixmorph({input, code, output});
                EXPECT_EQ(r.exitCode, 1);
                EXPECT_EQ(r.err, code == "5" ? "Pixmorph: Unsupported file format.\n"
                                             : "Pixmorph: Bitmap image is not valid.\n");
                EXPECT_TRUE(fileExists(input));
                EXPECT_FALSE(fileExists(output));
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
        const size_t rowBytes = (16 * static_cast<size_t>(bits) + 31) / 32 * 4;
        const size_t maskBytes = 16 * 4;  // written for 32 bits too, where the reader needs none
        // Ten colour rows held; the rest of the colour rows and the mask missing.
        const size_t cutSize = whole.size() - maskBytes - 6 * rowBytes;
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
