#pragma once

#include <string>

#include "image/LinarBitmap.h"

// The registry's codec for HIPS images (read only): a text header in the older or the
// newer layout, then 8-bit grey, 8-bit RGB, floating-point grey or RGB pixels.
class THIPSLoader : public TBitmapLoader {
public:
    PIXMORPH_CLASS_NAME(THIPSLoader)
    bool CanLoad(const std::string& Ext) override { return Ext == "HIP" || Ext == "HIPS"; }
    bool CanSave(const std::string&) override { return false; }
    std::string GetLoadFilter() override;
    std::string GetSaveFilter() override { return {}; }
    void LoadFromStream(TBaseStream& Stream, const std::string& Ext, TLinearBitmap& Bitmap) override;
};

// Unit initialisation: registers the codec. Idempotent.
void InitializeHIPSLoader();
void FinalizeHIPSLoader();
