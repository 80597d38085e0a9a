// What a conversion keeps inside the picture (colour profiles, EXIF orientation), what it
// names as lost, and --strict and --auto-orient, through the binary. Files are made here
// segment by segment; profiles and orientations are read back by libpng and libjpeg.
#include <gtest/gtest.h>

#include <sstream>
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

Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}
Bytes BE(uint32_t v) { return {uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)}; }
Bytes Cut(const Bytes& b, size_t from, size_t to) { return Bytes(b.begin() + long(from), b.begin() + long(to)); }

// A profile libpng accepts for RGB images: a display profile's header (size, "mntr", "RGB ",
// "XYZ ", "acsp", the D50 illuminant), no tags, then bytes that follow from seed.
Bytes Profile(size_t size, uint8_t seed) {
    Bytes p(size);
    for (size_t i = 132; i < size; ++i) p[i] = uint8_t(i * 31 + seed + (i >> 9));
    const Bytes head = BE(uint32_t(size)) + BE(0) + BE(0x02100000) + Bytes{'m', 'n', 't', 'r', 'R', 'G', 'B', ' ', 'X', 'Y', 'Z', ' '};
    const Bytes d50 = BE(0xF6D6) + BE(0x10000) + BE(0xD32D);
    std::copy(head.begin(), head.end(), p.begin());
    std::copy_n("acsp", 4, p.begin() + 36);
    std::copy(d50.begin(), d50.end(), p.begin() + 68);
    return p;
}

constexpr int W = 24, H = 16;

// Red and blue ramps with green from both: no test takes them for grey.
Bytes Pixels(int channels) {
    Bytes px;
    for (int y = 0; y < H; ++y)
        for (int x = 0; x < W; ++x)
            for (int c = 0; c < channels; ++c) px.push_back(uint8_t(c == 0 ? x * 10 : c == 1 ? 128 + (x - y) * 3 : c == 2 ? y * 15 : x * 5));
    return px;
}

Bytes Seg(uint8_t marker, const Bytes& payload) {
    return Bytes{0xFF, marker, uint8_t((payload.size() + 2) >> 8), uint8_t(payload.size() + 2)} + payload;
}

// The test picture as a JPEG (libjpeg's), with the segments inserted after its SOI.
Bytes Jpeg(const std::vector<Bytes>& segments = {}) {
    static const Bytes plain = jo::Encode(W, H, 3, Pixels(3));
    Bytes out = Cut(plain, 0, 2);
    for (const Bytes& s : segments) out = out + s;
    return out + Cut(plain, 2, plain.size());
}

// APP2 segments of the profile in pieces of at most chunk bytes, numbered from 1.
std::vector<Bytes> Icc(const Bytes& profile, size_t chunk) {
    std::vector<Bytes> segments;
    const size_t count = (profile.size() + chunk - 1) / chunk;
    for (size_t i = 0; i < count; ++i)
        segments.push_back(Seg(0xE2, Bytes{'I', 'C', 'C', '_', 'P', 'R', 'O', 'F', 'I', 'L', 'E', 0, uint8_t(i + 1), uint8_t(count)} +
                                         Cut(profile, i * chunk, std::min(profile.size(), (i + 1) * chunk))));
    return segments;
}

// A TIFF structure whose IFD0 holds a make tag, then the orientation, in either byte order.
Bytes Tiff(int orientation, bool big) {
    Bytes p;
    auto u16 = [&](unsigned v) { p = p + (big ? Bytes{uint8_t(v >> 8), uint8_t(v)} : Bytes{uint8_t(v), uint8_t(v >> 8)}); };
    auto u32 = [&](unsigned v) { big ? (u16(v >> 16), u16(v & 0xFFFF)) : (u16(v & 0xFFFF), u16(v >> 16)); };
    p = big ? Bytes{'M', 'M'} : Bytes{'I', 'I'};
    u16(42), u32(8), u16(2);
    u16(0x010F), u16(2), u32(4), p = p + Bytes{'c', 'a', 'm', 0};
    u16(0x0112), u16(3), u32(1), u16(unsigned(orientation)), u16(0), u32(0);
    return p;
}
Bytes Exif(int orientation, bool big) { return Seg(0xE1, Bytes{'E', 'x', 'i', 'f', 0, 0} + Tiff(orientation, big)); }

