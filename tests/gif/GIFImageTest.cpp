// The GIF object model and writer: files laid out byte for byte as worked out by hand,
// and read back by giflib.
#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "TestSupport.h"
#include "gif/GIFImage.h"
#include "gif/GifOracle.h"

using testing_support::messageOf;

namespace {

using Bytes = std::vector<uint8_t>;

Bytes Save(TGIFImage& image) {
    host::TMemoryStream stream;
    image.SaveToStream(stream);
    return stream.Data();
}

// An indexed bitmap whose pixel at (x, y) is index(x, y), with the given palette.
std::unique_ptr<host::TBitmap> IndexedBitmap(host::TPixelFormat format, int width, int height,
                                             const std::vector<host::TPaletteEntry>& palette,
                                             const std::function<int(int, int)>& index) {
    auto bitmap = std::make_unique<host::TBitmap>();
    bitmap->NewImage(format, width, height);
    const auto handle = host::CreatePalette(palette.data(), static_cast<int>(palette.size()));
    bitmap->SetPalette(handle.get());
    const int bits = format == host::pf1bit ? 1 : format == host::pf4bit ? 4 : 8;
    for (int y = 0; y < height; ++y) {
        uint8_t* line = bitmap->ScanLine(y);
        for (int x = 0; x < width; ++x) {
            const int v = index(x, y);
            const int bit = x * bits;
            line[bit / 8] |= static_cast<uint8_t>(v << (8 - bits - bit % 8));
        }
    }
    return bitmap;
}

std::vector<host::TPaletteEntry> SomePalette(int count) {
    std::vector<host::TPaletteEntry> palette(static_cast<size_t>(count));
    for (int i = 0; i < count; ++i)
        palette[i] = {static_cast<uint8_t>(i * 3), static_cast<uint8_t>(255 - i), static_cast<uint8_t>(i * 7 + 1), 0};
    return palette;
}

Bytes PaletteBytes(const std::vector<host::TPaletteEntry>& palette, size_t entries) {
    Bytes bytes(entries * 3, 0);
    for (size_t i = 0; i < palette.size(); ++i) {
        bytes[3 * i] = palette[i].peRed;
        bytes[3 * i + 1] = palette[i].peGreen;
        bytes[3 * i + 2] = palette[i].peBlue;
    }
    return bytes;
}

struct Warnings {
    std::vector<std::string> messages;
    TGIFWarning Handler() {
        return [this](TObject*, TGIFSeverity severity, const std::string& message) {
            EXPECT_EQ(severity, gsWarning);
            messages.push_back(message);
        };
    }
};

}  // namespace

TEST(GIFImage, SavingAnImageWithoutFramesFailsBeforeWritingAnything) {
    TGIFImage image;
    host::TMemoryStream stream;
    std::vector<std::pair<TProgressStage, int>> progress;
    image.OnProgress = [&](TObject*, TProgressStage stage, int percent, const std::string& message) {
        EXPECT_EQ(message, "Saving...");
        progress.emplace_back(stage, percent);
    };
    EXPECT_EQ(messageOf<GIFException>([&] { image.SaveToStream(stream); }), "Unsupported GIF version");
    EXPECT_TRUE(stream.Data().empty());
    EXPECT_EQ(progress, (std::vector<std::pair<TProgressStage, int>>{{psStarting, 0}, {psEnding, 0}}));
}

#ifdef PIXMORPH_HAVE_GIFLIB

