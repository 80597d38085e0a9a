#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "picture/Graphics.h"
#include "picture/PackedPixels.h"
#include "platform/Object.h"

class TBaseStream;
class TSeekableStream;
class TLinearBitmap;

// One image of an icon or cursor file: the colour bits and the transparency mask as the
// file stores them (rows bottom-up, each padded to four bytes).
class TIconImage : public TObject {
public:
    PIXMORPH_CLASS_NAME(TIconImage)
    // Exception "Unsupported pixel format" for a bit count other than 1, 4, 8, 24 or 32;
    // ELinearBitmap "Invalid bitmap size" for a size no icon can have.
    TIconImage(int32_t Width, int32_t BitCount, int32_t Height);

    int32_t Width = 0;
    int32_t Height = 0;  // of the image, not the doubled height stored in the file
    host::TPixelFormat PixelFormat = host::pfDevice;
    int32_t BitCount = 0;
    int32_t XorRowBytes = 0;
    int32_t AndRowBytes = 0;
    int32_t XorSize = 0;
    int32_t AndSize = 0;
    int32_t PaletteSize = 0;
    std::vector<uint8_t> AndMask;  // AndSize bytes; first pixel in the top bit, 1 = transparent
    std::vector<uint8_t> XorBits;  // XorSize + 1 bytes; 32 bits: blue, green, red, alpha
    std::vector<uint8_t> Palette;  // PaletteSize bytes: red, green, blue, flags
    int32_t HotSpotX = 0;          // cursor hot spot; colour planes of an icon
    int32_t HotSpotY = 0;          // cursor hot spot; bits per pixel of an icon

    // Colour of palette entry i (red lowest), for bit counts up to 8.
    host::TColor PaletteColor(int i) const;
    bool PaletteHolds(host::TColor Color) const;
    bool Transparent(int32_t X, int32_t FileRow) const {
        return host::PackedIndex<1>(AndMask.data() + static_cast<size_t>(FileRow) * AndRowBytes, X);
    }
    // Colour of pixel X of a file row (rows counted bottom-up).
    host::TColor PixelColor(int32_t X, int32_t FileRow) const;

    // Dest gets the image's format, size and palette, the colour bits, and TransparentColor
    // in every pixel the mask marks; -1 keeps Dest's own transparent colour.
    void AssignTo(host::TBitmap& Dest, host::TColor TransparentColor) const;
    // Dest gets the image with TransparentColor (-1: magenta) in the masked pixels: 8 bits
    // with the image's palette (1 and 4 bits widened by the colour at index 255 when it is
    // missing), 24 bits for an 8-bit image whose palette lacks the colour and for 24 and 32 bits.
    void AssignTo(TLinearBitmap& Dest, host::TColor TransparentColor) const;
    // Sets every opaque pixel on the canvas; masked pixels keep what the canvas holds.
    void Draw(host::TCanvas& Canvas, int32_t X, int32_t Y) const;
};

// The directory and images of an icon or cursor file.
class TIconList : public TObject {
public:
    PIXMORPH_CLASS_NAME(TIconList)
    enum : int32_t { ftAny = 0, ftIcon = 1, ftCursor = 2 };

    int32_t FileType = ftIcon;

    int32_t Count() const { return static_cast<int32_t>(Items.size()); }
    TIconImage& operator[](int32_t Index) { return *Items[static_cast<size_t>(Index)]; }
    const TIconImage& operator[](int32_t Index) const { return *Items[static_cast<size_t>(Index)]; }

    // Reads every image it can, entry by entry: a side byte of 0 means 256 pixels; 32-bit
    // and PNG-compressed images come as 32 bits with the pixels whose alpha is below half
    // masked. Entries that cannot be read are left out; when none can, the first one's
    // failure is raised: "Size mismatch in icon %d" for an entry that disagrees with its
    // image header or whose data lies outside the file, "Unsupported pixel format" for
    // other depths, compressed bitmaps and PNG data that does not decode.
    void LoadFromStream(TSeekableStream& Stream);
    // Exception "Unsupported file format" unless FileType is an icon or a cursor.
    void SaveToStream(TBaseStream& Stream) const;
    void Clear() { Items.clear(); }
    TIconImage& Add(int32_t Width, int32_t Height, int32_t BitCount);

private:
    std::vector<std::unique_ptr<TIconImage>> Items;
};
