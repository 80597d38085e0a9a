#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstring>
#include <vector>

#include "TestSupport.h"
#include "image/LinarBitmap.h"
#include "platform/Files.h"
#include "platform/Stream.h"
#include "streams/HostStream.h"
#include "streams/Streams.h"

using namespace testing_support;

namespace {


class FilterCodec : public TBitmapLoader {
public:
    PIXMORPH_CLASS_NAME(FilterCodec)
    FilterCodec(std::string load, std::string save) : load_(std::move(load)), save_(std::move(save)) {}
    std::string GetLoadFilter() override { return load_; }
    std::string GetSaveFilter() override { return save_; }

private:
    std::string load_, save_;
};

class LoadOnlyFilter : public TBitmapLoader {
public:
    std::string GetLoadFilter() override { return "Thing (*.thg)|*.thg"; }
};

// Reads and writes only by file name: the stream operations go through the base
// class's temporary files.
class FileOnlyCodec : public TBitmapLoader {
public:
    PIXMORPH_CLASS_NAME(FileOnlyCodec)
    std::string seenName;
    std::string seenExt;
    std::vector<uint8_t> seenContent;
    bool seenStrictOff = false;
    bool fail = false;
    TBaseStream* watched = nullptr;

    bool CanLoad(const std::string& Ext) override { return Ext == "FOC"; }
    bool CanSave(const std::string& Ext) override { return Ext == "FOC"; }
    void LoadFromFile(const std::string& FileName, const std::string& Ext, TLinearBitmap& Bitmap) override {
        seenName = FileName;
        seenExt = Ext;
        seenContent = readFile(FileName);
        if (watched) seenStrictOff = !watched->StrictRead;
        if (fail) throw Exception("codec failed");
        Bitmap.New(static_cast<int32_t>(seenContent.size()), 1, pfIndexed8);
        std::memcpy(Bitmap.Map.get(), seenContent.data(), seenContent.size());
    }
    void SaveToFile(const std::string& FileName, const std::string& Ext, TLinearBitmap& Bitmap) override {
        seenName = FileName;
        seenExt = Ext;
        struct stat info {};
        EXPECT_EQ(::stat(FileName.c_str(), &info), 0) << "an empty file exists before the codec writes";
        if (fail) throw Exception("codec failed");
        writeFile(FileName, std::vector<uint8_t>(Bitmap.Map.get(), Bitmap.Map.get() + Bitmap.Size));
    }
};

class NeitherCodec : public TBitmapLoader {
public:
    PIXMORPH_CLASS_NAME(NeitherCodec)
    bool CanLoad(const std::string&) override { return true; }
};

std::vector<uint8_t> sample(size_t n) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(i * 13 + 1);
    return v;
}

bool inTempDirectory(const std::string& name) {
    const std::string dir = host::TempDirectory();
    return name.compare(0, dir.size(), dir) == 0 && name.find('/', dir.size()) == std::string::npos;
}

}  // namespace

TEST(LoaderRegistry, GrowsFiveSlotsAtATimeKeepingOrder) {
    TBitmapLoaders registry;
    std::vector<std::unique_ptr<FilterCodec>> codecs;
    for (int i = 0; i < 11; ++i) codecs.push_back(std::make_unique<FilterCodec>("", ""));
    EXPECT_EQ(registry.Capacity, 0);
    for (int i = 0; i < 5; ++i) registry.Add(codecs[i].get());
    EXPECT_EQ(registry.Capacity, 5);
    EXPECT_EQ(registry.Count, 5);
    registry.Add(codecs[5].get());
    EXPECT_EQ(registry.Capacity, 10);
    EXPECT_EQ(registry.Count, 6);
    for (int i = 0; i < 6; ++i) EXPECT_EQ(registry.Items[i], codecs[i].get()) << i;
    for (int i = 6; i < 11; ++i) registry.Add(codecs[i].get());
    EXPECT_EQ(registry.Capacity, 15);
    EXPECT_EQ(registry.Items[10], codecs[10].get());
}

