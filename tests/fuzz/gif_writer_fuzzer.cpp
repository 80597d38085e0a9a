// A Windows bitmap from arbitrary bytes made into a GIF in memory: the first byte picks the
// encoder, the reduction and the dither method, so that every writer path meets odd sizes
// (1-pixel rows and columns), odd palettes and transparency.
#include <cstdint>

#include "gif/GIFImage.h"
#include "platform/Exceptions.h"
#include "picture/Graphics.h"
#include "platform/Stream.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const uint8_t settings = data[0];
    host::TMemoryStream stream;
    stream.Write(data + 1, static_cast<int64_t>(size - 1));
    stream.SetPosition(0);
    host::TBitmap bitmap;
    try {
        bitmap.LoadFromStream(stream);
    } catch (const EInvalidGraphic&) {
        return 0;
    } catch (const EOutOfMemory&) {
        return 0;
    }
    if (int64_t{bitmap.Width()} * bitmap.Height() > 1'000'000) return 0;
    if (settings & 0x80) bitmap.SetTransparent(true);
    TGIFImage image;
    image.EncoderKind = settings & 1;
    image.ReductionMethod = static_cast<uint8_t>((settings >> 1) % 10);
    image.DitherMethod = static_cast<uint8_t>((settings >> 5) & 3) * 2;  // 0, 2, 4, 6
    image.ReductionDepth = 1 + settings % 8;
    host::TMemoryStream out;
    try {
        image.Assign(bitmap);
        image.SaveToStream(out);
    } catch (const GIFException&) {
        // Colour-table overflow of unreduced bitmaps, pixels beyond a short palette.
    } catch (const ELinearBitmap&) {
        // Sizes a GIF cannot describe.
    }
    return 0;
}
