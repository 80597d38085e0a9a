#pragma once

// Loading crafted bytes through one codec, for table-driven codec tests.
#include <cstdint>
#include <string>
#include <vector>

#include "image/LinarBitmap.h"
#include "platform/Exceptions.h"
#include "streams/MemStream.h"

namespace codec_bytes {

// "loaded", or the message of the system's exception the codec raised.
inline std::string LoadOutcome(TBitmapLoader& codec, const std::string& ext, const std::vector<uint8_t>& file,
                               TLinearBitmap& bitmap) {
    TMemStream stream;
    stream.Write(file.data(), static_cast<int64_t>(file.size()));
    stream.Seek(0);
    try {
        codec.LoadFromStream(stream, ext, bitmap);
        return "loaded";
    } catch (const Exception& e) {
        return e.Message();
    }
}

}  // namespace codec_bytes