TEST(LoaderRegistry, FirstAcceptingCodecWinsAndLookupIsCaseInsensitive) {
    TBitmapLoaders registry;
    FilterCodec jpeg("Joint Picture Expert Group (*.jpg,*.jpeg,*.jpe)|*.jpg;*.jpeg;*.jpe",
                     "Joint Picture Expert Group (*.jpg)|*.jpg");
    FilterCodec png("Portable Network Graphics (*.png)|*.png", "Portable Network Graphics (*.png)|*.png");
    FilterCodec png2("Also PNG (*.png)|*.png", "");
    registry.Add(&jpeg);
    registry.Add(&png);
    registry.Add(&png2);
    EXPECT_EQ(&registry.FindLoader("png"), &png);
    EXPECT_EQ(&registry.FindLoader("PnG"), &png);
    EXPECT_EQ(&registry.FindSaver("Jpg"), &jpeg);
    EXPECT_EQ(&registry.FindLoader("jpe"), &jpeg);
    EXPECT_EQ(messageOf<EUnsupportedFileFormat>([&] { registry.FindSaver("jpe"); }),
              "Unsupported file format: JPE");
    EXPECT_EQ(messageOf<EUnsupportedFileFormat>([&] { registry.FindLoader(""); }), "Unsupported file format: ");
    EXPECT_EQ(messageOf<EUnsupportedFileFormat>([&] { registry.FindLoader("gif"); }),
              "Unsupported file format: GIF");
}

TEST(LoaderRegistry, BaseTestsAreSubstringSearchesOverTheFilters) {
    FilterCodec png("Portable Network Graphics (*.png)|*.png", "Portable Network Graphics (*.png)|*.png");
    EXPECT_TRUE(png.CanLoad("PN")) << "a prefix of a listed extension matches";
    EXPECT_TRUE(png.CanLoad("png"));
    EXPECT_FALSE(png.CanLoad(""));
    EXPECT_FALSE(png.CanLoad("NG")) << "the pattern must start with *.";
    FilterCodec hips("HIPS image (*.hips)|*.hips;*.hip", "");
    EXPECT_TRUE(hips.CanLoad("HIP"));
    EXPECT_FALSE(hips.CanSave("HIP"));
    LoadOnlyFilter thing;
    EXPECT_TRUE(thing.CanSave("THG")) << "the save filter defaults to the load filter";
    TBitmapLoader none;
    EXPECT_FALSE(none.CanLoad("BMP"));
}

TEST(LoaderRegistry, GlobalRegistryExistsWithGreyPalette) {
    ASSERT_NE(Loaders, nullptr);
    EXPECT_EQ(GrayPalette[100 * 3], 100);
    EXPECT_EQ(GrayPalette[100 * 3 + 2], 100);
}

TEST(LinearBitmapFiles, UnknownExtensionLeavesTheImageAsItWas) {
    TLinearBitmap b;
    b.New(1, 1, pfBGR24);
    EXPECT_EQ(messageOf<EUnsupportedFileFormat>([&] { b.LoadFromFile("/nonexistent/x.nosuchformat"); }),
              "Unsupported file format: NOSUCHFORMAT");
    EXPECT_TRUE(b.Present);
    EXPECT_EQ(messageOf<EUnsupportedFileFormat>([&] { b.SaveToFile("/nonexistent/noext"); }),
              "Unsupported file format: ");
}

TEST(LoaderTempFiles, StreamLoadGoesThroughAnExclusiveTempFileThatIsRemoved) {
    FileOnlyCodec codec;
    TempDir dir;
    const auto content = sample(200000);  // several copy blocks
    writeFile(dir / "in.foc", content);
    TFileStream in(dir / "in.foc", fsRead);
    ASSERT_TRUE(in.StrictRead);
    codec.watched = &in;
    TLinearBitmap b;
    codec.LoadFromStream(in, "foc", b);
    EXPECT_EQ(codec.seenContent, content);
    EXPECT_EQ(codec.seenExt, "foc");
    EXPECT_TRUE(inTempDirectory(codec.seenName)) << codec.seenName;
    EXPECT_EQ(codec.seenName.substr(codec.seenName.size() - 4), ".foc");
    EXPECT_FALSE(fileExists(codec.seenName)) << "temporary file left behind";
    EXPECT_TRUE(codec.seenStrictOff) << "the source is read without strict reads";
    EXPECT_TRUE(in.StrictRead) << "the source's strict flag is restored";
    ASSERT_TRUE(b.Present);
    EXPECT_EQ(b.Width, 200000);

    // Two loads never share a name.
    const std::string first = codec.seenName;
    in.Seek(0);
    codec.LoadFromStream(in, "foc", b);
    EXPECT_NE(codec.seenName, first);
}

