// Arbitrary bytes into the BMP codec's own reader and the translation of its rows.
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "codecs/UniDIB.h"
#include "platform/Exceptions.h"
#include "platform/Stream.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    host::TMemoryStream stream;
    stream.Write(data, static_cast<int64_t>(size));
    stream.SetPosition(0);
    std::unique_ptr<TUniDIB> dib;
    try {
        if (ReadUniDIB(stream, dib) != dibOK) return 0;
    } catch (const ELinearBitmap&) {
        return 0;
    } catch (const EOutOfMemory&) {
        return 0;
    }
    std::vector<uint8_t> row(static_cast<size_t>(dib->Width) * 3);
    for (int32_t y = 0; y < dib->Height; ++y) dib->RowToBGR(y, row.data());
    return 0;
}