TEST(GIFImage, IndexedBitmapsKeepTheirIndicesAndPalettesWithTheirPackedFields) {
    struct Case {
        const char* what;
        host::TPixelFormat format;
        int paletteSize;
        int width, height;
        uint8_t screenPacked, framePacked;
        size_t tableEntries;
        uint8_t codeSize;
    };
    const Case cases[] = {
        {"1 bit", host::pf1bit, 2, 19, 7, 0x00, 0x80, 2, 2},
        {"1 bit, one colour", host::pf1bit, 1, 8, 3, 0x00, 0x80, 2, 2},
        {"4 bits", host::pf4bit, 16, 33, 5, 0x33, 0x83, 16, 4},
        {"4 bits, 5 colours", host::pf4bit, 5, 3, 3, 0x22, 0x82, 8, 3},
        {"8 bits, 200 colours", host::pf8bit, 200, 300, 11, 0x77, 0x87, 256, 8},
        {"8 bits, 256 colours", host::pf8bit, 256, 1, 1, 0x77, 0x87, 256, 8},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const auto palette = SomePalette(c.paletteSize);
        auto index = [&](int x, int y) { return (x * 7 + y * 3) % c.paletteSize; };
        auto bitmap = IndexedBitmap(c.format, c.width, c.height, palette, index);
        TGIFImage image;
        image.Assign(*bitmap);
        const Bytes file = Save(image);

        ASSERT_GE(file.size(), 13u + 10 + c.tableEntries * 3);
        EXPECT_EQ(std::string(file.begin(), file.begin() + 6), "GIF87a");
        EXPECT_EQ(file[6] | file[7] << 8, c.width);
        EXPECT_EQ(file[8] | file[9] << 8, c.height);
        EXPECT_EQ(file[10], c.screenPacked);
        EXPECT_EQ(file[11], 0);
        EXPECT_EQ(file[12], 0);
        const Bytes descriptor = {0x2C, 0, 0, 0, 0, static_cast<uint8_t>(c.width), static_cast<uint8_t>(c.width >> 8),
                                  static_cast<uint8_t>(c.height), static_cast<uint8_t>(c.height >> 8), c.framePacked};
        EXPECT_EQ(Bytes(file.begin() + 13, file.begin() + 23), descriptor);
        const size_t tableEnd = 23 + c.tableEntries * 3;
        EXPECT_EQ(Bytes(file.begin() + 23, file.begin() + static_cast<long>(tableEnd)),
                  PaletteBytes(palette, c.tableEntries));
        EXPECT_EQ(file[tableEnd], c.codeSize);
        EXPECT_EQ(file.back(), 0x3B);

        const gif_oracle::Decoded decoded = gif_oracle::Decode(file);
        ASSERT_TRUE(decoded.ok) << decoded.error;
        ASSERT_EQ(decoded.frames.size(), 1u);
        for (int y = 0; y < c.height; ++y)
            for (int x = 0; x < c.width; ++x)
                ASSERT_EQ(decoded.frames[0].pixels[static_cast<size_t>(y * c.width + x)], index(x, y))
                    << x << "," << y;
    }
}

TEST(GIFImage, TransparentBitmapsGetABlackEntryForTheirMaskAndAGraphicControlBlock) {
    // Colour 2 is the transparent one; the map is sorted by use first, so the most used
    // colour comes first and the entry for the mask is the one behind the last used colour.
    const auto palette = SomePalette(4);
    auto index = [](int x, int y) { return x < 5 ? 1 : (x + y) % 3 == 0 ? 2 : 3; };
    auto bitmap = IndexedBitmap(host::pf8bit, 12, 6, palette, index);
    bitmap->SetTransparent(true);
    bitmap->SetTransparentColor(host::RGB(palette[2].peRed, palette[2].peGreen, palette[2].peBlue));
    TGIFImage image;
    image.Assign(*bitmap);
    const Bytes file = Save(image);
    EXPECT_EQ(std::string(file.begin(), file.begin() + 6), "GIF89a");
    const gif_oracle::Decoded decoded = gif_oracle::Decode(file);
    ASSERT_TRUE(decoded.ok) << decoded.error;
    const gif_oracle::Frame& frame = decoded.frames.at(0);
    ASSERT_GE(frame.transparentIndex, 0);
    const int t = frame.transparentIndex;
    ASSERT_LT(static_cast<size_t>(3 * t + 2), frame.localMap.size());
    EXPECT_EQ(frame.localMap[3 * t] | frame.localMap[3 * t + 1] | frame.localMap[3 * t + 2], 0) << "black";
    for (int y = 0; y < 6; ++y)
        for (int x = 0; x < 12; ++x) {
            const int got = frame.pixels[static_cast<size_t>(y * 12 + x)];
            const int want = index(x, y);
            if (want == 2) {
                EXPECT_EQ(got, t);
            } else {
                ASSERT_NE(got, t);
                EXPECT_EQ(frame.localMap[3 * got], palette[want].peRed);
                EXPECT_EQ(frame.localMap[3 * got + 1], palette[want].peGreen);
                EXPECT_EQ(frame.localMap[3 * got + 2], palette[want].peBlue);
            }
        }
    // Colour 0 is used by no pixel: sorting cut it; 1 (30 pixels), 3 (28) and 2 (14) stay,
    // and black comes behind them.
    EXPECT_EQ(t, 3);
}

