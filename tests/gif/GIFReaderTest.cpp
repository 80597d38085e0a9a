#include <gtest/gtest.h>

#include <dirent.h>

#include <cstring>
#include <functional>
#include <map>
#include <random>

#include "TestSupport.h"
#include "codecs/PngOracle.h"
#include "gif/GIFImage.h"
#include "gif/GifOracle.h"

using testing_support::messageOf;

namespace {

using Bytes = std::vector<uint8_t>;

void Append(Bytes& to, std::initializer_list<int> bytes) {
    for (int b : bytes) to.push_back(static_cast<uint8_t>(b));
}
void AppendWord(Bytes& to, int v) { Append(to, {v & 0xFF, (v >> 8) & 0xFF}); }

Bytes SubBlocks(int minimumCodeSize, const Bytes& data);

// Image data that any LZW decoder reads as the pixels themselves: minimum code size 2,
// 3-bit codes, a clear code before every pair of pixels so that the table never grows
// past 3-bit codes, and the end code; packed least significant bit first.
Bytes PlainLzw(const Bytes& pixels, bool withEnd = true) {
    std::vector<int> codes;
    for (size_t i = 0; i < pixels.size(); ++i) {
        if (i % 2 == 0) codes.push_back(4);
        codes.push_back(pixels[i]);
    }
    if (withEnd) codes.push_back(5);
    Bytes data;
    uint32_t buffer = 0;
    int bits = 0;
    for (int code : codes) {
        buffer |= static_cast<uint32_t>(code) << bits;
        bits += 3;
        while (bits >= 8) {
            data.push_back(static_cast<uint8_t>(buffer));
            buffer >>= 8;
            bits -= 8;
        }
    }
    if (bits > 0) data.push_back(static_cast<uint8_t>(buffer));
    return SubBlocks(2, data);
}

// The minimum code size byte, the code bytes in full sub-blocks, the terminator.
Bytes SubBlocks(int minimumCodeSize, const Bytes& data) {
    Bytes out = {static_cast<uint8_t>(minimumCodeSize)};
    for (size_t at = 0; at < data.size(); at += 255) {
        const size_t n = std::min<size_t>(255, data.size() - at);
        out.push_back(static_cast<uint8_t>(n));
        out.insert(out.end(), data.begin() + static_cast<ptrdiff_t>(at), data.begin() + static_cast<ptrdiff_t>(at + n));
    }
    out.push_back(0);
    return out;
}

// Real LZW for pixels below 1 << minimum, long strings included, with one clear at the
// start only: once the table is full its codes go on at 12 bits. Widths follow the
// decoder, which defines each entry one code later than the encoder.
Bytes LzwWithoutLaterClears(const Bytes& pixels, int minimum) {
    const int clear = 1 << minimum;
    std::map<std::pair<int, int>, int> table;
    int encoderNext = clear + 2, decoderNext = clear + 2, width = minimum + 1;
    uint64_t buffer = 0;
    int bits = 0;
    Bytes data;
    auto emit = [&](int code, bool defines) {
        buffer |= static_cast<uint64_t>(code) << bits;
        for (bits += width; bits >= 8; bits -= 8, buffer >>= 8) data.push_back(static_cast<uint8_t>(buffer));
        if (defines && decoderNext < 4096 && ++decoderNext >= (1 << width) && width < 12) ++width;
    };
    emit(clear, false);
    int string = pixels[0];
    for (size_t i = 1; i < pixels.size(); ++i) {
        const auto known = table.find({string, pixels[i]});
        if (known != table.end()) {
            string = known->second;
            continue;
        }
        emit(string, encoderNext > clear + 2);
        if (encoderNext < 4096) table[{string, pixels[i]}] = encoderNext++;
        string = pixels[i];
    }
    emit(string, encoderNext > clear + 2);
    emit(clear + 1, false);
    if (bits > 0) data.push_back(static_cast<uint8_t>(buffer));
    return SubBlocks(minimum, data);
}

// "GIF89a", a w x h screen with a 4-entry global table (black, red, green, blue).
Bytes Header(int w, int h, const char* signature = "GIF89a") {
    Bytes b(signature, signature + 6);
    AppendWord(b, w);
    AppendWord(b, h);
    Append(b, {0x81, 0, 0, 0, 0, 0, 255, 0, 0, 0, 255, 0, 0, 0, 255});
    return b;
}

void FrameOfData(Bytes& b, int w, int h, const Bytes& data, bool interlaced = false, int left = 0, int top = 0) {
    b.push_back(0x2C);
    AppendWord(b, left);
    AppendWord(b, top);
    AppendWord(b, w);
    AppendWord(b, h);
    Append(b, {interlaced ? 0x40 : 0});
    b.insert(b.end(), data.begin(), data.end());
}

void Frame(Bytes& b, int w, int h, const Bytes& pixels, bool interlaced = false, int left = 0, int top = 0) {
    FrameOfData(b, w, h, PlainLzw(pixels), interlaced, left, top);
}

struct Loaded {
    std::unique_ptr<TGIFImage> image = std::make_unique<TGIFImage>();
    std::vector<std::string> warnings;
};

Loaded Load(const Bytes& file) {
    Loaded result;
    result.image->WarningHandler = [w = &result.warnings](TObject*, TGIFSeverity, const std::string& m) {
        w->push_back(m);
    };
    host::TMemoryStream stream;
    stream.Write(file.data(), static_cast<int64_t>(file.size()));
    stream.SetPosition(0);
    result.image->LoadFromStream(stream);
    return result;
}

std::string LoadError(const Bytes& file) {
    return messageOf<GIFException>([&] { Load(file); });
}

Bytes FramePixels(TGIFSubImage& frame) { return Bytes(frame.Data(), frame.Data() + frame.DataSize()); }

void FindGifs(const std::string& dir, std::vector<std::string>& out) {
    for (const std::string& name : testing_support::listDirectory(dir)) {
        const std::string path = dir + "/" + name;
        if (name.size() > 4 && name.substr(name.size() - 4) == ".gif")
            out.push_back(path);
        else if (name.find('.') == std::string::npos)
            FindGifs(path, out);
    }
}

std::vector<std::string> TestdataGifs() {
    std::vector<std::string> files;
    FindGifs(testing_support::testdata("gif"), files);
    std::sort(files.begin(), files.end());
    return files;
}

Bytes MapBytes(const TGIFColorMap& map) {
    const auto* p = reinterpret_cast<const uint8_t*>(map.Data());
    return p ? Bytes(p, p + map.Count() * 3) : Bytes();
}

// The frames that carry an image (a trailing frame of extensions only has none).
std::vector<TGIFSubImage*> ImageFrames(TGIFImage& image) {
    std::vector<TGIFSubImage*> frames;
    for (int i = 0; i < image.Images().Count(); ++i)
        if (image.Images().SubImage(i)->Data()) frames.push_back(image.Images().SubImage(i));
    return frames;
}

}  // namespace

