// Arbitrary bytes through our compressor and back through our decompressor: the bytes must
// come back unchanged, for every block policy, write pattern and flush pattern.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "compress/Deflate.h"
#include "streams/MemStream.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    const uint8_t blockType = static_cast<uint8_t>(data[0] % 3);
    const size_t chunk = size_t{1} << (data[0] / 3 % 16);
    const size_t flushEvery = data[1] < 128 ? 0 : size_t{1} << (data[1] % 17);
    data += 2;
    size -= 2;
    TMemStream m;
    {
        TDeflateStream d(&m, 1);
        d.BlockType = blockType;
        size_t sinceFlush = 0;
        for (size_t i = 0; i < size; i += chunk) {
            const size_t n = std::min(chunk, size - i);
            d.Write(data + i, static_cast<int64_t>(n));
            sinceFlush += n;
            if (flushEvery && sinceFlush >= flushEvery) {
                d.Flush();
                sinceFlush = 0;
            }
        }
        d.Finish();
    }
    m.Write("TAIL", 4);
    m.Seek(0);
    std::vector<uint8_t> back(size);
    TDeflateStream r(&m, 0);
    if (r.Read(back.data(), static_cast<int64_t>(size)) != static_cast<int64_t>(size) ||
        (size && std::memcmp(back.data(), data, size) != 0)) {
        std::fprintf(stderr, "round trip changed the data\n");
        std::abort();
    }
    r.StrictRead = false;
    uint8_t extra;
    uint8_t tail[4];
    if (r.Read(&extra, 1) != 0 || r.ReadAfterEnd(tail, 4) != 4 || std::memcmp(tail, "TAIL", 4) != 0) {
        std::fprintf(stderr, "the end of the data was lost\n");
        std::abort();
    }
    return 0;
}
