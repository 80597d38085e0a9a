// Arbitrary bytes into the ICO codec: the directory, every image, the transfer of the
// chosen one into the image; whatever loads is written back and must read back to the
// same picture.
#include <cstdint>
#include <cstring>

#include "codecs/ICOLoader.h"
#include "fuzz/FuzzBounds.h"
#include "image/LinarBitmap.h"
#include "picture/Dialogs.h"
#include "platform/Exceptions.h"
#include "streams/MemStream.h"

namespace {

// Colour of pixel x of row y (red lowest), whatever the format.
uint32_t ColorAt(const TLinearBitmap& bitmap, int32_t x, int32_t y) {
    const uint8_t* p = bitmap.PixelFormat == pfIndexed8 ? bitmap.Palette.get() + 3 * bitmap.ScanLine(y)[x]
                                                        : bitmap.ScanLine(y) + 3 * x;
    return p[2] | p[1] << 8 | p[0] << 16;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The picker must never wait for a person here.
    host::SetAskUser(false);
    // PNG entries decode to far more than their bytes: at the users' limit.
    UseUserImageLimit();
    static TICOLoader codec;
    TMemStream stream;
    stream.Write(data, static_cast<int64_t>(size));
    stream.Seek(0);
    TLinearBitmap bitmap;
    try {
        codec.LoadFromStream(stream, "ICO", bitmap);
    } catch (const Exception&) {
        // Every refusal is one of the system's exceptions; anything else escapes.
        return 0;
    }
    if (!bitmap.Present || bitmap.Width <= 0 || bitmap.Height <= 0 || bitmap.Width > 256 || bitmap.Height > 256)
        __builtin_trap();
    if (bitmap.PixelFormat != pfIndexed8 && bitmap.PixelFormat != pfBGR24) __builtin_trap();
    // 256 pixels a side are read but not written.
    if (bitmap.Width > 255 || bitmap.Height > 255) return 0;

    TMemStream written;
    codec.SaveToStream(written, "CUR", bitmap);
    written.Seek(0);
    TLinearBitmap again;
    codec.LoadFromStream(written, "CUR", again);
    if (again.Width != bitmap.Width || again.Height != bitmap.Height) __builtin_trap();
    for (int32_t y = 0; y < bitmap.Height; ++y)
        for (int32_t x = 0; x < bitmap.Width; ++x)
            if (ColorAt(bitmap, x, y) != ColorAt(again, x, y)) __builtin_trap();
    return 0;
}