TEST(GIFReader, SignaturesAndTheLengthPrefix) {
    const Bytes body = [] {
        Bytes b = Header(2, 1);
        Frame(b, 2, 1, {1, 2});
        b.push_back(0x3B);
        return Bytes(b.begin() + 6, b.end());
    }();
    const struct {
        std::string prefix;
        std::string error;  // empty: loads
    } cases[] = {
        {"GIF89a", ""},
        {"gif87a", ""},
        {"GiF???", ""},  // the version bytes are not checked
        {std::string("\0\0\1\0", 4) + "GIF89a", ""},
        {std::string("\0\0\0\1\0", 5) + "GIF89a", "Invalid GIF signature"},
        {"PNG89a", "Invalid GIF signature"},
    };
    for (const auto& c : cases) {
        Bytes file(c.prefix.begin(), c.prefix.end());
        file.insert(file.end(), body.begin(), body.end());
        EXPECT_EQ(LoadError(file), c.error.empty() ? "<no exception>" : c.error) << c.prefix;
    }
    EXPECT_EQ(LoadError(Bytes{'G', 'I', 'F'}), "Premature end of data");
    EXPECT_EQ(LoadError(Bytes{'G', 'I', 'F', '8', '9', 'a', 1, 0, 1}), "Premature end of data");
}

