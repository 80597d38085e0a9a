// Arbitrary bytes played as a metafile: the header checks and the record walk of
// loading, then every record of the player on a bitmap of the picture's size (bounded,
// so that a large frame tests the records rather than the memory of the machine).
#include <cstdint>
#include <cstring>

#include "platform/Exceptions.h"
#include "picture/Graphics.h"
#include "metafile/Metafile.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    host::TMetafile metafile;
    try {
        host::TMemoryStream stream;
        stream.WriteBuffer(data, static_cast<int64_t>(size));
        stream.SetPosition(0);
        metafile.LoadFromStream(stream);
    } catch (const Exception&) {
        return 0;
    }
    int32_t width = metafile.Width(), height = metafile.Height();
    if (width <= 0 || height <= 0) return 0;
    // Larger pictures are played shrunk into at most 256 × 256 pixels.
    const int32_t w = width > 256 ? 256 : width, h = height > 256 ? 256 : height;
    host::TBitmap bitmap;
    bitmap.SetPixelFormat(host::pf24bit);
    bitmap.SetSize(w, h);
    bitmap.Canvas().StretchDraw(host::Rect(0, 0, w, h), metafile);
    // Saving as the other kind renders and records again.
    if (int64_t{width} * height <= 65536) {
        metafile.SetEnhanced(!metafile.Enhanced());
        try {
            const auto bytes = metafile.Bytes();
            if (bytes.size() < 22) __builtin_trap();
        } catch (const Exception&) {
        }
    }
    return 0;
}
