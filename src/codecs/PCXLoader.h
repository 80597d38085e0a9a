#pragma once

#include <string>

#include "image/LinarBitmap.h"

// The registry's codec for ZSoft Paintbrush files of version 5 with 8 bits per plane:
// one plane with a 256-colour palette, or three planes (red, green, blue).
class TPCXLoader : public TBitmapLoader {
public:
    PIXMORPH_CLASS_NAME(TPCXLoader)
    bool CanLoad(const std::string& Ext) override { return Ext == "PCX"; }
    bool CanSave(const std::string& Ext) override { return Ext == "PCX"; }
    std::string GetLoadFilter() override;
    void LoadFromStream(TBaseStream& Stream, const std::string& Ext, TLinearBitmap& Bitmap) override;
    // pfIndexed8 as one plane, everything else as three planes (brought to pfBGR24 first).
    void SaveToStream(TBaseStream& Stream, const std::string& Ext, TLinearBitmap& Bitmap) override;
};

// Unit initialisation: registers the codec. Idempotent.
void InitializePCXLoader();
void FinalizePCXLoader();
