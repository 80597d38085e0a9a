#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "metafile/MetafileLimits.h"
#include "picture/Graphics.h"

// The platform's metafile: a picture kept as drawing records, read from and written to
// enhanced metafiles (EMF) and placeable Windows metafiles (WMF), drawn by playing its
// records, and recorded by drawing bitmaps on a TMetafileCanvas.
namespace host {

// MulDiv: a × b ÷ c rounded half away from zero; -1 when c is 0 or the result does not
// fit 32 bits.
int32_t MulDiv(int32_t a, int32_t b, int32_t c);

// Hundredths of a millimetre per inch, and the screen's pixels per inch (the reference
// device of every recording).
inline constexpr int32_t HundredthMMPerInch = 2540;
inline constexpr int32_t ScreenPixelsPerInch = 96;

class TMetafile : public TGraphic {
public:
    PIXMORPH_CLASS_NAME(TMetafile)
    TMetafile();
    ~TMetafile() override;

    // Size in screen pixels.
    int32_t Width() const override { return width_; }
    int32_t Height() const override { return height_; }
    void SetWidth(int32_t value) override;
    void SetHeight(int32_t value) override;
    // Size in hundredths of a millimetre.
    int32_t MMWidth() const { return mmWidth_; }
    int32_t MMHeight() const { return mmHeight_; }
    bool Empty() const override { return data_.empty() && recorded_.empty(); }

    // Which kind SaveToStream writes; loading sets it to the kind read.
    bool Enhanced() const { return enhanced_; }
    void SetEnhanced(bool value) { enhanced_ = value; }
    // Units per inch of a placeable Windows metafile (0: none known).
    uint16_t Inch() const { return inch_; }
    void SetInch(uint16_t value) { inch_ = value; }
    // The logical palette written with the picture; null when it has none.
    HPALETTE Palette() const { return palette_.Entries.empty() ? nullptr : &palette_; }
    void SetPalette(HPALETTE palette);

    // Plays the records stretched into rect. A canvas without a bitmap of its own (a
    // recording canvas) receives the picture as one bitmap.
    void Draw(TCanvas& canvas, const TRect& rect) override;
    // Receives rows [top, top + rows) of a picture being drawn, width 0x00RRGGBB words a row.
    using BandSink = std::function<void(int32_t top, int32_t rows, const uint32_t* pixels)>;
    // Plays the records onto white at width × height pixels, one band of rows at a time,
    // so that only the band is ever held beside what the sink keeps. CheckPictureSize first.
    void DrawBands(int32_t width, int32_t height, const BandSink& sink);
    // Drawn at its own size on white, band by band straight into a 24-bit bitmap: no whole
    // picture beside it.
    void HandOverTo(TBitmap& bitmap) override;
    // EInvalidGraphic "Metafile is not valid" for data that is neither an enhanced
    // metafile nor a placeable Windows metafile whose records all lie within it.
    void LoadFromStream(TStream& stream) override;
    void SaveToStream(TStream& stream) override;
    void Assign(TPersistent& Source) override;
    std::unique_ptr<TGraphic> NewInstance() const override { return std::make_unique<TMetafile>(); }
    void Clear();

    // The file as SaveToStream writes it.
    std::vector<uint8_t> Bytes() const;

private:
    friend class TMetafileCanvas;
    // One bitmap drawn on a recording canvas, as a packed description (information
    // header and colour table) and bottom-up rows.
    struct RecordedBitmap {
        TRect Dest;
        TRect Source;
        int StretchMode = BLACKONWHITE;
        std::vector<uint8_t> Info;
        std::vector<uint8_t> Bits;
    };

    std::vector<uint8_t> RecordingAsEnhanced() const;
    std::vector<uint8_t> RecordingAsWindows() const;
    void RecordByRendering();
    // Plays the records in bands of rows onto a picture of width × height pixels placed at
    // dest (in the picture's pixels), whose origin lies at origin on the bitmap that brush
    // patterns are anchored to: load fills each band before it is played, store takes it after.
    using BandRows = std::function<void(int32_t top, int32_t rows, uint32_t* pixels)>;
    void PlayInBands(int32_t width, int32_t height, const TRect& dest, TPoint origin, const BandRows& load,
                     const BandRows& store);
    void RenderOnto(TBitmap& picture, int32_t w, int32_t h);

    std::vector<uint8_t> data_;  // a loaded file: the whole EMF, or the WMF records after the placeable header
    bool dataEnhanced_ = true;
    int16_t bounds_[4] = {};  // placeable bounding box of a loaded WMF
    std::vector<RecordedBitmap> recorded_;
    bool enhanced_ = true;
    int32_t width_ = 0, height_ = 0;
    int32_t mmWidth_ = 0, mmHeight_ = 0;
    uint16_t inch_ = 0;
    TLogPalette palette_;
};

// Records what is drawn on it into a metafile (which it clears first); the recording
// is complete when the canvas is closed or destroyed. Bitmaps are what it records.
class TMetafileCanvas : public TCanvas {
public:
    PIXMORPH_CLASS_NAME(TMetafileCanvas)
    // referenceDevice: none (the screen) is the only one there is.
    explicit TMetafileCanvas(TMetafile& metafile, const void* referenceDevice = nullptr);
    ~TMetafileCanvas() override = default;

    void StretchBitmap(const TRect& dest, const TBitmap& source, const TRect& sourceRect, bool transparent) override;
    int StretchDIBits(int32_t xDest, int32_t yDest, int32_t destWidth, int32_t destHeight, int32_t xSrc,
                      int32_t ySrc, int32_t srcWidth, int32_t srcHeight, const void* bits, const TBitmapInfo& info,
                      uint32_t usage, uint32_t rop) override;

private:
    TMetafile& metafile_;
};

// Registers TMetafile with the picture framework for "emf" and "wmf"; Finalize takes it back.
void InitializeMetafile();
void FinalizeMetafile();

}  // namespace host
