// Arbitrary bytes to the JPEG reader: every input must end in an image or in one of the
// system's exceptions, never in a crash, a hang or unbounded memory. What reads is also
// written again.
#include <cstddef>
#include <cstdint>

#include "codecs/JPEGLoader.h"
#include "fuzz/FuzzBounds.h"
#include "front/Units.h"
#include "image/LinarBitmap.h"
#include "platform/Exceptions.h"
#include "jpeg/JPEGImage.h"
#include "platform/Stream.h"
#include "streams/MemStream.h"

namespace {

constexpr int64_t WrittenImageBytes = int64_t{16} << 20;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    InitializeUnits();
    UseUserImageLimit();
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
    // Writing is not what the larger limit is for: large images are not written again.
    if (bitmap.Size > WrittenImageBytes) return 0;
    try {
        TMemStream out;
        codec.SaveToStream(out, "JPG", bitmap);
    } catch (const Exception&) {
    }
    return 0;
}
