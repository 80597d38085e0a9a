#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "image/LinarBitmap.h"
#include "streams/Streams.h"

class TCRC32Stream;

// The data of consecutive IDAT chunks as one stream. Created after the reader has
// read the first IDAT chunk's length and type; at the end of each chunk it reads the
// chunk's CRC (not compared: only the last IDAT chunk's CRC is checked, by the chunk
// loop), the next length and type, which must be IDAT.
class TIDATStream : public TFilterStream {
public:
    PIXMORPH_CLASS_NAME(TIDATStream)
    TIDATStream(TCRC32Stream* chunkStream, int32_t firstLength);

    // Data bytes left in the current IDAT chunk.
    int32_t Remaining;

    int64_t Read(void* buffer, int64_t count) override;
    // The bytes of the current chunk: a reader that takes input in blocks of what is
    // available never pulls the next chunk's header into the image data.
    int64_t Available() override { return Remaining; }

private:
    TCRC32Stream* chunk_;
};

// The codec for PNG and MNG files. One object serves one conversion (the registry hands
// each conversion a fresh one); it keeps the ancillary data of the image it read
// (transparent colour, gamma, bit depth, a truecolour image's palette) and writes it into
// the file it saves, so that a PNG converted to PNG keeps its transparency and gamma.
class TPNGLoader : public TBitmapLoader {
public:
    PIXMORPH_CLASS_NAME(TPNGLoader)

    // Reading keeps alpha in AlphaBitmap, palette alpha in PaletteAlpha and a
    // truecolour image's PLTE in TruecolorPalette.
    bool AlphaChannel = false;
    std::unique_ptr<uint8_t[]> TruecolorPalette;  // 768 bytes (blue, green, red) or none
    std::unique_ptr<TLinearBitmap> AlphaBitmap;   // pfIndexed8 alpha values, GrayPalette
    std::unique_ptr<uint8_t[]> PaletteAlpha;      // 256 bytes or none
    double Gamma = 0;                             // gAMA / 100000; 0: none
    // -1 none; grey: the sample value; RGB: red | green << 8 | blue << 16 (low bytes
    // of the samples); palette: an index.
    int32_t TransparentColor = -1;
    int32_t BitDepth = 0;  // of the last IHDR read
    // Writing: -3 try every mode and keep the smallest file; -2 and -1 adaptive per
    // row by one of two cost functions; 0..4 one filter type for every row.
    int32_t FilterMode = -1;
    // Writing: 0 lossless; otherwise the tolerance of the near-lossless pass.
    uint32_t LossyTolerance = 0;

    bool CanLoad(const std::string& Ext) override { return Ext == "PNG" || Ext == "MNG"; }
    bool CanSave(const std::string& Ext) override { return Ext == "PNG" || Ext == "MNG"; }
    std::string GetLoadFilter() override;
    void LoadFromStream(TBaseStream& Stream, const std::string& Ext, TLinearBitmap& Bitmap) override;
    // MNG when Ext is exactly "MNG", PNG otherwise. A stream that cannot seek gets the
    // file through memory, since the IDAT length is written after the data.
    void SaveToStream(TBaseStream& Stream, const std::string& Ext, TLinearBitmap& Bitmap) override;

    // Releases the ancillary data of the last read; TransparentColor -1, Gamma 0.
    void Reset();

private:
    // The filter mode (-2 to 4) that gives the smallest file for the image.
    int SmallestFileMode(const std::string& Ext, TLinearBitmap& Bitmap);
    // metadata: the profile and orientation to write (a PNG only).
    void WriteFile(TSeekableStream& Stream, bool mng, int mode, TLinearBitmap& image, const TImageMetadata& metadata);
};

// Start-up: the one codec object, registered with the codec registry.
void InitializePNGLoader();
void FinalizePNGLoader();
TPNGLoader& PNGLoader();
