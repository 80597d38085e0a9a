// What a conversion keeps inside the picture (colour profiles, EXIF orientation), what it
// names as lost, and --strict and --auto-orient, through the binary. Files are made here
// segment by segment; profiles and orientations are read back by libpng and libjpeg.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "TestSupport.h"
#include "codecs/BmpBytes.h"
#include "codecs/IconFiles.h"
#include "codecs/JpegOracle.h"
#include "codecs/PngOracle.h"

using namespace testing_support;
namespace jo = jpeg_oracle;
namespace po = png_oracle;

namespace {

using Bytes = std::vector<uint8_t>;

void be32(Bytes& b, uint32_t v) { b.insert(b.end(), {uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)}); }

// A profile libpng accepts for an RGB image: a display profile's header (its size, "mntr",
// "RGB ", "XYZ ", "acsp", the D50 illuminant), no tags, then bytes that follow from seed.
Bytes Profile(size_t size, uint8_t seed) {
    Bytes p(size, 0);
    for (size_t i = 132; i < size; ++i) p[i] = static_cast<uint8_t>(i * 31 + seed + (i >> 9));
    Bytes head;
    be32(head, static_cast<uint32_t>(size));
    be32(head, 0);
    be32(head, 0x02100000);
    head.insert(head.end(), {'m', 'n', 't', 'r', 'R', 'G', 'B', ' ', 'X', 'Y', 'Z', ' '});
    std::copy(head.begin(), head.end(), p.begin());
    std::copy_n("acsp", 4, p.begin() + 36);
    Bytes d50;
    be32(d50, 0x0000F6D6);
    be32(d50, 0x00010000);
    be32(d50, 0x0000D32D);
    std::copy(d50.begin(), d50.end(), p.begin() + 68);
    return p;
}

constexpr int W = 24, H = 16;

// Colours no grey test would take for grey: a red and a blue ramp, green from both.
Bytes Pixels(int components) {
    Bytes px;
    for (int y = 0; y < H; ++y)
        for (int x = 0; x < W; ++x) {
            const uint8_t rgb[3] = {uint8_t(x * 10), uint8_t(128 + (x - y) * 3), uint8_t(y * 15)};
            px.insert(px.end(), rgb, rgb + std::min(components, 3));
            if (components == 4) px.push_back(uint8_t(x * 5));
        }
    return px;
}

Bytes ColourJpeg() { return jo::Encode(W, H, 3, Pixels(3)); }

// The file with the segments inserted after its SOI.
Bytes WithSegments(const Bytes& jpeg, const std::vector<std::pair<uint8_t, Bytes>>& segments) {
    Bytes out(jpeg.begin(), jpeg.begin() + 2);
    for (const auto& [marker, payload] : segments) {
        out.insert(out.end(), {0xFF, marker, uint8_t((payload.size() + 2) >> 8), uint8_t(payload.size() + 2)});
        out.insert(out.end(), payload.begin(), payload.end());
    }
    out.insert(out.end(), jpeg.begin() + 2, jpeg.end());
    return out;
}

// APP2 payloads of the profile in pieces of at most chunk bytes, numbered from 1.
std::vector<std::pair<uint8_t, Bytes>> IccSegments(const Bytes& profile, size_t chunk) {
    std::vector<std::pair<uint8_t, Bytes>> segments;
    const size_t count = (profile.size() + chunk - 1) / chunk;
    for (size_t i = 0; i < count; ++i) {
        Bytes payload{'I', 'C', 'C', '_', 'P', 'R', 'O', 'F', 'I', 'L', 'E', 0, uint8_t(i + 1), uint8_t(count)};
        payload.insert(payload.end(), profile.begin() + i * chunk, profile.begin() + std::min(profile.size(), (i + 1) * chunk));
        segments.push_back({0xE2, payload});
    }
    return segments;
}

