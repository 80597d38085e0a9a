#pragma once

#include <cstdint>
#include <string>

#include "image/LinarBitmap.h"
#include "metafile/Metafile.h"

// The registry's codec for Windows metafiles and enhanced metafiles: reading renders
// the picture at its own size and keeps it in 8 bits when it has at most 256 colours;
// writing records the image as one bitmap drawn into a new metafile.
class TWMFLoader : public TBitmapLoader {
public:
    PIXMORPH_CLASS_NAME(TWMFLoader)
    bool CanLoad(const std::string& Ext) override { return Ext == "WMF" || Ext == "EMF"; }
    bool CanSave(const std::string& Ext) override { return Ext == "WMF" || Ext == "EMF"; }
    std::string GetLoadFilter() override;
    std::string GetSaveFilter() override;
    // The platform's "Metafile is not valid" for data it cannot read; ELinearBitmap
    // "Invalid bitmap size" for a picture whose size is zero, negative or too large to
    // render, before anything is rendered. Ext is not used.
    void LoadFromStream(TBaseStream& Stream, const std::string& Ext, TLinearBitmap& Bitmap) override;
    // An Ext starting with "E" or "e" writes an enhanced metafile, any other a
    // placeable Windows metafile.
    void SaveToStream(TBaseStream& Stream, const std::string& Ext, TLinearBitmap& Bitmap) override;
};

// The number of distinct colours: (blue, green, red) triples for pfBGR24, distinct byte
// values of the pixel buffer otherwise. Counting stops once it passes Limit.
int64_t CountColors(const TLinearBitmap& Bitmap, int64_t Limit = INT64_MAX);

// The metafile drawn at its own size on white, band by band straight into Bitmap, which
// holds no second copy of the picture: pfIndexed8 while the picture has at most 256 colours
// (its palette the colours in the order they first occur in memory, later entries black),
// pfBGR24 past that. The size guard (CheckPictureSize) comes first.
void RenderMetafile(host::TMetafile& metafile, TLinearBitmap& Bitmap);

// Unit initialisation: registers the codec. Idempotent.
void InitializeWMFLoader();
