#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <typeinfo>
#include <vector>

#include "picture/BitmapTypes.h"
#include "picture/PixelBuffer.h"
#include "platform/Exceptions.h"
#include "platform/Object.h"
#include "platform/Stream.h"

// Our stand-in for the platform's picture framework: persistent objects with
// Assign/AssignTo, graphics, a device-independent bitmap with a canvas, logical
// palettes, and a picture that picks a graphic class by file extension.
namespace host {

// Colour values: red in bits 0-7, green in 8-15, blue in 16-23.
using TColor = int32_t;
inline constexpr TColor clBlack = 0x000000;
inline constexpr TColor clWhite = 0xFFFFFF;
inline constexpr TColor clNone = 0x1FFFFFFF;
inline constexpr TColor clDefault = 0x20000000;

constexpr TColor RGB(uint8_t r, uint8_t g, uint8_t b) { return r | (g << 8) | (b << 16); }
constexpr uint8_t GetRValue(TColor c) { return static_cast<uint8_t>(c); }
constexpr uint8_t GetGValue(TColor c) { return static_cast<uint8_t>(c >> 8); }
constexpr uint8_t GetBValue(TColor c) { return static_cast<uint8_t>(c >> 16); }

struct TRect {
    int32_t Left = 0, Top = 0, Right = 0, Bottom = 0;
    int32_t Width() const { return Right - Left; }
    int32_t Height() const { return Bottom - Top; }
};
constexpr TRect Rect(int32_t left, int32_t top, int32_t right, int32_t bottom) { return {left, top, right, bottom}; }

struct TPoint {
    int32_t X = 0, Y = 0;
};

// ---------------------------------------------------------------- palettes

// A logical palette (what a palette handle stands for). Up to 256 entries.
struct TLogPalette {
    uint16_t palVersion = 0x300;
    std::vector<TPaletteEntry> Entries;
};
// A palette handle that someone else owns (the bitmap, or a TPaletteHandle).
using HPALETTE = const TLogPalette*;
// An owned palette handle; releasing it is DeleteObject.
using TPaletteHandle = std::unique_ptr<TLogPalette>;

// CreatePalette: a new logical palette from count entries (at most 256).
TPaletteHandle CreatePalette(const TPaletteEntry* entries, int count);
// Copies up to count entries from start; returns how many were copied (0 for null).
int GetPaletteEntries(HPALETTE palette, int start, int count, TPaletteEntry* out);
// Index of the entry nearest to the colour (squared RGB distance; first of equals).
int GetNearestPaletteIndex(HPALETTE palette, TColor color);

// Stretch modes of a canvas.
enum : int { BLACKONWHITE = 1, WHITEONBLACK = 2, COLORONCOLOR = 3, HALFTONE = 4 };
enum : uint32_t { DIB_RGB_COLORS = 0, SRCCOPY = 0x00CC0020 };

// ---------------------------------------------------------------- persistent objects

class TPersistent : public TObject {
public:
    PIXMORPH_CLASS_NAME(TPersistent)
    // Asks Source to assign itself to this object.
    virtual void Assign(TPersistent& Source);
    // EConvertError "Cannot assign a <Self> to a <Dest>" unless a subclass knows Dest.
    virtual void AssignTo(TPersistent& Dest);
};

class TCanvas;
class TBitmap;
class NearestIndex;

// A picture that can report and change its size, draw itself stretched into a
// rectangle of a canvas, and read and write itself.
class TGraphic : public TPersistent {
public:
    PIXMORPH_CLASS_NAME(TGraphic)
    virtual int32_t Width() const = 0;
    virtual int32_t Height() const = 0;
    virtual void SetWidth(int32_t value) = 0;
    virtual void SetHeight(int32_t value) = 0;
    virtual bool Empty() const = 0;
    virtual bool Transparent() const { return transparent_; }
    virtual void SetTransparent(bool value) { transparent_ = value; }
    virtual void Draw(TCanvas& canvas, const TRect& rect) = 0;
    virtual void LoadFromStream(TStream& stream) = 0;
    virtual void SaveToStream(TStream& stream) = 0;
    // Through a host::TFileStream ("Cannot open file "%s". %s" / "Cannot create file "%s". %s").
    virtual void LoadFromFile(const std::string& fileName);
    virtual void SaveToFile(const std::string& fileName);
    // A new empty graphic of the same class, or null when the class cannot make one.
    virtual std::unique_ptr<TGraphic> NewInstance() const { return nullptr; }
    // The picture as bitmap.Assign(*this) gives it; a graphic the bitmap cannot take is
    // drawn at its own size on white (a picture that leaves its background alone, such as a
    // metafile, shows on white).
    void CopyToBitmap(TBitmap& bitmap);
    // The same picture for a caller that needs this graphic no more: a graphic that holds
    // rows may move them into the bitmap, and one that draws itself may draw straight into
    // the bitmap's rows, rather than make a copy beside itself.
    virtual void HandOverTo(TBitmap& bitmap) { CopyToBitmap(bitmap); }

private:
    bool transparent_ = false;
};

// ---------------------------------------------------------------- bitmap

enum TTransparentMode : uint8_t { tmAuto, tmFixed };

// A device-independent bitmap. Rows are stored top row first and packed to whole bytes
// (ScanLine(y + 1) - ScanLine(y) = RowBytes()); new pixels are zero. 1-bit rows hold the
// first pixel in the most significant bit, 4-bit rows in the high nibble; 15-bit pixels
// are 5-5-5 words, 16-bit pixels 5-6-5 words; 24 and 32 bits are blue, green, red (, 0).
class TBitmap : public TGraphic {
public:
    PIXMORPH_CLASS_NAME(TBitmap)
    TBitmap();
    ~TBitmap() override;
    TBitmap(const TBitmap&) = delete;
    TBitmap& operator=(const TBitmap&) = delete;
    // Moves the image (see TakeOver).
    TBitmap(TBitmap&& Other) noexcept : TBitmap() { TakeOver(Other); }

