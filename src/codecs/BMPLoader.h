#pragma once

#include <memory>
#include <string>

#include "image/LinarBitmap.h"
#include "picture/Graphics.h"

class TSeekableStream;

// The platform bitmap with a second reader behind the platform's: what the platform
// reader refuses, and every file it would read as 32-bit blue, green, red, is read by the
// own reader (UniDIB), once. 16-bit and 32-bit files arrive as 24 bits, converted as read
// (16-bit files that are not plain rows, and 32-bit ones with other masks, excepted).
class TVKBitmap : public host::TBitmap {
public:
    PIXMORPH_CLASS_NAME(TVKBitmap)
    // Exception "Unsupported file format" when neither reader accepts the data; the
    // own reader's size errors (ELinearBitmap) and out of memory pass unchanged.
    void LoadFromStream(host::TStream& stream) override;
    std::unique_ptr<host::TGraphic> NewInstance() const override { return std::make_unique<TVKBitmap>(); }
};

// The registry's codec for Windows bitmaps.
class TBMPLoader : public TBitmapLoader {
public:
    PIXMORPH_CLASS_NAME(TBMPLoader)
    bool CanLoad(const std::string& Ext) override { return Ext == "BMP"; }
    bool CanSave(const std::string& Ext) override { return Ext == "BMP"; }
    std::string GetLoadFilter() override;
    // Reads through TVKBitmap, then normalises the pixel format: 1 and 4 bits become
    // pfIndexed8 with the palette, 8 bits stays, everything else becomes pfBGR24.
    void LoadFromStream(TBaseStream& Stream, const std::string& Ext, TLinearBitmap& Bitmap) override;
    // Writes through the platform's bitmap writer: 8 bits with the 256-entry palette
    // (pfIndexed8, and pfGray16 as its high bytes with the grey palette), 24 or 32 bits.
    void SaveToStream(TBaseStream& Stream, const std::string& Ext, TLinearBitmap& Bitmap) override;
};

// What the bitmap file at the stream's position holds beside its pixels: the embedded
// profile of a V5 header (ProfileDropped when it lies outside the file or is larger than a
// picture carries) and whether an alpha mask is in force (AlphaDropped). The stream is
// back at its position afterwards.
TImageMetadata ReadBitmapFileMetadata(TSeekableStream& stream);

// Unit initialisation: registers the codec and the "bmp" graphic class. Idempotent.
void InitializeBMPLoader();
void FinalizeBMPLoader();