// An APP1 EXIF payload: IFD0 with a make tag, then the orientation, in either byte order.
Bytes ExifPayload(int orientation, bool big) {
    Bytes p{'E', 'x', 'i', 'f', 0, 0};
    auto u16 = [&](unsigned v) {
        if (big) p.insert(p.end(), {uint8_t(v >> 8), uint8_t(v)});
        else p.insert(p.end(), {uint8_t(v), uint8_t(v >> 8)});
    };
    auto u32 = [&](unsigned v) { big ? (u16(v >> 16), u16(v & 0xFFFF)) : (u16(v & 0xFFFF), u16(v >> 16)); };
    p.insert(p.end(), {uint8_t(big ? 'M' : 'I'), uint8_t(big ? 'M' : 'I')});
    u16(42);
    u32(8);
    u16(2);
    u16(0x010F), u16(2), u32(4), p.insert(p.end(), {'c', 'a', 'm', 0});
    u16(0x0112), u16(3), u32(1), u16(unsigned(orientation)), u16(0);
    u32(0);
    return p;
}

// The orientation in a TIFF structure, read as the EXIF standard lays it out.
int OrientationOf(const Bytes& tiff) {
    if (tiff.size() < 8) return -1;
    const bool big = tiff[0] == 'M';
    auto u16 = [&](size_t at) { return big ? tiff[at] << 8 | tiff[at + 1] : tiff[at + 1] << 8 | tiff[at]; };
    const size_t ifd = size_t(u16(4)) << 16 | size_t(u16(6));
    const size_t ifdAt = big ? ifd : (size_t(u16(6)) << 16 | size_t(u16(4)));
    for (int i = 0, n = u16(ifdAt); i < n; ++i) {
        const size_t at = ifdAt + 2 + 12 * size_t(i);
        if (u16(at) == 0x0112) return u16(at + 8);
    }
    return -1;
}

int JpegOrientation(const Bytes& file) {
    for (const jo::Segment& s : jo::HeaderSegments(file))
        if (s.marker == 0xE1 && s.payload.size() > 6 && std::equal(s.payload.begin(), s.payload.begin() + 6, "Exif\0"))
            return OrientationOf(Bytes(s.payload.begin() + 6, s.payload.end()));
    return -1;
}

// A PNG of the test picture (colour type 2 or 6, 8 or 16 bits), with extra chunks before its data.
Bytes Png(int colourType, int depth, const std::vector<Bytes>& extra = {}) {
    const int channels = colourType == 6 ? 4 : colourType == 4 ? 2 : colourType == 2 ? 3 : 1;
    const Bytes px = Pixels(channels >= 3 ? channels : 1);
    Bytes raw;
    for (int y = 0; y < H; ++y) {
        raw.push_back(0);
        for (int x = 0; x < W; ++x)
            for (int c = 0; c < channels; ++c) {
                const uint8_t v = channels >= 3 ? px[(y * W + x) * channels + c] : uint8_t(x * 10 + c);
                raw.push_back(v);
                if (depth == 16) raw.push_back(uint8_t(v ^ 0x5A));
            }
    }
    Bytes file = po::PngSignature();
    for (const Bytes& chunk : {po::Ihdr(W, H, depth, colourType)}) file.insert(file.end(), chunk.begin(), chunk.end());
    for (const Bytes& chunk : extra) file.insert(file.end(), chunk.begin(), chunk.end());
    for (const Bytes& chunk : {po::Chunk("IDAT", po::Zlib(raw)), po::Chunk("IEND", {})})
        file.insert(file.end(), chunk.begin(), chunk.end());
    return file;
}

Bytes IccpChunk(const Bytes& profile) {
    Bytes data{'s', 'R', 'G', 'B', '-', 'l', 'i', 'k', 'e', 0, 0};
    const Bytes z = po::Zlib(profile, 9);
    data.insert(data.end(), z.begin(), z.end());
    return po::Chunk("iCCP", data);
}