    int32_t Width() const override { return width_; }
    int32_t Height() const override { return height_; }
    // Resizing keeps the pixels of the common area.
    void SetWidth(int32_t value) override { SetSize(value, height_); }
    void SetHeight(int32_t value) override { SetSize(width_, value); }
    void SetSize(int32_t width, int32_t height);
    bool Empty() const override { return width_ == 0 || height_ == 0; }

    TPixelFormat PixelFormat() const { return format_; }
    // Converts the pixels. An indexed target keeps the palette when there is one, and
    // otherwise gets a default one (black and white, the 16 VGA colours, or a 6x6x6 cube
    // with a grey ramp); colours go to their nearest entry.
    // Virtual so that a bitmap class pinned to one depth can keep it.
    virtual void SetPixelFormat(TPixelFormat format);
    int BitsPerPixel() const { return BitsOfPixelFormat(format_); }
    int32_t RowBytes() const { return rowBytes_; }
    uint8_t* ScanLine(int32_t y);
    const uint8_t* ScanLine(int32_t y) const;

    // The palette handle (owned by the bitmap), null when the bitmap has none.
    HPALETTE Palette() const { return palette_.Entries.empty() ? nullptr : &palette_; }
    // Takes a copy of the palette's entries (up to 256); null removes the palette.
    void SetPalette(HPALETTE palette);
    // The colour table of an indexed bitmap (the palette's entries as RGB quads).
    int GetDIBColorTable(int start, int count, TRGBQuad* out) const;

    TCanvas& Canvas();

    // The colour that Draw leaves out when Transparent is set: the bottom-left pixel's
    // colour in tmAuto mode, else the colour set (which switches the mode to tmFixed).
    TColor TransparentColor() const;
    void SetTransparentColor(TColor color);
    TTransparentMode TransparentMode() const { return transparentMode_; }
    void SetTransparentMode(TTransparentMode mode) { transparentMode_ = mode; }
    // The monochrome mask: a 1-bit bitmap of the same size, palette black and white,
    // 1 (white) where the pixel has the transparent colour.
    std::unique_ptr<TBitmap> CreateMask() const;