// The orientation in a TIFF structure, read as the EXIF standard lays it out; -1 for none.
int OrientationOf(const Bytes& t) {
    const bool big = t.size() > 8 && t[0] == 'M';
    auto u16 = [&](size_t at) { return big ? t[at] << 8 | t[at + 1] : t[at + 1] << 8 | t[at]; };
    const size_t ifd = t.size() > 8 ? (big ? size_t(u16(6)) : size_t(u16(4))) : t.size();
    for (int i = 0, n = ifd + 2 <= t.size() ? u16(ifd) : 0; i < n; ++i)
        if (u16(ifd + 2 + 12 * size_t(i)) == 0x0112) return u16(ifd + 10 + 12 * size_t(i));
    return -1;
}

int JpegOrientation(const Bytes& file) {
    for (const jo::Segment& s : jo::HeaderSegments(file))
        if (s.marker == 0xE1 && s.payload.size() > 6) return OrientationOf(Cut(s.payload, 6, s.payload.size()));
    return -1;
}

// The test picture as a PNG of a colour type and depth, with chunks before its data.
Bytes Png(int colourType, int depth, const std::vector<Bytes>& extra = {}) {
    const int channels = colourType == 6 ? 4 : colourType == 4 ? 2 : colourType == 2 ? 3 : 1;
    const Bytes px = Pixels(channels);
    Bytes raw;
    for (size_t i = 0; i < px.size(); ++i) {
        if (i % (W * channels) == 0) raw.push_back(0);
        raw.push_back(colourType == 3 ? px[i] % 3 : px[i]);
        if (depth == 16) raw.push_back(uint8_t(px[i] ^ 0x5A));
    }
    Bytes file = po::PngSignature() + po::Ihdr(W, H, depth, colourType);
    for (const Bytes& chunk : extra) file = file + chunk;
    return file + po::Chunk("IDAT", po::Zlib(raw)) + po::Chunk("IEND", {});
}
Bytes Iccp(const Bytes& profile) { return po::Chunk("iCCP", Bytes{'s', 'R', 'G', 'B', 0, 0} + po::Zlib(profile, 9)); }

Bytes Mng(int images) {
    Bytes file = po::MngSignature() + po::Chunk("MHDR", BE(W) + BE(H) + BE(1) + Bytes(16, 0));
    for (int i = 0; i < images; ++i) file = file + Cut(Png(2, 8), 8, Png(2, 8).size());
    return file + po::Chunk("MEND", {});
}

// A 24-bit bitmap with a V5 header whose profile is embedded behind the pixels.
Bytes V5Bitmap(const Bytes& profile) {
    Bytes rows;
    const Bytes px = Pixels(3);
    for (int y = H - 1; y >= 0; --y)
        for (int x = 0; x < W; ++x) rows = rows + Bytes{px[(y * W + x) * 3 + 2], px[(y * W + x) * 3 + 1], px[(y * W + x) * 3]};
    Bytes f = bmp_bytes::file({.headerSize = 124, .width = W, .height = H}, {}, rows) + profile;
    auto put = [&](size_t at, uint32_t v) { for (int i = 0; i < 4; ++i) f[14 + at + size_t(i)] = uint8_t(v >> (8 * i)); };
    put(56, 0x4D424544);  // 'MBED'
    put(112, uint32_t(124 + rows.size()));
    put(116, uint32_t(profile.size()));
    return f;
}

// A bottom-up 24-bit bitmap's pixels, read field by field: width, height, then red, green,
// blue rows top-down.
Bytes ReadBitmap24(const Bytes& b) {
    auto le32 = [&](size_t at) { return uint32_t(b[at] | b[at + 1] << 8 | b[at + 2] << 16 | b[at + 3] << 24); };
    const uint32_t w = le32(18), h = le32(22), stride = (w * 3 + 3) / 4 * 4, offset = le32(10);
    Bytes p = BE(w) + BE(h);
    for (uint32_t y = 0; y < h; ++y)
        for (uint32_t x = 0; x < w; ++x)
            for (int c = 2; c >= 0; --c) p.push_back(b[offset + (h - 1 - y) * stride + x * 3 + uint32_t(c)]);
    return p;
}

