// Arbitrary bytes inflated: damaged data must end in one of the decompressor's errors,
// never in a crash, a hang or a read outside a buffer.
#include <cstdint>
#include <cstring>
#include <vector>

#include "compress/Deflate.h"
#include "platform/Exceptions.h"
#include "streams/MemStream.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    // The first byte picks the size of the pieces the caller asks for.
    const int64_t piece = int64_t{1} << (data[0] % 18);
    TMemStream m;
    m.Write(data + 1, static_cast<int64_t>(size - 1));
    m.Seek(0);
    m.StrictRead = (data[0] & 0x80) != 0;
    std::vector<uint8_t> out(static_cast<size_t>(piece));
    try {
        TDeflateStream d(&m, 0);
        d.StrictRead = false;
        int64_t total = 0;
        // Bounded output: a few bytes of input can describe a lot of output.
        while (total < (int64_t{8} << 20)) {
            const int64_t n = d.Read(out.data(), piece);
            if (n <= 0) break;
            total += n;
        }
        if (d.Finished()) {
            uint8_t tail[16];
            d.ReadAfterEnd(tail, static_cast<int64_t>(std::min<int64_t>(16, d.UnusedInputCount())));
        }
    } catch (const Exception&) {
    }
    return 0;
}
