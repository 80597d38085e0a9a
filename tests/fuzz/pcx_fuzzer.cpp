// Arbitrary bytes into the PCX codec.
#include "codecs/PCXLoader.h"
#include "fuzz/FuzzBounds.h"
#include "fuzz/FuzzLoad.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static TPCXLoader codec;
    UseUserImageLimit();
    return FuzzLoad(codec, "PCX", data, size);
}
