#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "image/ImageMetadata.h"
#include "platform/Exceptions.h"
#include "picture/Graphics.h"
#include "platform/Object.h"

class TBaseStream;

// No codec for an extension: "Unsupported file format: <EXT>".
PIXMORPH_EXCEPTION(EUnsupportedFileFormat, Exception);

// Pixel format codes. The numbers are those the platform bitmap uses for the same
// depths, so a code can be handed to the platform bitmap unchanged.
enum : uint8_t {
    pfIndexed8 = 3,  // one byte: index into Palette
    pfGray16 = 5,    // 16-bit grey, little-endian; the high byte is the 8-bit grey
    pfBGR24 = 6,     // blue, green, red
    pfBGRX32 = 7,    // blue, green, red, spare byte
    pfNone = 8,      // no image
};

// 256 entries of (blue, green, red).
inline constexpr int PaletteBytes = 768;

// Entry i is (i, i, i); built by InitializeLinarBitmap.
extern uint8_t GrayPalette[PaletteBytes];

// Base of objects that copy themselves to and from other objects by double dispatch.
// A subclass overrides at least one of the pair for every partner class it supports.
class TAssignObject : public TObject {
public:
    PIXMORPH_CLASS_NAME(TAssignObject)
    // Source.AssignTo(*this) when Source is a TAssignObject; otherwise
    // Exception "Cannot assign <Source> to <Self>".
    virtual void Assign(TObject& Source);
    // Dest.Assign(*this) when Dest is a TAssignObject; otherwise
    // Exception "Cannot assign <Self> to <Dest>".
    virtual void AssignTo(TObject& Dest);
};

// The in-memory image: one contiguous buffer of packed rows, top row first, with one
// spare byte at the end so that the last 24-bit pixel can be read as a 32-bit word.
class TLinearBitmap : public TAssignObject {
public:
    PIXMORPH_CLASS_NAME(TLinearBitmap)
    TLinearBitmap() = default;
    explicit TLinearBitmap(TObject& Source) { Assign(Source); }
    // Create(Source) for another image: a deep copy.
    TLinearBitmap(const TLinearBitmap& Source) : TAssignObject() { AssignLinear(Source); }
    TLinearBitmap& operator=(const TLinearBitmap&) = delete;
    ~TLinearBitmap() override = default;

    int32_t Width = 0;
    int32_t Height = 0;
    uint8_t PixelFormat = pfNone;
    int32_t BytesPerLine = 0;
    int32_t PixelSize = 0;
    int32_t Size = 0;
    bool Present = false;
    host::PixelBuffer Map;                // Size + 1 bytes (and a little more) when Present
    std::unique_ptr<uint8_t[]> Palette;  // PaletteBytes bytes, exactly for pfIndexed8
    // What the codec that read the image found beside its pixels (a profile, an
    // orientation) and what it could not take. Set by loading through the registry (cleared
    // first) and read by saving; the pixel operations (Dispose, TakeOver, the hand-overs to
    // and from platform bitmaps) leave it alone, so a caller carries it across them.
    TImageMetadata Metadata;

    // Source: another TLinearBitmap; a platform bitmap (8, 24, 32 bits directly, other
    // depths as 24 bits); any other platform graphic (through a 24-bit platform bitmap,
    // drawn onto it when the platform cannot assign it); any other platform object that
    // a platform bitmap can take.
    void Assign(TObject& Source) override;
    // Dest: a platform bitmap (left alone when this image is empty; pfGray16 arrives as
    // 8 bits with a grey palette) or a platform picture (its bitmap).
    void AssignTo(TObject& Dest) override;
    virtual void Dispose();
    virtual void PackLines();

