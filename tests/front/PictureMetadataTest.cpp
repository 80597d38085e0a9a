// What a conversion keeps inside the picture (colour profiles, EXIF orientation), what it
// names as lost, and --strict and --auto-orient, through the binary. Profiles and
// orientations are read back by libpng and libjpeg.
#include <gtest/gtest.h>

#include <sstream>

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

Bytes operator+(Bytes a, const Bytes& b) { return bmp_bytes::append(a, b), a; }
Bytes BE(uint32_t v) { return {uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)}; }
Bytes Cut(const Bytes& b, size_t from, size_t to) { return Bytes(b.begin() + long(from), b.begin() + long(to)); }
std::string sample(const std::string& name) { return std::string(PIXMORPH_SOURCE_DIR) + "/samples/" + name; }
// A display profile's header libpng accepts for RGB images ("mntr", "RGB ", "XYZ ", "acsp",
// the D50 illuminant), no tags, then bytes that follow from seed.
Bytes Profile(size_t size, uint8_t seed) {
    Bytes p = BE(uint32_t(size)) + BE(0) + BE(0x02100000) + Bytes{'m', 'n', 't', 'r', 'R', 'G', 'B', ' ', 'X', 'Y', 'Z', ' '}, d50 = BE(0xF6D6) + BE(0x10000) + BE(0xD32D);
    p.resize(size);
    for (size_t i = 132; i < size; ++i) p[i] = uint8_t(i * 31 + seed + (i >> 9));
    std::copy_n("acsp", 4, p.begin() + 36);
    return std::copy(d50.begin(), d50.end(), p.begin() + 68), p;
}

constexpr int W = 24, H = 16;
// Red and blue ramps with green from both: no test takes them for grey.
Bytes Pixels(int channels) {
    Bytes px;
    for (int i = 0, x, y, c; i < W * H * channels; ++i)
        x = i / channels % W, y = i / channels / W, c = i % channels, px.push_back(uint8_t(c == 0 ? x * 10 : c == 1 ? 128 + (x - y) * 3 : c == 2 ? y * 15 : x * 5));
    return px;
}
Bytes Seg(uint8_t marker, const Bytes& payload) { return Bytes{0xFF, marker, uint8_t((payload.size() + 2) >> 8), uint8_t(payload.size() + 2)} + payload; }

