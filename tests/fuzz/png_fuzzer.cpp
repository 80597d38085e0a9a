// Arbitrary bytes to the PNG and MNG reader: every input must end in an image or in
// one of the system's exceptions, never in a crash, a hang or unbounded memory.
#include <cstddef>
#include <cstdint>

#include "codecs/PNGLoader.h"
#include "front/Units.h"
#include "image/LinarBitmap.h"
#include "platform/Exceptions.h"
#include "streams/MemStream.h"

namespace {

// Headers may claim images of up to 2 GiB, which the codec allocates as it should; the
// fuzzer's memory limit is smaller, so such headers are passed over here.
bool ClaimsHugeImage(const uint8_t* data, size_t size) {
    for (size_t p = 8; p + 20 <= size; ++p) {
        if (data[p] != 'I' || data[p + 1] != 'H' || data[p + 2] != 'D' || data[p + 3] != 'R') continue;
        auto be = [&](size_t q) {
            return (uint64_t{data[q]} << 24) | (uint64_t{data[q + 1]} << 16) | (uint64_t{data[q + 2]} << 8) | data[q + 3];
        };
        if (be(p + 4) * be(p + 8) > (uint64_t{1} << 26)) return true;
    }
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    InitializeUnits();
    if (ClaimsHugeImage(data, size)) return 0;
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