// libjpeg's decoding as the orientation shows it, in the form of ReadBitmap24: transposed
// first for 5 to 8, then mirrored left to right and top to bottom as the orientation asks.
Bytes Shown(const jo::Decoded& d, int orientation) {
    static const bool steps[9][3] = {{}, {0, 0, 0}, {0, 1, 0}, {0, 1, 1}, {0, 0, 1}, {1, 0, 0}, {1, 1, 0}, {1, 1, 1}, {1, 0, 1}};
    const bool* s = steps[orientation];
    const int w = s[0] ? d.height : d.width, h = s[0] ? d.width : d.height;
    Bytes p = BE(uint32_t(w)) + BE(uint32_t(h));
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const int mx = s[1] ? w - 1 - x : x, my = s[2] ? h - 1 - y : y;
            p = p + Cut(d.pixels, size_t(((s[0] ? mx : my) * d.width + (s[0] ? my : mx)) * 3), size_t(((s[0] ? mx : my) * d.width + (s[0] ? my : mx)) * 3 + 3));
        }
    return p;
}

std::string sample(const std::string& name) { return std::string(PIXMORPH_SOURCE_DIR) + "/samples/" + name; }

}  // namespace

TEST(PictureMetadata, ProfilesReachPngAndJpegOutputsByteForByte) {
    const Bytes small = Profile(3000, 1), large = Profile(150000, 2), most = Profile(size_t{255} * 65519, 3);
    auto reversed = Icc(large, 60000);
    std::reverse(reversed.begin(), reversed.end());
    const struct Case {
        const char* what;
        const char* input;
        Bytes file;
        const Bytes& profile;
        std::vector<const char*> outputs = {"out.png", "out.jpg"};
    } cases[] = {
        {"JPEG, one APP2", "in.jpg", Jpeg(Icc(small, 65519)), small},
        {"JPEG, three APP2 in order", "in.jpg", Jpeg(Icc(large, 60000)), large},
        {"JPEG, three APP2 in reverse", "in.jpg", Jpeg(reversed), large},
        {"PNG iCCP", "in.png", Png(2, 8, {Iccp(large)}), large},
        {"BMP V5", "in.bmp", V5Bitmap(small), small},
        // libpng reads no profile this large; libjpeg does.
        {"the most a JPEG holds", "in.png", Png(2, 8, {Iccp(most)}), most, {"out.jpg"}},
    };
    for (const Case& c : cases)
        for (const std::string output : c.outputs) {
            SCOPED_TRACE(std::string(c.what) + " to " + output);
            TempDir dir;
            writeFile(dir / c.input, c.file);
            const auto r = runPixmorph({dir / c.input, "5", dir / output});
            ASSERT_EQ(r.exitCode, 0) << r.err;
            const Bytes written = readFile(dir / output);
            EXPECT_TRUE((output == "out.png" ? po::Decode(written).iccProfile : jo::IccProfile(written)) == c.profile);
            size_t pieces = 0;
            for (const jo::Segment& s : jo::HeaderSegments(written))  // all full but the last
                if (s.marker == 0xE2 && ++pieces <= c.profile.size() / 65519) EXPECT_EQ(s.payload.size(), 14u + 65519);
            if (output == "out.jpg") EXPECT_EQ(pieces, (c.profile.size() + 65518) / 65519);
        }
}