// libjpeg's JPEG of the test picture with the segments after its SOI.
Bytes Jpeg(const std::vector<Bytes>& segments = {}) {
    static const Bytes plain = jo::Encode(W, H, 3, Pixels(3));
    Bytes out = Cut(plain, 0, 2);
    for (const Bytes& s : segments) out = out + s;
    return out + Cut(plain, 2, plain.size());
}
// APP2 segments of the profile in pieces of at most chunk bytes, numbered from 1.
std::vector<Bytes> Icc(const Bytes& profile, size_t chunk) {
    std::vector<Bytes> segments;
    for (size_t i = 0, count = (profile.size() + chunk - 1) / chunk; i < count; ++i)
        segments.push_back(Seg(0xE2, Bytes{'I', 'C', 'C', '_', 'P', 'R', 'O', 'F', 'I', 'L', 'E', 0, uint8_t(i + 1), uint8_t(count)} +
                                         Cut(profile, i * chunk, std::min(profile.size(), (i + 1) * chunk))));
    return segments;
}
// A TIFF structure whose IFD0 holds a make tag, then the orientation (SHORT, 1), in either byte order.
Bytes Tiff(int o, bool big) {
    return big ? Bytes{'M', 'M', 0, 42, 0, 0, 0, 8, 0, 2, 1, 0x0F, 0, 2, 0, 0, 0, 4, 'c', 'a', 'm', 0, 1, 0x12, 0, 3, 0, 0, 0, 1, 0, uint8_t(o), 0, 0, 0, 0, 0, 0}
               : Bytes{'I', 'I', 42, 0, 8, 0, 0, 0, 2, 0, 0x0F, 1, 2, 0, 4, 0, 0, 0, 'c', 'a', 'm', 0, 0x12, 1, 3, 0, 1, 0, 0, 0, uint8_t(o), 0, 0, 0, 0, 0, 0, 0};
}
const Bytes ExifHead{'E', 'x', 'i', 'f', 0, 0};
Bytes Exif(int orientation, bool big) { return Seg(0xE1, ExifHead + Tiff(orientation, big)); }
// What an output holds for an orientation, worked out by hand: big-endian, IFD0 at 8 with the
// one entry 0x0112 SHORT 1, no next IFD.
Bytes Written(int o) { return o ? Bytes{'M', 'M', 0, 42, 0, 0, 0, 8, 0, 1, 1, 0x12, 0, 3, 0, 0, 0, 1, 0, uint8_t(o), 0, 0, 0, 0, 0, 0} : Bytes{}; }
// The test picture as a PNG of a colour type and depth, with chunks before its data.
Bytes Png(int colourType, int depth, const std::vector<Bytes>& extra = {}) {
    const int channels = colourType == 6 ? 4 : colourType == 4 ? 2 : colourType == 2 ? 3 : 1;
    const Bytes px = Pixels(channels);
    Bytes raw, file = po::PngSignature() + po::Ihdr(W, H, depth, colourType);
    for (size_t i = 0; i < px.size(); ++i) {  // filter 0 before each row; 16 bits: a second byte from the first
        raw = raw + (i % (W * channels) ? Bytes{} : Bytes{0}) + Bytes{uint8_t(colourType == 3 ? px[i] % 3 : px[i])};
        if (depth == 16) raw.push_back(uint8_t(px[i] ^ 0x5A));
    }
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
    Bytes rows, fields, px = Pixels(3);
    for (int i = W * H * 3 - 1; i >= 0; --i) rows.push_back(px[size_t((i / 3 / W * W + W - 1 - i / 3 % W) * 3 + i % 3)]);  // bottom-up, blue first
    Bytes f = bmp_bytes::file({.headerSize = 124, .width = W, .height = H}, {}, rows) + profile;
    bmp_bytes::u32(fields, uint32_t(124 + rows.size())), bmp_bytes::u32(fields, uint32_t(profile.size()));
    std::copy_n("DEBM", 4, f.begin() + 14 + 56);  // 'MBED', little-endian
    return std::copy(fields.begin(), fields.end(), f.begin() + 14 + 112), f;
}
// A bottom-up 24-bit bitmap as width, height, then red, green, blue rows top-down.
Bytes ReadBitmap24(const Bytes& b) {
    const uint32_t w = icon_files::le32At(b, 18), h = icon_files::le32At(b, 22), stride = (w * 3 + 3) / 4 * 4;
    Bytes p = BE(w) + BE(h);
    for (uint32_t i = 0; i < w * h * 3; ++i) p.push_back(b[icon_files::le32At(b, 10) + (h - 1 - i / 3 / w) * stride + i / 3 % w * 3 + 2 - i % 3]);
    return p;
}
// libjpeg's decoding as the orientation shows it, as ReadBitmap24 gives it: transposed
// first for 5 to 8, then mirrored left to right and top to bottom as the orientation asks.
Bytes Shown(const jo::Decoded& d, int orientation) {
    static const bool steps[9][3] = {{}, {0, 0, 0}, {0, 1, 0}, {0, 1, 1}, {0, 0, 1}, {1, 0, 0}, {1, 1, 0}, {1, 1, 1}, {1, 0, 1}};
    const bool* s = steps[orientation];
    const int w = s[0] ? d.height : d.width, h = s[0] ? d.width : d.height;
    Bytes p = BE(uint32_t(w)) + BE(uint32_t(h));
    for (int i = 0; i < w * h; ++i) {
        const int mx = s[1] ? w - 1 - i % w : i % w, my = s[2] ? h - 1 - i / w : i / w;
        const size_t at = size_t(((s[0] ? mx : my) * d.width + (s[0] ? my : mx)) * 3);
        p = p + Cut(d.pixels, at, at + 3);
    }
    return p;
}

}  // namespace