TEST(LoaderTempFiles, ExtensionsCannotLeadTheTempFileOutOfTheTempDirectory) {
    FileOnlyCodec codec;
    TempDir dir;
    writeFile(dir / "in", sample(3));
    TFileStream in(dir / "in", fsRead);
    TLinearBitmap b;
    codec.LoadFromStream(in, "/../../x", b);
    EXPECT_TRUE(inTempDirectory(codec.seenName)) << codec.seenName;
    EXPECT_EQ(codec.seenName.find(".."), std::string::npos);
    EXPECT_EQ(codec.seenExt, "/../../x") << "the codec still gets the extension as passed";
}

TEST(LoaderTempFiles, FailingCodecStillRemovesTheTempFileAndRestoresStrictness) {
    FileOnlyCodec codec;
    codec.fail = true;
    TempDir dir;
    writeFile(dir / "in.foc", sample(10));
    TFileStream in(dir / "in.foc", fsRead);
    TLinearBitmap b;
    EXPECT_EQ(messageOf<Exception>([&] { codec.LoadFromStream(in, "FOC", b); }), "codec failed");
    ASSERT_FALSE(codec.seenName.empty());
    EXPECT_FALSE(fileExists(codec.seenName));
    EXPECT_TRUE(in.StrictRead);

    TLinearBitmap img;
    img.New(3, 1, pfIndexed8);
    TFileStream out(dir / "out.foc", fsWrite | fsCreate);
    codec.seenName.clear();
    EXPECT_EQ(messageOf<Exception>([&] { codec.SaveToStream(out, "FOC", img); }), "codec failed");
    ASSERT_FALSE(codec.seenName.empty());
    EXPECT_FALSE(fileExists(codec.seenName));
}

TEST(LoaderTempFiles, StreamSaveCopiesTheCodecsFileIntoTheStream) {
    FileOnlyCodec codec;
    TempDir dir;
    TLinearBitmap img;
    img.New(5, 1, pfIndexed8);
    const uint8_t bytes[5] = {9, 8, 7, 6, 5};
    std::memcpy(img.Map.get(), bytes, 5);
    {
        host::TMemoryStream memory;
        THostFilterStream out(&memory);
        out.Write("head", 4);
        codec.SaveToStream(out, "foc", img);
        EXPECT_EQ(memory.Data(), (std::vector<uint8_t>{'h', 'e', 'a', 'd', 9, 8, 7, 6, 5}));
        EXPECT_TRUE(inTempDirectory(codec.seenName));
        EXPECT_FALSE(fileExists(codec.seenName));
    }
}

TEST(LoaderTempFiles, CodecWithNeitherOperationFailsInsteadOfRecursing) {
    NeitherCodec codec;
    TempDir dir;
    writeFile(dir / "x.bin", sample(4));
    TLinearBitmap b;
    EXPECT_EQ(messageOf<Exception>([&] { codec.LoadFromFile(dir / "x.bin", "BIN", b); }),
              "NeitherCodec.LoadFromStream not implemented");
    EXPECT_EQ(messageOf<Exception>([&] { codec.SaveToFile(dir / "y.bin", "BIN", b); }),
              "NeitherCodec.SaveToStream not implemented");
    TFileStream in(dir / "x.bin", fsRead);
    EXPECT_EQ(messageOf<Exception>([&] { codec.LoadFromStream(in, "BIN", b); }),
              "NeitherCodec.LoadFromFile not implemented");
}