// A palette PNG whose index 0 is transparent.
Bytes PalettePngWithTransparency() {
    Bytes raw;
    for (int y = 0; y < H; ++y) {
        raw.push_back(0);
        for (int x = 0; x < W; ++x) raw.push_back(uint8_t((x + y) % 3));
    }
    Bytes file = po::PngSignature();
    for (const Bytes& chunk : {po::Ihdr(W, H, 8, 3), po::Chunk("PLTE", {255, 0, 0, 0, 255, 0, 0, 0, 255}),
                               po::Chunk("tRNS", {0}), po::Chunk("IDAT", po::Zlib(raw)), po::Chunk("IEND", {})})
        file.insert(file.end(), chunk.begin(), chunk.end());
    return file;
}

// An MNG of two images.
Bytes TwoImageMng() {
    const Bytes png = Png(2, 8);
    const Bytes image(png.begin() + 8, png.end());
    Bytes mhdr;
    for (uint32_t v : {uint32_t(W), uint32_t(H), 1u, 0u, 0u, 0u, 0u}) be32(mhdr, v);
    Bytes file = po::MngSignature();
    for (const Bytes& part : {po::Chunk("MHDR", mhdr), image, image, po::Chunk("MEND", {})})
        file.insert(file.end(), part.begin(), part.end());
    return file;
}

// A 24-bit bitmap with a V5 header whose profile is embedded behind the pixels.
Bytes V5BitmapWithProfile(const Bytes& profile) {
    using namespace bmp_bytes;
    const Bytes px = Pixels(3);
    const uint32_t stride = (W * 3 + 3) / 4 * 4, pixelBytes = stride * H;
    Bytes b{'B', 'M'};
    u32(b, 14 + 124 + pixelBytes + uint32_t(profile.size()));
    u32(b, 0);
    u32(b, 14 + 124);
    u32(b, 124);
    u32(b, W);
    u32(b, H);
    u16(b, 1);
    u16(b, 24);
    for (int i = 0; i < 6; ++i) u32(b, 0);  // compression, size, resolution, colours
    for (int i = 0; i < 4; ++i) u32(b, 0);  // masks
    u32(b, 0x4D424544);                     // 'MBED'
    for (int i = 0; i < 9 + 3 + 1; ++i) u32(b, 0);  // end points, gammas, intent
    u32(b, 124 + pixelBytes);               // from the information header
    u32(b, uint32_t(profile.size()));
    u32(b, 0);
    for (int y = H - 1; y >= 0; --y) {
        for (int x = 0; x < W; ++x)
            for (int c = 2; c >= 0; --c) b.push_back(px[(y * W + x) * 3 + c]);
        b.resize(b.size() + (stride - W * 3), 0);
    }
    append(b, profile);
    return b;
}

struct BitmapPixels {
    int width = 0, height = 0;
    Bytes rgb;  // rows top-down
};

// A 24-bit bottom-up bitmap, read field by field.
BitmapPixels ReadBitmap24(const Bytes& b) {
    BitmapPixels p;
    auto le32 = [&](size_t at) { return uint32_t(b[at]) | uint32_t(b[at + 1]) << 8 | uint32_t(b[at + 2]) << 16 | uint32_t(b[at + 3]) << 24; };
    if (b.size() < 54 || b[28] != 24) return p;
    p.width = int(le32(18));
    p.height = int(le32(22));
    const size_t stride = (size_t(p.width) * 3 + 3) / 4 * 4, offset = le32(10);
    for (int y = 0; y < p.height; ++y)
        for (int x = 0; x < p.width; ++x)
            for (int c = 2; c >= 0; --c) p.rgb.push_back(b[offset + size_t(p.height - 1 - y) * stride + size_t(x) * 3 + size_t(c)]);
    return p;
}