TEST(PictureMetadata, ProfilesReachPngAndJpegOutputsByteForByte) {
    const Bytes small = Profile(3000, 1), large = Profile(150000, 2), most = Profile(size_t{255} * 65519, 3);
    auto reversed = Icc(large, 60000);
    std::reverse(reversed.begin(), reversed.end());
    const struct Case { const char* input; Bytes file; const Bytes& profile; std::vector<const char*> outputs = {"out.png", "out.jpg"}; } cases[] = {
        {"one.jpg", Jpeg(Icc(small, 65519)), small}, {"three.jpg", Jpeg(Icc(large, 60000)), large}, {"reversed.jpg", Jpeg(reversed), large},
        {"in.png", Png(2, 8, {Iccp(large)}), large}, {"in.bmp", V5Bitmap(small), small},
        {"most.png", Png(2, 8, {Iccp(most)}), most, {"out.jpg"}},  // libpng reads no profile this large
    };
    for (const Case& c : cases)
        for (const std::string output : c.outputs) {
            SCOPED_TRACE(std::string(c.input) + " to " + output);
            TempDir dir;
            writeFile(dir / c.input, c.file);
            const auto r = runPixmorph({dir / c.input, "5", dir / output});
            ASSERT_EQ(r.exitCode, 0) << r.err;
            const Bytes written = readFile(dir / output);
            EXPECT_TRUE((output == "out.png" ? po::Decode(written).iccProfile : jo::IccProfile(written)) == c.profile);
            size_t pieces = 0;
            for (const jo::Segment& s : jo::HeaderSegments(written))  // all full but the last
                if (s.marker == 0xE2 && ++pieces <= c.profile.size() / 65519) {
                    EXPECT_EQ(s.payload.size(), 14u + 65519);
                }
            if (output == "out.jpg") {
                EXPECT_EQ(pieces, (c.profile.size() + 65518) / 65519);
            }
        }
}

TEST(PictureMetadata, EachOrientationReachesPngAndJpegAndAutoOrientTurnsBitmaps) {
    for (int o = 1; o <= 8; ++o) {
        SCOPED_TRACE("orientation " + std::to_string(o));
        TempDir dir;
        const Bytes input = Jpeg({Exif(o, o % 2 == 0)});
        const auto run = [&](std::vector<std::string> args, const std::string& output) {  // each run takes its input away
            writeFile(dir / "in.jpg", input);
            args.insert(args.end(), {dir / "in.jpg", "5", dir / output});
            EXPECT_EQ(runPixmorph(args).exitCode, 0);
            return readFile(dir / output);
        };
        EXPECT_TRUE(po::Decode(run({}, "out.png")).exif == Written(o));
        Bytes app1;
        for (const jo::Segment& s : jo::HeaderSegments(run({}, "out.jpg"))) app1 = s.marker == 0xE1 ? s.payload : app1;
        EXPECT_TRUE(app1 == ExifHead + Written(o));
        EXPECT_TRUE(ReadBitmap24(run({"--auto-orient"}, "turned.bmp")) == Shown(jo::Decode(input), o));
        EXPECT_TRUE(ReadBitmap24(run({}, "stored.bmp")) == Shown(jo::Decode(input), 1));
    }
}