TEST(GIFReader, FramesExtensionsAndTheirContents) {
    Bytes b = Header(4, 3);
    Append(b, {0, 0});                                             // zero bytes between blocks
    Append(b, {0x21, 0xFF, 11});                                   // looping, under its other name
    for (char c : std::string("ANIMEXTS1.0")) b.push_back(static_cast<uint8_t>(c));
    Append(b, {3, 1, 5, 0, 5, 2, 0, 16, 0, 0, 0});                 // 5 loops, a 4096-byte buffer
    Append(b, {0x21, 0xF9, 4, 0x09, 10, 0, 3, 0});                 // transparent index 3, delay 10
    Append(b, {0x21, 0xFE, 3, 'a', 'b', 'c', 2, 'd', 'e', 0});     // two lines of comment
    Frame(b, 4, 3, {0, 1, 2, 3, 3, 2, 1, 0, 1, 1, 1, 1});
    Append(b, {0x21, 0xFF, 11});                                   // unknown application, kept
    for (char c : std::string("PIXMORPH1.0")) b.push_back(static_cast<uint8_t>(c));
    Append(b, {2, 7, 8, 0});
    Frame(b, 2, 3, {0, 0, 2, 2, 1, 1}, true);                      // interlaced: rows 0, 2, 1
    Append(b, {0x21, 0xFE, 1, 'z', 0});                            // after the last image
    b.push_back(0x3B);

    Loaded loaded = Load(b);
    EXPECT_TRUE(loaded.warnings.empty());
    TGIFImage& image = *loaded.image;
    EXPECT_EQ(image.Width(), 4);
    EXPECT_EQ(image.Header().Version(), gv89a);
    EXPECT_EQ(MapBytes(image.GlobalColorMap()), (Bytes{0, 0, 0, 255, 0, 0, 0, 255, 0, 0, 0, 255}));
    ASSERT_EQ(image.Images().Count(), 3);

    TGIFSubImage& first = *image.Images().SubImage(0);
    ASSERT_EQ(first.Extensions().Count(), 3);
    auto* loop = dynamic_cast<TGIFAppExtNSLoop*>(first.Extensions().Extension(0));
    ASSERT_NE(loop, nullptr);
    EXPECT_EQ(loop->Loops(), 5);
    EXPECT_EQ(loop->BufferSize(), 4096u);
    EXPECT_EQ(std::string(loop->Identifier().Identifier, 8), "ANIMEXTS");
    auto* control = first.GraphicControlExtension();
    ASSERT_NE(control, nullptr);
    EXPECT_EQ(control->TransparentColorIndex(), 3);
    EXPECT_EQ(control->Delay(), 10);
    EXPECT_TRUE(first.Transparent());
    auto* comment = dynamic_cast<TGIFCommentExtension*>(first.Extensions().Extension(2));
    ASSERT_NE(comment, nullptr);
    EXPECT_EQ(comment->Text(), (TGIFText{"abc", "de"}));
    EXPECT_EQ(FramePixels(first), (Bytes{0, 1, 2, 3, 3, 2, 1, 0, 1, 1, 1, 1}));

    TGIFSubImage& second = *image.Images().SubImage(1);
    auto* unknown = dynamic_cast<TGIFUnknownAppExtension*>(second.Extensions().Extension(0));
    ASSERT_NE(unknown, nullptr);
    ASSERT_EQ(unknown->Blocks().size(), 1u);
    EXPECT_EQ(unknown->Blocks()[0].Data, (Bytes{7, 8}));
    EXPECT_TRUE(second.Interlaced());
    EXPECT_EQ(FramePixels(second), (Bytes{0, 0, 1, 1, 2, 2}));

    TGIFSubImage& last = *image.Images().SubImage(2);
    EXPECT_EQ(last.Data(), nullptr);
    ASSERT_EQ(last.Extensions().Count(), 1);
}

