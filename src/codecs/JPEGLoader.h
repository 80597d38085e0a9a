#pragma once

#include <string>

#include "image/LinarBitmap.h"

// The registry's codec for JPEG files. It codes nothing itself: the platform's JPEG
// picture does that through libjpeg; the codec picks the settings and moves the pixels.
class TJPEGLoader : public TBitmapLoader {
public:
    PIXMORPH_CLASS_NAME(TJPEGLoader)
    bool CanLoad(const std::string& Ext) override { return Ext == "JPG" || Ext == "JPEG" || Ext == "JPE"; }
    bool CanSave(const std::string& Ext) override { return Ext == "JPG" || Ext == "JPEG"; }
    std::string GetLoadFilter() override;
    std::string GetSaveFilter() override;
    // Colour files become pfBGR24, one-component files pfIndexed8 with GrayPalette and
    // the grey levels as indices. Ext is not used.
    void LoadFromStream(TBaseStream& Stream, const std::string& Ext, TLinearBitmap& Bitmap) override;
    // Quality 90, baseline. An image whose pixels are all grey is written with one
    // component; pfIndexed8 goes through its palette, pfGray16 and pfBGRX32 are taken as
    // the 24 bits they show. Ext is not used.
    void SaveToStream(TBaseStream& Stream, const std::string& Ext, TLinearBitmap& Bitmap) override;
};

// Turns an image into pfIndexed8 with GrayPalette, each pixel the grey level
// (2 * red + 3 * green + blue + 3) div 6 of its colour.
void MakeGrayscale8(TLinearBitmap& Bitmap);

// Unit initialisation: registers the codec (and the platform's JPEG picture with the
// picture framework). Idempotent.
void InitializeJPEGLoader();
void FinalizeJPEGLoader();
