// Arbitrary bytes into the HIPS codec.
#include "codecs/HIPSLoader.h"
#include "fuzz/FuzzLoad.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static THIPSLoader codec;
    return FuzzLoad(codec, "HIPS", data, size);
}