// Extensions cost far more kept than in the file: past 4096 in front of one image they are
// read but left out, with one warning, and the image still loads.
TEST(GIFReader, ExtensionsPastWhatAnyFileHasAreLeftOut) {
    const int cases[][2] = {{4096, 0}, {4097, 1}, {20000, 1}};  // comments, warnings
    for (const auto& [comments, warnings] : cases) {
        Bytes b = Header(2, 1);
        for (int i = 0; i < comments; ++i) Append(b, {0x21, 0xFE, 0});
        Frame(b, 2, 1, {1, 2});
        b.push_back(0x3B);
        Loaded loaded = Load(b);
        EXPECT_EQ(loaded.warnings.size(), static_cast<size_t>(warnings)) << comments;
        ASSERT_EQ(loaded.image->Images().Count(), 1) << comments;
        TGIFSubImage& frame = *loaded.image->Images().SubImage(0);
        EXPECT_EQ(frame.Extensions().Count(), 4096) << comments;
        EXPECT_EQ(FramePixels(frame), (Bytes{1, 2})) << comments;
    }
}

TEST(GIFReader, DamagedDataLoadsWhatIsThereWithWarnings) {
    const struct {
        std::string name;
        std::function<Bytes()> file;
        Bytes pixels;  // of the first frame
        std::vector<std::string> warnings;
    } cases[] = {
        {"data cut after five pixels keeps the transparent fill",
         [] {
             Bytes b = Header(8, 1);
             Append(b, {0x21, 0xF9, 4, 1, 0, 0, 3, 0});
             Append(b, {0x2C, 0, 0, 0, 0, 8, 0, 1, 0, 0});
             // Eight 3-bit codes fill three bytes exactly; no end code, no terminator.
             Bytes data = PlainLzw({1, 2, 2, 1, 1}, false);
             data.pop_back();
             b.insert(b.end(), data.begin(), data.end());
             return b;
         },
         {1, 2, 2, 1, 1, 3, 3, 3},
         {}},
        {"a sub-block longer than the file",
         [] {
             Bytes b = Header(4, 1);
             Append(b, {0x2C, 0, 0, 0, 0, 4, 0, 1, 0, 0});
             Bytes data = PlainLzw({1, 1, 1, 1});
             data[1] = 200;
             data.pop_back();
             b.insert(b.end(), data.begin(), data.end());
             return b;
         },
         {1, 1, 1, 1},
         {"Premature end of data"}},
        {"a stray block type ends the frames",
         [] {
             Bytes b = Header(2, 1);
             Frame(b, 2, 1, {3, 2});
             Append(b, {0x99, 0x3B});
             return b;
         },
         {3, 2},
         {"Unknown GIF block type", "Invalid Image trailer"}},
        {"stray bytes before the first image and between an extension and its image are skipped",
         [] {
             Bytes b = Header(2, 1);
             Append(b, {0x99, 0x21, 0xFE, 1, 'x', 0, 0x98});
             Frame(b, 2, 1, {3, 2});
             b.push_back(0x3B);
             return b;
         },
         {3, 2},
         {"Unknown GIF block type", "Invalid extension introducer"}},
        {"a frame without a size takes the screen's",
         [] {
             Bytes b = Header(2, 1);
             Frame(b, 0, 0, {2, 1});
             b.push_back(0x3B);
             return b;
         },
         {2, 1},
         {"Image exceeds Logical Screen size"}},
        {"extra codes after the last pixel are skipped",
         [] {
             Bytes b = Header(2, 1);
             Frame(b, 2, 1, {1, 2, 3, 3, 3});
             Frame(b, 1, 1, {2});
             b.push_back(0x3B);
             return b;
         },
         {1, 2},
         {}},
    };
    for (const auto& c : cases) {
        Loaded loaded = Load(c.file());
        ASSERT_GE(loaded.image->Images().Count(), 1) << c.name;
        EXPECT_EQ(FramePixels(*loaded.image->Images().SubImage(0)), c.pixels) << c.name;
        EXPECT_EQ(loaded.warnings, c.warnings) << c.name;
    }
}

