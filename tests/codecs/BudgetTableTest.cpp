// Small crafted files, each of a class that once cost far more work or memory than its output
// holds, and the allowance each must end within: the picture it makes, or the refusal once its
// work or memory passes what the data pays for. scripts/check-bounds.sh times the same classes
// through the command lines; a new class is one row in each.
#include <gtest/gtest.h>

#include <jerror.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "TestSupport.h"
#include "codecs/BmpBytes.h"
#include "codecs/CodecBytes.h"
#include "codecs/ICOLoader.h"
#include "codecs/IconList.h"
#include "codecs/JPEGLoader.h"
#include "codecs/JpegOracle.h"
#include "codecs/PngOracle.h"
#include "codecs/WMFLoader.h"
#include "metafile/MetafileRecordTypes.h"
#include "streams/MemStream.h"

namespace {

using bmp_bytes::append;
using bmp_bytes::Bytes;
using bmp_bytes::u16;
using bmp_bytes::u32;

// An EMF record: type, size (set here), words, then UTF-16 text; padded to four bytes or to minSize.
Bytes emr(uint32_t type, std::initializer_list<uint32_t> words, const std::u16string& text = u"", size_t minSize = 0) {
    Bytes r;
    u32(r, type), u32(r, 0);
    for (uint32_t w : words) u32(r, w);
    for (char16_t c : text) u16(r, c);
    r.resize(std::max(minSize, (r.size() + 3) / 4 * 4));
    const auto size = static_cast<uint32_t>(r.size());
    std::memcpy(r.data() + 4, &size, 4);
    return r;
}

// An EMF of 100 × 100 pixels that selects an Arial of fontHeight and writes each text at (at, at).
Bytes textPicture(int32_t fontHeight, int32_t at, const std::vector<std::u16string>& texts) {
    const uint32_t mm = 100 * 2540 / 96;
    Bytes file = emr(host::EMR_HEADER, {0, 0, 99, 99, 0, 0, mm, mm, 0x464D4520, 0x10000, 0,
                                        static_cast<uint32_t>(texts.size() + 4), 4, 0, 0, 0, 960, 960, 254, 254});
    append(file, emr(host::EMR_EXTCREATEFONTINDIRECTW, {1, uint32_t(fontHeight), 0, 0, 0, 400, 0, 0}, u"Arial", 104));
    append(file, emr(host::EMR_SELECTOBJECT, {1}));
    for (const auto& text : texts)
        append(file, emr(host::EMR_EXTTEXTOUTW, {0, 0, 0, 0, 1, 0, 0, uint32_t(at), uint32_t(at),
                                                 static_cast<uint32_t>(text.size()), 76, 0, 0, 0, 0, 0, 0},
                         text));
    append(file, emr(host::EMR_EOF, {0, 16, 20}));
    const auto total = static_cast<uint32_t>(file.size());
    std::memcpy(file.data() + 48, &total, 4);
    return file;
}

// An icon file of count equal PNG entries: the header chunks given, then zero grey rows of width × height.
Bytes pngIcon(uint32_t count, const std::vector<Bytes>& headers, uint32_t width, uint32_t height) {
    Bytes png = png_oracle::PngSignature();
    for (const Bytes& h : headers) append(png, h);
    append(png, png_oracle::Chunk("IDAT", png_oracle::Zlib(Bytes(size_t{width + 1} * height, 0), 9)));
    append(png, png_oracle::Chunk("IEND", {}));
    const auto size = static_cast<uint32_t>(png.size());
    Bytes out;
    u16(out, 0), u16(out, 1), u16(out, count);
    for (uint32_t i = 0; i < count; ++i)
        u32(out, 0), u16(out, 1), u16(out, 32), u32(out, size), u32(out, 6 + 16 * count + i * size);
    for (uint32_t i = 0; i < count; ++i) append(out, png);
    return out;
}

// A greyscale JPEG libjpeg makes of the pixels, its frame then said to be side × side; with
// cut, its first scan is ended by the end marker at once.
Bytes jpegClaiming(uint16_t side, int width, const Bytes& pixels, const jpeg_oracle::Encoding& encoding, bool cut) {
    Bytes file = jpeg_oracle::Encode(width, static_cast<int>(pixels.size()) / width, 1, pixels, encoding);
    size_t at = 2;
    for (const jpeg_oracle::Segment& s : jpeg_oracle::HeaderSegments(file)) {
        if (s.marker == 0xC2 || s.marker == 0xC9)
            for (size_t i : {5, 7}) file[at + i] = side >> 8, file[at + i + 1] = side & 0xFF;
        at += 4 + s.payload.size();
    }
    if (cut) file.resize(at), append(file, {0xFF, 0xD9});
    return file;
}

// The picture a codec makes of a file ("width x height"), or the message that refused it.
template <class Codec>
std::string picture(const char* ext, const Bytes& file) {
    Codec codec;
    TLinearBitmap bitmap;
    const std::string outcome = codec_bytes::LoadOutcome(codec, ext, file, bitmap);
    return outcome == "loaded" ? std::to_string(bitmap.Width) + " x " + std::to_string(bitmap.Height) : outcome;
}

// The images an icon file's list holds, or the message that refused it.
std::string iconImages(const char*, const Bytes& file) {
    TMemStream stream;
    stream.Write(file.data(), static_cast<int64_t>(file.size()));
    stream.Seek(0);
    TIconList list;
    const std::string refusal = testing_support::messageOf<Exception>([&] { list.LoadFromStream(stream); });
    return refusal == "<no exception>" ? std::to_string(list.Count()) + " images" : refusal;
}

}  // namespace

