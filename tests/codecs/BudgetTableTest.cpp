// One table of small crafted files, each of a class that once cost far more work or memory
// than its output holds, each made here from its description: the kind of file, its size,
// and the allowance it must end within (the picture it makes, or the refusal that ends it
// once its work or memory passes what the data pays for). scripts/check-bounds.sh times
// the same classes through the command lines; a new class is one row in each.
#include <gtest/gtest.h>

#include <zlib.h>

#include <jerror.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "TestSupport.h"
#include "codecs/CodecBytes.h"
#include "codecs/ICOLoader.h"
#include "codecs/IconList.h"
#include "codecs/JPEGLoader.h"
#include "codecs/JpegOracle.h"
#include "codecs/WMFLoader.h"
#include "metafile/MetafileRecordTypes.h"
#include "streams/MemStream.h"

namespace {

using Bytes = std::vector<uint8_t>;

void put32(Bytes& b, uint32_t v) {
    for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
void put16(Bytes& b, uint16_t v) { b.push_back(static_cast<uint8_t>(v)), b.push_back(static_cast<uint8_t>(v >> 8)); }
void putBE32(Bytes& b, uint32_t v) {
    for (int i = 3; i >= 0; --i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

// ---------------------------------------------------------------- metafiles

// An EMF of side × side pixels whose records are given whole (their size fields set here).
Bytes enhanced(int32_t side, const std::vector<Bytes>& records) {
    Bytes body;
    for (Bytes r : records) {
        const auto size = static_cast<uint32_t>(r.size());
        std::memcpy(r.data() + 4, &size, 4);
        body.insert(body.end(), r.begin(), r.end());
    }
    Bytes out;
    for (uint32_t v : {uint32_t{host::EMR_HEADER}, 88u, 0u, 0u, uint32_t(side - 1), uint32_t(side - 1), 0u, 0u,
                       uint32_t(side * 2540 / 96), uint32_t(side * 2540 / 96), 0x464D4520u, 0x10000u, 0u,
                       uint32_t(records.size() + 2)})
        put32(out, v);
    put16(out, 4), put16(out, 0);
    for (uint32_t v : {0u, 0u, 0u, 960u, 960u, 254u, 254u}) put32(out, v);
    out.insert(out.end(), body.begin(), body.end());
    for (uint32_t v : {uint32_t{host::EMR_EOF}, 20u, 0u, 16u, 20u}) put32(out, v);
    const auto total = static_cast<uint32_t>(out.size());
    std::memcpy(out.data() + 48, &total, 4);
    return out;
}

Bytes fontRecord(int32_t height) {
    Bytes r;
    for (uint32_t v : {uint32_t{host::EMR_EXTCREATEFONTINDIRECTW}, 0u, 1u, uint32_t(height), 0u, 0u, 0u, 400u, 0u, 0u})
        put32(r, v);
    for (char c : std::string("Arial")) put16(r, static_cast<uint16_t>(c));
    r.resize(104, 0);
    return r;
}

Bytes selectFont() {
    Bytes r;
    for (uint32_t v : {uint32_t{host::EMR_SELECTOBJECT}, 0u, 1u}) put32(r, v);
    return r;
}

// ExtTextOutW of the characters at (x, y).
Bytes textRecord(int32_t x, int32_t y, const std::u16string& text) {
    Bytes r;
    for (uint32_t v : {uint32_t{host::EMR_EXTTEXTOUTW}, 0u, 0u, 0u, 0u, 0u, 1u, 0u, 0u, uint32_t(x), uint32_t(y),
                       uint32_t(text.size()), 76u, 0u, 0u, 0u, 0u, 0u, 0u})
        put32(r, v);
    for (char16_t c : text) put16(r, static_cast<uint16_t>(c));
    r.resize((r.size() + 3) / 4 * 4, 0);
    return r;
}

// A font of 9,500 pixels and 200 distinct letters over a picture of 100 × 100: each glyph
// would be rasterised whole.
Bytes hugeGlyphs() {
    std::vector<Bytes> records = {fontRecord(-9500), selectFont()};
    for (char16_t c = 0xC0; c < 0xC0 + 200; ++c) records.push_back(textRecord(-3000, -3000, std::u16string(1, c)));
    return enhanced(100, records);
}

// 20 records of 60,000 letters each, all far outside the picture: 1.2 million glyphs.
Bytes manyGlyphsOutside() {
    std::vector<Bytes> records = {fontRecord(-12), selectFont()};
    for (int i = 0; i < 20; ++i) records.push_back(textRecord(-90000, -90000, std::u16string(60000, u'A')));
    return enhanced(100, records);
}

// ---------------------------------------------------------------- PNG and icons

Bytes chunk(const char* type, const Bytes& data) {
    Bytes c;
    putBE32(c, static_cast<uint32_t>(data.size()));
    c.insert(c.end(), type, type + 4);
    c.insert(c.end(), data.begin(), data.end());
    // Over the type and the data (zlib gives the initial value for a null buffer).
    putBE32(c, static_cast<uint32_t>(crc32(0, c.data() + 4, static_cast<uInt>(c.size() - 4))));
    return c;
}

Bytes header(uint32_t width, uint32_t height) {
    Bytes h;
    putBE32(h, width), putBE32(h, height);
    h.insert(h.end(), {8, 0, 0, 0, 0});  // 8-bit grey
    return chunk("IHDR", h);
}

// Zero rows of width grey pixels, each with its filter byte, compressed.
Bytes zeroRows(uint32_t width, uint32_t rows) {
    const Bytes raw(static_cast<size_t>(width + 1) * rows, 0);
    Bytes packed(compressBound(static_cast<uLong>(raw.size())));
    uLongf length = static_cast<uLongf>(packed.size());
    compress2(packed.data(), &length, raw.data(), static_cast<uLong>(raw.size()), 9);
    packed.resize(length);
    return packed;
}

Bytes pngOf(const std::vector<Bytes>& chunks) {
    Bytes p = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    for (const Bytes& c : chunks) p.insert(p.end(), c.begin(), c.end());
    return p;
}

Bytes iconOf(const std::vector<Bytes>& images) {
    Bytes out;
    put16(out, 0), put16(out, 1), put16(out, static_cast<uint16_t>(images.size()));
    uint32_t offset = 6 + 16 * static_cast<uint32_t>(images.size());
    for (const Bytes& image : images) {
        out.insert(out.end(), {0, 0, 0, 0});
        put16(out, 1), put16(out, 32), put32(out, static_cast<uint32_t>(image.size())), put32(out, offset);
        offset += static_cast<uint32_t>(image.size());
    }
    for (const Bytes& image : images) out.insert(out.end(), image.begin(), image.end());
    return out;
}

// 600 entries, each its own PNG of 256 × 256 that decodes to 256 KiB and a mask.
Bytes iconOfManyPNGs() {
    const Bytes entry = pngOf({header(256, 256), chunk("IDAT", zeroRows(256, 256)), chunk("IEND", {})});
    return iconOf(std::vector<Bytes>(600, entry));
}

// A 16 × 16 entry whose second header asks for 300 × 16 (or for gigabytes), with its rows.
Bytes iconWithSecondHeader() {
    return iconOf({pngOf({header(16, 16), header(300, 16), chunk("IDAT", zeroRows(300, 16)), chunk("IEND", {})})});
}

// ---------------------------------------------------------------- JPEG

// An arithmetic-coded JPEG of 16 × 16 made by libjpeg, its frame made 18,000 × 18,000 and
// its scan ended by the end marker at once.
Bytes arithmeticMarkerAtOnce() {
    jpeg_oracle::Encoding encoding;
    encoding.arithmetic = true;
    encoding.hSample = encoding.vSample = 1;
    const Bytes small = jpeg_oracle::Encode(16, 16, 1, Bytes(256, 128), encoding);
    Bytes out(small.begin(), small.begin() + 2);
    for (size_t at = 2; at + 4 <= small.size();) {
        const uint8_t marker = small[at + 1];
        const size_t length = size_t{small[at + 2]} << 8 | small[at + 3];
        Bytes segment(small.begin() + static_cast<ptrdiff_t>(at), small.begin() + static_cast<ptrdiff_t>(at + 2 + length));
        if (marker == 0xC9) segment[5] = 18000 >> 8, segment[6] = 18000 & 0xFF, segment[7] = 18000 >> 8, segment[8] = 18000 & 0xFF;
        out.insert(out.end(), segment.begin(), segment.end());
        at += 2 + length;
        if (marker == 0xDA) break;
    }
    out.insert(out.end(), {0xFF, 0xD9});
    return out;
}

// A progressive greyscale JPEG of 16000 × 240 made by libjpeg, its frame made 16000 ×
// 16000: the DC data of its first scan covers 1.5 % of the rows, and libjpeg would keep
// coefficients for all of them.
Bytes progressiveOfFewRows() {
    jpeg_oracle::Encoding encoding;
    encoding.progressive = true;
    encoding.hSample = encoding.vSample = 1;
    Bytes pixels(size_t{16000} * 240);
    for (size_t i = 0; i < pixels.size(); ++i) pixels[i] = static_cast<uint8_t>((i % 16000 / 8 + i / 16000 / 8) * 37);
    Bytes file = jpeg_oracle::Encode(16000, 240, 1, pixels, encoding);
    for (size_t at = 2; at + 9 < file.size(); at += 2 + (size_t{file[at + 2]} << 8 | file[at + 3]))
        if (file[at + 1] == 0xC2) {
            file[at + 5] = 16000 >> 8, file[at + 6] = 16000 & 0xFF;
            break;
        }
    return file;
}

// ---------------------------------------------------------------- outcomes

std::string loadOutcome(TBitmapLoader& codec, const char* ext, const Bytes& file) {
    TLinearBitmap bitmap;
    const std::string outcome = codec_bytes::LoadOutcome(codec, ext, file, bitmap);
    return outcome == "loaded" ? std::to_string(bitmap.Width) + " x " + std::to_string(bitmap.Height) : outcome;
}

std::string emfOutcome(const Bytes& file) {
    TWMFLoader codec;
    return loadOutcome(codec, "EMF", file);
}

std::string jpegOutcome(const Bytes& file) {
    TJPEGLoader codec;
    return loadOutcome(codec, "JPG", file);
}

std::string icoOutcome(const Bytes& file) {
    TICOLoader codec;
    return loadOutcome(codec, "ICO", file);
}

// The images an icon file's list holds.
std::string iconImages(const Bytes& file) {
    TMemStream stream;
    stream.Write(file.data(), static_cast<int64_t>(file.size()));
    stream.Seek(0);
    TIconList list;
    try {
        list.LoadFromStream(stream);
    } catch (const Exception& e) {
        return e.Message();
    }
    return std::to_string(list.Count()) + " images";
}

}  // namespace

TEST(BudgetTable, CraftedFilesEndWithinTheirAllowance) {
    const struct {
        const char* kind;
        std::function<Bytes()> make;
        size_t maxBytes;  // the crafted file is at most this large
        std::function<std::string(const Bytes&)> outcomeOf;
        std::string allowance;
    } rows[] = {
        // Glyphs are charged at their rasterised size; the large ones are filled as outlines.
        {"EMF, 200 glyphs of 9,500 pixels", hugeGlyphs, 25000, emfOutcome, "100 x 100"},
        // 1.2 million glyphs weigh more than the records a picture may play.
        {"EMF, 1.2 million glyphs outside", manyGlyphsOutside, 2500000, emfOutcome, "Metafile is not valid"},
        // The first scan met a marker before one row of blocks in a hundred.
        {"JPEG, arithmetic, 18,000 x 18,000, no data", arithmeticMarkerAtOnce, 1000, jpegOutcome,
         "JPEG error #" + std::to_string(JWRN_HIT_MARKER)},
        // A file of several scans whose data could never pay for its coefficient buffer.
        {"JPEG, progressive, 16,000 x 16,000, DC data for 240 rows", progressiveOfFewRows, 400000, jpegOutcome,
         "JPEG error #" + std::to_string(JERR_INPUT_EOF)},
        // 128 MiB of decoded entries: 134,217,728 / (256 x 256 x 4 + 256 x 32) bytes each.
        {"ICO, 600 PNG entries of 256 x 256", iconOfManyPNGs, 100000, iconImages, "496 images"},
        {"ICO, 600 PNG entries of 256 x 256, chosen", iconOfManyPNGs, 100000, icoOutcome, "256 x 256"},
        // A second header would replace the size the entry was checked by.
        {"ICO, PNG entry with a second header", iconWithSecondHeader, 10000, icoOutcome, "Unsupported pixel format"},
    };
    for (const auto& row : rows) {
        const Bytes file = row.make();
        EXPECT_LE(file.size(), row.maxBytes) << row.kind;
        EXPECT_EQ(row.outcomeOf(file), row.allowance) << row.kind;
    }
}
