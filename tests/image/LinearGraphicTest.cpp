#include <gtest/gtest.h>

#include <cstring>
#include <typeinfo>

#include "TestSupport.h"
#include "codecs/BMPLoader.h"
#include "codecs/PNGLoader.h"
#include "codecs/PngOracle.h"
#include "gif/GIFImage.h"
#include "mng/NGImages.h"
#include "image/LinearGraphic.h"
#include "picture/Graphics.h"
#include "metafile/Metafile.h"

using namespace testing_support;

namespace {

// A 24-bit image whose every byte tells its place: blue x, green y, red x + y.
void Gradient(TLinearBitmap& image, int32_t width, int32_t height) {
    image.New(width, height, pfBGR24);
    for (int32_t y = 0; y < height; ++y)
        for (int32_t x = 0; x < width; ++x) {
            uint8_t* p = image.ScanLine(y) + 3 * x;
            p[0] = static_cast<uint8_t>(x);
            p[1] = static_cast<uint8_t>(y);
            p[2] = static_cast<uint8_t>(x + y);
        }
}

std::vector<uint8_t> Bytes(host::TMemoryStream& stream) { return stream.Data(); }

}  // namespace

TEST(LinearGraphic, SizesFollowTheImageAndNewColumnsAreBlack) {
    TLinearGraphic graphic;
    EXPECT_TRUE(graphic.Empty());
    EXPECT_EQ(graphic.Width(), 0);
    EXPECT_EQ(graphic.Height(), 0);
    graphic.SetWidth(100);  // height 0: still no image
    EXPECT_TRUE(graphic.Empty());

    graphic.Image.New(10, 10, pfBGR24);
    graphic.Image.FillBytes(0xFF);
    graphic.SetWidth(100);
    ASSERT_FALSE(graphic.Empty());
    EXPECT_EQ(graphic.Width(), 100);
    EXPECT_EQ(graphic.Height(), 10);
    const uint8_t* row = graphic.Image.ScanLine(9);
    EXPECT_EQ(row[3 * 9], 0xFF);
    EXPECT_EQ(row[3 * 10], 0);
    EXPECT_EQ(row[3 * 99 + 2], 0);
    graphic.SetHeight(4);
    EXPECT_EQ(graphic.Height(), 4);
    EXPECT_EQ(graphic.Width(), 100);
}

TEST(LinearGraphic, DrawsItselfStretchedColourOnColour) {
    TLinearGraphic graphic;
    Gradient(graphic.Image, 2, 2);
    host::TBitmap target;
    target.SetPixelFormat(host::pf24bit);
    target.SetSize(4, 4);
    target.Canvas().StretchDraw(host::Rect(0, 0, 4, 4), graphic);
    EXPECT_EQ(target.Canvas().GetStretchBltMode(), host::COLORONCOLOR);
    // Image pixel (1, 1) is blue 1, green 1, red 2; it covers the lower right quarter.
    EXPECT_EQ(target.GetPixel(3, 3), host::RGB(2, 1, 1));
    EXPECT_EQ(target.GetPixel(2, 0), host::RGB(1, 0, 1));
    EXPECT_EQ(target.GetPixel(0, 0), host::RGB(0, 0, 0));
}

TEST(LinearGraphic, AssigningToAnotherLinearGraphicCopiesAnIndependentImage) {
    TLinearGraphic source, target;
    Gradient(source.Image, 5, 4);
    source.AssignTo(target);
    ASSERT_EQ(target.Width(), 5);
    ASSERT_EQ(target.Height(), 4);
    EXPECT_EQ(std::memcmp(target.Image.Map.get(), source.Image.Map.get(), static_cast<size_t>(source.Image.Size)), 0);
    source.Image.FillBytes(0);
    EXPECT_EQ(target.Image.ScanLine(3)[3 * 4 + 2], 7);

    // The picture takes its own copy through the graphic's class.
    host::TPicture picture;
    picture.SetGraphic(&target);
    auto* held = dynamic_cast<TLinearGraphic*>(picture.Graphic());
    ASSERT_NE(held, nullptr);
    EXPECT_NE(held, &target);
    EXPECT_EQ(held->Image.ScanLine(2)[3 * 1 + 1], 2);
}

