// Arbitrary bytes to the sample plug-in's Netpbm reader: every input must end in an
// image or in the bad-data result, never in a crash, a hang or memory beyond the input's
// own size. The reader is built in here as the plug-in builds it.
#include <cstddef>
#include <cstdint>

#include "../../plugins/netpbm/Netpbm.cpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    netpbm::Image image;
    if (netpbm::Decode(data, size, image) == 0) {
        const size_t bytesPerPixel = image.sixteenBit ? 2 : static_cast<size_t>(image.channels);
        if (image.pixels.size() != static_cast<size_t>(image.width) * image.height * bytesPerPixel) __builtin_trap();
        // What was read can be written again.
        if (!image.sixteenBit) {
            const auto file = netpbm::Encode(image.pixels.data(), image.width, image.height,
                                             int64_t{image.width} * image.channels, image.channels);
            netpbm::Image again;
            if (netpbm::Decode(file.data(), file.size(), again) != 0 || again.pixels != image.pixels) __builtin_trap();
        }
    }
    return 0;
}