    // The colour of one pixel (no range check beyond the bitmap: outside gives clBlack).
    TColor GetPixel(int32_t x, int32_t y) const;
    void SetPixel(int32_t x, int32_t y, TColor color);

    // Another bitmap: format, palette, size, pixels and transparency are copied.
    void Assign(TPersistent& Source) override;
    void Draw(TCanvas& canvas, const TRect& rect) override;
    // Windows bitmap reading: EInvalidGraphic "Bitmap image is not valid" for data the
    // reader does not accept; data that ends early leaves the remaining pixels zero.
    void LoadFromStream(TStream& stream) override;
    // Windows bitmap writing (14-byte file header, 40-byte information header, colour
    // table for 1, 4 and 8 bits, rows bottom-up padded to 4 bytes). Empty: nothing.
    void SaveToStream(TStream& stream) override;
    std::unique_ptr<TGraphic> NewInstance() const override { return std::make_unique<TBitmap>(); }

    // Colours of pixels [x, x + count) of row y as 0x00RRGGBB words (blue in the low byte).
    void ReadRowRGB(int32_t y, int32_t x, int32_t count, uint32_t* out) const;
    // Stores such colours, mapping them to the nearest palette entry for indexed formats.
    void WriteRowRGB(int32_t y, int32_t x, int32_t count, const uint32_t* in);

    // Replaces the image with one of the given format and size whose pixels are zero,
    // without converting or copying the old pixels (used by readers). The palette stays.
    void NewImage(TPixelFormat format, int32_t width, int32_t height);
    // Moves Other's image (format, size, pixels, palette, transparency) here without
    // copying; Other is left empty.
    void TakeOver(TBitmap& Other);
    void HandOverTo(TBitmap& bitmap) override { bitmap.TakeOver(*this); }
    // Takes packed rows of the given format and size (RowBytes() × height bytes or more)
    // as the image, without copying. The palette stays.
    void AdoptPixels(TPixelFormat format, int32_t width, int32_t height, PixelBuffer bits);
    // Hands the rows out without copying; the bitmap is left empty.
    PixelBuffer ReleasePixels();

private:
    using Bits = PixelBuffer;
    static Bits AllocateBits(int64_t rowBytes, int32_t height);

    int32_t width_ = 0;
    int32_t height_ = 0;
    TPixelFormat format_ = pfDevice;
    int32_t rowBytes_ = 0;
    Bits bits_;
    TLogPalette palette_;
    TColor transparentColor_ = clDefault;
    TTransparentMode transparentMode_ = tmAuto;
    std::unique_ptr<TCanvas> canvas_;
    // Colour-to-index answers for the current palette; dropped whenever it changes.
    std::unique_ptr<NearestIndex> nearest_;
};

// ---------------------------------------------------------------- canvas

struct TBrush {
    TColor Color = clWhite;
};

// A drawing surface. The base class paints into a bitmap; a subclass may record the
// operations instead (all painting goes through the virtual primitives).
class TCanvas : public TObject {
public:
    PIXMORPH_CLASS_NAME(TCanvas)
    explicit TCanvas(TBitmap* target = nullptr) : target_(target) {}
    TBitmap* Target() const { return target_; }

    TBrush Brush;

    virtual void FillRect(const TRect& rect);
    virtual TColor GetPixel(int32_t x, int32_t y);
    virtual void SetPixel(int32_t x, int32_t y, TColor color);
    // Copies source's pixels of sourceRect stretched into dest (nearest pixel; halftone
    // mode averages when shrinking); with transparent set, source pixels of the
    // transparent colour are left out.
    virtual void StretchBitmap(const TRect& dest, const TBitmap& source, const TRect& sourceRect, bool transparent);
    // Paints a device-independent bitmap described by info (1, 4, 8, 16 (5-5-5), 24 or
    // 32 bits, BI_RGB; rows 4-byte aligned; negative biHeight = top-down) from the source
    // rectangle (measured from the image's top row) into the destination rectangle.
    // Returns the number of rows painted, 0 for a description it cannot paint.
    virtual int StretchDIBits(int32_t xDest, int32_t yDest, int32_t destWidth, int32_t destHeight, int32_t xSrc,
                              int32_t ySrc, int32_t srcWidth, int32_t srcHeight, const void* bits,
                              const TBitmapInfo& info, uint32_t usage, uint32_t rop);

