// Plug-in formats and pixmorph-open through the real binaries, with the sample plug-in
// beside them as the build puts it; pixmorph-open against the codec path file by file
// through the calls the binaries make.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <tuple>

#include "TestSupport.h"
#include "codecs/PngOracle.h"
#include "front/FrontEnd.h"
#include "front/Main.h"
#include "front/OpenPicture.h"
#include "gif/GifOracle.h"
#include "picture/Graphics.h"

using namespace testing_support;
using namespace std::string_literals;
namespace fs = std::filesystem;

namespace {

std::string text(const std::vector<uint8_t>& bytes) { return {bytes.begin(), bytes.end()}; }

RunResult runOpen(const std::vector<std::string>& args) {
    std::vector<std::string> argv{PIXMORPH_OPEN_BINARY};
    argv.insert(argv.end(), args.begin(), args.end());
    return runProgram(argv);
}

// Red, green, blue of every pixel of an 8-bit PNG, by libpng.
std::vector<uint8_t> PngRGB(const std::string& path) {
    const png_oracle::Decoded d = png_oracle::Decode(readFile(path));
    EXPECT_TRUE(d.ok) << d.error;
    EXPECT_EQ(d.bitDepth, 8);
    std::vector<uint8_t> rgb;
    for (const auto& row : d.rows)
        for (uint32_t x = 0; x < d.width; ++x) {
            if (d.colorType == 2) {
                rgb.insert(rgb.end(), row.begin() + 3 * x, row.begin() + 3 * x + 3);
            } else if (d.colorType == 3) {
                rgb.insert(rgb.end(), d.paletteRGB.begin() + 3 * row[x], d.paletteRGB.begin() + 3 * row[x] + 3);
            } else {
                rgb.insert(rgb.end(), {row[x], row[x], row[x]});
            }
        }
    return rgb;
}

// The colours of a Windows bitmap, row by row, as 0x00RRGGBB words.
std::vector<uint32_t> BitmapColours(const std::string& path) {
    host::TBitmap bitmap;
    bitmap.LoadFromFile(path);
    std::vector<uint32_t> colours(static_cast<size_t>(bitmap.Width()) * static_cast<size_t>(bitmap.Height()));
    for (int32_t y = 0; y < bitmap.Height(); ++y)
        bitmap.ReadRowRGB(y, 0, bitmap.Width(), colours.data() + static_cast<size_t>(y) * bitmap.Width());
    return colours;
}

// The first `limit` files with the extension below folder, in the order of their paths:
// the sample is the same whatever order the file system lists them in.
std::vector<fs::path> firstFiles(const std::string& folder, const std::string& extension, size_t limit) {
    std::vector<fs::path> files;
    for (const auto& entry : fs::recursive_directory_iterator(folder))
        if (entry.path().extension() == extension) files.push_back(entry.path());
    std::sort(files.begin(), files.end());
    if (files.size() > limit) files.resize(limit);
    return files;
}

// How a call ended: completed, or failed with the text the programs report for it (empty
// for a silent abort).
struct Outcome {
    bool failed = false;
    std::string report;
};

template <class Action>
Outcome outcomeOf(Action&& action) {
    try {
        action();
        return {};
    } catch (...) {
        return {true, CurrentErrorText().value_or("")};
    }
}

}  // namespace