// The picture draws the first frame on its logical screen: the global background colour
// where the frame does not reach (added to a local table that lacks it), the frame cut at
// the screen's edge; a screen that no data pays for gives the frame alone. The first frame is
// the first that holds an image.
TEST(GIFReader, ThePictureShowsTheFirstFrameOnItsScreen) {
    const host::TColor global[] = {host::RGB(0, 0, 0), host::RGB(255, 0, 0), host::RGB(0, 255, 0),
                                   host::RGB(0, 0, 255)};
    const struct {
        int screen, left, top, size, background, shown;
        bool whiteLocalTable, commentFrameFirst;
    } cases[] = {{32, 8, 8, 16, 2, 32, false, false}, {4, 2, 1, 4, 3, 4, false, true},
                 {6, 1, 1, 2, 3, 6, true, false}, {8192, 5, 5, 2, 3, 2, false, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.screen);
        Bytes file = Header(c.screen, c.screen);
        file[11] = static_cast<uint8_t>(c.background);
        Frame(file, c.size, c.size, Bytes(static_cast<size_t>(c.size * c.size), 1), false, c.left, c.top);
        if (c.whiteLocalTable) {  // the frame's packed fields: a 2-entry local table of white
            file[34] = 0x80;
            file.insert(file.begin() + 35, {255, 255, 255, 255, 255, 255});
        }
        if (c.commentFrameFirst) file.insert(file.begin() + 25, {0x21, 0xFE, 1, 'x', 0, 0});  // a frame without image
        host::TBitmap shown;
        shown.Assign(*Load(file).image);
        ASSERT_EQ(shown.Width(), c.shown);
        const int left = c.shown == c.screen ? c.left : 0, top = c.shown == c.screen ? c.top : 0;
        for (int y = 0; y < c.shown; ++y)
            for (int x = 0; x < c.shown; ++x) {
                const bool inFrame = x >= left && y >= top && x < left + c.size && y < top + c.size;
                const host::TColor frameColour = c.whiteLocalTable ? host::RGB(255, 255, 255) : global[1];
                ASSERT_EQ(shown.GetPixel(x, y), inFrame ? frameColour : global[c.background]) << x << "," << y;
            }
    }
}

