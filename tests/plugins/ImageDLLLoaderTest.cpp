#include <gtest/gtest.h>

#include <dlfcn.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <functional>
#include <typeinfo>

#include "TestSupport.h"
#include "image/LinearGraphic.h"
#include "picture/Graphics.h"
#include "plugins/ImageDLLLoader.h"

using namespace testing_support;
namespace fs = std::filesystem;

namespace {

std::string TestPlugin(const std::string& name) { return std::string(PIXMORPH_TEST_PLUGINS_DIR) + "/" + name + ".so"; }

constexpr fs::perms OwnerWritesAllRead = static_cast<fs::perms>(0755);

// A directory holding copies of plug-ins under the names given, writable by its owner
// alone, as the loader demands whatever the umask.
struct PluginDir {
    TempDir dir;
    explicit PluginDir(std::initializer_list<std::pair<std::string, std::string>> files) {
        fs::permissions(dir.path(), OwnerWritesAllRead);
        for (const auto& [source, name] : files) {
            fs::copy_file(source, dir / name);
            fs::permissions(dir / name, OwnerWritesAllRead);
        }
    }
    std::string path() const { return dir.path(); }
};

std::string messageOfAny(const std::function<void()>& action) {
    try {
        action();
    } catch (const Exception& e) {
        return e.Message();
    }
    return "<no exception>";
}

// How often the scripted plug-in's LibFreeImage has run (the same library, loaded once).
int32_t FreeCount(const std::string& library) {
    void* handle = dlopen(library.c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (!handle) return -1;
    auto count = reinterpret_cast<int32_t (*)()>(dlsym(handle, "TestFreeCount"));
    const int32_t result = count ? count() : -1;
    dlclose(handle);
    return result;
}

// Every test takes its picture-framework registrations back.
class ImageDLLLoaderTest : public ::testing::Test {
protected:
    void TearDown() override { host::TPicture::UnregisterGraphicClass<TLinearGraphic>(); }
};

}  // namespace

TEST_F(ImageDLLLoaderTest, ContainersAreCopiedByTheirOwnSizesAndAbsurdOnesAreRefused) {
    PluginDir plugins({{TestPlugin("scripted"), "scripted.so"}});
    TImageDLLLoader loader;
    ASSERT_TRUE(loader.LoadPlugins(plugins.path(), nullptr, nullptr));
    const std::string library = plugins.dir / "scripted.so";

    // The scripted plug-in's pixels are the bytes 10, 11, 12, ... of one array.
    struct Case {
        const char* ext;
        std::string message;  // empty: loads
        bool freed;           // LibFreeImage must follow
        uint8_t format;
        int32_t width, height;
        std::vector<uint8_t> lastRow;
    };
    const Case cases[] = {
        {"OK8", "", true, pfIndexed8, 3, 2, {14, 15, 16}},  // the fourth byte of each row is padding
        {"G16", "", true, pfGray16, 2, 2, {14, 15, 16, 17}},
        {"P2", "", true, pfBGR24, 2, 2, {12, 16, 0, 13, 17, 0}},  // two planes, red zero
        {"C4", "The image contains 4 color planes, only 3 were loaded", true, pfBGR24, 2, 2, {18, 19, 20, 22, 23, 24}},
        {"P4", "The image contains 4 color planes, only 3 were loaded", true, pfBGR24, 2, 2, {12, 16, 20, 13, 17, 21}},
        {"R2", "Unable to open file", false, pfNone, 0, 0, {}},
        {"R3", "Error in bitmap data", false, pfNone, 0, 0, {}},
        {"R4", "Unsupported pixel format", false, pfNone, 0, 0, {}},
        {"R5", "Unable to close file", false, pfNone, 0, 0, {}},
        {"R7", "Error in bitmap data: 7", false, pfNone, 0, 0, {}},
        {"F00", "Unsupported bitmap format", true, pfNone, 0, 0, {}},
        {"F05", "Unsupported pixel format", true, pfNone, 0, 0, {}},
        {"F31", "Unsupported pixel format", true, pfNone, 0, 0, {}},
        {"NEGW", "Error in bitmap data", true, pfNone, 0, 0, {}},
        {"ZEROH", "Error in bitmap data", true, pfNone, 0, 0, {}},
        {"NULLPIX", "Error in bitmap data", true, pfNone, 0, 0, {}},
        {"SHORTBPL", "Error in bitmap data", true, pfNone, 0, 0, {}},  // rows shorter than 4 pixels
        {"BIGSIZE", "Error in bitmap data", true, pfNone, 0, 0, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.ext);
        TLinearBitmap bitmap;
        const int32_t freesBefore = FreeCount(library);
        const std::string message = messageOfAny([&] { loader.LoadFromFile("ignored", c.ext, bitmap); });
        EXPECT_EQ(message, c.message.empty() ? "<no exception>" : c.message);
        EXPECT_EQ(FreeCount(library) - freesBefore, c.freed ? 1 : 0);
        if (c.format == pfNone) continue;
        ASSERT_TRUE(bitmap.Present);
        EXPECT_EQ(bitmap.PixelFormat, c.format);
        EXPECT_EQ(bitmap.Width, c.width);
        EXPECT_EQ(bitmap.Height, c.height);
        const uint8_t* row = bitmap.ScanLine(bitmap.Height - 1);
        EXPECT_EQ(std::vector<uint8_t>(row, row + c.lastRow.size()), c.lastRow);
    }

    TLinearBitmap indexed;
    loader.LoadFromFile("ignored", "OK8", indexed);
    EXPECT_EQ(std::memcmp(indexed.Palette.get(), GrayPalette, PaletteBytes), 0);
    loader.LoadFromFile("ignored", "PAL8", indexed);
    EXPECT_EQ(indexed.Palette[0], 255);
    EXPECT_EQ(indexed.Palette[767], 0);
}

TEST_F(ImageDLLLoaderTest, SavingHandsTheImageOverAsCodeOneOrThreeAndMapsResults) {
    PluginDir plugins({{TestPlugin("scripted"), "scripted.so"}});
    TImageDLLLoader loader;
    loader.LoadPlugins(plugins.path(), nullptr, nullptr);
    TempDir out;

    TLinearBitmap image;
    image.New(2, 1, pfBGR24);
    const uint8_t bgr[] = {1, 2, 3, 4, 5, 6};
    std::memcpy(image.ScanLine(0), bgr, 6);
    loader.SaveToFile(out / "a.dump", "DUMP", image);
    std::vector<uint8_t> expected = {'2', ' ', '1', ' ', '6', ' ', '3', ' ', '0', '\n', 1, 2, 3, 4, 5, 6};
    EXPECT_EQ(readFile(out / "a.dump"), expected);

    image.ChangePixelFormat(pfIndexed8);
    loader.SaveToFile(out / "b.dump", "DUMP", image);
    EXPECT_EQ(readFile(out / "b.dump").at(6), '1');  // code 1, with its palette
    EXPECT_EQ(readFile(out / "b.dump").at(8), '1');

    EXPECT_EQ(messageOfAny([&] { loader.SaveToFile(out / "c.s9", "S9", image); }), "Error writing image file: 9");
    for (uint8_t format : {pfGray16, pfBGRX32}) {
        TLinearBitmap other;
        other.New(2, 2, format);
        EXPECT_EQ(messageOfAny([&] { loader.SaveToFile(out / "d.dump", "DUMP", other); }), "Unsupported pixel format");
    }
    EXPECT_FALSE(fileExists(out / "d.dump"));
    EXPECT_EQ(messageOfAny([&] { loader.SaveToFile(out / "e.png", "PNG", image); }), "Unsupported file format");
}

TEST_F(ImageDLLLoaderTest, KeptRowsGoBackThroughLibFreeImageExactlyOnceOnEveryPath) {
    PluginDir plugins({{TestPlugin("scripted"), "scripted.so"}});
    TImageDLLLoader loader;
    ASSERT_TRUE(loader.LoadPlugins(plugins.path(), nullptr, nullptr));
    const std::string library = plugins.dir / "scripted.so";
    struct Case {
        const char* what;
        const char* ext;
        int32_t freedOnLoad;  // 0: the rows were kept; 1: copied and handed back at once
        std::function<void(TLinearBitmap&)> then;
        int32_t loads;
    };
    const Case cases[] = {
        {"kept until the image goes", "KEEP", 0, [](TLinearBitmap&) {}, 1},
        {"padded rows are copied", "KEEPPAD", 1, [](TLinearBitmap&) {}, 1},
        {"moved to a platform bitmap and back", "KEEP", 0,
         [](TLinearBitmap& b) {
             host::TBitmap platform;
             b.MoveToPlatformBitmap(platform);
             b.TakeOverPlatformBitmap(platform);
         }, 1},
        {"converted", "KEEP", 0, [](TLinearBitmap& b) { b.ChangePixelFormat(pfIndexed8); }, 1},
        {"loaded over", "KEEP", 0, [&](TLinearBitmap& b) { loader.LoadFromFile("ignored", "KEEP", b); }, 2},
        {"a later step fails", "KEEP", 0, [](TLinearBitmap&) { throw Exception("later"); }, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const int32_t before = FreeCount(library);
        try {
            TLinearBitmap bitmap;
            loader.LoadFromFile("ignored", c.ext, bitmap);
            EXPECT_EQ(FreeCount(library) - before, c.freedOnLoad);
            EXPECT_EQ(bitmap.ScanLine(1)[5], std::string(c.ext) == "KEEP" ? 21 : 23);
            c.then(bitmap);
        } catch (const Exception&) {
        }
        EXPECT_EQ(FreeCount(library) - before, c.loads);
    }
    // An image that outlives the loader keeps the library until it goes.
    auto bitmap = std::make_unique<TLinearBitmap>();
    loader.LoadFromFile("ignored", "KEEP", *bitmap);
    loader.UnloadPlugins();
    EXPECT_NE(FreeCount(library), -1);
    bitmap.reset();
    EXPECT_EQ(FreeCount(library), -1);
}

TEST_F(ImageDLLLoaderTest, LibrariesAreTakenIgnoredOrKeptEmptyByWhatTheyExport) {
    PluginDir plugins({{TestPlugin("load-only"), "a-load-only.so"},
                       {TestPlugin("no-free"), "b-no-free.so"},
                       {PIXMORPH_SOURCE_DIR "/README.md", "c-not-a-library.so"},
                       {PIXMORPH_SOURCE_DIR "/README.md", "not-a-plugin.txt"}});
    fs::create_directory(plugins.dir / "d-directory.so");
    std::vector<std::string> seen;
    TImageDLLLoader loader;
    EXPECT_TRUE(loader.LoadPlugins(
        plugins.path(),
        [](void* data, const std::string& name) { static_cast<std::vector<std::string>*>(data)->push_back(name); },
        &seen));
    EXPECT_EQ(seen, (std::vector<std::string>{"a-load-only.so", "b-no-free.so", "c-not-a-library.so"}));
    // The library without LibFreeImage is gone; the unloadable one stays, empty.
    ASSERT_EQ(loader.EntryList.Count, 2);
    EXPECT_NE(loader.Entries[0].Module, nullptr);
    EXPECT_EQ(loader.Entries[1].Module, nullptr);
    EXPECT_TRUE(loader.CanLoad("OK8"));
    EXPECT_FALSE(loader.CanSave("DUMP"));
    EXPECT_EQ(loader.GetSaveFilter(), "");

    // The filter names OK8 three times, in two cases: one registration.
    EXPECT_EQ(host::TPicture::FileFormatCount("ok8"), 1);
    EXPECT_EQ(*host::TPicture::FindGraphicClass("ok8"), typeid(TLinearGraphic));
    EXPECT_EQ(host::TPicture::FindDescription("ok8"), "OK8");

    TImageDLLLoader onlyBroken;
    PluginDir broken({{TestPlugin("no-free"), "no-free.so"}});
    EXPECT_FALSE(onlyBroken.LoadPlugins(broken.path(), nullptr, nullptr));
    EXPECT_EQ(onlyBroken.EntryList.Count, 0);
    EXPECT_FALSE(onlyBroken.CanLoad("OK8"));
}

TEST_F(ImageDLLLoaderTest, TheFirstPluginInNameOrderServesASharedExtension) {
    struct Case {
        std::string first;
        std::string second;
        int32_t width;  // the marker plug-in answers with one pixel
    };
    const Case cases[] = {{TestPlugin("claims-ppm"), PIXMORPH_NETPBM_PLUGIN, 1},
                          {PIXMORPH_NETPBM_PLUGIN, TestPlugin("claims-ppm"), 2}};
    TempDir data;
    writeFile(data / "two.ppm", std::string("P6\n2 1\n255\n\x01\x02\x03\x04\x05\x06", 17));
    for (const Case& c : cases) {
        // Listed in the other order: the file system's order must not count.
        PluginDir plugins({{c.second, "m-second.so"}, {c.first, "k-first.so"}});
        TImageDLLLoader loader;
        loader.LoadPlugins(plugins.path(), nullptr, nullptr);
        TLinearBitmap bitmap;
        loader.LoadFromFile(data / "two.ppm", "PPM", bitmap);
        EXPECT_EQ(bitmap.Width, c.width);
        host::TPicture::UnregisterGraphicClass<TLinearGraphic>();
    }
}

TEST_F(ImageDLLLoaderTest, NoDirectoryMeansNoPluginsEvenWithOneInTheCurrentDirectory) {
    PluginDir plugins({{TestPlugin("scripted"), "scripted.so"}});
    const fs::path before = fs::current_path();
    fs::current_path(plugins.path());
    TImageDLLLoader loader;
    const bool taken = loader.LoadPlugins("", nullptr, nullptr);
    fs::current_path(before);
    EXPECT_FALSE(taken);
    EXPECT_EQ(loader.EntryList.Count, 0);
}

TEST_F(ImageDLLLoaderTest, APatternNamesAWholeExtensionOnly) {
    // The plug-in for "*.ppmx" (one marker pixel) comes first in name order.
    PluginDir plugins({{TestPlugin("claims-ppmx"), "k-first.so"}, {PIXMORPH_NETPBM_PLUGIN, "m-second.so"}});
    TImageDLLLoader loader;
    loader.LoadPlugins(plugins.path(), nullptr, nullptr);
    TempDir data;
    writeFile(data / "two.ppm", std::string("P6\n2 1\n255\n\x01\x02\x03\x04\x05\x06", 17));
    const std::pair<const char*, std::string> cases[] = {
        {"PPM", "2"}, {"ppmx", "1"}, {"P", "Unsupported file format"}, {"PPMXX", "Unsupported file format"}};
    for (const auto& [name, outcome] : cases) {
        const std::string ext = name;  // a lambda may not capture a structured binding (clang 14)
        TLinearBitmap bitmap;
        const std::string message = messageOfAny([&] { loader.LoadFromFile(data / "two.ppm", ext, bitmap); });
        EXPECT_EQ(message == "<no exception>" ? std::to_string(bitmap.Width) : message, outcome) << ext;
        EXPECT_EQ(loader.CanLoad(ext), outcome.size() == 1) << ext;
    }
}

TEST_F(ImageDLLLoaderTest, AFilterWithoutItsZeroIsIgnoredWithAWarningAndTheOtherPluginsServe) {
    PluginDir plugins({{TestPlugin("unterminated"), "a-unterminated.so"}, {TestPlugin("scripted"), "b-scripted.so"}});
    TImageDLLLoader loader;
    EXPECT_TRUE(loader.LoadPlugins(plugins.path(), nullptr, nullptr));
    EXPECT_EQ(loader.Warnings, std::vector<std::string>{"plug-in \"" + (plugins.dir / "a-unterminated.so") +
                                                        "\" filter ignored: no end within 4096 bytes"});
    EXPECT_FALSE(loader.CanLoad("UNT"));
    TLinearBitmap bitmap;
    loader.LoadFromFile("ignored", "OK8", bitmap);
    EXPECT_EQ(bitmap.Width, 3);
}

TEST_F(ImageDLLLoaderTest, ALibraryOthersCouldHaveChangedIsNeverOpenedAndOneWarningNamesIt) {
    struct Case {
        const char* what;
        unsigned folderMode, fileMode;
        uid_t owner;         // of the library; 0 keeps it
        const char* reason;  // empty: loaded
    };
    const Case cases[] = {
        {"owner writes alone", 0755, 0755, 0, ""},
        {"world-writable folder", 0777, 0755, 0, "its folder may be written by group or others"},
        {"group-writable folder", 0775, 0755, 0, "its folder may be written by group or others"},
        {"group-writable library", 0755, 0775, 0, "it may be written by group or others"},
        {"another user's library", 0755, 0755, 4321, "it belongs to neither root nor the program's owner"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        PluginDir plugins({{TestPlugin("scripted"), "scripted.so"}});
        const std::string library = plugins.dir / "scripted.so";
        if (c.owner && (geteuid() != 0 || chown(library.c_str(), c.owner, c.owner) != 0)) continue;  // needs root
        fs::permissions(library, static_cast<fs::perms>(c.fileMode));
        fs::permissions(plugins.path(), static_cast<fs::perms>(c.folderMode));
        TImageDLLLoader loader;
        const bool taken = loader.LoadPlugins(plugins.path(), nullptr, nullptr);
        EXPECT_EQ(taken, !*c.reason);
        EXPECT_EQ(loader.Warnings, *c.reason ? std::vector<std::string>{"plug-in \"" + library + "\" not loaded: " + c.reason}
                                             : std::vector<std::string>{});
        // A refused library was never opened, so none of its code ran; a taken one stays open.
        EXPECT_EQ(dlopen(library.c_str(), RTLD_NOW | RTLD_NOLOAD) == nullptr, *c.reason != '\0');
        host::TPicture::UnregisterGraphicClass<TLinearGraphic>();
    }
}
