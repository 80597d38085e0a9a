// Arbitrary bytes to the PNG and MNG reader: every input must end in an image or in
// one of the system's exceptions, never in a crash, a hang or unbounded memory.
#include <cstddef>
#include <cstdint>

#include "codecs/PNGLoader.h"
#include "fuzz/FuzzBounds.h"
#include "front/Units.h"
#include "image/LinarBitmap.h"
#include "platform/Exceptions.h"
#include "streams/MemStream.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    InitializeUnits();
    // Headers may claim any image up to the users' limit: the reader only fills what the
    // data holds, and interlaced images are filled sparsely.
    UseUserImageLimit();
    TPNGLoader& codec = PNGLoader();
    // Half of the inputs read with the alpha planes kept, to reach those paths too.
    codec.AlphaChannel = size > 0 && (data[size - 1] & 1);
    TMemStream stream;
    if (size) stream.Write(data, static_cast<int64_t>(size));
    stream.Seek(0);
    TLinearBitmap bitmap;
    try {
        codec.LoadFromStream(stream, "PNG", bitmap);
    } catch (const Exception&) {
        return 0;
    }
    // What was read must also write.
    try {
        TMemStream out;
        codec.SaveToStream(out, (data[0] & 1) ? "MNG" : "PNG", bitmap);
    } catch (const Exception&) {
    }
    return 0;
}