TEST(GIFReader, HostileDataFailsCleanlyAndRestoresThePosition) {
    const struct {
        std::string name;
        std::function<Bytes()> file;
        std::string error;
    } cases[] = {
        {"a 65535 x 65535 frame in a few bytes",
         [] {
             Bytes b = Header(1, 1);
             Append(b, {0x2C, 0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0, 2, 0});
             return b;
         },
         "Premature end of data"},
        {"minimum code size 12",
         [] {
             Bytes b = Header(1, 1);
             Append(b, {0x2C, 0, 0, 0, 0, 1, 0, 1, 0, 0, 12, 1, 0, 0});
             return b;
         },
         "Invalid GIF data"},
        {"an unknown extension label",
         [] {
             Bytes b = Header(1, 1);
             Append(b, {0x21, 0x42, 0});
             return b;
         },
         "Unknown extension type"},
        {"an application block of 9 bytes",
         [] {
             Bytes b = Header(1, 1);
             Append(b, {0x21, 0xFF, 9, 1, 2, 3, 4, 5, 6, 7, 8, 9, 0});
             return b;
         },
         "Unsupported Application Extension block size"},
        {"a loop block too short for its count",
         [] {
             Bytes b = Header(1, 1);
             Append(b, {0x21, 0xFF, 11, 'N', 'E', 'T', 'S', 'C', 'A', 'P', 'E', '2', '.', '0', 2, 1, 0, 0});
             return b;
         },
         "Invalid GIF data"},
        {"a local colour table cut short",
         [] {
             Bytes b = Header(1, 1);
             Append(b, {0x2C, 0, 0, 0, 0, 1, 0, 1, 0, 0x87, 1, 2, 3});
             return b;
         },
         "Premature end of data"},
    };
    for (const auto& c : cases) {
        const Bytes file = c.file();
        host::TMemoryStream stream;
        Append(stream.Data(), {7, 7, 7});
        stream.Data().insert(stream.Data().end(), file.begin(), file.end());
        stream.SetPosition(3);
        TGIFImage image;
        EXPECT_EQ(messageOf<GIFException>([&] { image.LoadFromStream(stream); }), c.error) << c.name;
        EXPECT_EQ(stream.GetPosition(), 3) << c.name;
    }
    // Larger application blocks than the standard's are kept as unknown ones.
    Bytes b = Header(1, 1);
    Append(b, {0x21, 0xFF, 12, 'A', 'B', 'C', 'D', 'E', 'F', 'G', 'H', '1', '2', '3', 'x', 1, 9, 0});
    Frame(b, 1, 1, {1});
    b.push_back(0x3B);
    Loaded loaded = Load(b);
    ASSERT_EQ(loaded.image->Images().Count(), 1);
    auto* unknown = dynamic_cast<TGIFUnknownAppExtension*>(loaded.image->Images().SubImage(0)->Extensions().Extension(0));
    ASSERT_NE(unknown, nullptr);
    EXPECT_EQ(unknown->Blocks()[0].Data, (Bytes{9}));
}

// Every test file against giflib's decoding: screen, colour maps, frame placement and indices.
TEST(GIFReader, EveryTestFileDecodesAsGiflibDoes) {
    PIXMORPH_REQUIRE_TESTDATA();
#ifndef PIXMORPH_HAVE_GIFLIB
    GTEST_SKIP() << "giflib not available";
#endif
    const auto files = TestdataGifs();
    ASSERT_GE(files.size(), 30u);
    for (const std::string& path : files) {
        SCOPED_TRACE(path);
        const Bytes file = testing_support::readFile(path);
        const gif_oracle::Decoded expected = gif_oracle::Decode(file);
        TGIFImage image;
        if (!expected.ok) {
            // giflib refuses it (a damaged file): we either load what is there or refuse cleanly.
            try {
                image.LoadFromFile(path);
            } catch (const GIFException&) {
            }
            continue;
        }
        image.LoadFromFile(path);
        EXPECT_EQ(image.Width(), expected.screenWidth);
        EXPECT_EQ(image.Height(), expected.screenHeight);
        EXPECT_EQ(MapBytes(image.GlobalColorMap()), expected.globalMap);
        const auto frames = ImageFrames(image);
        ASSERT_EQ(frames.size(), expected.frames.size());
        for (size_t i = 0; i < frames.size(); ++i) {
            const gif_oracle::Frame& e = expected.frames[i];
            TGIFSubImage& f = *frames[i];
            EXPECT_EQ(f.Left(), e.left) << i;
            EXPECT_EQ(f.Top(), e.top) << i;
            ASSERT_EQ(f.Width(), e.width) << i;
            ASSERT_EQ(f.Height(), e.height) << i;
            EXPECT_EQ(f.Interlaced(), e.interlaced) << i;
            EXPECT_EQ(MapBytes(f.ColorMap()), e.localMap) << i;
            EXPECT_TRUE(FramePixels(f) == e.pixels) << "frame " << i << " pixels differ";
            const int transparent = f.Transparent() ? f.GraphicControlExtension()->TransparentColorIndex() : -1;
            EXPECT_EQ(transparent, e.transparentIndex) << i;
        }
    }
}