// The picture as the orientation shows it: transposed first for 5 to 8, then mirrored
// left to right and top to bottom as the orientation asks.
BitmapPixels Shown(const jo::Decoded& d, int orientation) {
    static const struct { bool transpose, mirrorX, mirrorY; } steps[9] = {
        {}, {false, false, false}, {false, true, false}, {false, true, true}, {false, false, true},
        {true, false, false}, {true, true, false}, {true, true, true}, {true, false, true}};
    const auto& s = steps[orientation];
    BitmapPixels p;
    p.width = s.transpose ? d.height : d.width;
    p.height = s.transpose ? d.width : d.height;
    for (int y = 0; y < p.height; ++y)
        for (int x = 0; x < p.width; ++x) {
            const int mx = s.mirrorX ? p.width - 1 - x : x, my = s.mirrorY ? p.height - 1 - y : y;
            const int sx = s.transpose ? my : mx, sy = s.transpose ? mx : my;
            const size_t at = (size_t(sy) * d.width + size_t(sx)) * 3;
            p.rgb.insert(p.rgb.end(), d.pixels.begin() + at, d.pixels.begin() + at + 3);
        }
    return p;
}

std::string report(const std::string& message) { return "Pixmorph: " + message + "\n"; }

}  // namespace

TEST(PictureMetadata, ProfilesReachPngAndJpegOutputsByteForByte) {
    const Bytes small = Profile(3000, 1), large = Profile(150000, 2);
    auto reversed = IccSegments(large, 60000);
    std::reverse(reversed.begin(), reversed.end());
    const struct Case {
        const char* what;
        const char* input;
        Bytes file;
        const Bytes& profile;
    } cases[] = {
        {"JPEG, one APP2", "in.jpg", WithSegments(ColourJpeg(), IccSegments(small, 65519)), small},
        {"JPEG, three APP2 in order", "in.jpg", WithSegments(ColourJpeg(), IccSegments(large, 60000)), large},
        {"JPEG, three APP2 out of order", "in.jpg", WithSegments(ColourJpeg(), reversed), large},
        {"PNG iCCP", "in.png", Png(2, 8, {IccpChunk(large)}), large},
        {"BMP V5", "in.bmp", V5BitmapWithProfile(small), small},
    };
    for (const Case& c : cases)
        for (const char* output : {"out.png", "out.jpg"}) {
            SCOPED_TRACE(std::string(c.what) + " to " + output);
            TempDir dir;
            writeFile(dir / c.input, c.file);
            const auto r = runPixmorph({dir / c.input, "5", dir / output});
            ASSERT_EQ(r.exitCode, 0) << r.err;
            EXPECT_EQ(r.err, "");
            const Bytes written = readFile(dir / output);
            const Bytes got = std::string(output) == "out.png" ? po::Decode(written).iccProfile : jo::IccProfile(written);
            EXPECT_TRUE(got == c.profile) << "profile of " << got.size() << " bytes, expected " << c.profile.size();
        }
}

TEST(PictureMetadata, AProfileLargerThanOneSegmentIsWrittenIn65519BytePieces) {
    const Bytes profile = Profile(140000, 3);
    TempDir dir;
    writeFile(dir / "in.png", Png(2, 8, {IccpChunk(profile)}));
    ASSERT_EQ(runPixmorph({dir / "in.png", "5", dir / "out.jpg"}).exitCode, 0);
    std::vector<size_t> pieces;
    for (const jo::Segment& s : jo::HeaderSegments(readFile(dir / "out.jpg")))
        if (s.marker == 0xE2) pieces.push_back(s.payload.size() - 14);
    EXPECT_EQ(pieces, (std::vector<size_t>{65519, 65519, 140000 - 2 * 65519}));
    EXPECT_TRUE(jo::IccProfile(readFile(dir / "out.jpg")) == profile);
}