TEST(GIFImage, TrueColourBitmapsWithoutReductionKeepEveryColourUpTo256) {
    auto bitmap = std::make_unique<host::TBitmap>();
    bitmap->NewImage(host::pf24bit, 16, 17);
    auto colour = [](int x, int y) { return host::RGB(uint8_t(x * 16), uint8_t(y * 15), uint8_t(200 - x)); };
    for (int y = 0; y < 16; ++y)
        for (int x = 0; x < 16; ++x) bitmap->SetPixel(x, y, colour(x, y));
    for (int x = 0; x < 16; ++x) bitmap->SetPixel(x, 16, colour(x, 0));
    TGIFImage image;
    image.ReductionMethod = 0;
    image.Assign(*bitmap);
    const gif_oracle::Decoded decoded = gif_oracle::Decode(Save(image));
    ASSERT_TRUE(decoded.ok) << decoded.error;
    const gif_oracle::Frame& frame = decoded.frames.at(0);
    EXPECT_EQ(frame.localMap.size(), 256u * 3);
    for (int y = 0; y < 17; ++y)
        for (int x = 0; x < 16; ++x) {
            const int i = frame.pixels[static_cast<size_t>(y * 16 + x)];
            const host::TColor c = colour(x, y % 16);
            ASSERT_EQ(host::RGB(frame.localMap[3 * i], frame.localMap[3 * i + 1], frame.localMap[3 * i + 2]), c)
                << x << "," << y;
        }

    bitmap->SetPixel(3, 16, host::RGB(1, 2, 3));  // the 257th colour
    EXPECT_EQ(messageOf<GIFException>([&] { image.Assign(*bitmap); }), "Color table overflow");
    EXPECT_EQ(image.Images().Count(), 0) << "a frame that failed is left out";
}

TEST(GIFImage, GlobalAndLocalMapsSizeTheScreenTableTogether) {
    const auto palette = SomePalette(256);
    auto bitmap = IndexedBitmap(host::pf8bit, 4, 4, palette, [](int x, int y) { return x + 4 * y; });
    TGIFImage image;
    image.Assign(*bitmap);
    for (int i = 0; i < 4; ++i) image.GlobalColorMap().AddColor(host::RGB(uint8_t(i), 9, 9));
    const Bytes file = Save(image);
    EXPECT_EQ(file[10], 0x80 | 0x70 | 0x07);
    EXPECT_EQ(file[13], 0);
    EXPECT_EQ(file[13 + 3 * 3], 3);
    // Four colours, then zero entries up to 256.
    EXPECT_EQ(Bytes(file.begin() + 13 + 12, file.begin() + 13 + 768), Bytes(768 - 12, 0));
    EXPECT_EQ(file[13 + 768], 0x2C);
    const gif_oracle::Decoded decoded = gif_oracle::Decode(file);
    ASSERT_TRUE(decoded.ok) << decoded.error;
    EXPECT_EQ(decoded.globalMap.size(), 768u);
}

#endif  // PIXMORPH_HAVE_GIFLIB

