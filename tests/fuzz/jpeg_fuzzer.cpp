// Arbitrary bytes to the JPEG reader: every input must end in an image or in one of the
// system's exceptions, never in a crash, a hang or unbounded memory. What reads is also
// written again.
#include <cstddef>
#include <cstdint>

#include "codecs/JPEGLoader.h"
#include "front/Units.h"
#include "image/LinarBitmap.h"
#include "platform/Exceptions.h"
#include "jpeg/JPEGImage.h"
#include "platform/Stream.h"
#include "streams/MemStream.h"

namespace {

// Frames may claim images of up to 2 GiB, which the reader allocates and decodes as it
// should; that is too slow and too large for fuzzing, so such inputs are passed over.
bool ClaimsHugeImage(const uint8_t* data, size_t size) {
    for (size_t p = 0; p + 9 <= size; ++p) {
        if (data[p] != 0xFF) continue;
        const uint8_t marker = data[p + 1];
        const bool frame = marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
        if (!frame) continue;
        const uint64_t height = uint64_t{data[p + 5]} << 8 | data[p + 6];
        const uint64_t width = uint64_t{data[p + 7]} << 8 | data[p + 8];
        if (width * height > (uint64_t{1} << 20)) return true;
    }
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    InitializeUnits();
    if (ClaimsHugeImage(data, size)) return 0;
    // Some inputs also decode through the platform picture with other settings (scaled,
    // fast), to reach the paths the codec does not take.
    if (size > 0 && (data[size - 1] & 1)) {
        host::TJPEGImage jpeg;
        host::TMemoryStream bytes;
        bytes.Data().assign(data, data + size);
        try {
            jpeg.LoadFromStream(bytes);
            jpeg.Scale = static_cast<host::TJPEGScale>((data[size - 1] >> 1) & 3);
            jpeg.Performance = (data[size - 1] & 8) ? host::jpBestSpeed : host::jpBestQuality;
            jpeg.Smoothing = data[size - 1] & 16;
            host::TBitmap bitmap;
            jpeg.AssignTo(bitmap);
        } catch (const Exception&) {
        }
    }
    TMemStream stream;
    if (size) stream.Write(data, static_cast<int64_t>(size));
    stream.Seek(0);
    TJPEGLoader codec;
    TLinearBitmap bitmap;
    try {
        codec.LoadFromStream(stream, "JPG", bitmap);
    } catch (const Exception&) {
        return 0;
    }
    try {
        TMemStream out;
        codec.SaveToStream(out, "JPG", bitmap);
    } catch (const Exception&) {
    }
    return 0;
}