TEST(BudgetTable, CraftedFilesEndWithinTheirAllowance) {
    std::vector<std::u16string> letters;
    for (char16_t c = 0xC0; c < 0xC0 + 200; ++c) letters.emplace_back(1, c);
    Bytes rows16000(size_t{16000} * 240);
    for (size_t i = 0; i < rows16000.size(); ++i) rows16000[i] = static_cast<uint8_t>((i % 16000 / 8 + i / 16000 / 8) * 37);
    const Bytes manyPngs = pngIcon(600, {png_oracle::Ihdr(256, 256, 8, 0)}, 256, 256);
    const struct {
        const char* kind;
        Bytes file;
        size_t maxBytes;
        std::string (*outcomeOf)(const char* ext, const Bytes& file);
        const char* ext;
        std::string allowance;
    } rows[] = {
        // Glyphs are charged at their rasterised size; the large ones are filled as outlines.
        {"EMF, 200 glyphs of 9,500 pixels", textPicture(-9500, -3000, letters), 25000, picture<TWMFLoader>, "EMF",
         "100 x 100"},
        // 1.2 million glyphs weigh more than the records a picture may play.
        {"EMF, 1.2 million glyphs outside", textPicture(-12, -90000, std::vector(20, std::u16string(60000, u'A'))),
         2500000, picture<TWMFLoader>, "EMF", "Metafile is not valid"},
        // The first scan met a marker before one row of blocks in a hundred.
        {"JPEG, arithmetic, 18,000 x 18,000, no data",
         jpegClaiming(18000, 16, Bytes(256, 128), {.hSample = 1, .vSample = 1, .arithmetic = true}, true), 1000,
         picture<TJPEGLoader>, "JPG", "JPEG error #" + std::to_string(JWRN_HIT_MARKER)},
        // A file of several scans whose data (DC for 1.5 % of the rows) could never pay for its coefficient buffer.
        {"JPEG, progressive, 16,000 x 16,000, DC data for 240 rows",
         jpegClaiming(16000, 16000, rows16000, {.progressive = true, .hSample = 1, .vSample = 1}, false), 400000,
         picture<TJPEGLoader>, "JPG", "JPEG error #" + std::to_string(JERR_INPUT_EOF)},
        // 128 MiB of decoded entries: 134,217,728 / (256 x 256 x 4 + 256 x 32) bytes each.
        {"ICO, 600 PNG entries of 256 x 256", manyPngs, 100000, iconImages, "", "496 images"},
        {"ICO, 600 PNG entries of 256 x 256, chosen", manyPngs, 100000, picture<TICOLoader>, "ICO", "256 x 256"},
        // A second header would replace the size the entry was checked by.
        {"ICO, PNG entry with a second header",
         pngIcon(1, {png_oracle::Ihdr(16, 16, 8, 0), png_oracle::Ihdr(300, 16, 8, 0)}, 300, 16), 10000,
         picture<TICOLoader>, "ICO", "Unsupported pixel format"},
    };
    for (const auto& row : rows) {
        EXPECT_LE(row.file.size(), row.maxBytes) << row.kind;
        EXPECT_EQ(row.outcomeOf(row.ext, row.file), row.allowance) << row.kind;
    }
}