// Strings far longer than a word, cut by the ends of interlaced rows, and tables that fill
// up and go on at 12 bits without a clear, over more data than is gathered at once.
TEST(GIFReader, LongStringsRowEndsAndFullTablesDecodeAsGiflibDoes) {
#ifndef PIXMORPH_HAVE_GIFLIB
    GTEST_SKIP() << "giflib not available";
#endif
    const struct {
        int width, height;
        bool interlaced;
        int minimum, colours, longestRun;
    } cases[] = {{300, 200, false, 8, 256, 1},  {300, 200, true, 8, 256, 1},  {500, 120, false, 2, 3, 900},
                 {7, 9, true, 2, 4, 40},         {1, 13, true, 2, 2, 5},        {64, 64, true, 3, 5, 200},
                 {1000, 30, true, 8, 256, 2}};
    std::mt19937 random(11);
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.width) + "x" + std::to_string(c.height));
        Bytes pixels;
        while (pixels.size() < static_cast<size_t>(c.width) * c.height)
            pixels.insert(pixels.end(), 1 + random() % c.longestRun, static_cast<uint8_t>(random() % c.colours));
        pixels.resize(static_cast<size_t>(c.width) * c.height);
        Bytes file = Header(c.width, c.height);
        FrameOfData(file, c.width, c.height, LzwWithoutLaterClears(pixels, c.minimum), c.interlaced);
        file.push_back(0x3B);
        const gif_oracle::Decoded expected = gif_oracle::Decode(file);
        ASSERT_TRUE(expected.ok) << expected.error;
        Loaded loaded = Load(file);
        EXPECT_TRUE(loaded.warnings.empty());
        EXPECT_TRUE(FramePixels(*loaded.image->Images().SubImage(0)) == expected.frames[0].pixels);
    }
}

// Single-image files covering the screen against giflib's and image-rs's reference renderings.
TEST(GIFReader, ReferenceRenderingsThroughTheColourMaps) {
    PIXMORPH_REQUIRE_TESTDATA();
    int compared = 0;
    for (const std::string& path : TestdataGifs()) {
        SCOPED_TRACE(path);
        TGIFImage image;
        try {
            image.LoadFromFile(path);
        } catch (const GIFException&) {
            continue;
        }
        const auto frames = ImageFrames(image);
        if (frames.empty()) continue;
        TGIFSubImage& f = *frames[0];
        const std::string name = path.substr(path.rfind('/') + 1, path.size() - path.rfind('/') - 5);
        const std::string rgb = testing_support::testdata("gif/giflib/expected/" + name + ".rgb");
        const std::string dir = path.find("/anim/") != std::string::npos ? "anim" : "simple";
        const std::string png = testing_support::testdata("gif/image-rs/reference/" + dir + "/" + name + ".gif.png");
        TGIFColorMap& map = f.EffectiveColorMap();
        auto colorAt = [&](int x, int y) {
            const auto* c = reinterpret_cast<const uint8_t*>(map.Data()) + 3 * f.Data()[y * f.Width() + x];
            return Bytes{c[0], c[1], c[2]};
        };
        if (frames.size() == 1 && f.Width() == image.Width() && f.Height() == image.Height() &&
            testing_support::fileExists(rgb)) {
            const Bytes expected = testing_support::readFile(rgb);
            ASSERT_EQ(expected.size(), static_cast<size_t>(f.Width()) * f.Height() * 3);
            for (int y = 0; y < f.Height(); ++y)
                for (int x = 0; x < f.Width(); ++x)
                    ASSERT_EQ(colorAt(x, y), Bytes(expected.begin() + (y * f.Width() + x) * 3,
                                                   expected.begin() + (y * f.Width() + x) * 3 + 3))
                        << x << "," << y;
            ++compared;
        } else if (testing_support::fileExists(png) && f.Left() == 0 && f.Top() == 0 &&
                   f.Width() >= image.Width() && f.Height() >= image.Height()) {
            const png_oracle::Decoded expected = png_oracle::Decode(testing_support::readFile(png));
            ASSERT_TRUE(expected.ok) << expected.error;
            ASSERT_EQ(expected.channels, 4);
            const int transparent = f.Transparent() ? f.GraphicControlExtension()->TransparentColorIndex() : -1;
            for (uint32_t y = 0; y < expected.height; ++y)
                for (uint32_t x = 0; x < expected.width; ++x) {
                    const uint8_t* px = expected.rows[y].data() + x * 4;
                    if (px[3] == 0) {
                        ASSERT_EQ(f.Data()[y * f.Width() + x], transparent) << x << "," << y;
                    } else {
                        ASSERT_EQ(colorAt(static_cast<int>(x), static_cast<int>(y)), Bytes(px, px + 3)) << x << "," << y;
                    }
                }
            ++compared;
        }
    }
    EXPECT_GE(compared, 6);
}

