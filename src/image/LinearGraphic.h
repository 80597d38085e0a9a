#pragma once

#include <memory>
#include <string>

#include "image/LinarBitmap.h"
#include "picture/Graphics.h"

// A TLinearBitmap as a graphic of the platform's picture framework, so that the images
// of the library's codecs and of plug-ins appear wherever a picture is opened by
// extension. Files go through the codec registry; platform streams carry a Windows
// bitmap unless a subclass binds the graphic to one codec.
class TLinearGraphic : public host::TGraphic {
public:
    PIXMORPH_CLASS_NAME(TLinearGraphic)
    TLinearGraphic() = default;

    TLinearBitmap Image;

    // Another TLinearGraphic takes a copy of the image; otherwise Dest gets what
    // TLinearBitmap::AssignTo gives it (a platform bitmap or picture).
    void AssignTo(host::TPersistent& Dest) override;
    void Draw(host::TCanvas& Canvas, const host::TRect& Rect) override;
    bool Empty() const override { return !Image.Present; }
    int32_t Height() const override { return Image.Height; }
    int32_t Width() const override { return Image.Width; }
    // The image is cut or extended with black at the right or bottom edge.
    void SetHeight(int32_t Value) override;
    void SetWidth(int32_t Value) override;
    // By the file's extension, through the codec registry.
    void LoadFromFile(const std::string& FileName) override;
    void SaveToFile(const std::string& FileName) override;
    // A Windows bitmap, through a temporary platform bitmap.
    void LoadFromStream(host::TStream& Stream) override;
    void SaveToStream(host::TStream& Stream) override;
    std::unique_ptr<host::TGraphic> NewInstance() const override { return std::make_unique<TLinearGraphic>(); }

protected:
    // The platform stream read or written by the codec registered for Ext.
    void LoadThroughCodec(host::TStream& Stream, const char* Ext);
    void SaveThroughCodec(host::TStream& Stream, const char* Ext);
};

// Graphics bound to one codec: their platform streams hold that codec's file format.
class TPNGGraphic : public TLinearGraphic {
public:
    PIXMORPH_CLASS_NAME(TPNGGraphic)
    void LoadFromStream(host::TStream& Stream) override { LoadThroughCodec(Stream, "PNG"); }
    void SaveToStream(host::TStream& Stream) override { SaveThroughCodec(Stream, "PNG"); }
    std::unique_ptr<host::TGraphic> NewInstance() const override { return std::make_unique<TPNGGraphic>(); }
};

class TMNGGraphic : public TLinearGraphic {
public:
    PIXMORPH_CLASS_NAME(TMNGGraphic)
    void LoadFromStream(host::TStream& Stream) override { LoadThroughCodec(Stream, "MNG"); }
    void SaveToStream(host::TStream& Stream) override { SaveThroughCodec(Stream, "MNG"); }
    std::unique_ptr<host::TGraphic> NewInstance() const override { return std::make_unique<TMNGGraphic>(); }
};

// HIPS is read only: saving writes a Windows bitmap, as the base class does.
class THIPSGraphic : public TLinearGraphic {
public:
    PIXMORPH_CLASS_NAME(THIPSGraphic)
    void LoadFromStream(host::TStream& Stream) override { LoadThroughCodec(Stream, "HIP"); }
    std::unique_ptr<host::TGraphic> NewInstance() const override { return std::make_unique<THIPSGraphic>(); }
};

class TPCXGraphic : public TLinearGraphic {
public:
    PIXMORPH_CLASS_NAME(TPCXGraphic)
    void LoadFromStream(host::TStream& Stream) override { LoadThroughCodec(Stream, "PCX"); }
    void SaveToStream(host::TStream& Stream) override { SaveThroughCodec(Stream, "PCX"); }
    std::unique_ptr<host::TGraphic> NewInstance() const override { return std::make_unique<TPCXGraphic>(); }
};