TEST(PictureMetadata, EachOrientationReachesPngAndJpegAndAutoOrientTurnsBitmaps) {
    for (int o = 1; o <= 8; ++o) {
        SCOPED_TRACE("orientation " + std::to_string(o));
        TempDir dir;
        const Bytes input = Jpeg({Exif(o, o % 2 == 0)});
        for (const char* name : {"a.jpg", "b.jpg", "c.jpg", "d.jpg"}) writeFile(dir / name, input);
        ASSERT_EQ(runPixmorph({dir / "a.jpg", "5", dir / "out.png"}).exitCode, 0);
        EXPECT_EQ(OrientationOf(po::Decode(readFile(dir / "out.png")).exif), o);
        ASSERT_EQ(runPixmorph({dir / "b.jpg", "5", dir / "out.jpg"}).exitCode, 0);
        EXPECT_EQ(JpegOrientation(readFile(dir / "out.jpg")), o);
        ASSERT_EQ(runPixmorph({"--auto-orient", dir / "c.jpg", "5", dir / "turned.bmp"}).exitCode, 0);
        EXPECT_TRUE(ReadBitmap24(readFile(dir / "turned.bmp")) == Shown(jo::Decode(input), o));
        // Without the option the bitmap keeps the stored pixels.
        ASSERT_EQ(runPixmorph({dir / "d.jpg", "5", dir / "stored.bmp"}).exitCode, 0);
        EXPECT_TRUE(ReadBitmap24(readFile(dir / "stored.bmp")) == Shown(jo::Decode(input), 1));
    }
}