// Loading, writing with the writer and loading again keeps frames, extensions and loops.
TEST(GIFReader, RoundTripThroughTheWriter) {
    PIXMORPH_REQUIRE_TESTDATA();
    int compared = 0;
    for (const std::string& path : TestdataGifs()) {
        SCOPED_TRACE(path);
        TGIFImage first;
        try {
            first.LoadFromFile(path);
        } catch (const GIFException&) {
            continue;
        }
        if (first.Images().Count() == 0) continue;  // nothing to write
        host::TMemoryStream stream;
        first.SaveToStream(stream);
        stream.SetPosition(0);
        TGIFImage second;
        second.LoadFromStream(stream);
        ASSERT_EQ(second.Images().Count(), first.Images().Count());
        for (int i = 0; i < first.Images().Count(); ++i) {
            TGIFSubImage& a = *first.Images().SubImage(i);
            TGIFSubImage& b = *second.Images().SubImage(i);
            ASSERT_EQ(a.Width(), b.Width());
            ASSERT_EQ(a.Height(), b.Height());
            EXPECT_EQ(a.Left(), b.Left());
            EXPECT_EQ(a.Interlaced(), b.Interlaced());
            if (a.Data()) {
                EXPECT_TRUE(FramePixels(a) == FramePixels(b)) << "frame " << i;
            }
            ASSERT_EQ(a.Extensions().Count(), b.Extensions().Count());
            for (int e = 0; e < a.Extensions().Count(); ++e) {
                TGIFExtension* x = a.Extensions().Extension(e);
                TGIFExtension* y = b.Extensions().Extension(e);
                EXPECT_STREQ(x->ClassName(), y->ClassName());
                if (auto* loop = dynamic_cast<TGIFAppExtNSLoop*>(x)) {
                    EXPECT_EQ(loop->Loops(), dynamic_cast<TGIFAppExtNSLoop*>(y)->Loops());
                }
                if (auto* control = dynamic_cast<TGIFGraphicControlExtension*>(x)) {
                    EXPECT_EQ(std::memcmp(&control->Block(), &dynamic_cast<TGIFGraphicControlExtension*>(y)->Block(),
                                          sizeof(TGraphicControlBlock)),
                              0);
                }
            }
            // Colours as the pixels see them.
            TGIFColorMap& ma = a.EffectiveColorMap();
            TGIFColorMap& mb = b.EffectiveColorMap();
            if (a.Data() && ma.Count() > 0)
                for (int64_t p = 0; p < a.DataSize(); p += 97)
                    if (a.Data()[p] < ma.Count()) {
                        EXPECT_EQ(ma.Colors(a.Data()[p]), mb.Colors(b.Data()[p]));
                    }
        }
        ++compared;
    }
    EXPECT_GE(compared, 25);
}