TEST(GIFImage, ExtensionsAndSortedMapsNeedVersion89aAndWriteTheirBlocks) {
    const auto palette = SomePalette(2);
    auto bitmap = IndexedBitmap(host::pf1bit, 2, 1, palette, [](int x, int) { return x; });
    TGIFImage image;
    image.Assign(*bitmap);
    EXPECT_EQ(image.RequiredVersion(), gv87a);
    TGIFSubImage& frame = *image.Images().SubImage(0);
    frame.ColorMap().SetOptimized(true);
    EXPECT_EQ(image.RequiredVersion(), gv89a);
    frame.ColorMap().SetOptimized(false);

    struct Case {
        const char* what;
        std::function<std::unique_ptr<TGIFExtension>(TGIFSubImage*)> make;
        Bytes bytes;
    };
    const Case cases[] = {
        {"graphic control",
         [](TGIFSubImage* f) {
             auto e = std::make_unique<TGIFGraphicControlExtension>(f);
             e->SetDelay(0x1234);
             e->SetDisposal(dmBackground);
             e->SetTransparent(true);
             e->SetTransparentColorIndex(1);
             return e;
         },
         {0x21, 0xF9, 4, 0x09, 0x34, 0x12, 1, 0}},
        {"looping",
         [](TGIFSubImage* f) {
             auto e = std::make_unique<TGIFAppExtNSLoop>(f);
             e->SetLoops(3);
             return e;
         },
         {0x21, 0xFF, 11, 'N', 'E', 'T', 'S', 'C', 'A', 'P', 'E', '2', '.', '0', 3, 1, 3, 0, 0}},
        {"looping with a buffer size",
         [](TGIFSubImage* f) {
             auto e = std::make_unique<TGIFAppExtNSLoop>(f);
             e->SetBufferSize(0x01020304);
             return e;
         },
         {0x21, 0xFF, 11, 'N', 'E', 'T', 'S', 'C', 'A', 'P', 'E', '2', '.', '0', 3, 1, 0, 0, 5, 2, 4, 3, 2, 1, 0}},
        {"unknown application",
         [](TGIFSubImage* f) {
             auto e = std::make_unique<TGIFUnknownAppExtension>(f);
             e->SetIdentifier("ABCDEFGH123");
             e->Blocks().push_back({{7, 8}});
             return e;
         },
         {0x21, 0xFF, 11, 'A', 'B', 'C', 'D', 'E', 'F', 'G', 'H', '1', '2', '3', 2, 7, 8, 0}},
        {"comment",
         [](TGIFSubImage* f) {
             auto e = std::make_unique<TGIFCommentExtension>(f);
             e->Text() = {"hi", "", "yo"};
             return e;
         },
         {0x21, 0xFE, 2, 'h', 'i', 2, 'y', 'o', 0}},
        {"plain text",
         [](TGIFSubImage* f) {
             auto e = std::make_unique<TGIFTextExtension>(f);
             e->Block().Left = 0x0102;
             e->Block().CellWidth = 8;
             e->Block().TextBGColorIndex = 1;
             e->Text() = {"A"};
             return e;
         },
         {0x21, 0x01, 12, 2, 1, 0, 0, 0, 0, 0, 0, 8, 0, 0, 1, 1, 'A', 0}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        frame.Extensions().Clear();
        frame.Extensions().Add(c.make(&frame));
        EXPECT_EQ(image.RequiredVersion(), gv89a);
        const Bytes file = Save(image);
        EXPECT_EQ(std::string(file.begin(), file.begin() + 6), "GIF89a");
        // The extension stands right before the image descriptor, after the screen.
        ASSERT_GE(file.size(), 13 + c.bytes.size());
        EXPECT_EQ(Bytes(file.begin() + 13, file.begin() + 13 + static_cast<long>(c.bytes.size())), c.bytes);
        EXPECT_EQ(file[13 + c.bytes.size()], 0x2C);
    }
}

TEST(GIFImage, CommentLinesGoOutInSubBlocksOfAtMost255Bytes) {
    TGIFImage image;
    const auto palette = SomePalette(2);
    auto bitmap = IndexedBitmap(host::pf1bit, 1, 1, palette, [](int, int) { return 0; });
    image.Assign(*bitmap);
    TGIFSubImage& frame = *image.Images().SubImage(0);
    auto comment = std::make_unique<TGIFCommentExtension>(&frame);
    comment->Text() = {std::string(600, 'c')};
    frame.Extensions().Add(std::move(comment));
    const Bytes file = Save(image);
    ASSERT_GT(file.size(), 15u + 603);
    EXPECT_EQ(file[15], 255);
    EXPECT_EQ(file[15 + 256], 255);
    EXPECT_EQ(file[15 + 512], 90);
    EXPECT_EQ(file[15 + 603], 0);
    EXPECT_EQ(file[16 + 603], 0x2C);
}

TEST(GIFImage, FramesGrowTheScreenAndWarnWhenItWasAlreadySet) {
    TGIFImage image;
    Warnings warnings;
    image.WarningHandler = warnings.Handler();
    auto frame = std::make_unique<TGIFSubImage>(&image);
    frame->SetFrameBounds(0, 0, 10, 5);
    EXPECT_TRUE(warnings.messages.empty()) << "an unset screen grows silently";
    EXPECT_EQ(image.Width(), 10);
    EXPECT_EQ(image.Height(), 5);
    frame->SetFrameBounds(4, 0, 10, 5);
    EXPECT_EQ(warnings.messages,
              (std::vector<std::string>{"Image width too small for contained frames", "Image exceeds Logical Screen size"}));
    warnings.messages.clear();
    frame->SetFrameBounds(0, 2, 3, 7);
    EXPECT_EQ(warnings.messages, (std::vector<std::string>{"Image height too small for contained frames",
                                                           "Image exceeds Logical Screen size"}));
    EXPECT_EQ(image.Width(), 14);
    EXPECT_EQ(image.Height(), 9);
    EXPECT_EQ(frame->DataSize(), 21);
    EXPECT_EQ(messageOf<GIFException>([&] { frame->PixelRow(7); }), "Invalid pixel coordinates");
    EXPECT_EQ(messageOf<GIFException>([&] { frame->Pixels(3, 0); }), "Invalid pixel coordinates");
    EXPECT_EQ(messageOf<GIFException>([&] { frame->PixelRow(-1); }), "Invalid pixel coordinates");
    // GIF sizes are 16-bit: a frame that cannot be described is refused.
    EXPECT_EQ(messageOf<ELinearBitmap>([&] { frame->SetFrameBounds(0, 0, 70000, 1); }), "Invalid bitmap size");
    EXPECT_EQ(messageOf<ELinearBitmap>([&] { frame->SetFrameBounds(65000, 0, 1000, 1); }), "Invalid bitmap size");
}

TEST(GIFImage, AFrameWithALocalTableIsNeverMarkedInterlaced) {
    const auto palette = SomePalette(4);
    auto bitmap = IndexedBitmap(host::pf8bit, 3, 9, palette, [](int x, int y) { return (x + y) % 4; });
    TGIFImage image;
    image.Assign(*bitmap);
    TGIFSubImage& frame = *image.Images().SubImage(0);
    frame.SetInterlaced(true);
    Bytes file = Save(image);
    EXPECT_EQ(file[13 + 9], 0x81);
    // Without a local table the frame uses the global one and keeps its interlace flag.
    for (int i = 0; i < 4; ++i) image.GlobalColorMap().AddColor(frame.ColorMap().Colors(i));
    frame.ColorMap().Clear();
    frame.SetInterlaced(true);
    file = Save(image);
    EXPECT_EQ(file[10], 0x80 | 0x10 | 0x01);
    EXPECT_EQ(file[13 + 12 + 9], 0x40);
#ifdef PIXMORPH_HAVE_GIFLIB
    const gif_oracle::Decoded decoded = gif_oracle::Decode(file);
    ASSERT_TRUE(decoded.ok) << decoded.error;
    EXPECT_TRUE(decoded.frames.at(0).interlaced);
    for (int y = 0; y < 9; ++y)
        for (int x = 0; x < 3; ++x) EXPECT_EQ(decoded.frames[0].pixels[static_cast<size_t>(y * 3 + x)], (x + y) % 4);
#endif
}

TEST(GIFColorMap, GrowsFindsDeletesAndCountsBits) {
    TGIFImage image;
    TGIFSubImage frame(&image);
    TGIFLocalColorMap& map = frame.ColorMap();
    Warnings warnings;
    image.WarningHandler = warnings.Handler();
    EXPECT_EQ(map.ColorBits(), 0);
    EXPECT_EQ(messageOf<GIFException>([&] { map.Colors(0); }), "Color table is empty");
    struct Step {
        int count, capacity, bits;
    } const steps[] = {{1, 16, 1}, {2, 16, 1}, {3, 16, 2}, {16, 16, 4}, {17, 32, 5}, {33, 64, 6},
                       {128, 128, 7}, {129, 160, 8}, {250, 256, 8}, {256, 256, 8}};
    int added = 0;
    for (const Step& s : steps) {
        for (; added < s.count; ++added) EXPECT_EQ(map.AddColor(host::RGB(uint8_t(added), 0, 0)), added);
        EXPECT_EQ(map.Capacity(), s.capacity) << s.count;
        EXPECT_EQ(map.ColorBits(), s.bits) << s.count;
    }
    EXPECT_EQ(messageOf<GIFException>([&] { map.AddColor(0); }), "Color table overflow");
    EXPECT_EQ(messageOf<GIFException>([&] { map.DeleteColor(256); }), "Invalid color index");
    EXPECT_EQ(messageOf<GIFException>([&] { map.DeleteColor(-1); }), "Invalid color index");

    map.Clear();
    for (host::TColor c : {0x010203, 0x040506, 0x010203}) map.AddColor(c);
    EXPECT_EQ(map.FindColor(0x010203), 2) << "an unsorted map is searched from the back";
    map.SetOptimized(true);
    EXPECT_EQ(map.FindColor(0x010203), 0) << "a sorted map from the front";
    EXPECT_EQ(map.FindColor(0x010204), -1);
    map.DeleteColor(0);
    EXPECT_FALSE(map.Optimized());
    EXPECT_EQ(map.Count(), 2);
    EXPECT_EQ(map.Colors(0), 0x040506);
    EXPECT_EQ(map.FindOrAddColor(0x777777), 2);
    EXPECT_EQ(map.Colors(9), 0x040506) << "an index outside the map reads entry 0";
    EXPECT_EQ(warnings.messages, (std::vector<std::string>{"Invalid color index"}));
}

TEST(GIFColorMap, SortByUsePutsTheMostUsedFirstAndDropsUnusedColours) {
    TGIFImage image;
    auto frame = std::make_unique<TGIFSubImage>(&image);
    frame->SetFrameBounds(0, 0, 9, 1);
    for (host::TColor c : {0xA, 0xB, 0xC, 0xD}) frame->ColorMap().AddColor(c);
    // Uses: A once, B five times, C never, D three times.
    const Bytes pixels = {1, 3, 1, 0, 1, 3, 1, 3, 1};
    std::memcpy(frame->Data(), pixels.data(), pixels.size());
    auto control = std::make_unique<TGIFGraphicControlExtension>(frame.get());
    control->SetTransparentColorIndex(3);
    frame->Extensions().Add(std::move(control));
    frame->ColorMap().SortByUse();
    EXPECT_TRUE(frame->ColorMap().Optimized());
    ASSERT_EQ(frame->ColorMap().Count(), 3);
    EXPECT_EQ(frame->ColorMap().Colors(0), 0xB);
    EXPECT_EQ(frame->ColorMap().Colors(1), 0xD);
    EXPECT_EQ(frame->ColorMap().Colors(2), 0xA);
    EXPECT_EQ(Bytes(frame->Data(), frame->Data() + 9), (Bytes{0, 1, 0, 2, 0, 1, 0, 1, 0}));
    EXPECT_EQ(frame->GraphicControlExtension()->TransparentColorIndex(), 1) << "D moved to 1";
}

TEST(GIFImage, AssignCopiesAnotherImageAndRefusesWhatItCannotTake) {
    const auto palette = SomePalette(3);
    auto bitmap = IndexedBitmap(host::pf8bit, 5, 2, palette, [](int x, int) { return x % 3; });
    TGIFImage source;
    source.ReductionMethod = 3;
    source.EncoderKind = GIFEncoderRLE;
    source.Assign(*bitmap);
    source.Add(*bitmap);
    auto comment = std::make_unique<TGIFCommentExtension>(source.Images().SubImage(1));
    comment->Text() = {"x"};
    source.Images().SubImage(1)->Extensions().Add(std::move(comment));

    TGIFImage copy;
    int copying = 0;
    // The handlers come along with the copy.
    source.OnProgress = [&](TObject*, TProgressStage, int, const std::string& message) {
        copying += message == "Copying...";
    };
    copy.Assign(source);
    EXPECT_EQ(copy.ReductionMethod, 3);
    EXPECT_EQ(copy.EncoderKind, GIFEncoderLZW) << "the encoder stays the target's";
    EXPECT_GE(copying, 2);
    ASSERT_EQ(copy.Images().Count(), 2);
    EXPECT_EQ(copy.Images().SubImage(1)->Extensions().Count(), 1);
    source.EncoderKind = GIFEncoderLZW;
    EXPECT_EQ(Save(copy), Save(source));

    host::TPicture picture;
    EXPECT_EQ(messageOf<EConvertError>([&] { copy.Assign(picture); }), "Cannot assign a TPicture to a TGIFImage");
}

TEST(GIFImage, ProgressIsReportedWhileConvertingAndSaving) {
    const auto palette = SomePalette(2);
    auto bitmap = IndexedBitmap(host::pf1bit, 3, 70, palette, [](int x, int y) { return (x + y) % 2; });
    TGIFImage image;
    std::vector<std::string> events;
    image.OnProgress = [&](TObject*, TProgressStage stage, int percent, const std::string& message) {
        events.push_back(message + " " + std::to_string(stage) + " " + std::to_string(percent));
    };
    image.Assign(*bitmap);
    image.Add(*bitmap);
    Save(image);
    // Rows 0, 32 and 64 of 70 while converting; one step per frame while saving.
    const std::vector<std::string> converting = {"Converting... 0 0", "Converting... 1 0", "Converting... 1 45",
                                                 "Converting... 1 91", "Converting... 2 100"};
    std::vector<std::string> expected = converting;
    expected.insert(expected.end(), converting.begin(), converting.end());
    expected.insert(expected.end(), {"Saving... 0 0", "Saving... 1 50", "Saving... 1 100", "Saving... 2 100"});
    EXPECT_EQ(events, expected);
}

TEST(GIFImage, TheFirstFrameGoesToABitmapWithItsColours) {
    const auto palette = SomePalette(5);
    auto bitmap = IndexedBitmap(host::pf8bit, 6, 4, palette, [](int x, int y) { return (x * y) % 5; });
    TGIFImage image;
    image.Assign(*bitmap);
    host::TBitmap back;
    back.Assign(image);
    ASSERT_EQ(back.Width(), 6);
    ASSERT_EQ(back.Height(), 4);
    for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 6; ++x) {
            const auto& p = palette[(x * y) % 5];
            EXPECT_EQ(back.GetPixel(x, y), host::RGB(p.peRed, p.peGreen, p.peBlue)) << x << "," << y;
        }
    TGIFImage empty;
    EXPECT_EQ(messageOf<EConvertError>([&] { back.Assign(empty); }), "Cannot assign a TGIFImage to a TBitmap");
}