    // Allocates an image with uninitialised pixels; keeps the pixels when size and
    // format are unchanged. ELinearBitmap "Unsupported pixel format" / "Invalid bitmap size".
    void New(int32_t NewWidth, int32_t NewHeight, uint8_t NewPixelFormat);
    // Takes Other's image without copying; Other becomes not Present.
    void TakeOver(TLinearBitmap& Other);
    // Takes packed rows of the size and format (Width × pixel size bytes each, a spare
    // word behind the last: see host::BorrowPixels) as the image, without copying. An
    // indexed image keeps its palette or gets an uninitialised one. Errors as New; the rows
    // are let go then.
    void AdoptRows(int32_t NewWidth, int32_t NewHeight, uint8_t NewPixelFormat, host::PixelBuffer Rows);
    uint8_t* ScanLine(int32_t Y) { return Map.get() + static_cast<int64_t>(Y) * BytesPerLine; }
    const uint8_t* ScanLine(int32_t Y) const { return Map.get() + static_cast<int64_t>(Y) * BytesPerLine; }
    void FillBytes(uint8_t Value);
    // Color: red in bits 0-7, green 8-15, blue 16-23.
    void Clear(uint32_t Color);
    bool IsGrayScale() const;
    void ChangePixelFormat(uint8_t NewFormat);
    void ResizeCanvas(int32_t NewWidth, int32_t NewHeight, int32_t XOffset, int32_t YOffset, uint32_t Color);

    // Through the codec registry, chosen by extension.
    void LoadFromFile(const std::string& FileName);
    void SaveToFile(const std::string& FileName);
    void LoadFromStream(TBaseStream& Stream, const std::string& Ext);
    void SaveToStream(TBaseStream& Stream, const std::string& Ext);

    // Paints the whole image stretched into Rect; Smooth asks for halftone stretching.
    // Exception "Unsupported pixel format" for an image in no drawable format.
    void Draw(host::TCanvas& Canvas, const host::TRect& Rect, bool Smooth);
    void DrawToDC(host::TCanvas& DC, const host::TRect& Rect, bool Smooth);

    // AssignTo a platform bitmap followed by Dispose, moving the rows instead of copying
    // them where both sides store them alike (8, 24 and 32 bits, packed rows).
    void MoveToPlatformBitmap(host::TBitmap& Dest);
    // Assign from a platform bitmap, moving its rows the same way; Source is left empty.
    void TakeOverPlatformBitmap(host::TBitmap& Source);
    // Source's picture as Assign gives it, for a caller that needs Source no more: its rows
    // move here where Source holds rows this image can keep, and a graphic that draws
    // itself draws straight into them (see host::TGraphic::HandOverTo).
    void TakeOverGraphic(host::TGraphic& Source);

private:
    // Makes NewMap, whose size the format and size must fit, the image.
    void Install(int32_t NewWidth, int32_t NewHeight, uint8_t NewPixelFormat, host::PixelBuffer NewMap);
    void AssignLinear(const TLinearBitmap& Source);
    void AssignPlatformBitmap(const host::TBitmap& Source);
    void AssignToPlatformBitmap(host::TBitmap& Dest);
};

// The text after the last "." when the last of ".", "\", "/" and ":" in the name is a
// "."; upper-cased (ASCII). Otherwise empty.
std::string ExtractExtension(const std::string& FileName);
// Swaps bits 0-7 and 16-23; stored little-endian, the first three bytes are B, G, R.
uint32_t ColorToBGR(uint32_t Color);
// Entries 0..N-1 get grey i * 255 / (N - 1). N >= 2.
void MakeGrayPalette(uint8_t* Table, int N);
// Copies 256 entries, reversing the three bytes of each. Source and Dest differ.
void SwapPaletteRB(const uint8_t* Source, uint8_t* Dest);
// For an unpadded pfBGR24 bitmap: plane i (Width*Height bytes each, min(Count, 3) of
// them) goes to byte i of every pixel. Planes null or equal to Map: taken from Map.
void InterleavePlanes(TLinearBitmap& Bitmap, const uint8_t* Planes, int Count);

// A platform logical palette (version 0x300, flags 1) from the first N entries of a
// blue-green-red table; the caller owns it.
host::TPaletteHandle PaletteToHandle(const uint8_t* Table, int N);
// Up to N entries of a platform palette into a 768-byte blue-green-red table; the
// entries after those read are black. A null handle gives GrayPalette.
void HandleToPalette(host::HPALETTE Handle, int N, uint8_t* Table);

// A buffer of n bytes, or EOutOfMemory "Out of memory".
std::unique_ptr<uint8_t[]> AllocateBytes(int64_t n);

// ---------------------------------------------------------------- codec registry

