// Arbitrary bytes into the HIPS codec's LoadFromStream.
#include <cstdint>

#include "codecs/HIPSLoader.h"
#include "image/LinarBitmap.h"
#include "platform/Exceptions.h"
#include "streams/MemStream.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static THIPSLoader codec;
    TMemStream stream;
    stream.Write(data, static_cast<int64_t>(size));
    stream.Seek(0);
    TLinearBitmap bitmap;
    try {
        codec.LoadFromStream(stream, "HIPS", bitmap);
    } catch (const Exception&) {
        // Every refusal is one of the system's exceptions; anything else escapes.
        return 0;
    }
    if (!bitmap.Present || bitmap.Width <= 0 || bitmap.Height <= 0) __builtin_trap();
    // Touch every pixel byte, so that a short image shows up under the sanitizers.
    uint32_t sum = 0;
    for (int32_t i = 0; i < bitmap.Size; ++i) sum += bitmap.Map[i];
    return static_cast<int>(sum & 0);
}