TEST(PictureMetadata, EachOrientationReachesPngAndJpegAndAutoOrientTurnsBitmaps) {
    for (int o = 1; o <= 8; ++o) {
        SCOPED_TRACE("orientation " + std::to_string(o));
        TempDir dir;
        const Bytes input = WithSegments(ColourJpeg(), {{0xE1, ExifPayload(o, o % 2 == 0)}});
        for (const char* name : {"a.jpg", "b.jpg", "c.jpg", "d.jpg"}) writeFile(dir / name, input);
        ASSERT_EQ(runPixmorph({dir / "a.jpg", "5", dir / "out.png"}).exitCode, 0);
        const po::Decoded png = po::Decode(readFile(dir / "out.png"));
        ASSERT_TRUE(png.hasEXIF);
        EXPECT_EQ(OrientationOf(png.exif), o);
        ASSERT_EQ(runPixmorph({dir / "b.jpg", "5", dir / "out.jpg"}).exitCode, 0);
        EXPECT_EQ(JpegOrientation(readFile(dir / "out.jpg")), o);

        const auto r = runPixmorph({"--auto-orient", dir / "c.jpg", "5", dir / "turned.bmp"});
        ASSERT_EQ(r.exitCode, 0) << r.err;
        const BitmapPixels expected = Shown(jo::Decode(input), o), got = ReadBitmap24(readFile(dir / "turned.bmp"));
        EXPECT_EQ(got.width, expected.width);
        EXPECT_EQ(got.height, expected.height);
        EXPECT_TRUE(got.rgb == expected.rgb);
        // Without the option the bitmap keeps the stored pixels.
        ASSERT_EQ(runPixmorph({dir / "d.jpg", "5", dir / "stored.bmp"}).exitCode, 0);
        EXPECT_TRUE(ReadBitmap24(readFile(dir / "stored.bmp")).rgb == Shown(jo::Decode(input), 1).rgb);
    }
}

