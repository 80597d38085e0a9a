// Arbitrary bytes to the sample plug-in's Netpbm reader: every input must end in an
// image or in the bad-data result, never in a crash, a hang or memory beyond the input's
// own size. The reader is built in here as the plug-in builds it.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "../../plugins/netpbm/Netpbm.cpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    netpbm::MemorySource source(data, size);
    netpbm::Image image;
    if (netpbm::Decode(source, image) == 0) {
        const size_t bytesPerPixel = image.sixteenBit ? 2 : static_cast<size_t>(image.channels);
        if (image.size != static_cast<size_t>(image.width) * image.height * bytesPerPixel) __builtin_trap();
        // What was read can be written again.
        if (!image.sixteenBit) {
            const size_t rowBytes = static_cast<size_t>(image.width) * image.channels;
            std::vector<uint8_t> file;
            netpbm::Encode(
                image.width, image.height, image.channels, [&](int32_t y) { return image.pixels.get() + y * rowBytes; },
                [&](const uint8_t* bytes, size_t n) {
                    file.insert(file.end(), bytes, bytes + n);
                    return true;
                });
            netpbm::MemorySource written(file.data(), file.size());
            netpbm::Image again;
            if (netpbm::Decode(written, again) != 0 || again.size != image.size ||
                std::memcmp(again.pixels.get(), image.pixels.get(), image.size) != 0)
                __builtin_trap();
        }
    }
    return 0;
}
