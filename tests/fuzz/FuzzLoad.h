#pragma once

// The body every codec fuzz target shares: arbitrary bytes into a codec's LoadFromStream.
#include <cstddef>
#include <cstdint>
#include <string>

#include "image/LinarBitmap.h"
#include "platform/Exceptions.h"
#include "streams/MemStream.h"

inline int FuzzLoad(TBitmapLoader& codec, const std::string& ext, const uint8_t* data, size_t size) {
    TMemStream stream;
    stream.Write(data, static_cast<int64_t>(size));
    stream.Seek(0);
    TLinearBitmap bitmap;
    try {
        codec.LoadFromStream(stream, ext, bitmap);
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