TEST(PictureMetadata, BatchResultLinesNameWhatEachOutputCouldNotHold) {
    const Bytes profile = Profile(2000, 4);
    const Bytes jpeg = ColourJpeg();
    icon_files::HandImage icon;
    icon.palette.assign(16, 0x102030);
    icon_files::HandImage maskedIcon = icon;
    maskedIcon.masked = [](int x, int y) { return x == y; };
    const struct Case {
        const char* input;
        Bytes file;
        const char* output;
        const char* lost;  // empty: no lost line
    } cases[] = {
        {"rgba.png", Png(6, 8), "o1.bmp", "alpha"},
        {"deep.png", Png(2, 16), "o2.png", "depth"},
        {"deepalpha.png", Png(4, 16), "o3.pcx", "alpha,depth"},
        {"key.png", PalettePngWithTransparency(), "o4.png", ""},
        {"key2.png", PalettePngWithTransparency(), "o5.bmp", "alpha"},
        {"two.mng", TwoImageMng(), "o6.png", "frames"},
        {"one.mng", Bytes(), "o7.png", ""},
        {"two.ico", icon_files::iconFile(1, {icon, icon}), "o8.bmp", "frames"},
        {"masked.ico", icon_files::iconFile(1, {maskedIcon}), "o17.bmp", "alpha"},
        {"masked2.ico", icon_files::iconFile(1, {maskedIcon}), "o18.ico", ""},
        {"profile.jpg", WithSegments(jpeg, IccSegments(profile, 1000)), "o9.bmp", "profile"},
        {"profile2.jpg", WithSegments(jpeg, IccSegments(profile, 1000)), "o10.png", ""},
        {"turned.jpg", WithSegments(jpeg, {{0xE1, ExifPayload(6, true)}}), "o11.pcx", "orientation"},
        {"both.jpg", WithSegments(jpeg, {{0xE1, ExifPayload(3, false)}, IccSegments(profile, 5000)[0]}), "o12.bmp",
         "profile,orientation"},
        {"upright.jpg", WithSegments(jpeg, {{0xE1, ExifPayload(1, true)}}), "o13.bmp", ""},
        {"broken.jpg", WithSegments(jpeg, {IccSegments(profile, 1000)[1]}), "o14.png", "profile"},
        {"plain.jpg", jpeg, "o15.bmp", ""},
        {"v5.bmp", V5BitmapWithProfile(profile), "o16.pcx", "profile"},
        {"alpha.bmp", bmp_bytes::file({.headerSize = 124, .width = 2, .height = 2, .bitCount = 32, .compression = 3,
                                       .masks = {0xFF0000, 0xFF00, 0xFF, 0xFF000000}}, {}, Bytes(16, 0x80)),
         "o20.png", "alpha"},
        {"opaque.bmp", bmp_bytes::file({.headerSize = 124, .width = 2, .height = 2, .bitCount = 32, .compression = 3,
                                        .masks = {0xFF0000, 0xFF00, 0xFF, 0}}, {}, Bytes(16, 0x80)),
         "o21.png", ""},
    };
    TempDir dir;
    std::string manifest, expected;
    int line = 0;
    for (const Case& c : cases) {
        ++line;
        if (std::string(c.input) == "one.mng") {
            const Bytes mng = TwoImageMng(), png = Png(2, 8);
            // The MNG cut behind its first image, with MEND.
            Bytes one(mng.begin(), mng.begin() + 8 + 12 + 28 + (png.size() - 8));
            const Bytes mend = po::Chunk("MEND", {});
            one.insert(one.end(), mend.begin(), mend.end());
            writeFile(dir / c.input, one);
        } else {
            writeFile(dir / c.input, c.file);
        }
        manifest += dir / c.input + "\t5\t" + dir / c.output + "\n";
        if (*c.lost) expected += std::to_string(line) + "\tlost\t" + c.lost + "\n";
        expected += std::to_string(line) + "\tok\t" + dir / c.output + "\n";
    }
    writeFile(dir / "manifest", manifest);
    const auto r = runPixmorph({"--batch", "-j", "1", dir / "manifest"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, expected);
    // The single call says nothing of it.
    writeFile(dir / "again.png", Png(6, 8));
    const auto single = runPixmorph({dir / "again.png", "5", dir / "again.bmp"});
    EXPECT_EQ(single.exitCode, 0);
    EXPECT_EQ(single.err + single.out, "");
}

TEST(PictureMetadata, StrictRefusesWhatWouldLoseAndKeepsTheInput) {
    const Bytes jpeg = ColourJpeg();
    const Bytes profile = Profile(2000, 5);
    const struct Case {
        std::vector<std::string> options;
        const char* input;
        Bytes file;
        const char* output;
        const char* refusal;  // empty: converted
    } cases[] = {
        {{"--strict"}, "rgba.png", Png(6, 8), "out.bmp", "alpha"},
        {{"--strict"}, "deep.png", Png(2, 16), "out.png", "depth"},
        {{"--strict"}, "two.mng", TwoImageMng(), "out.png", "frames"},
        {{"--strict"}, "profile.jpg", WithSegments(jpeg, IccSegments(profile, 900)), "out.bmp", "profile"},
        {{"--strict"}, "turned.jpg", WithSegments(jpeg, {{0xE1, ExifPayload(8, false)}}), "out.pcx", "orientation"},
        {{"--strict", "--auto-orient"}, "deepturned.png", Png(4, 16), "out.bmp", "alpha, depth"},
        {{"--strict"}, "profile2.jpg", WithSegments(jpeg, IccSegments(profile, 900)), "out.png", ""},
        {{"--strict", "--auto-orient"}, "turned2.jpg", WithSegments(jpeg, {{0xE1, ExifPayload(8, false)}}), "out.bmp", ""},
        {{"--auto-orient", "--strict"}, "turned3.jpg", WithSegments(jpeg, {{0xE1, ExifPayload(5, true)}}), "out.jpg", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.input);
        TempDir dir;
        writeFile(dir / c.input, c.file);
        std::vector<std::string> args = c.options;
        args.insert(args.end(), {dir / c.input, "5", dir / c.output});
        const auto r = runPixmorph(args);
        if (*c.refusal) {
            EXPECT_EQ(r.exitCode, 1);
            EXPECT_EQ(r.err, report(std::string("The output cannot hold the input's ") + c.refusal + "."));
            EXPECT_FALSE(fileExists(dir / c.output));
            EXPECT_TRUE(readFile(dir / c.input) == c.file);
        } else {
            EXPECT_EQ(r.exitCode, 0) << r.err;
            EXPECT_TRUE(fileExists(dir / c.output));
            EXPECT_FALSE(fileExists(dir / c.input));
        }
    }
}

TEST(PictureMetadata, BatchStrictFailsOnlyTheLinesThatWouldLose) {
    TempDir dir;
    writeFile(dir / "a.png", Png(6, 8));
    writeFile(dir / "b.png", Png(2, 8));
    writeFile(dir / "manifest", dir / "a.png\t5\t" + dir / "a.bmp\n" + dir / "b.png\t5\t" + dir / "b.bmp\n");
    const auto r = runPixmorph({"--batch", "--strict", "-j", "1", dir / "manifest"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.out, "1\terror\tThe output cannot hold the input's alpha.\n2\tok\t" + dir / "b.bmp\n");
    EXPECT_TRUE(fileExists(dir / "a.png"));
    EXPECT_FALSE(fileExists(dir / "a.bmp"));
}

TEST(PictureMetadata, OptionsComeOnlyBeforeThreeArguments) {
    TempDir dir;
    const struct Case {
        std::vector<std::string> args;
        int exit;
    } cases[] = {
        // Three arguments are a conversion whatever they look like: "--strict" is an input
        // (of no format), not an option.
        {{"--strict", "5", dir / "out.bmp"}, 1},
        {{"--strict"}, 2},
        {{"--strict", "--auto-orient"}, 2},
        {{"--loose", dir / "x.png", "5", dir / "y.bmp"}, 2},
        {{dir / "x.png", "5", dir / "y.bmp", "--strict"}, 2},
    };
    for (const Case& c : cases) EXPECT_EQ(runPixmorph(c.args).exitCode, c.exit) << c.args[0];
}

TEST(PictureMetadata, Code102NamesTheColoursOfDeeperBitmapsItMapsToItsCube) {
    const std::string samples = std::string(PIXMORPH_SOURCE_DIR) + "/samples/";
    TempDir dir;
    writeFile(dir / "deep.bmp", readFile(samples + "sunset.bmp"));      // 24 bits
    writeFile(dir / "indexed.bmp", readFile(samples + "stripes.bmp"));  // 8 bits
    writeFile(dir / "manifest", dir / "deep.bmp\t102\t" + dir / "deep.gif\n" + dir / "indexed.bmp\t102\t" +
                                    dir / "indexed.gif\n");
    const auto r = runPixmorph({"--batch", "-j", "1", dir / "manifest"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, "1\tlost\tcolours\n1\tok\t" + dir / "deep.gif\n2\tok\t" + dir / "indexed.gif\n");
    writeFile(dir / "again.bmp", readFile(samples + "sunset.bmp"));
    const auto strict = runPixmorph({"--strict", dir / "again.bmp", "102", dir / "again.gif"});
    EXPECT_EQ(strict.exitCode, 1);
    EXPECT_EQ(strict.err, report("The output cannot hold the input's colours."));
    EXPECT_FALSE(fileExists(dir / "again.gif"));
    EXPECT_TRUE(fileExists(dir / "again.bmp"));
}

TEST(PictureMetadata, DamagedOrOversizedProfilesAreNotCarriedAndCountAsLost) {
    const Bytes profile = Profile(4000, 6);
    Bytes badAdler = IccpChunk(profile);
    badAdler[badAdler.size() - 5] ^= 1;  // the last Adler-32 byte (the CRC is made again below)
    badAdler = po::Chunk("iCCP", Bytes(badAdler.begin() + 8, badAdler.end() - 4));
    Bytes method1{'x', 0, 1};
    const Bytes z = po::Zlib(profile);
    method1.insert(method1.end(), z.begin(), z.end());
    Bytes cut{'x', 0, 0};
    cut.insert(cut.end(), z.begin(), z.begin() + long(z.size() / 2));
    Bytes huge{'x', 0, 0};
    const Bytes hz = po::Zlib(Bytes(size_t{255} * 65519 + 1, 0), 9);
    huge.insert(huge.end(), hz.begin(), hz.end());
    Bytes badCrc = IccpChunk(profile);
    badCrc.back() ^= 1;
    const Bytes app1 = ExifPayload(6, false);
    const Bytes tiff6(app1.begin() + 6, app1.end());
    Bytes exifBadCrc = po::Chunk("eXIf", tiff6);
    exifBadCrc.back() ^= 1;
    auto pieces = IccSegments(profile, 1500);  // three
    Bytes v5 = V5BitmapWithProfile(profile);
    v5[14 + 112 + 3] = 0x7F;  // the profile's offset beyond the file
    const struct Case {
        const char* input;
        Bytes file;
        const char* lost;
        size_t carried;  // profile bytes in the PNG written
        int orientation = -1;  // in the PNG written; -1 none
    } cases[] = {
        {"crc.png", Png(2, 8, {badCrc}), "profile", 0},
        {"exif.png", Png(2, 8, {po::Chunk("eXIf", tiff6)}), "", 0, 6},
        {"exifcrc.png", Png(2, 8, {exifBadCrc}), "", 0},
        {"adler.png", Png(2, 8, {badAdler}), "profile", 0},
        {"method.png", Png(2, 8, {po::Chunk("iCCP", method1)}), "profile", 0},
        {"cut.png", Png(2, 8, {po::Chunk("iCCP", cut)}), "profile", 0},
        {"huge.png", Png(2, 8, {po::Chunk("iCCP", huge)}), "profile", 0},
        {"repeated.jpg", WithSegments(ColourJpeg(), {pieces[0], pieces[1], pieces[1], pieces[2]}), "profile", 0},
        {"missing.jpg", WithSegments(ColourJpeg(), {pieces[0], pieces[2]}), "profile", 0},
        {"counts.jpg", WithSegments(ColourJpeg(), {pieces[0], pieces[1], IccSegments(profile, 1000)[3]}), "profile", 0},
        {"offset.bmp", v5, "profile", 0},
        {"exif.jpg", WithSegments(ColourJpeg(), {{0xE1, Bytes{'E', 'x', 'i', 'f', 0, 0, 'M', 'M', 0, 42, 0x7F, 0, 0, 0}}}), "", 0},
    };
    TempDir dir;
    std::string manifest, expected;
    int line = 0;
    for (const Case& c : cases) {
        ++line;
        writeFile(dir / c.input, c.file);
        const std::string output = dir / (std::to_string(line) + ".png");
        manifest += dir / c.input + "\t5\t" + output + "\n";
        if (*c.lost) expected += std::to_string(line) + "\tlost\t" + c.lost + "\n";
        expected += std::to_string(line) + "\tok\t" + output + "\n";
    }
    writeFile(dir / "manifest", manifest);
    const auto r = runPixmorph({"--batch", "-j", "1", dir / "manifest"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, expected);
    for (int i = 1; i <= line; ++i) {
        const po::Decoded png = po::Decode(readFile(dir / (std::to_string(i) + ".png")));
        EXPECT_EQ(png.iccProfile.size(), cases[i - 1].carried) << cases[i - 1].input;
        EXPECT_EQ(png.hasEXIF ? OrientationOf(png.exif) : -1, cases[i - 1].orientation) << cases[i - 1].input;
    }
}

TEST(PictureMetadata, AProfileOfTheMostAJpegHoldsIsCarriedWhole) {
    // 255 segments of 65519 bytes: one byte more counts as lost (see above).
    const Bytes profile = Profile(size_t{255} * 65519, 7);
    TempDir dir;
    writeFile(dir / "in.png", Png(2, 8, {IccpChunk(profile)}));
    ASSERT_EQ(runPixmorph({dir / "in.png", "5", dir / "out.jpg"}).exitCode, 0);
    EXPECT_TRUE(jo::IccProfile(readFile(dir / "out.jpg")) == profile);
}