// One codec per file family; it lives for the whole run and is shared by all loads
// and saves. A codec overrides at least one operation of each pair it supports.
class TBitmapLoader : public TObject {
public:
    PIXMORPH_CLASS_NAME(TBitmapLoader)
    // True when "*." + Ext occurs in the upper-cased filter (false for an empty Ext).
    virtual bool CanLoad(const std::string& Ext);
    virtual bool CanSave(const std::string& Ext);
    virtual std::string GetLoadFilter();
    virtual std::string GetSaveFilter();
    // Base: through a temporary file and LoadFromFile / SaveToFile.
    virtual void LoadFromStream(TBaseStream& Stream, const std::string& Ext, TLinearBitmap& Bitmap);
    virtual void SaveToStream(TBaseStream& Stream, const std::string& Ext, TLinearBitmap& Bitmap);
    // Base: through the library's TFileStream and LoadFromStream / SaveToStream.
    virtual void LoadFromFile(const std::string& FileName, const std::string& Ext, TLinearBitmap& Bitmap);
    virtual void SaveToFile(const std::string& FileName, const std::string& Ext, TLinearBitmap& Bitmap);

private:
    // Set while a base operation hands over to its partner, so that a codec that
    // overrides neither side of a pair fails instead of recursing without end.
    bool inBaseLoad_ = false;
    bool inBaseSave_ = false;
};

// The registry; it does not own the codecs.
class TBitmapLoaders : public TObject {
public:
    PIXMORPH_CLASS_NAME(TBitmapLoaders)
    std::unique_ptr<TBitmapLoader*[]> Items;
    int32_t Count = 0;
    int32_t Capacity = 0;

    // Makes a codec object in its initial state and returns it (it lives elsewhere).
    using TRenewer = TBitmapLoader* (*)();

    // Appends; grows five slots at a time. A codec given a renewer is replaced by a fresh
    // object at every Renew; one without (the plug-in codec, whose libraries stay loaded)
    // stays as it is.
    void Add(TBitmapLoader* Codec, TRenewer Renewer = nullptr);
    // First codec in registration order that accepts the upper-cased Ext, or
    // EUnsupportedFileFormat "Unsupported file format: <EXT>".
    TBitmapLoader& FindLoader(const std::string& Ext);
    TBitmapLoader& FindSaver(const std::string& Ext);
    // Every renewable codec replaced by a fresh one: what a codec kept of the last file it
    // read (ancillary chunks, a hot spot, a chosen colour) is gone. References handed out
    // before are no longer valid.
    void Renew();

private:
    std::vector<TRenewer> renewers_;
};

// The one global registry (created by InitializeLinarBitmap).
extern TBitmapLoaders* Loaders;
void RegisterLoader(TBitmapLoader* Codec, TBitmapLoaders::TRenewer Renewer = nullptr);

// Where the codec class's current object lives.
template <class Codec>
std::unique_ptr<Codec>& LoaderSlot() {
    static std::unique_ptr<Codec> slot;
    return slot;
}

// The codec class's current object: the one the registry hands out until its next Renew.
template <class Codec>
Codec& SharedLoader() {
    auto& slot = LoaderSlot<Codec>();
    if (!slot) slot = std::make_unique<Codec>();
    return *slot;
}

// Replaces the codec class's object with one in its initial state.
template <class Codec>
TBitmapLoader* RenewSharedLoader() {
    LoaderSlot<Codec>() = std::make_unique<Codec>();
    return LoaderSlot<Codec>().get();
}

// Registers the codec class's object with the registry on the first call and returns
// true then; later calls do nothing and return false. A unit's Initialize registers its
// picture classes only when this returns true.
template <class Codec>
bool RegisterLoaderOnce() {
    static bool registered = false;
    if (registered) return false;
    registered = true;
    RegisterLoader(&SharedLoader<Codec>(), &RenewSharedLoader<Codec>);
    return true;
}

// One conversion's codecs: the registry hands it codecs in their initial state, and
// whatever they learned from its files is released when it ends, so that two
// conversions in one process (a batch worker's, a program linking the library) never see
// each other's state.
class TConversionLoaders {
public:
    TConversionLoaders();
    ~TConversionLoaders();
    TConversionLoaders(const TConversionLoaders&) = delete;
    TConversionLoaders& operator=(const TConversionLoaders&) = delete;
};

// Unit initialisation: GrayPalette and the empty registry. Idempotent.
void InitializeLinarBitmap();