TEST(NetpbmPlugin, ConvertsToPngAndBackKeepingThePixels) {
    struct Case {
        std::string name;
        std::string file;
        std::vector<uint8_t> rgb;  // the pixels, worked out by hand
        std::string back;          // the extension to write back to, and the file expected there
        std::string backFile;
    };
    const Case cases[] = {
        {"a.ppm", "P6\n# two by two\n2 2\n255\n\xff\x00\x00\x00\xff\x00\x00\x00\xff\x0a\x14\x1e"s,
         {255, 0, 0, 0, 255, 0, 0, 0, 255, 10, 20, 30},
         "ppm", "P6\n2 2\n255\n\xff\x00\x00\x00\xff\x00\x00\x00\xff\x0a\x14\x1e"s},
        // maxval 15: every level times 17.
        {"b.ppm", "P3\n2 1\n15\n15 0 1  2 3 4\n", {255, 0, 17, 34, 51, 68},
         "ppm", "P6\n2 1\n255\n\xff\x00\x11\x22\x33\x44"s},
        {"c.pgm", "P5 3 1 255 \x00\x80\xff"s, {0, 0, 0, 128, 128, 128, 255, 255, 255},
         "pgm", "P5\n3 1\n255\n\x00\x80\xff"s},
        // 16 bits: the high byte is the 8-bit grey.
        {"d.pgm", "P5\n2 1\n65535\n\x12\x34\xfe\xdc"s, {0x12, 0x12, 0x12, 0xfe, 0xfe, 0xfe},
         "pnm", "P5\n2 1\n255\n\x12\xfe"s},
        // Colour to grey by luma: (299 R + 587 G + 114 B) / 1000, rounded.
        {"e.ppm", "P6 2 1 255\n\xff\x00\x00\x0a\x14\x1e"s, {255, 0, 0, 10, 20, 30},
         "pgm", "P5\n2 1\n255\n\x4c\x12"s},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        writeFile(dir / c.name, c.file);
        RunResult r = runPixmorph({dir / c.name, "5", dir / "out.png"});
        ASSERT_EQ(r.exitCode, 0) << r.err;
        EXPECT_FALSE(fileExists(dir / c.name));
        EXPECT_EQ(PngRGB(dir / "out.png"), c.rgb);

        r = runPixmorph({dir / "out.png", "5", dir / ("back." + c.back)});
        ASSERT_EQ(r.exitCode, 0) << r.err;
        EXPECT_EQ(text(readFile(dir / ("back." + c.back))), c.backFile);
    }
}