TEST(LinearGraphic, PlatformStreamsCarryAWindowsBitmapOrTheBoundCodecsFormat) {
    PNGLoader().Reset();
    struct Case {
        std::unique_ptr<TLinearGraphic> graphic;
        const char* signature;
    };
    Case cases[] = {{std::make_unique<TLinearGraphic>(), "BM"},
                    {std::make_unique<THIPSGraphic>(), "BM"},  // HIPS is never written
                    {std::make_unique<TPNGGraphic>(), "\x89PNG"},
                    {std::make_unique<TMNGGraphic>(), "\x8aMNG"},
                    {std::make_unique<TPCXGraphic>(), "\x0a"}};
    for (Case& c : cases) {
        Gradient(c.graphic->Image, 6, 3);
        host::TMemoryStream stream;
        c.graphic->SaveToStream(stream);
        const std::vector<uint8_t> file = Bytes(stream);
        const std::string signature = c.signature;
        ASSERT_GE(file.size(), signature.size());
        EXPECT_EQ(std::string(file.begin(), file.begin() + static_cast<long>(signature.size())), signature)
            << c.graphic->ClassName();
        if (signature == "\x89PNG") {
            const png_oracle::Decoded decoded = png_oracle::Decode(file);
            ASSERT_TRUE(decoded.ok) << decoded.error;
            EXPECT_EQ(decoded.rows[2][3 * 5 + 0], 7);  // red of (5, 2)
            EXPECT_EQ(decoded.rows[2][3 * 5 + 2], 5);  // blue
        }
        if (dynamic_cast<THIPSGraphic*>(c.graphic.get())) continue;  // HIPS data is read only
        auto back = c.graphic->NewInstance();
        stream.SetPosition(0);
        back->LoadFromStream(stream);
        auto& image = dynamic_cast<TLinearGraphic&>(*back).Image;
        ASSERT_EQ(image.Width, 6);
        ASSERT_EQ(image.Height, 3);
        EXPECT_EQ(std::memcmp(image.ScanLine(2), c.graphic->Image.ScanLine(2), 18), 0) << c.graphic->ClassName();
    }
}

TEST(PictureFramework, ExtensionsFindTheClassRegisteredLastWhateverTheirCase) {
    struct Case {
        const char* extension;
        const std::type_info& graphicClass;
        const char* description;
    };
    const Case cases[] = {{"png", typeid(TPNGGraphic), "Portable Network Graphics"},
                          {"PNG", typeid(TPNGGraphic), "Portable Network Graphics"},
                          {"Mng", typeid(TMNGGraphic), "Multiple-image Network Graphics"},
                          {"BMP", typeid(TVKBitmap), "Windows bitmap"},
                          {"pcx", typeid(TPCXGraphic), "Zsoft Paintbrush"},
                          {"HIP", typeid(THIPSGraphic), "HIPS image"},
                          {"hips", typeid(THIPSGraphic), "HIPS image"},
                          {"Gif", typeid(TGIFImage), "GIF Image"},
                          {"jng", typeid(ng::TJNGImage), "JPEG Network Graphics"},
                          {"WMF", typeid(host::TMetafile), "Metafiles"},
                          {"emf", typeid(host::TMetafile), "Enhanced Metafiles"}};
    for (const Case& c : cases) {
        const std::type_info* found = host::TPicture::FindGraphicClass(c.extension);
        ASSERT_NE(found, nullptr) << c.extension;
        EXPECT_EQ(*found, c.graphicClass) << c.extension;
        EXPECT_EQ(host::TPicture::FindDescription(c.extension), c.description);
        const std::unique_ptr<host::TGraphic> made = host::TPicture::FindFileFormat(c.extension)();
        const host::TGraphic& graphic = *made;
        EXPECT_EQ(typeid(graphic), c.graphicClass);
    }

    // A later registration wins, and taking a class back uncovers the earlier one.
    host::TPicture::RegisterFileFormat<TLinearGraphic>("PNG", "PNG");
    EXPECT_EQ(*host::TPicture::FindGraphicClass("png"), typeid(TLinearGraphic));
    host::TPicture::UnregisterGraphicClass<TLinearGraphic>();
    EXPECT_EQ(*host::TPicture::FindGraphicClass("png"), typeid(TPNGGraphic));
    // The libmng unit's PNG class stays registered beneath the codec's.
    EXPECT_EQ(host::TPicture::FileFormatCount("png"), 2);
}

TEST(PictureFramework, APictureOpensAFileThroughTheGraphicOfItsExtension) {
    TempDir dir;
    TLinearBitmap image;
    Gradient(image, 4, 2);
    image.SaveToFile(dir / "g.png");
    host::TPicture picture;
    picture.LoadFromFile(dir / "g.png");
    auto* graphic = dynamic_cast<TPNGGraphic*>(picture.Graphic());
    ASSERT_NE(graphic, nullptr);
    EXPECT_EQ(std::memcmp(graphic->Image.ScanLine(1), image.ScanLine(1), 12), 0);
    EXPECT_EQ(messageOf<EInvalidGraphic>([&] { picture.LoadFromFile(dir / "g.xyz"); }),
              "Unknown picture file extension (.xyz)");
}