TEST(PictureMetadata, BatchResultLinesNameWhatEachOutputCouldNotHold) {
    const Bytes profile = Profile(2000, 4);
    const auto pieces = Icc(profile, 800);  // three
    Bytes badAdler = Iccp(profile), badCrc = Iccp(profile), v5 = V5Bitmap(profile), exifBadCrc = po::Chunk("eXIf", Tiff(6, false));
    badAdler[badAdler.size() - 5] ^= 1;  // its last byte; the CRC is made again
    badAdler = po::Chunk("iCCP", Cut(badAdler, 8, badAdler.size() - 4));
    badCrc.back() ^= 1;
    exifBadCrc.back() ^= 1;
    v5[14 + 112 + 3] = 0x7F;  // the profile's offset beyond the file
    const Bytes z = po::Zlib(profile);
    icon_files::HandImage icon;
    icon.palette.assign(16, 0x102030);
    icon_files::HandImage masked = icon;
    masked.masked = [](int x, int y) { return x == y; };
    const auto bmp32 = [](uint32_t alphaMask) {
        return bmp_bytes::file({.headerSize = 124, .width = 2, .height = 2, .bitCount = 32, .compression = 3,
                                .masks = {0xFF0000, 0xFF00, 0xFF, alphaMask}}, {}, Bytes(16, 0x80));
    };
    const struct Case {
        const char* input;
        Bytes file;
        const char* output;  // an extension, or code 102's ".gif"
        const char* lost;    // comma-separated; empty: nothing lost
        size_t carried = 0;  // profile bytes in a PNG written
        int orientation = -1;
    } cases[] = {
        {"png", Png(6, 8), "bmp", "alpha"},
        {"png", Png(2, 16), "png", "depth"},
        {"png", Png(4, 16), "pcx", "alpha,depth"},
        {"png", Png(3, 8, {po::Chunk("PLTE", Bytes(9, 0x40)), po::Chunk("tRNS", {0})}), "png", ""},
        {"png", Png(3, 8, {po::Chunk("PLTE", Bytes(9, 0x40)), po::Chunk("tRNS", {0})}), "bmp", "alpha"},
        {"png", Png(3, 8, {po::Chunk("PLTE", Bytes(9, 0x40)), po::Chunk("tRNS", {255, 128})}), "png", "alpha"},
        {"mng", Mng(2), "png", "frames"},
        {"mng", Mng(1), "png", ""},
        {"ico", icon_files::iconFile(1, {icon, icon}), "bmp", "frames"},
        {"ico", icon_files::iconFile(1, {masked}), "bmp", "alpha"},
        {"ico", icon_files::iconFile(1, {masked}), "ico", ""},
        {"jpg", Jpeg(pieces), "bmp", "profile"},
        {"jpg", Jpeg(pieces), "png", "", 2000},
        {"jpg", Jpeg({Exif(6, true)}), "pcx", "orientation"},
        {"jpg", Jpeg({Exif(3, false), Icc(profile, 5000)[0]}), "bmp", "profile,orientation"},
        {"jpg", Jpeg({Exif(1, true)}), "bmp", ""},
        {"jpg", Jpeg(), "bmp", ""},
        {"bmp", V5Bitmap(profile), "pcx", "profile"},
        {"bmp", bmp32(0xFF000000), "png", "alpha"},
        {"bmp", bmp32(0), "png", ""},
        {"bmp", readFile(sample("sunset.bmp")), "gif", "colours"},  // 24 bits
        {"bmp", readFile(sample("stripes.bmp")), "gif", ""},        // 8 bits
        {"bmp", V5Bitmap(profile), "gif", "profile,colours"},
        // Damaged profiles and EXIF: the image loads, what is damaged is not carried.
        {"png", Png(2, 8, {badAdler}), "png", "profile"},
        {"png", Png(2, 8, {badCrc}), "png", "profile"},
        {"png", Png(2, 8, {po::Chunk("iCCP", Bytes{'x', 0, 1} + z)}), "png", "profile"},  // method 1
        {"png", Png(2, 8, {po::Chunk("iCCP", Bytes{'x', 0, 0} + Cut(z, 0, z.size() / 2))}), "png", "profile"},
        {"png", Png(2, 8, {po::Chunk("iCCP", Bytes{'x', 0, 0} + po::Zlib(Bytes(size_t{255} * 65519 + 1), 9))}), "png", "profile"},
        {"png", Png(2, 8, {po::Chunk("eXIf", Tiff(6, false))}), "png", "", 0, 6},
        {"png", Png(2, 8, {exifBadCrc}), "png", ""},
        {"jpg", Jpeg({pieces[0], pieces[1], pieces[1], pieces[2]}), "png", "profile"},
        {"jpg", Jpeg({pieces[0], pieces[2]}), "png", "profile"},
        {"jpg", Jpeg({pieces[0], pieces[1], Icc(profile, 500)[2]}), "png", "profile"},  // counts differ
        {"jpg", Jpeg({pieces[1]}), "png", "profile"},
        {"bmp", v5, "png", "profile"},
        {"jpg", Jpeg({Seg(0xE1, Bytes{'E', 'x', 'i', 'f', 0, 0, 'M', 'M', 0, 42, 0x7F, 0, 0, 0})}), "png", ""},
    };
    TempDir dir;
    std::string manifest;
    for (size_t i = 0; i < std::size(cases); ++i) {
        const Case& c = cases[i];
        const std::string line = std::to_string(i + 1), output = dir / (line + "." + c.output);
        writeFile(dir / (line + "." + c.input), c.file);
        manifest += dir / (line + "." + c.input) + "\t" + (std::string(c.output) == "gif" ? "102" : "5") + "\t" + output + "\n";
    }
    writeFile(dir / "manifest", manifest);
    const auto r = runPixmorph({"--batch", "-j", "1", "--json", dir / "manifest"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    std::istringstream results(r.out);
    std::string object;
    for (size_t i = 0; i < std::size(cases) && std::getline(results, object); ++i) {
        // The lost list as JSON strings: "a,b" is ["a","b"].
        std::string lost;
        std::istringstream names(cases[i].lost);
        for (std::string name; std::getline(names, name, ',');) lost += (lost.empty() ? "\"" : ",\"") + name + "\"";
        EXPECT_NE(object.find("\"line\":" + std::to_string(i + 1) + ","), std::string::npos) << object;
        EXPECT_NE(object.find("\"status\":\"ok\""), std::string::npos) << object;
        EXPECT_NE(object.find("\"lost\":[" + lost + "]"), std::string::npos) << object;
    }
    for (size_t i = 0; i < std::size(cases); ++i)
        if (std::string(cases[i].output) == "png") {
            const po::Decoded png = po::Decode(readFile(dir / (std::to_string(i + 1) + ".png")));
            EXPECT_EQ(png.iccProfile.size(), cases[i].carried) << i + 1;
            EXPECT_EQ(png.hasEXIF ? OrientationOf(png.exif) : -1, cases[i].orientation) << i + 1;
        }
    // The single call says nothing of it.
    writeFile(dir / "again.png", Png(6, 8));
    const auto single = runPixmorph({dir / "again.png", "5", dir / "again.bmp"});
    EXPECT_EQ(single.exitCode, 0);
    EXPECT_EQ(single.err + single.out, "");
}

TEST(PictureMetadata, StrictRefusesWhatWouldLoseAndKeepsTheInput) {
    const Bytes profile = Profile(2000, 5);
    const struct Case {
        std::vector<std::string> options;
        const char* input;
        Bytes file;
        const char* code;
        const char* output;
        const char* refusal;  // empty: converted
    } cases[] = {
        {{"--strict"}, "rgba.png", Png(6, 8), "5", "out.bmp", "alpha"},
        {{"--strict"}, "deep.png", Png(2, 16), "5", "out.png", "depth"},
        {{"--strict"}, "two.mng", Mng(2), "5", "out.png", "frames"},
        {{"--strict"}, "profile.jpg", Jpeg(Icc(profile, 900)), "5", "out.bmp", "profile"},
        {{"--strict"}, "turned.jpg", Jpeg({Exif(8, false)}), "5", "out.pcx", "orientation"},
        {{"--strict"}, "deep.bmp", readFile(sample("sunset.bmp")), "102", "out.gif", "colours"},
        {{"--strict"}, "v5.bmp", V5Bitmap(profile), "100", "out.bmp", "profile"},
        {{"--strict"}, "v5.bmp", V5Bitmap(profile), "101", "out.jpg", "profile"},
        {{"--strict", "--auto-orient"}, "deepturned.png", Png(4, 16), "5", "out.bmp", "alpha, depth"},
        {{"--strict"}, "profile2.jpg", Jpeg(Icc(profile, 900)), "5", "out.png", ""},
        {{"--strict", "--auto-orient"}, "turned2.jpg", Jpeg({Exif(8, false)}), "5", "out.bmp", ""},
        {{"--auto-orient", "--strict"}, "turned3.jpg", Jpeg({Exif(5, true)}), "5", "out.jpg", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.input);
        TempDir dir;
        writeFile(dir / c.input, c.file);
        std::vector<std::string> args = c.options;
        args.insert(args.end(), {dir / c.input, c.code, dir / c.output});
        const auto r = runPixmorph(args);
        EXPECT_EQ(r.exitCode, *c.refusal ? 1 : 0) << r.err;
        EXPECT_EQ(r.err, *c.refusal ? std::string("Pixmorph: The output cannot hold the input's ") + c.refusal + ".\n" : "");
        EXPECT_EQ(fileExists(dir / c.output), !*c.refusal);
        EXPECT_EQ(fileExists(dir / c.input), !!*c.refusal);
    }
    TempDir dir;
    writeFile(dir / "a.png", Png(6, 8));
    writeFile(dir / "b.png", Png(2, 8));
    writeFile(dir / "manifest", dir / "a.png\t5\t" + dir / "a.bmp\n" + dir / "b.png\t5\t" + dir / "b.bmp\n");
    const auto r = runPixmorph({"--batch", "--strict", "-j", "1", dir / "manifest"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.out, "1\terror\tThe output cannot hold the input's alpha.\n2\tok\t" + dir / "b.bmp\n");
    EXPECT_TRUE(readFile(dir / "a.png") == Png(6, 8));
    EXPECT_FALSE(fileExists(dir / "a.bmp"));
}

TEST(PictureMetadata, OptionsComeOnlyBeforeThreeArguments) {
    TempDir dir;
    const std::vector<std::string> cases[] = {
        {"--strict", "5", dir / "out.bmp"},  // three arguments: "--strict" is an input (of no format)
        {"--strict"},
        {"--strict", "--auto-orient"},
        {"--loose", dir / "x.png", "5", dir / "y.bmp"},
        {dir / "x.png", "5", dir / "y.bmp", "--strict"},
    };
    const int exits[] = {1, 2, 2, 2, 2};
    for (size_t i = 0; i < std::size(cases); ++i) EXPECT_EQ(runPixmorph(cases[i]).exitCode, exits[i]) << i;
}