TEST(NetpbmPlugin, PluginsComeOnlyFromTheProgramsDirectory) {
    // A library claiming PPM in the current directory and on the library path is not
    // looked at: the sample plug-in beside the program reads the file.
    TempDir dir;
    fs::copy_file(PIXMORPH_TEST_PLUGINS_DIR "/claims-ppm.so", dir / "a.so");
    fs::copy_file(PIXMORPH_TEST_PLUGINS_DIR "/claims-ppm.so", dir / "pixmorph-netpbm.so");
    writeFile(dir / "in.ppm", "P6 2 1 255 \x10\x20\x30\x40\x50\x60"s);
    const RunResult r = runProgram({"sh", "-c",
                                    "cd '" + dir.path() + "' && LD_LIBRARY_PATH=. exec '" PIXMORPH_BINARY
                                    "' in.ppm 5 out.png"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(PngRGB(dir / "out.png"), (std::vector<uint8_t>{0x10, 0x20, 0x30, 0x40, 0x50, 0x60}));
}

TEST(NetpbmPlugin, BrokenFilesAreReportedAndNothingIsWritten) {
    const std::string cases[] = {
        "P6\n2 2\n255\n\x01\x02\x03"s,     // data cut short
        "P6\n100000 100000\n255\n\x01\x02\x03",            // a size the data cannot back
        "P6\n99999999999 1\n255\n",                        // a width beyond 32 bits
        "P3\n1 1\n255\n1 2 300\n",                         // a level above maxval
        "P7\n1 1\n255\n",                                  // not a kind the plug-in reads
    };
    for (const std::string& file : cases) {
        TempDir dir;
        writeFile(dir / "in.ppm", file);
        const RunResult r = runPixmorph({dir / "in.ppm", "5", dir / "out.png"});
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_EQ(r.err, "Pixmorph: Error in bitmap data.\n") << file;
        EXPECT_TRUE(fileExists(dir / "in.ppm"));
        EXPECT_FALSE(fileExists(dir / "out.png"));
    }
}

TEST(PixmorphOpen, ReadsEveryFamilyToTheSamePixelsAsTheCodecPath) {
    PIXMORPH_REQUIRE_TESTDATA();
    struct Family {
        std::string folder;
        std::string extension;
        size_t limit = 1000;  // rendering metafiles is slow: a sample of them serves
    };
    const Family families[] = {{"bmpsuite/g", ".bmp"}, {"bmpsuite/q", ".bmp"},   {"pngsuite", ".png"},
                               {"mng", ".mng"},        {"pcx", ".pcx"},          {"hips", ".hips"},
                               {"metafile", ".wmf", 8}, {"metafile", ".emf", 8}, {"jpeg", ".jpg", 12},
                               {"ico", ".ico", 12},     {"ico", ".cur", 12}};
    int compared = 0;
    for (const Family& family : families) {
        for (const fs::path& file : firstFiles(testdata(family.folder), family.extension, family.limit)) {
            SCOPED_TRACE(file.string());
            TempDir dir;
            const std::string name = "in" + family.extension;
            fs::copy_file(file, dir / name);
            // In this process, through the calls each program makes once its units are up
            // (no family here is a plug-in format, so the plug-ins stay unloaded).
            const Outcome opened = outcomeOf([&] { OpenPictureAndSave(dir / name, dir / "open.bmp"); });
            EXPECT_TRUE(fileExists(dir / name));  // pixmorph-open keeps its input
            const Outcome converted = outcomeOf([&] { ConvertWithCodecs(dir / name, dir / "codec.bmp"); });
            if (converted.failed) {
                // What the codec path refuses, the picture path may still read (a BMP the
                // platform reader accepts); it never reads it differently.
                if (opened.failed) {
                    EXPECT_EQ(opened.report, converted.report);
                }
                continue;
            }
            ASSERT_FALSE(opened.failed) << opened.report;
            EXPECT_EQ(BitmapColours(dir / "open.bmp"), BitmapColours(dir / "codec.bmp"));
            ++compared;
        }
    }
    EXPECT_GT(compared, 230);

    // A plug-in format, through the class the plug-in loader registers for it.
    TempDir dir;
    writeFile(dir / "in.ppm", "P6 1 1 255 \x10\x20\x30"s);
    const RunResult r = runOpen({dir / "in.ppm", dir / "out.png"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(PngRGB(dir / "out.png"), (std::vector<uint8_t>{0x10, 0x20, 0x30}));
}

// The other names of JPEG files, and 16-bit grey for a plug-in, give what pixmorph gives.
TEST(PixmorphOpen, OtherJpegNamesAndGreyForPluginsWriteWhatTheCodecPathWrites) {
    PIXMORPH_REQUIRE_TESTDATA();
    const std::tuple<std::string, std::string, std::string> cases[] = {
        {"jpeg/libjpeg-turbo/testorig.jpg", "in.jpe", "out.bmp"},
        {"jpeg/libjpeg-turbo/testorig.jpg", "in.jfif", "out.bmp"},
        {"pngsuite/basn0g16.png", "in.png", "out.pgm"}};
    for (const auto& [source, input, output] : cases) {
        TempDir dir;
        const std::string codecInput = dir / ("codec" + fs::path(source).extension().string());
        fs::copy_file(testdata(source), dir / input);
        fs::copy_file(testdata(source), codecInput);
        EXPECT_EQ(runOpen({dir / input, dir / output}).exitCode, 0) << input;
        EXPECT_EQ(runPixmorph({codecInput, "1", dir / ("codec-" + output)}).exitCode, 0);
        EXPECT_EQ(readFile(dir / output), readFile(dir / ("codec-" + output))) << input;
    }
}

#ifdef PIXMORPH_HAVE_GIFLIB
TEST(PixmorphOpen, ReadsGifFilesToTheColoursGiflibFinds) {
    PIXMORPH_REQUIRE_TESTDATA();
    int compared = 0;
    for (const auto& entry : fs::recursive_directory_iterator(testdata("gif"))) {
        if (entry.path().extension() != ".gif") continue;
        const gif_oracle::Decoded gif = gif_oracle::Decode(readFile(entry.path()));
        // Files whose first frame fills the screen without transparency: their colours
        // are the frame's entries, whatever a reader does with the rest of the screen.
        if (!gif.ok || gif.frames.empty()) continue;
        const gif_oracle::Frame& frame = gif.frames[0];
        const std::vector<uint8_t>& map = frame.localMap.empty() ? gif.globalMap : frame.localMap;
        if (frame.left || frame.top || frame.width != gif.screenWidth || frame.height != gif.screenHeight ||
            frame.transparentIndex >= 0 || map.empty())
            continue;
        SCOPED_TRACE(entry.path().string());
        TempDir dir;
        fs::copy_file(entry.path(), dir / "in.gif");
        const RunResult r = runOpen({dir / "in.gif", dir / "out.bmp"});
        ASSERT_EQ(r.exitCode, 0) << r.err;
        std::vector<uint32_t> expected;
        for (uint8_t index : frame.pixels) {
            const size_t at = 3u * index < map.size() ? 3u * index : 0;
            expected.push_back(uint32_t{map[at]} << 16 | uint32_t{map[at + 1]} << 8 | map[at + 2]);
        }
        EXPECT_EQ(BitmapColours(dir / "out.bmp"), expected);
        ++compared;
    }
    EXPECT_GT(compared, 5);
}
#endif  // PIXMORPH_HAVE_GIFLIB

TEST(PixmorphOpen, ErrorsAndExitStatusesAreThoseOfPixmorph) {
    TempDir dir;
    writeFile(dir / "in.ppm", "P6 1 1 255 \x10\x20\x30"s);
    writeFile(dir / "in.xyz", std::string("data"));
    struct Case {
        std::vector<std::string> args;
        int exitCode;
        std::string err;  // empty: only the usage line is checked for being there
    };
    const Case cases[] = {
        {{dir / "in.ppm"}, 2, ""},
        {{dir / "in.ppm", dir / "out.png", "extra"}, 2, ""},
        {{dir / "in.xyz", dir / "out.png"}, 1, "Pixmorph: Unknown picture file extension (.xyz)\n"},
        {{dir / "in.ppm", dir / "out.xyz"}, 1, "Pixmorph: Unsupported file format: XYZ.\n"},
        {{dir / "missing.png", dir / "out.png"}, 1,
         "Pixmorph: Error opening \"" + (dir / "missing.png") + "\" - No such file or directory.\n"},
    };
    for (const Case& c : cases) {
        const RunResult r = runOpen(c.args);
        EXPECT_EQ(r.exitCode, c.exitCode) << r.err;
        if (c.err.empty()) {
            EXPECT_NE(r.err.find("usage: pixmorph-open"), std::string::npos);
        } else {
            EXPECT_EQ(r.err, c.err);
        }
    }
    EXPECT_TRUE(fileExists(dir / "in.ppm"));
    EXPECT_TRUE(fileExists(dir / "in.xyz"));
    EXPECT_EQ(listDirectory(dir.path()).size(), 2u);
}

TEST(Install, PutsTheProgramsAndPluginTogetherWithHeaderPkgConfigAndManPage) {
    TempDir prefix;
    const RunResult install =
        runProgram({PIXMORPH_CMAKE_COMMAND, "--install", PIXMORPH_BUILD_DIR, "--prefix", prefix.path()});
    ASSERT_EQ(install.exitCode, 0) << install.out << install.err;
    for (const char* file : {"libexec/pixmorph/pixmorph", "libexec/pixmorph/pixmorph-open",
                             "libexec/pixmorph/pixmorph-netpbm.so", "include/pixmorph/plugin.h",
                             "share/pkgconfig/pixmorph-plugin.pc", "share/man/man1/pixmorph.1"})
        EXPECT_TRUE(fileExists(prefix / file)) << file;
    EXPECT_TRUE(fs::is_symlink(prefix / "bin/pixmorph"));

    // Started through the link, the program still finds the plug-in beside its real self.
    TempDir work;
    writeFile(work / "in.ppm", "P6 1 1 255 \x10\x20\x30"s);
    const RunResult r = runProgram({prefix / "bin/pixmorph", work / "in.ppm", "5", work / "out.png"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(PngRGB(work / "out.png"), (std::vector<uint8_t>{0x10, 0x20, 0x30}));

    // The README's example plug-in, built against the installed header as it says.
    const std::string readme = text(readFile(PIXMORPH_SOURCE_DIR "/README.md"));
    const size_t begin = readme.find("```cpp\n", readme.find("<!-- plugin example: begin -->"));
    const size_t end = readme.find("```\n", begin + 7);
    ASSERT_NE(begin, std::string::npos);
    ASSERT_NE(end, std::string::npos);
    writeFile(work / "rawgrey.cpp", readme.substr(begin + 7, end - begin - 7));
    const RunResult built = runProgram(
        {"sh", "-c",
         "export PKG_CONFIG_PATH='" + prefix / "share/pkgconfig" +
             "'; c++ -std=c++17 -O2 -shared -fPIC $(pkg-config --cflags pixmorph-plugin) '" + work / "rawgrey.cpp" +
             "' -o \"$(pkg-config --variable=plugindir pixmorph-plugin)/rawgrey.so\""});
    ASSERT_EQ(built.exitCode, 0) << built.err;
    ASSERT_TRUE(fileExists(prefix / "libexec/pixmorph/rawgrey.so"));
    writeFile(work / "grey.pgm", "P5 3 1 255 \x00\x80\xff"s);
    RunResult r2 = runProgram({prefix / "bin/pixmorph", work / "grey.pgm", "5", work / "grey.rawg"});
    ASSERT_EQ(r2.exitCode, 0) << r2.err;
    EXPECT_EQ(text(readFile(work / "grey.rawg")), "3 1\n\x00\x80\xff"s);
    r2 = runProgram({prefix / "bin/pixmorph-open", work / "grey.rawg", work / "grey.png"});
    ASSERT_EQ(r2.exitCode, 0) << r2.err;
    EXPECT_EQ(PngRGB(work / "grey.png"), (std::vector<uint8_t>{0, 0, 0, 128, 128, 128, 255, 255, 255}));
}