TEST(PictureMetadata, BatchResultLinesNameWhatEachOutputCouldNotHold) {
    const Bytes profile = Profile(2000, 4), z = po::Zlib(profile), plte = po::Chunk("PLTE", Bytes(9, 0x40));
    const auto pieces = Icc(profile, 800);  // three
    Bytes badAdler = Iccp(profile), badCrc = Iccp(profile), v5 = V5Bitmap(profile), exifBadCrc = po::Chunk("eXIf", Tiff(6, false));
    badAdler[badAdler.size() - 5] ^= 1;  // its last byte; the CRC is made again
    badAdler = po::Chunk("iCCP", Cut(badAdler, 8, badAdler.size() - 4));
    badCrc.back() ^= 1, exifBadCrc.back() ^= 1;
    v5[14 + 112 + 3] = 0x7F;  // the profile's offset beyond the file
    icon_files::HandImage icon{.palette = std::vector<uint32_t>(16, 0x102030)}, masked = icon;
    masked.masked = [](int x, int y) { return x == y; };
    const auto bmp32 = [](uint32_t alpha) {
        return bmp_bytes::file({.headerSize = 124, .width = 2, .height = 2, .bitCount = 32, .compression = 3, .masks = {0xFF0000, 0xFF00, 0xFF, alpha}}, {}, Bytes(16, 0x80));
    };
    // output: an extension, or code 102's ".gif"; carried: profile bytes in a PNG written.
    const struct Case { const char* input; Bytes file; const char *output, *lost; size_t carried = 0; int orientation = 0; } cases[] = {
        {"png", Png(6, 8), "bmp", R"("alpha")"}, {"png", Png(2, 16), "png", R"("depth")"}, {"png", Png(4, 16), "pcx", R"("alpha","depth")"},
        {"png", Png(3, 8, {plte, po::Chunk("tRNS", {0})}), "png", ""}, {"png", Png(3, 8, {plte, po::Chunk("tRNS", {0})}), "bmp", R"("alpha")"},
        {"png", Png(3, 8, {plte, po::Chunk("tRNS", {255, 128})}), "png", R"("alpha")"},
        {"mng", Mng(2), "png", R"("frames")"}, {"mng", Mng(1), "png", ""}, {"ico", icon_files::iconFile(1, {icon, icon}), "bmp", R"("frames")"},
        {"ico", icon_files::iconFile(1, {masked}), "bmp", R"("alpha")"}, {"ico", icon_files::iconFile(1, {masked}), "ico", ""},
        {"jpg", Jpeg(pieces), "bmp", R"("profile")"}, {"jpg", Jpeg(pieces), "png", "", 2000}, {"jpg", Jpeg({Exif(6, true)}), "pcx", R"("orientation")"},
        {"jpg", Jpeg({Exif(3, false), Icc(profile, 5000)[0]}), "bmp", R"("profile","orientation")"},
        {"jpg", Jpeg({Exif(1, true)}), "bmp", ""}, {"jpg", Jpeg(), "bmp", ""}, {"bmp", V5Bitmap(profile), "pcx", R"("profile")"},
        {"bmp", bmp32(0xFF000000), "png", R"("alpha")"}, {"bmp", bmp32(0), "png", ""}, {"bmp", V5Bitmap(profile), "gif", R"("profile","colours")"},
        {"bmp", readFile(sample("sunset.bmp")), "gif", R"("colours")"}, {"bmp", readFile(sample("stripes.bmp")), "gif", ""},  // 24, 8 bits
        // Damaged profiles and EXIF: the image loads, what is damaged is not carried.
        {"png", Png(2, 8, {badAdler}), "png", R"("profile")"}, {"png", Png(2, 8, {badCrc}), "png", R"("profile")"},
        {"png", Png(2, 8, {po::Chunk("iCCP", Bytes{'x', 0, 1} + z)}), "png", R"("profile")"},  // method 1
        {"png", Png(2, 8, {po::Chunk("iCCP", Bytes{'x', 0, 0} + Cut(z, 0, z.size() / 2))}), "png", R"("profile")"},
        {"png", Png(2, 8, {po::Chunk("iCCP", Bytes{'x', 0, 0} + po::Zlib(Bytes(size_t{255} * 65519 + 1), 9))}), "png", R"("profile")"},
        {"png", Png(2, 8, {po::Chunk("eXIf", Tiff(6, false))}), "png", "", 0, 6}, {"png", Png(2, 8, {exifBadCrc}), "png", ""},
        {"jpg", Jpeg({pieces[0], pieces[1], pieces[1], pieces[2]}), "png", R"("profile")"}, {"jpg", Jpeg({pieces[0], pieces[2]}), "png", R"("profile")"},
        {"jpg", Jpeg({pieces[0], pieces[1], Icc(profile, 500)[2]}), "png", R"("profile")"},  // counts differ
        {"jpg", Jpeg({pieces[1]}), "png", R"("profile")"}, {"bmp", v5, "png", R"("profile")"},
        {"jpg", Jpeg({Seg(0xE1, ExifHead + Bytes{'M', 'M', 0, 42, 0x7F, 0, 0, 0})}), "png", ""},
    };
    TempDir dir;
    std::string manifest;
    for (size_t i = 0; i < std::size(cases); ++i) {
        const std::string stem = dir / std::to_string(i + 1) + ".";
        writeFile(stem + cases[i].input, cases[i].file);
        manifest += stem + cases[i].input + "\t" + (std::string(cases[i].output) == "gif" ? "102" : "5") + "\t" + stem + cases[i].output + "\n";
    }
    writeFile(dir / "manifest", manifest);
    const auto r = runPixmorph({"--batch", "-j", "1", "--json", dir / "manifest"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    std::istringstream results(r.out);
    std::string object;
    for (size_t i = 0; i < std::size(cases) && std::getline(results, object); ++i) {
        for (const std::string& part : {"\"line\":" + std::to_string(i + 1) + ",", std::string("\"status\":\"ok\""), "\"lost\":[" + std::string(cases[i].lost) + "]"})
            EXPECT_NE(object.find(part), std::string::npos) << object;
        if (std::string(cases[i].output) != "png") continue;
        const po::Decoded png = po::Decode(readFile(dir / std::to_string(i + 1) + ".png"));
        EXPECT_TRUE(png.iccProfile.size() == cases[i].carried && png.exif == Written(cases[i].orientation)) << i + 1;
    }
    // The single call says nothing of it.
    writeFile(dir / "again.png", Png(6, 8));
    const auto single = runPixmorph({dir / "again.png", "5", dir / "again.bmp"});
    EXPECT_EQ(std::to_string(single.exitCode) + single.err + single.out, "0");
}

TEST(PictureMetadata, StrictRefusesWhatWouldLoseAndKeepsTheInput) {
    const Bytes profile = Profile(2000, 5);
    const std::vector<std::string> strict{"--strict"};
    const struct Case { std::vector<std::string> options; const char *input, *code, *output; Bytes file; const char* refusal; } cases[] = {
        {strict, "rgba.png", "5", "out.bmp", Png(6, 8), "alpha"}, {strict, "deep.png", "5", "out.png", Png(2, 16), "depth"},
        {strict, "two.mng", "5", "out.png", Mng(2), "frames"}, {strict, "profile.jpg", "5", "out.bmp", Jpeg(Icc(profile, 900)), "profile"},
        {strict, "turned.jpg", "5", "out.pcx", Jpeg({Exif(8, false)}), "orientation"},
        {strict, "deep.bmp", "102", "out.gif", readFile(sample("sunset.bmp")), "colours"},
        {strict, "v5.bmp", "100", "out.bmp", V5Bitmap(profile), "profile"}, {strict, "v5.bmp", "101", "out.jpg", V5Bitmap(profile), "profile"},
        {{"--strict", "--auto-orient"}, "deepturned.png", "5", "out.bmp", Png(4, 16), "alpha, depth"},
        {strict, "profile2.jpg", "5", "out.png", Jpeg(Icc(profile, 900)), ""},  // "" : converted
        {{"--strict", "--auto-orient"}, "turned2.jpg", "5", "out.bmp", Jpeg({Exif(8, false)}), ""},
        {{"--auto-orient", "--strict"}, "turned3.jpg", "5", "out.jpg", Jpeg({Exif(5, true)}), ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.input);
        TempDir dir;
        writeFile(dir / c.input, c.file);
        std::vector<std::string> args = c.options;
        args.insert(args.end(), {dir / c.input, c.code, dir / c.output});
        const auto r = runPixmorph(args);
        EXPECT_EQ(std::to_string(r.exitCode) + r.err + (fileExists(dir / c.output) ? "output" : "") + (fileExists(dir / c.input) ? "input" : ""),
                  *c.refusal ? std::string("1Pixmorph: The output cannot hold the input's ") + c.refusal + ".\ninput" : "0output");
    }
    TempDir dir;
    writeFile(dir / "a.png", Png(6, 8));
    writeFile(dir / "b.png", Png(2, 8));
    writeFile(dir / "manifest", dir / "a.png\t5\t" + dir / "a.bmp\n" + dir / "b.png\t5\t" + dir / "b.bmp\n");
    const auto r = runPixmorph({"--batch", "--strict", "-j", "1", dir / "manifest"});
    EXPECT_EQ(std::to_string(r.exitCode) + r.out, "1" "1\terror\tThe output cannot hold the input's alpha.\n2\tok\t" + dir / "b.bmp\n");
    EXPECT_TRUE(readFile(dir / "a.png") == Png(6, 8) && !fileExists(dir / "a.bmp"));
}

TEST(PictureMetadata, OptionsComeOnlyBeforeThreeArguments) {
    TempDir dir;
    const std::pair<int, std::vector<std::string>> cases[] = {{1, {"--strict", "5", dir / "out.bmp"}},  // "--strict" as an input (of no format)
        {2, {"--strict"}}, {2, {"--strict", "--auto-orient"}}, {2, {"--loose", dir / "x.png", "5", dir / "y.bmp"}}, {2, {dir / "x.png", "5", dir / "y.bmp", "--strict"}}};
    for (const auto& c : cases) EXPECT_EQ(runPixmorph(c.second).exitCode, c.first) << c.second[0];
}