    void Draw(int32_t x, int32_t y, TGraphic& graphic);
    void StretchDraw(const TRect& rect, TGraphic& graphic);
    void CopyRect(const TRect& dest, TCanvas& source, const TRect& sourceRect);

    int SetStretchBltMode(int mode);
    int GetStretchBltMode() const { return stretchMode_; }
    TPoint GetBrushOrg() const { return brushOrg_; }
    void SetBrushOrg(TPoint origin) { brushOrg_ = origin; }

private:
    TBitmap* target_;
    int stretchMode_ = BLACKONWHITE;
    TPoint brushOrg_;
};

// ---------------------------------------------------------------- picture

using TGraphicFactory = std::function<std::unique_ptr<TGraphic>()>;

// Holds one graphic; file names choose the graphic class by extension among the
// registered ones (compared case-insensitively; the class registered last wins).
// "bmp" (TBitmap) is registered from the start; the metafile unit adds "emf" and "wmf".
class TPicture : public TPersistent {
public:
    PIXMORPH_CLASS_NAME(TPicture)
    TPicture();
    ~TPicture() override;

    // graphicClass names the class the factory makes, so that a unit can take back
    // all its registrations at shutdown (UnregisterGraphicClass).
    static void RegisterFileFormat(const std::string& extension, const std::string& description,
                                   TGraphicFactory factory, const std::type_info* graphicClass = nullptr);
    // One line per (extension, class) pair in a unit's initialisation.
    template <class G>
    static void RegisterFileFormat(const std::string& extension, const std::string& description) {
        RegisterFileFormat(
            extension, description, [] { return std::unique_ptr<TGraphic>(std::make_unique<G>()); }, &typeid(G));
    }
    // Removes every registration of an extension.
    static void UnregisterFileFormat(const std::string& extension);
    // Removes every registration made for the class, whatever its extension.
    static void UnregisterGraphicClass(const std::type_info& graphicClass);
    template <class G>
    static void UnregisterGraphicClass() {
        UnregisterGraphicClass(typeid(G));
    }
    // Null when no class is registered for the extension (without the dot).
    static TGraphicFactory FindFileFormat(const std::string& extension);
    // The class registered last for the extension, null when none or unnamed.
    static const std::type_info* FindGraphicClass(const std::string& extension);
    // How many registrations the extension has.
    static int FileFormatCount(const std::string& extension);
    // The description registered last for the extension; empty when none.
    static std::string FindDescription(const std::string& extension);

    TGraphic* Graphic() const { return graphic_.get(); }
    // Takes a copy of the graphic (a new instance of its class); null empties the picture.
    void SetGraphic(TGraphic* graphic);
    void TakeGraphic(std::unique_ptr<TGraphic> graphic) { graphic_ = std::move(graphic); }
    // The picture's bitmap; replaces a graphic of another kind by a new empty bitmap.
    TBitmap& Bitmap();
    int32_t Width() const { return graphic_ ? graphic_->Width() : 0; }
    int32_t Height() const { return graphic_ ? graphic_->Height() : 0; }

    // EInvalidGraphic "Unknown picture file extension (.%s)" for an unregistered one.
    void LoadFromFile(const std::string& fileName);
    void SaveToFile(const std::string& fileName);

    void Assign(TPersistent& Source) override;
    void AssignTo(TPersistent& Dest) override;

private:
    std::unique_ptr<TGraphic> graphic_;
};

}  // namespace host
