#include "image/MathUtils.h"

#include <cstring>

void Swap32Float(float& Value) {
    uint32_t bits;
    std::memcpy(&bits, &Value, sizeof bits);
    bits = Swap32(bits);
    std::memcpy(&Value, &bits, sizeof bits);
}

void SwapValues(int32_t& A, int32_t& B) {
    const int32_t t = A;
    A = B;
    B = t;
}
